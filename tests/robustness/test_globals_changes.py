"""Module globals, builtins and module attributes changed by Python code
between calls, while a method runs and inside another extension's dict
events: the module sees each change at its next read, exactly as the
plain-Python class does.
"""

from __future__ import annotations

import builtins
import importlib.util
import json
import pathlib
import sys
import tracemalloc
import types
from typing import Any, Callable, Iterator

import pandas as pd
import pytest

import robust_support as rs

FRAME = pd.DataFrame({"text": ["a"]})


class Manager:
    def __init__(self, configuration: Any, **kwargs: Any) -> None:
        pass

    def compute(self, *args: Any, **kwargs: Any) -> dict[str, Any]:
        return {"manager": "first"}


class OtherManager(Manager):
    def compute(self, *args: Any, **kwargs: Any) -> dict[str, Any]:
        return {"manager": "other"}


def assert_each_call_same(outcomes: dict[str, list[rs.Outcome]]) -> None:
    """Compares the two implementations call by call; a failure names the call."""
    for step, (native, baseline) in enumerate(zip(outcomes["native"], outcomes["baseline"], strict=True)):
        try:
            rs.assert_same(native, baseline)
        except AssertionError as exc:
            raise AssertionError(f"call {step + 1}: {native} != {baseline}") from exc


def each_implementation(calls: Callable[[Any], Iterator[Callable[[], Any]]]) -> None:
    """Runs the same sequence of calls on both implementations and compares every outcome."""
    outcomes: dict[str, list[rs.Outcome]] = {}
    for name, impl in rs.IMPLEMENTATIONS.items():
        manager_module = rs.fake_module(rs.MANAGER, LLMMetricManager=Manager)
        with rs.patched({rs.MANAGER: manager_module}):
            outcomes[name] = [rs.observe(call) for call in calls(impl)]
    assert_each_call_same(outcomes)


def test_data_frame_class_replaced_between_and_during_calls() -> None:
    def calls(impl: Any) -> Iterator[Callable[[], Any]]:
        obj = impl.LLMMetrics(rs.make_client())
        original = pd.DataFrame

        def replace_while_validating(value: Any, name: Any, expected: Any, required: Any) -> None:
            pd.DataFrame = original if pd.DataFrame is not original else dict  # type: ignore[misc]
            rs.real_validate_type(value, name, expected, required)

        try:
            yield lambda: obj._LLMMetrics__validate_params({}, FRAME, FRAME, FRAME)
            pd.DataFrame = dict  # type: ignore[misc]
            yield lambda: obj._LLMMetrics__validate_params({}, FRAME, FRAME, FRAME)
            del pd.DataFrame
            yield lambda: obj._LLMMetrics__validate_params({}, FRAME, FRAME, FRAME)
            pd.DataFrame = original  # type: ignore[misc]
            yield lambda: obj._LLMMetrics__validate_params({}, FRAME, FRAME, FRAME)
            vars(impl)["validate_type"] = replace_while_validating
            yield lambda: obj._LLMMetrics__validate_params({}, FRAME, FRAME, FRAME)
        finally:
            pd.DataFrame = original  # type: ignore[misc]
            vars(impl)["validate_type"] = rs.real_validate_type

    each_implementation(calls)


def test_manager_class_replaced_between_and_during_calls() -> None:
    def calls(impl: Any) -> Iterator[Callable[[], Any]]:
        obj = impl.LLMMetrics(rs.make_client())
        manager_module = sys.modules[rs.MANAGER]

        def swap(*args: Any, **kwargs: Any) -> dict[str, Any]:
            manager_module.LLMMetricManager = OtherManager
            return {}

        yield lambda: obj.compute_metrics({})
        yield lambda: obj.compute_metrics({}, custom_evaluators=[swap])
        yield lambda: obj.compute_metrics({})
        # A module class whose data descriptor wins over the module's
        # dictionary, while the dictionary's value is the one last seen.
        manager_module.__class__ = type("ModuleWithManager", (type(manager_module),),
                                        {"LLMMetricManager": property(lambda module: Manager)})
        rs.forget_specialisations(impl)
        yield lambda: obj.compute_metrics({})
        manager_module.__class__ = types.ModuleType
        yield lambda: obj.compute_metrics({})
        del manager_module.LLMMetricManager
        yield lambda: obj.compute_metrics({})

    each_implementation(calls)


