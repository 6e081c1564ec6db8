"""The browser's shortcuts (shared function texts, reads of plain catalogue
members) leave every call looking exactly as if it ran the long way."""

from __future__ import annotations

import gc
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "browser"))

import browser_fakes as bf  # noqa: E402


def _nested_functions(llm_metrics) -> list:
    function_type = type(llm_metrics.LLMMetrics.show_supported_metrics)
    return [f for f in gc.get_objects() if type(f) is function_type and "<locals>" in f.__qualname__]


def test_renaming_nested_functions_during_a_call_does_not_leak_into_the_next(llm_metrics, client, monkeypatch):
    bf.install(monkeypatch, llm_metrics, bf.make_catalogue("plain"))
    seen: list = []

    class RenamingTable(bf.RecordingTable):
        def list(self, *, title):
            if not seen[-1]:
                for fn in _nested_functions(llm_metrics):
                    seen[-1].append((fn.__name__, fn.__qualname__))
                    fn.__name__, fn.__qualname__ = "renamed", "renamed.qualname"
            super().list(title=title)

    monkeypatch.setattr(llm_metrics, "Table", RenamingTable)
    metrics = llm_metrics.LLMMetrics(client)
    for _ in range(2):
        seen.append([])
        metrics.show_supported_metrics()
    assert len(seen[0]) == 8 and sorted(seen[0]) == sorted(seen[1])
    assert all(q == "LLMMetrics.show_supported_metrics.<locals>." + n for n, q in seen[0])
