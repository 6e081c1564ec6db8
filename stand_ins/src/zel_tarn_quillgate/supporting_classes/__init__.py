"""Feature modules built on the kit's client."""
