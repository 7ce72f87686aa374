"""Execution core of a notebook pipeline tool."""

__version__ = "0.1.0"
