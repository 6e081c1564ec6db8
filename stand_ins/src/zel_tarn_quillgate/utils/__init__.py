"""Small helpers shared by the kit."""
