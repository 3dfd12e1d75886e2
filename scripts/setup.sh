#!/usr/bin/env bash
# Installs, only when missing, every Debian package that the build, the tests,
# the main job and the benchmarks need. Safe to run again.
set -euo pipefail

packages=(
  cmake make g++ ninja-build pkg-config python3 iproute2 procps git
  mingw-w64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth x11-utils
  libgtest-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev valgrind hyperfine
  ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad multicat curl vlc-bin vlc-plugin-base
  xmltv-util
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages present"
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
