"""Capture of what component code prints or displays, and its replay."""

from .capture import TesselCaptureManager, TesselCapturedIO, tessel_capture_output

__all__ = ["TesselCaptureManager", "TesselCapturedIO", "tessel_capture_output"]
