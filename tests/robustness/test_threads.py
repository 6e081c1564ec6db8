"""Eight threads calling every public method at once, on one shared instance
and on instances of their own, with the interpreter switching threads as
often as it can.  Every result is checked as it comes back; a thread that
does not finish in time fails the test.

Stand-ins: a cheap manager, robustness display and catalogue in sys.modules,
a Table that prints one marker line, and a standard output that keeps each
thread's text apart.  More iterations with
LLM_METRICS_HYPOTHESIS_PROFILE=deep.
"""

from __future__ import annotations

import os
import sys
import threading
import time
import traceback
from typing import Any

import pytest

import robust_support as rs
from fakes import MANAGER_KEYS, make_catalogue, metric

THREADS = 8
ITERATIONS = 30000 if os.environ.get("LLM_METRICS_HYPOTHESIS_PROFILE") == "deep" else 3000
JOIN_TIMEOUT = 120.0 if ITERATIONS < 1000 else 900.0
# What compute() receives for compute_metrics(..., tag=..., origin="caller"):
# the caller's keywords in their order ("origin" overwritten in place), then
# the manager keywords added.
COMPUTE_KEYWORDS = ["tag", "origin", *(key for key in MANAGER_KEYS if key != "origin")]


class PerThreadWriter:
    """sys.stdout for the test: each thread's text is kept apart."""

    def __init__(self) -> None:
        self.local = threading.local()

    def write(self, text: str) -> int:
        parts = getattr(self.local, "parts", None)
        if parts is None:
            parts = self.local.parts = []
        parts.append(text)
        return len(text)

    def flush(self) -> None:
        pass

    def take(self) -> str:
        text = "".join(getattr(self.local, "parts", ()))
        self.local.parts = []
        return text


class MarkerTable:
    def __init__(self, headers: Any, record: Any) -> None:
        self.headers = headers
        self.record = record

    def list(self, *, title: Any) -> None:
        print(f"[table] {title} {list(self.headers)} {[row[0] for row in self.record]}")


class Manager:
    def __init__(self, configuration: Any, **kwargs: Any) -> None:
        self.configuration = configuration

    def compute(self, sources: Any, predictions: Any, references: Any, **kwargs: Any) -> dict[str, Any]:
        return {"plugin": self.configuration["id"], "tag": kwargs.get("tag"), "keys": list(kwargs)}

    def get_metrics_result(self, metrics_result: Any, **kwargs: Any) -> Any:
        return (metrics_result, kwargs.get("tag"), kwargs["origin"])


class Robustness:
    @staticmethod
    def display_robustness_results(results: Any) -> Any:
        return results


def entities_module() -> Any:
    return make_catalogue("plain", tasks=["summarization", "qa"], metrics=[
        metric("rouge_score", ["summarization"], sub_metrics=["rouge1", "rouge2"]),
        metric("bleu", ["qa", "summarization"], sub_metrics=None),
    ], subs=[
        metric("rouge1", ["summarization"], metrics_group="rouge_score"),
        metric("rouge2", ["summarization", "qa"], ref=True, metrics_group="rouge_score"),
    ]).module


KEY_SEARCH = vars(rs.native.LLMMetrics)["_LLMMetrics__is_key_present"]

BROWSER_CALLS: list[dict[str, Any]] = [
    {},
    {"task_type": "qa"},
    {"metric_id": "rouge1"},
    {"metric_group": "rouge_score"},
    {"task_type": "summarization", "metric_id": "bleu"},
    {"metric_group": "rouge_score", "metric_id": "bleu"},
    {"metric_id": "nope"},
    {"task_type": "nope"},
    {"metric_group": "bleu"},
]


def nested(depth: int, key: str) -> dict[str, Any]:
    config: dict[str, Any] = {key: 1}
    for level in range(depth):
        config = {f"level{level}": config, "leaf": [level]}
    return config


