#!/usr/bin/env bash
# Create a virtual environment from nothing and install the package with its
# test extra. Installs redis-server from Debian packages when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV="${TESSEL_VENV:-.venv}"
if ! command -v redis-server >/dev/null 2>&1; then
  if [ "$(id -u)" = "0" ] && command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq redis-server >/dev/null
  else
    echo "redis-server is missing: install it (apt-get install redis-server)" >&2
  fi
fi
if [ ! -x "$VENV/bin/python" ]; then
  python3 -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q ".[test]"
