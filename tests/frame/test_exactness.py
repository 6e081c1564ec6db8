"""Details the interpreter decides for plain Python, shown alike by the class:
audit events of function attributes, `from X import Y`, pickling by
reference and the message for a `**` argument that is not a mapping.  Each
case runs through the extension and the plain-Python class and compares."""

from __future__ import annotations

import builtins
import collections
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
from pathlib import Path
from typing import Any, Callable

import pytest

import baseline_llm_metrics as baseline
from fakes import CONSTANTS, ENTITIES, MANAGER, ROBUSTNESS, RecordingTable, fake_module, make_catalogue, make_client
from llm_metrics_testing import METHOD_KEYS, MODULE_NAME, run_python

native = importlib.import_module(MODULE_NAME)
IMPLEMENTATIONS = {"native": native, "baseline": baseline}


def method(impl: types.ModuleType, key: str) -> Any:
    return vars(impl.LLMMetrics)[key]


def compare(run: Callable[[types.ModuleType], Any]) -> Any:
    outcomes = {name: run(impl) for name, impl in IMPLEMENTATIONS.items()}
    assert outcomes["native"] == outcomes["baseline"]
    return outcomes["native"]


# ------------------------------------------------------------------ audit events


class Refused(Exception):
    pass


class AuditRecorder:
    """The test run's one audit hook (hooks cannot be removed): records the
    object.* events about `target` while a recording is open, and refuses
    them all when asked to."""

    target: Any = None
    events: list | None = None
    refuse = False

    def __call__(self, event: str, args: tuple) -> None:
        if self.events is not None and event.startswith("object.") and args and args[0] is self.target:
            self.events.append((event, *("F" if arg is self.target else arg for arg in args)))
            if self.refuse:
                raise Refused(event)


AUDIT = AuditRecorder()
sys.addaudithook(AUDIT)


def audited(fn: Any, operation: Callable[[], Any], refuse: bool = False) -> tuple:
    """The exception type `operation()` raised (or None) and the events about `fn`."""
    AUDIT.target, AUDIT.events, AUDIT.refuse = fn, [], refuse
    try:
        operation()
        failure = None
    except Exception as exc:
        failure = type(exc)
    finally:
        events, AUDIT.target, AUDIT.events, AUDIT.refuse = AUDIT.events, None, None, False
    return failure, events


# Every attribute the method type defines, taken from the type.
FUNCTION_ATTRIBUTES = sorted(name for name, entry in vars(type(native.LLMMetrics.display_result)).items()
                             if isinstance(entry, types.GetSetDescriptorType))
MISSING = object()


@pytest.mark.parametrize("attr", FUNCTION_ATTRIBUTES)
def test_attribute_reads_writes_and_deletions_raise_the_events_of_a_python_function(attr: str) -> None:
    read = operator.attrgetter(attr)

    def run(impl: types.ModuleType, key: str) -> list:
        fn = method(impl, key)
        saved = getattr(fn, attr, MISSING)
        value = None if saved is MISSING else saved  # the value it has; None deletes the defaults
        bound = impl.LLMMetrics.__new__(impl.LLMMetrics)
        try:
            seen = [audited(fn, lambda: read(fn)), audited(fn, lambda: read(getattr(bound, key))),
                    audited(fn, lambda: setattr(fn, attr, value)), audited(fn, lambda: delattr(fn, attr))]
        finally:
            with contextlib.suppress(AttributeError, TypeError):
                delattr(fn, attr) if saved is MISSING else setattr(fn, attr, saved)
        assert getattr(fn, attr, MISSING) == saved
        if attr == "__code__":
            # A Python function runs the code it is given; here it describes
            # the body's parameters, read-only: its reads compare.
            seen = seen[:2]
        return seen

    for key in METHOD_KEYS:
        compare(lambda impl: run(impl, key))