def worker(index: int, shared: Any, client: Any, writer: PerThreadWriter, expected_browser: list[str],
           barrier: threading.Barrier, failures: list[str], done: list[int]) -> None:
    try:
        own = rs.native.LLMMetrics(client)
        barrier.wait()
        for i in range(ITERATIONS):
            obj = shared if i % 2 else own
            tag = (index, i)
            configuration = {"id": tag}

            def evaluator(sources: Any, predictions: Any, references: Any, **kwargs: Any) -> dict[str, Any]:
                assert kwargs["tag"] == tag and kwargs["origin"] == "sdk"
                return {"custom": tag}

            result = obj.compute_metrics(configuration, custom_evaluators=[evaluator], tag=tag, origin="caller")
            assert result == {"plugin": tag, "tag": tag, "keys": COMPUTE_KEYWORDS, "custom": tag}, result

            assert obj.get_metrics_result(configuration, metrics_result=tag, tag=tag) == (tag, tag, "sdk")
            assert obj.display_result(tag) is tag

            form = i % len(BROWSER_CALLS)
            writer.take()
            assert obj.show_supported_metrics(**BROWSER_CALLS[form]) is None
            assert writer.take() == expected_browser[form], (form, BROWSER_CALLS[form])

            depth = i % 40
            if i % 100 == 7:
                # Nested levels through a replacement on this thread's own
                # instance, while the other threads search in place.
                own._LLMMetrics__is_key_present = rs.reference_is_key_present
            if index == 0 and i % 100 == 0:
                # Changes the class (same function back): every cached lookup
                # of the method is invalidated while the others search.
                rs.native.LLMMetrics._LLMMetrics__is_key_present = KEY_SEARCH
            searched_by = own if i % 100 == 7 else obj
            found = KEY_SEARCH.__get__(searched_by)
            assert found(nested(depth, f"k{index}"), f"k{index}") is True
            assert found(nested(depth, "other"), f"k{index}") is False
            if i % 100 == 7:
                del own._LLMMetrics__is_key_present

            try:
                obj.compute_metrics(None)
            except TypeError as exc:
                assert str(exc) == "Argument 'configuration' has incorrect type (expected dict, got NoneType)"
            else:
                raise AssertionError("no TypeError")
            try:
                obj.display_result()
            except TypeError as exc:
                assert str(exc) == "display_result() takes exactly 2 positional arguments (1 given)"
            else:
                raise AssertionError("no TypeError")

            if i % 50 == 0:
                loop: dict[str, Any] = {}
                loop["again"] = {"x": loop}
                try:
                    obj._LLMMetrics__is_key_present(loop, "missing")
                except RecursionError:
                    pass
                else:
                    raise AssertionError("no RecursionError")
                own = rs.native.LLMMetrics(client)
                assert own.is_bearer_token is True
        done.append(index)
    except BaseException:
        failures.append(f"thread {index}:\n{traceback.format_exc()}")
        barrier.abort()


@pytest.mark.no_refleak
def test_eight_threads_call_every_method_at_once() -> None:
    writer = PerThreadWriter()
    client = rs.make_client()
    shared = rs.native.LLMMetrics(client)
    modules = {
        rs.MANAGER: rs.fake_module(rs.MANAGER, LLMMetricManager=Manager),
        rs.ROBUSTNESS: rs.fake_module(rs.ROBUSTNESS, RobustnessMetrics=Robustness),
        rs.ENTITIES: entities_module(),
    }
    saved_stdout, saved_interval = sys.stdout, sys.getswitchinterval()
    failures: list[str] = []
    done: list[int] = []
    with rs.patched(modules, {"Table": MarkerTable}):
        sys.stdout = writer
        try:
            # The expected text of each browser call, from one thread, and the
            # same from the plain-Python body.
            expected = []
            for kwargs in BROWSER_CALLS:
                writer.take()
                shared.show_supported_metrics(**kwargs)
                expected.append(writer.take())
                rs.baseline.LLMMetrics(client).show_supported_metrics(**kwargs)
                assert writer.take() == expected[-1]

            barrier = threading.Barrier(THREADS)
            threads = [threading.Thread(target=worker, args=(n, shared, client, writer, expected, barrier, failures, done),
                                        name=f"llm-metrics-{n}", daemon=True) for n in range(THREADS)]
            sys.setswitchinterval(1e-6)
            for thread in threads:
                thread.start()
            deadline = time.monotonic() + JOIN_TIMEOUT
            for thread in threads:
                thread.join(max(0.0, deadline - time.monotonic()))
            stuck = [thread.name for thread in threads if thread.is_alive()]
        finally:
            sys.setswitchinterval(saved_interval)
            sys.stdout = saved_stdout
    assert not stuck, f"threads still running after {JOIN_TIMEOUT} s: {stuck}"
    assert not failures, "\n".join(failures)
    assert sorted(done) == list(range(THREADS))
    assert rs.native.LLMMetrics.compute_metrics.__defaults__[3] == []
