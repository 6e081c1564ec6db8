"""Python code that runs in the middle of a call changes what the call holds.

At every point where the module hands control to Python code (keyword
names being compared and hashed, validate_type, the plugin import, the
manager and its methods, evaluators, `update`, Table, the catalogue's
members and ids, the signature's Parameter and Signature classes, standard
output, ...), a hook raises, or replaces or deletes the method attributes,
class attributes, module globals or argument containers the call may be
using (also one at a time, the call made again inside each change by
another extension's dict watcher), or swaps the builtins module's class,
and collects garbage; the call must then end exactly as the plain-Python
class ends.  Also: the faults that this once caught, and threads that
change function attributes while others introspect them.
"""

from __future__ import annotations

import functools
import gc
import inspect
import pickle
import pydoc
import sys
import threading
from typing import Any, Callable

import pytest

import reentrancy_support as rt
import robust_support as rs
from llm_metrics_testing import missing_calls
from reentrancy_support import HookKey, evaluator, note


frozen_heap = pytest.fixture(scope="module", autouse=True)(rt.frozen_heap)


def both(call: Callable[[rt.World], Any], setup: Callable[[rt.World], None] | None = None) -> dict[str, rs.Outcome]:
    """`call` on a fresh world of each implementation, with no hook armed."""
    return {impl: rt.in_world(impl, call, setup) for impl in ("native", "baseline")}


def same(outcomes: dict[str, rs.Outcome]) -> rs.Outcome:
    rt.assert_same_ending(outcomes["native"], outcomes["baseline"])
    return outcomes["native"]


# ------------------------------------------------------------ the faults found


class ReplacingKey(str):
    """Replaces the defaults of compute_metrics when the binder hashes it."""

    def __hash__(self) -> int:
        function = ReplacingKey.function
        function.__defaults__ = (None, None, None, [evaluator("bound at call time")])
        return str.__hash__(self)

    function: Any = None


def test_defaults_replaced_by_a_keyword_hash_stay_bound_for_the_call() -> None:
    # The defaults are read after the keywords, so the call binds the tuple
    # the hash installed; validate_type then replaces it again and collects:
    # the bound evaluators must still be there and run.
    def call(world: rt.World) -> Any:
        ReplacingKey.function = world.cls.compute_metrics

        def replace_again(*args: Any) -> None:
            world.cls.compute_metrics.__defaults__ = (None, None, None, [])
            gc.collect()

        vars(world.impl)["validate_type"] = replace_again
        return world.obj.compute_metrics({}, **{ReplacingKey("extra"): 1})

    outcome = same(both(call))
    assert outcome.returned == rs.describe(rt.Result(plugin=1, **{"bound at call time": 1}))
    ReplacingKey.function = None


class LoggingKey(str):
    """A keyword name whose comparison and hash are seen, and can fail."""

    def __eq__(self, other: object) -> bool:
        note("eq", str(other))
        if LoggingKey.behaviour == "raise":
            raise rs.Boom("eq")
        if LoggingKey.behaviour == "equal to all":
            return True
        return str.__eq__(self, other)

    def __hash__(self) -> int:
        note("hash")
        return str.__hash__(self)

    __ne__ = str.__ne__
    behaviour = "plain"


@pytest.mark.parametrize("behaviour", ["plain", "raise", "equal to all"])
@pytest.mark.parametrize("name, method", [("sources", "compute_metrics"), ("unknown", "compute_metrics"),
                                          ("metric_id", "show_supported_metrics"),
                                          ("unknown", "show_supported_metrics")])
def test_keyword_names_are_compared_and_hashed_as_by_a_python_function(behaviour: str, name: str,
                                                                       method: str) -> None:
    LoggingKey.behaviour = behaviour
    try:
        outcomes = both(lambda w: getattr(w.obj, method)({}, **{LoggingKey(name): None}))
    finally:
        LoggingKey.behaviour = "plain"
    same(outcomes)
    assert ("eq", "self") in outcomes["native"].log


class Shrinking(tuple):
    """A defaults tuple whose len() and items are Python code."""

    def __len__(self) -> int:
        return 3

    def __getitem__(self, index: Any) -> Any:
        if index == 2:
            raise IndexError("tuple index out of range")
        return tuple.__getitem__(self, index)


@pytest.mark.parametrize("replacement", [None, (), ("a",), ("a", "b", "c", "d", "e"), Shrinking((1, 2, 3))])
@pytest.mark.parametrize("method", ["show_supported_metrics", "compute_metrics", "display_result"])
def test_signature_when_defaults_change_while_parameters_are_made(replacement: Any, method: str) -> None:
    # The first Parameter made replaces the defaults: the signature is the
    # one of the defaults read before, and no stale length is trusted.
    def call(world: rt.World) -> Any:
        function = vars(world.cls)[method]

        def action() -> None:
            function.__defaults__ = replacement

        rt.HOOK.reset("parameter.init", action)
        first = str(inspect.signature(function))
        second = str(inspect.signature(function))
        return first, second

    same(both(call))


