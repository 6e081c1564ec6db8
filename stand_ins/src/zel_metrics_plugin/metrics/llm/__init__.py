"""Metrics for large-language-model output."""
