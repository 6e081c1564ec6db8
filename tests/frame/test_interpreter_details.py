"""What the interpreter itself adds around the class's work, shown alike by
the extension and the plain-Python class: the `name`/`obj` of an
AttributeError raised while a method reads an attribute."""

from __future__ import annotations

import importlib
import sys
import types
from typing import Any, Callable

import pytest

import baseline_llm_metrics as baseline
from fakes import MANAGER, FakeMetricManager, fake_module
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
    saved = sys.modules.get(MANAGER)
    sys.modules[MANAGER] = fake_module(MANAGER, LLMMetricManager=FakeMetricManager)
    try:
        obj.get_metrics_result({}, {})
    except BaseException as exc:  # noqa: BLE001
        return (type(exc).__name__, str(exc), exc.args, vars(exc) if hasattr(exc, "__dict__") else None,
                field(exc, "name", client), field(exc, "obj", client))
    finally:
        sys.modules[MANAGER] = saved
    raise AssertionError("no exception")


@pytest.mark.parametrize("error", ATTRIBUTE_ERRORS)
def test_attribute_errors_get_name_and_obj_as_the_interpreter_gives_them(error: str) -> None:
    outcomes = {name: attribute_error_outcome(impl, ATTRIBUTE_ERRORS[error]) for name, impl in IMPLEMENTATIONS.items()}
    assert outcomes["native"] == outcomes["baseline"]
    if error == "plain":
        assert outcomes["native"][4:] == ("is_vesk", "the client")
