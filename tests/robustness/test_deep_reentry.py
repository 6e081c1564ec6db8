"""Re-entrant chains: deep ones end in RecursionError, never in a crash; where
the stack holds them, they end where plain Python ends them; shallow ones run
on any stack plain Python runs on.

Every path where a stand-in calls back into the class is nested until
something stops it, with the recursion limit at its default and raised far
past what the native stack could hold: in the main thread, in a thread of
the default size, in small threads (256 KiB to 1 MiB), in a main thread
started with a 1 MiB stack, after RLIMIT_STACK was raised at run time, and
(from 3.14, which lets a fiber library declare it) on a fiber's stack.  Each
run is a fresh interpreter: a crash fails the row instead of killing the test
session.  The module stops a chain earlier than plain Python where its levels
take more native stack than there is (a level of plain Python takes none);
either ends with a RecursionError in the interpreter's words, or with the
error a handler of the class raises from one (where the limit is reached
inside its import of the manager).

Where the stack is large enough, the recursion limit alone ends a chain: a
call of a method counts as one Python frame, so an evaluator chain and the
key search end at plain Python's depth, in the main thread, in a thread and
in a greenlet.  (Other paths run more Python frames per level in the plain
class, whose display and listing are nested functions.)

A few levels of each path run alike on a small thread stack and on a stack of
its own (as coroutine and fiber libraries switch to), in the main thread and
in a worker.

Under the sanitizer (./dev asan), whose frames are several times larger, the
main thread and threads of the default size get a larger stack (asan.sh).
"""

from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

from deep_reentry import IMPLS, LIMITS, OWN_STACKS, PATHS
from llm_metrics_testing import EMULATED, RUN_PYTHON_TIMEOUT, SANITIZED

try:
    import greenlet
except ImportError:  # tests that run chains in greenlets skip
    greenlet = None

SCRIPT = Path(__file__).resolve().parents[1] / "support" / "deep_reentry.py"

DEEP = [("main", limit) for limit in LIMITS] + [("thread", 100_000), ("rlimit-raised", 100_000)]
# Stacks smaller than a chain at the default limit needs.
SMALL = [("thread-256", 1_000), ("thread-512", 1_000), ("thread-1024", 1_000), ("thread-1024", 100_000),
         ("ulimit-1024", 1_000), ("ulimit-1024", 100_000), ("fiber-declared", 100_000)]
# Where the recursion limit alone ends a chain.
EXACT = [("main", 50), ("main", 1_000), ("thread", 1_000), ("thread-huge", 10_000), ("thread-huge", 100_000),
         ("greenlet", 1_000)]
EXACT_PATHS = ("evaluator", "key_search_plain")
# How many levels of the interpreter's loop called from C 3.13 allows (half
# its C recursion allowance: 10,000, or 500 in a debug build); from 3.14
# only the stack limits them.
if sys.version_info >= (3, 14):
    LOOPS_CALLED_FROM_C = sys.maxsize
else:
    LOOPS_CALLED_FROM_C = 250 if hasattr(sys, "gettotalrefcount") else 5_000
# The small stacks the sanitizer runs every path on: a small thread, and a
# declared fiber (3.14+).
SANITIZED_SMALL = [("thread-256", 1_000), ("fiber-declared", 100_000)]
# The paths whose deep chains the sanitizer runs (each of its rows takes
# minutes there); the others end on the small stacks only.
SANITIZED_DEEP_PATHS = ("table", "evaluator", "validate_type", "manager", "display", "key_search")
SHALLOW = ["thread-64", "fiber", "fiber-thread"]
SHALLOW_LEVELS = 4
# RecursionError as the interpreter words it: the recursion limit's text, or
# (3.14 and later) the stack's, each with the context of the C call it stopped.
INTERPRETER_WORDS = re.compile(r"maximum recursion depth exceeded|Stack overflow \(used \d+ kB\)")


def run_chain(impl: str, path: str, limit: int, place: str, levels: int | None = None) -> dict:
    args = [sys.executable, "-X", "faulthandler", str(SCRIPT), impl, path, str(limit), place]
    if levels is not None:
        args.append(str(levels))
    done = subprocess.run(args, capture_output=True, text=True, timeout=RUN_PYTHON_TIMEOUT)
    assert done.returncode == 0, f"{impl} died ({done.returncode}):\n{done.stderr[-3000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.mark.no_refleak
