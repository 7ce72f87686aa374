from typing import Optional, Tuple

from celery import Task

from tessel_core.misc.models import TesselExecutionRequestModel, TesselExecutionResponseModel

class TesselRemotePingTask(Task):
    name: str
    def run(self) -> Tuple[bool, str]: ...

class TesselRemoteComponentExecuteTask(Task):
    name: str
    def run(self, identifier: Optional[str], name: Optional[str], request: TesselExecutionRequestModel) -> TesselExecutionResponseModel: ...
