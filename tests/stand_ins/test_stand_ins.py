"""Contracts of the platform, kit and metrics-plugin packages that the
compiled LLM metrics module relies on."""

from __future__ import annotations

import io
import sys
from collections.abc import Callable
from typing import Any

import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from zel_cloud_sdk_core import (
    BaseService,
    BearerTokenAuthenticator,
    IAMAuthenticator,
    NoAuthAuthenticator,
)
from zel_metrics_plugin.metrics.llm.common.impl.robustness_metric import RobustnessMetrics
from zel_metrics_plugin.metrics.llm.config.entities import (
    LLMMetricType,
    LLMSubMetrics,
    LLMTaskType,
    find_metric,
)
from zel_metrics_plugin.metrics.llm.core.llm_metrics_manager import LLMMetricManager
from zel_metrics_plugin.metrics.llm.core import text_scores
from zel_tarn_quillgate import TarnQuillgateV2Adapter
from zel_tarn_quillgate.base_classes.tables import Table
from zel_tarn_quillgate.supporting_classes.metrics.evaluators import LLMAJEvaluators
from zel_tarn_quillgate.utils.utils import MissingValueError, validate_type

CONTEXT = dict(
    is_vesk=False,
    origin="sdk",
    is_bearer_token=True,
    authenticator=object(),
    service_url="https://x",
    host="x",
    service_instance_id="id",
)


def frame(*texts: str) -> pd.DataFrame:
    return pd.DataFrame({"text": list(texts)})


def manager(*metrics: str, **params: object) -> LLMMetricManager:
    # Under the first task type that all the metrics apply to.
    task = next(t.value for t in LLMTaskType if all(t.value in find_metric(m).supported_tasks for m in metrics))
    cfg = {"configuration": {task: {m: dict(params) for m in metrics}}}
    return LLMMetricManager(cfg, **CONTEXT)


# ------------------------------------------------------------ host kit


@pytest.mark.parametrize(
    "value, expected, required",
    [
        ({}, dict, True),
        (None, [pd.DataFrame], False),
        (frame("a"), [pd.DataFrame], False),
        (3, [str, int], True),
        (True, int, True),
    ],
)
def test_validate_type_accepts(value: object, expected: object, required: bool) -> None:
    validate_type(value, "p", expected, required)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    "value, expected, required, error, words",
    [
        (None, dict, True, MissingValueError, ["'configuration'"]),
        ([], dict, True, TypeError, ["'configuration'", "dict", "list"]),
        ("x", [pd.DataFrame], False, TypeError, ["DataFrame", "str"]),
        (1.5, [str, int], False, TypeError, ["str or int", "float"]),
        (1, "dict", True, TypeError, ["expected"]),
        (1, [], True, ValueError, ["expected"]),
    ],
)
def test_validate_type_refuses(
    value: object, expected: object, required: bool, error: type, words: list[str]
) -> None:
    with pytest.raises(error) as info:
        validate_type(value, "configuration", expected, required)  # type: ignore[arg-type]
    assert all(w in str(info.value) for w in words)


def test_table_prints_title_then_cells(capsys: pytest.CaptureFixture[str]) -> None:
    rows = [["bleu", None, ["generation", "summarization"], "No"]]
    Table(["Metric ID", "Metric Group", "Tasks", "Ref Free"], rows).list(title="Metrics:")
    out = capsys.readouterr().out
    lines = out.splitlines()
    assert lines[0] == "Metrics:"
    assert "generation, summarization" in out
    assert "| -" in out and "None" not in out
    assert out.isascii()


CATALOGUE_HEADERS = ["Metric ID", "Metric Group", "Supported Task Type(s)", "Is Reference Free"]


def catalogue_rows() -> list[list[object]]:
    members: list[LLMMetricType | LLMSubMetrics] = [*LLMMetricType, *LLMSubMetrics]
    return [[m.value, getattr(m, "metrics_group", None), m.supported_tasks, m.is_reference_free] for m in members]


