import logging
from typing import Any

APP_NAME: str
ROOT_LOGGER_NAME: str
FILE_LOGS_DIR: str

class LoggingMixin:
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    @property
    def logger(self) -> logging.Logger: ...
    @staticmethod
    def set_root_logging_level(level: int) -> None: ...
    @staticmethod
    def set_logging_filename(filename: str) -> None: ...
