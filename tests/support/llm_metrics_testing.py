"""Helpers shared by the test modules, and the class's contract as the
plain-Python oracle (`baseline_llm_metrics`) states it.

The generated and registry-driven tests take the methods, their parameters
and the module globals they use from here, so a method added to the oracle
(and the module) reaches every one of them without editing them.  Importing
this never imports the compiled module (the allocation-failure driver
counts the allocations of its import).
"""

from __future__ import annotations

import ast
import dis
import importlib
import importlib.util
import inspect
import os
import pathlib
import subprocess
import sys
import textwrap
import types
from typing import Callable

import baseline_llm_metrics as oracle

MODULE_NAME = "zel_tarn_quillgate.supporting_classes.metrics.llm_metrics"


# A guard against a hung child, not a speed target: a debug build of the
# interpreter (the leak mode's) runs the same code several times slower, and
# the thread-and-subinterpreter scenarios take over a minute there alone; so
# does the sanitizer mode (its runtime preloaded), where 3.15 took over 120 s,
# and another architecture under emulation (./dev --arch), where a deep
# re-entrant chain in a fresh interpreter takes over 120 s.
SANITIZED = "ASAN_OPTIONS" in os.environ  # ./dev asan
EMULATED = "LLM_METRICS_EMULATED" in os.environ  # ./dev --arch
SLOW_BUILD = hasattr(sys, "gettotalrefcount") or SANITIZED or EMULATED
RUN_PYTHON_TIMEOUT = 600 if SLOW_BUILD else 120


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter of the same environment."""
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=RUN_PYTHON_TIMEOUT,
    )


# ------------------------------------------------------- the oracle's contract

ORACLE_CLASS = oracle.LLMMetrics

# The methods by class-dictionary key (private names mangled), in the order
# the class defines them.
METHOD_KEYS = [key for key, value in vars(ORACLE_CLASS).items() if inspect.isfunction(value)]
PRIVATE_METHOD_KEYS = [key for key in METHOD_KEYS if key.startswith("_LLMMetrics__")]
PUBLIC_METHOD_KEYS = [key for key in METHOD_KEYS if not key.startswith("_LLMMetrics__")]


def oracle_method(key: str) -> types.FunctionType:
    return vars(ORACLE_CLASS)[key]


def parameter_names(key: str) -> tuple[str, ...]:
    """The parameters a caller can name or pass by position (self first)."""
    kinds = (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)
    return tuple(p.name for p in inspect.signature(oracle_method(key)).parameters.values() if p.kind in kinds)


def _globals_loaded(code: types.CodeType) -> set[str]:
    names = {i.argval for i in dis.get_instructions(code) if i.opname == "LOAD_GLOBAL"}
    for constant in code.co_consts:
        if inspect.iscode(constant):
            names |= _globals_loaded(constant)
    return names


# The module globals the methods (and their nested functions) look up, in
# the module's order.
METHOD_GLOBALS = [
    name for name in vars(oracle)
    if name in set().union(*(_globals_loaded(oracle_method(key).__code__) for key in METHOD_KEYS))
]

def source_docstrings() -> dict[str, str | None]:
    """Each method's docstring as the oracle's source writes it, by key.

    (The interpreter strips the common indentation of a docstring when it
    compiles one, so the oracle's __doc__ is not the text as written.)
    """
    tree = ast.parse(pathlib.Path(oracle.__file__).read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == ORACLE_CLASS.__name__)
    keys = {oracle_method(key).__name__: key for key in METHOD_KEYS}
    return {keys[node.name]: ast.get_docstring(node, clean=False) for node in cls.body
            if isinstance(node, ast.FunctionDef)}


def oracle_methods_run(action: Callable[[], object]) -> set[str]:
    """The keys of the oracle's methods that run (in this thread) while `action` does.

    A harness whose calls are written per method checks with this that every
    method of the oracle is run by one of them.
    """
    codes = {oracle_method(key).__code__: key for key in METHOD_KEYS}
    ran: set[str] = set()

    def profile(frame: types.FrameType, event: str, arg: object) -> None:
        if event == "call" and frame.f_code in codes:
            ran.add(codes[frame.f_code])

    previous = sys.getprofile()
    sys.setprofile(profile)
    try:
        action()
    finally:
        sys.setprofile(previous)
    return ran


def required_arguments(key: str) -> list[str]:
    """The parameters of a method a call must pass (self left out)."""
    return [p.name for p in list(inspect.signature(oracle_method(key)).parameters.values())[1:]
            if p.default is inspect.Parameter.empty and p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]


def missing_calls(table: str, missing: set[str], entry: Callable[[str, str], str]) -> str:
    """The message of a harness check that found methods none of its calls
    runs: what to add to `table`, one entry per method, written by `entry(key,
    call)` from the call `obj.<key>(<its required arguments>)`."""
    lines = [f"no entry of {table} runs {sorted(missing)}; add one per method, such as:"]
    for key in sorted(missing):
        arguments = ", ".join(f"{name}=..." for name in required_arguments(key))
        lines.append(entry(key, f"{key}({arguments})"))
    return "\n".join(lines)


# ------------------------------------------------- the methods' blocks (src/)


def _method_blocks() -> types.ModuleType:
    root = pathlib.Path(__file__).resolve().parents[2]
    spec = importlib.util.spec_from_file_location("method_blocks", root / "tools" / "method_blocks.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # its dataclasses look their module up
    spec.loader.exec_module(module)
    return module


# Each method's block (tools/method_blocks.py), by class-dictionary key.
BLOCKS = {("_LLMMetrics" + m.name if m.name.startswith("__") and not m.name.endswith("__") else m.name): m
          for m in _method_blocks().find_blocks()}


def valid_call_arguments(key: str, client: object) -> tuple[list, dict]:
    """The arguments of the `valid_call` of a method's block, which may name
    `client`, `configuration` (a plugin configuration) and `constants` (the
    plugin's constants module)."""
    block = BLOCKS[key]
    if block.valid_call is None:
        arguments = ", ".join(f"{name}=..." for name in required_arguments(key))
        raise LookupError(f"{block.label} has no valid_call: add one, the arguments of a call its plain-Python "
                          f'body completes, as\n        valid_call = "({arguments})"')
    names = {"client": client, "configuration": {"configuration": {"g": {"m": {}}}},
             "constants": importlib.import_module("zel_metrics_plugin.metrics.llm.utils.constants")}
    return eval(f"(lambda *args, **kwargs: (list(args), kwargs)){block.valid_call}", names)
