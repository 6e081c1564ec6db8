"""Instruction counts per call under callgrind, module against baseline.

Run through ``benchmarks/callgrind.sh``, which starts this script under
``valgrind --tool=callgrind`` with a profile dump each time the C library's
``getppid`` is entered (``--dump-before``).  The script does its setup
(imports, stand-ins, catalogues), then brackets each measured window with two
calls of ``os.getppid()``: the dump made at the second call holds that window
alone.  A window runs one scenario N times as one ``functools.reduce`` over
``range(N)``, and again 2N times: the difference of the two is N calls' worth,
free of what a window costs once.  An empty loop of the same shape, measured
the same way, gives the cost of one loop iteration, subtracted.  ``report``
reads the dumps back and prints the table; the dump files stay for
``callgrind_annotate``.

The marker is a C library function because its exported name survives in
every build: Debian's interpreters are stripped, so no function of the
interpreter itself can be named to callgrind (this script used to switch
collection on inside ``functools_reduce``, which only an unstripped
interpreter keeps).  Nothing in the measured code calls ``getppid``; the
report checks that the number of dumps matches.

Instruction counts do not depend on the machine's load, so these figures are
stable from run to run (up to hash randomisation, fixed here by the script,
and the collector, kept quiet while counting).
"""

from __future__ import annotations

import functools
import gc
import json
import os
import sys
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
SUPPORT = HERE.parent / "tests" / "support"
sys.path.insert(0, str(SUPPORT))

MODULE_NAME = "zel_tarn_quillgate.supporting_classes.metrics.llm_metrics"

# name -> (statement, calls per run, description)
SCENARIOS: dict[str, tuple[str, int, str]] = {
    "constructor": ("LLMMetrics(client)", 5000, "LLMMetrics(client)"),
    "compute": ("obj.compute_metrics(cfg, sources, predictions, references)", 2000, "compute_metrics"),
    "compute_evaluators": (
        "obj.compute_metrics(cfg, sources, predictions, references, custom_evaluators=evaluators)",
        2000,
        "compute_metrics, 3 custom evaluators",
    ),
    "get_metrics_result": ("obj.get_metrics_result(cfg, metrics_result)", 2000, "get_metrics_result"),
    "display_result": ("obj.display_result(results)", 5000, "display_result"),
    "browser_all_plain_1000": ("obj.show_supported_metrics()", 20, "show_supported_metrics() plain n=1,000"),
    "browser_task_plain_1000": (
        "obj.show_supported_metrics(task_type=catalogue.task_type)",
        20,
        "show_supported_metrics(task_type) plain n=1,000",
    ),
    "browser_group_plain_1000": (
        "obj.show_supported_metrics(metric_group=catalogue.group_id)",
        20,
        "show_supported_metrics(metric_group) plain n=1,000",
    ),
    "browser_all_enum_1000": ("enum_obj.show_supported_metrics()", 10, "show_supported_metrics() enum n=1,000"),
    "browser_all_plain_10000": ("big_obj.show_supported_metrics()", 2, "show_supported_metrics() plain n=10,000"),
    "key_wide": ("obj._LLMMetrics__is_key_present(wide, 'no_such_key')", 10, "__is_key_present wide"),
    "key_deep": ("obj._LLMMetrics__is_key_present(deep, 'target')", 100, "__is_key_present deep"),
    "key_realistic": (
        "obj._LLMMetrics__is_key_present(realistic, 'context_relevance')",
        5000,
        "__is_key_present realistic",
    ),
}
DEFAULT_SCENARIOS = ["compute_evaluators", "browser_all_plain_1000", "key_wide"]
EMPTY_CALLS = 5000

# Each call of os.getppid() makes callgrind dump what it counted since the
# previous dump (callgrind.sh passes --dump-before=getppid).
_mark = os.getppid


