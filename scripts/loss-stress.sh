#!/usr/bin/env bash
# Stress run of the engine losing its JACK server: repeats the engine's server-loss test
# (vorla_engine_loss_tests, SIGTERM and SIGKILL in turn) as separate processes, so the
# machine-wide JACK lock is free between trials, and reports hangs, crashes, shutdown times,
# the time from the loss to the error line and the start-up time against jack_lsp.
#
#   bash scripts/loss-stress.sh [trials] [results file]
#
# Trials default to 40; each appends one line to the results file (default
# build/loss-stress.txt), and the summary covers every line in it, so batches add up.
set -uo pipefail
cd "$(dirname "$0")/.."

trials=${1:-40}
results=${2:-build/loss-stress.txt}
program=build/vorla-engine/vorla_engine_loss_tests
cmake --build build --target vorla_engine_loss_tests >/dev/null || exit 1

for ((i = 0; i < trials; i++)); do
  signal=$([[ $((i % 2)) == 0 ]] && echo SIGTERM || echo SIGKILL)
  [[ -x "$program" ]] || { echo "$program is missing"; exit 1; }
  out=$(timeout 120 "$program" --gtest_filter="*/$signal" 2>&1)
  rc=$?
  line=$(grep -m1 '^loss: ' <<<"$out")
  if ((rc == 124)); then
    verdict=hang-test
  elif [[ -z "$line" ]]; then
    verdict=failed
  elif [[ "$line" == *"exit -1,"* ]]; then
    verdict=hang-engine
  elif [[ "$line" != *"exit 0,"* ]]; then
    verdict=crash
  elif ((rc != 0)); then
    verdict=failed
  else
    verdict=ok
  fi
  echo "$verdict $signal ${line:-rc $rc}" >>"$results"
  [[ $verdict == ok ]] || { echo "trial $i ($signal): $verdict"; grep -E 'Failure|Expected|Which is|loss:' <<<"$out" | head -20; }
done

awk '
  function stats(name, a, n,    i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    if (n) printf "%-22s median %7.1f ms, p95 %7.1f ms, max %7.1f ms\n", name, a[int((n + 1) / 2)], a[int(n * 0.95 + 0.999)], a[n]
  }
  { verdict[$1]++; total++ }
  $3 == "loss:" {
    for (i = 3; i <= NF; i++) {
      if ($i == "line") err[++ne] = $(i + 1) + 0
      if ($i == "shutdown") down[++nd] = $(i + 1) + 0
      if ($i == "start-up") up[++nu] = $(i + 1) + 0
      if ($i == "jack_lsp") lsp[++nl] = $(i + 1) + 0
    }
  }
  END {
    printf "%d trials: %d ok, %d engine hangs, %d test hangs, %d crashes, %d other failures\n", total,
           verdict["ok"], verdict["hang-engine"], verdict["hang-test"], verdict["crash"], verdict["failed"]
    stats("loss to error line", err, ne)
    stats("shutdown to exit", down, nd)
    stats("start-up to ready", up, nu)
    stats("jack_lsp", lsp, nl)
    if (nu && nl) printf "start-up / jack_lsp (medians): %.2fx\n", up[int((nu + 1) / 2)] / lsp[int((nl + 1) / 2)]
  }' "$results"
