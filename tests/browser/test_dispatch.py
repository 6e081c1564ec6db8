"""Every call form of show_supported_metrics: tables, rows, titles, printed
lines and the footer, on small catalogues of Enum members and of plain objects."""

from __future__ import annotations

import pytest

import fakes as bf
from fakes import (
    ALL_GROUPS_TITLE,
    ALL_METRICS_TITLE,
    ALL_TASK_TYPES_TITLE,
    DETAIL_HEADERS,
    FOOTER,
    HEADERS,
    red,
    table_line,
)

SORTED_IDS = ["aux", "bleu", "faithfulness", "flesch", "readability", "rouge1", "rouge2", "rouge_score"]


@pytest.fixture(params=["enum", "plain"])
def catalogue(request, llm_metrics, monkeypatch):
    cat = bf.make_catalogue(request.param)
    bf.install(monkeypatch, llm_metrics, cat)
    return cat


@pytest.fixture
def show(llm_metrics, client, capsys):
    obj = llm_metrics.LLMMetrics(client)

    def run(*args, **kwargs):
        capsys.readouterr()
        bf.RecordingTable.calls = []
        result = obj.show_supported_metrics(*args, **kwargs)
        assert result is None
        return capsys.readouterr().out, bf.RecordingTable.calls

    return run


def ids(call) -> list:
    return [row[0] for row in call.record]


def test_configuration_footer_texts() -> None:
    assert len(bf.CONFIGURATION_STRUCTURE) == 817
    assert len(bf.FOOTER_HEADING) == 51
    assert bf.CONFIGURATION_STRUCTURE.startswith("\n") and bf.CONFIGURATION_STRUCTURE.endswith("\n" + " " * 16)
    assert bf.CONFIGURATION_STRUCTURE.count("\n") == 10


def test_full_catalogue(catalogue, show) -> None:
    out, calls = show()
    assert out == table_line(ALL_METRICS_TITLE) + table_line(ALL_TASK_TYPES_TITLE) + table_line(ALL_GROUPS_TITLE) + FOOTER
    metrics, tasks, groups = calls
    assert metrics.headers == HEADERS and ids(metrics) == SORTED_IDS
    rows = {row[0]: row for row in metrics.record}
    member = catalogue.member
    # Cells are the plugin's own objects; None where metrics_group is absent or None.
    assert rows["bleu"] == ["bleu", None, ["generation", "qa"], "No"]
    assert rows["bleu"][2] is member("bleu").supported_tasks
    assert rows["rouge1"] == ["rouge1", "rouge_score", member("rouge1").supported_tasks, "No"]
    assert rows["readability"][3] == "Yes" and rows["faithfulness"][3] == "Yes"
    assert rows["aux"][1:] == [None, ["generation"], "No"]
    assert all(type(row) is list and len(row) == 4 for row in metrics.record)
    assert (tasks.headers, tasks.record) == (["Task Type(s)"], [["summarization"], ["generation"], ["qa"]])
    assert groups.headers == ["Metric Group"] and sorted(groups.record) == [["readability"], ["rouge_score"]]


VALIDATION_FAILURES = [
    # kwargs, error line, title of the table that follows, its headers
    (dict(metric_id="nope"), "The metric: nope is not valid.", ALL_METRICS_TITLE, HEADERS),
    (dict(metric_id="BLEU"), "The metric: BLEU is not valid.", ALL_METRICS_TITLE, HEADERS),
    (dict(metric_id=" bleu"), "The metric:  bleu is not valid.", ALL_METRICS_TITLE, HEADERS),
    (dict(task_type="nope"), "The task type: nope is not valid.", ALL_TASK_TYPES_TITLE, ["Task Type(s)"]),
    (dict(task_type="Generation"), "The task type: Generation is not valid.", ALL_TASK_TYPES_TITLE,
     ["Task Type(s)"]),
    (dict(metric_group="nope"), "The metric group: nope is not valid.", ALL_GROUPS_TITLE, ["metric group"]),
    # Only the first failing check is reported.
    (dict(task_type="nope", metric_id="nope", metric_group="nope"), "The metric: nope is not valid.",
     ALL_METRICS_TITLE, HEADERS),
    (dict(task_type="nope", metric_group="nope"), "The task type: nope is not valid.", ALL_TASK_TYPES_TITLE,
     ["Task Type(s)"]),
    (dict(task_type="generation", metric_group="nope"), "The metric group: nope is not valid.",
     ALL_GROUPS_TITLE, ["metric group"]),
    (dict(task_type=["generation"]), "The task type: ['generation'] is not valid.", ALL_TASK_TYPES_TITLE,
     ["Task Type(s)"]),
    (dict(metric_id=5), "The metric: 5 is not valid.", ALL_METRICS_TITLE, HEADERS),
]


@pytest.mark.parametrize(("kwargs", "message", "title", "headers"), VALIDATION_FAILURES)
def test_validation_failure_prints_error_and_valid_values_without_footer(catalogue, show, kwargs, message, title,
                                                                           headers) -> None:
    out, calls = show(**kwargs)
    assert out == red(message) + table_line(title)
    assert [c.headers for c in calls] == [headers]
    if headers == ["metric group"]:
        assert sorted(calls[0].record) == [["readability"], ["rouge_score"]]


def test_task_type_member_given_as_metric_id_is_not_converted(catalogue, show) -> None:
    member = list(catalogue.tasks)[1]
    out, _ = show(metric_id=member)
    assert out == red(f"The metric: {member} is not valid.") + table_line(ALL_METRICS_TITLE)


def test_unhashable_ids_raise_type_error(catalogue, show) -> None:
    with pytest.raises(TypeError, match="unhashable"):
        show(metric_id=["bleu"])
    with pytest.raises(TypeError, match="unhashable"):
        show(metric_group=["rouge_score"])


