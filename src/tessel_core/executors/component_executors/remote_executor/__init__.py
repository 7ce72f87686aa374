"""Running components on Celery workers."""

from .executor import TesselRemoteComponentExecutor

__all__ = ["TesselRemoteComponentExecutor"]