def _setup() -> tuple[Callable[[], dict[str, Any]], Callable[[], dict[str, Any]]]:
    import importlib

    import pandas as pd

    import baseline_llm_metrics
    import fakes

    compiled = os.environ.get("LLM_METRICS_CALLGRIND_COMPILED_BASELINE")
    if compiled:
        # The baseline compiled from its Python source by a Python-to-C
        # compiler (see README.md) stands in for the module.
        import importlib.util

        name = Path(compiled).name.partition(".")[0]
        spec = importlib.util.spec_from_file_location(name, compiled)
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(f"compiled baseline: {module.__file__}", file=sys.stderr)
    elif os.environ.get("LLM_METRICS_CALLGRIND_SELF_CHECK"):
        # A/A run: a second copy of the baseline stands in for the module.
        import importlib.util

        spec = importlib.util.spec_from_file_location("baseline_copy", SUPPORT / "baseline_llm_metrics.py")
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    else:
        extension_dir = os.environ.get("LLM_METRICS_EXTENSION_DIR")
        if extension_dir:
            # Load the extension from a build directory (the installed copy is
            # stripped, so its profile has no function names).
            import zel_tarn_quillgate.supporting_classes.metrics as package

            package.__path__.insert(0, extension_dir)
        module = importlib.import_module(MODULE_NAME)
        print(f"extension: {module.__file__}", file=sys.stderr)
    stand_ins = fakes.StandIns(module, baseline_llm_metrics)
    stand_ins.install()
    client = fakes.make_client()
    plain = fakes.build_catalogue("plain", 1000)
    enum_catalogue = fakes.build_catalogue("enum", 1000)
    big_catalogue = fakes.build_catalogue("plain", 10000)
    stand_ins.use_catalogue(plain)
    frame = pd.DataFrame({"text": ["a b c", "d e f"]})
    shared = {
        "client": client,
        "cfg": fakes.realistic_configuration(),
        "sources": frame,
        "predictions": frame,
        "references": frame,
        "evaluators": list(fakes.CUSTOM_EVALUATORS),
        "metrics_result": {"faithfulness": {"task_id": "t-1"}},
        "results": {"robustness": {"score": 0.9}},
        "catalogue": plain,
        "wide": fakes.wide_configuration(),
        "deep": fakes.deep_configuration(),
        "realistic": fakes.realistic_configuration(),
    }

    def namespace(impl: Any) -> Callable[[], dict[str, Any]]:
        # Called once per scenario: each scenario runs on instances no other
        # scenario touched (a key search, say, must not leave anything
        # behind on the instance a later scenario is timed on).
        def fresh() -> dict[str, Any]:
            ns = dict(shared)
            ns["LLMMetrics"] = impl.LLMMetrics
            ns["obj"] = impl.LLMMetrics(client)
            ns["enum_obj"] = _CatalogueProxy(impl.LLMMetrics(client), stand_ins, enum_catalogue, plain)
            ns["big_obj"] = _CatalogueProxy(impl.LLMMetrics(client), stand_ins, big_catalogue, plain)
            return ns

        return fresh

    return namespace(module), namespace(baseline_llm_metrics)


class _CatalogueProxy:
    """Calls show_supported_metrics with another catalogue installed."""

    def __init__(self, obj: Any, stand_ins: Any, catalogue: Any, restore: Any) -> None:
        self.obj, self.stand_ins, self.catalogue, self.restore = obj, stand_ins, catalogue, restore

    def show_supported_metrics(self, *args: Any, **kwargs: Any) -> Any:
        self.stand_ins.use_catalogue(self.catalogue)
        try:
            return self.obj.show_supported_metrics(*args, **kwargs)
        finally:
            self.stand_ins.use_catalogue(self.restore)


def run(names: list[str], out_dir: Path, scale: float) -> None:
    import fakes

    module_ns, baseline_ns = _setup()
    plan: list[dict[str, Any]] = []
    empty = eval("lambda acc, _: None")
    steps = []
    for name in names:
        stmt, calls, _ = SCENARIOS[name]
        calls = max(1, int(calls * scale))
        for side, fresh in (("module", module_ns), ("baseline", baseline_ns)):
            steps.append((name, side, calls, eval(f"lambda acc, _: {stmt}", fresh())))
    with fakes.silenced_stdout():
        for _, _, _, step in steps:  # warm-up, uninstrumented
            step(None, None)
            step(None, None)
        # The collector stays quiet while counting: when it runs depends on
        # the allocations before (3.14's incremental one does a slice of work
        # at unpredictable points), which made counts of one side swing.
        gc.collect()
        gc.disable()
        try:
            for calls in (EMPTY_CALLS, 2 * EMPTY_CALLS):
                _window(empty, calls)
                plan.append({"name": "<empty>", "side": "-", "calls": calls})
            for name, side, calls, step in steps:
                for n in (calls, 2 * calls):
                    gc.collect()
                    _window(step, n)
                    plan.append({"name": name, "side": side, "calls": n})
        finally:
            gc.enable()
    (out_dir / "plan.json").write_text(json.dumps(plan))


def _window(step: Callable[[Any, Any], Any], calls: int) -> None:
    # Two dumps: the first closes whatever ran before, the second holds
    # the window (and the fixed cost of the markers, which differencing removes).
    _mark()
    functools.reduce(step, range(calls), None)
    _mark()


def _numbered_dumps(directory: Path) -> list[Path]:
    return sorted(
        (p for p in directory.glob("callgrind.out.*") if p.suffix[1:].isdigit()),
        key=lambda p: int(p.suffix[1:]),
    )


def _dump_total(path: Path) -> int:
    for line in path.read_text().splitlines():
        if line.startswith("totals:") or line.startswith("summary:"):
            return int(line.split()[1])
    raise ValueError(f"no totals in {path}")


