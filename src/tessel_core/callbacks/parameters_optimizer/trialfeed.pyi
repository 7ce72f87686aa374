from typing import Any, Optional

from tessel_core.callbacks.parameters_optimizer.hookbase import ITesselHPOCallback

class TesselHPOTrialfeedCallback(ITesselHPOCallback):
    def __init__(self, pipeline_callback: Optional[Any]) -> None: ...
    def __call__(self, study: Any, trial: Any) -> None: ...
