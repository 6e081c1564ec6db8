"""Re-entrant chains end in RecursionError, never in a native stack overflow.

Every path where a stand-in calls back into the class is nested until
something stops it, with the recursion limit at its default and raised far
past what the native stack could hold, in the main thread and in a thread
with a small stack.  Each run is a fresh interpreter: a crash fails the row
instead of killing the test session.  The module may stop a chain earlier
than plain Python (when the native stack runs low); both must stop it with
a RecursionError (plain Python's may be the context of the error a handler
raises from it).  (The depths differ by design: a level of the plain class
runs more Python frames than a level of the module.)
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from deep_reentry import LIMITS, PATHS
from llm_metrics_testing import RUN_PYTHON_TIMEOUT

SCRIPT = Path(__file__).resolve().parents[1] / "support" / "deep_reentry.py"

# (limit, KiB of stack of the thread the chain runs in; None: the main thread)
PLACES = [(limit, None) for limit in LIMITS] + [(100_000, 512)]


def run_chain(impl: str, path: str, limit: int, stack_kib: int | None) -> dict:
    args = [sys.executable, "-X", "faulthandler", str(SCRIPT), impl, path, str(limit)]
    if stack_kib is not None:
        args.append(str(stack_kib))
    done = subprocess.run(args, capture_output=True, text=True, timeout=RUN_PYTHON_TIMEOUT)
    assert done.returncode == 0, f"{impl} died ({done.returncode}):\n{done.stderr[-3000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.mark.no_refleak
@pytest.mark.parametrize(("limit", "stack_kib"), PLACES,
                         ids=[f"limit-{limit}" + (f"-thread-{kib}KiB" if kib else "") for limit, kib in PLACES])
@pytest.mark.parametrize("path", PATHS)
def test_deep_reentry_ends_in_recursion_error(path: str, limit: int, stack_kib: int | None) -> None:
    native = run_chain("native", path, limit, stack_kib)
    assert native["exc_type"] == "RecursionError", native
    if stack_kib is None:
        baseline = run_chain("baseline", path, limit, stack_kib)
        # Plain Python stops deeper, where the interpreter decides (3.14 and
        # later measure the native stack, also inside an import): the error
        # may land inside a handler of the class's own that raises its
        # install hint from it, so a RecursionError in the chain is the rule.
        assert baseline["recursion_error"], baseline
