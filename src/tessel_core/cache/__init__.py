"""Result caches: the in-memory holder and the disk cache.

The two classes are imported when first asked for: the command line reads
manifests and records of a cache directory (`manifest`, `upkeep`) before it
knows it needs either, and importing them imports the whole record model.
"""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .diskcache import TesselDiskCache
    from .quickhold import TesselQuickhold

__all__ = ["TesselDiskCache", "TesselQuickhold"]


def __getattr__(name):
    if name == "TesselDiskCache":
        from .diskcache import TesselDiskCache as value
    elif name == "TesselQuickhold":
        from .quickhold import TesselQuickhold as value
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value  # found directly from now on
    return value
