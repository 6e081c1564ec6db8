"""Constants and helpers shared by the computation tests (the recording
fakes themselves are fixtures in conftest.py)."""

from __future__ import annotations

from typing import Any

MANAGER_MODULE = "zel_metrics_plugin.metrics.llm.core.llm_metrics_manager"
ROBUSTNESS_MODULE = "zel_metrics_plugin.metrics.llm.common.impl.robustness_metric"

MANAGER_HINT = (
    "Unable to find metric-plugins library with LLM support to compute metrics. "
    "Please install it using `pip install zel-metrics-plugin`"
)
ROBUSTNESS_HINT = "Unable to find metric-plugins library. Please install it "

MANAGER_KEYS = ["is_vesk", "origin", "is_bearer_token", "authenticator", "service_url", "host", "service_instance_id"]


def new_instance(cls: type, client: Any, is_bearer_token: bool = False) -> Any:
    """An instance with the constructor's attributes, without running it."""
    instance = cls.__new__(cls)
    instance.ai_client = client
    instance.is_bearer_token = is_bearer_token
    instance.evaluators = None
    return instance
