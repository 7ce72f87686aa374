import logging
import os

import pytest


@pytest.fixture
def fresh_package_logger(tmp_path, monkeypatch):
    """An unconfigured package logger whose log directory is a temp dir.

    The package logger is process-wide; each test gets it empty and gets the
    previous handlers back afterwards.
    """
    from tessel_core.common import mixins

    root = logging.getLogger(mixins.ROOT_LOGGER_NAME)
    saved = (list(root.handlers), root.propagate, root.level)
    for h in list(root.handlers):
        root.removeHandler(h)
    logs_dir = str(tmp_path / "logs")
    monkeypatch.setattr(mixins, "FILE_LOGS_DIR", logs_dir)
    yield root, logs_dir
    for h in list(root.handlers):
        root.removeHandler(h)
        h.close()
    for h in saved[0]:
        root.addHandler(h)
    root.propagate, root.level = saved[1], saved[2]


@pytest.fixture(autouse=True)
def _no_stray_cwd_change():
    cwd = os.getcwd()
    yield
    os.chdir(cwd)
