"""Re-entrant chains as deep as the recursion limit lets them go.

Each path is a stand-in the class calls that calls the class again, so that
one call nests until something stops it: the host table's `list` listing the
metrics again, a custom evaluator computing metrics, `validate_type`, the
metrics manager and the robustness display each calling back into the class.

Run as a script, in a fresh interpreter (a native stack overflow kills the
process, not the test that started it):

    python deep_reentry.py IMPL PATH LIMIT [STACK_KIB]

runs PATH on IMPL ("native" or "baseline") with sys.setrecursionlimit(LIMIT),
in a thread of STACK_KIB KiB of stack when given (else in the main thread),
and prints one JSON line: the exception's type, whether a RecursionError
ended the chain (itself or in its context chain), and the depth reached.
"""

from __future__ import annotations

import importlib
import json
import sys
import threading
from typing import Any, Callable

import fakes
from llm_metrics_testing import MODULE_NAME
from llm_metrics_testing import oracle as baseline
from zel_tarn_quillgate.base_classes.tables import Table as HostTable

IMPLS = ("native", "baseline")
LIMITS = (1_000, 10_000, 100_000)


def _reentrant_paths(obj: Any, depth: list[int]) -> dict[str, tuple[str, Any, Callable[[], Any]]]:
    """path -> (module global or plugin module to replace, its stand-in, the first call)."""
    config = {"configuration": {}}

    def level() -> None:
        depth[0] += 1

    class ListingTable(HostTable):
        def list(self, *args: Any, **kwargs: Any) -> None:
            level()
            obj.show_supported_metrics()

    def evaluator(sources: Any, predictions: Any, references: Any, **kwargs: Any) -> dict:
        level()
        return obj.compute_metrics(config, custom_evaluators=[evaluator])

    def validate_type(value: Any, name: Any, expected: Any, required: Any) -> None:
        if name == "configuration":
            level()
            obj.get_metrics_result(config, {})

    class Manager(fakes.FakeMetricManager):
        def __init__(self, configuration: Any, **kwargs: Any) -> None:
            level()
            obj.get_metrics_result(config, {})

    class Display:
        @staticmethod
        def display_robustness_results(results: Any) -> Any:
            level()
            return obj.display_result(results)

    return {
        "table": ("Table", ListingTable, obj.show_supported_metrics),
        "evaluator": ("", None, lambda: obj.compute_metrics(config, custom_evaluators=[evaluator])),
        "validate_type": ("validate_type", validate_type, lambda: obj.get_metrics_result(config, {})),
        "manager": (fakes.MANAGER, fakes.fake_module(fakes.MANAGER, LLMMetricManager=Manager),
                    lambda: obj.get_metrics_result(config, {})),
        "display": (fakes.ROBUSTNESS, fakes.fake_module(fakes.ROBUSTNESS, RobustnessMetrics=Display),
                    lambda: obj.display_result([])),
    }


PATHS = ("table", "evaluator", "validate_type", "manager", "display")


def run(impl: str, path: str, limit: int) -> dict[str, Any]:
    module = importlib.import_module(MODULE_NAME) if impl == "native" else baseline
    stand_ins = fakes.StandIns(module)
    stand_ins.install()
    stand_ins.use_catalogue(fakes.build_catalogue("plain", 30))
    obj = module.LLMMetrics(fakes.make_client())
    depth = [0]
    target, stand_in, call = _reentrant_paths(obj, depth)[path]
    if target in sys.modules or "." in target:
        sys.modules[target] = stand_in
    elif target:
        stand_ins.set_global(target, stand_in)
    outcome: dict[str, Any] = {"impl": impl, "path": path, "limit": limit}
    sys.setrecursionlimit(limit)
    try:
        with fakes.silenced_stdout():
            call()
    except BaseException as exc:  # noqa: BLE001 - what ended the chain is the result
        sys.setrecursionlimit(1_000)
        chain, seen = exc, []
        while chain is not None and len(seen) < 100:
            seen.append(type(chain).__name__)
            chain = chain.__context__
        outcome.update(exc_type=type(exc).__name__, recursion_error="RecursionError" in seen)
    else:
        outcome.update(exc_type=None, recursion_error=False)
    outcome["depth"] = depth[0]
    return outcome


def main(argv: list[str]) -> None:
    impl, path, limit = argv[0], argv[1], int(argv[2])
    if len(argv) > 3:
        threading.stack_size(int(argv[3]) * 1024)
        results: list[dict[str, Any]] = []
        worker = threading.Thread(target=lambda: results.append(run(impl, path, limit)))
        worker.start()
        worker.join()
        print(json.dumps(results[0]))
    else:
        print(json.dumps(run(impl, path, limit)))


if __name__ == "__main__":
    main(sys.argv[1:])
