"""The main job through the client object and the stand-in plugin: real
metric values, custom metrics, and the deferred faithfulness result."""

from __future__ import annotations

import importlib.util

import pandas as pd
import pytest

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("zel_metrics_plugin") is None,
    reason="the stand-in metrics plugin (zel_metrics_plugin) is not installed",
)


def test_compute_then_fetch_deferred_metrics() -> None:
    from zel_cloud_sdk_core.authenticators import BearerTokenAuthenticator
    from zel_tarn_quillgate import TarnQuillgateV2Adapter

    client = TarnQuillgateV2Adapter(BearerTokenAuthenticator("token"), "https://monitoring.example")
    configuration = {
        "configuration": {
            "question_answering": {"bleu": {}, "exact_match": {}},
            "retrieval_augmented_generation": {"faithfulness": {}},
        }
    }
    sources = pd.DataFrame({"text": ["the cat sat on the mat", "it rained all day"]})
    predictions = pd.DataFrame({"text": ["the cat sat on the mat", "sun all day"]})
    references = pd.DataFrame({"text": ["the cat sat on the mat", "it rained all day"]})
    received = []

    def prediction_count(sources, predictions, references, **kwargs):
        received.append(kwargs)
        return {"prediction_count": len(predictions), "exact_match": "replaced by the evaluator"}

    result = client.llm_metrics.compute_metrics(
        configuration, sources, predictions, references, custom_evaluators=[prediction_count]
    )

    assert result["bleu"]["record_level"][0] == pytest.approx(1.0)
    assert 0.0 <= result["bleu"]["metric_value"] <= 1.0
    assert result["prediction_count"] == 2
    assert result["exact_match"] == "replaced by the evaluator"
    assert result["faithfulness"]["status"] == "submitted"
    assert received[0]["origin"] == "sdk" and received[0]["is_bearer_token"] is True
    assert received[0]["authenticator"] is client.authenticator

    final = client.llm_metrics.get_metrics_result(configuration=configuration, metrics_result=result)
    faithfulness = final["faithfulness"]
    assert faithfulness["status"] == "completed"
    assert faithfulness["task_id"] == result["faithfulness"]["task_id"]
    assert faithfulness["record_level"][0] == pytest.approx(1.0)
    assert 0.0 < faithfulness["metric_value"] < 1.0