GEN_IDS = ["aux", "bleu", "rouge1", "rouge2", "rouge_score"]

VIEWS = [
    # (args, kwargs), expected lines (str: printed line; tuple: (table title, headers, row ids))
    ((), dict(task_type="generation"),
     [("Metrics supported by the generation task type:", HEADERS, GEN_IDS)]),
    (("generation",), {}, [("Metrics supported by the generation task type:", HEADERS, GEN_IDS)]),
    ((), dict(metric_id="bleu"),
     [("The bleu metric supports the following task type(s):", DETAIL_HEADERS, ["bleu"])]),
    ((None, "rouge1"), {}, [("The rouge1 metric supports the following task type(s):", DETAIL_HEADERS, ["rouge1"])]),
    ((), dict(metric_group="rouge_score"),
     [("Metrics that come under the rouge_score metric group are:", HEADERS, ["rouge2", "rouge1"])]),
    # A metric that is no group: red line, its details, the groups.
    ((), dict(metric_group="bleu"),
     [red("Metric group bleu does not have any sub_metrics."), ("bleu metric details:", HEADERS, ["bleu"]),
      (ALL_GROUPS_TITLE, ["Metric Group"], None)]),
    ((), dict(metric_group="flesch"),
     [red("Metric group flesch does not have any sub_metrics."), ("flesch metric details:", HEADERS, ["flesch"]),
      (ALL_GROUPS_TITLE, ["Metric Group"], None)]),
    ((), dict(task_type="generation", metric_id="bleu"),
     ["The bleu metric is supported by the generation task type.\n", ("bleu metric details:", HEADERS, ["bleu"])]),
    ((), dict(task_type="generation", metric_id="faithfulness"),
     [red("Metric faithfulness is not supported for the task type: generation"),
      ("Metrics supported by the generation task type:", HEADERS, GEN_IDS)]),
    ((), dict(metric_group="rouge_score", metric_id="rouge1"),
     ["rouge1 metric comes under the rouge_score metric group.\n", ("rouge1 metric details:", HEADERS, ["rouge1"])]),
    ((), dict(metric_group="rouge_score", metric_id="bleu"),
     [red("Metric bleu does not come under the metric group: rouge_score"),
      ("Metrics that come under the rouge_score metric group are:", HEADERS, ["rouge2", "rouge1"])]),
    # A group without sub_metrics (None, or no attribute): no membership message.
    ((), dict(metric_group="bleu", metric_id="rouge1"),
     [red("Metric group bleu does not have any sub_metrics."), ("bleu metric details:", HEADERS, ["bleu"]),
      (ALL_GROUPS_TITLE, ["Metric Group"], None)]),
    ((), dict(metric_group="faithfulness", metric_id="bleu"),
     [red("Metric group faithfulness does not have any sub_metrics."),
      ("faithfulness metric details:", HEADERS, ["faithfulness"]), (ALL_GROUPS_TITLE, ["Metric Group"], None)]),
    # Form 7: the group plays no part once it is valid.
    ((), dict(task_type="qa", metric_group="rouge_score"),
     [("Metrics supported by the qa task type:", HEADERS, ["bleu", "faithfulness"])]),
    # Form 8: as form 5.
    (("qa", "faithfulness", "rouge_score"), {},
     ["The faithfulness metric is supported by the qa task type.\n",
      ("faithfulness metric details:", HEADERS, ["faithfulness"])]),
    ((), dict(task_type="summarization", metric_id="aux", metric_group="readability"),
     [red("Metric aux is not supported for the task type: summarization"),
      ("Metrics supported by the summarization task type:", HEADERS,
       ["flesch", "readability", "rouge1", "rouge2", "rouge_score"])]),
]


@pytest.mark.parametrize(("args", "kwargs", "expected"), VIEWS)
def test_views_end_with_one_footer(catalogue, show, args, kwargs, expected) -> None:
    out, calls = show(*args, **kwargs)
    text = "".join(e if isinstance(e, str) else table_line(e[0]) for e in expected)
    assert out == text + FOOTER
    tables = [e for e in expected if not isinstance(e, str)]
    assert [(c.title, c.headers) for c in calls] == [(t[0], t[1]) for t in tables]
    for call, (_, _, row_ids) in zip(calls, tables):
        if row_ids is not None:
            assert ids(call) == row_ids


@pytest.mark.parametrize(
    ("member_args", "value_args"),
    [
        (lambda c: dict(task_type=c.member_of(c.tasks, "generation")), dict(task_type="generation")),
        (lambda c: dict(metric_id=c.member("bleu")), dict(metric_id="bleu")),
        (lambda c: dict(metric_id=c.member("rouge1"), metric_group=c.member("rouge_score")),
         dict(metric_id="rouge1", metric_group="rouge_score")),
        (lambda c: dict(task_type=c.member_of(c.tasks, "qa"), metric_id=c.member("flesch")),
         dict(task_type="qa", metric_id="flesch")),
    ],
)
def test_members_behave_as_their_values(catalogue, show, member_args, value_args) -> None:
    catalogue.member_of = lambda cls, value: next(m for m in cls if m.value == value)
    by_member = show(**member_args(catalogue))
    by_member = (by_member[0], [(c.headers, c.record, c.title) for c in by_member[1]])
    by_value = show(**value_args)
    assert by_member == (by_value[0], [(c.headers, c.record, c.title) for c in by_value[1]])


def test_equal_but_distinct_ids_are_accepted(catalogue, show) -> None:
    class Id(str):
        pass

    out, calls = show(metric_group=Id("rouge_score"))
    assert out.startswith(table_line("Metrics that come under the rouge_score metric group are:"))