@pytest.mark.parametrize("width", [80, 60, 40])
def test_table_fits_the_width_and_keeps_every_word(width: int) -> None:
    table = Table(CATALOGUE_HEADERS, catalogue_rows())
    text = table.render(width=width)
    lines = text.splitlines()
    assert max(len(line) for line in lines) <= width
    assert len({len(line) for line in lines}) == 1  # still a grid
    # The first column, read back row by row: the pieces of each id in order.
    ids, current = [], ""
    for line in lines[1:]:
        if line.startswith("+"):
            ids.append(current)
            current = ""
        else:
            current += line.split("|")[1].strip()
    assert ids[1:] == [row[0] for row in catalogue_rows()]
    if width == 80:
        # Ids are cut after an underscore, not inside a word.
        assert "retrieval_augmented_generation" in text and "retrieva" not in text.replace("retrieval_", "")


def test_table_wrap_text_breaks_at_spaces_then_underscores_then_inside() -> None:
    from zel_tarn_quillgate.base_classes.tables import wrap_text

    assert wrap_text("summarization, generation, extraction", 26) == "summarization, generation,\nextraction"
    assert wrap_text("retrieval_augmented_generation", 21) == "retrieval_augmented_\ngeneration"
    assert wrap_text("abcdefghij", 4) == "abcd\nefgh\nij"
    assert wrap_text("a\n\nb", 3) == "a\n\nb" and wrap_text("", 5) == ""


def test_table_fits_the_terminal_only(monkeypatch: pytest.MonkeyPatch) -> None:
    class Terminal(io.StringIO):
        def isatty(self) -> bool:
            return True

    table = Table(CATALOGUE_HEADERS, catalogue_rows())
    monkeypatch.setenv("COLUMNS", "72")
    monkeypatch.setattr(sys, "stdout", Terminal())
    table.list(title="Metrics:")
    on_terminal = sys.stdout.getvalue().splitlines()
    monkeypatch.setattr(sys, "stdout", io.StringIO())
    table.list(title="Metrics:")
    elsewhere = sys.stdout.getvalue().splitlines()
    assert on_terminal[0] == elsewhere[0] == "Metrics:"
    assert max(map(len, on_terminal)) <= 72 < max(map(len, elsewhere))
    assert elsewhere[1:] == table.render().splitlines()


@pytest.mark.parametrize("records", [[["a", "b"]], [["a"], "b"], "ab"])
def test_table_rejects_malformed_rows(records: object) -> None:
    with pytest.raises((TypeError, ValueError)):
        Table(["x"], records)  # type: ignore[arg-type]


def test_client_attributes_and_lazy_metrics() -> None:
    client = TarnQuillgateV2Adapter(
        BearerTokenAuthenticator("tok"), "https://svc.example/api", is_vesk=True
    )
    assert isinstance(client, BaseService)
    assert type(client.authenticator) is BearerTokenAuthenticator
    assert (client.is_vesk, client.host, client.service_instance_id) == (
        True,
        "svc.example",
        None,
    )
    with pytest.raises(TypeError, match="is_vesk"):
        TarnQuillgateV2Adapter(NoAuthAuthenticator(), is_vesk="yes")  # type: ignore[arg-type]
    evaluators = LLMAJEvaluators(client)
    judge = evaluators.add("support", "Is {answer} supported by {context}?")
    assert evaluators.client is client and judge.fields == ("answer", "context")
    with pytest.raises(KeyError, match="context"):
        judge.render(answer="a")
    module = pytest.importorskip("zel_tarn_quillgate.supporting_classes.metrics.llm_metrics")
    if not hasattr(module, "LLMMetrics"):
        pytest.skip("the compiled metrics module is not built")
    metrics = client.llm_metrics
    assert metrics is client.llm_metrics and metrics.ai_client is client


# ------------------------------------------------------------- catalogue