def test_globals_shadowing_builtins_and_back() -> None:
    def calls(impl: Any) -> Iterator[Callable[[], Any]]:
        namespace = vars(impl)
        chain = namespace["chain"]
        obj = impl.LLMMetrics(rs.make_client())
        show = lambda: obj.show_supported_metrics(metric_id="bleu")  # noqa: E731
        try:
            yield show
            del namespace["chain"]
            yield show  # NameError: neither a global nor a builtin
            builtins.chain = lambda *iterables: iter(())  # type: ignore[attr-defined]
            yield show  # the builtin
            namespace["chain"] = chain
            yield show  # the global shadows the builtin again
            del namespace["chain"]
            del builtins.chain  # type: ignore[attr-defined]
            yield show
        finally:
            namespace["chain"] = chain
            vars(builtins).pop("chain", None)

    each_implementation(calls)


@pytest.mark.parametrize("impl", list(rs.IMPLEMENTATIONS))
def test_first_key_search_leaves_nothing_on_the_instance(impl: str) -> None:
    obj = rs.IMPLEMENTATIONS[impl].LLMMetrics(rs.make_client())
    config = {"a": {"b": {"c": 1}}, "d": [1]}
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        found = obj._LLMMetrics__is_key_present(config, "c")
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    assert found is True
    retained = [stat for stat in after.compare_to(before, "lineno")
                if stat.traceback[0].filename == __file__ and stat.size_diff > 0]
    assert retained == []


# ------------------------------------------------ changes in odd conditions
#
# Each row runs in a fresh interpreter: `setup` runs before the module is imported (`import_module`
# may fail there first), then each of `steps` runs and is followed by the
# same probe of both implementations: the global `validate_type` (which the
# constructor calls) replaced three times, then deleted and supplied by the
# builtins twice, then missing; each replaced value is freed at once, so a
# pointer kept to it would call freed memory.

_PROBE = """
    import builtins, ctypes, gc, importlib, json, sys, types
    sys.path.insert(0, {support!r})
    from fakes import make_client
    import baseline_llm_metrics as baseline
    MODULE = {module!r}
    current = None          # the implementation being probed
    in_event = []           # what calls made inside a dict event saw, while one runs

    def call(impl, seen):
        try:
            impl.LLMMetrics(make_client())
        except Exception as exc:
            (in_event[-1] if in_event else seen).append(f"{{type(exc).__name__}}: {{exc}}")

    in_thread = False       # calls made inside an event run in another thread, the GIL released

    def call_in_event(during):
        in_event.append(during)
        try:
            if in_thread:
                import threading
                worker = threading.Thread(target=call, args=(current, during))
                worker.start()
                worker.join()
            else:
                call(current, during)
        finally:
            in_event.pop()

    def probe(impl):
        global current, during
        current = impl
        namespace, seen, during = vars(impl), [], []
        record = lambda tag: (in_event[-1] if in_event else seen).append(tag)
        real = namespace["validate_type"]
        for tag in ("global 1", "global 2", "global 3"):
            namespace["validate_type"] = lambda *args, _tag=tag: record(_tag)
            gc.collect()
            call(impl, seen)
        del namespace["validate_type"]
        for tag in ("builtin 1", "builtin 2"):
            builtins.validate_type = lambda *args, _tag=tag: record(_tag)
            gc.collect()
            call(impl, seen)
        del builtins.validate_type
        call(impl, seen)
        namespace["validate_type"] = real
        current = None
        return seen, during

    # A dict watcher of another extension, from Python: it runs before or
    # after the module's own by id, and calls the class being probed.
    CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
    api = ctypes.pythonapi
    api.PyDict_AddWatcher.argtypes = [ctypes.c_void_p]
    api.PyDict_Watch.argtypes = api.PyDict_Unwatch.argtypes = [ctypes.c_int, ctypes.py_object]
    api.PyDict_ClearWatcher.argtypes = [ctypes.c_int]
    watchers = []

    def add_watcher(fail=False, churn=0):
        if fail:
            # A watcher that fails must return -1 with an exception set, which
            # a ctypes callback cannot do: the interpreter's own test module
            # has one in C. The interpreter reports it to sys.unraisablehook
            # while the change is being made.
            import _testcapi
            watchers.append((_testcapi.add_dict_watcher(1), _testcapi.clear_dict_watcher))
            return

        def on_event(event, dictionary, key, value):
            if current is not None and not in_event:
                in_event.append(during)
                try:  # changes nested in this one, each made before the call
                    for i in range(churn):
                        vars(module)[f"churn{{i}}"] = object()
                finally:
                    in_event.pop()
                call_in_event(during)
            return 0
        callback = CALLBACK(on_event)
        watcher_id = api.PyDict_AddWatcher(ctypes.cast(callback, ctypes.c_void_p))
        watchers.append((watcher_id, lambda watcher_id, _keep=callback: api.PyDict_ClearWatcher(watcher_id)))

    def watch_probed_dicts():
        for watcher_id, _ in watchers:
            for dictionary in (vars(module), vars(baseline), vars(builtins)):
                api.PyDict_Watch(watcher_id, dictionary)

    def unraisable_calls_the_class(unraisable):
        if current is not None:
            call_in_event(during)

    {setup}
    for attempt in range(2):
        try:
            module = importlib.import_module(MODULE)
            break
        except Exception as exc:
            print("first import:", type(exc).__name__, file=sys.stderr)
            {restore}
    outcomes = []
    for step in {steps!r}:
        exec(step)
        watch_probed_dicts()
        outcomes.append([probe(module), probe(baseline)])
    for watcher_id, clear in watchers:
        for dictionary in (vars(module), vars(baseline), vars(builtins)):
            api.PyDict_Unwatch(watcher_id, dictionary)
        clear(watcher_id)
    print(json.dumps(outcomes))
"""