@pytest.mark.parametrize("defaults", [("first", "second", "last"), ("a", "b", "c", "d", "e"), Shrinking((7, 8))])
def test_signature_of_odd_defaults_is_the_one_of_a_python_function(defaults: tuple) -> None:
    def call(world: rt.World) -> Any:
        world.cls.display_result.__defaults__ = defaults
        return str(inspect.signature(world.cls.display_result))

    same(both(call))


def test_annotations_changed_while_parameters_are_made_do_not_reach_the_signature() -> None:
    def call(world: rt.World) -> Any:
        function = world.cls.compute_metrics
        rt.HOOK.reset("parameter.init", lambda: function.__annotations__.clear())
        return str(inspect.signature(function)), str(inspect.signature(function))

    outcome = same(both(call))
    assert outcome.returned == rs.describe((
        "(self, configuration: 'dict', sources: 'pd.DataFrame' = None, predictions: 'pd.DataFrame' = None, "
        "references: 'pd.DataFrame' = None, custom_evaluators=[], **kwargs)",
        "(self, configuration, sources=None, predictions=None, references=None, custom_evaluators=[], **kwargs)"))


class NoUpdateManager(rt.Manager):
    def compute(self, *args: Any, **kwargs: Any) -> Any:
        return None


def test_update_is_looked_up_before_the_evaluator_runs() -> None:
    def call(world: rt.World) -> Any:
        return world.obj.compute_metrics({}, custom_evaluators=world.evaluators)

    outcome = same(both(call))
    assert [entry[0] for entry in outcome.log if entry[0] in ("update looked up", "evaluator", "update")] == [
        "update looked up", "evaluator", "update", "update looked up", "evaluator", "update"]

    def without_update(world: rt.World) -> Any:
        vars(world.impl)["validate_type"] = lambda *args: None
        world.obj._LLMMetrics__get_metrics_manager = lambda configuration, kwargs: NoUpdateManager({})
        return world.obj.compute_metrics({}, custom_evaluators=[rs.raiser(rs.Boom("evaluator ran"))])

    outcome = same(both(without_update))
    assert outcome.exc_type is AttributeError
    assert outcome.message == "'NoneType' object has no attribute 'update'"


# ------------------------------------------------------------- the harness


@functools.cache
def reached(call: str) -> dict[str, int]:
    """How often the call reaches each point, with no hook armed; the same
    for both implementations (the module hands control to Python code
    exactly where, and as often as, the plain-Python class does)."""
    counts = {impl: rt.run(impl, call)[1] for impl in ("native", "baseline")}
    assert counts["native"] == counts["baseline"]
    return dict(counts["native"])


