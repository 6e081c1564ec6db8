"""Python code run in the middle of a call changes what the call may hold:
the input chooses a call of the re-entrancy harness, one of the hand-off
points that call reaches (keyword names compared or hashed, validate_type,
the plugin import, the manager, evaluators, `update`, Table, catalogue
members and ids, the signature's Parameter, standard output, ...), which
reach of it, and one to three of the harness's mutations (method, class and
function attributes, module globals, argument containers, the instance, the
client, the catalogue) to run there together.  Both implementations must
then end alike."""

from __future__ import annotations

import functools
from typing import Any

import fuzz_driver as fd
from fuzz_driver import rt

CALLS = sorted(rt.CALLS)
MUTATIONS = sorted(rt.MUTATIONS)


@functools.cache
def reached(call: str) -> list[tuple[str, int]]:
    """The points the call reaches with no hook armed, and how often."""
    return sorted(rt.run("native", call)[1].items())


def one_input(data: bytes) -> None:
    p = fd.provider(data)
    call = p.PickValueInList(CALLS)
    point, count = p.PickValueInList(reached(call))
    occurrence = p.ConsumeIntInRange(1, count)
    chosen = [p.PickValueInList(MUTATIONS) for _ in range(p.ConsumeIntInRange(1, 3))]
    name = " + ".join(chosen)

    def mutate(world: rt.World) -> Any:
        for mutation in chosen:
            rt.MUTATIONS[mutation](world)

    rt.MUTATIONS[name] = rt.MUTATIONS.get(name, mutate)
    try:
        native, _ = rt.run("native", call, point, name, occurrence)
        oracle, _ = rt.run("baseline", call, point, name, occurrence)
    finally:
        if name not in MUTATIONS:
            del rt.MUTATIONS[name]
    fd.compare("reentrancy", native, oracle, data)


if __name__ == "__main__":
    fd.main(one_input)
