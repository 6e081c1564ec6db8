"""Client kit for the model-monitoring service."""

from .client import TarnQuillgateV2Adapter

__all__ = ["TarnQuillgateV2Adapter"]
