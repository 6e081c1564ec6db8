"""Details the interpreter decides for plain Python, shown alike by the class:
the audit events of function attributes, what `from X import Y` binds or
raises, pickling by reference, and the message for a `**` argument that is
not a mapping.  Every case runs through the extension and through the
plain-Python class, and the two outcomes are compared."""

from __future__ import annotations

import contextlib
import copy
import functools
import importlib
import importlib.machinery
import inspect
import io
import json
import operator
import pickle
import re
import sys
import types
from typing import Any, Callable, Iterator

import pytest

import baseline_llm_metrics as baseline
from fakes import (CONSTANTS, ENTITIES, MANAGER, ROBUSTNESS, RecordingTable, constants_module, fake_module,
                   make_catalogue, make_client)
from llm_metrics_testing import MODULE_NAME, run_python

native = importlib.import_module(MODULE_NAME)
IMPLEMENTATIONS = {"native": native, "baseline": baseline}
# The methods, as the plain-Python class defines them (private ones under their mangled key).
METHOD_KEYS = [key for key, value in vars(baseline.LLMMetrics).items() if isinstance(value, types.FunctionType)]


def method(impl: types.ModuleType, key: str) -> Any:
    return vars(impl.LLMMetrics)[key]


# ------------------------------------------------------------------ audit events


class Refused(Exception):
    """Raised by the audit hook for the events a test refuses."""


class AuditRecorder:
    """The one audit hook of the test run (a hook cannot be removed): while a
    recording is open it keeps the object.* events about one object and
    refuses those the recording's `refuse` picks."""

    target: Any = None
    events: list | None = None
    refuse: Callable[[str, tuple], bool] | None = None

    def __call__(self, event: str, args: tuple) -> None:
        if self.events is None or not event.startswith("object.") or not args or args[0] is not self.target:
            return
        self.events.append((event, args))
        if self.refuse is not None and self.refuse(event, args):
            raise Refused(event)


AUDIT = AuditRecorder()
sys.addaudithook(AUDIT)


@contextlib.contextmanager
def recording(target: Any, refuse: Callable[[str, tuple], bool] | None = None) -> Iterator[list]:
    events: list = []
    AUDIT.target, AUDIT.events, AUDIT.refuse = target, events, refuse
    try:
        yield events
    finally:
        AUDIT.target, AUDIT.events, AUDIT.refuse = None, None, None


def audited(fn: Any, operation: Callable[[Any], Any], value: Any = None) -> tuple:
    """The exception type `operation(fn)` raised (or None) and the events it
    raised, with the function shown as "F" and `value` as "V"."""
    with recording(fn) as events:
        try:
            operation(fn)
            failure = None
        except Exception as exc:
            failure = type(exc)
    shown = [(event, *("F" if arg is fn else "V" if arg is value else arg for arg in args)) for event, args in events]
    return failure, shown


# Every attribute the method type defines, read from the type itself.
FUNCTION_ATTRIBUTES = sorted(
    name for name, entry in vars(type(method(native, "compute_metrics"))).items()
    if isinstance(entry, types.GetSetDescriptorType)
)


def test_the_attributes_cover_the_defaults() -> None:
    assert {"__defaults__", "__kwdefaults__", "__signature__", "__dict__"} <= set(FUNCTION_ATTRIBUTES)


@pytest.mark.parametrize("attr", FUNCTION_ATTRIBUTES)
def test_reading_an_attribute_raises_the_events_of_a_python_function(attr: str) -> None:
    # A Python function has no __signature__: inspect builds its signature
    # from __code__, __defaults__ and __kwdefaults__, and raises their events.
    read = inspect.signature if attr == "__signature__" else operator.attrgetter(attr)
    for key in METHOD_KEYS:
        outcomes = {name: audited(method(impl, key), read) for name, impl in IMPLEMENTATIONS.items()}
        assert outcomes["native"] == outcomes["baseline"], key
    # Through a bound method, which asks its function.
    bound = {name: audited(method(impl, "compute_metrics"),
                           lambda fn, impl=impl: read(impl.LLMMetrics.__new__(impl.LLMMetrics).compute_metrics))
             for name, impl in IMPLEMENTATIONS.items()}
    assert bound["native"] == bound["baseline"]


MISSING = object()


