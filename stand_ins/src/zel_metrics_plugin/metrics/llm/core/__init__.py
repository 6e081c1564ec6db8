"""Metric computation."""
