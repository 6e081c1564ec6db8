"""Mid-search changes to how `__is_key_present` recurses, made by code that
runs between two nested levels: where the search may reuse its previous
method lookup, such code must be seen at the next level exactly as the
plain-Python method sees it.

A *trigger* is where the code runs (a key's __eq__ while `in` looks the
searched key up, a __class__ read by isinstance(), a dict subclass's `in`,
a finaliser run when a level is dropped or by a collection, another thread,
the searched key's own __hash__, a lookup of the method itself); an
*action* is what it changes (an override set on the instance, the method
replaced on the class, an override removed).  Each case is a fresh
configuration searched for a key it does not hold, so every level is
walked; the outcome is the result and the log of levels that went through
an override.
"""

from __future__ import annotations

import gc
import threading
from typing import Any, Callable

import robust_support as rs

PRIVATE = "_LLMMetrics__is_key_present"
KEY = "target"
ACTIONS = ["install-on-instance", "replace-on-class", "remove-from-instance"]


class World:
    """One implementation's class and instance, and the changes an action makes."""

    def __init__(self, impl: str) -> None:
        self.cls = rs.IMPLEMENTATIONS[impl].LLMMetrics
        self.obj = self.cls(rs.make_client())
        self.original = vars(self.cls)[PRIVATE]
        self.log: list[Any] = []

    def _override(self, label: str) -> Callable[..., Any]:
        def override(*args: Any) -> Any:
            config, key = args[-2:]
            self.log.append((label, [k for k in dict.keys(config) if type(k) is str]))
            return self.original(self.obj, config, key)

        return override

    def act(self, action: str) -> None:
        if action == "install-on-instance":
            setattr(self.obj, PRIVATE, self._override("instance"))
        elif action == "replace-on-class":
            setattr(self.cls, PRIVATE, self._override("class"))
        elif vars(self.obj).get(PRIVATE) is not None:
            delattr(self.obj, PRIVATE)

    def prepare(self, action: str) -> None:
        """An override to remove must be there before the search."""
        if action == "remove-from-instance":
            setattr(self.obj, PRIVATE, self._override("instance"))

    def restore(self) -> None:
        setattr(self.cls, PRIVATE, self.original)


class Colliding:
    """A key of another type that `in` compares with the searched str key
    (same hash); its comparison runs `code` once."""

    def __init__(self, code: Callable[[], None], hash_of: str = KEY) -> None:
        self.code: Callable[[], None] | None = code
        self.hash = hash(hash_of)

    def __hash__(self) -> int:
        return self.hash

    def __eq__(self, other: object) -> bool:
        code, self.code = self.code, None
        if code is not None:
            code()
        return False


class PosingClass:
    """A leaf whose __class__, read by isinstance(), runs `code` once."""

    def __init__(self, code: Callable[[], None]) -> None:
        self.code: Callable[[], None] | None = code

    @property
    def __class__(self) -> type:  # type: ignore[override]
        code, self.code = self.code, None
        if code is not None:
            code()
        return PosingClass


class ContainsRuns(dict):
    """A dict subclass whose `in` runs `code` once."""

    code: Callable[[], None] | None = None

    def __contains__(self, key: object) -> bool:
        code, self.code = self.code, None
        if code is not None:
            code()
        return dict.__contains__(self, key)


class Finaliser:
    def __init__(self, code: Callable[[], None]) -> None:
        self.code = code

    def __del__(self) -> None:
        self.code()


class HashRuns(str):
    """The searched key, a str subclass whose third hashing runs `code`."""

    code: Callable[[], None] | None = None
    calls = 0

    def __hash__(self) -> int:
        self.calls += 1
        if self.calls == 3 and self.code is not None:
            self.code()
        return str.__hash__(self)

    def __eq__(self, other: object) -> bool:
        return str.__eq__(self, other)


def _rest() -> dict:
    """Levels after the one where code ran: each must go the way the method now says."""
    return {"second": {"deeper": {"deepest": {}}, "leaf": 1}, "third": {"x": {}}}


def _tree(first: Any) -> dict:
    return {"first": first, **_rest()}


def _on_eq_small(code: Callable[[], None]) -> tuple[dict, Any]:
    return _tree({"p": 1, Colliding(code): 0, "q": {"r": {}}}), KEY


def _on_eq_large(code: Callable[[], None]) -> tuple[dict, Any]:
    level: dict[Any, Any] = {f"k{i}": i for i in range(40)}
    level[Colliding(code)] = 0
    level["nested"] = {"r": {}}
    return _tree(level), KEY