def report(out_dir: Path) -> None:
    plan = json.loads((out_dir / "plan.json").read_text())
    parts = _numbered_dumps(out_dir)
    # Two dumps per window, the windows last in the run (the dump at exit has
    # no number); a getppid call during setup would only add earlier dumps.
    if len(parts) < 2 * len(plan):
        raise SystemExit(f"expected {2 * len(plan)} dumps, found {len(parts)} in {out_dir}")
    mine = parts[-2 * len(plan) :][1::2]
    totals = [_dump_total(p) for p in mine]
    # Every window is run twice, for N and 2N iterations: the difference is
    # N iterations' worth, whatever a window costs once (the markers, the
    # reduce call, a first call's specialisation).  The empty loop's
    # difference gives the cost of one iteration.
    def per_iteration(i: int) -> float:
        return (totals[i + 1] - totals[i]) / (plan[i + 1]["calls"] - plan[i]["calls"])

    empty_per_call = per_iteration(0)
    rows: dict[str, dict[str, float]] = {}
    files: dict[str, dict[str, str]] = {}
    for i in range(2, len(plan), 2):
        entry = plan[i]
        rows.setdefault(entry["name"], {})[entry["side"]] = per_iteration(i) - empty_per_call
        files.setdefault(entry["name"], {})[entry["side"]] = str(mine[i + 1])
    print(
        "\ncallgrind: instructions per call, runs of N and 2N calls differenced"
        f" (loop overhead of {empty_per_call:,.0f} per call subtracted)"
    )
    head = f"{'scenario':<45} {'module':>14} {'baseline':>14} {'ratio':>7}"
    print(head)
    print("-" * len(head))
    for name, sides in rows.items():
        m, b = sides["module"], sides["baseline"]
        print(f"{SCENARIOS[name][2]:<45} {m:>14,.0f} {b:>14,.0f} {m / b:>7.3f}")
    print("\nprofiles (callgrind_annotate --inclusive=yes <file>):")
    for name, sides in files.items():
        print(f"  {name}: module {sides['module']}  baseline {sides['baseline']}")


def import_child(target: str) -> None:
    """Imports the prerequisites, then `target` inside the instrumented window."""
    import importlib
    import itertools  # noqa: F401
    import warnings  # noqa: F401

    import pandas  # noqa: F401
    import zel_cloud_sdk_core.authenticators  # noqa: F401
    import zel_tarn_quillgate.base_classes.tables  # noqa: F401
    import zel_tarn_quillgate.supporting_classes.metrics.evaluators  # noqa: F401
    import zel_tarn_quillgate.utils.utils  # noqa: F401

    extension_dir = os.environ.get("LLM_METRICS_EXTENSION_DIR")
    if extension_dir:
        import zel_tarn_quillgate.supporting_classes.metrics as package

        package.__path__.insert(0, extension_dir)
    _mark()
    importlib.import_module(target)
    _mark()


def import_report(module_dump_dir: Path, baseline_dump_dir: Path) -> None:
    def last_total(directory: Path) -> int:
        # The dump made by the second marker holds the import alone.
        return _dump_total(_numbered_dumps(directory)[-1])

    m, b = last_total(module_dump_dir), last_total(baseline_dump_dir)
    print("\ncallgrind: instructions of one import (prerequisites imported first)")
    print(f"{'module':>14} {'baseline':>14} {'ratio':>7}")
    print(f"{m:>14,} {b:>14,} {m / b:>7.3f}")
    print("(instructions only: the module's dlopen also costs system calls and page faults that callgrind does not count)")


def main(argv: list[str]) -> None:
    if len(argv) == 2 and argv[0] == "import-child":
        import_child(argv[1])
        return
    if len(argv) == 3 and argv[0] == "import-report":
        import_report(Path(argv[1]), Path(argv[2]))
        return
    if len(argv) >= 2 and argv[0] == "report":
        report(Path(argv[1]))
        return
    if len(argv) >= 2 and argv[0] == "run":
        out_dir = Path(argv[1])
        scale = 1.0
        names: list[str] = []
        for arg in argv[2:]:
            if arg.startswith("--scale="):
                scale = float(arg.split("=", 1)[1])
            elif arg == "all":
                names.extend(SCENARIOS)
            elif arg in SCENARIOS:
                names.append(arg)
            else:
                raise SystemExit(f"unknown scenario {arg!r}; known: {', '.join(SCENARIOS)}")
        run(names or DEFAULT_SCENARIOS, out_dir, scale)
        return
    raise SystemExit("usage: callgrind_runner.py run OUT_DIR [SCENARIO...|all] [--scale=F] | report OUT_DIR")


if __name__ == "__main__":
    main(sys.argv[1:])
