"""Every method called with generated argument lists: any number of positional
arguments of any type, any keywords (parameter names, repeated ones, unknown
ones), through an instance or through the class with anything as `self`.

Each method of the oracle, a new one included, gets its own run of examples,
half of them argument lists that fit its signature (each parameter passed by
position or by name, or left to its default), so that its body runs.  Before
them, every run, each method's one valid call (the `valid_call` of its
block, tools/method_blocks.py): a call its plain-Python body completes, so that the success path of every method (the
result, its type, what it prints) is compared whatever the examples draw.

When the plain-Python class cannot bind the arguments, the extension raises
TypeError with one of its binding messages; when it can, both run the body
and must end alike: the same result (its type included), exception and
printed text, after the same calls of `validate_type` (a spy that logs them
and then does the kit's check).  Also: the defaults tuple replaced while a
call runs.
"""

from __future__ import annotations

import inspect
import re
from typing import Any

import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import robust_support as rs
from fakes import MANAGER_KEYS
from llm_metrics_testing import BLOCKS, METHOD_KEYS, parameter_names, required_arguments, valid_call_arguments
from robust_support import describe

METHODS = {key: parameter_names(key) for key in METHOD_KEYS}
KEYWORDS = sorted({name for params in METHODS.values() for name in params} | {"x", "custom", "extra"})

BINDING_MESSAGES = [
    r"takes (exactly|at least|at most) \d+ positional arguments? \(\d+ given\)",
    r"got multiple values for keyword argument '\w+'",
    r"got an unexpected keyword argument '\w+'",
]


def values(client: Any) -> list[Any]:
    frame = pd.DataFrame({"text": ["a"]})
    frame.attrs["label"] = "frame"
    return [None, {}, {"configuration": {"g": {"m": {}}}}, "a", "bleu", 1, [], rs.RecordingDict(a={}), client,
            frame, [lambda *a, **k: {"custom": 1}], rs.fake_module("plain module"), ("t",)]


class NullTable:
    def __init__(self, headers: Any, record: Any) -> None:
        pass

    def list(self, *, title: Any) -> None:
        print("[table]", title)


class Manager:
    def __init__(self, configuration: Any, **kwargs: Any) -> None:
        pass

    def compute(self, *args: Any, **kwargs: Any) -> dict[str, Any]:
        return {"plugin": sorted(kwargs)}

    def get_metrics_result(self, metrics_result: Any, **kwargs: Any) -> Any:
        return describe(metrics_result)


class Robustness:
    @staticmethod
    def display_robustness_results(results: Any) -> Any:
        return describe(results)


def stand_ins(log: list[Any] | None = None) -> Any:
    module_globals: dict[str, Any] = {"Table": NullTable}
    if log is not None:
        def validate_type(value: Any, name: Any, expected: Any, required: Any) -> Any:
            log.append(("validate_type", describe(value), describe(name), describe(expected), describe(required)))
            return rs.real_validate_type(value, name, expected, required)

        module_globals["validate_type"] = validate_type
    return rs.patched(
        {rs.MANAGER: rs.fake_module(rs.MANAGER, LLMMetricManager=Manager),
         rs.ROBUSTNESS: rs.fake_module(rs.ROBUSTNESS, RobustnessMetrics=Robustness)},
        module_globals,
    )


POOL_SIZE = len(values(None))


@st.composite
def fitting_arguments(draw: Any, name: str) -> tuple[list[int], dict[str, int]]:
    """Arguments the method's signature binds: each parameter by position (while
    the ones before it are), by name, or left out when it has a default."""
    positional: list[int] = []
    keywords: dict[str, int] = {}
    by_position = True
    for parameter in METHODS[name][1:]:
        if parameter not in required_arguments(name) and draw(st.booleans()):
            by_position = False
            continue
        value = draw(st.integers(0, POOL_SIZE - 1))
        by_position = by_position and draw(st.booleans())
        if by_position:
            positional.append(value)
        else:
            keywords[parameter] = value
    return positional, keywords


def any_arguments() -> st.SearchStrategy[tuple[list[int], dict[str, int]]]:
    return st.tuples(st.lists(st.integers(0, POOL_SIZE - 1), max_size=7),
                     st.dictionaries(st.sampled_from(KEYWORDS), st.integers(0, POOL_SIZE - 1), max_size=4))


