#!/usr/bin/env bash
# Everything from a fresh Debian 12 machine to a finished test run: dependencies, the release
# build with its tests, then the same tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure

# The lock-free handover between the control and the audio thread, under ThreadSanitizer.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORLA_SANITIZE=thread -DVORLA_BUILD_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target audio_engine_tests support_tests
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -j "$jobs" --output-on-failure \
  -R '^(EngineStress|Spsc)'

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORLA_SANITIZE=address,undefined -DVORLA_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
# The suppression covers a buffer that the MIDI library loses inside libjack when no server
# answers; the rig's own ring buffers are not libjack's.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
LSAN_OPTIONS=suppressions="$PWD/jack-rig/lsan.supp" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure
