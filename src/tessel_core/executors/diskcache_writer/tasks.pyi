from typing import Any, Optional, Tuple

from diskcache import Disk

from tessel_core.executors.diskcache_writer.queue import TesselDiskcacheWriterQueue

def write_diskcache(queue: TesselDiskcacheWriterQueue, ipykernel_connection: Optional[str] = None) -> None: ...

class TesselAdoptingDisk(Disk):
    def store(self, value: Any, read: bool, key: Any = ...) -> Tuple[int, int, Optional[str], Any]: ...