def run_conditions(setup: str = "pass", restore: str = "pass", steps: tuple[str, ...] = ("pass",)) -> list[Any]:
    """Each step's [module's, oracle's] (seen outside events, seen by calls made inside them)."""
    support = pathlib.Path(rs.__file__).parent
    indent = " " * 12
    result = rs.run_python(_PROBE.format(support=str(support), module=rs.MODULE_NAME, steps=list(steps),
                                         setup=setup.replace("\n", "\n    "),
                                         restore=restore.replace("\n", "\n" + indent)))
    assert result.returncode == 0, result.stderr[-3000:]
    outcomes = json.loads(result.stdout.splitlines()[-1])
    for native, baseline in outcomes:
        assert native == baseline
        assert native[0] == ["global 1", "global 2", "global 3", "builtin 1", "builtin 2",
                             "NameError: name 'validate_type' is not defined"]
    return outcomes


@pytest.mark.parametrize(("setup", "restore"), [
    pytest.param("import zel_tarn_quillgate.base_classes.tables as tables\n"
                 "saved = tables.Table\n"
                 "del tables.Table",
                 "tables.Table = saved", id="host module lacks a name"),
    pytest.param("import pandas\n"
                 "sys.modules['pandas'] = None",
                 "sys.modules['pandas'] = pandas", id="pandas not importable"),
    pytest.param("import warnings\n"
                 "saved = warnings.filterwarnings\n"
                 "del warnings.filterwarnings",
                 "warnings.filterwarnings = saved", id="module body raises"),
    pytest.param("saved = builtins.sorted\n"
                 "del builtins.sorted",
                 "builtins.sorted = saved", id="builtin missing at the first import"),
])
def test_import_retried_after_a_failure(setup: str, restore: str) -> None:
    run_conditions(setup, restore)


@pytest.mark.parametrize(("setup", "steps"), [
    pytest.param("class Sub(types.ModuleType): pass\n"
                 "builtins.__class__ = Sub",
                 ("builtins.__class__ = types.ModuleType",), id="swapped before initialisation"),
    pytest.param("class Sub(types.ModuleType): pass",
                 ("pass", "builtins.__class__ = Sub", "builtins.__class__ = types.ModuleType"),
                 id="swapped after initialisation"),
    pytest.param("class Sub(types.ModuleType):\n"
                 "    def __getattr__(self, name): return lambda *args: None",
                 ("builtins.__class__ = Sub", "builtins.__class__ = types.ModuleType\n"
                  "builtins.__getattr__ = Sub.__getattr__.__get__(builtins)"),
                 id="builtins supplied by a __getattr__ only"),
])
def test_builtins_module_class_swapped(setup: str, steps: tuple[str, ...]) -> None:
    run_conditions(setup, steps=steps)


