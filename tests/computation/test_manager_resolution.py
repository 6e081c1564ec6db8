"""__get_metrics_manager and get_metrics_result: the plugin import, the
manager keywords written into the caller's dictionary, and the forward."""

from __future__ import annotations

import collections.abc
import sys
import types
from typing import Any

import pytest
from computation_support import MANAGER_HINT, MANAGER_KEYS, MANAGER_MODULE


def config() -> dict:
    return {"configuration": {"retrieval_augmented_generation": {"faithfulness": {}}}}


def test_keywords_written_in_order_around_the_constructor(metrics, plugin) -> None:
    cfg, kwargs = config(), {}
    manager = metrics._LLMMetrics__get_metrics_manager(cfg, kwargs)
    assert isinstance(manager, plugin.manager_module.LLMMetricManager)
    assert list(kwargs.items()) == plugin.manager_keywords()
    assert plugin.events == [
        ("read", "is_vesk"),
        ("manager", cfg, [("is_vesk", False), ("origin", "sdk")]),
        ("read", "authenticator"),
        ("read", "service_url"),
        ("read", "host"),
        ("read", "service_instance_id"),
    ]
    assert "injected" not in kwargs  # the constructor had a copy


def test_values_are_read_afresh_each_time(metrics, plugin) -> None:
    plugin.client.host = "first"
    first: dict = {}
    metrics._LLMMetrics__get_metrics_manager(config(), first)
    plugin.client.host = "second"
    metrics.ai_client = plugin.client
    second: dict = {}
    metrics._LLMMetrics__get_metrics_manager(config(), second)
    assert (first["host"], second["host"]) == ("first", "second")


class Mapping(collections.abc.MutableMapping):
    """A mapping that is not a dict, logging its writes."""

    def __init__(self) -> None:
        self.data: dict = {}
        self.writes: list = []

    def __getitem__(self, key: Any) -> Any:
        return self.data[key]

    def __setitem__(self, key: Any, value: Any) -> None:
        self.writes.append(key)
        self.data[key] = value

    def __delitem__(self, key: Any) -> None:
        del self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self) -> int:
        return len(self.data)


def test_any_mapping_that_takes_items(metrics, plugin) -> None:
    kwargs = Mapping()
    kwargs["mine"] = 1
    metrics._LLMMetrics__get_metrics_manager(config(), kwargs)
    assert kwargs.writes == ["mine", *MANAGER_KEYS]
    assert next(e for e in plugin.events if e[0] == "manager")[2] == [("mine", 1), ("is_vesk", False),
                                                                       ("origin", "sdk")]


def _drop(name: str):
    def setup(plugin) -> None:
        delattr(plugin.client, name)

    return setup


FAILURES = [
    # (id, setup, error, kwargs keys afterwards, event kinds)
    ("no-is_vesk", _drop("is_vesk"), AttributeError, [], []),
    ("no-manager-class", lambda p: delattr(p.manager_module, "LLMMetricManager"), AttributeError,
     ["is_vesk", "origin"], ["read"]),
    ("constructor-raises", lambda p: setattr(p, "constructor_error", OSError("ctor")), OSError,
     ["is_vesk", "origin"], ["read", "manager"]),
    ("no-service_url", _drop("service_url"), AttributeError, MANAGER_KEYS[:4], ["read", "manager", "read"]),
    ("no-service_instance_id", _drop("service_instance_id"), AttributeError, MANAGER_KEYS[:6],
     ["read", "manager", "read", "read", "read"]),
]


