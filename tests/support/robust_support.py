"""Shared pieces of the robustness tests.

* the extension module and the plain-Python oracle of the class
  (`baseline_llm_metrics`), so that a generated input can be run through both
  and the outcomes compared;
* `patched(...)`: puts stand-in plugin modules into sys.modules and module
  globals into both implementations, and puts everything back afterwards;
* `observe(...)`: runs a call with standard output captured and turns what
  happened (result or exception, printed text) into comparable data;
* `describe(...)`: a structural, cycle-safe description of results and of the
  arguments the stand-ins receive;
* generated configurations of random shape (nested dictionaries, dictionary
  subclasses, objects posing as dictionaries, self-references, odd leaves)
  and the plain-Python rule of `__is_key_present`.
"""

from __future__ import annotations

import collections
import contextlib
import importlib
import io
import math
import sys
import types
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator

import pandas as pd
from hypothesis import strategies as st

from fakes import CONSTANTS, ENTITIES, MANAGER, ROBUSTNESS, Boom, fake_module, make_client  # noqa: F401
from llm_metrics_testing import MODULE_NAME, run_python  # noqa: F401
from llm_metrics_testing import oracle as baseline

# The real kit, plugin and extension, imported once so that every test sees
# the same classes as the extension's module globals.
import zel_cloud_sdk_core  # noqa: E402
import zel_cloud_sdk_core.authenticators  # noqa: E402
import zel_metrics_plugin.metrics.llm.common.impl.robustness_metric  # noqa: E402,F401
import zel_metrics_plugin.metrics.llm.config.entities  # noqa: E402,F401
import zel_metrics_plugin.metrics.llm.core.llm_metrics_manager  # noqa: E402,F401
import zel_metrics_plugin.metrics.llm.utils.constants  # noqa: E402,F401
import zel_tarn_quillgate  # noqa: E402
from zel_tarn_quillgate.utils.utils import validate_type as real_validate_type  # noqa: E402

native = importlib.import_module(MODULE_NAME)
IMPLEMENTATIONS = {"native": native, "baseline": baseline}


def forget_specialisations(impl: types.ModuleType) -> None:
    """Gives the plain-Python functions of impl fresh code, so their next calls start unspecialised.

    From 3.14 the interpreter keeps an attribute read of a module specialised
    on the module's dictionary after the module's class becomes one whose
    data descriptor takes precedence, and returns the dictionary's value: its
    fault, which the module does not copy. A test that changes a module's
    class calls this first.
    """
    functions = [value for value in vars(impl).values() if isinstance(value, types.FunctionType)]
    for cls in (value for value in vars(impl).values() if isinstance(value, type) and value.__module__ == impl.__name__):
        functions += [value for value in vars(cls).values() if isinstance(value, types.FunctionType)]
    for function in functions:
        function.__code__ = function.__code__.replace()


# ------------------------------------------------------------------ patching

_MISSING = object()


@contextlib.contextmanager
def patched(modules: dict[str, Any] | None = None, module_globals: dict[str, Any] | None = None) -> Iterator[None]:
    """sys.modules entries (None: not importable) and globals of both implementations."""
    modules = modules or {}
    module_globals = module_globals or {}
    saved_modules = {name: sys.modules.get(name, _MISSING) for name in modules}
    saved_globals = [
        (impl, name, vars(impl).get(name, _MISSING)) for impl in IMPLEMENTATIONS.values() for name in module_globals
    ]
    try:
        sys.modules.update(modules)
        for impl in IMPLEMENTATIONS.values():
            for name, value in module_globals.items():
                setattr(impl, name, value)
        yield
    finally:
        for name, value in saved_modules.items():
            if value is _MISSING:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = value
        for impl, name, value in saved_globals:
            if value is _MISSING:
                vars(impl).pop(name, None)
            else:
                setattr(impl, name, value)


# ---------------------------------------------------------------- exceptions


class Halt(BaseException):
    """Not an Exception: must pass through every handler untouched."""


def raiser(exc: BaseException) -> Callable[..., Any]:
    def fail(*args: Any, **kwargs: Any) -> Any:
        raise exc

    return fail


