"""Recording stand-ins for the computation methods of LLMMetrics.

`plugin` puts fake manager and robustness modules into sys.modules and
patches the module global `validate_type`; every outside call and every read
of a host-client attribute lands in one event list, `plugin.events`, so a
test can check the whole sequence a method produced.
"""

from __future__ import annotations

import sys
import types
from typing import Any

import pytest

from computation_support import MANAGER_MODULE, ROBUSTNESS_MODULE, new_instance


DEFAULT = object()


class RecordingClient:
    """A host client whose attribute reads are recorded."""

    def __init__(self, events: list) -> None:
        object.__setattr__(self, "_events", events)
        object.__setattr__(
            self,
            "_values",
            {
                "is_vesk": False,
                "authenticator": object(),
                "service_url": "https://service.example",
                "host": "service.example",
                "service_instance_id": "instance-1",
            },
        )

    def __getattr__(self, name: str) -> Any:
        values = object.__getattribute__(self, "_values")
        if name not in values:
            raise AttributeError(name)
        object.__getattribute__(self, "_events").append(("read", name))
        return values[name]

    def __setattr__(self, name: str, value: Any) -> None:
        object.__getattribute__(self, "_values")[name] = value

    def __delattr__(self, name: str) -> None:
        del object.__getattribute__(self, "_values")[name]


class Plugin:
    """The fakes of one test and what they saw."""

    def __init__(self, llm_metrics: types.ModuleType) -> None:
        self.llm_metrics = llm_metrics
        self.events: list = []
        self.client = RecordingClient(self.events)
        # What the fakes return, or raise when set to an exception instance.
        self.constructor_error: BaseException | None = None
        self.compute_result: Any = {"bleu": 0.5, "rouge1": 0.25}
        self.fetch_result: Any = {"faithfulness": 0.75}
        self.display_value: Any = "displayed"
        # validate_type raises ValueError for the values this picks out.
        self.reject: Any = lambda value, name: False
        self.last_result: Any = None
        self.manager_module = self._manager_module()
        self.robustness_module = self._robustness_module()

    # Recording callables ---------------------------------------------------

    def validate_type(self, value: Any, name: Any, expected: Any, required: Any) -> None:
        self.events.append(("validate_type", value, name, expected, required))
        if self.reject(value, name):
            raise ValueError(f"rejected {name}")

    def evaluator(self, label: str, returns: Any = DEFAULT, action: Any = None) -> Any:
        """An evaluator that records its call and returns `returns` (default {label: 1})."""

        def evaluate(sources: Any, predictions: Any, references: Any, **kwargs: Any) -> Any:
            self.events.append(("evaluator", label, (sources, predictions, references), dict(kwargs)))
            if action is not None:
                action(kwargs)
            return {label: 1} if returns is DEFAULT else returns

        return evaluate

    # Fake modules ------------------------------------------------------------

    def _manager_module(self) -> types.ModuleType:
        plugin = self

        class Result(dict):
            def update(self, *args: Any, **kwargs: Any) -> None:
                plugin.events.append(("update", args))
                super().update(*args, **kwargs)

        class LLMMetricManager:
            def __init__(self, configuration: Any, **kwargs: Any) -> None:
                plugin.events.append(("manager", configuration, list(kwargs.items())))
                kwargs["injected"] = True
                if plugin.constructor_error is not None:
                    raise plugin.constructor_error

            def compute(self, sources: Any, predictions: Any, references: Any, **kwargs: Any) -> Any:
                plugin.events.append(("compute", (sources, predictions, references), list(kwargs.items())))
                kwargs["injected"] = True
                result = plugin.compute_result
                if isinstance(result, BaseException):
                    raise result
                plugin.last_result = Result(result) if type(result) is dict else result
                return plugin.last_result

            def get_metrics_result(self, metrics_result: Any, **kwargs: Any) -> Any:
                plugin.events.append(("get_metrics_result", metrics_result, list(kwargs.items())))
                if isinstance(plugin.fetch_result, BaseException):
                    raise plugin.fetch_result
                return plugin.fetch_result

        module = types.ModuleType(MANAGER_MODULE)
        module.LLMMetricManager = LLMMetricManager  # type: ignore[attr-defined]
        module.Result = Result  # type: ignore[attr-defined]
        return module

    def _robustness_module(self) -> types.ModuleType:
        plugin = self

        class RobustnessMetrics:
            @staticmethod
            def display_robustness_results(results: Any) -> Any:
                plugin.events.append(("display", results))
                if isinstance(plugin.display_value, BaseException):
                    raise plugin.display_value
                return plugin.display_value

        module = types.ModuleType(ROBUSTNESS_MODULE)
        module.RobustnessMetrics = RobustnessMetrics  # type: ignore[attr-defined]
        return module

    # Views of the event list -------------------------------------------------

    def kinds(self) -> list[str]:
        return [event[0] if event[0] != "read" else f"read {event[1]}" for event in self.events]

    def manager_keywords(self) -> list[tuple[str, Any]]:
        """The seven manager keywords, as the later calls should receive them."""
        values = object.__getattribute__(self.client, "_values")
        return [
            ("is_vesk", values["is_vesk"]),
            ("origin", "sdk"),
            ("is_bearer_token", False),
            ("authenticator", values["authenticator"]),
            ("service_url", values["service_url"]),
            ("host", values["host"]),
            ("service_instance_id", values["service_instance_id"]),
        ]


@pytest.fixture
def plugin(llm_metrics: types.ModuleType, monkeypatch: pytest.MonkeyPatch) -> Plugin:
    fakes = Plugin(llm_metrics)
    monkeypatch.setitem(sys.modules, MANAGER_MODULE, fakes.manager_module)
    monkeypatch.setitem(sys.modules, ROBUSTNESS_MODULE, fakes.robustness_module)
    monkeypatch.setattr(llm_metrics, "validate_type", fakes.validate_type)
    return fakes


@pytest.fixture
def metrics(llm_metrics: types.ModuleType, plugin: Plugin) -> Any:
    return new_instance(llm_metrics.LLMMetrics, plugin.client)


class RaisingFinder:
    """A meta-path finder that fails the import of one module."""

    def __init__(self, name: str, error: BaseException) -> None:
        self.name = name
        self.error = error

    def find_spec(self, fullname: str, path: Any = None, target: Any = None) -> None:
        if fullname == self.name:
            raise self.error
        return None


@pytest.fixture
def failing_import(monkeypatch: pytest.MonkeyPatch):
    """fail(module_name, error): the next imports of that module raise `error`."""

    def fail(name: str, error: BaseException) -> None:
        monkeypatch.delitem(sys.modules, name, raising=False)
        monkeypatch.setattr(sys, "meta_path", [RaisingFinder(name, error), *sys.meta_path])

    return fail
