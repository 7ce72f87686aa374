"""Shared helpers: application name, logging mixin, code formatting."""
