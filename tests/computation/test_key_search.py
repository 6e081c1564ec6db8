"""__is_key_present against the oracle's, on ordinary, hostile and
very deep configurations, and with the method replaced."""

from __future__ import annotations

import collections
import contextlib
import subprocess
import sys
import textwrap
from typing import Any, Callable

import pytest
from computation_support import new_instance
from llm_metrics_testing import ORACLE_CLASS

PRIVATE = "_LLMMetrics__is_key_present"


def outcome(call: Callable[[], Any]) -> tuple:
    try:
        return ("returned", call())
    except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
        return ("raised", type(exc), str(exc))


@pytest.fixture
def searcher(llm_metrics):
    return new_instance(llm_metrics.LLMMetrics, client=None)


def both(searcher, make_config: Callable[[], Any], key: Any) -> tuple[tuple, tuple]:
    """Runs the module and the oracle, each on a freshly built configuration."""
    native = outcome(lambda: getattr(searcher, PRIVATE)(make_config(), key))
    reference = outcome(lambda: getattr(ORACLE_CLASS.__new__(ORACLE_CLASS), PRIVATE)(make_config(), key))
    return native, reference


# ------------------------------------------------------------ plain cases


class Posing:
    """Not a dict, but isinstance(obj, dict) says it is."""

    __class__ = dict  # type: ignore[assignment]

    def __init__(self, data: dict) -> None:
        self.data = data

    def __contains__(self, key: Any) -> bool:
        return key in self.data

    def values(self):
        return self.data.values()


class Unhashable:
    __hash__ = None  # type: ignore[assignment]


class BadHash:
    def __hash__(self) -> int:
        raise ArithmeticError("no hash")


class Colliding:
    """Hashes like "k" and refuses to be compared."""

    def __hash__(self) -> int:
        return hash("k")

    def __eq__(self, other: object) -> bool:
        raise LookupError("no comparison")


class RaisingClass:
    @property
    def __class__(self):  # type: ignore[override]
        raise KeyError("isinstance refused")


class RaisingContains(dict):
    def __contains__(self, key: object) -> bool:
        raise AssertionError("must not be searched")


PLAIN = [
    ("nested-found", lambda: {"a": {"b": {"c": {}}}}, "c", True),
    ("nested-absent", lambda: {"a": {"b": {"c": {}}}}, "x", False),
    ("empty", dict, "a", False),
    ("in-list-not-entered", lambda: {"a": [{"k": 1}]}, "k", False),
    ("value-only", lambda: {"a": "k"}, "k", False),
    ("ordered-dict", lambda: {"a": collections.OrderedDict(b={"k": 1})}, "k", True),
    ("mapping-not-entered", lambda: {"a": collections.ChainMap({"k": 1})}, "k", False),
    ("posing-dict-entered", lambda: {"a": Posing({"k": 1})}, "k", True),
    ("top-level-first", lambda: {"k": 1, "a": RaisingContains(x=1)}, "k", True),
    ("depth-first-short-circuit", lambda: {"a": {"x": {"k": 1}}, "b": RaisingContains()}, "k", True),
    ("int-key", lambda: {"a": {1: None}}, 1, True),
    ("equal-key", lambda: {"a": {1.0: None}}, 1, True),
    ("list-config", lambda: ["k"], "k", True),
    ("top-ordered-dict", lambda: collections.OrderedDict(a={"k": 1}), "k", True),
]


@pytest.mark.parametrize(("make", "key", "expected"), [c[1:] for c in PLAIN], ids=[c[0] for c in PLAIN])
def test_plain_cases(searcher, make, key, expected) -> None:
    native, reference = both(searcher, make, key)
    assert native == reference == ("returned", expected)


ERRORS = [
    ("unhashable-key", lambda: {"a": 1}, Unhashable()),
    ("hash-raises", lambda: {"a": 1}, BadHash()),
    ("eq-raises-nested", lambda: {"a": {"k": 1}}, Colliding()),
    ("int-config", lambda: 5, "k"),
    ("list-config-no-values", lambda: ["a"], "k"),
    ("isinstance-raises", lambda: {"a": RaisingClass()}, "k"),
    ("searched-subclass-raises", lambda: {"a": RaisingContains()}, "k"),
    ("values-raises", lambda: {"a": type("V", (dict,), {"values": lambda self: 1 / 0})()}, "k"),
    ("values-not-iterable", lambda: {"a": type("V", (dict,), {"values": lambda self: 3})()}, "k"),
]


