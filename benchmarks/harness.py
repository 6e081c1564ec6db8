"""Interleaved timing of the compiled module against the plain-Python baseline.

Each scenario is a pair of statements, one per implementation, timed with
`timeit` on the thread's CPU clock (garbage collection left on: the
collector's work is part of the cost).  After a warm-up and a calibration that sizes one batch to about
`BATCH_SECONDS`, batches of the two alternate in the pattern ABBA ABBA ...
until the scenario's time budget is spent.  Reported per implementation:
the median over batches of the time per call; the ratio is the median of
the ratios of adjacent batches (module batch / baseline batch), which keeps
a change of machine load from leaking into the comparison.
"""

from __future__ import annotations

import gc
import os
import statistics
import time
import timeit
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

BATCH_SECONDS = 0.01
# CPU time of this thread, not wall time: on a shared machine a batch that
# waits for a core would otherwise be charged for the wait.
CLOCK = time.thread_time_ns
MIN_PAIRS = 5


@dataclass
class Settings:
    quick: bool
    budget: float  # seconds of timing per in-process scenario (both sides)
    import_runs: int  # fresh processes per implementation for the import scenario

    @classmethod
    def from_env(cls, quick_flag: bool) -> "Settings":
        quick = quick_flag or os.environ.get("LLM_METRICS_BENCH_QUICK", "") not in ("", "0")
        budget = float(os.environ.get("LLM_METRICS_BENCH_BUDGET", "0.4" if quick else "3.0"))
        runs = int(os.environ.get("LLM_METRICS_BENCH_IMPORT_RUNS", "6" if quick else "40"))
        return cls(quick=quick, budget=budget, import_runs=runs)


@dataclass
class Measurement:
    module_ns: float
    baseline_ns: float
    ratio: float
    pairs: int
    module_spread: float = 0.0  # interquartile range / median, module batches
    baseline_spread: float = 0.0


def _timer(stmt: str, namespace: dict[str, Any]) -> timeit.Timer:
    # The setup re-enables the collector, which timeit switches off.
    ns = dict(namespace)
    ns["gc"] = gc
    return timeit.Timer(stmt, setup="gc.enable()", timer=CLOCK, globals=ns)


def _calibrate(timer: timeit.Timer) -> int:
    """Calls per batch so that a batch takes about BATCH_SECONDS."""
    n = 1
    while True:
        took = timer.timeit(n)
        if took >= BATCH_SECONDS * 1e9 * 0.5 or n >= 1 << 24:
            return max(1, int(n * BATCH_SECONDS * 1e9 / max(took, 1)))
        n *= 4 if took < BATCH_SECONDS * 1e9 * 0.05 else 2


def _spread(values: list[float]) -> float:
    if len(values) < 4:
        return 0.0
    q = statistics.quantiles(values, n=4)
    return (q[2] - q[0]) / statistics.median(values)


@dataclass
class Variant:
    stmt: str
    namespace: dict[str, Any]
    before: Callable[[], None] | None = None  # run before each batch, untimed


def interleave(variants: list[Variant], budget: float) -> list[list[float]]:
    """Per-call times (ns) of each variant, one entry per round.

    A round times one batch of every variant, in forward order on even rounds
    and backward order on odd ones (ABBA...), until `budget` seconds have
    passed and at least MIN_PAIRS rounds are done.
    """
    timers = [_timer(v.stmt, v.namespace) for v in variants]

    def prepare(i: int) -> None:
        if variants[i].before is not None:
            variants[i].before()

    gc.collect()
    sizes = []
    for i, timer in enumerate(timers):
        prepare(i)
        timer.timeit(1)  # warm-up: imports, caches, specialisation
        sizes.append(_calibrate(timer))
    rounds: list[list[float]] = []
    deadline = time.perf_counter() + budget
    while len(rounds) < MIN_PAIRS or time.perf_counter() < deadline:
        order = range(len(timers)) if len(rounds) % 2 == 0 else reversed(range(len(timers)))
        per_call = [0.0] * len(timers)
        for i in order:
            prepare(i)
            per_call[i] = timers[i].timeit(sizes[i]) / sizes[i]
        rounds.append(per_call)
    return rounds