def test_catalogue_shape() -> None:
    tasks = {t.value for t in LLMTaskType}
    ids = [m.value for m in LLMMetricType] + [m.value for m in LLMSubMetrics]
    assert len(ids) == len(set(ids)) and all(isinstance(i, str) for i in ids)
    for member in [*LLMMetricType, *LLMSubMetrics]:
        assert set(member.supported_tasks) <= tasks and member.supported_tasks
        assert isinstance(member.is_reference_free, bool)
    groups = {m.value for m in LLMMetricType if m.sub_metrics}
    assert "rouge_score" in groups and len(groups) >= 2
    assert {m.metrics_group for m in LLMSubMetrics} - {None} == groups
    assert None in {m.metrics_group for m in LLMSubMetrics}
    rouge = LLMMetricType.ROUGE_SCORE.sub_metrics
    assert [m.value for m in rouge or []] == ["rouge1", "rouge2", "rougeL", "rougeLsum"]
    assert LLMMetricType.FAITHFULNESS.is_reference_free
    assert not LLMMetricType.BLEU.is_reference_free and LLMMetricType.BLEU.sub_metrics is None
    assert not hasattr(LLMMetricType.BLEU, "metrics_group")


def test_legacy_constants_module() -> None:
    constants = __import__(
        "zel_metrics_plugin.metrics.llm.utils.constants",
        fromlist=["LLMSummarizationMetrics,LLMGenerationMetrics, LLMExtractionMetrics, LLMQAMetrics"],
    )
    known = {m.value for m in LLMMetricType}
    for name in ("LLMSummarizationMetrics", "LLMGenerationMetrics", "LLMExtractionMetrics", "LLMQAMetrics"):
        members = list(getattr(constants, name))
        assert members and {m.value for m in members} <= known
        assert all(format(m, "") for m in members)
    summ = constants.LLMSummarizationMetrics
    for name in ("ROUGE_SCORE", "SARI", "BLEURT_SCORE", "SACREBLEU", "WIKI_SPLIT", "METEOR",
                 "NORMALIZED_RECALL", "NORMALIZED_PRECISION", "NORMALIZED_F1_SCORE",
                 "FAITHFULNESS", "ANSWER_RELEVANCE"):
        assert getattr(summ, name).value in known
    assert {g.name for g in constants.LLMTextMetricGroup} >= {"SUMMARIZATION", "GENERATION", "EXTRACTION", "QA", "RAG"}
    assert constants.HAP_SCORE == "hap_score"


# ----------------------------------------------------------- computation


@pytest.mark.parametrize(
    "metric, preds, refs, expected",
    [
        ("exact_match", ["Paris.", "London"], ["paris", "Rome"], [1.0, 0.0]),
        ("rouge1", ["the cat sat"], ["the cat sat"], [1.0]),
        ("rouge1", ["the capital is london"], ["paris is the capital"], [0.75]),
        ("rouge2", ["the capital is london"], ["paris is the capital"], [1 / 3]),
        ("rougeL", ["the capital is london"], ["paris is the capital"], [0.5]),
        ("rougeLsum", ["a b c\nd e"], ["a b c\nd e"], [1.0]),
        ("bleu", ["the cat sat on the mat", "hi"], ["the cat sat on the mat", "hi"], [1.0, 1.0]),
        ("normalized_precision", ["a b c d"], ["A, b!"], [0.5]),
        ("normalized_recall", ["a b c d"], ["A, b!"], [1.0]),
        ("normalized_f1_score", ["a b c d"], ["A, b!"], [2 / 3]),
    ],
)
def test_compute_known_values(
    metric: str, preds: list[str], refs: list[str], expected: list[float]
) -> None:
    result = manager(metric).compute(None, frame(*preds), frame(*refs), **CONTEXT)
    entry = result[metric]
    assert entry["record_level"] == pytest.approx(expected)
    assert entry["mean"] == pytest.approx(sum(expected) / len(expected))
    assert (entry["min"], entry["max"]) == pytest.approx((min(expected), max(expected)))


def test_group_expands_and_stemmer_applies() -> None:
    m = manager("rouge_score", use_stemmer=True, use_aggregator=True)
    result = m.compute(None, frame("cats running"), frame("cat run"))
    assert set(result) == {"rouge1", "rouge2", "rougeL", "rougeLsum"}
    assert result["rouge1"]["metric_value"] == 1.0


