"""Second interpreters: refused, and the main interpreter's module keeps
working.  Each test runs in a fresh process (the module's interpreter
binding is process-wide)."""

from __future__ import annotations

import pytest

import robust_support as rs

pytestmark = pytest.mark.no_refleak

PRELUDE = f"""
import _interpreters, gc, sys, threading
import pandas as pd

M = "{rs.MODULE_NAME}"
REFUSED = "Interpreter change detected - this module can only be loaded into one interpreter per process."
NOT_SUPPORTED = "module " + M + " does not support loading in subinterpreters"


def attempt(config, times=2):
    interp = _interpreters.create(config)
    try:
        for _ in range(times):
            err = _interpreters.exec(interp, "import " + M)
            assert err is not None and err.type.__name__ == "ImportError", err
            assert err.msg == (REFUSED if config == "legacy" else NOT_SUPPORTED), err.msg
    finally:
        _interpreters.destroy(interp)


def client():
    from zel_tarn_quillgate import TarnQuillgateV2Adapter
    from zel_cloud_sdk_core.authenticators import BearerTokenAuthenticator
    return TarnQuillgateV2Adapter(BearerTokenAuthenticator("t"), "https://x.example", host="x.example",
                                  service_instance_id="i")


def exercise(m):
    # Every public method of a new instance, with the stand-in plugin (a
    # metric it computes itself: the scoring libraries take long to import
    # under the debug interpreter of the leak mode).
    obj = m.LLMMetrics(client())
    assert obj.is_bearer_token is True
    cfg = {{"configuration": {{"question_answering": {{"exact_match": {{}}}}}}}}
    p = pd.DataFrame({{"t": ["the cat sat", "a dog"]}})
    r = pd.DataFrame({{"t": ["the cat sat down", "a dog ran"]}})
    result = obj.compute_metrics(cfg, None, p, r, custom_evaluators=[lambda s, p, r, **k: {{"custom": 1}}])
    assert sorted(result) == ["custom", "exact_match"], sorted(result)
    assert obj.get_metrics_result(cfg, result)["custom"] == 1
    assert obj._LLMMetrics__is_key_present(cfg, "exact_match") is True
    assert obj._LLMMetrics__is_key_present(cfg, "meteor") is False
    assert obj.show_supported_metrics(metric_id="bleu") is None
    assert obj.display_result({{"typos": {{"bleu": 0.5}}}}) is None
"""


def check(code: str) -> str:
    result = rs.run_python(PRELUDE + code)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_main_module_works_after_refused_imports() -> None:
    out = check(
        """
import importlib
m = importlib.import_module(M)
cls, shared = m.LLMMetrics, m.LLMMetrics.compute_metrics.__defaults__[3]
for config in ("legacy", "isolated", "legacy"):
    attempt(config)
gc.collect()
assert sys.modules[M] is m and m.LLMMetrics is cls
assert m.LLMMetrics.compute_metrics.__defaults__[3] is shared and shared == []
assert importlib.import_module(M) is m
exercise(m)
print("done")
"""
    )
    assert out.splitlines()[-1] == "done"
    assert "bleu metric supports the following task type(s):" in out


def test_refusals_while_other_threads_use_the_module() -> None:
    # Other threads keep calling the module while sub-interpreters are
    # created, refused and destroyed, from the main thread and from a thread.
    out = check(
        """
import importlib
m = importlib.import_module(M)
stop = threading.Event()
errors = []
counts = [0, 0, 0]
called = [threading.Event() for _ in counts]

def hammer(i):
    try:
        while not stop.is_set():
            exercise(m)
            counts[i] += 1
            called[i].set()
    except BaseException as exc:
        errors.append(repr(exc))
        called[i].set()

import os
sys.stdout = open(os.devnull, "w")
workers = [threading.Thread(target=hammer, args=(i,)) for i in range(3)]
for w in workers:
    w.start()
for round in range(6):
    attempt("legacy" if round % 2 else "isolated", times=1)
    t = threading.Thread(target=attempt, args=("legacy", 1))
    t.start()
    t.join(60)
    assert not t.is_alive()
# Each worker finishes a call before they stop: on a loaded machine the
# rounds can end before a slow worker's first call does.
for e in called:
    e.wait(120)
stop.set()
for w in workers:
    w.join(120)
sys.stdout = sys.__stdout__
assert not any(w.is_alive() for w in workers)
assert not errors, errors
assert all(n > 0 for n in counts), counts
exercise(m)
print("done")
"""
    )
    assert out.splitlines()[-1] == "done"


def test_own_gil_interpreter_first_leaves_the_main_import_possible() -> None:
    # A sub-interpreter with its own GIL is refused before the module is
    # created, so it binds the module to no interpreter.
    out = check(
        """
attempt("isolated")
attempt("default")
import importlib
m = importlib.import_module(M)
exercise(m)
attempt("legacy")
print("done")
"""
    )
    assert out.splitlines()[-1] == "done"