@pytest.mark.parametrize(("place", "limit"), DEEP, ids=[f"{place}-limit-{limit}" for place, limit in DEEP])
@pytest.mark.parametrize("path", PATHS)
def test_deep_reentry_ends_in_recursion_error(path: str, place: str, limit: int) -> None:
    skip_where_unsupported(place)
    if SANITIZED and path not in SANITIZED_DEEP_PATHS:
        pytest.skip("under the sanitizer, where a deep chain takes minutes, this path runs on the small stacks only")
    # Under the sanitizer the plain class's chains, which run none of the
    # module's code, are left to the other modes.
    impls = ("native",) if SANITIZED else IMPLS
    for outcome in (run_chain(impl, path, limit, place) for impl in impls):
        assert outcome["recursion_error"] and INTERPRETER_WORDS.match(outcome["text"]), outcome
        assert outcome["depth"] >= 50, outcome  # far from the first levels (a debug build allows 500 C levels)


def skip_where_unsupported(place: str) -> None:
    if place in ("rlimit-raised", "ulimit-1024") and EMULATED:
        pytest.skip("under emulation RLIMIT_STACK cannot be set, and the main thread's stack is a fixed mapping")
    if place.startswith("fiber") and not OWN_STACKS:
        pytest.skip("stacks of their own are made for x86-64 glibc only")
    if place == "fiber-declared" and sys.version_info < (3, 14):
        pytest.skip("a fiber's stack can be declared to the interpreter from 3.14")
    if place == "greenlet" and greenlet is None:
        pytest.skip("greenlet is not installed")


@pytest.mark.no_refleak
@pytest.mark.parametrize(("place", "limit"), SMALL, ids=[f"{place}-limit-{limit}" for place, limit in SMALL])
@pytest.mark.parametrize("path", PATHS)
def test_deep_reentry_on_a_small_stack_ends_in_recursion_error(path: str, place: str, limit: int) -> None:
    skip_where_unsupported(place)
    if SANITIZED and (place, limit) not in SANITIZED_SMALL:
        pytest.skip("under the sanitizer, where each row takes a fresh interpreter's start, one small stack of each kind")
    outcome = run_chain("native", path, limit, place)
    assert outcome["recursion_error"] and INTERPRETER_WORDS.match(outcome["text"]), outcome
    assert outcome["depth"] >= 20, outcome  # far from the first levels


@pytest.mark.no_refleak
@pytest.mark.parametrize(("place", "limit"), EXACT, ids=[f"{place}-limit-{limit}" for place, limit in EXACT])
@pytest.mark.parametrize("path", EXACT_PATHS)
def test_chains_end_where_plain_python_ends_them(path: str, place: str, limit: int) -> None:
    skip_where_unsupported(place)
    if SANITIZED:
        pytest.skip("depths are compared in the other modes (the sanitizer's frames are several times larger)")
    if path == "evaluator" and limit // 2 > LOOPS_CALLED_FROM_C:
        pytest.skip(f"3.13 allows {LOOPS_CALLED_FROM_C:,} levels of its own loop called from C (each evaluator is one)")
    native, baseline = (run_chain(impl, path, limit, place) for impl in IMPLS)
    assert native["text"] == baseline["text"] == "maximum recursion depth exceeded", (native, baseline)
    assert abs(native["depth"] - baseline["depth"]) <= 2, (native, baseline)
    assert native["depth"] > limit // 3, native


@pytest.mark.no_refleak
@pytest.mark.parametrize("place", SHALLOW)
@pytest.mark.parametrize("path", PATHS)
def test_shallow_reentry_runs_on_any_stack(path: str, place: str) -> None:
    skip_where_unsupported(place)
    native, baseline = (run_chain(impl, path, 1_000, place, SHALLOW_LEVELS) for impl in IMPLS)
    native.pop("impl"), baseline.pop("impl")
    assert native == baseline
    assert native["exc_type"] is None, native
