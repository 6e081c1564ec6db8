"""Metrics plugin: metric catalogue and computation."""

__version__ = "0.1.0"
