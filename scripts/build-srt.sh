#!/usr/bin/env bash
# Builds the SRT library (libsrt, MPL-2.0) with mbedTLS (Apache-2.0) for its
# encryption, for 64-bit Windows, static, from Debian's source packages:
# once, into a fixed folder outside any work tree, so that every build of the
# module (and both builds of the reproducibility check) links the same
# archives from the same path. Run by setup.sh; does nothing when the
# libraries are already there. Needs a deb-src entry (setup.sh writes one),
# cmake and the posix-thread mingw-w64 compilers.
#
#   bash scripts/build-srt.sh             build unless present
#   bash scripts/build-srt.sh --force     build again
#   bash scripts/build-srt.sh --present   only say by the exit status whether it is built
set -euo pipefail

srt_version=1.5.1
srt_sha256=af891e7a7ffab61aa76b296982038b3159da690f69ade7c119f445d924b3cf53
mbedtls_version=2.28.3
mbedtls_sha256=3b4953aa55a681e084d31892d9904cc5328d6b4958ea57b90ae4b4f94ae69a8d

base=/usr/local/src/tovrin
# The module's CMakeLists.txt names this folder: change both together.
prefix=$base/srt-$srt_version-mbedtls-$mbedtls_version-win64
# Written last: a build that was interrupted is done again. It names the
# sources and our patches to libsrt (srt-patches/, applied in order), so that
# a changed patch builds again.
stamp=$prefix/built
patches=$(cd "$(dirname "$0")" && pwd)/srt-patches
wanted=$(printf 'srt %s %s\nmbedtls %s %s\n' "$srt_version" "$srt_sha256" "$mbedtls_version" "$mbedtls_sha256"
         cd "$patches" && sha256sum ./*.patch)

present=0
[ "$(cat "$stamp" 2>/dev/null)" = "$wanted" ] && present=1
if [ "${1:-}" = "--present" ]; then
  [ $present -eq 1 ]
  exit
fi
if [ $present -eq 1 ] && [ "${1:-}" != "--force" ]; then
  echo "setup: SRT $srt_version with mbedTLS $mbedtls_version present"
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
toolchain=$(cd "$(dirname "$0")/.." && pwd)/cmake/mingw-w64-x86_64.cmake
# A fixed folder for the build too, so that the archives are the same bytes
# on every machine (object file names and __FILE__ included).
work=$base/srt-build.tmp
$sudo rm -rf "$work"
$sudo mkdir -p "$work"
[ -z "$sudo" ] || $sudo chown "$(id -u):$(id -g)" "$work"
trap "rm -rf \"$work\"" EXIT

fetch() {  # SOURCE_PACKAGE VERSION SHA256: the original tarball, checked, unpacked to $work/SOURCE_PACKAGE
  local tarball=$work/$1_$2.orig.tar.gz
  # Only the original tarball is needed (Debian's changes are packaging and
  # its own test runs; libsrt's security fixes are in srt-patches/), so a
  # complaint about the rest is not fatal. From bookworm itself: a security
  # archive's sources need not be on the mirror.
  (cd "$work" && apt-get source --download-only -q "$1/bookworm" >/dev/null 2>&1) || true
  if [ ! -f "$tarball" ] || ! echo "$3  $tarball" | sha256sum -c --quiet -; then
    echo "setup: could not fetch $1_$2.orig.tar.gz with the expected checksum" >&2
    exit 1
  fi
  mkdir "$work/$1"
  tar -xzf "$tarball" -C "$work/$1" --strip-components=1 --no-same-owner
}

echo "setup: building SRT $srt_version with mbedTLS $mbedtls_version for Windows (a few minutes, once)"
fetch mbedtls $mbedtls_version $mbedtls_sha256
fetch srt $srt_version $srt_sha256
for patch in "$patches"/*.patch; do
  patch -d "$work/srt" -p1 --quiet --no-backup-if-mismatch <"$patch" ||
    { echo "setup: $patch does not apply" >&2; exit 1; }
done

stage=$work/prefix
# No build path in any object (the last matching map applies).
map="-ffile-prefix-map=$work=build -ffile-prefix-map=$work/mbedtls=mbedtls-$mbedtls_version -ffile-prefix-map=$work/srt=srt-$srt_version"
common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
        -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG $map" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG $map"
        -DCMAKE_INSTALL_PREFIX="$stage")

# mbedTLS: only its libraries, static.
cmake -S "$work/mbedtls" -B "$work/build-mbedtls" "${common[@]}" \
  -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF \
  -DMBEDTLS_FATAL_WARNINGS=OFF >"$work/mbedtls.log" 2>&1 ||
  { tail -30 "$work/mbedtls.log" >&2; exit 1; }
cmake --build "$work/build-mbedtls" -j 2 >>"$work/mbedtls.log" 2>&1 &&
  cmake --install "$work/build-mbedtls" >>"$work/mbedtls.log" 2>&1 ||
  { tail -30 "$work/mbedtls.log" >&2; exit 1; }

# libsrt: the static library only, C++11 threads and clocks (the posix-thread
# mingw runtime, linked statically), mbedTLS found where it was just staged.
cmake -S "$work/srt" -B "$work/build-srt" "${common[@]}" \
  -DENABLE_APPS=OFF -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DENABLE_ENCRYPTION=ON -DUSE_ENCLIB=mbedtls \
  -DENABLE_STDCXX_SYNC=ON -DENABLE_LOGGING=ON -DENABLE_HEAVY_LOGGING=OFF -DENABLE_BONDING=OFF \
  -DENABLE_UNITTESTS=OFF -DENABLE_TESTING=OFF -DENABLE_CXX_DEPS=OFF \
  -DMBEDTLS_INCLUDE_DIR="$stage/include" -DMBEDTLS_LIB="$stage/lib/libmbedtls.a" \
  -DMBEDCRYPTO_LIB="$stage/lib/libmbedcrypto.a" -DMBEDX509_LIB="$stage/lib/libmbedx509.a" \
  >"$work/srt.log" 2>&1 || { tail -30 "$work/srt.log" >&2; exit 1; }
cmake --build "$work/build-srt" -j 2 >>"$work/srt.log" 2>&1 &&
  cmake --install "$work/build-srt" >>"$work/srt.log" 2>&1 ||
  { tail -30 "$work/srt.log" >&2; exit 1; }

# The licences go with the libraries: the release ships them.
mkdir -p "$stage/licenses"
cp "$work/srt/LICENSE" "$stage/licenses/srt-LICENSE.txt"
cp "$work/mbedtls/LICENSE" "$stage/licenses/mbedtls-LICENSE.txt"
cp "$work/srt.log" "$work/mbedtls.log" "$stage/"
rm -rf "$stage/bin" "$stage/lib/pkgconfig"

$sudo rm -rf "$prefix"
$sudo mkdir -p "$base"
$sudo cp -r "$stage" "$prefix"
printf '%s\n' "$wanted" | $sudo tee "$stamp" >/dev/null
echo "setup: SRT built into $prefix"
