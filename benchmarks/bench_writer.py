"""Writing a 200 MB result through the disk-cache writer, against writing it
directly with TesselDiskCache in this process (ours / direct, target <= 1.5).
Ours is timed from put_task until its done record has arrived.
"""

import shutil
import tempfile
import time

import cloudpickle
import numpy as np

from tessel_core.cache import TesselDiskCache
from tessel_core.executors.diskcache_writer import TesselDiskcacheWriter
from tessel_core.misc.models import TesselCacheModel, TesselDiskCacheTodoModel


def main():
    blob = cloudpickle.dumps(np.ones(25_000_000))  # 200 MB
    result = TesselCacheModel(non_module_outputs={"arr": blob})
    root = tempfile.mkdtemp(prefix="bench-writer-")
    writer = TesselDiskcacheWriter("bench")
    writer.open()
    writer.start()

    def direct(i):
        cache = TesselDiskCache(cache_dir=f"{root}/direct{i}")
        with cache._cache.transact():
            for name, value in result:
                setattr(cache, name, value)
        cache.close()

    held = []

    def through_writer(i):
        task = TesselDiskCacheTodoModel(component_id="c", cache_dir=f"{root}/writer{i}",
                                        result=result)
        t = time.perf_counter()
        writer.put_task(task)
        held.append(time.perf_counter() - t)
        while not writer.get_messages():
            time.sleep(0.001)

    try:
        ours, base = [], []
        for i in range(4):
            t = time.perf_counter(); through_writer(i); ours.append(time.perf_counter() - t)
            t = time.perf_counter(); direct(i); base.append(time.perf_counter() - t)
            shutil.rmtree(f"{root}/writer{i}"); shutil.rmtree(f"{root}/direct{i}")
        print(f"{'case':40} {'ratio':>6}  target")
        print(f"{'200 MB through the writer vs direct':40} {min(ours) / min(base):6.2f}  <= 1.5")
        print(f"{'kernel held by put_task vs direct write':40} {min(held) / min(base):6.2f}  <= 0.2")
    finally:
        writer.close()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