def test_corpus_bleu_pools_counts_and_penalises_brevity() -> None:
    short = text_scores.bleu_scores(["a b c d e f"], ["a b c d e f g h i j"])
    assert short.corpus < text_scores.bleu_scores(["a b c d e f"], ["a b c d e f"]).corpus == pytest.approx(1.0)
    assert text_scores.bleu_scores([""], ["a"]).corpus == 0.0
    # Pooled counts: the corpus score is not the mean of the records'.
    pooled = text_scores.bleu_scores(["the cat sat on the mat", "a dog"], ["the cat sat on the mat", "the dog"])
    assert pooled.corpus != pytest.approx(sum(pooled.records) / 2)


# A small fixed data set: inflections (where stemming matters), punctuation,
# several sentences, a short record and the README's example.
PREDICTIONS = [
    "The cats were running quickly across the gardens.",
    "Studies showed the studied methods generalize poorly.",
    "The Eiffel Tower was completed in 1889.",
    "The Nile flows south into the Red Sea.",
    "It rained.\nThe match was cancelled, sadly.",
    "yes",
]
REFERENCES = [
    "A cat ran quick across the garden.",
    "The study shows these methods generalized poorly!",
    "The Eiffel Tower was completed in 1889.",
    "The Nile flows north into the Mediterranean Sea.",
    "The match was cancelled.\nIt had rained all day.",
    "no",
]


@pytest.mark.parametrize("use_stemmer", [False, True])
def test_rouge_values_are_rouge_scores(use_stemmer: bool) -> None:
    rouge_scorer = pytest.importorskip("rouge_score.rouge_scorer")
    types = ["rouge1", "rouge2", "rougeL", "rougeLsum"]
    scorer = rouge_scorer.RougeScorer(types, use_stemmer=use_stemmer)
    expected = [scorer.score(r, p) for p, r in zip(PREDICTIONS, REFERENCES)]
    result = manager("rouge_score", use_stemmer=use_stemmer).compute(None, frame(*PREDICTIONS), frame(*REFERENCES))
    for t in types:
        records = [e[t].fmeasure for e in expected]
        assert result[t]["record_level"] == pytest.approx(records, abs=1e-12)
        assert result[t]["metric_value"] == pytest.approx(sum(records) / len(records))
    # The stemmer is the library's (Porter): "running"/"ran" stay apart, "cats"/"cat" meet.
    first = result["rouge1"]["record_level"][0]
    assert first == pytest.approx(expected[0]["rouge1"].fmeasure)
    assert (first > 0.5) is use_stemmer


_reference_scorers: dict[tuple[tuple[str, Any], ...], Any] = {}


def reference_bleu(**params: Any) -> Any:
    """sacrebleu's own scorer for these parameters, made once: its tokenisers
    cache per scorer object, so a new one per test run would only grow."""
    sacrebleu = pytest.importorskip("sacrebleu")
    key = tuple(sorted(params.items()))
    if key not in _reference_scorers:
        _reference_scorers[key] = sacrebleu.metrics.BLEU(**params)
    return _reference_scorers[key]


def test_bleu_values_are_sacrebleus_corpus_and_sentence_scores() -> None:
    result = manager("bleu").compute(None, frame(*PREDICTIONS), frame(*REFERENCES))["bleu"]
    corpus = reference_bleu().corpus_score(PREDICTIONS, [REFERENCES])
    assert result["metric_value"] == result["corpus_score"] == pytest.approx(corpus.score / 100)
    sentences = [reference_bleu(effective_order=True).sentence_score(p, [r]).score / 100
                 for p, r in zip(PREDICTIONS, REFERENCES)]
    assert result["record_level"] == pytest.approx(sentences)
    assert result["mean"] == pytest.approx(sum(sentences) / len(sentences)) != result["metric_value"]
    assert result["signature"].startswith("nrefs:1|case:mixed|eff:no|tok:13a|smooth:exp|version:")
    assert "eff:yes" in result["record_signature"]
    # The README's pair: sacrebleu's 63.08.
    readme = manager("bleu").compute(None, frame(*PREDICTIONS[2:4]), frame(*REFERENCES[2:4]))["bleu"]
    assert readme["metric_value"] == pytest.approx(0.6308, abs=5e-5)


