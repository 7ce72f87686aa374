"""Shared helpers: application name, logging mixin, code formatting."""

from .formatting import format_code

__all__ = ["format_code"]
