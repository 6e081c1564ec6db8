"""Older constants kept for existing configurations."""
