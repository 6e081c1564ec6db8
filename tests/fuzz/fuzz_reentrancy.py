"""Python code run in the middle of a call changes what the call may hold:
the input names a call of the re-entrancy harness, one of the hand-off
points that call reaches (keyword names compared or hashed, validate_type,
the plugin import, the manager, evaluators, `update`, Table, catalogue
members and ids, the signature's Parameter, standard output, ...), which
reach of it, and one to three of the harness's mutations (method, class and
function attributes, module globals, argument containers, the instance, the
client, the catalogue) to run there together, each by its name (see
fuzz_driver.named); it draws which reach and how many mutations.  Both
implementations must then end alike."""

from __future__ import annotations

import functools
from typing import Any

import fuzz_driver as fd
from fuzz_driver import rt


@functools.cache
def reached(call: str) -> dict[str, int]:
    """The points the call reaches with no hook armed, and how often."""
    return rt.points_reached(call)


def decode(data: bytes) -> tuple[str, str, int, list[str]]:
    """The call, the hand-off point, which reach of it, and the mutations."""
    p = fd.provider(data)
    call = fd.named(p, rt.CALLS, "the call")
    points = reached(call)
    point = fd.named(p, points, f"a hand-off point of {call!r}")
    occurrence = p.ConsumeIntInRange(1, points[point])
    chosen = [fd.named(p, rt.MUTATIONS, "a mutation") for _ in range(p.ConsumeIntInRange(1, 3))]
    return call, point, occurrence, chosen


def one_input(data: bytes) -> None:
    call, point, occurrence, chosen = decode(data)
    name = " + ".join(chosen)

    def mutate(world: rt.World) -> Any:
        for mutation in chosen:
            rt.MUTATIONS[mutation](world)

    rt.MUTATIONS[name] = rt.MUTATIONS.get(name, mutate)
    try:
        native, _ = rt.run("native", call, point, name, occurrence)
        oracle, _ = rt.run("baseline", call, point, name, occurrence)
    finally:
        if name not in chosen:
            del rt.MUTATIONS[name]
    fd.compare("reentrancy", native, oracle, data)


def names() -> list[str]:
    return sorted({*rt.CALLS, *rt.MUTATIONS, *(point for call in rt.CALLS for point in reached(call))})


if __name__ == "__main__":
    fd.main(one_input, names)
