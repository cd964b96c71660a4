#!/usr/bin/env bash
# Installs what is missing, builds, and runs the engine in the foreground. When no audio system
# answers (no JACK server, no PulseAudio, no ALSA sound card), a JACK server with the dummy
# driver is started first and stopped when the engine ends. The engine reads its configuration
# from the environment (ZORVA_SOCKET, ZORVA_DSP_DIR, ZORVA_MIDI_CLOCK, RUST_LOG, ...).
set -euo pipefail
# Asking whether a server answers must not start one.
export JACK_NO_START_SERVER=1
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# Off explicitly: a build folder that the test run configured keeps -Werror in its cache.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLA_WERROR=OFF >/dev/null
cmake --build build -j "$(nproc)" --target vorla-engine

audio_answers() {
  jack_lsp >/dev/null 2>&1 && return 0
  command -v pactl >/dev/null && pactl info >/dev/null 2>&1 && return 0
  [[ -r /proc/asound/cards ]] && grep -q '^ *[0-9]' /proc/asound/cards
}

jack_pid=
if ! audio_answers; then
  echo "no audio system answers: starting a JACK server with the dummy driver" >&2
  jack_pid=$(bash scripts/jack-server.sh)
  trap 'kill "$jack_pid" 2>/dev/null || true' EXIT
fi

status=0
build/vorla-engine/vorla-engine || status=$?
exit "$status"