def test_a_refusing_hook_stops_every_read_and_change_of_the_defaults() -> None:
    def run(impl: types.ModuleType) -> list:
        fn = impl.LLMMetrics.compute_metrics
        bound = impl.LLMMetrics.__new__(impl.LLMMetrics).compute_metrics
        defaults, kwdefaults = fn.__defaults__, fn.__kwdefaults__
        outcomes = [audited(fn, operation, refuse=True)[0] for operation in (
            lambda: setattr(fn, "__defaults__", None), lambda: setattr(fn, "__defaults__", (1,)),
            lambda: delattr(fn, "__kwdefaults__"), lambda: setattr(fn, "__kwdefaults__", {"x": 1}),
            lambda: fn.__defaults__, lambda: bound.__kwdefaults__, lambda: inspect.signature(fn),
            lambda: setattr(fn, "__defaults__", [None]))]  # the wrong type fails before the hook
        assert fn.__defaults__ is defaults and fn.__kwdefaults__ is kwdefaults
        return outcomes

    assert compare(run) == [Refused] * 7 + [TypeError]


# ------------------------------------------------------------------ pickling

DUMPS = [functools.partial(pickle.dumps, protocol=p) for p in range(pickle.HIGHEST_PROTOCOL + 1)] + [
    pickle._dumps]  # type: ignore[attr-defined]  # the pure-Python pickler


@pytest.mark.parametrize("key", METHOD_KEYS)
def test_pickling_and_copying_end_as_for_a_python_function(key: str) -> None:
    def run(impl: types.ModuleType) -> list:
        fn, outcomes = method(impl, key), []
        assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn
        for dumps in DUMPS:
            try:
                outcomes.append(pickle.loads(dumps(fn)) is fn)
            except Exception as exc:
                text = re.sub(r" at 0x[0-9a-f]+", "", str(exc)).replace(impl.__name__, "<module>")
                outcomes.append((type(exc), text, type(exc.__context__)))
        return outcomes

    outcome = compare(run)
    # By reference for a public method; a private one's qualified name
    # ("LLMMetrics.__name") leads back to it from 3.15 on (pickle mangles the
    # private name), not before.
    assert (outcome[0] is True) == (key == method(baseline, key).__name__ or sys.version_info >= (3, 15))


# ------------------------------------------------------------------ __annotate__ and __annotations__

# 3.14 gave functions __annotate__ (None, or the function computing their
# annotations per annotationlib format), read for __annotations__ the first
# time, replaced by an assignment to __annotations__ and replacing them in
# turn.  Each row runs its steps on every method of both classes, from a
# fresh state, and compares what every step gave and the state it left.
ON_3_14 = sys.version_info >= (3, 14)
annotationlib = importlib.import_module("annotationlib") if ON_3_14 else None
FORMATS = list(annotationlib.Format) if ON_3_14 else []


class NotADict:
    pass


def inner(first: int, *rest: Any, only: str = "", **more: Any) -> None:
    """What a method's __wrapped__ leads to."""


