"""format_code, parse_last_expr_from_code and handle_obj_for_exceptions."""

import pandas as pd
import pytest
from IPython.core.interactiveshell import InteractiveShell

from tessel_core.common import format_code
from tessel_core.executors.component_executors.local_executor.functions import (
    handle_obj_for_exceptions,
)
from tessel_core.executors.component_executors.utils import parse_last_expr_from_code


@pytest.mark.parametrize("code, expected", [
    ("x = 1\nx + 1", ("x + 1", "x = 1\n")),
    ("a = 1; b = 'é'; b", ("b", "a = 1; b = 'é'; ")),
    ("x = (1,\n 2)\nf(x,\n  3)", ("f(x,\n  3)", "x = (1,\n 2)\n")),
    ("x = 1", (None, "x = 1")),
    ("", (None, "")),
    ("def f(:", (None, "def f(:")),
])
def test_parse_last_expr(code, expected):
    # a shell of this process, if any, transforms the code (adding a final newline)
    last, before = parse_last_expr_from_code(code, ipython_shell=None)
    assert (last, before.rstrip("\n")) == (expected[0], expected[1].rstrip("\n"))


def test_parse_last_expr_ipython_syntax_with_shell():
    shell = InteractiveShell.instance()
    last, before = parse_last_expr_from_code("x = 1\n%time x", ipython_shell=shell)
    assert last == "get_ipython().run_line_magic('time', 'x')" and before == "x = 1\n"
    last, _ = parse_last_expr_from_code("!echo hi", ipython_shell=shell)
    assert last == "get_ipython().system('echo hi')"


def test_format_code():
    assert format_code("    a = 1\r\n    if a:\n        b = '  '\n\n   \n") == (
        "a = 1\nif a:\n    b = '  '")
    assert format_code("x = 1  \ny = '''a  \n  b'''") == "x = 1  \ny = '''a  \n  b'''"
    assert format_code(None) == ""
    with pytest.raises(TypeError):
        format_code(3)


def test_handle_obj_for_exceptions():
    for value in (1, "s", None):
        assert handle_obj_for_exceptions(value) is value
    frame = pd.DataFrame({"a": [1, 2]})
    assert handle_obj_for_exceptions(frame) is frame
    series = pd.Series([1, 2], index=["x", "y"], name="n")
    copy = handle_obj_for_exceptions(series)
    assert copy is not series
    pd.testing.assert_series_equal(copy, series)
    copy.iloc[0] = 99
    assert series.iloc[0] == 1
