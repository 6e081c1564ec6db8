"""Helpers shared by the test modules."""

from __future__ import annotations

import subprocess
import sys
import textwrap

MODULE_NAME = "zel_tarn_quillgate.supporting_classes.metrics.llm_metrics"


# A guard against a hung child, not a speed target: a debug build of the
# interpreter (the leak mode's) runs the same code several times slower, and
# the thread-and-subinterpreter scenarios take over a minute there alone.
RUN_PYTHON_TIMEOUT = 600 if hasattr(sys, "gettotalrefcount") else 120


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter of the same environment."""
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=RUN_PYTHON_TIMEOUT,
    )
