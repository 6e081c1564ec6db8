"""Mistakes users make with llm_metrics, one per marked line.

A type checker must report an error on every line that ends in a "mistake"
comment and on no other line (tests/typing checks this with mypy and basedpyright).  It
is only type-checked, never run.
"""

from __future__ import annotations

from typing import Any

import pandas as pd

from zel_cloud_sdk_core.authenticators import BearerTokenAuthenticator
from zel_tarn_quillgate import TarnQuillgateV2Adapter
from zel_tarn_quillgate.supporting_classes.metrics.llm_metrics import LLMMetrics

client = TarnQuillgateV2Adapter(BearerTokenAuthenticator("my-token"), "https://monitoring.example.com")
metrics = client.llm_metrics
frame = pd.DataFrame({"text": ["an answer"]})
configuration: dict[str, Any] = {"configuration": {"generation": {"bleu": {}}}}


def no_kwargs(sources: pd.DataFrame, predictions: pd.DataFrame, references: pd.DataFrame) -> dict[str, float]:
    return {"rows": float(len(predictions))}


def returns_text(sources: pd.DataFrame, predictions: pd.DataFrame, references: pd.DataFrame, **kwargs: Any) -> str:
    return "rows"


def wrong_context(sources: pd.DataFrame, predictions: pd.DataFrame, references: pd.DataFrame, *,
                  is_vesk: str, **kwargs: Any) -> dict[str, str]:
    return {"vesk": is_vesk}


def two_frames(predictions: pd.DataFrame, references: pd.DataFrame, **kwargs: Any) -> dict[str, int]:
    return {"rows": len(predictions)}


metrics.compute_metrics(configuration, frame, frame, frame, custom_evaluators=[no_kwargs])  # mistake: evaluator without **kwargs
metrics.compute_metrics(configuration, frame, frame, frame, custom_evaluators=[returns_text])  # mistake: evaluator returns no mapping
metrics.compute_metrics(configuration, frame, frame, frame, custom_evaluators=[wrong_context])  # mistake: is_vesk is a bool
metrics.compute_metrics(configuration, frame, frame, frame, custom_evaluators=[two_frames])  # mistake: evaluators take three frames
metrics.compute_metrics(configuration, frame, frame, frame, custom_evaluators=no_kwargs)  # mistake: one function, not a list
metrics.show_supported_metrics(task_type=3)  # mistake: a non-string task type
metrics.show_supported_metrics(metric_id=["bleu", "rouge1"])  # mistake: several metric ids at once
metrics.show_supported_metrics(metric="bleu")  # mistake: no such parameter
metrics.compute_metrics(configuration, None, ["Paris", "Rome"], frame)  # mistake: a list where a frame goes
metrics.compute_metrics(configuration, predictions=frame["text"], references=frame)  # mistake: a Series where a frame goes
metrics.compute_metrics("generation", None, frame, frame)  # mistake: a string as configuration
metrics.compute_metrics([("configuration", {"generation": {"bleu": {}}})])  # mistake: pairs instead of a dict
bleu_supported = metrics.show_supported_metrics(task_type="generation")["bleu"]  # mistake: the browser prints, returns None
shown = metrics.display_result({"typos": {"rougeL": 0.9}}).to_frame()  # mistake: display_result returns None
metrics.get_metrics_result(configuration)  # mistake: the metrics_result argument is missing
metrics.compute_metrics(configuration, frame, frame, frame, [], "extra")  # mistake: too many positional arguments
LLMMetrics("https://monitoring.example.com")  # mistake: a URL where the client goes
