"""The examples, outputs and commands of the README and of DEVELOPING.md are
run and compared."""

from __future__ import annotations

import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
# The documents whose examples, outputs, commands and links are checked.
DOCS = ["README.md", "DEVELOPING.md"]
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```\n", re.DOTALL | re.MULTILINE)

pytestmark = pytest.mark.no_refleak

# Runs a document's ```python blocks in order, in one namespace, as a reader
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
name = sys.argv[1].rsplit("/", 1)[-1]
text = open(sys.argv[1], encoding="utf-8").read()
blocks = [(m.group(1), m.group(2), m.start(), m.end()) for m in BLOCK.finditer(text)]
reminder = next((body for lang, body, _, _ in blocks if body.startswith("Metrics-plugin configuration structure")), None)
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
            exec(compile(body, f"{name}:{line}", "exec"), namespace)
    except Exception:
        failures += 1
        where.append(f"{name}:{line}")
        print(f"{name}:{line}: the example raised\n{traceback.format_exc()}")
        continue
    finally:
        ran += 1
    nxt = blocks[i + 1] if i + 1 < len(blocks) else None
    if nxt and nxt[0] == "text" and not text[end:nxt[2]].strip():
        got = "\n".join(l.rstrip() for l in ANSI.sub("", out.getvalue()).split("\n"))
        if reminder:
            got = got.replace("\n\n" + reminder + "\n", REMINDER_LINE + "\n")
        want = "".join(REMINDER_LINE + "\n" if l == "...\n" else l for l in nxt[1].splitlines(True))
        if not checker.check_output(want, got, doctest.ELLIPSIS):
            failures += 1
            where.append(f"{name}:{line}: its text block is not what it prints (see above)")
            print(f"{name}:{line}: printed (to paste into its text block)\n{got.replace(REMINDER_LINE, '...')}"
                  f"\ninstead of\n{nxt[1]}")
