from abc import ABCMeta, abstractmethod
from typing import Any, Dict, Iterator, List, Optional

from tessel_core.misc.models import TesselCapturedModel, TesselComponentOutputsSummaryModel

class ITesselCache(metaclass=ABCMeta):
    @classmethod
    def __get_validators__(cls) -> Iterator[Any]: ...
    @classmethod
    def validate_cache(cls, cache: "ITesselCache") -> "ITesselCache": ...
    @abstractmethod
    def __init__(self) -> None: ...
    @abstractmethod
    def _get_from_cache(self, key: str, default: Optional[Any] = None) -> Optional[Any]: ...
    @abstractmethod
    def _set_to_cache(self, key: str, value: Optional[Any]) -> None: ...
    def pop_from_cache(self, key: str) -> Optional[Any]: ...
    def clear_cache(self) -> None: ...
    module_statements: Dict[str, str]
    non_module_outputs: Dict[str, bytes]
    last_output: Optional[bytes]
    captured: Optional[List[TesselCapturedModel]]
    exception_msg: Optional[List[str]]
    outputs_summary: TesselComponentOutputsSummaryModel