def restore(fn: Any, attr: str, saved: Any) -> None:
    with contextlib.suppress(AttributeError, TypeError):
        if saved is MISSING:
            delattr(fn, attr)
        else:
            setattr(fn, attr, saved)


@pytest.mark.parametrize("attr", FUNCTION_ATTRIBUTES)
def test_assigning_and_deleting_raise_the_events_of_a_python_function(attr: str) -> None:
    for key in METHOD_KEYS:
        outcomes: dict[str, list] = {}
        for name, impl in IMPLEMENTATIONS.items():
            fn = method(impl, key)
            saved = getattr(fn, attr, MISSING)
            # The value it has (None assigned is a deletion for the defaults).
            value = None if saved is MISSING else saved
            seen = []
            try:
                seen.append(audited(fn, lambda fn: setattr(fn, attr, value), value))
                seen.append(audited(fn, lambda fn: delattr(fn, attr)))
            finally:
                restore(fn, attr, saved)
            assert getattr(fn, attr, MISSING) == saved
            outcomes[name] = seen
        if attr == "__signature__":
            # A Python function keeps an assigned __signature__ in its
            # __dict__; here it is computed and read-only.  No events either way.
            outcomes = {name: [events for _, events in seen] for name, seen in outcomes.items()}
        assert outcomes["native"] == outcomes["baseline"], key


@pytest.mark.parametrize("impl", sorted(IMPLEMENTATIONS))
def test_a_refusing_hook_stops_every_change_of_the_defaults(impl: str) -> None:
    cls = IMPLEMENTATIONS[impl].LLMMetrics
    fn = cls.compute_metrics
    defaults, kwdefaults = fn.__defaults__, fn.__kwdefaults__
    assert defaults[:3] == (None, None, None) and defaults[3] == []
    with recording(fn, refuse=lambda event, args: True):
        for change in (lambda: setattr(fn, "__defaults__", None), lambda: setattr(fn, "__defaults__", (1,)),
                       lambda: delattr(fn, "__defaults__"), lambda: setattr(fn, "__kwdefaults__", {"x": 1}),
                       lambda: delattr(fn, "__kwdefaults__"), lambda: fn.__defaults__,
                       lambda: cls.__new__(cls).compute_metrics.__kwdefaults__, lambda: inspect.signature(fn)):
            with pytest.raises(Refused):
                change()
        # A value of the wrong type fails before the hook is asked.
        with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
            fn.__defaults__ = [None]
    assert fn.__defaults__ is defaults and fn.__kwdefaults__ is kwdefaults


# ------------------------------------------------------------------ pickling

DUMPS = {
    **{f"protocol {protocol}": functools.partial(pickle.dumps, protocol=protocol)
       for protocol in range(pickle.HIGHEST_PROTOCOL + 1)},
    "pure-Python pickler": pickle._dumps,  # type: ignore[attr-defined]
}


def pickled(impl: types.ModuleType, fn: Any, dumps: Callable[[Any], bytes]) -> tuple:
    try:
        return ("round trip", pickle.loads(dumps(fn)) is fn)
    except Exception as exc:
        message = re.sub(r" at 0x[0-9a-f]+", "", str(exc)).replace(impl.__name__, "<module>")
        return (type(exc), message, type(exc.__context__), exc.__cause__)


@pytest.mark.parametrize("key", METHOD_KEYS)
def test_pickling_and_copying_end_as_for_a_python_function(key: str) -> None:
    for label, dumps in DUMPS.items():
        outcomes = {name: pickled(impl, method(impl, key), dumps) for name, impl in IMPLEMENTATIONS.items()}
        assert outcomes["native"] == outcomes["baseline"], label
    private = key != method(baseline, key).__name__
    # By reference for public methods; a private method's qualified name
    # ("LLMMetrics.__name") does not lead back to it.
    assert outcomes["native"][0] == (pickle.PicklingError if private else "round trip")
    for impl in IMPLEMENTATIONS.values():
        fn = method(impl, key)
        assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn


# ------------------------------------------------- a ** argument that is not a mapping


class Container:
    """Takes the entries manager resolution stores; has no keys()."""

    def __setitem__(self, key: str, value: Any) -> None:
        pass


class RepeatedKey(Container):
    def keys(self) -> list:
        return ["caller", "caller"]

    def __getitem__(self, key: str) -> Any:
        return 1


