"""compute_metrics, get_metrics_result, display_result and the manager
resolution driven with generated input, each run through the extension and
through the plain-Python class on equally built stand-ins.

A generated plan names every piece of one call: the configuration (random
shape, self-references, odd values), the frames, the caller's keywords, the
host client (attributes present, missing or raising), the plugin's manager
module (absent, without the class, or a manager whose constructor, compute or
result misbehaves), the custom evaluators (raising, returning odd objects,
changing their own list, the frames, the result, or calling back into the
instance) and subclasses that replace the private methods.  Both runs must
end alike: the same result, or the same exception type and message, after
the same calls into the stand-ins and the same printed text.
"""

from __future__ import annotations

from typing import Any

from hypothesis import given
from hypothesis import strategies as st

import robust_support as rs
from fakes import CLIENT_ATTRIBUTES
from robust_support import Boom, Halt, describe, weighted
from computation_plans import (BENIGN_EVALUATOR_KINDS, COMPUTE_KINDS, CONTAINER_KINDS, EVALUATOR_KINDS, KEYWORD_NAMES,
                               KWARGS_KINDS, ODD_VALUES, PARAMETERS, RESULT_KINDS, SUBCLASS_KINDS, World, run_both)


def keyword_values() -> st.SearchStrategy[Any]:
    return st.integers(0, len(ODD_VALUES) - 1)


def usually(common: Any, others: list[Any]) -> st.SearchStrategy[Any]:
    """`common` about half of the time, else one of `others`."""
    return weighted(st.just(common), st.sampled_from(others), 50)


def client_plans() -> st.SearchStrategy[Any]:
    """None: a complete client; else the one attribute that is missing or raises."""
    return weighted(st.none(), st.tuples(st.sampled_from(CLIENT_ATTRIBUTES), st.sampled_from(["missing", "raise"])),
                    80)


def manager_plans() -> st.SearchStrategy[dict[str, str]]:
    return st.fixed_dictionaries({
        "module": weighted(st.just("normal"), st.sampled_from(["absent", "no_class"]), 85),
        "init": weighted(st.just("ok"), st.sampled_from(["raise", "halt"]), 85),
        "compute": usually("dict", COMPUTE_KINDS),
        "result": usually("echo", RESULT_KINDS),
    })


def common_plans() -> dict[str, st.SearchStrategy[Any]]:
    return {
        "configuration": weighted(rs.exact_config_plans(), st.one_of(rs.top_config_plans(), st.sampled_from(
            [("not_dict", "none"), ("not_dict", "list"), ("not_dict", "ordered"), ("not_dict", "subclass"),
             ("not_dict", "int")])), 85),
        "kwargs": st.dictionaries(st.sampled_from(KEYWORD_NAMES), keyword_values(), max_size=4),
        "client": client_plans(),
        "bearer": st.sampled_from([False, True, "odd"]),
        "manager": manager_plans(),
        "subclass": weighted(st.just("plain"), st.sampled_from(SUBCLASS_KINDS), 70),
    }


def compute_plans() -> st.SearchStrategy[dict[str, Any]]:
    return st.fixed_dictionaries({
        **common_plans(),
        "frames": st.tuples(*[st.sampled_from(["none", "frame", "frame", "frame", "frame", "bad"])
                              for _ in PARAMETERS]),
        "frames_by_keyword": st.booleans(),
        "container": usually("list", CONTAINER_KINDS),
        "container_by_keyword": st.booleans(),
        "evaluators": st.lists(weighted(st.sampled_from(BENIGN_EVALUATOR_KINDS), st.sampled_from(EVALUATOR_KINDS), 70),
                               min_size=1, max_size=6),
    })


@given(plan=compute_plans())
def test_compute_metrics_behaves_as_the_python_body(plan: dict[str, Any]) -> None:
    outcomes = run_both(plan, "compute_call")
    rs.assert_same(outcomes["native"], outcomes["baseline"])
    assert rs.native.LLMMetrics.compute_metrics.__defaults__[3] == []


@given(plan=st.fixed_dictionaries({
    **common_plans(),
    "metrics_result": st.integers(0, len(ODD_VALUES) - 1),
    "by_keyword": st.booleans(),
}))
def test_get_metrics_result_behaves_as_the_python_body(plan: dict[str, Any]) -> None:
    outcomes = run_both(plan, "result_call")
    rs.assert_same(outcomes["native"], outcomes["baseline"])


@given(
    plan=st.fixed_dictionaries({**common_plans(), "kwargs_kind": st.sampled_from(sorted(KWARGS_KINDS))}),
)
def test_manager_resolution_with_odd_keyword_containers(plan: dict[str, Any]) -> None:
    outcomes = {}
    for impl in ("native", "baseline"):
        world = World(impl, plan)
        kwargs = KWARGS_KINDS[plan["kwargs_kind"]]()
        configuration = world.configuration()
        with rs.patched({rs.MANAGER: world.manager_module()}, world.globals()):
            outcome = rs.observe(lambda: world.obj._LLMMetrics__get_metrics_manager(configuration, kwargs),
                                 world.log, describe_result=lambda manager: type(manager).__name__)
        outcome.log.append(("kwargs after", describe(getattr(kwargs, "data", kwargs))))
        outcomes[impl] = outcome
    native_outcome, baseline_outcome = outcomes["native"], outcomes["baseline"]
    rs.assert_same(native_outcome, baseline_outcome)


@given(
    module=st.sampled_from(["normal", "normal", "absent", "no_class", "no_method", "not_callable"]),
    behaviour=st.sampled_from(["echo", "none", "raise", "halt", "print"]),
    results=st.integers(0, len(ODD_VALUES) - 1),
    by_keyword=st.booleans(),
)
def test_display_result_behaves_as_the_python_body(module: str, behaviour: str, results: int,
                                                   by_keyword: bool) -> None:
    outcomes = {}
    for impl in ("native", "baseline"):
        log: list[Any] = []

        class RobustnessMetrics:
            @staticmethod
            def display_robustness_results(given_results: Any) -> Any:
                log.append(("display", describe(given_results)))
                if behaviour == "raise":
                    raise Boom("display")
                if behaviour == "halt":
                    raise Halt("display")
                if behaviour == "print":
                    print("robustness", describe(given_results))
                    return None
                return None if behaviour == "none" else given_results

        if module == "no_method":
            del RobustnessMetrics.display_robustness_results
        elif module == "not_callable":
            RobustnessMetrics.display_robustness_results = "no"  # type: ignore[assignment]
        fake = {"normal": rs.fake_module(rs.ROBUSTNESS, RobustnessMetrics=RobustnessMetrics), "absent": None,
                "no_class": rs.fake_module(rs.ROBUSTNESS)}.get(module,
                                                                rs.fake_module(rs.ROBUSTNESS,
                                                                               RobustnessMetrics=RobustnessMetrics))
        obj = rs.IMPLEMENTATIONS[impl].LLMMetrics(rs.make_client())
        value = ODD_VALUES[results]
        with rs.patched({rs.ROBUSTNESS: fake}):
            call = (lambda: obj.display_result(results=value)) if by_keyword else (lambda: obj.display_result(value))
            outcomes[impl] = rs.observe(call, log)
    rs.assert_same(outcomes["native"], outcomes["baseline"])

