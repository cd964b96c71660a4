// What the tests of compiling away from the main loop share: a file slow to compile, and the
// calling thread's CPU time (which a loaded machine does not inflate as it does wall time).
#pragma once

#include <time.h>

#include <string>

namespace audio_faust::test_util {

// A Faust file of `count` sliders: a few hundred take libfaust a good part of a second.
inline std::string sliders(int count, int seed) {
    std::string text = "process = " + std::to_string(seed);
    for (int i = 0; i < count; ++i)
        text += " + hslider(\"p" + std::to_string(i) + "\", 0, 0, 1, 0.1)";
    return text + ";";
}

// How much longer the sanitizers make what a wall-clock bound measures.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr double slowdown = 10;
#else
inline constexpr double slowdown = 1;
#endif

inline double thread_cpu_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

}  // namespace audio_faust::test_util
