"""Correct uses of llm_metrics, written as a user of the kit writes them.

Type checkers must accept every line of this file (tests/typing checks it
with mypy and basedpyright).  It is only type-checked, never run.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import pandas as pd

from zel_cloud_sdk_core.authenticators import BearerTokenAuthenticator, IAMAuthenticator
from zel_metrics_plugin.metrics.llm.config.entities import LLMMetricType, LLMSubMetrics, LLMTaskType
from zel_tarn_quillgate import TarnQuillgateV2Adapter
from zel_tarn_quillgate.supporting_classes.metrics.llm_metrics import LLMMetrics

if TYPE_CHECKING:
    from zel_tarn_quillgate.supporting_classes.metrics.llm_metrics import CustomEvaluator, ManagerKeywords

client = TarnQuillgateV2Adapter(BearerTokenAuthenticator("my-token"), "https://monitoring.example.com")
metrics = client.llm_metrics
also_metrics: LLMMetrics = LLMMetrics(TarnQuillgateV2Adapter(IAMAuthenticator("key")))
token_client: bool = metrics.is_bearer_token

sources = pd.DataFrame({"context": ["The Eiffel Tower was completed in 1889."]})
predictions = pd.DataFrame({"answer": ["It was completed in 1889."]})
references = pd.DataFrame({"reference": ["The Eiffel Tower was completed in 1889."]})
configuration: dict[str, Any] = {"configuration": {"question_answering": {"bleu": {}, "faithfulness": {}}}}


# Evaluators in the forms users write: annotated, unannotated, other
# parameter names, frames that may be None, keywords picked out by name.
def answer_length(
    sources: pd.DataFrame, predictions: pd.DataFrame, references: pd.DataFrame, **kwargs: Any
) -> dict[str, float]:
    lengths = [len(str(text).split()) for text in predictions.iloc[:, 0]]
    return {"answer_length": sum(lengths) / len(lengths)}


def untyped(sources, predictions, references, **kwargs):  # noqa: ANN001
    return {"rows": len(predictions)}


def short_names(s: pd.DataFrame | None, p: pd.DataFrame | None, r: pd.DataFrame | None, **kw: object) -> dict[str, Any]:
    return {"has_sources": s is not None}


def with_context(
    sources: pd.DataFrame, predictions: pd.DataFrame, references: pd.DataFrame, *, origin: str, host: str, **kwargs: Any
) -> dict[str, str]:
    return {"computed_by": f"{origin}@{host}"}


def from_keywords(sources: pd.DataFrame, predictions: pd.DataFrame, references: pd.DataFrame,
                  **kwargs: Any) -> dict[str, object]:
    return {"authenticator": type(kwargs["authenticator"]).__name__, "tag": kwargs.get("tag")}


evaluators: list[CustomEvaluator] = [answer_length, untyped, short_names, with_context, from_keywords]
context: ManagerKeywords | None = None

result: dict[str, Any] = metrics.compute_metrics(configuration, sources, predictions, references)
result = metrics.compute_metrics(configuration, sources, predictions, references, custom_evaluators=evaluators)
result = metrics.compute_metrics(configuration, predictions=predictions, references=references,
                                 custom_evaluators=(answer_length, lambda s, p, r, **kw: {"constant": 1}))
result = metrics.compute_metrics(configuration=configuration, sources=None, tag="nightly")
bleu_value = result["bleu"]["metric_value"]

final = metrics.get_metrics_result(configuration, result)
final = metrics.get_metrics_result(configuration=configuration, metrics_result=result, tag="nightly")
faithfulness: dict[str, Any] = final["faithfulness"]

metrics.show_supported_metrics()
metrics.show_supported_metrics(task_type="generation")
metrics.show_supported_metrics("generation", "bleu")
metrics.show_supported_metrics(metric_id=LLMMetricType.BLEU, task_type=LLMTaskType.GENERATION)
metrics.show_supported_metrics(metric_group="rouge_score", metric_id=LLMSubMetrics.ROUGE1)
metrics.show_supported_metrics(task_type=None, metric_id=None, metric_group=None)

metrics.display_result({"typos": {"rougeL": 0.91}})
metrics.display_result(pd.DataFrame({"rougeL": [0.91]}, index=["typos"]))
