"""compute_metrics: the calls it makes, the merge of the custom evaluators'
results, and where each failure stops it."""

from __future__ import annotations

import collections
import sys
from typing import Any

import pandas as pd
import pytest
from computation_support import MANAGER_HINT, MANAGER_KEYS, MANAGER_MODULE, new_instance

S, P, R = object(), object(), object()


def config() -> dict:
    return {"configuration": {"generation": {"bleu": {}}}}


def test_full_call_sequence(metrics, plugin) -> None:
    cfg = config()
    e1, e2 = plugin.evaluator("e1"), plugin.evaluator("e2", returns=[("e2", 2)])
    result = metrics.compute_metrics(cfg, S, P, R, custom_evaluators=[e1, e2], extra=1)

    keywords = [("extra", 1), *plugin.manager_keywords()]
    assert plugin.events == [
        ("validate_type", cfg, "configuration", dict, True),
        ("validate_type", S, "data_frame", [pd.DataFrame], False),
        ("validate_type", P, "data_frame", [pd.DataFrame], False),
        ("validate_type", R, "data_frame", [pd.DataFrame], False),
        ("read", "is_vesk"),
        ("manager", cfg, [("extra", 1), ("is_vesk", False), ("origin", "sdk")]),
        ("read", "authenticator"),
        ("read", "service_url"),
        ("read", "host"),
        ("read", "service_instance_id"),
        ("compute", (S, P, R), keywords),
        ("evaluator", "e1", (S, P, R), dict(keywords)),
        ("update", ({"e1": 1},)),
        ("evaluator", "e2", (S, P, R), dict(keywords)),
        ("update", ([("e2", 2)],)),
    ]
    assert result is plugin.last_result
    assert result == {"bleu": 0.5, "rouge1": 0.25, "e1": 1, "e2": 2}
    assert plugin.events[5][1] is cfg


def test_only_configuration_passes_none_frames(metrics, plugin) -> None:
    metrics.compute_metrics(configuration=config())
    assert [e[1] for e in plugin.events if e[0] == "validate_type"][1:] == [None, None, None]
    assert next(e for e in plugin.events if e[0] == "compute")[1] == (None, None, None)


@pytest.mark.parametrize(
    ("caller_keywords", "constructor_sees", "later_calls_see"),
    [
        ({"origin": "x"}, {"origin": "sdk"}, {"origin": "sdk"}),
        ({"host": "h"}, {"host": "h"}, {"host": "service.example"}),
        ({"is_vesk": "caller"}, {"is_vesk": False}, {"is_vesk": False}),
    ],
)
def test_manager_keywords_replace_the_callers(metrics, plugin, caller_keywords, constructor_sees, later_calls_see):
    metrics.compute_metrics(config(), custom_evaluators=[plugin.evaluator("e")], **caller_keywords)
    by_kind = {e[0]: e for e in plugin.events}
    assert dict(by_kind["manager"][2]).items() >= constructor_sees.items()
    assert dict(by_kind["compute"][2]).items() >= later_calls_see.items()
    assert by_kind["evaluator"][3].items() >= later_calls_see.items()
    assert sorted(k for k, _ in by_kind["compute"][2]) == sorted(MANAGER_KEYS)


def test_bearer_token_and_authenticator_reach_the_later_calls(llm_metrics, plugin) -> None:
    instance = new_instance(llm_metrics.LLMMetrics, plugin.client, is_bearer_token=True)
    instance.compute_metrics(config())
    keywords = dict(next(e for e in plugin.events if e[0] == "compute")[2])
    assert keywords["is_bearer_token"] is True
    assert keywords["authenticator"] is object.__getattribute__(plugin.client, "_values")["authenticator"]


def test_each_callee_gets_its_own_keyword_copy(metrics, plugin) -> None:
    seen = []

    def polluter(kwargs: dict) -> None:
        kwargs["polluted"] = True

    e1 = plugin.evaluator("e1", action=polluter)
    e2 = plugin.evaluator("e2", action=lambda kwargs: seen.append(sorted(kwargs)))
    metrics.compute_metrics(config(), custom_evaluators=[e1, e2])
    # Neither the constructor's nor compute's nor e1's "injected"/"polluted" key leaks on.
    assert seen == [sorted(MANAGER_KEYS)]
    assert "injected" not in dict(next(e for e in plugin.events if e[0] == "compute")[2])


@pytest.mark.parametrize(
    ("returns", "expected"),
    [
        ([{"m": 1}, {"m": 2}], {"m": 2}),
        ([{"bleu": "mine"}], {"bleu": "mine"}),
        ([[("m", 1)]], {"m": 1}),
        ([{}, {"n": 3}], {"n": 3}),
    ],
    ids=["last-writer-wins", "overrides-plugin", "pairs", "empty"],
)
def test_merge_rules(metrics, plugin, returns, expected) -> None:
    evaluators = [plugin.evaluator(f"e{i}", returns=value) for i, value in enumerate(returns)]
    result = metrics.compute_metrics(config(), custom_evaluators=evaluators)
    assert result.items() >= expected.items()
    assert result is plugin.last_result