@pytest.mark.parametrize(("setup", "steps", "in_event"), [
    pytest.param("pass", ("add_watcher()",), True, id="registered after the module's"),
    pytest.param("add_watcher()", ("pass",), True, id="registered before the module's"),
    pytest.param("sys.unraisablehook = unraisable_calls_the_class", ("add_watcher(fail=True)",), True,
                 id="failing, its unraisable hook calls the class",
                 marks=pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None,
                                          reason="the interpreter's _testcapi module is not installed")),
    pytest.param("in_thread = True", ("add_watcher()",), True, id="calling from another thread"),
    # Changes of names no method reads, one statement each (more than the
    # module keeps records of), then in a loop inside each change.
    pytest.param("pass", ("".join(f"vars(module)['unrelated{i}'] = {i}\n" for i in range(20)) + "add_watcher(churn=40)",),
                 True, id="making more changes than the module records"),
    # No Python frame makes the change: taken as in progress until forgotten.
    pytest.param("import _thread, time", ("_thread.start_new_thread(vars(module).__setitem__,\n"
                                          "                        ('validate_type', len))\n"
                                          "time.sleep(0.5)",), False, id="a change made without a frame"),
])
def test_foreign_watcher_calls_the_class(setup: str, steps: tuple[str, ...], in_event: bool) -> None:
    # The calls made inside the events saw each old value, as plain Python does.
    assert ("global 1" in run_conditions(setup, steps=steps)[-1][0][1]) == in_event


class CollidingKey:
    """A key with the hash of `name` whose comparison raises."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __hash__(self) -> int:
        return hash(self.name)

    def __eq__(self, other: object) -> bool:
        raise rs.Boom("compared")


def _clear_and_set(module: types.ModuleType) -> None:
    namespace = vars(module)
    namespace.clear()
    namespace["LLMMetricManager"] = OtherManager


def _clone_into(module: types.ModuleType) -> None:
    # A watched empty dictionary updated from a small clean one is a clone.
    namespace = vars(module)
    namespace.clear()
    namespace.update({"LLMMetricManager": OtherManager})


def _replace_module(module: types.ModuleType) -> None:
    # The module read first is dropped from sys.modules and freed.
    sys.modules[rs.MANAGER] = rs.fake_module(rs.MANAGER, LLMMetricManager=OtherManager)


def _colliding_key_first(module: types.ModuleType) -> None:
    namespace = vars(module)
    namespace.clear()
    namespace[CollidingKey("LLMMetricManager")] = None
    namespace["LLMMetricManager"] = OtherManager


@pytest.mark.parametrize("change", [
    pytest.param(_clear_and_set, id="cleared"),
    pytest.param(_clone_into, id="cloned"),
    pytest.param(_replace_module, id="deallocated"),
    pytest.param(_colliding_key_first, id="lookup raises"),
])
def test_watched_dict_changed_while_a_method_runs(change: Callable[[types.ModuleType], None]) -> None:
    outcomes: dict[str, list[rs.Outcome]] = {}
    for name, impl in rs.IMPLEMENTATIONS.items():
        with rs.patched({rs.MANAGER: rs.fake_module(rs.MANAGER, LLMMetricManager=Manager)}):
            obj = impl.LLMMetrics(rs.make_client())

            def changing(*args: Any, **kwargs: Any) -> dict[str, Any]:
                change(sys.modules[rs.MANAGER])
                return {}

            outcomes[name] = [rs.observe(lambda: obj.compute_metrics({})),
                              rs.observe(lambda: obj.compute_metrics({}, custom_evaluators=[changing])),
                              rs.observe(lambda: obj.compute_metrics({}))]
    assert_each_call_same(outcomes)
    assert outcomes["native"][0] != outcomes["native"][2]
