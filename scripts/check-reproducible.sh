#!/usr/bin/env bash
# Checks that the release is reproducible: builds the release package in a
# clean folder and compares the module, its debug information and both ZIP
# files byte for byte.
#
#   bash scripts/check-reproducible.sh               the commit HEAD, cloned twice
#   bash scripts/check-reproducible.sh --work-tree   the tree's files as they are
#                                                    now, committed or not; also
#                                                    in a tree that is no git work
#                                                    tree (a source archive)
#   bash scripts/check-reproducible.sh --fresh-copy  --work-tree, run as a fresh
#                                                    machine sees the project: on
#                                                    a copy without .git, with no
#                                                    git on the PATH (the test
#                                                    command does this)
#
# The package's entries carry SOURCE_DATE_EPOCH when it is set, else the time
# of the last commit, else (no git work tree) make_zip.py's fallback: the same
# in both builds either way.
#
# The two folders' paths differ in name and length, so that a build path in
# any output shows. Both builds run in the same environment (a compiler
# launcher such as ccache included) and make only the module and its package
# (TOVRIN_MODULE_ONLY).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

work_tree=0
case "${1:-}" in
  --work-tree) work_tree=1 ;;
  --fresh-copy)
    fresh=$(mktemp -d /tmp/tovrin-fresh.XXXXXX)
    trap 'rm -rf "$fresh"' EXIT
    mkdir "$fresh/tree" "$fresh/bin"
    tar --exclude=./.git --exclude=./build --exclude=./out -cf - . | tar -xf - -C "$fresh/tree"
    # Every command of the PATH but git, the first of each name as the shell
    # would find it.
    IFS=: read -r -a dirs <<<"$PATH"
    for dir in "${dirs[@]}"; do
      for tool in "$dir"/*; do
        name=${tool##*/}
        case $name in git | git-*) continue ;; esac
        [ -x "$tool" ] && [ ! -d "$tool" ] && [ ! -e "$fresh/bin/$name" ] && ln -s "$tool" "$fresh/bin/$name"
      done
    done
    if PATH="$fresh/bin" command -v git >/dev/null || [ -e "$fresh/tree/.git" ]; then
      echo "fresh copy: git is still reachable" >&2
      exit 1
    fi
    echo "fresh copy: $fresh/tree, no .git, no git on the PATH"
    PATH="$fresh/bin" bash "$fresh/tree/scripts/check-reproducible.sh" --work-tree
    exit
    ;;
esac

in_git_tree=0
if command -v git >/dev/null && [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$(pwd -P)" ]; then
  in_git_tree=1
fi
if [ $in_git_tree -eq 0 ] && [ $work_tree -eq 0 ]; then
  echo "not a git work tree (or no git): checking the files as they are (--work-tree)"
  work_tree=1
fi
# Both builds take the package time from here.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && [ $in_git_tree -eq 1 ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi

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
  if [ $work_tree -eq 1 ] && [ $in_git_tree -eq 1 ]; then
    git ls-files -z --cached --others --exclude-standard |
      tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$folder"
  elif [ $work_tree -eq 1 ]; then
    tar --exclude=./.git --exclude=./build --exclude=./out -cf - . | tar -xf - -C "$folder"
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
