#!/usr/bin/env bash
# Checks that the release is reproducible: builds the release package in a
# clean folder and compares the module, its debug information and both ZIP
# files byte for byte.
#
#   bash scripts/check-reproducible.sh               the commit HEAD, cloned twice
#   bash scripts/check-reproducible.sh --work-tree   the work tree as it is now,
#                                                    committed or not (the test
#                                                    command does this)
#
# The two folders' paths differ in name and length, so that a build path in
# any output shows. Both builds run in the same environment (a compiler
# launcher such as ccache included) and make only the module and its package
# (TOVRIN_MODULE_ONLY).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

work_tree=0
[ "${1:-}" = "--work-tree" ] && work_tree=1

version=$(sed -n 's/^project(TovrinStreamer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
outputs=(TovrinStreamer.module TovrinStreamer.module.debug
         "TovrinStreamer-$version-win64.zip" "TovrinStreamer-$version-win64-symbols.zip")

work=$(mktemp -d /tmp/tovrin-reproducible.XXXXXX)
trap 'rm -rf "$work"' EXIT

clean_build() {  # SOURCE_FOLDER: configure, build and package there; prints the build folder
  (cd "$1" && cmake --preset windows -DTOVRIN_MODULE_ONLY=ON >/dev/null &&
     cmake --build --preset windows --target package >/dev/null) >&2
  echo "$1/build/windows"
}

first=$work/a/src
second=$work/second-build/sources
for folder in "$first" "$second"; do
  mkdir -p "$folder"
  if [ $work_tree -eq 1 ]; then
    git ls-files -z --cached --others --exclude-standard |
      tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$folder"
    # The package's entries carry the time of the last commit: the copy gets
    # a history of one commit with that time.
    (cd "$folder" && git init -q && git add -A &&
       GIT_COMMITTER_DATE="@$(git -C "$repo" log -1 --format=%ct)" \
       git -c user.name=check -c user.email=check@localhost commit -q -m copy)
  else
    git clone -q --no-hardlinks "$repo" "$folder"
  fi
done
first=$(clean_build "$first")
second=$(clean_build "$second")

status=0
for f in "${outputs[@]}"; do
  if cmp -s "$first/$f" "$second/$f"; then
    echo "identical  $f ($(stat -c %s "$first/$f") bytes)"
  else
    echo "DIFFERENT  $f: $(cmp "$first/$f" "$second/$f" 2>&1 | head -1)"
    status=1
  fi
done
[ $status -eq 0 ] && echo "reproducible: $first and $second match" || echo "NOT reproducible"
exit $status
