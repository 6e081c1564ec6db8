"""The world of the re-entrancy tests: stand-ins that hand control to
Python code at every point where the module does, and a hook that fires at
one chosen point to change what the module may be holding.

Each run builds a fresh world for one implementation (the extension or the
plain-Python class), arms one point with one mutation, makes one call, and
puts every class attribute, method attribute and module global back.  The
hook fires once per run (the first time its point is reached), mutates,
and collects garbage, so that anything the call still needed but did not
hold is freed on the spot.
"""

from __future__ import annotations

import builtins
import collections
import contextlib
import ctypes
import gc
import importlib.abc
import importlib.util
import inspect
import re
import sys
import types
from typing import Any, Callable, Iterator

import pandas as pd

import robust_support as rs
from llm_metrics_testing import (METHOD_GLOBALS, METHOD_KEYS, PRIVATE_METHOD_KEYS, PUBLIC_METHOD_KEYS,
                                 oracle_methods_run)
from fakes import CLIENT_ATTRIBUTES
from robust_support import describe

# The methods and module globals the mutations act on, as the oracle has them.
METHOD_NAMES = METHOD_KEYS
PRIVATE_NAMES = PRIVATE_METHOD_KEYS
PUBLIC_NAMES = PUBLIC_METHOD_KEYS
GLOBAL_NAMES = METHOD_GLOBALS

_MISSING = object()


# ------------------------------------------------------------------- the hook


class Hook:
    """The armed point, what fires there, and what the run did."""

    def __init__(self) -> None:
        self.point: str | None = None
        self.occurrence = 1
        self.action: Callable[[], None] | None = None
        self.done = False
        self.seen: collections.Counter[str] = collections.Counter()
        self.log: list[Any] = []

    def reset(self, point: str | None = None, action: Callable[[], None] | None = None, occurrence: int = 1) -> None:
        self.point, self.action, self.occurrence, self.done = point, action, occurrence, False
        self.seen = collections.Counter()
        self.log = []

    def fire(self, point: str) -> None:
        self.seen[point] += 1
        if point != self.point or self.done or self.seen[point] != self.occurrence:
            return
        self.done = True
        self.log.append(("fired", point, self.occurrence))
        if self.action is not None:
            self.action()
        gc.collect()


HOOK = Hook()
fire = HOOK.fire


def note(*entry: Any) -> None:
    HOOK.log.append(entry)


# ------------------------------------------------------------ hostile texts


class HookKey(str):
    """A keyword name: the binder compares it (__eq__) and stores it (__hash__)."""

    __slots__ = ()

    def __eq__(self, other: object) -> bool:
        fire("keyword.eq")
        return str.__eq__(self, other)

    def __ne__(self, other: object) -> bool:
        return not self.__eq__(other)

    def __hash__(self) -> int:
        fire("keyword.hash")
        return str.__hash__(self)


class HookId(str):
    """A metric id of the catalogue: hashed into and compared in its dictionaries, sorted."""

    __slots__ = ()

    def __eq__(self, other: object) -> bool:
        fire("id.eq")
        return str.__eq__(self, other)

    def __ne__(self, other: object) -> bool:
        return not self.__eq__(other)

    def __lt__(self, other: str) -> bool:
        fire("id.lt")
        return str.__lt__(self, other)

    def __hash__(self) -> int:
        fire("id.hash")
        return str.__hash__(self)


def plain(value: Any) -> Any:
    """Printable data without running any hook (str subclasses become str)."""
    if isinstance(value, str):
        return str.__str__(value)
    if type(value) in (list, tuple):
        return [plain(v) for v in value]
    return describe(value)


# ------------------------------------------------------------------ stand-ins


class Result(dict):
    """What compute() returns: reading `update` and calling it are both points."""

    @property
    def update(self) -> Callable[[Any], None]:  # type: ignore[override]
        fire("update.lookup")
        note("update looked up")

        def update(other: Any) -> None:
            fire("update.call")
            note("update", describe(other))
            dict.update(self, other)

        return update


class Manager:
    def __init__(self, configuration: Any, **kwargs: Any) -> None:
        fire("manager.init")
        note("manager", sorted(map(str, kwargs)))

    def compute(self, sources: Any, predictions: Any, references: Any, **kwargs: Any) -> Any:
        fire("manager.compute")
        note("compute", sorted(map(str, kwargs)))
        return Result(plugin=1)

    def get_metrics_result(self, metrics_result: Any, **kwargs: Any) -> Any:
        fire("manager.get_metrics_result")
        return describe(metrics_result)