@pytest.mark.parametrize(("make", "key"), [c[1:] for c in ERRORS], ids=[c[0] for c in ERRORS])
def test_errors_match_python(searcher, make, key) -> None:
    native, reference = both(searcher, make, key)
    assert native[0] == "raised"
    assert native == reference


# ------------------------------------------------- changed while searched


class Hook(dict):
    """A nested dict that runs `action` when searched (`in`)."""

    def __init__(self, action: Callable[[], None]) -> None:
        super().__init__()
        self.action = action

    def __contains__(self, key: object) -> bool:
        self.action()
        return False


def _grows():
    outer: dict = {}
    outer["a"] = Hook(lambda: outer.__setitem__("new", 1))
    outer["b"] = {"k": 1}
    return outer


def _shrinks_at_end():
    outer: dict = {"x": 1}
    outer["a"] = Hook(lambda: outer.pop("x", None))
    return outer


def _swaps_keys():
    outer: dict = {"first": 1}
    outer["a"] = Hook(lambda: (outer.pop("first", None), outer.__setitem__("later", {"k": 1})))
    return outer


def _replaces_value():
    outer: dict = {}
    outer["a"] = Hook(lambda: outer.__setitem__("b", {"k": 1}))
    outer["b"] = {"nothing": 1}
    return outer


def _clears_nested():
    inner = {"x": {"k": 1}}
    return {"a": Hook(inner.clear), "b": inner}


MUTATIONS = [
    ("grows", _grows, "dictionary changed size during iteration"),
    ("shrinks-after-last", _shrinks_at_end, "dictionary changed size during iteration"),
    ("keys-swapped", _swaps_keys, "dictionary keys changed during iteration"),
    ("value-replaced", _replaces_value, None),
    ("nested-cleared-before-visit", _clears_nested, None),
]


@pytest.mark.parametrize(("make", "message"), [c[1:] for c in MUTATIONS], ids=[c[0] for c in MUTATIONS])
def test_dictionaries_changed_while_searched(searcher, make, message) -> None:
    native, reference = both(searcher, make, "k")
    assert native == reference
    if message is not None:
        assert native == ("raised", RuntimeError, message)


def test_searched_value_dropped_from_its_dictionary(searcher) -> None:
    outer: dict = {}
    outer["a"] = {"b": Hook(lambda: outer.clear()), "c": {"k": 1}}
    # The level being walked loses its last outside reference: still searched to the end.
    assert getattr(searcher, PRIVATE)(outer, "k") is True


# ------------------------------------------------------------------ depth


def deep(depth: int, leaf: Any = None) -> dict:
    config: dict = {} if leaf is None else leaf
    for i in range(depth):
        config = {f"level{i}": config}
    return config


def self_containing() -> dict:
    config: dict = {"x": 1}
    config["self"] = config
    return config


@pytest.mark.parametrize(
    "make",
    [self_containing, lambda: deep(10**5), lambda: deep(10**6), lambda: [deep(3000)][0]],
    ids=["self-containing", "1e5", "1e6", "3000"],
)
def test_too_deep_is_recursion_error(searcher, make) -> None:
    config = make()
    with pytest.raises(RecursionError):
        getattr(searcher, PRIVATE)(config, "k")


@pytest.fixture
def recursion_limit():
    old = sys.getrecursionlimit()
    yield sys.setrecursionlimit
    sys.setrecursionlimit(old)


def test_depth_follows_the_recursion_limit(searcher, recursion_limit) -> None:
    within = deep(300, leaf={"k": 1})
    assert getattr(searcher, PRIVATE)(within, "k") is True
    recursion_limit(200)
    with pytest.raises(RecursionError):
        getattr(searcher, PRIVATE)(within, "k")
    if not hasattr(sys, "gettotalrefcount"):  # a debug build allows 500 C levels in all
        recursion_limit(50_000)
        assert getattr(searcher, PRIVATE)(deep(3_000, leaf={"k": 1}), "k") is True


def frames_below() -> int:
    """How many frames the caller's frame has below it, itself included."""
    frame, count = sys._getframe(1), 0
    while frame is not None:
        frame, count = frame.f_back, count + 1
    return count


def deepest_found(search: Callable[[Any, Any], Any], limit: int) -> int:
    """The deepest configuration (levels of nesting above the key) that
    `search` finds the key in at recursion limit `limit`, called from here."""
    def found(levels: int) -> bool:
        try:
            return search(deep(levels, leaf={"k": 1}), "k") is True
        except RecursionError:
            return False

    low, high = 0, limit  # found(low); not found(high)
    with recursion_at(limit):
        while high - low > 1:
            middle = (low + high) // 2
            low, high = (middle, high) if found(middle) else (low, middle)
    return low


