"""Module globals read by the methods: every use sees the current binding,
however often the same global was read before."""

from __future__ import annotations

import gc
import weakref

import pytest
from zel_cloud_sdk_core.authenticators import BearerTokenAuthenticator


class Evaluators:
    def __init__(self, client):
        self.client = client


class OtherEvaluators(Evaluators):
    pass


def _construct_many(llm_metrics, client, n=3):
    return [llm_metrics.LLMMetrics(client) for _ in range(n)]


@pytest.mark.parametrize("change", ["rebind", "delete", "clear_and_restore", "update"])
def test_changes_after_repeated_reads_are_seen(llm_metrics, client, monkeypatch, change) -> None:
    monkeypatch.setattr(llm_metrics, "LLMAJEvaluators", Evaluators)
    assert all(type(m.evaluators) is Evaluators for m in _construct_many(llm_metrics, client))
    namespace = vars(llm_metrics)
    if change == "rebind":
        monkeypatch.setattr(llm_metrics, "LLMAJEvaluators", OtherEvaluators)
        assert type(llm_metrics.LLMMetrics(client).evaluators) is OtherEvaluators
    elif change == "delete":
        monkeypatch.delattr(llm_metrics, "LLMAJEvaluators")
        with pytest.raises(NameError, match="name 'LLMAJEvaluators' is not defined"):
            llm_metrics.LLMMetrics(client)
    elif change == "clear_and_restore":
        saved = dict(namespace)
        cls = llm_metrics.LLMMetrics
        namespace.clear()
        try:
            with pytest.raises(NameError, match="name 'validate_type' is not defined"):
                cls(client)
        finally:
            namespace.update(saved)
        assert type(llm_metrics.LLMMetrics(client).evaluators) is Evaluators
    else:
        namespace.update({"LLMAJEvaluators": OtherEvaluators})
        assert type(llm_metrics.LLMMetrics(client).evaluators) is OtherEvaluators


def test_a_global_shadowing_a_builtin_and_its_removal(llm_metrics, client, monkeypatch) -> None:
    import builtins

    monkeypatch.delattr(llm_metrics, "LLMAJEvaluators")
    monkeypatch.setattr(builtins, "LLMAJEvaluators", Evaluators, raising=False)
    assert type(llm_metrics.LLMMetrics(client).evaluators) is Evaluators
    monkeypatch.setattr(llm_metrics, "LLMAJEvaluators", OtherEvaluators, raising=False)
    assert type(llm_metrics.LLMMetrics(client).evaluators) is OtherEvaluators
    monkeypatch.delattr(llm_metrics, "LLMAJEvaluators")
    assert type(llm_metrics.LLMMetrics(client).evaluators) is Evaluators


def test_rebinding_during_a_call_is_seen_by_the_next_read(llm_metrics, client, monkeypatch) -> None:
    seen = []

    class Bearer(BearerTokenAuthenticator):
        pass

    def validate_type(*args):
        # Runs before the constructor reads BearerTokenAuthenticator.
        monkeypatch.setattr(llm_metrics, "BearerTokenAuthenticator", Bearer)
        seen.append(args[2])

    monkeypatch.setattr(llm_metrics, "validate_type", validate_type)
    client.authenticator = Bearer("t")
    assert llm_metrics.LLMMetrics(client).is_bearer_token is True
    assert seen == [llm_metrics.BaseService]


def test_a_replaced_global_is_released_at_once(llm_metrics, client, monkeypatch) -> None:
    class Transient(Evaluators):
        pass

    monkeypatch.setattr(llm_metrics, "LLMAJEvaluators", Evaluators)
    llm_metrics.LLMAJEvaluators = Transient
    _construct_many(llm_metrics, client)
    gone = weakref.ref(Transient)
    del Transient
    llm_metrics.LLMAJEvaluators = Evaluators
    gc.collect()
    assert gone() is None