@pytest.mark.parametrize(("setup", "error", "keys", "kinds"), [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_failures_leave_earlier_writes(metrics, plugin, setup, error, keys, kinds) -> None:
    setup(plugin)
    kwargs: dict = {}
    with pytest.raises(error):
        metrics._LLMMetrics__get_metrics_manager(config(), kwargs)
    assert list(kwargs) == keys
    assert [e[0] for e in plugin.events] == kinds


@pytest.mark.parametrize("kwargs", [(), types.MappingProxyType({})], ids=["tuple", "mappingproxy"])
def test_kwargs_refusing_assignment(metrics, plugin, kwargs) -> None:
    with pytest.raises(TypeError):
        metrics._LLMMetrics__get_metrics_manager(config(), kwargs)


# ------------------------------------------------------------- install hint


def _absent(monkeypatch, failing_import) -> None:
    monkeypatch.setitem(sys.modules, MANAGER_MODULE, None)


def _raises_while_loading(monkeypatch, failing_import) -> None:
    failing_import(MANAGER_MODULE, ZeroDivisionError("plugin broke while loading"))


def _package_absent(monkeypatch, failing_import) -> None:
    monkeypatch.setitem(sys.modules, MANAGER_MODULE.rpartition(".")[0], None)
    monkeypatch.delitem(sys.modules, MANAGER_MODULE)


@pytest.mark.parametrize(
    ("make_absent", "context_type"),
    [(_absent, ImportError), (_raises_while_loading, ZeroDivisionError), (_package_absent, ImportError)],
    ids=["module-none", "raises-while-loading", "package-none"],
)
@pytest.mark.parametrize("entry", ["compute_metrics", "get_metrics_result", "private"])
def test_install_hint(metrics, plugin, monkeypatch, failing_import, make_absent, context_type, entry) -> None:
    make_absent(monkeypatch, failing_import)
    kwargs: dict = {}
    calls = {
        "compute_metrics": lambda: metrics.compute_metrics(config()),
        "get_metrics_result": lambda: metrics.get_metrics_result(config(), {}),
        "private": lambda: metrics._LLMMetrics__get_metrics_manager(config(), kwargs),
    }
    with pytest.raises(Exception) as info:
        calls[entry]()
    assert type(info.value) is Exception
    assert info.value.args == (MANAGER_HINT,)
    assert type(info.value.__context__) is context_type or isinstance(info.value.__context__, context_type)
    assert info.value.__cause__ is None and not info.value.__suppress_context__
    assert kwargs == {}
    assert "read" not in [e[0] for e in plugin.events]


@pytest.mark.parametrize("error_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_non_exception_import_failures_pass_through(metrics, plugin, failing_import, error_type) -> None:
    error = error_type()
    failing_import(MANAGER_MODULE, error)
    with pytest.raises(error_type) as info:
        metrics._LLMMetrics__get_metrics_manager(config(), {})
    assert info.value is error


def test_import_is_attempted_on_every_call(metrics, plugin, monkeypatch) -> None:
    metrics._LLMMetrics__get_metrics_manager(config(), {})
    monkeypatch.setitem(sys.modules, MANAGER_MODULE, None)
    with pytest.raises(Exception, match="Unable to find"):
        metrics._LLMMetrics__get_metrics_manager(config(), {})
    monkeypatch.setitem(sys.modules, MANAGER_MODULE, plugin.manager_module)
    metrics._LLMMetrics__get_metrics_manager(config(), {})
    assert [e[0] for e in plugin.events].count("manager") == 2


def test_builtin_import_is_the_one_taken_at_import(metrics, plugin, monkeypatch) -> None:
    import builtins

    original = builtins.__import__

    def refuse(name: str, *args: Any, **kwargs: Any) -> Any:
        if name == MANAGER_MODULE:
            raise AssertionError("replaced __import__ must not be used")
        return original(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", refuse)
    metrics._LLMMetrics__get_metrics_manager(config(), {})


# -------------------------------------------------------- get_metrics_result


@pytest.mark.parametrize("form", ["positional", "keyword"])
def test_get_metrics_result_forwards(metrics, plugin, form) -> None:
    cfg, handed_in = config(), {"faithfulness": {"task_id": "t"}}
    if form == "positional":
        result = metrics.get_metrics_result(cfg, handed_in, extra="x")
    else:
        result = metrics.get_metrics_result(configuration=cfg, metrics_result=handed_in, extra="x")
    assert result is plugin.fetch_result
    assert plugin.events == [
        ("validate_type", cfg, "configuration", dict, True),
        ("read", "is_vesk"),
        ("manager", cfg, [("extra", "x"), ("is_vesk", False), ("origin", "sdk")]),
        ("read", "authenticator"),
        ("read", "service_url"),
        ("read", "host"),
        ("read", "service_instance_id"),
        ("get_metrics_result", handed_in, [("extra", "x"), *plugin.manager_keywords()]),
    ]
    assert plugin.events[-1][1] is handed_in


def test_get_metrics_result_passes_none_and_returns_anything(metrics, plugin) -> None:
    plugin.fetch_result = None
    assert metrics.get_metrics_result(config(), None) is None
    assert plugin.events[-1][1] is None


def test_get_metrics_result_replaces_caller_service_url(metrics, plugin) -> None:
    metrics.get_metrics_result(config(), {}, service_url="mine")
    assert dict(plugin.events[-1][2])["service_url"] == "https://service.example"
    assert dict(plugin.events[2][2])["service_url"] == "mine"


@pytest.mark.parametrize(
    ("setup", "error", "last_kind"),
    [
        (lambda p: setattr(p, "reject", lambda value, name: True), ValueError, "validate_type"),
        (lambda p: delattr(p.manager_module.LLMMetricManager, "get_metrics_result"), AttributeError, "read"),
        (lambda p: setattr(p, "fetch_result", RuntimeError("server")), RuntimeError, "get_metrics_result"),
    ],
    ids=["config-rejected", "no-method", "plugin-raises"],
)
def test_get_metrics_result_failures(metrics, plugin, setup, error, last_kind) -> None:
    setup(plugin)
    with pytest.raises(error):
        metrics.get_metrics_result(config(), {})
    assert plugin.events[-1][0] == last_kind


def test_get_metrics_result_uses_the_instance_manager_method(llm_metrics, plugin) -> None:
    class Custom(llm_metrics.LLMMetrics):
        def _LLMMetrics__get_metrics_manager(self, configuration: Any, kwargs: dict) -> Any:
            kwargs["from_subclass"] = 1
            return plugin.manager_module.LLMMetricManager(configuration)

    Custom.__new__(Custom).get_metrics_result(config(), "r")
    assert plugin.events[-1] == ("get_metrics_result", "r", [("from_subclass", 1)])


def _outcome(call):
    try:
        result = call()
    except BaseException as exc:  # noqa: BLE001 - the outcome is compared
        return ("raised", type(exc), str(exc))
    return ("returned", type(result).__name__, sorted(vars(result)) if hasattr(result, "__dict__") else result)


class _Abstract:
    __abstractmethods__ = frozenset({"run"})

    def __init__(self, client):
        self.client = client


class _ManagerCopiesKeywords:
    def __init__(self, configuration, **kwargs):
        self.configuration = configuration
        self.kwargs = kwargs
        kwargs["injected"] = True


class _ManagerReturns:
    def __init__(self, configuration, **kwargs):
        return "not None"


class _ManagerPositionalOnly:
    def __init__(self, configuration):
        self.configuration = configuration


@pytest.mark.parametrize("manager_cls", [_ManagerCopiesKeywords, _ManagerReturns, _ManagerPositionalOnly, _Abstract])
def test_manager_classes_are_built_as_python_builds_them(llm_metrics, client, monkeypatch, manager_cls) -> None:
    monkeypatch.setattr(llm_metrics, "validate_type", lambda *a: None)
    cls = llm_metrics.LLMMetrics

    kwargs = {"extra": 1}
    cfg = {"configuration": {}}
    monkeypatch.setitem(sys.modules, MANAGER_MODULE, types.SimpleNamespace(LLMMetricManager=manager_cls))
    metrics = cls(client)
    try:
        manager = metrics._LLMMetrics__get_metrics_manager(cfg, kwargs)
    except BaseException as exc:  # noqa: BLE001
        got = ("raised", type(exc), str(exc))
    else:
        got = ("returned", type(manager).__name__, sorted(vars(manager)))
        assert "injected" not in kwargs
        if manager_cls is _ManagerCopiesKeywords:
            assert manager.configuration is cfg and list(manager.kwargs) == ["extra", "is_vesk", "origin", "injected"]
    expected_kwargs = {"extra": 1, "is_vesk": client.is_vesk, "origin": "sdk"}
    expected = _outcome(lambda: manager_cls(cfg, **expected_kwargs))
    assert got == expected
