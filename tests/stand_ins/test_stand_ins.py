"""Contracts of the platform, kit and metrics-plugin packages that the
compiled LLM metrics module relies on."""

from __future__ import annotations

from collections.abc import Callable

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
)
from zel_metrics_plugin.metrics.llm.core.llm_metrics_manager import LLMMetricManager
from zel_metrics_plugin.metrics.llm.core import text_scores
from zel_metrics_plugin.metrics.llm.core.text_scores import bleu, rouge_lsum
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
    cfg = {"configuration": {"generation": {m: dict(params) for m in metrics}}}
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
    assert (entry["min"], entry["max"]) == (min(expected), max(expected))


def test_group_expands_and_stemmer_applies() -> None:
    m = manager("rouge_score", use_stemmer=True, use_aggregator=True)
    result = m.compute(None, frame("cats running"), frame("cat run"))
    assert set(result) == {"rouge1", "rouge2", "rougeL", "rougeLsum"}
    assert result["rouge1"]["metric_value"] == 1.0


def test_corpus_bleu_pools_counts_and_penalises_brevity() -> None:
    assert bleu(["a b c d"], ["a b c d e f g h"]) < bleu(["a b c d"], ["a b c d"]) == 1.0
    assert bleu([""], ["a"]) == 0.0
    assert rouge_lsum("a b\nc d", "c d\na b") == 1.0


@pytest.mark.parametrize(
    "shape",
    [
        {"faithfulness": {}},
        {"rag": {"qa_group": {"faithfulness": None}}},
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
        ({"generation": {"bleuu": {}}}, (None, ["a"], ["a"]), ValueError, ["bleuu"]),
        ({"generation": {"bleu": {"n": 2}}}, (None, ["a"], ["a"]), ValueError, ["'n'"]),
        ({"generation": {"bleu": {}}}, (None, ["a"], None), ValueError, ["references", "bleu"]),
        ({"faithfulness": {}}, (None, ["a"], None), ValueError, ["sources"]),
        ({"bleu": {}}, (None, ["a", "b"], ["a"]), ValueError, ["same number of rows"]),
        ({"bleu": {}}, (None, [], []), ValueError, ["no rows"]),
        ({"bleu": {}}, (None, [1], ["a"]), TypeError, ["row 0", "int"]),
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
    scores = [
        text_scores.rouge_n(pred, ref, 1),
        text_scores.rouge_n(pred, ref, 2),
        text_scores.rouge_l(pred, ref),
        text_scores.rouge_lsum(pred, ref),
        text_scores.bleu([pred], [ref]),
        *text_scores.overlap_scores(pred, ref),
    ]
    assert all(0.0 <= s <= 1.0 + 1e-12 for s in scores)
    assert text_scores.rouge_l(pred, ref) == pytest.approx(text_scores.rouge_l(ref, pred))
    if pred.split():
        assert text_scores.rouge_lsum(pred, pred) == pytest.approx(1.0)
        assert text_scores.bleu([pred], [pred]) == pytest.approx(1.0)


# ------------------------------------------------- configuration and platform


@pytest.mark.parametrize(
    "inner, expected",
    [
        ({"summarization": {"bleu": {"smooth": False}}}, {"bleu": {"smooth": False}}),
        ({"rag": {"lexical": {"exact_match": {}}}}, {"exact_match": {}}),
        ({"exact_match": None, "generation": ["rouge1", "bleu"]},
         {"exact_match": {}, "rouge1": {}, "bleu": {}}),
        ({"qa": {"bleu": {}}, "generation": {"bleu": {}}}, {"bleu": {}}),
        ({"readability": {}}, {"flesch_reading_ease": {}, "flesch_kincaid_grade": {}}),
    ],
)
def test_configuration_shapes(inner: dict[str, object], expected: dict[str, object]) -> None:
    assert LLMMetricManager({"configuration": inner}, **CONTEXT).metrics == expected


@pytest.mark.parametrize(
    "configuration, error",
    [
        ({"generation": {"bleu": {}}}, ValueError),
        ({"configuration": [("bleu", {})]}, TypeError),
        ({"configuration": {"bleu": 3}}, TypeError),
        ({"configuration": {"qa": {"bleu": {"smooth": True}}, "gen": {"bleu": {}}}}, ValueError),
    ],
)
def test_configuration_refused(configuration: dict[str, object], error: type) -> None:
    with pytest.raises(error):
        LLMMetricManager(configuration)


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
