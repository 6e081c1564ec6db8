"""The plain-Python browser is the oracle's (`baseline_llm_metrics`); this
name stays only for the test modules that still import it, and goes with the
last of them."""

from __future__ import annotations

from typing import Any

import baseline_llm_metrics


def show_supported_metrics(obj: Any, table_module: Any, task_type: Any = None, metric_id: Any = None,
                           metric_group: Any = None) -> None:
    """The oracle's method run on `obj`, printing through `table_module.Table`."""
    saved = baseline_llm_metrics.Table
    baseline_llm_metrics.Table = table_module.Table
    try:
        return baseline_llm_metrics.LLMMetrics.show_supported_metrics(obj, task_type, metric_id, metric_group)
    finally:
        baseline_llm_metrics.Table = saved
