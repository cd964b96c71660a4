#!/usr/bin/env bash
# Everything from a fresh Debian 12 or 13 machine to a finished test run: dependencies, the -O3 build
# with its tests, the audio backend's tests against RtAudio 6, one brief run of every benchmark,
# the thread handovers under ThreadSanitizer, then every test again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
# Tests that need an audio/MIDI system (label "jack") start their own private JACK server.
# The RtAudio path's tests (label "pulse") start their own private PulseAudio server.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

# jackd2 keeps a machine-wide table of servers in shared memory; a server that was killed
# leaves its entry (and semaphores) behind, and a full table stalls every test server. With no
# jackd running, nothing uses those files.
if ! pgrep -x jackd >/dev/null; then
  rm -f /dev/shm/jack-shm-registry /dev/shm/jack_sem.* /dev/shm/jack_db-* 2>/dev/null || true
fi
start=$SECONDS
phase() { echo "== $1 ($((SECONDS - start)) s)"; }

phase "release build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLA_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure

phase "audio backend against RtAudio 6"
# Debian 13 and macOS ship RtAudio 6: the backend's test program alone is built against it,
# unoptimised (it builds in half the time and the tests need no speed).
rtaudio6=$(bash scripts/rtaudio6.sh build/rtaudio6)
cmake -S . -B build-rtaudio6 -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORLA_BUILD_BENCH=OFF \
  -DVORLA_WERROR=ON -DVORLA_RTAUDIO_DIR="$rtaudio6" -DVORLA_TESTS='CaptureFrames|CpalBackend|PulseBackend'
cmake --build build-rtaudio6 -j "$jobs" --target vorla_tests
ctest --test-dir build-rtaudio6 -j "$jobs" --output-on-failure

phase "benchmarks, once each"
for program in build/bench/bench_*; do
  VORLA_BENCH_SECONDS=1 "$program" --benchmark_min_time=0.000001 --benchmark_repetitions=1 \
    >/dev/null 2>&1 ||
    { echo "benchmark ${program##*/} failed"; exit 1; }
done

phase "thread handovers under ThreadSanitizer"
# Only the test sources that hold these tests are built; each name must still find a test.
threaded='EngineStress|MainLoop|Spsc|LogTest\.Concurrent|Channel|Wake|MidiSink|MidiInputJack|JackClient|IpcServer|DspWatcher|FaustNode|HotReload'
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORLA_SANITIZE=thread -DVORLA_WERROR=ON -DVORLA_BUILD_BENCH=OFF -DVORLA_TESTS="$threaded"
cmake --build build-tsan -j "$jobs" --target vorla_tests
for name in ${threaded//|/ }; do
  ctest --test-dir build-tsan -N -R "^$name" | grep -q '^Total Tests: [1-9]' ||
    { echo "no test under ThreadSanitizer matches $name"; exit 1; }
done
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -j "$jobs" --output-on-failure \
  -R "^($threaded)"

phase "everything under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORLA_SANITIZE=address,undefined -DVORLA_WERROR=ON -DVORLA_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
# The suppression covers a buffer that the MIDI library loses inside libjack when no server
# answers; the rig's own ring buffers are not libjack's.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
LSAN_OPTIONS=suppressions="$PWD/jack-rig/lsan.supp" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure
phase "done"
