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

# Runs the README's ```python blocks in order, in one namespace, as a reader
# pasting them into a python prompt would; a ```text block right after a
# python block is what that block prints.  Colour codes and trailing blanks of
# the real output are dropped before comparing (the README shows plain text).
# A line that is "..." alone stands for the configuration reminder (the README
# shows it once, in the block that starts with its heading) and for nothing
# else; "..." within a line stands for text that varies from run to run (a
# task id, a library version), as in doctest.  So a sample output leaves out
# no table, nor any line but the reminder.
EXAMPLE_RUNNER = r'''
import contextlib, doctest, io, re, sys, traceback
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```\n", re.DOTALL | re.MULTILINE)
ANSI = re.compile(r"\x1b\[[0-9;]*m")
REMINDER_LINE = "<the configuration reminder>"
text = open(sys.argv[1], encoding="utf-8").read()
blocks = [(m.group(1), m.group(2), m.start(), m.end()) for m in BLOCK.finditer(text)]
reminder = next(body for lang, body, _, _ in blocks if body.startswith("Metrics-plugin configuration structure"))
checker = doctest.OutputChecker()
namespace = {"__name__": "__main__"}
ran = failures = 0
where = []
for i, (lang, body, start, end) in enumerate(blocks):
    if lang != "python":
        continue
    line = text.count("\n", 0, start) + 2
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            exec(compile(body, f"README.md:{line}", "exec"), namespace)
    except Exception:
        failures += 1
        where.append(f"README.md:{line}")
        print(f"README.md:{line}: the example raised\n{traceback.format_exc()}")
        continue
    finally:
        ran += 1
    nxt = blocks[i + 1] if i + 1 < len(blocks) else None
    if nxt and nxt[0] == "text" and not text[end:nxt[2]].strip():
        got = "\n".join(l.rstrip() for l in ANSI.sub("", out.getvalue()).split("\n"))
        got = got.replace("\n\n" + reminder + "\n", REMINDER_LINE + "\n")
        want = "".join(REMINDER_LINE + "\n" if l == "...\n" else l for l in nxt[1].splitlines(True))
        if not checker.check_output(want, got, doctest.ELLIPSIS):
            failures += 1
            where.append(f"README.md:{line}: its text block is not what it prints (see above)")
            print(f"README.md:{line}: printed (to paste into its text block)\n{got.replace(REMINDER_LINE, '...')}"
                  f"\ninstead of\n{nxt[1]}")
print(f"README examples: {failures} failed of {ran}", *where, sep="\n")
sys.exit(1 if failures or not ran else 0)
'''


def run(args: list[str], **env: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(args, capture_output=True, text=True, timeout=300, cwd=ROOT,
                          env={**os.environ, **env})


def test_python_examples_give_the_outputs_shown() -> None:
    # The metric groups come from a set; a fixed hash seed fixes their order.
    result = run([sys.executable, "-c", EXAMPLE_RUNNER, str(ROOT / "README.md")], PYTHONHASHSEED="0")
    assert result.returncode == 0, result.stdout[-30000:] + result.stderr[-2000:]


def test_the_metrics_the_stand_ins_compute_are_the_ones_named() -> None:
    from zel_metrics_plugin.metrics.llm.config.entities import LLMMetricType, LLMSubMetrics
    from zel_metrics_plugin.metrics.llm.core import llm_metrics_manager as manager

    groups = {m.value for m in LLMMetricType if m.sub_metrics}
    listed = {m.value for m in [*LLMMetricType, *LLMSubMetrics]} - groups
    computed = set(manager._METRICS) | set(manager._DEFERRED)
    text = " ".join(README.split())
    sentence = f"The stand-in plugin lists {len(listed)} metrics"
    assert sentence in text and f"computes {len(computed)} of them" in text
    named = text[text.index(sentence):text.index("raises `NotImplementedError`")]
    assert set(re.findall(r"`(\w+)`", named)) - groups == computed


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


def test_unknown_command_is_named_before_the_help() -> None:
    result = run(["bash", str(ROOT / "dev"), "tset"])
    assert result.returncode == 2
    assert result.stderr.startswith("[dev] unknown command: tset\n") and "./dev test" in result.stderr


def test_demo_runs_the_whole_story() -> None:
    result = run([sys.executable, str(ROOT / "examples" / "demo.py")])
    assert result.returncode == 0, result.stderr
    for heading in ["1. What can be computed", "2. Is ROUGE-L part", "3. compute_metrics with a custom evaluator",
                    "4. get_metrics_result", "5. display_result"]:
        assert heading in result.stdout
    assert "answer_length" in result.stdout and '"status": "completed"' in result.stdout
