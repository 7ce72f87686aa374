"""Result caches: the in-memory holder and the disk cache."""

from .diskcache import TesselDiskCache
from .quickhold import TesselQuickhold

__all__ = ["TesselDiskCache", "TesselQuickhold"]