def occurrences(count: int, thorough: bool) -> list[int]:
    """Which reaches of a point to arm: all of a few, else both ends and the middle."""
    if not thorough:
        return sorted({1, count})
    if count <= 4:
        return list(range(1, count + 1))
    return sorted({1, 2, count // 2, count - 1, count})


# Every point must be reached by some call (a stand-in that stops being
# called would otherwise silently drop its point from the harness).
EXPECTED_POINTS = {
    "keyword.eq", "keyword.hash", "validate_type", "plugin.import", "manager.init", "manager.compute",
    "manager.get_metrics_result", "evaluator", "update.lookup", "update.call", "robustness", "table.init",
    "table.list", "enumeration.iter", "member.value", "member.metrics_group", "member.supported_tasks",
    "member.is_reference_free", "member.sub_metrics", "member.format", "id.eq", "id.lt", "id.hash",
    "parameter.init", "signature.init", "stdout.write", "evaluators.init",
    *(f"client.{name}" for name in rt.CLIENT_ATTRIBUTES),
}


def test_every_point_is_reached() -> None:
    found = set().union(*(reached(call) for call in rt.CALLS))
    assert EXPECTED_POINTS <= found, EXPECTED_POINTS - found


def test_every_method_is_run_by_some_call() -> None:
    missing = set(rt.METHOD_NAMES) - set().union(*(rt.methods_run(call) for call in rt.CALLS))
    assert not missing, missing_calls("reentrancy_support.CALLS", missing,
                                      lambda key, call: f'    "{key}": lambda w: w.obj.{call},')


@pytest.mark.parametrize("call", sorted(rt.CALLS))
def test_every_mutation_at_every_point_ends_as_in_python(call: str, request: pytest.FixtureRequest) -> None:
    # The leak hunt repeats every test several times on a debug interpreter:
    # there the first and last reach of each point are armed.
    thorough = not request.config.pluginmanager.has_plugin("refleak-hunter")
    plain = {impl: rt.run(impl, call)[0] for impl in ("native", "baseline")}
    rt.assert_same_ending(plain["native"], plain["baseline"])
    failures = []
    for point, count in sorted(reached(call).items()):
        for mutation in rt.MUTATIONS:
            # Each reach of a point is a different place for an error to come
            # back from, and raising costs little: every reach raises in turn.
            every = thorough and mutation == "raises"
            for occurrence in range(1, count + 1) if every else occurrences(count, thorough):
                native, _ = rt.run("native", call, point, mutation, occurrence)
                baseline, _ = rt.run("baseline", call, point, mutation, occurrence)
                try:
                    rt.assert_same_ending(native, baseline)
                except AssertionError:
                    failures.append((f"{point} #{occurrence}", mutation, native, baseline))
                else:
                    assert ("fired", point, occurrence) in native.log, (point, occurrence, mutation)
    assert not failures, "\n\n".join(f"{p} / {m}:\n  native   {n}\n  baseline {b}" for p, m, n, b in failures[:5])


# ------------------------------------------------------------------ threads


# Reads per test: enough for the signature of a defaults tuple toggled
# between None and a tuple to have crashed the getter that trusted a length
# read before calling inspect.Parameter (it did within about 10000).
ITERATIONS = {"signature": 5000, "help": 300, "pickle": 5000}
MORE_ITERATIONS = {("__defaults__", "signature"): 20000, ("__annotations__", "signature"): 10000}
TOGGLED = {
    "__defaults__": [None, (None, None, None), ("x",), (None, None, None, None, None)],
    "__kwdefaults__": [None, {"task_type": 1}],
    "__annotations__": [None, {"task_type": "str", "return": "None"}, {}],
    "__dict__": [{}, {"note": 1}, {"__wrapped__": rs.native.LLMMetrics.display_result}],
    "__doc__": [None, "text"],
    "__name__": ["show_supported_metrics", "other"],
    "__qualname__": ["LLMMetrics.show_supported_metrics", "Elsewhere.other"],
    "__module__": [rs.MODULE_NAME, "nowhere"],
}
READERS: dict[str, Callable[[Any], Any]] = {
    "signature": lambda f: str(inspect.signature(f)),
    "help": lambda f: pydoc.render_doc(f, renderer=pydoc.plaintext),
    "pickle": lambda f: pickle.loads(pickle.dumps(f)) is f,
}
# What a reader may raise while the attribute is toggled (pickling a
# function whose __module__ or __qualname__ does not lead back to it).
READER_ERRORS: dict[str, tuple[type[BaseException], ...]] = {
    "signature": (),
    "help": (),
    "pickle": (pickle.PicklingError, ImportError, AttributeError),
}
# And for one attribute only: inspect.unwrap reads a __wrapped__ that
# hasattr() saw a moment before, as it does for a Python function.
TOGGLE_ERRORS: dict[tuple[str, str], tuple[type[BaseException], ...]] = {
    ("__dict__", "signature"): (AttributeError,),
}


@pytest.mark.parametrize("reader", sorted(READERS))
@pytest.mark.parametrize("attr", sorted(TOGGLED))
def test_attribute_toggled_from_another_thread_while_it_is_read(attr: str, reader: str,
                                                                request: pytest.FixtureRequest) -> None:
    # The leak hunt repeats each test on a slow debug interpreter: there a
    # tenth of the reads show whether a read leaks.
    scale = 10 if request.config.pluginmanager.has_plugin("refleak-hunter") else 1
    function = rs.native.LLMMetrics.show_supported_metrics
    values = TOGGLED[attr]
    read = READERS[reader]
    saved = getattr(function, attr)
    # A signature is the one of some value the attribute had, never a mix.
    signatures = set()
    for value in values:
        setattr(function, attr, value)
        signatures.add(str(inspect.signature(function)))
    setattr(function, attr, saved)
    stop = threading.Event()

    def toggle() -> None:
        i = 0
        while not stop.is_set():
            setattr(function, attr, values[i % len(values)])
            i += 1

    results = []
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    thread = threading.Thread(target=toggle)
    thread.start()
    try:
        for _ in range(MORE_ITERATIONS.get((attr, reader), ITERATIONS[reader]) // scale):
            try:
                results.append(read(function))
            except READER_ERRORS[reader] + TOGGLE_ERRORS.get((attr, reader), ()):
                pass
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
        setattr(function, attr, saved)
    if reader == "signature":
        assert set(results) <= signatures
    elif reader == "pickle":
        assert all(result is True for result in results)
    else:
        assert all(type(result) is str for result in results)
