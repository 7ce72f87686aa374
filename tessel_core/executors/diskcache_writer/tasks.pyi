from typing import Optional

from tessel_core.executors.diskcache_writer.queue import TesselDiskcacheWriterQueue

def write_diskcache(queue: TesselDiskcacheWriterQueue, ipykernel_connection: Optional[str] = None) -> None: ...
