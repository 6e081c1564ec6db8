"""LLMMetrics(ai_client): validation, attributes and the bearer-token test."""

from __future__ import annotations

import pytest
from zel_cloud_sdk_core import BaseService
from zel_cloud_sdk_core.authenticators import BearerTokenAuthenticator, IAMAuthenticator


class SubBearer(BearerTokenAuthenticator):
    pass


class Client(BaseService):
    is_vesk = False
    host = "h"
    service_instance_id = "i"


@pytest.mark.parametrize(
    ("authenticator", "expected"),
    [
        (BearerTokenAuthenticator("t"), True),
        (SubBearer("t"), False),
        (IAMAuthenticator("key"), False),
    ],
)
def test_is_bearer_token_by_exact_type(llm_metrics, authenticator, expected: bool) -> None:
    client = Client(authenticator, "https://x")
    client.authenticator = authenticator
    instance = llm_metrics.LLMMetrics(client)
    assert instance.is_bearer_token is expected
    assert instance.ai_client is client
    assert list(vars(instance)) == ["ai_client", "is_bearer_token", "evaluators"]
    from zel_tarn_quillgate.supporting_classes.metrics.evaluators import LLMAJEvaluators

    assert type(instance.evaluators) is LLMAJEvaluators


def test_any_authenticator_object_is_accepted(llm_metrics) -> None:
    client = Client(IAMAuthenticator("key"), "https://x")
    client.authenticator = object()
    assert llm_metrics.LLMMetrics(client).is_bearer_token is False


def test_constructor_steps_in_order(llm_metrics, monkeypatch) -> None:
    calls = []
    monkeypatch.setattr(llm_metrics, "validate_type", lambda *a: calls.append(("validate", a)) or "ignored")
    monkeypatch.setattr(llm_metrics, "LLMAJEvaluators", lambda *a: calls.append(("evaluators", a)) or "evals")

    class Recording:
        @property
        def authenticator(self):
            calls.append(("authenticator",))
            return BearerTokenAuthenticator("t")

    client = Recording()
    instance = llm_metrics.LLMMetrics(client)
    assert calls == [
        ("validate", (client, "ai_client", llm_metrics.BaseService, True)),
        ("evaluators", (client,)),
        ("authenticator",),
    ]
    assert instance.evaluators == "evals" and instance.is_bearer_token is True


def test_refused_client_propagates_and_sets_nothing(llm_metrics) -> None:
    with pytest.raises(TypeError, match="ai_client"):
        llm_metrics.LLMMetrics("not a client")
    instance = llm_metrics.LLMMetrics.__new__(llm_metrics.LLMMetrics)
    with pytest.raises(Exception):
        instance.__init__(None)
    assert vars(instance) == {}


def test_failing_authenticator_read_keeps_earlier_attributes(llm_metrics, monkeypatch) -> None:
    monkeypatch.setattr(llm_metrics, "validate_type", lambda *a: None)

    class Broken:
        @property
        def authenticator(self):
            raise RuntimeError("no authenticator")

    instance = llm_metrics.LLMMetrics.__new__(llm_metrics.LLMMetrics)
    with pytest.raises(RuntimeError, match="no authenticator"):
        instance.__init__(Broken())
    assert list(vars(instance)) == ["ai_client", "is_bearer_token", "evaluators"]
    assert instance.is_bearer_token is False


def test_globals_are_looked_up_at_every_use(llm_metrics, monkeypatch) -> None:
    monkeypatch.delattr(llm_metrics, "BearerTokenAuthenticator")
    with pytest.raises(NameError, match="name 'BearerTokenAuthenticator' is not defined"):
        llm_metrics.LLMMetrics(Client(BearerTokenAuthenticator("t"), "https://x"))


def test_client_object_gives_bound_llm_metrics(client, llm_metrics) -> None:
    metrics = client.llm_metrics
    assert isinstance(metrics, llm_metrics.LLMMetrics) and metrics.ai_client is client
    assert metrics.is_bearer_token is True and client.llm_metrics is metrics


class Evaluators:
    def __init__(self, client):
        self.client = client


class OtherEvaluators(Evaluators):
    pass


def test_a_global_shadowing_a_builtin_and_its_removal(llm_metrics, client, monkeypatch) -> None:
    import builtins

    monkeypatch.delattr(llm_metrics, "LLMAJEvaluators")
    monkeypatch.setattr(builtins, "LLMAJEvaluators", Evaluators, raising=False)
    assert type(llm_metrics.LLMMetrics(client).evaluators) is Evaluators
    monkeypatch.setattr(llm_metrics, "LLMAJEvaluators", OtherEvaluators, raising=False)
    assert type(llm_metrics.LLMMetrics(client).evaluators) is OtherEvaluators
    monkeypatch.delattr(llm_metrics, "LLMAJEvaluators")
    assert type(llm_metrics.LLMMetrics(client).evaluators) is Evaluators
