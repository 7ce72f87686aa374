"""Callbacks that optuna calls after every trial of a parameter search."""
