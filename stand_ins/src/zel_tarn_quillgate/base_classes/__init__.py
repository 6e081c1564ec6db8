"""Base building blocks of the kit."""
