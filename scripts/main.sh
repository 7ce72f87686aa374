#!/usr/bin/env bash
# Set everything up, then run the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
VENV="${TESSEL_VENV:-.venv}"
cd /tmp && exec "$OLDPWD/$VENV/bin/python" -m tessel_core demo "$@"
