from typing import Any, Optional

from tessel_core.callbacks.parameters_optimizer.hookbase import ITesselHPOCallback

class TesselHPOHaltwatchCallback(ITesselHPOCallback):
    def __init__(self, pipeline_callback: Optional[Any], haltwatch_rounds: int, direction: Optional[str]) -> None: ...
    def __call__(self, study: Any, trial: Any) -> None: ...
