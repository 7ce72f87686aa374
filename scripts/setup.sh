#!/usr/bin/env bash
# Create a virtual environment from nothing and install the package with its
# test extra. Installs redis-server and chromium from Debian packages when
# they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV="${TESSEL_VENV:-.venv}"
# redis-server for remote runs and their tests; chromium (headless) to check
# the HTML report in a real browser.
missing=""
command -v redis-server >/dev/null 2>&1 || missing="$missing redis-server"
command -v chromium >/dev/null 2>&1 || missing="$missing chromium"
if [ -n "$missing" ]; then
  if [ "$(id -u)" = "0" ] && command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
  else
    echo "missing:$missing (apt-get install$missing)" >&2
  fi
fi
if [ ! -x "$VENV/bin/python" ]; then
  python3 -m venv "$VENV"
fi
# Build and install only when the sources or the build description changed
# since the last install into this environment: the C++ build takes minutes.
# TESSEL_TEST_FIXTURES=ON (scripts/test.sh) also builds the tests' fixture
# modules; an install that has them serves a run that does not ask for them.
stamp="$VENV/.tessel-build-stamp"
sources=$(find src tests/fixtures CMakeLists.txt pyproject.toml -type f \
              -not -path '*/__pycache__/*' -print0 \
          | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
fixtures="${TESSEL_TEST_FIXTURES:-OFF}"
if [ -f "$stamp" ] && [ -z "${TESSEL_REBUILD:-}" ]; then
  read -r built_sources built_fixtures < "$stamp" || true
  if [ "$built_sources" = "$sources" ] && { [ "$built_fixtures" = "ON" ] || [ "$fixtures" != "ON" ]; }; then
    exit 0
  fi
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
TESSEL_TEST_FIXTURES="$fixtures" "$VENV/bin/python" -m pip install -q ".[test]"
echo "$sources $fixtures" > "$stamp"
