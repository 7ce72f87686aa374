"""Parameter search over a pipeline with optuna."""

from .optimizer import TesselHPOptimizer, get_search_space

__all__ = ["TesselHPOptimizer", "get_search_space"]
