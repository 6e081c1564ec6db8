"""Implementations of shared helpers."""
