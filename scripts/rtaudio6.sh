#!/usr/bin/env bash
# Builds RtAudio 6.0.1 (PulseAudio and ALSA) from Debian 13's source package into DIR/prefix
# (default build/rtaudio6), for building the audio backend against it (-DVORLA_RTAUDIO_DIR).
# Idempotent. The machine's own apt lists are left alone: the download uses an apt state of
# its own under DIR, with a deb-src line for trixie from the machine's Debian mirror.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=$(realpath -m "${1:-build/rtaudio6}")
prefix=$dir/prefix
version=6.0.1
# Written last: a build cut short is made again.
stamp=$prefix/built-$version
if [[ -f $stamp ]]; then
  echo "$prefix"
  exit 0
fi

# The development headers of the two host APIs it is built with, and the unpacker of its source
# (a minimal system lacks it).
missing=()
for p in libpulse-dev libasound2-dev xz-utils; do
  [[ $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) == "install ok installed" ]] ||
    missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y \
    --no-install-recommends "${missing[@]}" >&2
fi

# The machine's Debian archive (not its security archive), from either source format.
mirror=$(
  {
    sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n'
    sed -n 's/^deb\(-src\)\?[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\3/p' \
      /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
  } | grep -E '/debian/?$' | head -n 1
) || true
mirror=${mirror:-http://deb.debian.org/debian}

apt_dir=$dir/apt
mkdir -p "$apt_dir"/{lists/partial,cache/archives/partial,parts} "$dir/download"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main" \
  >"$apt_dir/sources.list"
apt_opts=(
  -o Dir::State="$apt_dir" -o Dir::State::Lists="$apt_dir/lists"
  -o Dir::Cache="$apt_dir/cache" -o Dir::Etc::SourceList="$apt_dir/sources.list"
  -o Dir::Etc::SourceParts="$apt_dir/parts" -o APT::Sandbox::User=root
)
tarball=$dir/download/rtaudio_$version~ds.orig.tar.xz
if [[ ! -f $tarball ]]; then
  apt-get "${apt_opts[@]}" -q update >&2
  # The .dsc may be refused while both tarballs arrive; only the original tarball is used.
  (cd "$dir/download" && apt-get "${apt_opts[@]}" -q source --download-only rtaudio >&2) || true
  [[ -f $tarball ]] || { echo "no $tarball" >&2; exit 1; }
fi

rm -rf "$dir/src" "$dir/build" "$prefix"
mkdir -p "$dir/src"
tar -xJf "$tarball" -C "$dir/src" --strip-components=1
cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=ON \
  -DRTAUDIO_API_PULSE=ON -DRTAUDIO_API_ALSA=ON -DRTAUDIO_API_JACK=OFF -DRTAUDIO_API_OSS=OFF \
  -DRTAUDIO_BUILD_TESTING=OFF >&2
cmake --build "$dir/build" >&2
cmake --install "$dir/build" >&2
touch "$stamp"
echo "$prefix"