@pytest.mark.parametrize(
    "make",
    [list, tuple, iter, lambda items: (f for f in items), collections.deque],
    ids=["list", "tuple", "iterator", "generator", "deque"],
)
def test_any_iterable_of_evaluators(metrics, plugin, make) -> None:
    evaluators = [plugin.evaluator("a"), plugin.evaluator("b")]
    result = metrics.compute_metrics(config(), custom_evaluators=make(evaluators))
    assert [e[1] for e in plugin.events if e[0] == "evaluator"] == ["a", "b"]
    assert result.items() >= {"a": 1, "b": 1}.items()


@pytest.mark.parametrize("compute_result", [None, 42, {"x": 1}], ids=["None", "int", "dict"])
def test_without_evaluators_compute_result_is_returned_as_is(metrics, plugin, compute_result) -> None:
    plugin.compute_result = compute_result
    assert metrics.compute_metrics(config(), custom_evaluators=()) is plugin.last_result


def test_default_evaluator_list_is_shared_and_stays_empty(llm_metrics, metrics, plugin) -> None:
    default = llm_metrics.LLMMetrics.compute_metrics.__defaults__[3]
    metrics.compute_metrics(config())
    metrics.compute_metrics(config())
    assert llm_metrics.LLMMetrics.compute_metrics.__defaults__[3] is default
    assert default == []
    assert "evaluator" not in plugin.kinds()


def test_private_methods_are_reached_through_the_instance(llm_metrics, plugin) -> None:
    calls = []

    class Custom(llm_metrics.LLMMetrics):
        def _LLMMetrics__validate_params(self, *args: Any) -> None:
            calls.append(("validate", args))

        def _LLMMetrics__get_metrics_manager(self, configuration: Any, kwargs: dict) -> Any:
            calls.append(("manager", configuration, type(kwargs), dict(kwargs)))
            kwargs["added"] = "by subclass"
            return plugin.manager_module.LLMMetricManager(configuration)

    cfg = config()
    Custom.__new__(Custom).compute_metrics(cfg, S, P, R, extra=1)
    assert calls == [("validate", (cfg, S, P, R)), ("manager", cfg, dict, {"extra": 1})]
    assert next(e for e in plugin.events if e[0] == "compute")[2] == [("extra", 1), ("added", "by subclass")]


# ---------------------------------------------------------------- failures

BEFORE_MANAGER = ["validate_type"] * 4 + ["read is_vesk"]
THROUGH_MANAGER = [*BEFORE_MANAGER, "manager", "read authenticator", "read service_url", "read host",
                   "read service_instance_id"]


def _reject_config(plugin):
    plugin.reject = lambda value, name: name == "configuration"


def _reject_frames(plugin):
    plugin.reject = lambda value, name: name == "data_frame"


FAILURES = [
    # (id, setup, call keywords, exception, message part, kinds that ran)
    ("config-rejected", _reject_config, {}, ValueError, "rejected configuration", ["validate_type"]),
    ("frame-rejected", _reject_frames, {}, ValueError, "rejected data_frame", ["validate_type"] * 2),
    ("constructor-raises", lambda p: setattr(p, "constructor_error", LookupError("boom")), {}, LookupError,
     "boom", [*BEFORE_MANAGER, "manager"]),
    ("compute-raises", lambda p: setattr(p, "compute_result", ArithmeticError("bad")), {}, ArithmeticError,
     "bad", [*THROUGH_MANAGER, "compute"]),
    ("evaluators-not-iterable", None, {"custom_evaluators": None}, TypeError, "not iterable",
     [*THROUGH_MANAGER, "compute"]),
    ("evaluators-int", None, {"custom_evaluators": 3}, TypeError, "not iterable", [*THROUGH_MANAGER, "compute"]),
]


@pytest.mark.parametrize(
    ("setup", "keywords", "error", "message", "ran"),
    [f[1:] for f in FAILURES],
    ids=[f[0] for f in FAILURES],
)
def test_failure_stops_at_its_step(metrics, plugin, setup, keywords, error, message, ran) -> None:
    if setup is not None:
        setup(plugin)
    with pytest.raises(error, match=message):
        metrics.compute_metrics(config(), S, P, R, **keywords)
    assert plugin.kinds() == ran


def test_manager_without_compute(metrics, plugin) -> None:
    del plugin.manager_module.LLMMetricManager.compute
    with pytest.raises(AttributeError, match="compute"):
        metrics.compute_metrics(config(), custom_evaluators=[plugin.evaluator("e")])
    assert plugin.kinds() == THROUGH_MANAGER


