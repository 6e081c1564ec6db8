"""A walk through LLMMetrics on a small data set.

Browse the supported metrics, pick some, compute them together with a custom
evaluator, fetch the metric the service finishes later, and display a
robustness result.  Run it with `./dev demo`.
"""

from __future__ import annotations

import json
from typing import Any

import pandas as pd

from zel_cloud_sdk_core.authenticators import BearerTokenAuthenticator
from zel_tarn_quillgate import TarnQuillgateV2Adapter


def heading(text: str) -> None:
    print()
    print(text)
    print("=" * len(text))


def rounded(value: Any) -> Any:
    """Result values rounded for reading (per-record lists shortened)."""
    if isinstance(value, float):
        return round(value, 4)
    if isinstance(value, dict):
        return {k: rounded(v) for k, v in value.items()}
    if isinstance(value, list):
        return [rounded(v) for v in value]
    return value


def answer_length(sources: pd.DataFrame, predictions: pd.DataFrame, references: pd.DataFrame,
                  **kwargs: Any) -> dict[str, Any]:
    """A custom evaluator: the mean length of the answers, in words."""
    lengths = [len(text.split()) for text in predictions.iloc[:, 0]]
    return {"answer_length": {"metric_value": sum(lengths) / len(lengths), "record_level": lengths,
                              "computed_for": kwargs["origin"]}}


def main() -> None:
    client = TarnQuillgateV2Adapter(
        BearerTokenAuthenticator("demo-token"),
        "https://monitoring.example.com",
        service_instance_id="demo-instance",
    )
    metrics = client.llm_metrics

    heading("1. What can be computed for question answering?")
    metrics.show_supported_metrics(task_type="question_answering")

    heading("2. Is ROUGE-L part of the ROUGE group?")
    metrics.show_supported_metrics(metric_group="rouge_score", metric_id="rougeL")

    sources = pd.DataFrame({"context": [
        "The Eiffel Tower was completed in 1889 for the World's Fair in Paris.",
        "Photosynthesis turns light, water and carbon dioxide into glucose and oxygen.",
        "The Nile flows north through eleven countries into the Mediterranean Sea.",
    ]})
    predictions = pd.DataFrame({"answer": [
        "The Eiffel Tower was completed in 1889.",
        "Plants turn light and water into glucose and oxygen.",
        "The Nile flows south into the Red Sea.",
    ]})
    references = pd.DataFrame({"reference": [
        "The Eiffel Tower was completed in 1889.",
        "Photosynthesis turns light, water and carbon dioxide into glucose and oxygen.",
        "The Nile flows north into the Mediterranean Sea.",
    ]})
    configuration = {"configuration": {"question_answering": {
        "exact_match": {}, "rouge_score": {"use_stemmer": True}, "bleu": {},
        "normalized_f1_score": {}, "faithfulness": {},
    }}}

    heading("3. compute_metrics with a custom evaluator")
    result = metrics.compute_metrics(configuration, sources, predictions, references,
                                     custom_evaluators=[answer_length])
    for name, value in result.items():
        shown = rounded(value)
        if name == "faithfulness":
            shown = {k: shown[k] for k in ("status", "task_id") if k in shown}
        print(f"{name:22} {json.dumps(shown)}")

    heading("4. get_metrics_result: the metric the service finishes later")
    final = metrics.get_metrics_result(configuration, result)
    print(f"{'faithfulness':22} {json.dumps(rounded(final['faithfulness']))}")

    heading("5. display_result: a robustness report")
    metrics.display_result({
        "typos": {"exact_match": 0.67, "rougeL": 0.91},
        "paraphrase": {"exact_match": 0.33, "rougeL": 0.78},
        "prompt_injection": {"exact_match": 0.0, "rougeL": 0.41},
    })


if __name__ == "__main__":
    main()