def test_bleu_parameters_reach_sacrebleu() -> None:
    params: dict[str, Any] = {"lowercase": True, "tokenize": "char", "smooth_method": "floor", "smooth_value": 0.2,
                              "max_ngram_order": 3}
    bleu = reference_bleu(**params)
    result = manager("sacrebleu", **params).compute(None, frame(*PREDICTIONS), frame(*REFERENCES))["sacrebleu"]
    assert result["metric_value"] == pytest.approx(bleu.corpus_score(PREDICTIONS, [REFERENCES]).score / 100)
    assert result["signature"] == str(bleu.get_signature())


def test_frames_must_line_up_by_index() -> None:
    preds = pd.DataFrame({"answer": ["a b", "c d"]}, index=[10, 11])
    with pytest.raises(ValueError) as info:
        manager("bleu").compute(None, preds, frame("a b", "c d"))
    assert "do not line up" in str(info.value) and "[10, 11]" in str(info.value) and "[0, 1]" in str(info.value)
    with pytest.raises(ValueError, match="do not line up"):
        manager("exact_match").compute(None, preds, preds.iloc[::-1])
    # The same index, whatever it is, pairs the rows.
    result = manager("exact_match").compute(None, preds, preds.rename(columns={"answer": "ref"}))
    assert result["exact_match"]["record_level"] == [1.0, 1.0]
    # Frames a metric does not use are not checked.
    other = pd.DataFrame({"s": ["x"]}, index=[99])
    assert manager("exact_match").compute(other, frame("a"), frame("a"))["exact_match"]["metric_value"] == 1.0


def test_frames_with_several_columns_are_refused_unless_the_column_is_named() -> None:
    preds = pd.DataFrame({"id": ["q1", "q2"], "answer": ["the cat", "a dog"]})
    refs = frame("the cat", "the dog")
    with pytest.raises(ValueError) as info:
        manager("exact_match").compute(None, preds, refs)
    assert "2 columns ('id', 'answer')" in str(info.value) and "predictions_column=" in str(info.value)
    result = manager("exact_match").compute(None, preds, refs, predictions_column="answer")
    assert result["exact_match"]["record_level"] == [1.0, 0.0]
    with pytest.raises(ValueError) as info:
        manager("exact_match").compute(None, preds, refs, predictions_column="answers")
    assert "did you mean 'answer'?" in str(info.value)


class _Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize("where", ["terminal", "notebook", "pipe"])
def test_progress_counts_rows_on_a_terminal_or_in_a_notebook_only(where: str, monkeypatch: pytest.MonkeyPatch) -> None:
    from zel_metrics_plugin.metrics.llm.core import llm_metrics_manager

    tqdm_auto = pytest.importorskip("tqdm.auto")
    bars: list[tuple[Any, ...]] = []

    class Recorded(tqdm_auto.tqdm):  # type: ignore[misc,name-defined]
        def close(self) -> None:
            if not self.disable:  # the first close; tqdm closes again when collected
                bars.append((self.total, self.n, self.unit))
            super().close()

    monkeypatch.setattr(tqdm_auto, "tqdm", Recorded)
    stream = _Terminal() if where == "terminal" else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stream)
    if where == "notebook":
        kernel = type("Shell", (), {"config": {"IPKernelApp": {}}})()
        monkeypatch.setitem(sys.modules, "IPython", type(sys)("IPython"))
        monkeypatch.setattr(sys.modules["IPython"], "get_ipython", lambda: kernel, raising=False)
    monkeypatch.setattr(llm_metrics_manager, "PROGRESS_DELAY", 0.0)
    # Two passes over the records (the ROUGE types share one), one bar of the rows.
    result = manager("rouge_score", "bleu").compute(None, frame(*PREDICTIONS), frame(*REFERENCES))
    assert len(result) == 5
    rows = len(PREDICTIONS)
    if where == "pipe":
        assert bars == [] and stream.getvalue() == ""
    else:
        assert bars == [(rows, rows, "row")]
    if where == "terminal":
        assert "computing metrics" in stream.getvalue() and f"/{rows} " in stream.getvalue()


