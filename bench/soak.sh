#!/usr/bin/env bash
# The soak alone (bench/README.md): builds what it needs and runs it.
#   bash bench/soak.sh [MINUTES]     (default 30; 1-2 to try it out)
# Other figures already in build/bench-results/results.json are kept.
set -euo pipefail
exec bash "$(dirname "$0")/run.sh" --only soak --merge --soak-minutes "${1:-30}"