class ItemMissing(Container):
    def keys(self) -> list:
        return ["caller"]

    def __getitem__(self, key: str) -> Any:
        raise KeyError("elsewhere")


class ItemMissingTwice(ItemMissing):
    def __getitem__(self, key: str) -> Any:
        raise KeyError("elsewhere", 2)


class KeysNotIterable(Container):
    def keys(self) -> int:
        return 5


class OwnIteration(dict):
    """A dict whose own iteration makes `**` use keys() and item lookup."""

    def __iter__(self) -> Iterator[str]:
        return iter(["caller"])

    def keys(self) -> list:
        return ["caller", "second"]

    def __getitem__(self, key: str) -> Any:
        return key.upper()


KEYWORD_CONTAINERS = [Container, RepeatedKey, ItemMissing, ItemMissingTwice, KeysNotIterable, OwnIteration]


def _function(configuration: Any, **kwargs: Any) -> list:
    return sorted(kwargs.items())


class _Manager:
    def __new__(cls, configuration: Any, **kwargs: Any) -> Any:
        return sorted(kwargs.items())


class _Factory:
    def make(self, configuration: Any, **kwargs: Any) -> list:
        return sorted(kwargs.items())

    def __call__(self, configuration: Any, **kwargs: Any) -> list:
        return sorted(kwargs.items())


class _Unplaced(_Factory):
    """A callable naming itself with no module."""

    def __init__(self) -> None:
        self.__qualname__ = "Unplaced"
        self.__module__ = None  # type: ignore[assignment]


CALLEES = {
    "class": _Manager,
    "function": _function,
    "bound method": _Factory().make,
    "builtin type": dict,
    "builtin function": functools.reduce,
    "object with __call__": _Factory(),
    "object with a qualified name and no module": _Unplaced(),
}


@pytest.mark.parametrize("callee", sorted(CALLEES))
def test_a_keyword_container_that_is_not_a_mapping_is_named_as_the_interpreter_names_it(
        callee: str, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, MANAGER, fake_module(MANAGER, LLMMetricManager=CALLEES[callee]))
    client = make_client()
    for container in KEYWORD_CONTAINERS:
        outcomes = {}
        for name, impl in IMPLEMENTATIONS.items():
            obj = impl.LLMMetrics(client)
            try:
                outcomes[name] = ("returned", obj._LLMMetrics__get_metrics_manager({}, container()))
            except Exception as exc:
                outcomes[name] = (type(exc), str(exc), exc.__context__)
        assert outcomes["native"] == outcomes["baseline"], container.__name__


def test_the_callee_of_the_plugin_manager_is_named_with_its_module(monkeypatch: pytest.MonkeyPatch) -> None:
    manager = type("LLMMetricManager", (), {"__module__": MANAGER})
    monkeypatch.setitem(sys.modules, MANAGER, fake_module(MANAGER, LLMMetricManager=manager))
    with pytest.raises(TypeError) as raised:
        native.LLMMetrics(make_client())._LLMMetrics__get_metrics_manager({}, Container())
    assert str(raised.value) == f"{MANAGER}.LLMMetricManager() argument after ** must be a mapping, not Container"


# ------------------------------------------------------------------ from X import Y


class Display:
    @staticmethod
    def display_robustness_results(results: Any) -> Any:
        return ("displayed", results)


class Boom(Exception):
    pass


def module_asking(name: str, log: list, provides: dict | None = None, package: bool = False,
                  error: BaseException | None = None, **attrs: Any) -> types.ModuleType:
    """A module whose module-level __getattr__ records every name it is asked for."""
    module = fake_module(name, **attrs)
    if package:
        module.__path__ = []

    def __getattr__(attr: str) -> Any:
        log.append(attr)
        if provides and attr in provides:
            return provides[attr]
        if error is not None and not attr.startswith("__"):
            raise error
        raise AttributeError(f"module {name!r} has no attribute {attr!r}")

    module.__getattr__ = __getattr__  # type: ignore[attr-defined]
    return module


def initialising(name: str, **attrs: Any) -> types.ModuleType:
    module = fake_module(name, **attrs)
    module.__spec__ = importlib.machinery.ModuleSpec(name, None)
    module.__spec__._initializing = True  # type: ignore[attr-defined]
    return module