@contextlib.contextmanager
def recursion_at(limit: int):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        yield
    finally:
        sys.setrecursionlimit(old)


@pytest.mark.parametrize("room", [60, 300, 1000])
def test_each_level_counts_as_a_python_frame(searcher, room) -> None:
    # The same depth as the plain method's, from the same frame: each level is
    # one frame of the depth the frames below it count against.
    oracle = ORACLE_CLASS.__new__(ORACLE_CLASS)
    limit = frames_below() + room
    native, plain = (deepest_found(getattr(obj, PRIVATE), limit) for obj in (searcher, oracle))
    assert native == plain
    assert room - 10 < native < room


def test_a_search_started_near_the_limit_counts_the_frames_below_it(searcher) -> None:
    oracle = ORACLE_CLASS.__new__(ORACLE_CLASS)

    def below(frames: int, call: Callable[[], Any]) -> Any:
        return below(frames - 1, call) if frames else outcome(call)

    def run(obj: Any, frames: int) -> tuple:
        with recursion_at(frames_below() + 400):
            return below(frames, lambda: getattr(obj, PRIVATE)(deep(30), "missing"))

    # 30 levels with room, and with 30 frames or fewer left
    assert run(searcher, 100) == run(oracle, 100) == ("returned", False)
    assert run(searcher, 370) == run(oracle, 370)
    assert run(searcher, 370)[1] is RecursionError


def test_greenlets_keep_their_own_depth(llm_metrics) -> None:
    # As many greenlets as the recursion limit, each parked one level inside a
    # search, do not count against a search in another greenlet: each
    # greenlet has its own depth.
    greenlet = pytest.importorskip("greenlet")

    def run(cls: type) -> list:
        obj = new_instance(cls, client=None) if cls is llm_metrics.LLMMetrics else cls.__new__(cls)
        hub = greenlet.getcurrent()

        class Parking(dict):
            def values(self):
                hub.switch()
                return super().values()

        with recursion_at(frames_below() + 200):
            parked = [greenlet.greenlet(lambda: getattr(obj, PRIVATE)(Parking(a={}), "k"))
                      for _ in range(sys.getrecursionlimit())]
            for each in parked:
                each.switch()
            results = [greenlet.greenlet(lambda: outcome(lambda: getattr(obj, PRIVATE)(deep(2, {"k": 1}), "k")))
                       .switch()]
            results += {each.switch() for each in parked}
        return results

    assert run(llm_metrics.LLMMetrics) == run(ORACLE_CLASS) == [("returned", True), False]


STACK_SCRIPT = """
    import sys, threading
    from zel_tarn_quillgate.supporting_classes.metrics.llm_metrics import LLMMetrics

    class Replaced(LLMMetrics):
        def _LLMMetrics__is_key_present(self, config, key):
            return LLMMetrics._LLMMetrics__is_key_present(self, config, key)

    def deep(n):
        d = {{}}
        for _ in range(n):
            d = {{"a": d}}
        return d

    sys.setrecursionlimit({limit})
    results = []
    def run(cls):
        try:
            results.append(cls.__new__(cls)._LLMMetrics__is_key_present(deep(10**5), "k"))
        except RecursionError:
            results.append("RecursionError")
    run(Replaced)
    run(LLMMetrics)
    worker = threading.Thread(target=run, args=(Replaced,))
    worker.start()
    worker.join()
    print(results)
"""


