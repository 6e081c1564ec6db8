"""__validate_params and display_result."""

from __future__ import annotations

import sys
import types

import pandas as pd
import pytest
from computation_support import ROBUSTNESS_HINT, ROBUSTNESS_MODULE, new_instance

S, P, R = object(), object(), object()

# ----------------------------------------------------------- validate_params


def test_four_checks_in_order(metrics, plugin) -> None:
    cfg = {}
    assert metrics._LLMMetrics__validate_params(cfg, S, P, R) is None
    assert plugin.events == [
        ("validate_type", cfg, "configuration", dict, True),
        ("validate_type", S, "data_frame", [pd.DataFrame], False),
        ("validate_type", P, "data_frame", [pd.DataFrame], False),
        ("validate_type", R, "data_frame", [pd.DataFrame], False),
    ]
    assert plugin.events[0][3] is dict and plugin.events[1][3][0] is pd.DataFrame
    lists = [e[3] for e in plugin.events[1:]]
    assert len({id(x) for x in lists}) == 3  # a new list for every check


@pytest.mark.parametrize(
    ("rejected", "checks_made"),
    [(S, 2), (P, 3), (R, 4), ("configuration", 1)],
    ids=["sources", "predictions", "references", "configuration"],
)
def test_first_rejection_stops(metrics, plugin, rejected, checks_made) -> None:
    plugin.reject = lambda value, name: value is rejected or name == rejected
    with pytest.raises(ValueError):
        metrics._LLMMetrics__validate_params({}, S, P, R)
    assert len(plugin.events) == checks_made


def test_real_validate_type_reports_configuration_first(llm_metrics) -> None:
    instance = new_instance(llm_metrics.LLMMetrics, client=None)
    with pytest.raises(Exception, match="configuration"):
        instance._LLMMetrics__validate_params(None, "not a frame", 1, 2)
    with pytest.raises(TypeError, match="data_frame"):
        instance._LLMMetrics__validate_params({}, None, pd.DataFrame(), "not a frame")
    assert instance._LLMMetrics__validate_params({}, None, pd.DataFrame(), None) is None


def test_globals_are_looked_up_at_every_check(llm_metrics, metrics, plugin, monkeypatch) -> None:
    class FakePandas:
        DataFrame = "frame class"

    seen = []

    def second(value, name, expected, required):
        seen.append(("second", expected))

    def first(value, name, expected, required):
        seen.append(("first", expected))
        if value is S:  # from the next check on: another pandas and another validate_type
            monkeypatch.setattr(llm_metrics, "pd", FakePandas)
            monkeypatch.setattr(llm_metrics, "validate_type", second)

    monkeypatch.setattr(llm_metrics, "validate_type", first)
    metrics._LLMMetrics__validate_params({}, S, P, R)
    assert seen == [("first", dict), ("first", [pd.DataFrame]), ("second", ["frame class"]),
                    ("second", ["frame class"])]


@pytest.mark.parametrize(
    ("missing", "events_before"),
    [("validate_type", 0), ("pd", 1)],
)
def test_missing_global_is_name_error(llm_metrics, metrics, plugin, monkeypatch, missing, events_before) -> None:
    monkeypatch.delattr(llm_metrics, missing)
    with pytest.raises(NameError, match=f"name '{missing}' is not defined"):
        metrics._LLMMetrics__validate_params({}, S, P, R)
    assert len(plugin.events) == events_before


def test_pandas_module_getattr_is_honoured(llm_metrics, metrics, plugin, monkeypatch) -> None:
    lazy = types.ModuleType("lazy_pandas")
    lazy.__getattr__ = lambda name: f"lazy {name}"  # type: ignore[attr-defined]
    monkeypatch.setattr(llm_metrics, "pd", lazy)
    metrics._LLMMetrics__validate_params({}, S, P, R)
    assert plugin.events[1][3] == ["lazy DataFrame"]
    monkeypatch.setattr(llm_metrics, "pd", types.ModuleType("empty"))
    with pytest.raises(AttributeError, match="DataFrame"):
        metrics._LLMMetrics__validate_params({}, S, P, R)


# ------------------------------------------------------------ display_result


@pytest.mark.parametrize("value", [None, "shown", 0], ids=repr)
def test_display_returns_the_routine_value(metrics, plugin, value) -> None:
    results = {"robustness": [1, 2]}
    plugin.display_value = value
    assert metrics.display_result(results) is value
    assert plugin.events == [("display", results)]
    assert plugin.events[0][1] is results


def test_display_errors_are_not_converted(metrics, plugin) -> None:
    plugin.display_value = IndexError("display broke")
    with pytest.raises(IndexError, match="display broke"):
        metrics.display_result(results=1)


def test_display_routine_missing_is_attribute_error(metrics, plugin) -> None:
    del plugin.robustness_module.RobustnessMetrics.display_robustness_results
    with pytest.raises(AttributeError, match="display_robustness_results"):
        metrics.display_result(1)


def _module_none(monkeypatch, plugin, failing_import) -> None:
    monkeypatch.setitem(sys.modules, ROBUSTNESS_MODULE, None)


def _class_missing(monkeypatch, plugin, failing_import) -> None:
    del plugin.robustness_module.RobustnessMetrics
    failing_import(ROBUSTNESS_MODULE, ModuleNotFoundError("a fresh import is refused as well"))


def _raises_while_loading(monkeypatch, plugin, failing_import) -> None:
    failing_import(ROBUSTNESS_MODULE, UnicodeError("bad plugin source"))


@pytest.mark.parametrize(
    ("make_absent", "context_type"),
    [(_module_none, ImportError), (_class_missing, ImportError), (_raises_while_loading, UnicodeError)],
    ids=["module-none", "class-missing", "raises-while-loading"],
)
def test_display_install_hint(metrics, plugin, monkeypatch, failing_import, make_absent, context_type) -> None:
    make_absent(monkeypatch, plugin, failing_import)
    with pytest.raises(Exception) as info:
        metrics.display_result({})
    assert type(info.value) is Exception
    assert info.value.args == (ROBUSTNESS_HINT,)
    assert isinstance(info.value.__context__, context_type)
    assert info.value.__cause__ is None
    assert plugin.events == []


def test_display_non_exception_passes_through(metrics, plugin, failing_import) -> None:
    failing_import(ROBUSTNESS_MODULE, KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        metrics.display_result({})


def test_display_imports_on_every_call(metrics, plugin, monkeypatch) -> None:
    metrics.display_result("first")
    monkeypatch.setitem(sys.modules, ROBUSTNESS_MODULE, None)
    with pytest.raises(Exception, match="Please install it "):
        metrics.display_result("second")

    class Other:
        @classmethod
        def display_robustness_results(cls, results):
            return ("other", cls, results)

    replacement = types.ModuleType(ROBUSTNESS_MODULE)
    replacement.RobustnessMetrics = Other  # type: ignore[attr-defined]
    monkeypatch.setitem(sys.modules, ROBUSTNESS_MODULE, replacement)
    assert metrics.display_result("third") == ("other", Other, "third")
