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
  gstreamer1.0-plugins-bad multicat curl vlc-bin vlc-plugin-base zbar-tools
  xmltv-util chromium libexpat1-dev srt-tools
  libhdhomerun-dev hdhomerun-config gupnp-tools minidlna
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# The QR code generator library (Nayuki's, MIT) is built from its source into
# the module: Debian's source package, fetched once to a fixed folder outside
# any work tree, so that every build (and a fresh copy of the tree) finds the
# same files at the same path. Its source, and the SRT library's
# (build-srt.sh), need a deb-src entry.
qr_version=1.8.0
qr_sha256=2ec0a4d33d6f521c942eeaf473d42d5fe139abcfa57d2beffe10c5cf7d34ae60
qr_dir=/usr/local/src/tovrin/QR-Code-generator-$qr_version
src_list=/etc/apt/sources.list.d/tovrin-deb-src.sources
need_update=0
[ ${#missing[@]} -eq 0 ] || need_update=1
need_source=0
[ -f "$qr_dir/c/qrcodegen.c" ] || need_source=1
bash "$(dirname "$0")/build-srt.sh" --present || need_source=1
if [ $need_source -eq 1 ] && [ ! -f "$src_list" ]; then
  printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" "Suites: bookworm" "Components: main" \
    "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" | $sudo tee "$src_list" >/dev/null
  need_update=1
fi
if [ $need_update -eq 1 ]; then
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
fi

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages present"
else
  echo "setup: installing ${missing[*]}"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ -f "$qr_dir/c/qrcodegen.c" ]; then
  echo "setup: QR code generator $qr_version present"
else
  echo "setup: fetching the QR code generator $qr_version source"
  fetch=$(mktemp -d)
  # The Debian diff may be missing from the mirror: only the original tarball
  # is needed, so apt-get's complaint about the rest is not fatal.
  (cd "$fetch" && apt-get source --download-only -q qr-code-generator >/dev/null 2>&1) || true
  tarball=$fetch/qr-code-generator_$qr_version.orig.tar.gz
  if [ ! -f "$tarball" ] || ! echo "$qr_sha256  $tarball" | sha256sum -c --quiet -; then
    echo "setup: could not fetch qr-code-generator_$qr_version.orig.tar.gz" >&2
    rm -rf "$fetch"
    exit 1
  fi
  $sudo mkdir -p "$(dirname "$qr_dir")"
  $sudo tar -xzf "$tarball" -C "$(dirname "$qr_dir")" --no-same-owner
  rm -rf "$fetch"
fi

# The SRT library and mbedTLS, built for Windows from their Debian sources.
bash "$(dirname "$0")/build-srt.sh"
