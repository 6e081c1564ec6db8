"""The README's examples, outputs and commands are run and compared."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")

pytestmark = pytest.mark.no_refleak

# Runs every ```python block of the README as one doctest session.  Colour
# codes and trailing blanks of the real output are dropped before comparing,
# since the README shows plain text.
DOCTEST_RUNNER = r'''
import doctest, re, sys
BLOCK = re.compile(r"^```python\n(.*?)^```", re.DOTALL | re.MULTILINE)
ANSI = re.compile(r"\x1b\[[0-9;]*m")
text = open(sys.argv[1], encoding="utf-8").read()
session = "\n".join(BLOCK.findall(text))

class PlainTextChecker(doctest.OutputChecker):
    def check_output(self, want, got, optionflags):
        got = "\n".join(line.rstrip() for line in ANSI.sub("", got).split("\n"))
        return super().check_output(want, got, optionflags)

test = doctest.DocTestParser().get_doctest(session, {}, "README", "README.md", 0)
runner = doctest.DocTestRunner(checker=PlainTextChecker(), optionflags=doctest.ELLIPSIS)
runner.run(test)
print(f"README examples: {runner.failures} failed of {runner.tries}")
sys.exit(1 if runner.failures or not runner.tries else 0)
'''


def run(args: list[str], **env: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(args, capture_output=True, text=True, timeout=300, cwd=ROOT,
                          env={**os.environ, **env})


def test_python_examples_give_the_outputs_shown() -> None:
    # The metric groups come from a set; a fixed hash seed fixes their order.
    result = run([sys.executable, "-c", DOCTEST_RUNNER, str(ROOT / "README.md")], PYTHONHASHSEED="0")
    assert result.returncode == 0, result.stdout[-6000:] + result.stderr[-2000:]


def test_configuration_reminder_is_the_one_printed(llm_metrics, client, capsys) -> None:
    client.llm_metrics.show_supported_metrics(metric_id="bleu")
    printed = re.sub(r"\x1b\[[0-9;]*m", "", capsys.readouterr().out)
    footer = printed[printed.index("Metrics-plugin configuration structure"):]
    shown = README[README.index("```text\nMetrics-plugin") + len("```text\n"):]
    shown = shown[: shown.index("```")]
    assert [line.rstrip() for line in footer.strip().splitlines()] == shown.strip().splitlines()


def test_dev_commands_exist() -> None:
    commands = set(re.findall(r"^(?:PYTHON=\S+ )?\./dev (\w+)", README, re.MULTILINE))
    assert {"demo", "test", "refleak", "asan", "bench", "typecheck"} <= commands
    dev = (ROOT / "dev").read_text(encoding="utf-8")
    defined = set(re.findall(r"^    (\w+)\)$", dev, re.MULTILINE))
    assert commands <= defined


def test_demo_runs_the_whole_story() -> None:
    result = run([sys.executable, str(ROOT / "examples" / "demo.py")])
    assert result.returncode == 0, result.stderr
    for heading in ["1. What can be computed", "2. Is ROUGE-L part", "3. compute_metrics with a custom evaluator",
                    "4. get_metrics_result", "5. display_result"]:
        assert heading in result.stdout
    assert "answer_length" in result.stdout and '"status": "completed"' in result.stdout
