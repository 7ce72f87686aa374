"""Hostile objects never crash the interpreter (the fuzzing runs in a subprocess,
so that a crash is seen as a signal instead of ending the test run)."""

import os
import subprocess
import sys

import pytest

pytest.importorskip("hypothesis")

SCRIPT = os.path.join(os.path.dirname(__file__), "fuzz_public_api.py")


def test_public_api_survives_hostile_objects(tmp_path):
    out = subprocess.run([sys.executable, SCRIPT, "300"], capture_output=True, text=True,
                         timeout=600, cwd=tmp_path)
    assert out.returncode == 0, f"exit {out.returncode}\n{out.stdout}\n{out.stderr[-3000:]}"
    assert out.stdout.count(" ok") == 8