@pytest.mark.parametrize(
    "shape",
    [
        {"retrieval_augmented_generation": {"faithfulness": {}}},
        {"question_answering": {"faithfulness": None}},
        {"retrieval_augmented_generation": ["faithfulness"]},
    ],
)
def test_faithfulness_round_trip(shape: dict[str, object]) -> None:
    cfg = {"configuration": shape}
    submitted = LLMMetricManager(cfg, **CONTEXT).compute(
        frame("paris is the capital of france", "x"),
        frame("the capital is london", ""),
        None,
        **CONTEXT,
    )
    task = submitted["faithfulness"]
    assert task["status"] == "submitted" and task["task_id"]
    final = LLMMetricManager(cfg, **CONTEXT).get_metrics_result(submitted, **CONTEXT)
    done = final["faithfulness"]
    assert done["record_level"] == [0.75, None] and done["metric_value"] == 0.75
    assert done["task_id"] == task["task_id"] and done["status"] == "completed"


@pytest.mark.parametrize(
    "config, frames, error, words",
    [
        ({"generation": {"sari": {}, "bleu": {}}}, (None, ["a"], ["a"]), NotImplementedError, ["'sari'"]),
        ({"generation": {"bleu": {"n": 2}}}, (None, ["a"], ["a"]), ValueError, ["'n'", "max_ngram_order"]),
        ({"generation": {"bleu": {"tokenize": "spm"}}}, (None, ["a"], ["a"]), ValueError, ["13a"]),
        ({"generation": {"bleu": {"max_ngram_order": 0}}}, (None, ["a"], ["a"]), ValueError, ["positive"]),
        ({"generation": {"rouge1": {"use_stemmer": "yes"}}}, (None, ["a"], ["a"]), TypeError, ["bool"]),
        ({"generation": {"bleu": {}}}, (None, ["a"], None), ValueError, ["references", "bleu"]),
        ({"question_answering": {"faithfulness": {}}}, (None, ["a"], None), ValueError, ["sources"]),
        ({"generation": {"bleu": {}}}, (None, ["a", "b"], ["a"]), ValueError, ["same number of rows"]),
        ({"generation": {"bleu": {}}}, (None, [], []), ValueError, ["no rows"]),
        ({"generation": {"bleu": {}}}, (None, [1], ["a"]), TypeError, ["row 0", "int"]),
        ({}, (None, ["a"], ["a"]), ValueError, ["no metric"]),
    ],
)
def test_compute_errors(config: dict[str, object], frames: tuple[object, ...], error: type, words: list[str]) -> None:
    data = [None if f is None else pd.DataFrame({"c": f}) for f in frames]
    with pytest.raises(error) as info:
        LLMMetricManager({"configuration": config}, **CONTEXT).compute(*data, **CONTEXT)
    assert all(w in str(info.value) for w in words)


def test_display_robustness_results(capsys: pytest.CaptureFixture[str]) -> None:
    results = {"typos": {"rouge1": 0.8125, "bleu": 0.5}, "paraphrase": {"rouge1": 0.6}}
    assert RobustnessMetrics.display_robustness_results(results) is None
    out = capsys.readouterr().out
    assert "typos" in out and "0.8125" in out and "paraphrase" in out
    with pytest.raises(TypeError):
        RobustnessMetrics.display_robustness_results(3)


words = st.lists(st.sampled_from(["a", "b", "c", "d", "e", "\n"]), max_size=12).map(" ".join)


@given(words, words)
def test_scores_are_bounded_and_symmetric_where_expected(pred: str, ref: str) -> None:
    rouge = text_scores.rouge_scores([pred, ref], [ref, pred])
    bleu = text_scores.bleu_scores([pred], [ref])
    scores = [*(s for values in rouge.values() for s in values), bleu.corpus, *bleu.records,
              *text_scores.overlap_scores(pred, ref)]
    assert all(0.0 <= s <= 1.0 + 1e-12 for s in scores)
    assert rouge["rougeL"][0] == pytest.approx(rouge["rougeL"][1])
    if pred.split():
        assert text_scores.rouge_scores([pred], [pred])["rougeLsum"] == [pytest.approx(1.0)]
        assert text_scores.bleu_scores([pred], [pred]).records == [pytest.approx(1.0)]


