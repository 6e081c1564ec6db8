"""The browser on the stand-in plugin and the kit's real Table."""

from __future__ import annotations

import fakes as bf


def test_full_catalogue_through_the_client(client, capsys) -> None:
    assert client.llm_metrics.show_supported_metrics() is None
    out = capsys.readouterr().out
    titles = [bf.ALL_METRICS_TITLE, bf.ALL_TASK_TYPES_TITLE, bf.ALL_GROUPS_TITLE]
    positions = [out.index(title + "\n") for title in titles]
    assert positions == sorted(positions) and positions[0] == 0
    assert out.endswith(bf.FOOTER) and out.count(bf.FOOTER_HEADING) == 1
    assert "| bleu " in out and "| rouge_score " in out


def test_one_metric_through_the_client(client, capsys) -> None:
    from zel_metrics_plugin.metrics.llm.config.entities import LLMSubMetrics

    client.llm_metrics.show_supported_metrics(metric_group="rouge_score", metric_id=LLMSubMetrics.ROUGE1)
    out = capsys.readouterr().out
    assert out.startswith("rouge1 metric comes under the rouge_score metric group.\nrouge1 metric details:\n")
    assert out.endswith(bf.FOOTER)