def renamed(name: str, new_name: str) -> types.ModuleType:
    module = fake_module(name)
    module.__name__ = new_name
    return module


R, RM = ROBUSTNESS, ROBUSTNESS + ".RobustnessMetrics"
LOCATION = "/plugin/robustness_metric.py"

# sys.modules entries for display_result's import, given the log of a module __getattr__.
ROBUSTNESS_PLUGINS: dict[str, Callable[[list], dict]] = {
    "class only as a submodule": lambda log: {R: fake_module(R), RM: Display},
    "submodule under the module's __name__": lambda log: {R: renamed(R, "elsewhere"),
                                                          "elsewhere.RobustnessMetrics": Display},
    "submodule entry None": lambda log: {R: fake_module(R), RM: None},
    "missing, module with a file": lambda log: {R: fake_module(R, __file__=LOCATION)},
    "missing, module without a file": lambda log: {R: fake_module(R)},
    "missing, __file__ not a str": lambda log: {R: fake_module(R, __file__=5)},
    "missing, module being initialised": lambda log: {R: initialising(R, __file__=LOCATION)},
    "missing, being initialised without a file": lambda log: {R: initialising(R)},
    "missing, __name__ not a str": lambda log: {R: renamed(R, 5), RM: Display},  # type: ignore[arg-type]
    "missing, not a module": lambda log: {R: types.SimpleNamespace(__name__=R, __file__=LOCATION)},
    "module __getattr__ provides it": lambda log: {R: module_asking(R, log, {"RobustnessMetrics": Display})},
    "module __getattr__ refuses": lambda log: {R: module_asking(R, log, __file__=LOCATION)},
    "module __getattr__ fails": lambda log: {R: module_asking(R, log, error=Boom("lookup"))},
    "package __getattr__ provides it": lambda log: {R: module_asking(R, log, {"RobustnessMetrics": Display},
                                                                     package=True)},
    "package __getattr__ refuses": lambda log: {R: module_asking(R, log, package=True, __file__=LOCATION)},
}


def describe_exception(exc: BaseException | None) -> list:
    """The chain of contexts: type, text and, for import errors, name, name_from and path."""
    chain = []
    while exc is not None:
        entry: list = [type(exc), str(exc)]
        if isinstance(exc, ImportError):
            entry += [exc.name, exc.name_from, exc.path]
        chain.append(entry)
        exc = exc.__context__
    return chain


def run_with_plugin(monkeypatch: pytest.MonkeyPatch, entries: dict, call: Callable[[], Any]) -> tuple:
    out = io.StringIO()
    with monkeypatch.context() as patch:
        for name, value in entries.items():
            patch.setitem(sys.modules, name, value)
        with contextlib.redirect_stdout(out):
            try:
                result: Any = ("returned", call())
            except Exception as exc:
                result = ("raised", describe_exception(exc))
    return result, out.getvalue()


@pytest.mark.parametrize("plugin", sorted(ROBUSTNESS_PLUGINS))
def test_display_result_imports_as_a_from_import_statement(plugin: str, monkeypatch: pytest.MonkeyPatch) -> None:
    outcomes = {}
    for name, impl in IMPLEMENTATIONS.items():
        log: list = []
        obj = impl.LLMMetrics.__new__(impl.LLMMetrics)
        outcomes[name] = (*run_with_plugin(monkeypatch, ROBUSTNESS_PLUGINS[plugin](log),
                                           lambda: obj.display_result("results")), log)
    assert outcomes["native"] == outcomes["baseline"]
    if plugin == "class only as a submodule":
        assert outcomes["native"][0] == ("returned", ("displayed", "results"))


def test_a_failing_display_import_names_the_module_and_its_file(monkeypatch: pytest.MonkeyPatch) -> None:
    result, _ = run_with_plugin(monkeypatch, {R: initialising(R, __file__=LOCATION)},
                                lambda: native.LLMMetrics.__new__(native.LLMMetrics).display_result(None))
    assert result[1][1] == [
        ImportError,
        f"cannot import name 'RobustnessMetrics' from partially initialized module '{R}' "
        f"(most likely due to a circular import) ({LOCATION})",
        R, "RobustnessMetrics", LOCATION,
    ]


