#!/usr/bin/env bash
# Set everything up, then run the example notebook twice: the second run takes
# its cells from the disk cache the first run wrote, and writes the notebook
# back executed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PY="$PWD/${TESSEL_VENV:-.venv}/bin/python"
CACHE="${TESSEL_CACHE_DIR:-$PWD/.tessel-cache}"
cd examples
echo "== first run =="
"$PY" -m tessel_core run iris.ipynb --cache-dir "$CACHE"
echo
echo "== second run (cached cells come from $CACHE) =="
"$PY" -m tessel_core run iris.ipynb --cache-dir "$CACHE" --output "$CACHE/iris-run.ipynb"