# ------------------------------------------------- configuration and platform


@pytest.mark.parametrize(
    "inner, expected",
    [
        ({"summarization": {"bleu": {"lowercase": True}}}, {"bleu": {"lowercase": True}}),
        ({"extraction": {"exact_match": None}, "generation": ["rouge1", "bleu"]},
         {"exact_match": {}, "rouge1": {}, "bleu": {}}),
        ({"question_answering": {"bleu": {}}, "generation": {"bleu": {}}}, {"bleu": {}}),
        ({"summarization": {"readability": {}}}, {"flesch_reading_ease": {}, "flesch_kincaid_grade": {}}),
        ({"generation": {"rouge_score": {"use_stemmer": True}}},
         {t: {"use_stemmer": True} for t in ("rouge1", "rouge2", "rougeL", "rougeLsum")}),
        ({"generation": {"rouge_score": {"rougeL": {"use_stemmer": True}, "rouge1": None}}},
         {"rougeL": {"use_stemmer": True}, "rouge1": {}}),
        ({"generation": {"rouge_score": ["rouge2", "rougeLsum"]}}, {"rouge2": {}, "rougeLsum": {}}),
    ],
)
def test_configuration_shapes(inner: dict[str, object], expected: dict[str, object]) -> None:
    metrics = LLMMetricManager({"configuration": inner}, **CONTEXT).metrics
    assert metrics == expected and list(metrics) == list(expected)


@pytest.mark.parametrize(
    "inner, words",
    [
        # Unknown task types, with the closest match and the valid ones.
        ({"genration": {"bleu": {}}}, ["'genration'", "did you mean 'generation'?", "summarization, generation"]),
        ({"rag": {"bleu": {}}}, ["did you mean 'retrieval_augmented_generation'?"]),
        ({"Summarization": {"bleu": {}}}, ["did you mean 'summarization'?"]),
        ({"bleu": {}}, ["'bleu'", "is a metric, not a task type", "question_answering"]),
        ({"xyz": {"bleu": {}}}, ["unknown task type 'xyz'", "extraction"]),
        # Unknown metric ids.
        ({"generation": {"bleuu": {}}}, ["'bleuu'", "did you mean 'bleu'?", "rouge_score, sacrebleu"]),
        ({"generation": {"ROUGEL": {}}}, ["did you mean 'rougeL'?"]),
        ({"generation": ["rouge_1"]}, ["did you mean 'rouge1'?"]),
        ({"generation": {"rouge_score": {"rouge1": {}, "rogueL": {}}}},
         ["'rogueL'", "group 'rouge_score'", "did you mean 'rougeL'?", "rouge1, rouge2, rougeL, rougeLsum"]),
        ({"generation": {"rouge_score": {"rouge1": {}, "use_stemmer": True}}},
         ["'use_stemmer'", "in each metric's dict"]),
        ({"generation": {"rouge_score": ["rouge1", "bleu"]}}, ["'bleu'", "not a metric of the group"]),
        # Metrics their catalogue entry does not give to the task type.
        ({"generation": {"exact_match": {}}},
         ["'exact_match'", "'generation'", "question_answering, extraction, retrieval_augmented_generation"]),
        ({"extraction": {"faithfulness": {}}}, ["'faithfulness'", "'extraction'"]),
        ({"summarization": {"context_relevance": {}}}, ["retrieval_augmented_generation"]),
    ],
)
def test_configuration_mistakes_name_valid_values(inner: dict[str, object], words: list[str]) -> None:
    with pytest.raises(ValueError) as info:
        LLMMetricManager({"configuration": inner}, **CONTEXT)
    assert all(w in str(info.value) for w in words), str(info.value)


