// VORLA_WIDE_CLONES: marks a hot sample loop of the audio-engine sources for a second copy built
// for a wider vector unit, which the loader picks at start-up where the processor has one. Used
// on plain functions of the audio thread's inner loops; the results are the same bits in either
// copy (no fused multiply-add is enabled).
#pragma once

// Not under a sanitizer, whose runtime is not up yet when the loader picks.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VORLA_WIDE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VORLA_WIDE_CLONES
#endif