class OtherManager(Manager):
    def compute(self, sources: Any, predictions: Any, references: Any, **kwargs: Any) -> Any:
        note("other compute")
        return Result(other=1)


class Robustness:
    @staticmethod
    def display_robustness_results(results: Any) -> Any:
        fire("robustness")
        return describe(results)


class Table:
    def __init__(self, headers: Any, record: Any) -> None:
        fire("table.init")
        self.headers = headers
        self.record = record

    def list(self, *, title: Any) -> None:
        fire("table.list")
        print("[table]", plain(title), plain(self.headers), plain(self.record))


class OtherTable(Table):
    def list(self, *, title: Any) -> None:
        print("[other table]", plain(title))


def evaluator(name: str) -> Callable[..., Any]:
    def evaluate(sources: Any, predictions: Any, references: Any, **kwargs: Any) -> Any:
        fire("evaluator")
        note("evaluator", name)
        return {name: 1}

    return evaluate


def validate_type(value: Any, name: Any, expected: Any, required: Any) -> None:
    fire("validate_type")
    note("validate_type", name)
    rs.real_validate_type(value, name, expected, required)


class Evaluators:
    """LLMAJEvaluators(ai_client), made by the constructor."""

    def __init__(self, ai_client: Any) -> None:
        fire("evaluators.init")


def make_client() -> Any:
    """A host client whose connection details are points when read."""
    from zel_tarn_quillgate import TarnQuillgateV2Adapter

    class HookClient(TarnQuillgateV2Adapter):
        def __getattribute__(self, name: str) -> Any:
            if name in CLIENT_ATTRIBUTES:
                fire("client." + name)
            return object.__getattribute__(self, name)

    template = rs.make_client()
    client = object.__new__(HookClient)
    vars(client).update(vars(template))
    return client


