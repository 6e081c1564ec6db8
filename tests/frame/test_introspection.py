"""What users see through help(), pydoc, doctest and tab completion."""

from __future__ import annotations

import doctest
import pydoc
import rlcompleter

import pytest

from llm_metrics_testing import PUBLIC_METHOD_KEYS, oracle, source_docstrings

pytestmark = pytest.mark.no_refleak


def test_help_text_shows_signatures_and_docstrings(llm_metrics) -> None:
    text = pydoc.render_doc(llm_metrics.LLMMetrics, renderer=pydoc.plaintext)
    assert "class LLMMetrics(builtins.object)" in text
    # How pydoc writes the annotations depends on the interpreter (3.14 no
    # longer quotes a string annotation again): as it does for the class.
    def signature_lines(text: str) -> list[str]:
        return [line for line in text.splitlines() if "(ai_client:" in line or "configuration:" in line]
    assert signature_lines(text) == signature_lines(pydoc.render_doc(oracle.LLMMetrics, renderer=pydoc.plaintext))
    assert len(signature_lines(text)) >= 3
    assert "custom_evaluators=[]," in text and "**kwargs" in text
    assert "Compute LLM based metrics based on the configuration." in text
    assert "show_supported_metrics(self, task_type=None, metric_id=None, metric_group=None)" in text
    assert "display_result(self, results)" in text


def test_doctest_collects_the_docstrings_and_test_dict(llm_metrics) -> None:
    names = {test.name.split("llm_metrics.", 1)[1] for test in doctest.DocTestFinder().find(llm_metrics)}
    assert {"__test__." + entry for entry in oracle.__test__} <= names
    assert {f"LLMMetrics.{key}" for key, doc in source_docstrings().items() if doc and ">>>" in doc} <= names


def test_tab_completion_offers_the_public_methods(llm_metrics, client) -> None:
    completer = rlcompleter.Completer({"metrics": llm_metrics.LLMMetrics(client)})
    offered = set()
    state = 0
    while (match := completer.complete("metrics.", state)) is not None:
        offered.add(match)
        state += 1
    public = {f"metrics.{key}(" for key in PUBLIC_METHOD_KEYS if not key.startswith("_")}
    assert public | {"metrics.ai_client", "metrics.evaluators"} <= offered


def test_methods_see_the_module_globals_as_python_functions_do(llm_metrics) -> None:
    # inspect.getclosurevars, pickle's whichmodule and debuggers read __globals__.
    for key in PUBLIC_METHOD_KEYS:
        function = vars(llm_metrics.LLMMetrics)[key]
        assert function.__globals__ is vars(llm_metrics)
        assert vars(oracle.LLMMetrics)[key].__globals__ is vars(oracle)
