"""Shared metric helpers."""
