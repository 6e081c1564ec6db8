"""Constants and helpers shared by the computation tests (the recording
fakes themselves are fixtures in conftest.py)."""

from __future__ import annotations

from typing import Any

from fakes import MANAGER as MANAGER_MODULE
from fakes import MANAGER_KEYS  # noqa: F401
from fakes import ROBUSTNESS as ROBUSTNESS_MODULE

MANAGER_HINT = (
    "Unable to find metric-plugins library with LLM support to compute metrics. "
    "Please install it using `pip install zel-metrics-plugin`"
)
ROBUSTNESS_HINT = "Unable to find metric-plugins library. Please install it "


def new_instance(cls: type, client: Any, is_bearer_token: bool = False) -> Any:
    """An instance with the constructor's attributes, without running it."""
    instance = cls.__new__(cls)
    instance.ai_client = client
    instance.is_bearer_token = is_bearer_token
    instance.evaluators = None
    return instance