# ----------------------------------------------------------- describing data

PRIMITIVES = (type(None), bool, int, float, complex, str, bytes)
# The class itself, not pandas' attribute: a test may replace that while a call runs.
DATA_FRAME = pd.DataFrame


def describe(value: Any, _seen: frozenset[int] = frozenset()) -> Any:
    """A comparable, cycle-safe description: equal for equally built objects.

    Only the exact type of a value is consulted (never isinstance, which runs
    the hostile __class__ properties of generated values).
    """
    cls = type(value)
    if cls is float and math.isnan(value):
        return ("nan",)
    if cls in PRIMITIVES:
        return (cls.__name__, value)
    instance_dict = _instance_dict(value)
    if instance_dict is not None and "label" in instance_dict:
        return ("labelled", cls.__name__, instance_dict["label"])
    if id(value) in _seen:
        return ("cycle",)
    seen = _seen | {id(value)}
    if issubclass(cls, DATA_FRAME):
        return ("frame", value.attrs.get("label"), tuple(value.columns))
    if issubclass(cls, dict):
        return (cls.__name__, [(describe(k, seen), describe(v, seen)) for k, v in list(dict.items(value))])
    if cls in (list, tuple):
        return (cls.__name__, [describe(v, seen) for v in value])
    if cls in (set, frozenset):
        return (cls.__name__, sorted((describe(v, seen) for v in value), key=repr))
    if issubclass(cls, type):
        return ("class", value.__qualname__)
    if cls is types.FunctionType:
        return ("function", value.__qualname__)
    return ("object", cls.__qualname__)


def _instance_dict(value: Any) -> dict[str, Any] | None:
    try:
        found = object.__getattribute__(value, "__dict__")
    except (AttributeError, TypeError):
        return None
    return found if type(found) is dict else None


# ------------------------------------------------------------------ outcomes


@dataclass
class Outcome:
    returned: Any = None
    exc_type: type[BaseException] | None = None
    message: str = ""
    context_type: type[BaseException] | None = None
    stdout: str = ""
    log: list[Any] = field(default_factory=list)

    @property
    def raised(self) -> bool:
        return self.exc_type is not None


def observe(call: Callable[[], Any], log: list[Any] | None = None,
            describe_result: Callable[[Any], Any] = describe) -> Outcome:
    """Runs `call` with standard output captured; Exception and Halt are caught."""
    out = io.StringIO()
    outcome = Outcome(log=log if log is not None else [])
    with contextlib.redirect_stdout(out):
        try:
            result = call()
        except (Exception, Halt) as exc:
            outcome.exc_type = type(exc)
            try:
                outcome.message = str(exc)
            except Exception as inner:  # a hostile __str__
                outcome.message = f"<str raised {type(inner).__name__}>"
            context = exc.__context__
            outcome.context_type = None if context is None else type(context)
        else:
            outcome.returned = describe_result(result)
    outcome.stdout = out.getvalue()
    return outcome


def assert_ordinary(outcome: Outcome) -> None:
    """The extension raised nothing but what a Python body could raise."""
    if outcome.exc_type is None:
        return
    assert outcome.exc_type is not SystemError, outcome.message
    assert issubclass(outcome.exc_type, (Exception, Halt)), outcome.exc_type


def assert_same(native_outcome: Outcome, baseline_outcome: Outcome) -> None:
    assert_ordinary(native_outcome)
    assert native_outcome.exc_type is baseline_outcome.exc_type, (native_outcome, baseline_outcome)
    if native_outcome.exc_type is RecursionError:
        # The depth at which each one gives up differs; the type is the rule.
        pass
    else:
        assert native_outcome.message == baseline_outcome.message
    assert native_outcome.context_type is baseline_outcome.context_type
    assert native_outcome.returned == baseline_outcome.returned
    assert native_outcome.stdout == baseline_outcome.stdout
    assert native_outcome.log == baseline_outcome.log


