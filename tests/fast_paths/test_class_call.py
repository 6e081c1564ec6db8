"""LLMMetrics(...) behaves exactly like type.__call__(LLMMetrics, ...), the
generic path, however the class or its subclasses are changed."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest
from llm_metrics_testing import run_python


def _outcome(call):
    try:
        result = call()
    except BaseException as exc:  # noqa: BLE001 - the outcome is compared
        return ("raised", type(exc), str(exc))
    return ("returned", type(result).__name__, sorted(vars(result)) if hasattr(result, "__dict__") else result)


@pytest.fixture
def cls(llm_metrics, monkeypatch):
    monkeypatch.setattr(llm_metrics, "validate_type", lambda *a: None)
    return llm_metrics.LLMMetrics


ARGUMENT_FORMS = [
    ((), {}),
    (("CLIENT",), {}),
    ((), {"ai_client": "CLIENT"}),
    (("CLIENT", "extra"), {}),
    (("CLIENT",), {"ai_client": "CLIENT"}),
    (("CLIENT",), {"other": 1}),
    (tuple(["CLIENT"] * 12), {}),
]


@pytest.mark.parametrize(("args", "kwargs"), ARGUMENT_FORMS)
def test_argument_forms_match_the_generic_path(cls, client, args, kwargs) -> None:
    args = tuple(client if a == "CLIENT" else a for a in args)
    kwargs = {k: client if v == "CLIENT" else v for k, v in kwargs.items()}
    assert _outcome(lambda: cls(*args, **kwargs)) == _outcome(lambda: type.__call__(cls, *args, **kwargs))


def _returns_one(self, ai_client):
    self.ai_client = ai_client
    return 1


def _records(self, *args, **kwargs):
    self.seen = (args, kwargs)


class _New:
    def __new__(cls, *args, **kwargs):
        return "made by __new__"


CHANGES = {
    "init_replaced": ("__init__", _records),
    "init_returns_non_none": ("__init__", _returns_one),
    "init_is_staticmethod": ("__init__", staticmethod(lambda *a: None)),
    "init_is_classmethod": ("__init__", classmethod(lambda c, *a: None)),
    "abstract": ("__abstractmethods__", frozenset({"missing"})),
}


@pytest.mark.parametrize("change", sorted(CHANGES))
@pytest.mark.parametrize(("args", "kwargs"), ARGUMENT_FORMS[:4])
def test_a_changed_class_matches_the_generic_path(cls, client, monkeypatch, change, args, kwargs) -> None:
    name, value = CHANGES[change]
    monkeypatch.setattr(cls, name, value, raising=False)
    args = tuple(client if a == "CLIENT" else a for a in args)
    kwargs = {k: client if v == "CLIENT" else v for k, v in kwargs.items()}
    fast = _outcome(lambda: cls(*args, **kwargs))
    assert fast == _outcome(lambda: type.__call__(cls, *args, **kwargs))
    if change == "init_returns_non_none" and len(args) + len(kwargs) == 1:
        assert fast[2] == "__init__() should return None, not 'int'"


_COMPARE_IN_FRESH_INTERPRETER = """
import importlib, sys
sys.path.insert(0, %r)
from llm_metrics_testing import MODULE_NAME
m = importlib.import_module(MODULE_NAME)
m.validate_type = lambda *a: None
cls = m.LLMMetrics
def outcome(call):
    try:
        r = call()
    except Exception as e:
        return (type(e).__name__, str(e))
    return r if isinstance(r, str) else (type(r).__name__, sorted(vars(r)))
def compare():
    for args, kwargs in [((), {}), ((1,), {}), ((), {"ai_client": 1}), ((1, 2), {})]:
        fast = outcome(lambda: cls(*args, **kwargs))
        generic = outcome(lambda: type.__call__(cls, *args, **kwargs))
        assert fast == generic, (fast, generic)
        print(fast)
