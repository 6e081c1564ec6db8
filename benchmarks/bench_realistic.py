"""A working session as a user runs it, with stand-ins that do real work.

The host kit, its platform package and the metrics plugin are the
repository's stand-ins (stand_ins/): the manager computes exact match, ROUGE
and BLEU on data frames of 300 rows and defers faithfulness to
`get_metrics_result`; the browser draws its tables with the kit's `Table`
(tabulate) from a 1,000-metric catalogue.  Two custom evaluators do pandas
work of their own.  Whatever the module adds to that work is what this
scenario shows: its ratio to plain Python should be within 1 %.
"""

from __future__ import annotations

import random
import sys
from typing import Any

import pandas as pd
import pytest

import fakes
import harness
from harness import Row, verdict

ROWS = 300
REALISTIC_LIMIT = 1.01
WORDS = ("the model answer cites a source about rivers cities and dates while the reference "
         "names the same river city and year in other words with a few more details").split()
CONFIGURATION = {"configuration": {"question_answering": {
    "exact_match": {}, "rouge_score": {"use_stemmer": True}, "bleu": {}, "faithfulness": {}}}}


def _frames(rows: int) -> tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame]:
    rng = random.Random(7)

    def sentences(column: str, low: int, high: int) -> pd.DataFrame:
        return pd.DataFrame({column: [" ".join(rng.choices(WORDS, k=rng.randint(low, high))) for _ in range(rows)]})

    return sentences("context", 30, 60), sentences("answer", 8, 20), sentences("reference", 8, 20)


def answer_length(sources: pd.DataFrame, predictions: pd.DataFrame, references: pd.DataFrame, **kwargs: Any) -> dict:
    lengths = predictions["answer"].str.split().str.len()
    return {"answer_length": {"metric_value": float(lengths.mean()), "record_level": lengths.tolist()}}


def context_overlap(sources: pd.DataFrame, predictions: pd.DataFrame, references: pd.DataFrame, **kwargs: Any) -> dict:
    overlap = [len(set(a.split()) & set(c.split())) / max(1, len(set(a.split())))
               for a, c in zip(predictions["answer"], sources["context"])]
    return {"context_overlap": {"metric_value": sum(overlap) / len(overlap), "record_level": overlap}}


@pytest.fixture
def real_stand_ins(bench: Any, request: pytest.FixtureRequest) -> Any:
    """The cheap stand-ins taken out for the scenario; the browser's step reads
    a 1,000-metric catalogue in place of the plugin's enumerations."""
    bench.stand_ins.uninstall()
    import zel_metrics_plugin.metrics.llm.core.llm_metrics_manager  # noqa: F401 - before the catalogue goes in
    saved = sys.modules.get(fakes.ENTITIES)
    if request.node.callspec.params["step"] == "browse":
        bench.stand_ins.use_catalogue(fakes.build_catalogue("enum", 1000))
    try:
        yield bench
    finally:
        if saved is None:
            sys.modules.pop(fakes.ENTITIES, None)
        else:
            sys.modules[fakes.ENTITIES] = saved
        bench.stand_ins.install()


STEPS = {
    "compute": ("compute_metrics, 2 evaluators, 300 rows",
                "obj.compute_metrics(cfg, sources, predictions, references, custom_evaluators=evaluators)"),
    "result": ("get_metrics_result", "obj.get_metrics_result(cfg, submitted)"),
    "browse": ("show_supported_metrics(), 1,000 metrics", "obj.show_supported_metrics()"),
}


@pytest.mark.parametrize("step", list(STEPS))
def test_realistic_session(real_stand_ins: Any, step: str) -> None:
    bench = real_stand_ins
    sources, predictions, references = _frames(ROWS)
    module_obj, baseline_obj = bench.instances()
    submitted = baseline_obj.compute_metrics(CONFIGURATION, sources, predictions, references)
    shared = {"cfg": CONFIGURATION, "sources": sources, "predictions": predictions, "references": references,
              "evaluators": [answer_length, context_overlap], "submitted": submitted}
    name, stmt = STEPS[step]
    outputs = []
    for obj in (module_obj, baseline_obj):
        with fakes.captured_stdout() as out:
            value = eval(stmt, {"obj": obj, **shared})
        # the faithfulness task id is new at every call
        outputs.append((sorted(value) if isinstance(value, dict) else value, out.getvalue()))
    if outputs[0] != outputs[1]:
        bench.results.mismatches.append(f"realistic {name}: the module's output differs from plain Python's")
    with fakes.silenced_stdout():
        m = harness.compare(stmt, stmt, {"obj": module_obj, **shared}, {"obj": baseline_obj, **shared},
                            bench.settings.budget)
    bench.results.measurements[f"realistic/{step}"] = m
    bench.results.add(Row(group="realistic session: real stand-ins, 300-row frames, 1,000-metric catalogue",
                          name=name, module=m.module_ns, baseline=m.baseline_ns, ratio=m.ratio,
                          target=f"<= {REALISTIC_LIMIT:.2f}", verdict=verdict(m.ratio, REALISTIC_LIMIT),
                          note=f"{m.pairs} pairs, spread {m.module_spread:.0%}/{m.baseline_spread:.0%}"))