def weighted(common: st.SearchStrategy[Any], rare: st.SearchStrategy[Any], percent: int) -> st.SearchStrategy[Any]:
    """`common` in about `percent` per cent of the draws, else `rare`."""
    return st.integers(0, 99).flatmap(lambda n: common if n < percent else rare)


# ---------------------------------------------------- generated configurations
#
# A configuration is generated as a plan (plain data: nested tuples) and
# built afresh for every run, because some of its objects change the
# configuration while it is searched.

KEYS = ["a", "b", "c", "configuration", "rouge1", 1, 2, True, 1.0, None, (1, 2), ""]


class RecordingDict(dict):
    """A dict subclass: searched through `in` and its values() method."""


class ContainsRaises(dict):
    def __contains__(self, key: object) -> bool:
        raise Boom("contains")


class ValuesRaises(dict):
    def values(self) -> Any:
        raise Boom("values")


class ValuesNotIterable(dict):
    def values(self) -> Any:
        return 7


class ValuesGeneratorFails(dict):
    """values() yields the first value, then raises."""

    def values(self) -> Any:
        def values() -> Iterator[Any]:
            for value in dict.values(self):
                yield value
                raise Boom("values generator")

        return values()


class ValuesListed(dict):
    """values() hands back a list of the values (a copy)."""

    def values(self) -> Any:
        return list(dict.values(self))


class ContainsOdd(dict):
    """`in` answers with a non-boolean object; its truth is taken."""

    def __contains__(self, key: object) -> Any:
        return dict.__contains__(self, key)


DICT_CLASSES: dict[str, type] = {
    "dict": dict,
    "ordered": collections.OrderedDict,
    "sub": RecordingDict,
    "contains_raises": ContainsRaises,
    "values_raises": ValuesRaises,
    "values_not_iterable": ValuesNotIterable,
    "values_generator_fails": ValuesGeneratorFails,
    "values_listed": ValuesListed,
    "contains_odd": ContainsOdd,
}


class PosingAsDict:
    """isinstance(obj, dict) is true through __class__, but it is no dict."""

    def __init__(self, entries: dict[Any, Any]) -> None:
        self.entries = entries

    @property
    def __class__(self) -> type:  # type: ignore[override]
        return dict

    def __contains__(self, key: object) -> bool:
        return key in self.entries

    def values(self) -> Any:
        return self.entries.values()


class PosingWithoutValues:
    """Claims to be a dict, supports `in`, has no values()."""

    @property
    def __class__(self) -> type:  # type: ignore[override]
        return dict

    def __contains__(self, key: object) -> bool:
        return False


class ClassRaises:
    """isinstance() fails: reading __class__ raises."""

    @property
    def __class__(self) -> type:  # type: ignore[override]
        raise Boom("__class__")


class ParentMutator:
    """isinstance() on it changes the dictionary that holds it."""

    def __init__(self, action: str) -> None:
        self.action = action
        self.swaps = 0
        self.parent: dict[Any, Any] | None = None

    @property
    def __class__(self) -> type:  # type: ignore[override]
        parent = self.parent
        if parent is not None:
            if self.action == "add":
                parent[("added", len(parent))] = 0
            elif self.action == "pop":
                if parent:
                    parent.pop(next(iter(parent)))
            elif self.action == "swap":
                # Same size, different keys (numbered: a key made from the
                # previous one's repr grows exponentially with each swap).
                if parent:
                    first = next(iter(parent))
                    value = parent.pop(first)
                    self.swaps += 1
                    parent[("swapped", self.swaps)] = value
            elif self.action == "clear":
                parent.clear()
        return ParentMutator


class BadEqKey:
    """A key whose hash collides with "a" and whose comparison raises."""

    def __hash__(self) -> int:
        return hash("a")

    def __eq__(self, other: object) -> bool:
        raise Boom("eq")


class BadHashKey:
    def __hash__(self) -> int:
        raise Boom("hash")


ODD_LEAVES = [
    0, -1, 2**70, 1.5, float("nan"), 1j, "", "a", "configuration", b"a", None, True,
    (), ("a",), [], ["a", {"a": 1}], {"a"}, frozenset({"b"}), range(3), bytearray(b"x"),
    types.SimpleNamespace(a=1), pd.DataFrame({"a": [1]}), object,
]


