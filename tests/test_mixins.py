"""Logging mixin: one package logger, console + per-process rotating file."""

import logging
import logging.handlers
import os

import pytest

from tessel_core.common import mixins
from tessel_core.common.mixins import LoggingMixin


class First(LoggingMixin):
    pass


class Second(LoggingMixin):
    def __init__(self, value):
        super().__init__()
        self.value = value


def file_handlers(root):
    return [h for h in root.handlers if isinstance(h, logging.handlers.RotatingFileHandler)]


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def test_module_values():
    assert mixins.ROOT_LOGGER_NAME == "tessel_core"
    assert os.path.isabs(mixins.FILE_LOGS_DIR)
    assert os.path.basename(mixins.FILE_LOGS_DIR) == ".tessel_core-logs"
    assert LoggingMixin.__doc__ == "A mixin class to add logging."


def test_two_subclasses_share_one_configuration(fresh_package_logger, capsys):
    root, logs_dir = fresh_package_logger
    a, b = First(), Second(1)
    assert len(root.handlers) == 2 and root.propagate is False
    console, file_handler = root.handlers
    assert type(console) is logging.StreamHandler and console.level == logging.INFO
    assert file_handler.level == logging.DEBUG
    assert file_handler.baseFilename == os.path.join(logs_dir, f"tessel_core-{os.getpid()}.log")
    assert file_handler.maxBytes == 10485760 and file_handler.backupCount == 10
    assert a.logger.name == "tessel_core.First" and a.logger.level == logging.DEBUG
    assert b.logger.level == logging.DEBUG and b.value == 1
    a.logger.debug("quiet line")
    b.logger.info("loud line")
    err = capsys.readouterr().err
    text = read(file_handler.baseFilename)
    assert "quiet line" in text and "loud line" in text
    assert "quiet line" not in err and "loud line" in err
    assert "tessel_core.Second.test_two_subclasses_share_one_configuration() INFO: loud line" in text


def test_leftover_arguments_reach_object(fresh_package_logger):
    with pytest.raises(TypeError):
        LoggingMixin(1)


def test_caller_configured_logger_is_left_alone(fresh_package_logger):
    root, logs_dir = fresh_package_logger
    mine = logging.NullHandler()
    root.addHandler(mine)
    root.propagate = True
    First()
    assert root.handlers == [mine] and root.propagate is True
    assert not os.path.exists(logs_dir)


def test_root_level_changes_console_only(fresh_package_logger, capsys):
    root, _ = fresh_package_logger
    a = First()
    LoggingMixin.set_root_logging_level(logging.WARNING)
    a.logger.info("hidden from console")
    assert "hidden from console" not in capsys.readouterr().err
    assert "hidden from console" in read(root.handlers[1].baseFilename)
    assert root.handlers[1].level == logging.DEBUG


def test_root_level_before_configuration_raises(fresh_package_logger):
    with pytest.raises(IndexError):
        LoggingMixin.set_root_logging_level(logging.INFO)


def test_set_logging_filename_same_name_does_nothing(fresh_package_logger):
    root, _ = fresh_package_logger
    First()
    handler = root.handlers[1]
    LoggingMixin.set_logging_filename(f"tessel_core-{os.getpid()}")
    assert root.handlers[1] is handler


def test_set_logging_filename_moves_and_appends(fresh_package_logger):
    root, logs_dir = fresh_package_logger
    a = First()
    a.logger.info("before move")
    old = root.handlers[1].baseFilename
    target = os.path.join(logs_dir, "run.log")
    with open(target, "w", encoding="utf-8") as f:
        f.write("existing\n")
    LoggingMixin.set_logging_filename("run")
    assert not os.path.exists(old)
    a.logger.info("after move")
    text = read(target)
    assert text.startswith("existing\n") and "before move" in text and "after move" in text
    assert len(file_handlers(root)) == 1 and root.handlers[1].baseFilename == target


def test_set_logging_filename_twice(fresh_package_logger):
    root, logs_dir = fresh_package_logger
    a = First()
    LoggingMixin.set_logging_filename("one")
    a.logger.info("in one")
    LoggingMixin.set_logging_filename("two")
    assert not os.path.exists(os.path.join(logs_dir, "one.log"))
    assert "in one" in read(os.path.join(logs_dir, "two.log"))


def test_set_logging_filename_moves_every_rotating_handler(fresh_package_logger, tmp_path):
    root, logs_dir = fresh_package_logger
    First()
    extra = logging.handlers.RotatingFileHandler(str(tmp_path / "extra.log"), encoding="utf-8")
    extra.setLevel(logging.WARNING)
    root.addHandler(extra)  # two rotating handlers, one last in the list
    root.warning("both files")
    LoggingMixin.set_logging_filename("merged")
    target = os.path.join(logs_dir, "merged.log")
    assert [h.baseFilename for h in file_handlers(root)] == [target, target]
    assert sorted(h.level for h in file_handlers(root)) == [logging.DEBUG, logging.WARNING]
    assert read(target).count("both files") == 2
    assert type(root.handlers[0]) is logging.StreamHandler


def test_set_logging_filename_rejects_non_str(fresh_package_logger):
    root, _ = fresh_package_logger
    First()
    before = list(root.handlers)
    with pytest.raises(TypeError, match="Argument 'filename' has incorrect type"):
        LoggingMixin.set_logging_filename(3)
    assert root.handlers == before


def test_logs_stay_in_import_time_directory(fresh_package_logger, tmp_path):
    root, logs_dir = fresh_package_logger
    os.chdir(tmp_path)
    First().logger.info("x")
    assert os.path.dirname(root.handlers[1].baseFilename) == logs_dir
