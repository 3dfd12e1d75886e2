#!/usr/bin/env bash
# Sets up the machine, builds both presets and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

for preset in native windows; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

status=0
for preset in native windows; do
  echo "== $preset: tests"
  ctest --preset "$preset" || status=1
done
echo "== release: two clean builds of the package, byte for byte, as a fresh machine sees the tree"
bash scripts/check-reproducible.sh --fresh-copy || status=1
bash scripts/fuzz.sh 10 || status=1  # a short bounded run of each fuzz target
exit $status
