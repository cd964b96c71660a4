#!/usr/bin/env bash
# Starts a JACK server with the dummy driver (48 kHz, 256-frame periods) in the background,
# for a machine with no sound card, and waits until it answers. Prints its PID. The server is
# named by JACK_DEFAULT_SERVER, "default" when unset, so every JACK client of this shell finds it.
set -euo pipefail
# Asking whether a server answers must not start one.
export JACK_NO_START_SERVER=1

name=${JACK_DEFAULT_SERVER:-default}
log=${TMPDIR:-/tmp}/jackd-$name.log
jackd --no-realtime -n "$name" -d dummy -r 48000 -p 256 >"$log" 2>&1 &
pid=$!
for _ in $(seq 50); do
  if jack_lsp -s "$name" >/dev/null 2>&1; then
    echo "$pid"
    exit 0
  fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
echo "jackd did not start; see $log" >&2
exit 1
