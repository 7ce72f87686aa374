#!/usr/bin/env bash
# Set everything up, then run the example pipeline twice: the second run takes
# its disk-cached components from the cache the first run wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PY="$PWD/${TESSEL_VENV:-.venv}/bin/python"
CACHE="${TESSEL_CACHE_DIR:-$PWD/.tessel-cache}"
cd examples
echo "== first run =="
"$PY" -m tessel_core run pipeline.json --cache-dir "$CACHE"
echo
echo "== second run (cached components come from $CACHE) =="
"$PY" -m tessel_core run pipeline.json --cache-dir "$CACHE"
