"""Every call form of show_supported_metrics, on small catalogues of Enum
members and of plain objects: the printed text and the tables (headers, rows
of the plugin's own objects, titles) are the plain-Python oracle's, so that
no expected text is written here."""

from __future__ import annotations

import pathlib
import re
import sys

import pytest

import fakes as bf
from llm_metrics_testing import oracle


@pytest.fixture(params=["enum", "plain"])
def catalogue(request, llm_metrics, monkeypatch):
    cat = bf.make_catalogue(request.param)
    bf.install(monkeypatch, llm_metrics, cat, oracle)
    return cat


@pytest.fixture
def show(llm_metrics, client):
    def run(*args, **kwargs) -> bf.Shown:
        return bf.shown_as_by_the_oracle(llm_metrics, oracle, client, *args, **kwargs)

    return run


def test_configuration_footer_texts() -> None:
    assert len(bf.CONFIGURATION_STRUCTURE) == 817
    assert len(bf.FOOTER_HEADING) == 51
    assert bf.CONFIGURATION_STRUCTURE.startswith("\n") and bf.CONFIGURATION_STRUCTURE.endswith("\n" + " " * 16)
    assert bf.CONFIGURATION_STRUCTURE.count("\n") == 10


# Arguments the checks refuse: a red line and the valid values, no footer.
REFUSED = [
    ((), dict(metric_id="nope")),
    ((), dict(metric_id="BLEU")),  # ids are compared exactly
    ((), dict(metric_id=" bleu")),
    ((), dict(task_type="nope")),
    ((), dict(task_type="Generation")),
    ((), dict(metric_group="nope")),
    # Only the first failing check is reported: metric, task type, group.
    ((), dict(task_type="nope", metric_id="nope", metric_group="nope")),
    ((), dict(task_type="nope", metric_group="nope")),
    ((), dict(task_type="generation", metric_group="nope")),
    ((), dict(task_type=["generation"])),
    ((), dict(metric_id=5)),
]

# Arguments that reach a view: it ends with the footer.
VIEWS = [
    ((), {}),  # the full catalogue
    ((), dict(task_type="generation")),
    (("generation",), {}),
    ((), dict(metric_id="bleu")),
    ((None, "rouge1"), {}),
    ((), dict(metric_group="rouge_score")),
    # A metric that is no group: red line, its details, the groups.
    ((), dict(metric_group="bleu")),
    ((), dict(metric_group="flesch")),
    ((), dict(task_type="generation", metric_id="bleu")),
    ((), dict(task_type="generation", metric_id="faithfulness")),
    ((), dict(metric_group="rouge_score", metric_id="rouge1")),
    ((), dict(metric_group="rouge_score", metric_id="bleu")),
    # A group without sub_metrics (None, or no attribute): no membership message.
    ((), dict(metric_group="bleu", metric_id="rouge1")),
    ((), dict(metric_group="faithfulness", metric_id="bleu")),
    # The group plays no part once it is valid and a task type is given.
    ((), dict(task_type="qa", metric_group="rouge_score")),
    (("qa", "faithfulness", "rouge_score"), {}),
    ((), dict(task_type="summarization", metric_id="aux", metric_group="readability")),
]


@pytest.mark.parametrize(("args", "kwargs"), REFUSED)
def test_refused_arguments_print_what_the_oracle_prints_and_no_footer(catalogue, show, args, kwargs) -> None:
    shown = show(*args, **kwargs)
    assert bf.FOOTER_HEADING not in shown.out and len(shown.calls) == 1


@pytest.mark.parametrize(("args", "kwargs"), VIEWS)
def test_views_print_what_the_oracle_prints_and_end_with_one_footer(catalogue, show, args, kwargs) -> None:
    shown = show(*args, **kwargs)
    assert shown.out.endswith(bf.FOOTER) and shown.out.count(bf.FOOTER_HEADING) == 1


def test_the_call_forms_reach_every_nested_function_of_the_oracle(catalogue, client) -> None:
    # So that a new view is compared above: the call with no argument reaches
    # those its row shows with the full catalogue; another needs its call form in VIEWS.
    show = oracle.LLMMetrics.show_supported_metrics.__code__
    codes = {c for c in show.co_consts if hasattr(c, "co_name") and c.co_name != "<lambda>"}

    def reached_by(forms) -> set:
        reached: set = set()

        def profile(frame, event, arg):
            if event == "call" and frame.f_code in codes:
                reached.add(frame.f_code.co_name)

        sys.setprofile(profile)
        try:
            for args, kwargs in forms:
                bf.shown_by(oracle, client, *args, **kwargs)
        finally:
            sys.setprofile(None)
        return reached

    header = pathlib.Path(__file__).resolve().parents[2] / "src/llm_metrics/browser/browser_scope.hpp"
    shown = {"__" + name for name in
             re.findall(r"^\s*X\((\w+),[^\n]*kFullCatalogue", header.read_text(), re.MULTILINE)}
    for name in sorted(shown - reached_by([((), {})])):
        pytest.fail(f"tests/support/baseline_llm_metrics.py: show_supported_metrics() with no argument never "
                    f"calls {name}, which its row ({header.name}) shows with the full catalogue: add the call "
                    f"{name}() to the oracle where the full catalogue is shown")
    missing = {c.co_name for c in codes} - reached_by(REFUSED + VIEWS)
    assert not missing, (
        f"no call form of tests/browser/test_dispatch.py's VIEWS reaches {sorted(missing)}: add the "
        f"arguments that show it to VIEWS, or, if VIEWS has them, the call of it to the oracle's "
        f"show_supported_metrics (tests/support/baseline_llm_metrics.py)")


def test_task_type_member_given_as_metric_id_is_not_converted(catalogue, show) -> None:
    member = list(catalogue.tasks)[1]
    assert str(member) in show(metric_id=member).out


def test_unhashable_ids_raise_type_error(catalogue, show) -> None:
    with pytest.raises(TypeError, match="unhashable"):
        show(metric_id=["bleu"])
    with pytest.raises(TypeError, match="unhashable"):
        show(metric_group=["rouge_score"])


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
    by_value = show(**value_args)
    assert by_member.out == by_value.out
    assert [(c.headers, c.record, c.title) for c in by_member.calls] == [
        (c.headers, c.record, c.title) for c in by_value.calls]


def test_equal_but_distinct_ids_are_accepted(catalogue, show) -> None:
    class Id(str):
        pass

    assert show(metric_group=Id("rouge_score")).calls[0].record