@pytest.mark.no_refleak
@pytest.mark.parametrize(
    ("limit", "expected"),
    [(1000, "['RecursionError', 'RecursionError', 'RecursionError']"),
     (10**7, "['RecursionError', 'RecursionError', 'RecursionError']")],
    ids=["default-limit", "limit-raised"],
)
def test_deep_search_ends_in_recursion_error(limit, expected) -> None:
    # Every level takes native stack, so with the limit raised far past what
    # the stack holds the interpreter's own guard ends the search.
    script = textwrap.dedent(STACK_SCRIPT.format(limit=limit))
    done = subprocess.run([sys.executable, "-X", "faulthandler", "-c", script], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == expected


# ---------------------------------------------------------- replaced method


def test_subclass_sees_every_nested_dictionary(llm_metrics) -> None:
    seen = []

    class Counting(llm_metrics.LLMMetrics):
        def _LLMMetrics__is_key_present(self, config, key):
            seen.append(sorted(config))
            return llm_metrics.LLMMetrics._LLMMetrics__is_key_present(self, config, key)

    config = {"a": {"b": {"c": {}}, "d": 1}, "e": {"f": {}}, "g": [{"h": {}}]}
    assert getattr(Counting.__new__(Counting), PRIVATE)(config, "zzz") is False
    assert seen == [["a", "e", "g"], ["b", "d"], ["c"], [], ["f"], []]


def test_instance_attribute_replaces_the_method(searcher) -> None:
    calls = []
    setattr(searcher, PRIVATE, lambda config, key: calls.append(dict(config)) or False)
    assert getattr(type(searcher), PRIVATE)(searcher, {"a": {"x": 1}, "b": {"y": 2}}, "k") is False
    assert calls == [{"x": 1}, {"y": 2}]


def test_replacement_installed_mid_search_is_used_from_then_on(searcher) -> None:
    calls = []

    def install() -> None:
        setattr(searcher, PRIVATE, lambda config, key: calls.append(sorted(config)) or "yes")

    config = {"a": Hook(install), "b": {"only": 1}}
    assert getattr(type(searcher), PRIVATE)(searcher, config, "k") is True
    assert calls == [["only"]]


@pytest.mark.parametrize(("returns", "expected"), [("yes", True), ("", False), ([0], True), (None, False)])
def test_replacement_result_is_taken_for_its_truth(llm_metrics, returns, expected) -> None:
    class Replaced(llm_metrics.LLMMetrics):
        def _LLMMetrics__is_key_present(self, config, key):
            if config.get("inner"):
                return returns
            return llm_metrics.LLMMetrics._LLMMetrics__is_key_present(self, config, key)

    result = getattr(Replaced.__new__(Replaced), PRIVATE)({"outer": {"inner": True}}, "k")
    assert result is expected


def test_replacement_with_failing_truth_value(llm_metrics) -> None:
    class NoTruth:
        def __bool__(self):
            raise OverflowError("no truth")

    class Replaced(llm_metrics.LLMMetrics):
        def _LLMMetrics__is_key_present(self, config, key):
            if not config:
                return NoTruth()
            return llm_metrics.LLMMetrics._LLMMetrics__is_key_present(self, config, key)

    with pytest.raises(OverflowError, match="no truth"):
        getattr(Replaced.__new__(Replaced), PRIVATE)({"a": {}}, "k")


def test_missing_method_on_an_unrelated_instance(llm_metrics) -> None:
    class Other:
        search = getattr(llm_metrics.LLMMetrics, PRIVATE)

    assert Other().search({"k": 1}, "k") is True  # no nested level: no lookup needed
    with pytest.raises(AttributeError, match=PRIVATE):
        Other().search({"a": {}}, "k")


def test_plain_subclass_searches_like_the_class(llm_metrics) -> None:
    class Plain(llm_metrics.LLMMetrics):
        pass

    config = {"a": {"b": {"c": {"target": 1}}}, "d": {}}
    for cls in (llm_metrics.LLMMetrics, Plain):
        search = getattr(cls.__new__(cls), PRIVATE)
        assert (search(config, "target"), search(config, "absent")) == (True, False)


def test_method_replaced_by_a_staticmethod_of_itself(llm_metrics) -> None:
    # self.__is_key_present(nested, key) then calls the function with `nested`
    # in place of self and no key, as in Python.
    function = getattr(llm_metrics.LLMMetrics, PRIVATE)

    class Static(llm_metrics.LLMMetrics):
        pass

    setattr(Static, PRIVATE, staticmethod(function))
    obj = Static.__new__(Static)
    assert function(obj, {"k": {}}, "k") is True  # found before any nested level
    with pytest.raises(TypeError):
        function(obj, {"a": {"b": 1}}, "k")


def test_method_bound_to_another_instance_searches_through_it(llm_metrics) -> None:
    seen = []

    class Counting(llm_metrics.LLMMetrics):
        def _LLMMetrics__is_key_present(self, config, key):
            seen.append(sorted(config))
            return llm_metrics.LLMMetrics._LLMMetrics__is_key_present(self, config, key)

    function = getattr(llm_metrics.LLMMetrics, PRIVATE)
    searcher = llm_metrics.LLMMetrics.__new__(llm_metrics.LLMMetrics)
    setattr(searcher, PRIVATE, function.__get__(Counting.__new__(Counting)))
    assert function(searcher, {"a": {"b": {"c": {}}}}, "zzz") is False
    assert seen == [["c"], []]  # the levels below the first, searched by the other instance
