#!/usr/bin/env bash
# Set everything up, then run the tests against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
TESSEL_TEST_FIXTURES=ON bash scripts/setup.sh
VENV="${TESSEL_VENV:-.venv}"
# The stubs must describe the installed runtime; run from tests/ so the
# source tree does not shadow the installed package.
cd tests
"../$VENV/bin/python" -m mypy.stubtest tessel_core --mypy-config-file ../pyproject.toml \
    --allowlist ../stubtest-allowlist.txt
exec "../$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
