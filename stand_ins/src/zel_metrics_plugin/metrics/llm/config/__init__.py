"""The LLM metric catalogue."""
