from abc import ABCMeta, abstractmethod
from typing import Any, Optional

class ITesselHPOCallback(metaclass=ABCMeta):
    _pipeline_callback: Optional[Any]
    def __init__(self, pipeline_callback: Optional[Any] = None) -> None: ...
    @abstractmethod
    def __call__(self, study: Any, trial: Any) -> None: ...