class PluginFinder(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Imports the manager module afresh: the plugin import is a point too."""

    def find_spec(self, name: str, path: Any, target: Any = None) -> Any:
        if name != rs.MANAGER:
            return None
        fire("plugin.import")
        return importlib.util.spec_from_loader(name, self)

    def create_module(self, spec: Any) -> None:
        return None

    def exec_module(self, module: types.ModuleType) -> None:
        module.LLMMetricManager = Manager


# ----------------------------------------------------------------- catalogue


class Enumeration(type):
    """Iterating the class yields its members, like an enumeration."""

    def __iter__(cls) -> Iterator[Any]:
        fire("enumeration.iter")
        return iter(cls._members)


def _member_attribute(attr: str) -> property:
    def read(self: Any) -> Any:
        fire("member." + attr)
        try:
            return self._data[attr]
        except KeyError:
            raise AttributeError(attr) from None

    return property(read)


class Member:
    value = _member_attribute("value")
    metrics_group = _member_attribute("metrics_group")
    supported_tasks = _member_attribute("supported_tasks")
    is_reference_free = _member_attribute("is_reference_free")
    sub_metrics = _member_attribute("sub_metrics")

    def __init__(self, **data: Any) -> None:
        self._data = data

    def __format__(self, spec: str) -> str:
        fire("member.format")
        return "member " + plain(self._data["value"])


def enumeration(name: str, specs: list[dict[str, Any]]) -> Any:
    cls = Enumeration(name, (Member,), {"_members": ()})
    cls._members = tuple(cls(**spec) for spec in specs)
    return cls


class Catalogue:
    def __init__(self) -> None:
        self.tasks = enumeration("LLMTaskType", [dict(value=t) for t in ("summarization", "generation", "qa")])
        self.subs = enumeration("LLMSubMetrics", [
            dict(value=HookId("rouge2"), supported_tasks=["summarization"], is_reference_free=False,
                 metrics_group="rouge_score"),
            dict(value=HookId("rouge1"), supported_tasks=["summarization", "generation"], is_reference_free=True,
                 metrics_group="rouge_score"),
            dict(value=HookId("aux"), supported_tasks=["generation"], is_reference_free=None, metrics_group=None),
        ])
        by_id = {str.__str__(m._data["value"]): m for m in self.subs._members}
        self.metrics = enumeration("LLMMetricType", [
            dict(value=HookId("rouge_score"), supported_tasks=["summarization", "generation"],
                 is_reference_free=False, sub_metrics=[by_id["rouge2"], by_id["rouge1"]]),
            dict(value=HookId("bleu"), supported_tasks=["generation", "qa"], is_reference_free=False,
                 sub_metrics=None),
            dict(value=HookId("faithfulness"), supported_tasks=["qa"], is_reference_free=True),
        ])
        self.module = rs.fake_module(rs.ENTITIES, LLMTaskType=self.tasks, LLMMetricType=self.metrics,
                                     LLMSubMetrics=self.subs)
        self.legacy = rs.fake_module(rs.CONSTANTS, LLMSummarizationMetrics=self.subs,
                                     LLMGenerationMetrics=self.metrics, LLMExtractionMetrics=self.tasks,
                                     LLMQAMetrics=self.metrics)

    def shrink(self) -> None:
        for cls in (self.tasks, self.metrics, self.subs):
            cls._members = cls._members[:1]
        for member in (*self.tasks._members, *self.metrics._members, *self.subs._members):
            member._data.pop("metrics_group", None)
            member._data["supported_tasks"] = []


# ---------------------------------------------------------------------- world


class World:
    """Everything one run of one implementation uses."""

    def __init__(self, impl: str) -> None:
        self.impl_name = impl
        self.impl = rs.IMPLEMENTATIONS[impl]
        self.cls = self.impl.LLMMetrics
        self.client = make_client()
        self.obj: Any = None
        self.configuration: dict[str, Any] = {"configuration": {"group": {"metric": {}}}}
        self.evaluators = [evaluator("first"), evaluator("second")]
        self.results: dict[str, Any] = {"task": [1, 2]}
        self.catalogue = Catalogue()
        self.entities_missing = False
        self.call: str | None = None

    def methods(self) -> list[Any]:
        return [vars(self.cls)[name] for name in METHOD_NAMES if name in vars(self.cls)]


class Snapshot:
    """Class attributes, method attributes and module globals of both implementations."""

    def __init__(self) -> None:
        self.entries: list[tuple[Any, ...]] = []
        for impl in rs.IMPLEMENTATIONS.values():
            cls = impl.LLMMetrics
            for name in METHOD_NAMES:
                fn = vars(cls)[name]
                annotations = fn.__annotations__
                attributes = fn.__dict__
                self.entries.append((cls, name, fn, fn.__defaults__, fn.__kwdefaults__, annotations,
                                     dict(annotations), attributes, dict(attributes)))
        self.globals = [(impl, dict(vars(impl))) for impl in rs.IMPLEMENTATIONS.values()]

    def restore(self) -> None:
        for cls, name, fn, defaults, kwdefaults, annotations, annotation_items, attributes, attribute_items in (
                self.entries):
            setattr(cls, name, fn)
            fn.__defaults__ = defaults
            fn.__kwdefaults__ = kwdefaults
            annotations.clear()
            annotations.update(annotation_items)
            fn.__annotations__ = annotations
            attributes.clear()
            attributes.update(attribute_items)
            fn.__dict__ = attributes
        for impl, saved in self.globals:
            namespace = vars(impl)
            for name in [name for name in namespace if name not in saved]:
                del namespace[name]
            for name, value in saved.items():
                if namespace.get(name, _MISSING) is not value:
                    namespace[name] = value


class HookSignature(inspect.Signature):
    __slots__ = ()

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        fire("signature.init")
        super().__init__(*args, **kwargs)


class HookParameter(inspect.Parameter):
    __slots__ = ()

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        fire("parameter.init")
        note("parameter", args[0], sorted(kwargs))
        super().__init__(*args, **kwargs)


HookSignature._parameter_cls = HookParameter


class HookWriter:
    """Standard output that is a point too (print writes through it)."""

    def __init__(self, target: Any) -> None:
        self.target = target

    def write(self, text: str) -> int:
        fire("stdout.write")
        return self.target.write(text)

    def flush(self) -> None:
        pass


@contextlib.contextmanager
def installed(world: World) -> Iterator[None]:
    """The world's stand-ins in sys.modules, module globals and inspect; all put back afterwards."""
    import zel_metrics_plugin.metrics.llm.core as core_package

    saved_manager_attr = vars(core_package).get("llm_metrics_manager", _MISSING)
    finder = PluginFinder()
    saved_inspect = inspect.Signature
    modules: dict[str, Any] = {
        rs.MANAGER: None,  # replaced below: not in sys.modules, found by the finder
        rs.ENTITIES: None if world.entities_missing else world.catalogue.module,
        rs.CONSTANTS: world.catalogue.legacy,
        rs.ROBUSTNESS: rs.fake_module(rs.ROBUSTNESS, RobustnessMetrics=Robustness),
    }
    saved_data_frame = pd.DataFrame
    try:
        with rs.patched(modules, {"validate_type": validate_type, "Table": Table, "LLMAJEvaluators": Evaluators}):
            del sys.modules[rs.MANAGER]
            sys.meta_path.insert(0, finder)
            inspect.Signature = HookSignature  # type: ignore[misc]
            try:
                yield
            finally:
                inspect.Signature = saved_inspect  # type: ignore[misc]
                sys.meta_path.remove(finder)
    finally:
        FOREIGN_WATCHER.disarm()
        if type(builtins) is not types.ModuleType:
            builtins.__class__ = types.ModuleType
        pd.DataFrame = saved_data_frame  # type: ignore[misc]
        for name in GLOBAL_NAMES:
            vars(builtins).pop(name, None)
        if saved_manager_attr is _MISSING:
            vars(core_package).pop("llm_metrics_manager", None)
        else:
            core_package.llm_metrics_manager = saved_manager_attr


# ------------------------------------------------------------------ mutations


def _each_method(world: World, change: Callable[[Any], None]) -> None:
    for fn in world.methods():
        change(fn)


def _swapped_defaults(fn: Any) -> None:
    if fn.__defaults__:
        fn.__defaults__ = tuple([evaluator("swapped")] if type(d) is list else d for d in fn.__defaults__)


def _replacement(name: str) -> Callable[..., Any]:
    results = {"_LLMMetrics__get_metrics_manager": Manager({}), "_LLMMetrics__is_key_present": False}

    def replaced(self: Any, *args: Any, **kwargs: Any) -> Any:
        note("replaced", name)
        return results.get(name)

    return replaced


def _delete(namespace: Any, names: list[str]) -> None:
    for name in names:
        if isinstance(namespace, dict):
            namespace.pop(name, None)
        elif name in vars(namespace):
            delattr(namespace, name)


class ForeignWatcher:
    """A dict watcher of another extension, registered after the module's own:
    at the next change of a dictionary it watches, it runs an action (Python
    code calling the class) before the change is made, as every watcher runs."""

    _CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)

    def __init__(self) -> None:
        self.id: int | None = None
        self.action: Callable[[], None] | None = None
        self.watched: list[dict[str, Any]] = []
        self.api = ctypes.pythonapi
        self.api.PyDict_AddWatcher.argtypes = [ctypes.c_void_p]
        self.api.PyDict_Watch.argtypes = self.api.PyDict_Unwatch.argtypes = [ctypes.c_int, ctypes.py_object]
        self.callback = self._CALLBACK(self._on_event)

    def arm(self, dictionary: dict[str, Any], action: Callable[[], None]) -> None:
        if self.id is None:
            self.id = self.api.PyDict_AddWatcher(ctypes.cast(self.callback, ctypes.c_void_p))
        self.api.PyDict_Watch(self.id, dictionary)
        self.watched.append(dictionary)
        self.action = action

    def disarm(self) -> None:
        self.action = None
        while self.watched:
            self.api.PyDict_Unwatch(self.id, self.watched.pop())

    def _on_event(self, event: int, dictionary: int, key: int, value: int) -> int:
        action, self.action = self.action, None
        try:
            if action is not None:
                action()
        except BaseException as exc:  # a callback that raises would return an undefined value
            note("the watcher's action raised", type(exc).__name__)
        return 0


