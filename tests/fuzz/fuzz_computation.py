"""compute_metrics, get_metrics_result and the manager resolution, each call
decoded from the input into a plan of the generated computation tests (their
World builds the stand-ins from it): configurations of any shape or none,
frames or non-frames, positional or keyword, the caller's keywords, a host
client with a missing or raising attribute, a plugin whose module, manager
or methods misbehave, subclasses replacing the private methods, and custom
evaluators that return odd objects, raise, change their own list, the
frames or the result, or call back into the instance."""

from __future__ import annotations

from typing import Any

import fuzz_driver as fd
from fuzz_driver import rs

import computation_plans as tc


def usually(p: Any, common: Any, others: list[Any], percent: int = 50) -> Any:
    return common if fd.usual(p, percent) else p.PickValueInList(others)


def configuration_plan(p: Any) -> Any:
    if fd.usual(p, 85):
        return ("dict", "dict", fd.some(p, 5, lambda: (fd.key_index(p), fd.config_plan(p))))
    if p.ConsumeBool():
        return ("not_dict", p.PickValueInList(["none", "list", "ordered", "subclass", "int"]))
    return fd.config_plan(p)


def plan(p: Any, call: str) -> dict[str, Any]:
    drawn: dict[str, Any] = {
        "configuration": configuration_plan(p),
        "kwargs": dict(fd.some(p, 4, lambda: (p.PickValueInList(tc.KEYWORD_NAMES),
                                              p.ConsumeIntInRange(0, len(tc.ODD_VALUES) - 1)))),
        "client": None if fd.usual(p, 80) else (p.PickValueInList(list(tc.CLIENT_ATTRIBUTES)),
                                                  p.PickValueInList(["missing", "raise"])),
        "bearer": p.PickValueInList([False, True, "odd"]),
        "manager": {
            "module": usually(p, "normal", ["absent", "no_class"], 85),
            "init": usually(p, "ok", ["raise", "halt"], 85),
            "compute": usually(p, "dict", tc.COMPUTE_KINDS),
            "result": usually(p, "echo", tc.RESULT_KINDS),
        },
        "subclass": usually(p, "plain", tc.SUBCLASS_KINDS, 70),
    }
    if call == "compute_call":
        drawn.update(
            frames=tuple(p.PickValueInList(["none", "frame", "frame", "frame", "bad"]) for _ in tc.PARAMETERS),
            frames_by_keyword=p.ConsumeBool(),
            container=usually(p, "list", tc.CONTAINER_KINDS),
            container_by_keyword=p.ConsumeBool(),
            evaluators=[usually(p, p.PickValueInList(tc.BENIGN_EVALUATOR_KINDS), tc.EVALUATOR_KINDS, 70)
                        for _ in range(p.ConsumeIntInRange(1, 6))],
        )
    elif call == "result_call":
        drawn.update(metrics_result=p.ConsumeIntInRange(0, len(tc.ODD_VALUES) - 1), by_keyword=p.ConsumeBool())
    else:
        drawn["kwargs_kind"] = p.PickValueInList(sorted(tc.KWARGS_KINDS))
    return drawn


def manager_resolution(drawn: dict[str, Any]) -> list[rs.Outcome]:
    """__get_metrics_manager called directly with a keyword container of any kind."""
    outcomes = []
    for impl in ("native", "baseline"):
        world = tc.World(impl, drawn)
        kwargs = tc.KWARGS_KINDS[drawn["kwargs_kind"]]()
        configuration = world.configuration()
        with rs.patched({rs.MANAGER: world.manager_module()}, world.globals()):
            outcome = rs.observe(lambda: world.obj._LLMMetrics__get_metrics_manager(configuration, kwargs),
                                 world.log, describe_result=lambda manager: type(manager).__name__)
        outcome.log.append(("kwargs after", rs.describe(getattr(kwargs, "data", kwargs))))
        outcomes.append(outcome)
    return outcomes


def one_input(data: bytes) -> None:
    p = fd.provider(data)
    call = p.PickValueInList(["compute_call"] * 6 + ["result_call"] * 3 + ["manager"])
    drawn = plan(p, call)
    if call == "manager":
        native, oracle = manager_resolution(drawn)
    else:
        outcomes = tc.run_both(drawn, call)
        native, oracle = outcomes["native"], outcomes["baseline"]
    fd.compare("computation", native, oracle, data)


if __name__ == "__main__":
    fd.main(one_input, fd.plan_names)
