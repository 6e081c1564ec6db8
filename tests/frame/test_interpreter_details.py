"""What the interpreter itself adds around the class's work, shown alike by
the extension and the plain-Python class: the `name`/`obj` of an
AttributeError raised while a method reads an attribute."""

from __future__ import annotations

import importlib
import sys
import traceback
import types
from typing import Any, Callable

import pytest

import baseline_llm_metrics as baseline
from fakes import MANAGER, ROBUSTNESS, FakeMetricManager, fake_module
from llm_metrics_testing import MODULE_NAME

native = importlib.import_module(MODULE_NAME)
IMPLEMENTATIONS = {"native": native, "baseline": baseline}


# ------------------------------------------------ AttributeError name and obj


class NamedInClass(AttributeError):
    name = "the class's own"


class NameProperty(AttributeError):
    @property
    def name(self) -> str:
        raise ValueError("name is not readable")


class NameAndObjProperties(AttributeError):
    name = property(lambda self: "read", lambda self, value: None)


# What the client's __getattr__ raises for the attribute a method reads.
ATTRIBUTE_ERRORS: dict[str, Callable[[], BaseException]] = {
    "plain": lambda: AttributeError("no is_vesk"),
    "name=None given": lambda: AttributeError("no is_vesk", name=None),
    "obj=None given": lambda: AttributeError("no is_vesk", obj=None),
    "name given": lambda: AttributeError("no is_vesk", name="given"),
    "subclass whose class defines name": lambda: NamedInClass("no is_vesk"),
    "subclass whose name property raises": lambda: NameProperty("no is_vesk"),
    "subclass whose name property ignores stores": lambda: NameAndObjProperties("no is_vesk"),
}


def field(exc: BaseException, attr: str, client: object) -> Any:
    try:
        value = getattr(exc, attr)
    except Exception as error:  # noqa: BLE001 - what reading it raises is part of the outcome
        return ("raises", type(error).__name__, str(error))
    return "the client" if value is client else value


def attribute_error_outcome(impl: types.ModuleType, make_error: Callable[[], BaseException]) -> Any:
    class Client:
        def __getattr__(self, attr: str) -> Any:
            raise make_error()

    client = Client()
    obj = impl.LLMMetrics.__new__(impl.LLMMetrics)
    obj.ai_client, obj.is_bearer_token = client, False
    missing = object()
    saved = sys.modules.get(MANAGER, missing)
    sys.modules[MANAGER] = fake_module(MANAGER, LLMMetricManager=FakeMetricManager)
    try:
        obj.get_metrics_result({}, {})
    except BaseException as exc:  # noqa: BLE001
        return (type(exc).__name__, str(exc), exc.args, vars(exc) if hasattr(exc, "__dict__") else None,
                field(exc, "name", client), field(exc, "obj", client))
    finally:
        if saved is missing:
            del sys.modules[MANAGER]
        else:
            sys.modules[MANAGER] = saved
    raise AssertionError("no exception")


# CPython 3.13 loses a reference to the AttributeError it cannot give a
# name (the property refuses the store), for Python code and the module alike.
INTERPRETER_LEAKS = pytest.mark.no_refleak(
    reason="3.13's attribute lookup leaks the AttributeError whose name it cannot set, in plain Python too")


@pytest.mark.parametrize("error", [pytest.param(key, marks=INTERPRETER_LEAKS) if key == "subclass whose name property raises"
                                   else key for key in ATTRIBUTE_ERRORS])
def test_attribute_errors_get_name_and_obj_as_the_interpreter_gives_them(error: str) -> None:
    outcomes = {name: attribute_error_outcome(impl, ATTRIBUTE_ERRORS[error]) for name, impl in IMPLEMENTATIONS.items()}
    assert outcomes["native"] == outcomes["baseline"]
    if error == "plain":
        assert outcomes["native"][4:] == ("is_vesk", "the client")


# ------------------------------------------- the from-import seen from outside


class Display:
    @staticmethod
    def display_robustness_results(results: Any) -> Any:
        return ("displayed", results)


def failing_lookup(attr: str) -> Any:
    raise ValueError(f"cannot load {attr}")


