#!/usr/bin/env bash
# Installs every build, test and run-time dependency on Debian 12 or 13. Idempotent and
# non-interactive; does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libsimdjson-dev libspdlog-dev libfmt-dev libboost-dev libre2-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  librtaudio-dev librtmidi-dev
  jackd2 libjack-jackd2-dev
  pulseaudio pulseaudio-utils
  libfaust2 faust-common faust
)
# From Debian 13 on, jackd2 leaves its example clients (jack_lsp, which run.sh asks whether a
# server answers) to a package of their own, which Debian 12's jackd2 refuses.
debian=$(. /etc/os-release && echo "${VERSION_ID:-}")
if [[ -z $debian || ${debian%%.*} -ge 13 ]]; then packages+=(jack-example-tools); fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi

# jackd2 asks about realtime limits at install time; answer it up front.
echo "jackd2 jackd/tweak_rt_limits boolean false" | "${sudo[@]}" debconf-set-selections

export DEBIAN_FRONTEND=noninteractive
apt_opts=(-o DPkg::Lock::Timeout=600 -y --no-install-recommends)
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -q
"${sudo[@]}" apt-get "${apt_opts[@]}" install "${missing[@]}"
