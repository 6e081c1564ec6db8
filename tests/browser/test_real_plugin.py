"""The browser on the stand-in plugin and the kit's real Table: what the
oracle prints there."""

from __future__ import annotations

import fakes as bf
from llm_metrics_testing import oracle


def test_full_catalogue_through_the_client(client) -> None:
    with bf.captured_stdout() as printed:
        assert client.llm_metrics.show_supported_metrics() is None
    out = printed.getvalue()
    assert out == bf.shown_by(oracle, client).out
    assert out.endswith(bf.FOOTER) and out.count(bf.FOOTER_HEADING) == 1
    assert "| bleu " in out and "| rouge_score " in out


def test_one_metric_through_the_client(llm_metrics, client) -> None:
    from zel_metrics_plugin.metrics.llm.config.entities import LLMSubMetrics

    out = bf.shown_as_by_the_oracle(llm_metrics, oracle, client, metric_group="rouge_score",
                                    metric_id=LLMSubMetrics.ROUGE1).out
    assert out.startswith("rouge1 metric comes under the rouge_score metric group.\nrouge1 metric details:\n")
    assert out.endswith(bf.FOOTER)