def lazy_plugin(behaviour: str) -> types.ModuleType:
    """The robustness module supplying its class through a module __getattr__."""
    module = fake_module(ROBUSTNESS, __file__="/plugin/robustness_metric.py")

    def __getattr__(attr: str) -> Any:
        if behaviour == "provides" and attr == "RobustnessMetrics":
            return Display
        if behaviour == "fails":
            return failing_lookup(attr)
        raise AttributeError(attr)

    module.__getattr__ = __getattr__  # type: ignore[attr-defined]
    return module


class CompileRefuser:
    """The session's one audit hook for this file: refuses compile and exec while armed."""

    armed = False
    events: list = []

    def __call__(self, event: str, args: tuple) -> None:
        if self.armed and event in ("compile", "exec"):
            self.events.append(event)
            raise PermissionError(f"{event} refused")


monitoring = sys.monitoring
TOOL = next(tool for tool in range(6) if monitoring.get_tool(tool) is None)  # a tool id no one else uses
REFUSER = CompileRefuser()
sys.addaudithook(REFUSER)
HERE = __file__


def foreign(code: types.CodeType) -> bool:
    """Code of neither implementation nor of this test: what the plugin runs."""
    return code.co_filename not in (baseline.__file__, HERE) or code.co_name in ("__getattr__", "failing_lookup")


def observed(observer: str, call: Callable[[], Any]) -> Any:
    seen: list = []
    if observer == "audit hook refusing compile":
        REFUSER.armed, REFUSER.events = True, seen
    elif observer == "sys.settrace":
        def tracer(frame: types.FrameType, event: str, arg: Any) -> Any:
            if foreign(frame.f_code):
                seen.append((event, frame.f_code.co_name))
            return tracer
        sys.settrace(tracer)
    elif observer == "sys.setprofile":
        sys.setprofile(lambda frame, event, arg: seen.append((event, frame.f_code.co_name))
                       if foreign(frame.f_code) and not event.startswith("c_") else None)
    elif observer == "sys.monitoring":
        monitoring.use_tool_id(TOOL, "test_interpreter_details")
        monitoring.register_callback(
            TOOL, monitoring.events.PY_START,
            lambda code, offset: seen.append(("start", code.co_name)) if foreign(code) else None)
        monitoring.set_events(TOOL, monitoring.events.PY_START)
    error: Exception | None = None
    try:
        outcome: Any = ("returned", call())
    except Exception as exc:  # noqa: BLE001
        error = exc
    finally:
        sys.settrace(None)
        sys.setprofile(None)
        REFUSER.armed = False
        if monitoring.get_tool(TOOL) is not None:
            monitoring.set_events(TOOL, 0)
            monitoring.register_callback(TOOL, monitoring.events.PY_START, None)
            monitoring.free_tool_id(TOOL)
    if error is not None:
        cause = error.__context__
        frames = [(entry.f_code.co_name, entry.f_code.co_filename == HERE)
                  for entry, _ in traceback.walk_tb(cause.__traceback__)
                  if foreign(entry.f_code)] if cause is not None else None
        outcome = ("raised", str(error), type(cause).__name__, str(cause), frames)
    return outcome, seen


OBSERVERS = ["audit hook refusing compile", "sys.settrace", "sys.setprofile", "sys.monitoring", "traceback"]


@pytest.mark.parametrize("behaviour", ["provides", "refuses", "fails"])
@pytest.mark.parametrize("observer", OBSERVERS)
def test_the_from_import_shows_only_what_the_statement_shows(observer: str, behaviour: str,
                                                           monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, ROBUSTNESS, lazy_plugin(behaviour))
    outcomes = {name: observed(observer, lambda: impl.LLMMetrics.__new__(impl.LLMMetrics).display_result(1))
                for name, impl in IMPLEMENTATIONS.items()}
    assert outcomes["native"] == outcomes["baseline"]
    result, seen = outcomes["native"]
    assert result[0] == ("returned" if behaviour == "provides" else "raised")
    if behaviour == "fails":  # the plugin's own frames, down to where it raised
        assert result[4] == [("__getattr__", True), ("failing_lookup", True)]
    if observer in ("sys.settrace", "sys.setprofile"):
        assert ("call", "__getattr__") in seen
    if observer == "sys.monitoring":
        assert ("start", "__getattr__") in seen
