"""Metric families."""