def _on_isinstance(code: Callable[[], None]) -> tuple[dict, Any]:
    return _tree({"p": PosingClass(code), "q": {"r": {}}}), KEY


def _on_subclass_contains(code: Callable[[], None]) -> tuple[dict, Any]:
    level = ContainsRuns(p=1, q={"r": {}})
    level.code = code
    return _tree({"wrap": level}), KEY


def _on_release(code: Callable[[], None]) -> tuple[dict, Any]:
    # `in` on the first level takes that level out of the tree (same keys, so
    # the walk goes on); the level then lives only as long as it is being
    # searched, and dropping it runs the finaliser of a value it holds.  A
    # nested level in between is searched after `in` ran and before the drop.
    tree = _tree(None)

    def detach() -> None:
        tree["first"] = 0

    tree["first"] = {Colliding(detach): 0, "inner": {}, "held": [Finaliser(code)]}
    return tree, KEY


def _on_collection(code: Callable[[], None]) -> tuple[dict, Any]:
    # A key's comparison collects; a cycle made unreachable beforehand holds
    # the finaliser.
    cycle: list[Any] = [Finaliser(code)]
    cycle.append(cycle)
    del cycle

    def collect() -> None:
        gc.collect()

    return _tree({"p": 1, Colliding(collect): 0, "q": {"r": {}}}), KEY


def _on_other_thread(code: Callable[[], None]) -> tuple[dict, Any]:
    def let_other_thread_run() -> None:
        worker = threading.Thread(target=code)
        worker.start()
        worker.join()

    return _tree({"p": 1, Colliding(let_other_thread_run): 0, "q": {"r": {}}}), KEY


def _on_key_hash(code: Callable[[], None]) -> tuple[dict, Any]:
    key = HashRuns(KEY)
    key.code = code
    return _tree({"p": 1, "q": {"r": {}}}), key


TRIGGERS: dict[str, Callable[[Callable[[], None]], tuple[dict, Any]]] = {
    "key-eq-in-small-dict": _on_eq_small,
    "key-eq-in-large-dict": _on_eq_large,
    "isinstance-reads-class": _on_isinstance,
    "dict-subclass-contains": _on_subclass_contains,
    "finaliser-when-level-dropped": _on_release,
    "finaliser-in-collection": _on_collection,
    "other-thread-while-key-compares": _on_other_thread,
    "searched-key-hash": _on_key_hash,
}


def run(impl: str, trigger: str, action: str, more: Callable[[], Any] | None = None) -> rs.Outcome:
    """The search of one case on one implementation, the class put back after;
    `more` builds a configuration searched after the levels the case changes."""
    world = World(impl)
    collecting = gc.isenabled()
    gc.disable()  # the collection a case makes is the only one
    try:
        world.prepare(action)
        config, key = TRIGGERS[trigger](lambda: world.act(action))
        if more is not None:
            config["more"] = more()
        outcome = rs.observe(lambda: world.obj._LLMMetrics__is_key_present(config, key))
        outcome.log = world.log
        return outcome
    finally:
        world.restore()
        if collecting:
            gc.enable()


class ForeignAttributeKey:
    """A key of the instance's own __dict__ whose hash is the method name's:
    every lookup of the method compares it, and each comparison is logged."""

    def __init__(self, log: list[Any]) -> None:
        self.log = log

    def __hash__(self) -> int:
        return hash(PRIVATE)

    def __eq__(self, other: object) -> bool:
        self.log.append("compared")
        return False


def run_with_foreign_attribute_key(impl: str) -> rs.Outcome:
    """The lookup itself runs code here, at every level: none may be skipped."""
    world = World(impl)
    world.obj.__dict__[ForeignAttributeKey(world.log)] = None
    config = {"a": {"b": {"c": {}}, "d": {}}, "e": {"f": 1}}
    # Only the lookups the search makes count.  The insertion above and the
    # caller's own lookup of the method compare as often as the
    # interpreter's attribute machinery chooses: 3.14 compares twice when
    # the same caller's code looks the method up a second time (the first
    # implementation run warms it for the second), which says nothing of
    # either implementation.
    search = world.obj._LLMMetrics__is_key_present
    world.log.clear()
    outcome = rs.observe(lambda: search(config, KEY))
    outcome.log = world.log
    return outcome