def compare(
    module_stmt: str,
    baseline_stmt: str,
    module_ns: dict[str, Any],
    baseline_ns: dict[str, Any],
    budget: float,
) -> Measurement:
    """Times both statements interleaved for about `budget` seconds."""
    rounds = interleave([Variant(module_stmt, module_ns), Variant(baseline_stmt, baseline_ns)], budget)
    per_module = [r[0] for r in rounds]
    per_baseline = [r[1] for r in rounds]
    return Measurement(
        module_ns=statistics.median(per_module),
        baseline_ns=statistics.median(per_baseline),
        ratio=statistics.median(a / b for a, b in rounds),
        pairs=len(rounds),
        module_spread=_spread(per_module),
        baseline_spread=_spread(per_baseline),
    )


# ------------------------------------------------------------------ results


@dataclass
class Row:
    group: str
    name: str
    module: float | None  # ns per call, bytes, growth factor...
    baseline: float | None
    ratio: float | None
    target: str = ""  # e.g. "<= 0.90"
    verdict: str = ""  # PASS / MISS / "" (no target)
    unit: str = "ns"
    note: str = ""


@dataclass
class Results:
    rows: list[Row] = field(default_factory=list)
    measurements: dict[str, Measurement] = field(default_factory=dict)
    mismatches: list[str] = field(default_factory=list)

    def add(self, row: Row) -> None:
        self.rows.append(row)


def verdict(value: float | None, limit: float | None) -> str:
    if value is None or limit is None:
        return ""
    return "PASS" if value <= limit else "MISS"


def _fmt_value(value: float | None, unit: str) -> str:
    if value is None:
        return "-"
    if unit == "ns":
        if value >= 1e6:
            return f"{value / 1e6:,.2f} ms"
        if value >= 1e4:
            return f"{value / 1e3:,.1f} us"
        return f"{value:,.0f} ns"
    if unit == "B":
        return f"{value / 1024:,.1f} KiB"
    if unit == "x":
        return f"{value:.3f}"
    return f"{value:g}"


def render(results: Results, header: str) -> list[str]:
    lines = [header]
    name_w = max([len(r.name) for r in results.rows] + [20])
    head = f"{'scenario':<{name_w}}  {'module':>12}  {'baseline':>12}  {'ratio':>6}  {'target':>8}  {'':4}"
    current_group = None
    for row in results.rows:
        if row.group != current_group:
            current_group = row.group
            lines.append("")
            lines.append(f"== {row.group}")
            lines.append(head)
            lines.append("-" * len(head))
        ratio = "-" if row.ratio is None else f"{row.ratio:.3f}"
        line = (
            f"{row.name:<{name_w}}  {_fmt_value(row.module, row.unit):>12}  "
            f"{_fmt_value(row.baseline, row.unit):>12}  {ratio:>6}  {row.target:>8}  {row.verdict:4}"
        )
        if row.note:
            line += f"  {row.note}"
        lines.append(line.rstrip())
    misses = [r for r in results.rows if r.verdict == "MISS"]
    lines.append("")
    targets = [r for r in results.rows if r.verdict]
    lines.append(f"targets met: {len(targets) - len(misses)} of {len(targets)}")
    for r in misses:
        lines.append(f"  MISS  {r.group}: {r.name} ({'ratio' if r.ratio is not None else 'value'} "
                     f"{r.ratio if r.ratio is not None else r.module:.3f}, target {r.target})")
    if results.mismatches:
        lines.append("")
        lines.append("OUTPUT DIFFERS between module and baseline (figures not comparable):")
        lines.extend(f"  {m}" for m in results.mismatches)
    return lines