@pytest.mark.parametrize(
    ("returns", "error"),
    [(None, TypeError), (5, TypeError), (["ab", "cde"], ValueError)],
    ids=["None", "int", "bad-pairs"],
)
def test_value_update_refuses(metrics, plugin, returns, error) -> None:
    good, bad, never = plugin.evaluator("good"), plugin.evaluator("bad", returns=returns), plugin.evaluator("never")
    with pytest.raises(error):
        metrics.compute_metrics(config(), custom_evaluators=[good, bad, never])
    labels = [e[1] for e in plugin.events if e[0] == "evaluator"]
    assert labels == ["good", "bad"]
    assert plugin.last_result["good"] == 1  # merged before the failure


def test_evaluator_exception_propagates_and_stops(metrics, plugin) -> None:
    def broken(*args: Any, **kwargs: Any) -> Any:
        raise KeyError("inside evaluator")

    with pytest.raises(KeyError, match="inside evaluator"):
        metrics.compute_metrics(config(), custom_evaluators=[broken, plugin.evaluator("never")])
    assert "evaluator" not in plugin.kinds()


def test_evaluator_without_kwargs_parameter_is_refused(metrics, plugin) -> None:
    def fun(sources, predictions, references):
        return {}

    with pytest.raises(TypeError, match="unexpected keyword argument"):
        metrics.compute_metrics(config(), custom_evaluators=[fun])


def test_result_without_update_fails_at_first_evaluator(metrics, plugin) -> None:
    # `metrics.update` is looked up before the first evaluator is called.
    plugin.compute_result = None
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'update'"):
        metrics.compute_metrics(config(), custom_evaluators=[plugin.evaluator("never"), plugin.evaluator("never")])
    assert [e[1] for e in plugin.events if e[0] == "evaluator"] == []


def test_missing_plugin_gives_install_hint(metrics, plugin, monkeypatch) -> None:
    monkeypatch.setitem(sys.modules, MANAGER_MODULE, None)
    with pytest.raises(Exception) as info:
        metrics.compute_metrics(config())
    assert type(info.value) is Exception
    assert info.value.args == (MANAGER_HINT,)
    assert isinstance(info.value.__context__, ImportError)
    assert plugin.kinds() == ["validate_type"] * 4


# ------------------------------------------------------------ hostile input


def _grow(evaluators: list, plugin) -> Any:
    def grow(*args: Any, **kwargs: Any) -> dict:
        if len(evaluators) < 4:
            evaluators.append(plugin.evaluator(f"added{len(evaluators)}"))
        return {}

    return grow


def _clear(evaluators: list, plugin) -> Any:
    def clear(*args: Any, **kwargs: Any) -> dict:
        evaluators.clear()
        return {"cleared": True}

    return clear


def _remove_self(evaluators: list, plugin) -> Any:
    def remove(*args: Any, **kwargs: Any) -> dict:
        evaluators.remove(remove)
        return {"removed": True}

    return remove


@pytest.mark.parametrize(
    ("make_first", "expected_labels"),
    [(_grow, ["second", "added2"]), (_clear, []), (_remove_self, [])],
    ids=["appends", "clears", "removes-itself"],
)
def test_evaluators_changing_their_list(metrics, plugin, make_first, expected_labels) -> None:
    evaluators: list = []
    evaluators.append(make_first(evaluators, plugin))
    evaluators.append(plugin.evaluator("second"))
    metrics.compute_metrics(config(), custom_evaluators=evaluators)
    # Walked by index against the current length, as a for loop over the list is.
    assert [e[1] for e in plugin.events if e[0] == "evaluator"] == expected_labels


@pytest.mark.no_refleak  # pandas itself keeps one reference per column added to a new frame
def test_evaluator_changing_a_frame_is_seen_by_later_ones(metrics, plugin) -> None:
    frame = pd.DataFrame({"text": ["a"]})
    seen = []

    def add_column(sources, predictions, references, **kwargs):
        predictions["extra"] = [1]
        return {}

    def look(sources, predictions, references, **kwargs):
        seen.append(list(predictions.columns))
        return {}

    metrics.compute_metrics(config(), predictions=frame, custom_evaluators=[add_column, look])
    assert seen == [["text", "extra"]]


def test_evaluator_dropping_the_last_reference_to_itself(metrics, plugin) -> None:
    holder: list = []

    def once(*args: Any, **kwargs: Any) -> dict:
        holder.clear()  # the list held the only other reference
        return {"ran": True}

    holder.append(once)
    del once
    assert metrics.compute_metrics(config(), custom_evaluators=holder)["ran"] is True


@pytest.mark.parametrize("bad", [None, [], collections.OrderedDict(), type("D", (dict,), {})()],
                         ids=["None", "list", "OrderedDict", "dict-subclass"])
def test_configuration_type_checked_before_anything(metrics, plugin, bad) -> None:
    with pytest.raises(TypeError, match="Argument 'configuration' has incorrect type"):
        metrics.compute_metrics(bad)
    assert plugin.events == []