def shown(value: Any) -> Any:
    """A step's result, comparable across the two classes (functions by kind)."""
    if isinstance(value, dict):
        return type(value).__name__, {key: shown(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)([shown(item) for item in value])
    if isinstance(value, inspect.Signature):
        return str(value)
    if callable(value) and not isinstance(value, type):
        return "<callable>"
    return value


def set_attr(name: str, value: Any) -> Callable[[Any], None]:
    return lambda fn: setattr(fn, name, value)


def annotate_doing(action: Callable[[Any], None], result: Any) -> Callable[[Any], None]:
    """Sets an __annotate__ that runs `action` on the function, then gives `result`."""
    def step(fn: Any) -> None:
        def annotate(format: Any) -> Any:
            action(fn)
            return result

        fn.__annotate__ = annotate

    return step


def per_format(format: int) -> dict:
    if format > 2:
        return {"configuration": f"format {format}"}
    return {"configuration": dict}


def get_annotations(format: Any) -> Callable[[Any], Any]:
    return lambda fn: annotationlib.get_annotations(fn, format=format)


def read(fn: Any) -> Any:
    return fn.__annotations__


def in_every_format(fn: Any) -> list:
    return [fn.__annotate__(format) for format in (1, 2, 3, 4, 0, 1.0, True, "x")]


def wrapped(fn: Any) -> Any:
    @functools.wraps(fn)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        return fn(*args, **kwargs)

    return (wrapper.__annotate__ is fn.__annotate__, "__annotate__" in vars(wrapper), wrapper.__annotations__,
            [annotationlib.get_annotations(wrapper, format=format) for format in FORMATS[:1] + FORMATS[2:]])


ANNOTATE_ROWS: dict[str, list[Callable[[Any], Any]]] = {
    "read twice, the same dict": [read, lambda fn: fn.__annotations__ is fn.__annotations__],
    "__annotate__ in each format": [in_every_format],
    "deleting __annotate__": [lambda fn: delattr(fn, "__annotate__"), read],
    "__annotate__ = None, then read": [set_attr("__annotate__", None), read],
    "read, then __annotate__ = None": [read, set_attr("__annotate__", None), read],
    "__annotate__ = 5": [set_attr("__annotate__", 5), read],
    "__annotate__ replaced, after a read": [read, set_attr("__annotate__", lambda format: {"x": format}), read, read],
    "__annotate__ giving an int": [set_attr("__annotate__", lambda format: 5), read, read],
    "__annotate__ giving an instance": [set_attr("__annotate__", lambda format: NotADict()), read],
    "__annotate__ giving a dict subclass": [set_attr("__annotate__", lambda format: collections.OrderedDict(x=1)),
                                           read],
    "__annotate__ raising": [set_attr("__annotate__", lambda format: 1 / 0), read, read],
    "__annotate__ replacing __annotations__ meanwhile": [
        annotate_doing(set_attr("__annotations__", {"meanwhile": 1}), {"returned": 2}), read, read],
    "__annotate__ replacing itself meanwhile": [
        annotate_doing(set_attr("__annotate__", None), {"returned": 2}), read, read],
    "__annotations__ = a dict": [set_attr("__annotations__", {"z": 2}), read],
    "__annotations__ = None": [set_attr("__annotations__", None), read],
    "__annotations__ = 5": [set_attr("__annotations__", 5), read],
    "deleting __annotations__": [read, lambda fn: delattr(fn, "__annotations__"), read],
    # inspect.signature computes the signature from what the function carries.
    "no __signature__ of its own": [lambda fn: hasattr(fn, "__signature__"), inspect.signature],
    "__signature__ assigned": [set_attr("__signature__", inspect.Signature()), inspect.signature],
    "__wrapped__ followed": [set_attr("__wrapped__", inner), inspect.signature],
    "__wrapped__ loop": [lambda fn: setattr(fn, "__wrapped__", fn), inspect.signature],
}
if ON_3_14:
    ANNOTATE_ROWS |= {
        "annotationlib, each format": [get_annotations(format) for format in FORMATS] + [get_annotations(9)],
        "annotationlib, __annotations__ replaced": [set_attr("__annotations__", {"configuration": dict})] + [
            get_annotations(format) for format in FORMATS],
        "annotationlib, an __annotate__ per format": [set_attr("__annotate__", per_format)] + [
            get_annotations(format) for format in FORMATS],
        "inspect.signature, each format": [
            functools.partial(inspect.signature, annotation_format=format) for format in FORMATS[:1] + FORMATS[2:]],
        "inspect.signature, an __annotate__ per format": [set_attr("__annotate__", per_format)] + [
            functools.partial(inspect.signature, annotation_format=format) for format in FORMATS[:1] + FORMATS[2:]],
        "inspect.signature, each format, __annotations__ replaced": [
            set_attr("__annotations__", {"results": int, "configuration": int})] + [
            functools.partial(inspect.signature, annotation_format=format) for format in FORMATS[:1] + FORMATS[2:]],
        "functools.wraps": [wrapped],
        "functools.wraps, __annotations__ replaced": [set_attr("__annotations__", {"x": "int"}), wrapped],
    }


@contextlib.contextmanager
def annotations_kept(fn: Any) -> Any:
    annotate, annotations = getattr(fn, "__annotate__", None), fn.__annotations__
    saved_dict = dict(vars(fn))
    try:
        yield
    finally:
        fn.__annotations__ = annotations
        if callable(annotate):  # drops the annotations kept: read again from it, as at first
            fn.__annotate__ = annotate
        vars(fn).clear()
        vars(fn).update(saved_dict)


@pytest.mark.parametrize("row", ANNOTATE_ROWS)
def test_annotate_and_annotations_as_on_a_python_function(row: str) -> None:
    def run(impl: types.ModuleType, key: str) -> list:
        fn, outcomes = method(impl, key), []
        with annotations_kept(fn):
            outcomes.append(("has __annotate__", hasattr(fn, "__annotate__"),
                             callable(getattr(fn, "__annotate__", None))))
            for step in ANNOTATE_ROWS[row]:
                try:
                    outcomes.append(shown(step(fn)))
                except Exception as exc:  # before 3.14, a missing attribute names the type, ours by its name
                    text = re.sub(r" at 0x[0-9a-f]+", "", str(exc))
                    outcomes.append((type(exc), text.replace("'llm_metrics.function'", "'function'")))
                outcomes.append(("__annotate__", shown(getattr(fn, "__annotate__", "absent"))))
        return outcomes

    for key in METHOD_KEYS:
        compare(lambda impl: run(impl, key))


# ------------------------------------------------- a ** argument that is not a mapping


class NoKeys:
    def __setitem__(self, key: str, value: Any) -> None:  # manager resolution stores entries
        pass


def container(keys: Any, item: Callable[[str], Any], base: type = NoKeys) -> type:
    return type(base.__name__, (base,), {"keys": lambda self: keys, "__getitem__": lambda self, key: item(key)})


def missing(*args: Any) -> Callable[[str], Any]:
    def item(key: str) -> Any:
        raise KeyError(*args)

    return item


KEYWORD_CONTAINERS = [
    NoKeys,
    container(["caller", "caller"], str.upper),  # a key twice
    container(["caller"], missing("elsewhere")),  # a KeyError of one argument
    container(["caller"], missing("elsewhere", 2)),
    container(5, str.upper),  # keys() not iterable
    type("OwnIteration", (dict,), {"__iter__": lambda self: iter(["caller"]), "keys": lambda self: ["a", "b"],
                                   "__getitem__": lambda self, key: key.upper()}),
]


class Factory:
    def make(self, configuration: Any, **kwargs: Any) -> list:
        return sorted(kwargs.items())

    __call__ = make


class Manager:
    def __new__(cls, configuration: Any, **kwargs: Any) -> Any:
        return sorted(kwargs.items())


unplaced = Factory()
unplaced.__qualname__, unplaced.__module__ = "Unplaced", None  # type: ignore[attr-defined]
CALLEES = {"class": Manager, "bound method": Factory().make, "builtin": dict, "object with __call__": Factory(),
           "named object without a module": unplaced}


@pytest.mark.parametrize("callee", sorted(CALLEES))
def test_a_keyword_container_that_is_not_a_mapping_fails_as_in_python(callee: str,
                                                                      monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, MANAGER, fake_module(MANAGER, LLMMetricManager=CALLEES[callee]))

    def run(impl: types.ModuleType, kind: type) -> Any:
        try:
            return impl.LLMMetrics(make_client())._LLMMetrics__get_metrics_manager({}, kind())
        except Exception as exc:
            return type(exc), str(exc), exc.__context__

    for kind in KEYWORD_CONTAINERS:
        compare(lambda impl: run(impl, kind))


# ------------------------------------------------------------------ from X import Y


class Display:
    @staticmethod
    def display_robustness_results(results: Any) -> Any:
        return ("displayed", results)


def asking(name: str, log: list, provides: dict, package: bool = False, error: Exception | None = None,
           **attrs: Any) -> types.ModuleType:
    """A module whose module-level __getattr__ records every name it is asked for."""
    module = fake_module(name, **attrs, **({"__path__": []} if package else {}))

    def __getattr__(attr: str) -> Any:
        log.append(attr)
        if attr in provides:
            return provides[attr]
        raise error if error and not attr.startswith("__") else AttributeError(attr)

    module.__getattr__ = __getattr__  # type: ignore[attr-defined]
    return module


def initialising(name: str, **attrs: Any) -> types.ModuleType:
    module = fake_module(name, **attrs)
    module.__spec__ = importlib.machinery.ModuleSpec(name, None)
    module.__spec__._initializing = True  # type: ignore[attr-defined]
    return module


def located(name: str, origin: Any, has_location: Any = True, initialising: bool = False) -> Any:
    """A module spec locating `origin` (or saying it is no location)."""
    spec = importlib.machinery.ModuleSpec(name, None, origin=origin)
    spec.has_location = has_location
    if initialising:
        spec._initializing = True  # type: ignore[attr-defined]
    return spec


class SpecLess(types.ModuleType):
    """A module whose __spec__ cannot be read (`error`: AttributeError, as for none)."""

    error: type[Exception] = AttributeError

    @property
    def __spec__(self) -> Any:  # type: ignore[override]
        raise self.error("__spec__")


class Truthless:
    def __bool__(self) -> bool:
        raise ValueError("truth")


class UnsureLocation:
    """A spec that cannot tell whether it has a location."""

    @property
    def has_location(self) -> bool:
        raise ValueError("has_location")


def spec_less(name: str, error: type[Exception] = AttributeError, **attrs: Any) -> types.ModuleType:
    module = SpecLess(name)
    module.error = error
    for attr, value in attrs.items():
        setattr(module, attr, value)
    return module


MISSING = object()  # a builtin deleted for the call


def tracing(log: list) -> Callable[..., Any]:
    """An import tracer in place of builtins.__import__: records what each
    import statement hands it, then imports as the original does."""
    original = __import__

    def traced(name: str, globals: Any = None, locals: Any = None, fromlist: Any = (), level: int = 0) -> Any:
        log.append([name, globals is not None and globals.get("__name__") is not None, locals, fromlist, level])
        return original(name, globals, locals, fromlist, level)

    return traced


R, RM, FILE, D = ROBUSTNESS, ROBUSTNESS + ".RobustnessMetrics", "/plugin/robustness_metric.py", {"RobustnessMetrics":
                                                                                                Display}
# sys.modules entries for display_result, given the log of a module __getattr__.
ROBUSTNESS_PLUGINS: dict[str, Callable[[list], dict]] = {
    "class only as a submodule": lambda log: {R: fake_module(R), RM: Display},
    "submodule under the module's __name__": lambda log: {R: fake_module(R, __name__="other"),
                                                          "other.RobustnessMetrics": Display},
    "submodule entry None": lambda log: {R: fake_module(R), RM: None},
    "missing, with a file": lambda log: {R: fake_module(R, __file__=FILE)},
    "missing, without a file": lambda log: {R: fake_module(R)},
    "missing, __file__ not a str": lambda log: {R: fake_module(R, __file__=5)},
    "missing, being initialised": lambda log: {R: initialising(R, __file__=FILE)},
    "missing, being initialised without a file": lambda log: {R: initialising(R)},
    "missing, __name__ not a str": lambda log: {R: fake_module(R, __name__=5), RM: Display},
    # Where the interpreter reads the module's spec: its file over __file__,
    # __file__ when it locates none, errors reading it passing through.
    "missing, __spec__ locates another file": lambda log: {
        R: fake_module(R, __file__=FILE, __spec__=located(R, "/plugin/elsewhere.py"))},
    "missing, the module spec's origin no location": lambda log: {
        R: fake_module(R, __file__=FILE, __spec__=located(R, "/plugin/elsewhere.py", has_location=False))},
    "missing, the module spec's file not a str": lambda log: {R: fake_module(R, __file__=FILE, __spec__=located(R, 5))},
    "missing, being initialised, __spec__ locates a file": lambda log: {
        R: fake_module(R, __file__=FILE, __spec__=located(R, "/plugin/elsewhere.py", initialising=True))},
    "missing, __spec__ unreadable": lambda log: {R: spec_less(R, __file__=FILE)},
    "missing, __spec__ raises": lambda log: {R: spec_less(R, ValueError, __file__=FILE)},
    "missing, __spec__._initializing raises": lambda log: {
        R: fake_module(R, __file__=FILE, __spec__=types.SimpleNamespace(_initializing=Truthless()))},
    "missing, __spec__ cannot tell its location": lambda log: {R: fake_module(R, __file__=FILE,
                                                                               __spec__=UnsureLocation())},
    "missing, not a module, being initialised": lambda log: {
        R: types.SimpleNamespace(__name__=R, __file__=FILE, __spec__=located(R, None, False, initialising=True))},
    "missing, not a module": lambda log: {R: types.SimpleNamespace(__name__=R, __file__=FILE)},
    "module __getattr__ provides it": lambda log: {R: asking(R, log, D)},
    "module __getattr__ refuses": lambda log: {R: asking(R, log, {}, __file__=FILE)},
    "module __getattr__ fails": lambda log: {R: asking(R, log, {}, error=ValueError("lookup"))},
    "package __getattr__ provides it": lambda log: {R: asking(R, log, D, package=True)},
    "package __getattr__ refuses": lambda log: {R: asking(R, log, {}, package=True, __file__=FILE)},
    "__import__ replaced by a tracer": lambda log: {R: fake_module(R, **D), "builtins.__import__": tracing(log)},
    "__import__ missing from the builtins": lambda log: {R: fake_module(R, **D), "builtins.__import__": MISSING},
}

ENUMS = ("LLMTaskType", "LLMMetricType", "LLMSubMetrics")
LEGACY = fake_module(CONSTANTS, **{name: [name] for name in (
    "LLMSummarizationMetrics", "LLMGenerationMetrics", "LLMExtractionMetrics", "LLMQAMetrics")})


def entities(log: list | None = None, attrs: tuple = (), submodules: tuple = (), provides: tuple = ()) -> dict:
    """The entities module holding `attrs` (or, through a recording __getattr__,
    `provides`), with `submodules` in sys.modules."""
    enums = {name: getattr(make_catalogue().module, name) for name in ENUMS}
    module = fake_module(ENTITIES, **{name: enums[name] for name in attrs}) if log is None else asking(
        ENTITIES, log, {name: enums[name] for name in provides}, __file__="/plugin/entities.py")
    return {ENTITIES: module, **{f"{ENTITIES}.{name}": enums[name] for name in submodules}}


ENTITIES_PLUGINS: dict[str, Callable[[list], dict]] = {
    "enumerations only as submodules": lambda log: entities(submodules=ENUMS),
    "one as a submodule": lambda log: entities(attrs=ENUMS[:2], submodules=ENUMS[2:]),
    "one missing, legacy constants": lambda log: {**entities(attrs=ENUMS[:2]), CONSTANTS: LEGACY},
    "first missing, no constants": lambda log: {**entities(attrs=ENUMS[1:]), CONSTANTS: None},
    "module __getattr__ provides them": lambda log: entities(log, provides=ENUMS),
    "module __getattr__ refuses the last": lambda log: {**entities(log, provides=ENUMS[:2]), CONSTANTS: None},
    "__import__ replaced by a tracer": lambda log: {**entities(attrs=ENUMS), "builtins.__import__": tracing(log)},
}


def exception_chain(exc: BaseException | None) -> list:
    chain = []
    while exc is not None:
        chain.append([type(exc), str(exc)] + ([exc.name, exc.name_from, exc.path] if isinstance(exc, ImportError)
                                              else []))
        exc = exc.__context__
    return chain


def with_plugin(monkeypatch: pytest.MonkeyPatch, plugin: Callable[[list], dict], call: Callable[[], Any]) -> tuple:
    log: list = []
    out = io.StringIO()
    with monkeypatch.context() as patch, contextlib.redirect_stdout(out):
        for name, value in plugin(log).items():
            if name.startswith("builtins.") and value is MISSING:
                patch.delattr(builtins, name.removeprefix("builtins."))
            elif name.startswith("builtins."):
                patch.setattr(builtins, name.removeprefix("builtins."), value)
            else:
                patch.setitem(sys.modules, name, value)
        try:
            result: Any = ("returned", call())
        except Exception as exc:
            result = ("raised", exception_chain(exc))
    return result, out.getvalue(), log


@pytest.mark.parametrize("plugin", sorted(ROBUSTNESS_PLUGINS))
def test_display_result_imports_as_the_statement_does(plugin: str, monkeypatch: pytest.MonkeyPatch) -> None:
    outcome = compare(lambda impl: with_plugin(monkeypatch, ROBUSTNESS_PLUGINS[plugin],
                                               lambda: impl.LLMMetrics.__new__(impl.LLMMetrics).display_result(1)))
    if plugin == "class only as a submodule":
        assert outcome[0] == ("returned", ("displayed", 1))
    if plugin == "__import__ replaced by a tracer":
        assert outcome[2] == [[R, True, None, ("RobustnessMetrics",), 0]]


@pytest.mark.parametrize("plugin", sorted(ENTITIES_PLUGINS))
def test_the_browser_imports_as_the_statement_does(plugin: str, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(RecordingTable, "calls", [])
    for impl in IMPLEMENTATIONS.values():
        monkeypatch.setattr(impl, "Table", RecordingTable)
    outcome = compare(lambda impl: with_plugin(monkeypatch, ENTITIES_PLUGINS[plugin],
                                               impl.LLMMetrics(make_client()).show_supported_metrics))
    if plugin == "enumerations only as submodules":
        assert "[table] The following are the supported metrics:" in outcome[1]


# The module body imports once per process: fresh interpreters.  The kit's
# own user of Table is imported before the stand-in replaces it.
BODY = """
    import importlib, json, sys, types
    sys.path[:0] = {paths!r}
    import zel_tarn_quillgate.supporting_classes.metrics.evaluators
    log, found = [], type("Table", (), {{}})
    tables = types.ModuleType("zel_tarn_quillgate.base_classes.tables", "")
    tables.__getattr__ = lambda attr: log.append(attr) or getattr(object, "missing")
    sys.modules[tables.__name__] = tables
    if {submodule!r}:
        sys.modules[tables.__name__ + ".Table"] = found
    if {traced!r}:  # an import tracer installed before the import
        import builtins
        original = builtins.__import__
        def traced(name, globals=None, locals=None, fromlist=(), level=0):
            if globals is not None and globals.get("__name__") == {module!r}:
                log.append(["import", name, locals is globals, fromlist])
            return original(name, globals, locals, fromlist, level)
        builtins.__import__ = traced
    try:
        outcome = ["imported", importlib.import_module({module!r}).Table is found]
    except ImportError as exc:
        outcome = [str(exc), exc.name, exc.name_from, exc.path]
    print(json.dumps([outcome, log]))
"""


@pytest.mark.no_refleak
@pytest.mark.parametrize(("submodule", "traced"), [(True, False), (False, False), (True, True)],
                         ids=["submodule", "no submodule", "import tracer"])
def test_the_module_body_imports_as_the_statement_does(submodule: bool, traced: bool) -> None:
    def run(impl: types.ModuleType) -> Any:
        source = BODY.format(paths=sys.path, submodule=submodule, traced=traced, module=impl.__name__)
        result = run_python(source)
        assert result.returncode == 0, result.stderr
        return json.loads(result.stdout)

    log = compare(run)[1]
    assert [entry for entry in log if not isinstance(entry, list)] == ["__path__", "Table"]
    assert len(log) == (2 + 8 if traced else 2)  # the eight import statements of the module body


# ------------------------------------------------------------------ __code__


def test_code_is_made_without_the_construction_event_a_hook_may_refuse() -> None:
    # A sandbox's hook that refuses building code objects (code() and
    # code.replace() raise "code.__new__") stops nothing a Python function's
    # __code__ read allows: signatures, getfullargspec, help.  The process is
    # fresh, so that every __code__ is made under the hook.
    done = run_python(f"""
        import inspect, pydoc, sys
        events = []
        def refuse(event, args):
            if event == "code.__new__":
                events.append(event)
                raise RuntimeError("code construction refused")
        sys.addaudithook(refuse)
        import importlib
        native = importlib.import_module({MODULE_NAME!r})
        sys.path.insert(0, {str(Path(baseline.__file__).parent)!r})
        import baseline_llm_metrics as baseline
        seen = {{}}
        for name, impl in (("native", native), ("baseline", baseline)):
            out = []
            for key in {METHOD_KEYS!r}:
                fn = vars(impl.LLMMetrics)[key]
                code = fn.__code__
                out.append((str(inspect.signature(fn)), inspect.getfullargspec(fn), code is fn.__code__))
            pydoc.render_doc(impl.LLMMetrics)
            seen[name] = out
        assert seen["native"] == seen["baseline"], seen
        print(events)
    """)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() == "[]"