@pytest.mark.parametrize("key", METHOD_KEYS)
def test_valid_call_behaves_as_the_python_body(key: str) -> None:
    block = BLOCKS[key]
    client = rs.make_client()
    outcomes = {}
    for impl in ("baseline", "native"):
        obj = rs.IMPLEMENTATIONS[impl].LLMMetrics(client)
        try:
            args, kwargs = valid_call_arguments(key, client)
        except LookupError as error:
            pytest.fail(str(error))
        target = obj.__init__ if key == "__init__" else getattr(obj, key)
        log: list[Any] = []
        with stand_ins(log):
            outcomes[impl] = rs.observe(lambda: target(*args, **kwargs), log)
        if impl == "baseline" and outcomes[impl].raised:
            pytest.fail(f"the valid_call of {block.label} is refused: the plain-Python body raised "
                        f"{outcomes[impl].exc_type.__name__}: {outcomes[impl].message}; give it arguments it completes with")
    rs.assert_same(outcomes["native"], outcomes["baseline"])


# Untracked in the reference-leak mode: every example draws from a strategy
# made for it, and the generator keeps state for each (thousands of
# references per run).  The same calls made with fixed arguments, every pair
# of the pool's values, leave nothing behind.
@pytest.mark.no_refleak
@pytest.mark.parametrize("name", sorted(METHODS))
@given(data=st.data(), through_class=st.booleans(), self_value=st.integers(-2, 12))
def test_generated_argument_lists(name: str, data: Any, through_class: bool, self_value: int) -> None:
    fits = data.draw(st.booleans())
    positional, keywords = data.draw(fitting_arguments(name) if fits else any_arguments())
    if fits and self_value == -2:
        self_value = -1  # a fitting list counts on `self`
    outcomes = {}
    binds = True
    # One set of argument objects for both runs: printed messages show them.
    client = rs.make_client()
    pool = values(client)
    args = [pool[i] for i in positional]
    kwargs = {key: pool[i] for key, i in keywords.items()}
    for impl in ("native", "baseline"):
        cls = rs.IMPLEMENTATIONS[impl].LLMMetrics
        obj = cls(client)
        if name == "__init__":
            call_args = args
            target = cls if through_class else obj.__init__
        elif through_class:
            # Anything as `self`: -1 stands for an instance, -2 for nothing.
            call_args = args if self_value == -2 else [obj if self_value == -1 else pool[self_value], *args]
            target = getattr(cls, name)
        else:
            call_args = args
            target = getattr(obj, name)
        if impl == "baseline":
            function = getattr(cls, name)
            bind_args = call_args if through_class and name != "__init__" else [obj, *call_args]
            try:
                inspect.signature(function).bind(*bind_args, **kwargs)
            except TypeError:
                binds = False
        log: list[Any] = []
        with stand_ins(log):
            outcomes[impl] = rs.observe(lambda: target(*call_args, **kwargs), log)
    native_outcome = outcomes["native"]
    rs.assert_ordinary(native_outcome)
    if binds:
        rs.assert_same(native_outcome, outcomes["baseline"])
    else:
        assert outcomes["baseline"].exc_type is TypeError
        assert native_outcome.exc_type is TypeError, native_outcome
        plain = name.replace("_LLMMetrics", "")
        assert any(re.fullmatch(re.escape(plain) + r"\(\) " + pattern, native_outcome.message)
                   for pattern in BINDING_MESSAGES), native_outcome.message
        assert native_outcome.stdout == ""


# ---------------------------------------------------- defaults changed meanwhile


@pytest.mark.parametrize("replacement", [None, (None, None, None, "not evaluators"), ()])
def test_defaults_replaced_while_a_call_runs(replacement: Any) -> None:
    # validate_type replaces the defaults of compute_metrics in the middle of
    # a call that relies on them; the call goes on with the defaults it began
    # with, as a Python function does.
    outcomes = {}
    for impl in ("native", "baseline"):
        function = rs.IMPLEMENTATIONS[impl].LLMMetrics.compute_metrics
        saved = function.__defaults__

        def validate_type(value: Any, name: Any, expected: Any, required: Any) -> None:
            function.__defaults__ = replacement

        obj = rs.IMPLEMENTATIONS[impl].LLMMetrics(rs.make_client())
        try:
            with stand_ins(), rs.patched(module_globals={"validate_type": validate_type}):
                outcomes[impl] = rs.observe(lambda: obj.compute_metrics({}))
        finally:
            function.__defaults__ = saved
    rs.assert_same(outcomes["native"], outcomes["baseline"])
    assert outcomes["native"].returned == describe({"plugin": sorted(MANAGER_KEYS)})


def test_overlong_defaults_apply_their_last_items() -> None:
    seen = {}
    for impl in ("native", "baseline"):
        function = rs.IMPLEMENTATIONS[impl].LLMMetrics.display_result
        saved = function.__defaults__
        function.__defaults__ = ("first", "second", "last")
        try:
            with stand_ins():
                seen[impl] = rs.observe(lambda: function(rs.IMPLEMENTATIONS[impl].LLMMetrics(rs.make_client())))
        finally:
            function.__defaults__ = saved
    assert seen["native"].returned == seen["baseline"].returned
