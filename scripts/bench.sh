#!/usr/bin/env bash
# Builds the engine (-O3) and runs every benchmark program in build/bench. Arguments go to each
# program, e.g. `bash scripts/bench.sh --benchmark_filter=Graph`. With --smoke first, each
# benchmark runs once, very briefly, only to show that it still works (the test run does this).
set -euo pipefail
cd "$(dirname "$0")/.."

smoke=0
if [[ "${1:-}" == "--smoke" ]]; then
  smoke=1
  shift
fi

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLA_BUILD_BENCH=ON \
  -DVORLA_WERROR=OFF >/dev/null
cmake --build build -j "$(nproc)"

for program in build/bench/bench_*; do
  [[ -x "$program" ]] || continue
  echo "== ${program##*/}"
  if ((smoke)); then
    VORLA_BENCH_SECONDS=1 "$program" --benchmark_min_time=0.000001 --benchmark_repetitions=1 \
      "$@" >/dev/null
  else
    "$program" "$@"
  fi
done