FOREIGN_WATCHER = ForeignWatcher()


def _replacement_globals() -> dict[str, Any]:
    return dict(validate_type=lambda *a: note("other validate_type"), Table=OtherTable, chain=lambda *a: iter(()),
                pd=types.SimpleNamespace(DataFrame=dict))


def _replaced_while_the_call_runs_in_each_change(world: World) -> None:
    """Each global replaced on its own, the world's call made again inside the
    change (reading the value being replaced); the outer call then reads on."""
    for name, value in _replacement_globals().items():
        def call_again(name: str = name) -> None:
            outcome = rs.observe(lambda: CALLS[world.call](world))  # type: ignore[index]
            note("during the change of", name, outcome.exc_type and outcome.exc_type.__name__, outcome.returned)
        FOREIGN_WATCHER.arm(vars(world.impl), call_again)
        vars(world.impl)[name] = value
        FOREIGN_WATCHER.disarm()


class HookBuiltins(types.ModuleType):
    """A builtins module whose __getattr__ would supply any name; name lookups read its dictionary only."""

    def __getattr__(self, name: str) -> Any:
        note("builtins __getattr__", name)
        return lambda *args, **kwargs: note("supplied by __getattr__", name)


def _builtins_class_swapped(world: World) -> None:
    builtins.__class__ = HookBuiltins
    _delete(vars(world.impl), GLOBAL_NAMES)


