"""Helpers shared by the test modules."""

from __future__ import annotations

import subprocess
import sys
import textwrap

MODULE_NAME = "zel_tarn_quillgate.supporting_classes.metrics.llm_metrics"


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter of the same environment."""
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