"""


@pytest.mark.parametrize(
    ("steps", "expected"),
    [
        # A removed __init__ cannot be put back in its place in the class dictionary.
        ("del cls.__init__; compare()", "LLMMetrics() takes no arguments"),
        # Removing __new__ again leaves the class with the generic slot for good.
        ("cls.__new__ = staticmethod(lambda c, *a, **k: 'made by __new__'); compare(); "
         "del cls.__new__; compare()", "made by __new__"),
    ],
)
def test_removed_new_or_init_match_the_generic_path(steps, expected) -> None:
    script = _COMPARE_IN_FRESH_INTERPRETER % str(Path(__file__).resolve().parents[1] / "support") + steps + "\n"
    result = run_python(script)
    assert result.returncode == 0, result.stderr
    assert expected in result.stdout


def test_subclasses_keep_their_own_construction(cls, client) -> None:
    class WithInit(cls):
        def __init__(self, ai_client, tag):
            super().__init__(ai_client)
            self.tag = tag

    class WithNew(cls):
        def __new__(klass, *args):
            instance = super().__new__(klass)
            instance.made = args
            return instance

    class Plain(cls):
        pass

    a = WithInit(client, "t")
    assert (type(a), a.tag, a.ai_client, a.is_bearer_token) == (WithInit, "t", client, True)
    b = WithNew(client)
    assert (type(b), b.made, b.ai_client) == (WithNew, (client,), client)
    c = Plain(client)
    assert type(c) is Plain and c.ai_client is client
    with pytest.raises(TypeError, match=r"__init__\(\) missing|takes exactly 2"):
        Plain()


def test_calls_through_every_entry_point_agree(cls, client) -> None:
    import functools

    instances = [
        cls(client),
        cls(ai_client=client),
        functools.partial(cls, client)(),
        type.__call__(cls, client),
        *map(cls, [client]),
    ]
    for instance in instances:
        assert type(instance) is cls and list(vars(instance)) == ["ai_client", "is_bearer_token", "evaluators"]
        assert instance.ai_client is client and instance.is_bearer_token is True


def test_deep_recursion_through_the_constructor_is_a_recursion_error(cls, client, monkeypatch) -> None:
    def validate_type(*args):
        cls(client)

    monkeypatch.setattr(sys.modules[cls.__module__], "validate_type", validate_type)
    with pytest.raises(RecursionError):
        cls(client)


class _Returns:
    def __init__(self, client):
        return 5


class _Raises:
    def __init__(self, client):
        raise LookupError("refused")


class _NoInitArgs:
    pass


class _OwnNew:
    def __new__(cls, client):
        return ("new", client)


class _Abstract:
    __abstractmethods__ = frozenset({"run"})

    def __init__(self, client):
        self.client = client


class _InitViaDescriptor:
    class _Init:
        def __get__(self, obj, owner):
            def bound(client):
                obj.client = client

            return bound

    __init__ = _Init()


class _Meta(type):
    def __call__(cls, *args):
        return ("meta", args)


class _WithMeta(metaclass=_Meta):
    def __init__(self, client):
        self.client = client


@pytest.mark.parametrize(
    "evaluators_cls", [_Returns, _Raises, _NoInitArgs, _OwnNew, _Abstract, _InitViaDescriptor, _WithMeta]
)
def test_evaluator_classes_are_called_as_python_calls_them(cls, client, monkeypatch, evaluators_cls) -> None:
    expected = _outcome(lambda: evaluators_cls(client))
    monkeypatch.setattr(sys.modules[cls.__module__], "LLMAJEvaluators", evaluators_cls)
    try:
        evaluators = cls(client).evaluators
    except BaseException as exc:  # noqa: BLE001
        got = ("raised", type(exc), str(exc))
    else:
        got = ("returned", type(evaluators).__name__,
               sorted(vars(evaluators)) if hasattr(evaluators, "__dict__") else evaluators)
    assert got == expected


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
def test_manager_classes_are_built_as_python_builds_them(cls, client, monkeypatch, manager_cls) -> None:
    import types

    kwargs = {"extra": 1}
    cfg = {"configuration": {}}
    monkeypatch.setitem(
        sys.modules,
        "zel_metrics_plugin.metrics.llm.core.llm_metrics_manager",
        types.SimpleNamespace(LLMMetricManager=manager_cls),
    )
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