def _raise(world: World) -> None:
    raise rs.Boom("raised where the module handed control to Python code")


MUTATIONS: dict[str, Callable[[World], None]] = {
    "collect only": lambda w: None,
    "raises": _raise,
    "defaults None": lambda w: _each_method(w, lambda f: setattr(f, "__defaults__", None)),
    "defaults shortened": lambda w: _each_method(
        w, lambda f: setattr(f, "__defaults__", f.__defaults__[1:] if f.__defaults__ else None)),
    "defaults swapped": lambda w: _each_method(w, _swapped_defaults),
    "kwdefaults set": lambda w: _each_method(w, lambda f: setattr(f, "__kwdefaults__", {"extra": 1})),
    "annotations None": lambda w: _each_method(w, lambda f: setattr(f, "__annotations__", None)),
    "annotations cleared": lambda w: _each_method(w, lambda f: f.__annotations__.clear()),
    "annotations replaced": lambda w: _each_method(
        w, lambda f: setattr(f, "__annotations__", {"configuration": "list", "return": "int"})),
    "function dict replaced": lambda w: _each_method(w, lambda f: setattr(f, "__dict__", {"note": 1})),
    "private methods deleted": lambda w: _delete(w.cls, PRIVATE_NAMES),
    "private methods replaced": lambda w: [setattr(w.cls, n, _replacement(n)) for n in PRIVATE_NAMES],
    "public methods deleted": lambda w: _delete(w.cls, PUBLIC_NAMES),
    "globals deleted": lambda w: _delete(vars(w.impl), GLOBAL_NAMES),
    "globals replaced": lambda w: vars(w.impl).update(_replacement_globals()),
    "globals replaced, the call made again inside each change": _replaced_while_the_call_runs_in_each_change,
    "builtins class swapped, globals deleted": _builtins_class_swapped,
    "containers cleared": lambda w: (w.evaluators.clear(), w.configuration.clear(), w.results.clear(),
                                     None)[-1],
    "containers grown": lambda w: (w.evaluators.append(evaluator("appended")),
                                   w.configuration.__setitem__("added", {}), None)[-1],
    "instance cleared": lambda w: vars(w.obj).clear() if w.obj is not None else None,
    "client cleared": lambda w: vars(w.client).clear(),
    "catalogue shrunk": lambda w: w.catalogue.shrink(),
    # Values the module caches: each must be seen anew at its next lookup.
    "DataFrame replaced": lambda w: setattr(pd, "DataFrame", dict),
    "manager class replaced": lambda w: setattr(sys.modules[rs.MANAGER], "LLMMetricManager", OtherManager)
    if rs.MANAGER in sys.modules else None,
    "globals moved to builtins": lambda w: [setattr(builtins, name, vars(w.impl).pop(name))
                                            for name in GLOBAL_NAMES if name in vars(w.impl)],
}


# ---------------------------------------------------------------------- calls


def _show(**kwargs: Any) -> Callable[[World], Any]:
    return lambda w: w.obj.show_supported_metrics(**kwargs)


def _compute_with_defaults(w: World) -> Any:
    # Defaults that nothing else holds: replacing them frees them.
    w.cls.compute_metrics.__defaults__ = (None, None, None, [evaluator("default")])
    return w.obj.compute_metrics(w.configuration, **{HookKey("tag"): 1})


def _signatures(w: World) -> Any:
    return [str(inspect.signature(w.cls.compute_metrics)), str(inspect.signature(w.cls.show_supported_metrics)),
            str(inspect.signature(w.obj.get_metrics_result))]


def _legacy(w: World) -> Any:
    return w.obj.show_supported_metrics()