@pytest.mark.parametrize(
    "configuration, error",
    [
        ({"generation": {"bleu": {}}}, ValueError),
        ({"configuration": [("bleu", {})]}, TypeError),
        ({"configuration": {"generation": "bleu"}}, TypeError),
        ({"configuration": {"generation": {"bleu": 3}}}, TypeError),
        ({"configuration": {"generation": {LLMMetricType.BLEU: {}}}}, TypeError),
        ({"configuration": {"question_answering": {"bleu": {"lowercase": True}}, "generation": {"bleu": {}}}},
         ValueError),
    ],
)
def test_configuration_refused(configuration: dict[str, object], error: type) -> None:
    with pytest.raises(error):
        LLMMetricManager(configuration)


def test_unknown_parameter_names_the_closest_and_the_accepted() -> None:
    with pytest.raises(ValueError) as info:
        manager("rouge_score", use_stemer=True).compute(None, frame("a"), frame("a"))
    assert "'use_stemer'" in str(info.value) and "did you mean 'use_stemmer'?" in str(info.value)
    assert "use_aggregator, use_stemmer" in str(info.value)


def test_authenticators_and_service() -> None:
    request: dict[str, dict[str, str]] = {}
    BearerTokenAuthenticator("tok").authenticate(request)
    assert request["headers"]["Authorization"] == "Bearer tok"
    iam = IAMAuthenticator("key")
    with pytest.raises(RuntimeError, match="access token"):
        iam.authenticate({})
    iam.set_access_token("t2")
    iam.authenticate(request)
    assert request["headers"]["Authorization"] == "Bearer t2"
    with pytest.raises(ValueError):
        BearerTokenAuthenticator("  ")
    service = BaseService(NoAuthAuthenticator(), "https://svc.example/")
    assert service.service_url == "https://svc.example"
    for bad in ("svc.example", "ftp://svc.example"):
        with pytest.raises(ValueError):
            BaseService(NoAuthAuthenticator(), bad)
    with pytest.raises(TypeError):
        BaseService("token", "https://svc.example")  # type: ignore[arg-type]


# Built per run, so that nothing a call leaves on the frame carries over
# between the repeated runs of the reference-leak mode.
@pytest.mark.parametrize(
    "make_results",
    [
        lambda: pd.DataFrame({"rouge1": [0.8125]}, index=pd.Index(["typos"])),
        lambda: [{"attack": "typos", "rouge1": 0.8125}],
    ],
    ids=["frame", "records"],
)
def test_display_robustness_other_shapes(
    make_results: Callable[[], object], capsys: pytest.CaptureFixture[str]
) -> None:
    RobustnessMetrics.display_robustness_results(make_results())
    out = capsys.readouterr().out
    assert "typos" in out and "0.8125" in out and "attack" in out


@pytest.mark.parametrize("blocked, words", [("rouge_score", ["ROUGE", "pip install rouge-score"]),
                                             ("sacrebleu.metrics.bleu", ["BLEU", "pip install sacrebleu"])])
def test_missing_library_is_named_with_its_install_command(
    blocked: str, words: list[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setitem(sys.modules, blocked, None)  # makes the import fail
    with pytest.raises(ImportError) as info:
        manager("rouge1", "bleu").compute(None, frame("a b"), frame("a b"))
    assert all(w in str(info.value) for w in words)


@pytest.mark.parametrize(
    "keyword, meant",
    [
        ("custom_evaluator", "custom_evaluators"),
        ("predictions_colum", "predictions_column"),
        ("servce_url", "service_url"),
        ("tag", None),  # a keyword for the caller's evaluators, passed on
        ("threshold", None),
    ],
)
def test_a_near_miss_of_a_known_keyword_is_refused_with_the_keyword_meant(keyword: str, meant: str | None) -> None:
    cfg = {"configuration": {"summarization": {"bleu": {}}}}
    if meant is None:
        assert LLMMetricManager(cfg, **CONTEXT, **{keyword: [len]}).kwargs[keyword] == [len]
        return
    with pytest.raises(TypeError, match=f"'{keyword}' \\(did you mean '{meant}'\\?\\)"):
        LLMMetricManager(cfg, **CONTEXT, **{keyword: [len]})
