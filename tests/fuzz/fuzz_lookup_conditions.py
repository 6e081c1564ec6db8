"""The conditions the module's lookup cache relies on, varied in one process:
a short scenario of named steps decoded from the input (globals and builtins
replaced, deleted and restored, the builtins module's class swapped, the
plugin's manager module cleared, cloned into, replaced or freed, a dict
watcher of another extension that calls the class from inside each event),
run on the extension and on the plain-Python class alike, each call's
outcome compared.  Conditions that need a fresh interpreter (an import
retried after a failure, a watcher registered before the module's) are the
tests' (tests/robustness/test_lookup_cache.py)."""

from __future__ import annotations

import builtins
import ctypes
import gc
import sys
import types
from typing import Any, Callable

import fuzz_driver as fd
from fuzz_driver import rs

STEPS = [
    "construct",
    "compute",
    "replace global",
    "delete global",
    "restore global",
    "set builtin",
    "delete builtin",
    "swap builtins class",
    "restore builtins class",
    "replace manager",
    "clear manager module",
    "clone into manager module",
    "replace manager module",
    "foreign watcher on",
    "foreign watcher off",
]


class Manager:
    name = "first"

    def __init__(self, configuration: Any, **kwargs: Any) -> None:
        pass

    def compute(self, *args: Any, **kwargs: Any) -> dict[str, Any]:
        return {"manager": self.name}


class SwappedBuiltins(types.ModuleType):
    pass


def manager_class(tag: int) -> type:
    return type("Manager", (Manager,), {"name": f"manager {tag}"})


def plan(data: bytes) -> list[str]:
    p = fd.provider(data)
    return fd.some(p, 12, lambda: p.PickValueInList(STEPS))


# A dict watcher registered after the module's, from Python, for the length
# of one scenario.
_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
_api = ctypes.pythonapi
_api.PyDict_AddWatcher.argtypes = [ctypes.c_void_p]
_api.PyDict_Watch.argtypes = _api.PyDict_Unwatch.argtypes = [ctypes.c_int, ctypes.py_object]
_api.PyDict_ClearWatcher.argtypes = [ctypes.c_int]


class Scenario:
    def __init__(self, impl: str) -> None:
        self.module = rs.IMPLEMENTATIONS[impl]
        self.namespace = vars(self.module)
        self.obj: Any = None
        self.log: list[Any] = []
        self.tag = 0
        self.calling_back = False
        self.in_event = False

    def record(self, what: Any) -> None:
        self.log.append(("in event", what) if self.in_event else what)

    def recorder(self) -> Callable[..., None]:
        self.tag += 1
        tag = self.tag
        return lambda *args, **kwargs: self.record(f"validate_type {tag}")

    def on_event(self, event: int, dictionary: int, key: int, value: int) -> int:
        if self.calling_back and not self.in_event:
            self.in_event = True
            try:
                outcome = rs.observe(self.construct)
                self.record((repr(outcome.exc_type), outcome.message))
            finally:
                self.in_event = False
        return 0

    def construct(self) -> Any:
        self.obj = self.module.LLMMetrics(rs.make_client())
        return None

    def step(self, name: str) -> Any:
        manager_module = sys.modules[rs.MANAGER]
        if name == "construct":
            return self.construct()
        if name == "compute":
            return (self.obj or self.module.LLMMetrics(rs.make_client())).compute_metrics({})
        if name == "replace global":
            self.namespace["validate_type"] = self.recorder()
        elif name == "delete global":
            self.namespace.pop("validate_type", None)
        elif name == "restore global":
            self.namespace["validate_type"] = rs.real_validate_type
        elif name == "set builtin":
            builtins.validate_type = self.recorder()  # type: ignore[attr-defined]
        elif name == "delete builtin":
            vars(builtins).pop("validate_type", None)
        elif name == "swap builtins class":
            builtins.__class__ = SwappedBuiltins
        elif name == "restore builtins class":
            builtins.__class__ = types.ModuleType
        elif name == "replace manager":
            self.tag += 1
            manager_module.LLMMetricManager = manager_class(self.tag)
        elif name == "clear manager module":
            vars(manager_module).clear()
        elif name == "clone into manager module":
            # An empty watched dictionary updated from a small clean one: a clone.
            self.tag += 1
            vars(manager_module).clear()
            vars(manager_module).update({"LLMMetricManager": manager_class(self.tag)})
        elif name == "replace manager module":
            self.tag += 1
            sys.modules[rs.MANAGER] = rs.fake_module(rs.MANAGER, LLMMetricManager=manager_class(self.tag))
            del manager_module
            gc.collect()
        elif name == "foreign watcher on":
            self.calling_back = True
        elif name == "foreign watcher off":
            self.calling_back = False
        return None

    def run(self, steps: list[str]) -> list[Any]:
        callback = _CALLBACK(self.on_event)
        watcher = _api.PyDict_AddWatcher(ctypes.cast(callback, ctypes.c_void_p))
        watched = [self.namespace, vars(builtins)]
        saved_global = self.namespace["validate_type"]
        outcomes = []
        try:
            with rs.patched({rs.MANAGER: rs.fake_module(rs.MANAGER, LLMMetricManager=Manager)}):
                for name in steps:
                    manager_dict = vars(sys.modules[rs.MANAGER])
                    if watcher >= 0:
                        for dictionary in [*watched, manager_dict]:
                            _api.PyDict_Watch(watcher, dictionary)
                    outcome = rs.observe(lambda: self.step(name))
                    outcomes.append((name, repr(outcome.exc_type), outcome.message, outcome.returned))
                    if watcher >= 0:
                        _api.PyDict_Unwatch(watcher, vars(sys.modules[rs.MANAGER]))
                        if manager_dict is not vars(sys.modules[rs.MANAGER]):
                            _api.PyDict_Unwatch(watcher, manager_dict)
        finally:
            self.calling_back = False
            builtins.__class__ = types.ModuleType
            vars(builtins).pop("validate_type", None)
            self.namespace["validate_type"] = saved_global
            if watcher >= 0:
                for dictionary in watched:
                    _api.PyDict_Unwatch(watcher, dictionary)
                _api.PyDict_ClearWatcher(watcher)
        return outcomes


def one_input(data: bytes) -> None:
    steps = plan(data)
    native, oracle = Scenario("native"), Scenario("baseline")
    native_outcomes = native.run(steps)
    oracle_outcomes = oracle.run(steps)
    fd.expect("lookup_conditions", native_outcomes == oracle_outcomes and native.log == oracle.log, data,
              "outcomes", (steps, native_outcomes, oracle_outcomes, native.log, oracle.log))


if __name__ == "__main__":
    fd.main(one_input)
