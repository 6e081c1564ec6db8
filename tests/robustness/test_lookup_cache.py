"""The module caches its global, builtin and module-attribute lookups; what
Python code changes must still be seen at the next lookup, exactly as the
plain-Python class sees it.
"""

from __future__ import annotations

import builtins
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


def each_implementation(calls: Callable[[Any], Iterator[Callable[[], Any]]]) -> None:
    """Runs the same sequence of calls on both implementations and compares every outcome."""
    outcomes: dict[str, list[rs.Outcome]] = {}
    for name, impl in rs.IMPLEMENTATIONS.items():
        manager_module = rs.fake_module(rs.MANAGER, LLMMetricManager=Manager)
        with rs.patched({rs.MANAGER: manager_module}):
            outcomes[name] = [rs.observe(call) for call in calls(impl)]
    for native, baseline in zip(outcomes["native"], outcomes["baseline"], strict=True):
        rs.assert_same(native, baseline)


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


def test_lookups_without_a_free_watcher_id() -> None:
    # Every dict watcher id taken before the module loads: it looks up every
    # time, with the same results as with its cache.
    support = pathlib.Path(rs.__file__).parent
    result = rs.run_python(f"""
        import sys
        sys.path.insert(0, {str(support)!r})
        import _testcapi
        taken = 0
        while True:
            try:
                _testcapi.add_dict_watcher(0)
            except RuntimeError:
                break
            taken += 1
        import builtins, importlib
        module = importlib.import_module({rs.MODULE_NAME!r})
        import baseline_llm_metrics as baseline
        from fakes import make_client
        outcomes = []
        for impl in (module, baseline):
            seen = []
            namespace = vars(impl)
            real = namespace["validate_type"]
            def recording(*args, _seen=seen):
                _seen.append(args[1])
            namespace["validate_type"] = recording
            obj = impl.LLMMetrics(make_client())
            del namespace["validate_type"]
            try:
                impl.LLMMetrics(make_client())
            except NameError as exc:
                seen.append(str(exc))
            builtins.validate_type = lambda *args, _seen=seen: _seen.append("builtin")
            impl.LLMMetrics(make_client())
            del builtins.validate_type
            namespace["validate_type"] = real
            outcomes.append(seen)
        print(taken, outcomes[0] == outcomes[1], outcomes[0])
    """)
    assert result.returncode == 0, result.stderr
    taken, same, seen = result.stdout.split(" ", 2)
    assert int(taken) >= 1 and same == "True", result.stdout
    assert "builtin" in seen and "is not defined" in seen
