"""What users see through help(), pydoc, doctest and tab completion."""

from __future__ import annotations

import doctest
import pydoc
import rlcompleter

import pytest

pytestmark = pytest.mark.no_refleak


def test_help_text_shows_signatures_and_docstrings(llm_metrics) -> None:
    text = pydoc.render_doc(llm_metrics.LLMMetrics, renderer=pydoc.plaintext)
    assert "class LLMMetrics(builtins.object)" in text
    assert "LLMMetrics(ai_client: \"'TarnQuillgateV2Adapter'\") -> 'None'" in text
    assert "configuration: 'dict'," in text and "custom_evaluators=[]," in text and "**kwargs" in text
    assert "Compute LLM based metrics based on the configuration." in text
    assert "show_supported_metrics(self, task_type=None, metric_id=None, metric_group=None)" in text
    assert "display_result(self, results)" in text


def test_doctest_collects_the_docstrings_and_test_dict(llm_metrics) -> None:
    names = {test.name.rsplit(".", 2)[-2] + "." + test.name.rsplit(".", 2)[-1]
             for test in doctest.DocTestFinder().find(llm_metrics)}
    assert "__test__.LLMMetrics.compute_metrics (line 52)" in {
        test.name.split("llm_metrics.", 1)[1] for test in doctest.DocTestFinder().find(llm_metrics)}
    assert "LLMMetrics.compute_metrics" in names and "LLMMetrics.get_metrics_result" in names


def test_tab_completion_offers_the_public_methods(llm_metrics, client) -> None:
    completer = rlcompleter.Completer({"metrics": llm_metrics.LLMMetrics(client)})
    offered = set()
    state = 0
    while (match := completer.complete("metrics.", state)) is not None:
        offered.add(match)
        state += 1
    assert {"metrics.compute_metrics(", "metrics.get_metrics_result(", "metrics.show_supported_metrics(",
            "metrics.display_result(", "metrics.ai_client", "metrics.evaluators"} <= offered