CALLS: dict[str, Callable[[World], Any]] = {
    "construct": lambda w: sorted(vars(w.cls(w.client))),
    "compute given": lambda w: w.obj.compute_metrics(w.configuration, None, None, None,
                                                     custom_evaluators=w.evaluators, **{HookKey("tag"): 1}),
    "compute defaults": _compute_with_defaults,
    "get result": lambda w: w.obj.get_metrics_result(w.configuration, w.results, **{HookKey("tag"): 1}),
    "display result": lambda w: w.obj.display_result(w.results),
    "key search": lambda w: w.obj._LLMMetrics__is_key_present({"a": {"b": {}}, "c": [1]}, HookKey("b")),
    "show all": _show(),
    "show task and metric": lambda w: w.obj.show_supported_metrics(**{HookKey("task_type"): "generation",
                                                                       "metric_id": "bleu"}),
    "show task": _show(task_type="summarization"),
    "show group and metric": _show(metric_group="rouge_score", metric_id="rouge1"),
    "show group": _show(metric_group="rouge_score"),
    "show metric": _show(metric_id="rouge1"),
    "show invalid": _show(task_type="nope"),
    "show not a group": _show(metric_group="bleu"),
    "show legacy": _legacy,
    "signatures": _signatures,
}


def run(impl: str, call: str, point: str | None = None, mutation: str | None = None,
        occurrence: int = 1) -> tuple[rs.Outcome, collections.Counter[str]]:
    """One call of one implementation with the `occurrence`-th reach of `point`
    armed; the outcome and how often each point was reached."""
    world = World(impl)
    world.entities_missing = call == "show legacy"
    world.call = call
    action = None if mutation is None else (lambda: MUTATIONS[mutation](world))
    snapshot = Snapshot()
    try:
        with installed(world):
            if call != "construct":
                world.obj = world.cls(world.client)
            HOOK.reset(point, action, occurrence)

            def make_call() -> Any:
                saved = sys.stdout
                sys.stdout = HookWriter(saved)
                try:
                    return CALLS[call](world)
                finally:
                    sys.stdout = saved

            outcome = rs.observe(make_call)
            outcome.log = HOOK.log
            seen = HOOK.seen
    finally:
        HOOK.reset()
        snapshot.restore()
    return outcome, seen


def points_reached(call: str) -> dict[str, int]:
    """The hand-off points `call` reaches with no hook armed, and how often
    (in the module); a call that reaches none has nothing to arm and is refused."""
    seen = dict(run("native", call)[1])
    if not seen:
        raise ValueError(f"the call {call!r} of reentrancy_support.CALLS reaches no hand-off point, so no mutation "
                         "can run inside it: make it pass one (a HookKey keyword, an evaluator, a catalogue "
                         "member...) or drop it")
    return seen


def in_world(impl: str, call: Callable[[World], Any], setup: Callable[[World], None] | None = None) -> rs.Outcome:
    """`call` on a fresh world of one implementation, its instance made and
    `setup` run first (every hand-off point counted, none armed); all
    globals put back afterwards."""
    world = World(impl)
    snapshot = Snapshot()
    try:
        with installed(world):
            world.obj = world.cls(world.client)
            HOOK.reset()
            if setup is not None:
                setup(world)
            outcome = rs.observe(lambda: call(world))
            outcome.log = HOOK.log
    finally:
        HOOK.reset()
        snapshot.restore()
    return outcome


def frozen_heap() -> Iterator[None]:
    """A module fixture of the harness's tests: the hooks collect garbage
    after every mutation, and objects older than the tests are left out of
    those collections (unless a runner already freezes them itself)."""
    if gc.get_freeze_count():
        yield
        return
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def methods_run(call: str) -> set[str]:
    """The oracle's methods that one of CALLS runs."""
    return oracle_methods_run(lambda: run("baseline", call))


# ------------------------------------------------------------------ comparing

# A binding error's wording is the module's own (the plain-Python class
# words it as the interpreter does); its type and moment are the same.
_PYTHON_BINDING = re.compile(r"[\w.]+\(\) (missing \d+ required positional arguments?: .*|takes \d+ positional "
                             r"arguments? but \d+ (was|were) given|got multiple values for argument '.*'|got an "
                             r"unexpected keyword argument '.*')")
_MODULE_BINDING = re.compile(r"\w+\(\) (takes (exactly|at least|at most) \d+ positional arguments? \(\d+ given\)|"
                             r"got multiple values for keyword argument '.*'|got an unexpected keyword argument "
                             r"'.*')")


def assert_same_ending(native: rs.Outcome, baseline: rs.Outcome) -> None:
    if (native.exc_type is TypeError and baseline.exc_type is TypeError
            and _MODULE_BINDING.fullmatch(native.message) and _PYTHON_BINDING.fullmatch(baseline.message)):
        native.message = baseline.message = "<binding error>"
    rs.assert_same(native, baseline)