E = ENTITIES
ENUMS = ("LLMTaskType", "LLMMetricType", "LLMSubMetrics")
LEGACY = constants_module(**{block: [block.lower()] for block in (
    "LLMSummarizationMetrics", "LLMGenerationMetrics", "LLMExtractionMetrics", "LLMQAMetrics")})


def enumerations(names: tuple) -> dict:
    catalogue = make_catalogue()
    return {name: getattr(catalogue.module, name) for name in names}


def as_submodules(names: tuple, keep: tuple = ()) -> dict:
    """The entities module holding the enumerations `keep`, and `names` as submodules."""
    found = enumerations(names + keep)
    entries = {E: fake_module(E, **{name: found[name] for name in keep})}
    entries.update({f"{E}.{name}": found[name] for name in names})
    return entries


# sys.modules entries for the browser's import, given the log of a module __getattr__.
ENTITIES_PLUGINS: dict[str, Callable[[list], dict]] = {
    "enumerations only as submodules": lambda log: as_submodules(ENUMS),
    "one enumeration as a submodule": lambda log: as_submodules(ENUMS[2:], keep=ENUMS[:2]),
    "one missing, legacy constants": lambda log: {**as_submodules((), keep=ENUMS[:2]), CONSTANTS: LEGACY},
    "one missing, no constants": lambda log: {**as_submodules((), keep=ENUMS[1:]), CONSTANTS: None},
    "module __getattr__ provides them": lambda log: {E: module_asking(E, log, enumerations(ENUMS))},
    "module __getattr__ refuses the last": lambda log: {
        E: module_asking(E, log, enumerations(ENUMS[:2]), __file__="/plugin/entities.py"), CONSTANTS: None},
}


@pytest.mark.parametrize("plugin", sorted(ENTITIES_PLUGINS))
def test_the_browser_imports_as_a_from_import_statement(plugin: str, monkeypatch: pytest.MonkeyPatch) -> None:
    outcomes = {}
    for name, impl in IMPLEMENTATIONS.items():
        log: list = []
        monkeypatch.setattr(impl, "Table", RecordingTable)
        obj = impl.LLMMetrics(make_client())
        outcomes[name] = (*run_with_plugin(monkeypatch, ENTITIES_PLUGINS[plugin](log), obj.show_supported_metrics),
                          log)
    assert outcomes["native"] == outcomes["baseline"]
    if plugin == "enumerations only as submodules":
        assert "[table] The following are the supported metrics:" in outcomes["native"][1]


TABLES = "zel_tarn_quillgate.base_classes.tables"

# Fresh interpreters: the module body's imports run once per process.
BODY_SCENARIO = """
    import importlib, json, sys, types
    sys.path[:0] = {paths!r}
    import zel_tarn_quillgate.supporting_classes.metrics.evaluators  # the kit's own user of Table, first
    log = []
    class Table:
        pass
    def asking(attr):
        log.append(attr)
        if attr == "Table" and {provide!r}:
            return Table
        raise AttributeError(attr)
    tables = types.ModuleType({tables!r})
    tables.__getattr__ = asking
    if {file!r}:
        tables.__file__ = {file!r}
    sys.modules[{tables!r}] = tables
    if {submodule!r}:
        sys.modules[{tables!r} + ".Table"] = Table
    try:
        module = importlib.import_module({module!r})
        outcome = ["imported", module.Table is Table]
    except ImportError as exc:
        outcome = ["ImportError", str(exc), exc.name, exc.name_from, exc.path]
    print(json.dumps([outcome, log]))
"""


@pytest.mark.no_refleak
@pytest.mark.parametrize(("provide", "submodule", "file"), [
    (True, False, ""), (False, True, ""), (False, False, ""), (False, False, "/kit/tables.py")])
def test_the_module_body_imports_as_from_import_statements(provide: bool, submodule: bool, file: str) -> None:
    outcomes = {}
    for name, module in (("native", MODULE_NAME), ("baseline", baseline.__name__)):
        code = BODY_SCENARIO.format(paths=sys.path[:], tables=TABLES, module=module, provide=provide,
                                    submodule=submodule, file=file)
        result = run_python(code)
        assert result.returncode == 0, result.stderr
        outcomes[name] = json.loads(result.stdout)
    assert outcomes["native"] == outcomes["baseline"]
    assert outcomes["native"][1] == ["__path__", "Table"]
