"""__is_key_present on configurations decoded from the input: nested
dictionaries of every kind (hostile `in` and values() among them), objects
posing as dictionaries, values whose isinstance() test raises or changes the
dictionary being searched, references back to an enclosing level, deep
chains, and keys that cannot be hashed or compared.  Searched directly, or
through a subclass whose override every nested level must go through; or
after code run between levels searched in place has set, replaced or removed
an override (key_search_mutations)."""

from __future__ import annotations

from typing import Any

import fuzz_driver as fd
import key_search_mutations as ksm
from fuzz_driver import rs

# Chain depths well below or well above the recursion limit.
DEPTHS = ["1", "2", "5", "40", "150", "3000"]
RETURNS = ["direct", "bool", "text", "list", "slotted"]
_objects: dict[tuple[str, str], Any] = {}


def searcher(impl: str, returns: str) -> Any:
    """An instance of the class, or of a subclass whose override logs each
    level and answers with an object of the chosen truth."""
    if (impl, returns) not in _objects:
        base = rs.IMPLEMENTATIONS[impl].LLMMetrics
        if returns == "slotted":
            # Not an LLMMetrics: no instance dictionary, the very function in its class.
            class Slotted:
                __slots__ = ("log", "__weakref__")
                _LLMMetrics__is_key_present = vars(base)["_LLMMetrics__is_key_present"]

            base = Slotted
            _objects[impl, returns] = base()
        elif returns != "direct":
            class Logging(base):  # type: ignore[misc, valid-type]
                def _LLMMetrics__is_key_present(self, config: Any, key: Any) -> Any:
                    self.log.append(rs.describe(key))
                    found = base._LLMMetrics__is_key_present(self, config, key)
                    return {"bool": found, "text": "yes" if found else "", "list": [found] if found else []}[returns]

            base = Logging
        if returns != "slotted":
            _objects[impl, returns] = base(rs.make_client())
    obj = _objects[impl, returns]
    obj.log = []
    return obj


def build(plan: Any, depth: int) -> Any:
    config = rs.build_config(plan)
    for level in range(depth):
        config = {"leaf": level, f"level{level % 3}": config}
    return config


def one_input(data: bytes) -> None:
    p = fd.provider(data)
    returns = fd.named(p, RETURNS, "the kind of answer")
    depth = int(fd.named(p, DEPTHS, "a depth")) if not fd.usual(p, 85) else 0
    key = fd.key_plan(p)
    plan = ("dict", "dict", fd.some(p, 5, lambda: (fd.key_index(p), fd.config_plan(p))))
    if not fd.usual(p, 80):
        plan = fd.config_plan(p)
    # Sometimes code run between levels searched in place changes the method
    # (a named trigger and action); the decoded configuration comes after.
    if not fd.usual(p, 90):
        trigger, action = p.PickValueInList(sorted(ksm.TRIGGERS)), p.PickValueInList(ksm.ACTIONS)
        changed = [ksm.run(impl, trigger, action, lambda: build(plan, depth)) for impl in ("native", "baseline")]
        for outcome in changed:
            if outcome.exc_type is RecursionError:
                outcome.log = []  # the depth at which each gives up differs
        fd.compare("key_search", *changed, data)
        return
    outcomes = []
    for impl in ("native", "baseline"):
        obj = searcher(impl, returns)
        if impl == "baseline" and returns == "direct":
            search = rs.reference_is_key_present
        else:
            search = obj._LLMMetrics__is_key_present
        outcome = rs.observe(lambda: search(build(plan, depth), rs.build_key(key)))
        if outcome.exc_type is not RecursionError:
            outcome.log = obj.log
        outcomes.append(outcome)
    fd.compare("key_search", *outcomes, data)


if __name__ == "__main__":
    fd.main(one_input, lambda: [*RETURNS, *DEPTHS, *fd.plan_names()])
