"""Shared fixtures: the extension module, a client of the stand-in host kit."""

from __future__ import annotations

import importlib
import inspect
from pathlib import Path
from types import CodeType, FunctionType, ModuleType
from typing import Iterator

import pytest
from hypothesis import HealthCheck, settings

# The smoke subset run under emulation (./dev test --smoke) loads this profile:
# the property-based tests with a few examples each.
settings.register_profile("smoke", max_examples=8, deadline=None, suppress_health_check=list(HealthCheck))

# The kit, the plugin and the extension are imported once, when the tests are
# collected, so that every test (and every repeated run of one) sees the same
# classes as the extension's module globals, whatever a test puts into
# sys.modules for a while.
import zel_cloud_sdk_core.authenticators  # noqa: F401
import zel_metrics_plugin.metrics.llm.config.entities  # noqa: F401
import zel_metrics_plugin.metrics.llm.utils.constants  # noqa: F401
import zel_tarn_quillgate  # noqa: F401
import zel_tarn_quillgate.supporting_classes.metrics.llm_metrics  # noqa: F401
from fakes import make_client
from llm_metrics_testing import METHOD_KEYS, MODULE_NAME, oracle


@pytest.fixture(scope="session")
def llm_metrics() -> ModuleType:
    return importlib.import_module(MODULE_NAME)


@pytest.fixture
def client():
    return make_client()


# A test that deletes a module global or a method and sets it again moves it
# to the end of its dictionary; tests that compare orders with the oracle's
# expect the order of the import. Each test's end puts the names back in it.
_NATIVE = importlib.import_module(MODULE_NAME)
_GLOBAL_ORDERS = [(vars(impl), list(vars(impl))) for impl in (_NATIVE, oracle)]
_METHOD_ORDERS = [(impl.LLMMetrics, list(METHOD_KEYS)) for impl in (_NATIVE, oracle)]


@pytest.fixture(autouse=True)
def _orders_as_imported() -> Iterator[None]:
    yield
    for namespace, order in _GLOBAL_ORDERS:
        present = [name for name in order if name in namespace]
        if [name for name in namespace if name in order] != present:
            for name in present:
                namespace[name] = namespace.pop(name)
    for cls, order in _METHOD_ORDERS:
        present = [name for name in order if name in vars(cls)]
        if [name for name in vars(cls) if name in order] != present:
            for name in present:
                fn = vars(cls)[name]
                delattr(cls, name)
                setattr(cls, name, fn)


def pytest_sessionstart(session: pytest.Session) -> None:
    # Every harness takes the methods from the oracle and looks each one up in
    # the module: one missing on either side fails hundreds of tests with a
    # KeyError.  Name the place instead, once.
    native = [key for key in vars(_NATIVE.LLMMetrics) if key not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    problems = [f"the module has no method {key}, which the oracle has: write its /*[method]*/ block above its "
                f"body, name it in /*[class LLMMetrics]*/ (src/llm_metrics/llm_metrics_class.cpp) and run "
                f"python3 tools/method_blocks.py" for key in METHOD_KEYS if key not in native]
    problems += [f"the oracle (tests/support/baseline_llm_metrics.py) has no method {key}: write it in plain Python"
                 for key in native if key not in METHOD_KEYS]
    if problems:
        raise pytest.UsageError("\n".join(problems) + "\n(both in class-body order)")


# ---------------------------------------------------------------- the fast set
# `./dev test` runs the tests not marked slow (`-m "not slow"`); `./dev test
# --all`, test-wheel, the robustness modes and CI run every test.  The slow
# families are marked here, so that no test file needs a marker:
# - every test in a folder of SLOW_FOLDERS (none today);
# - every test that starts a process (a fresh interpreter, a type checker, a
#   real install, the forked allocation-failure sweep): its function, a
#   fixture it uses, or a function of the test tree that those call refers
#   to a name of PROCESS_NAMES in its code (`subprocess`, `run_python`,
#   `os.fork`, ...).
# A new slow family needs nothing when it starts processes that way;
# otherwise add its folder to SLOW_FOLDERS, or mark it in its file with
# `pytestmark = pytest.mark.slow`.
TESTS = Path(__file__).resolve().parent
SLOW_FOLDERS: set[str] = set()  # names of folders under tests/
PROCESS_NAMES = {"subprocess", "run_python", "fork", "forkpty", "posix_spawn", "posix_spawnp", "Popen",
                 "execv", "execve", "execvp", "spawnv", "spawnve", "multiprocessing"}
_starts: dict[CodeType, bool] = {}


def _names(code: CodeType) -> set[str]:
    """Global and attribute names that `code` and the functions nested in it use."""
    names = set(code.co_names)
    for const in code.co_consts:
        if isinstance(const, CodeType):
            names |= _names(const)
    return names


def _in_test_tree(func: FunctionType) -> bool:
    return Path(func.__code__.co_filename).resolve().is_relative_to(TESTS)


def _starts_process(obj: object) -> bool:
    func = inspect.unwrap(getattr(obj, "__func__", obj))  # a bound method's, a decorated one's
    if not isinstance(func, FunctionType):
        return False
    code = func.__code__
    if code not in _starts:
        _starts[code] = False  # a call cycle ends here
        names = _names(code)
        callees: list[object] = []
        for name in names:
            target = func.__globals__.get(name)
            if isinstance(target, ModuleType):  # helper.function(...) of a module of the tests
                if Path(getattr(target, "__file__", None) or "/").resolve().is_relative_to(TESTS):
                    callees += [getattr(target, n, None) for n in names]
            elif isinstance(target, dict):  # a table of functions, CHECKERS[name](...)
                callees += target.values()
            elif isinstance(target, (list, tuple)):
                callees += target
            else:
                callees.append(target)
        _starts[code] = bool(names & PROCESS_NAMES) or any(
            _starts_process(c) for c in callees if isinstance(c, FunctionType) and _in_test_tree(c))
    return _starts[code]


def _uses_a_process_fixture(item: pytest.Item) -> bool:
    info = getattr(item, "_fixtureinfo", None)
    for definitions in getattr(info, "name2fixturedefs", {}).values():
        if any(_starts_process(getattr(d, "func", None)) for d in definitions):
            return True
    return False


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    for item in items:
        path = Path(item.path).resolve()
        folder = path.relative_to(TESTS).parts[0] if path.is_relative_to(TESTS) else ""
        if folder in SLOW_FOLDERS or _starts_process(getattr(item, "function", None)) \
                or _uses_a_process_fixture(item):
            item.add_marker(pytest.mark.slow)
