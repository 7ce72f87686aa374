"""Third-party packages the core uses, exposed under one name."""

import diskcache

__all__ = ["diskcache"]