print(f"{name} examples: {failures} failed of {ran}", *where, sep="\n")
sys.exit(1 if failures or (not ran and "```python" in text) else 0)
'''


def run(args: list[str], **env: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(args, capture_output=True, text=True, timeout=300, cwd=ROOT,
                          env={**os.environ, **env})


@pytest.mark.parametrize("doc", DOCS)
def test_python_examples_give_the_outputs_shown(doc: str) -> None:
    # The metric groups come from a set; a fixed hash seed fixes their order.
    result = run([sys.executable, "-c", EXAMPLE_RUNNER, str(ROOT / doc)], PYTHONHASHSEED="0")
    assert result.returncode == 0, result.stdout[-30000:] + result.stderr[-2000:]


# A ```text block right after a ```sh block of one command is (part of) what
# that command prints: its lines appear in the output in that order, a line
# "..." alone standing for lines left out, "..." within a line for text that
# varies, as in doctest.  Each command shown with an output is run here the
# way it runs once set up; one missing from this table fails the test, so
# that no output shown goes unchecked.
COMMANDS_RUN = {
    "./dev demo": [sys.executable, str(ROOT / "examples" / "demo.py")],
}


def shown_outputs(doc: str) -> list[tuple[int, str, str]]:
    """(line, command, excerpt) of each ```sh block followed by a ```text block."""
    text = (ROOT / doc).read_text(encoding="utf-8")
    blocks = list(BLOCK.finditer(text))
    found = []
    for sh, out in zip(blocks, blocks[1:]):
        if sh.group(1) == "sh" and out.group(1) == "text" and not text[sh.end():out.start()].strip():
            commands = [c.split("  #")[0].strip() for c in sh.group(2).splitlines() if c.strip()]
            assert len(commands) == 1, f"{doc}:{text.count(chr(10), 0, sh.start()) + 1}: one command per output shown"
            found.append((text.count("\n", 0, out.start()) + 2, commands[0], out.group(2)))
    return found


def is_excerpt_of(excerpt: str, output: str) -> bool:
    checker = doctest.OutputChecker()
    lines = [line.rstrip() for line in re.sub(r"\x1b\[[0-9;]*m", "", output).splitlines()]
    at = 0
    segments: list[list[str]] = [[]]
    for line in excerpt.splitlines():
        if line == "...":
            segments.append([])
        else:
            segments[-1].append(line)
    for segment in filter(None, segments):
        while at + len(segment) <= len(lines) and not all(
                checker.check_output(want + "\n", got + "\n", doctest.ELLIPSIS)
                for want, got in zip(segment, lines[at:at + len(segment)])):
            at += 1
        if at + len(segment) > len(lines):
            return False
        at += len(segment)
    return True


@pytest.mark.parametrize("doc", DOCS)
def test_command_outputs_shown_are_what_they_print(doc: str) -> None:
    for line, command, excerpt in shown_outputs(doc):
        assert command in COMMANDS_RUN, f"{doc}:{line}: the output of {command!r} is shown but no test runs it"
        result = run(COMMANDS_RUN[command])
        assert result.returncode == 0, result.stderr
        assert is_excerpt_of(excerpt, result.stdout), f"{doc}:{line}: not what {command} prints:\n{result.stdout}"


def test_excerpts_match_lines_in_order_only() -> None:
    output = "a\nb 1\nc\nd\n"
    assert is_excerpt_of("b ...\n...\nd", output) and is_excerpt_of("a\nb 1", output)
    assert not is_excerpt_of("d\n...\na", output)  # out of order
    assert not is_excerpt_of("a\nc", output)  # a line left out without "..."
    assert not is_excerpt_of("b 2", output)


def test_the_first_screen_starts_a_user() -> None:
    first = "\n".join(README.splitlines()[:40])
    assert "```sh\n./dev demo\n```\n\n```text\n" in first
    assert re.search(r"pip install dist/\S+\.whl", first) and "`./dev test`" in first
    assert "(DEVELOPING.md)" in first


# A duration a document states is either measured, and then it stands in
# DEVELOPING.md's table "How long the commands take" (median of three runs on
# a quiet machine, made by tools/time_commands.sh), or it is a setting, named
# here by the words around it and the place that sets it.
DURATION = re.compile(r"(?<![\w.])\d+(?:[.,]\d+)?\s?(?:s|min|minutes?|seconds?|hours?|h)\b")
TIMES_TABLE = re.compile(r"^## How long the commands take\n.*?(?=^## )", re.DOTALL | re.MULTILINE)
SETTINGS = [
    "a line every 10 s",  # with_heartbeat in tools/robustness/common.sh
    "time-out (10 minutes)",  # RUN_PYTHON_TIMEOUT of a slow build, tests/support/llm_metrics_testing.py
    "every target for 60 s",  # fuzz.sh --ci
    "900 s per target",  # the argument of that command line
    "(3 s by default, 0.4 s with",  # the benchmark budgets, benchmarks/harness.py
    "fuzz: computation  120s",  # a summary line shown as an example
]


@pytest.mark.parametrize("doc", [*DOCS, "tools/robustness/README.md", "benchmarks/README.md"])
def test_every_duration_stated_is_measured_or_a_setting(doc: str) -> None:
    text = TIMES_TABLE.sub("", (ROOT / doc).read_text(encoding="utf-8"))
    for line in text.splitlines():
        for m in DURATION.finditer(line):
            assert any(s in line for s in SETTINGS), (
                f"{doc}: {m.group(0)!r} in {line.strip()!r}: measure it into DEVELOPING.md's table "
                "(tools/time_commands.sh) or name the setting in SETTINGS"
            )
    assert TIMES_TABLE.search((ROOT / "DEVELOPING.md").read_text(encoding="utf-8"))


@pytest.mark.parametrize("doc", DOCS)
def test_links_to_files_and_headings_resolve(doc: str) -> None:
    def anchors(path: Path) -> set[str]:
        headings = re.findall(r"^#+ (.+)$", BLOCK.sub("", path.read_text(encoding="utf-8")), re.MULTILINE)
        return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-") for h in headings}

    text = (ROOT / doc).read_text(encoding="utf-8")
    for target, anchor in re.findall(r"\]\(([\w./-]*)(?:#([\w-]+))?\)", text):
        path = ROOT / (target or doc)
        assert path.exists(), f"{doc}: link to {target}"
        if anchor:
            assert anchor in anchors(path), f"{doc}: link to {target or doc}#{anchor}"


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
    docs = "\n".join((ROOT / doc).read_text(encoding="utf-8") for doc in DOCS)
    commands = set(re.findall(r"^(?:PYTHON=\S+ )?\./dev (\w+)", docs, re.MULTILINE))
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