def leaf_plans() -> st.SearchStrategy[Any]:
    return st.one_of(
        st.tuples(st.just("leaf"), st.integers(0, len(ODD_LEAVES) - 1)),
        st.tuples(st.just("posing_no_values")),
        st.tuples(st.just("class_raises")),
        st.tuples(st.just("mutator"), st.sampled_from(["add", "pop", "swap", "clear"])),
        st.tuples(st.just("self"), st.integers(0, 4)),
    )


def config_plans(max_leaves: int = 14) -> st.SearchStrategy[Any]:
    def extend(children: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
        entries = st.lists(st.tuples(st.integers(0, len(KEYS) - 1), children), max_size=4)
        return st.one_of(
            st.tuples(st.just("dict"), st.sampled_from(sorted(DICT_CLASSES)), entries),
            st.tuples(st.just("posing"), entries),
        )

    return st.recursive(leaf_plans(), extend, max_leaves=max_leaves)


def top_config_plans() -> st.SearchStrategy[Any]:
    """Mostly dictionaries at the top; sometimes anything at all."""
    entries = st.lists(st.tuples(st.integers(0, len(KEYS) - 1), config_plans()), max_size=5)
    return st.one_of(
        st.tuples(st.just("dict"), st.sampled_from(["dict", "dict", "dict", *sorted(DICT_CLASSES)]), entries),
        config_plans(),
    )


def exact_config_plans() -> st.SearchStrategy[Any]:
    """An exact dict at the top, anything below it."""
    entries = st.lists(st.tuples(st.integers(0, len(KEYS) - 1), config_plans()), max_size=5)
    return st.tuples(st.just("dict"), st.just("dict"), entries)


def build_config(plan: Any, _ancestors: tuple[Any, ...] = ()) -> Any:
    """Builds the objects of a plan; ("self", n) refers to the n-th enclosing dictionary."""
    kind = plan[0]
    if kind == "leaf":
        return ODD_LEAVES[plan[1]]
    if kind == "posing_no_values":
        return PosingWithoutValues()
    if kind == "class_raises":
        return ClassRaises()
    if kind == "mutator":
        return ParentMutator(plan[1])
    if kind == "self":
        if not _ancestors:
            return {}
        return _ancestors[-1 - plan[1] % len(_ancestors)]
    if kind == "dict":
        container = DICT_CLASSES[plan[1]]()
        entries = plan[2]
    else:
        container = PosingAsDict({})
        entries = plan[1]
    target = container.entries if kind == "posing" else container
    for key_index, child_plan in entries:
        child = build_config(child_plan, (*_ancestors, container))
        if type(child) is ParentMutator:
            child.parent = target
        dict.__setitem__(target, KEYS[key_index], child)
    return container


def key_plans() -> st.SearchStrategy[Any]:
    return st.one_of(
        st.tuples(st.just("key"), st.integers(0, len(KEYS) - 1)),
        st.tuples(st.just("key_text"), st.text(alphabet="abcx", max_size=2)),
        st.sampled_from([("unhashable",), ("bad_eq",), ("bad_hash",), ("missing",)]),
    )


def build_key(plan: Any) -> Any:
    kind = plan[0]
    if kind == "key":
        return KEYS[plan[1]]
    if kind == "key_text":
        return plan[1]
    if kind == "unhashable":
        return ["a"]
    if kind == "bad_eq":
        return BadEqKey()
    if kind == "bad_hash":
        return BadHashKey()
    return ("no such key",)


def reference_is_key_present(config: Any, key: Any) -> bool:
    """The oracle's `__is_key_present` as a plain function: `key in config`
    first, then depth first into dict values."""
    return _ORACLE_KEY_SEARCH(_ORACLE_INSTANCE, config, key)


_ORACLE_KEY_SEARCH = vars(baseline.LLMMetrics)["_LLMMetrics__is_key_present"]
_ORACLE_INSTANCE = baseline.LLMMetrics.__new__(baseline.LLMMetrics)
