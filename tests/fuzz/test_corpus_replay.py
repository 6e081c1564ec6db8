"""The fuzz targets' seed corpus (tests/fuzz/corpus/<target>/), replayed
against the installed module without atheris: each input drives the
extension and the plain-Python class alike and must end the same way in
both.  The inputs are the small set that covers what the fuzzer reached,
plus every input that once showed a difference, under a name that says
what it showed (see tools/robustness/README.md)."""

from __future__ import annotations

import importlib
from pathlib import Path
from typing import Any

import pytest
import fuzz_driver as fd
from fuzz_driver import rt

HERE = Path(__file__).resolve().parent
TARGETS = sorted(path.stem.removeprefix("fuzz_") for path in HERE.glob("fuzz_*.py") if path.stem != "fuzz_driver")
# A seed named "open-..." shows a difference not fixed yet: it must still
# fail (strict), so that its fix is noticed and the seed renamed.
SEEDS = [pytest.param(target, path, id=f"{target}/{path.name[:40]}", marks=[pytest.mark.xfail(
    raises=AssertionError, strict=True, reason="an open difference")] if path.name.startswith("open-") else [])
    for target in TARGETS for path in sorted((HERE / "corpus" / target).glob("*"))]


frozen_heap = pytest.fixture(scope="module", autouse=True)(rt.frozen_heap)


def test_every_target_has_a_seed_corpus() -> None:
    assert TARGETS
    assert {seed.values[0] for seed in SEEDS} == set(TARGETS)


# Untracked in the reference-leak mode: a seed rebuilds the re-entrancy
# world, whose plugin is imported afresh on every run and leaves the import
# system's caches a little larger each time.  The sanitizer mode and the
# fuzz build run these inputs under AddressSanitizer.
@pytest.mark.no_refleak
@pytest.mark.parametrize("target, path", SEEDS)
def test_seed_ends_alike_in_both_implementations(target: str, path: Path) -> None:
    importlib.import_module(f"fuzz_{target}").one_input(path.read_bytes())


def test_reentrancy_seeds_name_what_they_exercise(monkeypatch: pytest.MonkeyPatch) -> None:
    target = importlib.import_module("fuzz_reentrancy")
    seeds = sorted((HERE / "corpus" / "reentrancy").glob("*"))
    meant = [target.decode(path.read_bytes()) for path in seeds]
    # An entry added at the front of every table re-targets no seed.
    monkeypatch.setattr(rt, "CALLS", {"aaa added": None, **rt.CALLS})
    monkeypatch.setattr(rt, "MUTATIONS", {"aaa added": None, **rt.MUTATIONS})
    assert [target.decode(path.read_bytes()) for path in seeds] == meant
    monkeypatch.undo()
    # A seed whose call no longer exists fails, naming it.
    call, point, occurrence, chosen = meant[0]
    renamed = fd.name_bytes(call + " renamed", point, *chosen)
    with pytest.raises(AssertionError, match=f"names the call '{call} renamed', which is not one of"):
        target.one_input(renamed)


def test_a_call_that_reaches_no_hand_off_point_is_refused(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(rt.CALLS, "reaches nothing", lambda world: None)
    with pytest.raises(ValueError, match="'reaches nothing' of reentrancy_support.CALLS reaches no hand-off point"):
        importlib.import_module("fuzz_reentrancy").one_input(fd.name_bytes("reaches nothing", "x", "y"))
