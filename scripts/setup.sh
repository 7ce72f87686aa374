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
stamp="$VENV/.tessel-build-stamp"
sources=$(find src CMakeLists.txt pyproject.toml -type f -not -path '*/__pycache__/*' -print0 \
          | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sources" ] && [ -z "${TESSEL_REBUILD:-}" ]; then
  exit 0
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q ".[test]"
echo "$sources" > "$stamp"
