"""Allocation failures requested by the module's own code, one at a time.

The injector (tools/robustness/fault_injection/alloc_fault.c) is compiled at
run time with the interpreter's headers and the system C compiler into a
temporary folder, so nothing of it reaches the product wheel.  Once armed it
counts the allocations whose nearest caller outside the interpreter is the
extension's shared object, with no Python code running in between, and
fails the Nth of them.

A *scenario* is one call of the module (a method in one of its views, or the
import).  `explore` runs a scenario in a fresh interpreter: a dry run counts
the failure points, then every point (or a sample) is failed in a process
forked from one that is ready to make the call, so each point sees exactly
the state of a first (or of a warm) call, and a crash takes down only that
child.  Each child checks that the failure surfaced as MemoryError (or as
the exception the plain-Python class raises when it handles one) and that
the same call then works.  `fail_each_point` does the same in the current
process, for the reference-leak mode.

    python tools/robustness/allocation_failures.py [--all] [scenario...]

(or this file itself) prints the table of failure points per scenario; a
sample of each scenario's points is failed unless --all is given (or
LLM_METRICS_ALLOC_FAILURES=all is set).
"""

from __future__ import annotations

import collections

import contextlib
import hashlib
import importlib
import importlib.util
import io
import json
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

from fakes import CONSTANTS, ENTITIES, LEGACY_HEADINGS, MANAGER, ROBUSTNESS, make_client
from llm_metrics_testing import METHOD_KEYS, MODULE_NAME, oracle, valid_call_arguments

# The module whose LLMMetrics the scenarios call: the extension (a test points
# it at the oracle to see which methods the scenarios run).
TARGET = MODULE_NAME

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "tools" / "robustness" / "fault_injection" / "alloc_fault.c"

# ALL: every failure point; otherwise at most SAMPLE points per scenario,
# spread evenly over the call (the first and last included).
ALL_VARIABLE = "LLM_METRICS_ALLOC_FAILURES"
SAMPLE = 12

# The oracle (it imports what the module body imports) and the library the
# kit's Table lists with.
HOST_MODULES = (oracle.__name__, "tabulate")

# Interpreter functions whose own handling of a failed allocation is faulty in
# the running CPython: allocations under them are not failed.
# 3.13.0: the setdefault of dictionaries (behind PyDict_SetDefaultRef,
# dict.setdefault and the filling of a new type's dictionary) counts the item
# as inserted when growing the table fails, and the dictionary then crashes
# its next resize; a plain-Python class creation under memory pressure does
# the same.
INTERPRETER_FAULTS: tuple[str, ...] = (
    ("dict_setdefault_ref_lock_held",) if sys.version_info[:3] == (3, 13, 0) else ()
)


def _has_symbol_table(path: str) -> bool:
    """True when the ELF file at `path` keeps its full symbol table (.symtab)."""
    with open(path, "rb") as f:
        head = f.read(64)
        shoff, (shentsize, shnum) = int.from_bytes(head[40:48], "little"), (
            int.from_bytes(head[58:60], "little"), int.from_bytes(head[60:62], "little"))
        f.seek(shoff)
        table = f.read(shentsize * shnum)
    return any(int.from_bytes(table[i + 4:i + 8], "little") == 2 for i in range(0, len(table), shentsize))


def _interpreter_file() -> str:
    if sysconfig.get_config_var("Py_ENABLE_SHARED"):
        return os.path.join(sysconfig.get_config_var("LIBDIR"), sysconfig.get_config_var("INSTSONAME"))
    return os.path.realpath(sys._base_executable)  # type: ignore[attr-defined]


# Whether the injector sees the whole bytecode interpreter loop. A stripped
# interpreter (Debian's packages) exports _PyEval_EvalFrameDefault but not the
# part GCC moved out of it (its .cold clone): allocations of Python code the
# module calls, seen from there, then count as the module's, and failing them
# reaches the interpreter's own faulty paths.
EVAL_LOOP_SEEN: bool = _has_symbol_table(_interpreter_file())


def exhaustive() -> bool:
    # Where Python code's allocations count too (not EVAL_LOOP_SEEN), every
    # point of a call is tens of thousands of them, most not the module's:
    # the sample only.
    return EVAL_LOOP_SEEN and os.environ.get(ALL_VARIABLE, "").lower() in ("all", "1", "yes")


def points(count: int, every: bool | None = None) -> list[int]:
    """The failure points to exercise among 1..count."""
    if every is None:
        every = exhaustive()
    if every or count <= SAMPLE:
        return list(range(1, count + 1))
    step = (count - 1) / (SAMPLE - 1)
    return sorted({1 + round(i * step) for i in range(SAMPLE)})


# ----------------------------------------------------------------- the injector


class InjectorUnavailable(Exception):
    """The injector cannot be built or loaded here (no compiler, no symbols)."""


def cache_folder() -> pathlib.Path:
    """Where built injectors are kept between sessions (one per source and interpreter)."""
    return pathlib.Path(tempfile.gettempdir()) / "llm-metrics-alloc-fault"


def build_injector(folder: pathlib.Path | None = None) -> pathlib.Path:
    """Compiles the injector into `folder` (by default the cache folder)
    unless it is there already; returns the shared object's path."""
    folder = cache_folder() if folder is None else folder
    compiler = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if compiler is None:
        raise InjectorUnavailable("no C compiler")
    if not SOURCE.is_file():
        raise InjectorUnavailable(f"{SOURCE} is missing")
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    key = f"{sys.executable}|{sys.version}|{hasattr(sys, 'gettotalrefcount')}".encode()
    digest = hashlib.sha1(SOURCE.read_bytes() + key).hexdigest()[:12]
    target = folder / f"_alloc_fault_{digest}{suffix}"
    if target.exists():
        return target
    folder.mkdir(parents=True, exist_ok=True)
    partial = target.with_name(f"{target.name}.{os.getpid()}.tmp")
    command = [compiler, "-shared", "-fPIC", "-O1", "-g", "-Wall", "-std=gnu11",
               f"-I{sysconfig.get_paths()['include']}", str(SOURCE), "-o", str(partial), "-ldl", "-lpthread"]
    if hasattr(sys, "gettotalrefcount"):
        command.insert(1, "-DPy_DEBUG")  # the headers of a debug interpreter may be the release ones
    # The compiler runs without the sanitizer runtime the tests may be preloading.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise InjectorUnavailable(f"compiling the injector failed:\n{done.stderr}")
    os.replace(partial, target)  # whole, even with another session building the same one
    return target


def load_injector(path: pathlib.Path) -> Any:
    spec = importlib.util.spec_from_file_location("_alloc_fault", path)
    assert spec is not None and spec.loader is not None
    injector = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(injector)
    return injector


def module_path() -> str:
    spec = importlib.util.find_spec(MODULE_NAME)
    if spec is None or spec.origin is None:
        raise InjectorUnavailable(f"{MODULE_NAME} is not installed")
    return spec.origin


@dataclass
class Injector:
    """The loaded injector, aimed at the extension."""

    lib: Any

    @classmethod
    def open(cls, path: pathlib.Path) -> Injector:
        lib = load_injector(path)
        try:
            lib.prepare(module_path(), INTERPRETER_FAULTS)
        except OSError as e:
            raise InjectorUnavailable(str(e)) from e
        return cls(lib)

    def run(self, scenario: Scenario, fail_at: int) -> tuple[Any, BaseException | None, int, bool, int]:
        """The scenario's call with the fail_at-th allocation of the module
        failing (0: none).

        Returns (summary, exception, allocations counted, whether one failed,
        offset in the module of the code that requested it)."""
        call = scenario.prepare()
        result: Any = None
        error: BaseException | None = None
        # The interpreter reports some failures it absorbs (a MemoryError
        # while it reads sys attributes during an import) as unraisable: those
        # are expected here; anything else goes to the usual hook.
        unraisable: list[Any] = []
        previous_hook = sys.unraisablehook
        sys.unraisablehook = unraisable.append
        self.lib.arm(fail_at)
        try:
            result = call()
        except BaseException as e:  # noqa: BLE001 - judged by the caller
            error = e
        finally:
            count, failed, site = self.lib.disarm()
            sys.unraisablehook = previous_hook
        for report in unraisable:
            if not (failed and isinstance(report.exc_value, MemoryError)):
                previous_hook(report)
        del unraisable
        summary = None
        if error is None:
            try:
                summary = scenario.summarize(result)
            except BaseException as e:  # noqa: BLE001
                error = e
        return summary, error, count, bool(failed), site


# ------------------------------------------------------------------ outcomes


def caused_by_memory_error(error: BaseException | None) -> bool:
    """MemoryError itself, or an exception raised while one was handled."""
    seen = set()
    while error is not None and id(error) not in seen:
        if isinstance(error, MemoryError):
            return True
        seen.add(id(error))
        error = error.__cause__ or error.__context__
    return False


def describe(error: BaseException | None) -> str:
    if error is None:
        return "returned"
    return f"{type(error).__name__}: {error}"[:300]


@dataclass
class Report:
    """What one scenario's failure points gave."""

    scenario: str
    count: int = 0               # failure points of the call
    exercised: int = 0           # points failed in turn
    memory_errors: int = 0       # surfaced as MemoryError (or raised while handling one)
    handled: int = 0             # handled as the plain-Python class handles it (a fallback)
    absorbed: int = 0            # absorbed on the way (an interned name left uninterned...), same result
    absorbed_sites: list[str] = field(default_factory=list)
    unreached: int = 0           # points the failing run did not reach (it allocated less), normal result
    problems: list[str] = field(default_factory=list)

    def as_dict(self) -> dict[str, Any]:
        return dict(self.__dict__)


# ------------------------------------------------------------------ scenarios

_hidden: dict[str, Any] = {}  # hidden module name -> what sys.modules held before


def hide_modules(names: tuple[str, ...]) -> None:
    """Makes exactly `names` unimportable (None in sys.modules), putting back
    what an earlier call hid."""
    for name in [n for n in _hidden if n not in names]:
        module = _hidden.pop(name)
        if module is None:
            sys.modules.pop(name, None)
        else:
            sys.modules[name] = module
    for name in names:
        if name not in _hidden:
            _hidden[name] = sys.modules.get(name)
            sys.modules[name] = None  # type: ignore[assignment]


def _raising(call: Callable[[], Any], expected: type[BaseException]) -> Callable[[], str]:
    """A call whose normal outcome is an `expected` exception: its summary
    is that exception; a failure surfacing while handling one propagates."""

    def run() -> str:
        try:
            result = call()
        except expected as e:
            if caused_by_memory_error(e):
                raise
            return describe(e)
        return f"no exception: {result!r}"

    return run


class Scenario:
    """One call of the module.  `prepare()` runs outside the armed window and
    returns the call, which returns a comparable summary of what it did."""

    name = ""
    # The plain-Python class catches Exception around this call's plugin
    # import and lists the legacy catalogue instead: a MemoryError there ends
    # in that listing.
    falls_back = False

    # Plugin modules the call must find missing (an import of them fails).
    hidden: tuple[str, ...] = ()

    # Also failed point by point in the test process (warm calls), where the
    # reference-leak mode tracks it.
    in_process = False

    # Whether a second call allocates anew (its warm points are explored too).
    warm = True

    def prepare(self) -> Callable[[], Any]:
        hide_modules(self.hidden)
        return self.make()

    def make(self) -> Callable[[], Any]:
        raise NotImplementedError

    def preload(self) -> None:
        """Imports, before any child is forked, what the host kit and the
        tests need (not what the module imports at call time)."""
        for dependency in HOST_MODULES:
            importlib.import_module(dependency)

    def summarize(self, result: Any) -> Any:
        """The comparable summary of what the call returned (unarmed)."""
        return result

    def handled(self, summary: Any) -> bool:
        return self.falls_back and isinstance(summary, str) and LEGACY_HEADINGS[0] in summary


def _module() -> Any:
    return importlib.import_module(TARGET)


def _printed(call: Callable[[], Any]) -> Callable[[], str]:
    """The call with its output captured: the summary is what it printed."""

    def run() -> str:
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            result = call()
        return f"{out.getvalue()}\n-> {result!r}"

    return run


class Construct(Scenario):
    name = "LLMMetrics(client)"
    in_process = True

    def make(self) -> Callable[[], Any]:
        cls = _module().LLMMetrics
        client = make_client()

        def run() -> Any:
            obj = cls(client)
            return (type(obj).__name__, obj.is_bearer_token, type(obj.evaluators).__name__)

        return run


def make_frames() -> tuple[Any, Any, Any]:
    import pandas as pd

    return (
        pd.DataFrame({"text": ["the cat sat", "it rained"]}),
        pd.DataFrame({"text": ["the cat sat", "sun"]}),
        pd.DataFrame({"text": ["the cat sat", "it rained"]}),
    )


def _count_predictions(sources: Any, predictions: Any, references: Any, **kwargs: Any) -> dict:
    return {"prediction_count": len(predictions), "keywords": sorted(kwargs)}


class ComputeMetrics(Scenario):
    name = "compute_metrics"
    in_process = True

    def make(self) -> Callable[[], Any]:
        obj = _module().LLMMetrics(make_client())
        frames = make_frames()

        def run() -> Any:
            configuration = {"configuration": {"question_answering": {"exact_match": {}}}}
            result = obj.compute_metrics(configuration, *frames, custom_evaluators=[_count_predictions], tag="t")
            return sorted((k, repr(v)) for k, v in result.items())

        return run


class GetMetricsResult(Scenario):
    name = "get_metrics_result"
    in_process = True

    def make(self) -> Callable[[], Any]:
        obj = _module().LLMMetrics(make_client())
        configuration = {"configuration": {"retrieval_augmented_generation": {"faithfulness": {}}}}
        submitted = obj.compute_metrics(configuration, *make_frames())

        def run() -> Any:
            result = obj.get_metrics_result(configuration=dict(configuration), metrics_result=submitted)
            return sorted((k, sorted(v) if isinstance(v, dict) else repr(v)) for k, v in result.items())

        return run


class ShowSupportedMetrics(Scenario):
    falls_back = True

    def __init__(self, label: str, in_process: bool = False, **arguments: Any) -> None:
        self.name = f"show_supported_metrics({label})"
        self.arguments = arguments
        self.in_process = in_process

    def make(self) -> Callable[[], Any]:
        obj = _module().LLMMetrics(make_client())
        arguments = dict(self.arguments)
        if "member" in arguments:  # an enumeration member instead of its id
            entities = importlib.import_module(ENTITIES)
            arguments = {"metric_id": entities.LLMSubMetrics.ROUGE1, "metric_group": entities.LLMMetricType.ROUGE_SCORE}
        return _printed(lambda: obj.show_supported_metrics(**arguments))


class LegacyListing(Scenario):
    """The plugin without its entities module: the legacy listing."""

    name = "show_supported_metrics(legacy listing)"
    in_process = True
    falls_back = True
    hidden = (ENTITIES,)

    def prepare(self) -> Callable[[], Any]:
        importlib.import_module(CONSTANTS)  # it needs the entities module itself
        return super().prepare()

    def make(self) -> Callable[[], Any]:
        obj = _module().LLMMetrics(make_client())
        return _printed(obj.show_supported_metrics)


class WithoutPlugin(Scenario):
    """A method whose plugin import fails: the install hint, raised while
    the ImportError is handled."""

    def __init__(self, method: str, *hidden: str, in_process: bool = False) -> None:
        self.name = f"{method}(plugin missing)"
        self.method = method
        self.hidden = hidden
        self.in_process = in_process

    def make(self) -> Callable[[], Any]:
        obj = _module().LLMMetrics(make_client())
        frames = make_frames()
        configuration = {"configuration": {"question_answering": {"exact_match": {}}}}
        calls = {
            "compute_metrics": lambda: obj.compute_metrics(configuration, *frames),
            "get_metrics_result": lambda: obj.get_metrics_result(configuration, {}),
            "show_supported_metrics": lambda: obj.show_supported_metrics(),
            "display_result": lambda: obj.display_result({}),
        }
        return _raising(_printed(calls[self.method]), Exception)


class Refused(Scenario):
    """Arguments the binder refuses: the TypeError and its message."""

    def __init__(self, label: str, call: Callable[[Any], Any], in_process: bool = False) -> None:
        self.name = f"compute_metrics({label})"
        self.call = call
        self.in_process = in_process

    def make(self) -> Callable[[], Any]:
        obj = _module().LLMMetrics(make_client())
        call = self.call

        def run() -> Any:
            try:
                call(obj)
            except TypeError as e:
                if caused_by_memory_error(e):
                    raise
                return [describe(e), getattr(e, "__notes__", [])]
            return "no exception"

        return run


class _Config(dict):
    pass


class DisplayResult(Scenario):
    name = "display_result"
    in_process = True

    def make(self) -> Callable[[], Any]:
        obj = _module().LLMMetrics(make_client())
        results = {"robustness": {"adversarial_score": 0.5, "record_level": [0.5]}}
        return _printed(lambda: obj.display_result(results))


class IsKeyPresent(Scenario):
    """The private nested-key search, with more levels than it keeps inline."""

    name = "__is_key_present"
    in_process = True

    def make(self) -> Callable[[], Any]:
        obj = _module().LLMMetrics(make_client())
        config: Any = {"leaf": 1}
        for depth in range(8):
            # every other level a dict subclass, walked through its values()
            level = {f"level{depth}": config, "other": [depth]}
            config = level if depth % 2 else collections.OrderedDict(level)

        def run() -> Any:
            search = obj._LLMMetrics__is_key_present
            return (search(config, "leaf"), search(config, "absent"))

        return run


class Signature(Scenario):
    name = "inspect.signature(compute_metrics)"
    warm = False  # __code__ is made by the first call only

    def make(self) -> Callable[[], Any]:
        import inspect

        method = _module().LLMMetrics.compute_metrics

        def run() -> Any:
            return str(inspect.signature(method))

        return run


class Import(Scenario):
    """The import itself: every failure ends the import with an exception,
    and the next import must then succeed."""

    name = "import"
    warm = False

    def make(self) -> Callable[[], Any]:
        # What the module body imports is loaded beforehand (preload): the
        # failure points are then those of the module's own initialisation.
        self.preload()
        sys.modules.pop(MODULE_NAME, None)
        return lambda: importlib.import_module(MODULE_NAME)

    def summarize(self, module: Any) -> Any:
        obj = module.LLMMetrics(make_client())
        return _printed(lambda: obj.show_supported_metrics(metric_id="bleu"))()


class ValidCall(Scenario):
    """The `valid_call` of a method's block: the scenario of a method none
    of the others runs (a new one), until it has its own."""

    def __init__(self, key: str) -> None:
        self.key, self.name = key, f"{key} (valid call)"

    def make(self) -> Callable[[], Any]:
        client = make_client()
        obj = _module().LLMMetrics(client)
        args, kwargs = valid_call_arguments(self.key, client)
        return _printed(lambda: getattr(obj, self.key)(*args, **kwargs))


# The methods the scenarios below run (test_every_method_is_run_by_some_scenario).
RUN_BY_SCENARIOS = {"__init__", "compute_metrics", "get_metrics_result", "_LLMMetrics__get_metrics_manager",
                    "_LLMMetrics__show_supported_metrics_old", "show_supported_metrics",
                    "_LLMMetrics__validate_params", "display_result", "_LLMMetrics__is_key_present"}

SCENARIOS: dict[str, Scenario] = {
    s.name: s
    for s in (
        Import(),
        Construct(),
        ComputeMetrics(),
        GetMetricsResult(),
        ShowSupportedMetrics("all", in_process=True),
        ShowSupportedMetrics("task_type", task_type="generation"),
        ShowSupportedMetrics("metric_id", metric_id="rouge1"),
        ShowSupportedMetrics("metric_group", metric_group="rouge_score"),
        ShowSupportedMetrics("task_type, metric_id", task_type="generation", metric_id="exact_match"),
        ShowSupportedMetrics("metric_group, metric_id", in_process=True, metric_group="rouge_score",
                             metric_id="rouge1"),
        ShowSupportedMetrics("members", member=True),
        ShowSupportedMetrics("unknown metric", metric_id="no_such_metric"),
        ShowSupportedMetrics("unknown task type", task_type="no_such_task"),
        ShowSupportedMetrics("unknown group", in_process=True, metric_group="no_such_group"),
        LegacyListing(),
        WithoutPlugin("show_supported_metrics", ENTITIES, CONSTANTS, in_process=True),
        WithoutPlugin("compute_metrics", MANAGER, in_process=True),
        WithoutPlugin("get_metrics_result", MANAGER),
        WithoutPlugin("display_result", ROBUSTNESS),
        Refused("dict subclass", lambda obj: obj.compute_metrics(_Config(), None, None, None), in_process=True),
        Refused("too many arguments", lambda obj: obj.compute_metrics({}, None, None, None, [], 5), in_process=True),
        Refused("repeated argument", lambda obj: obj.compute_metrics({}, configuration={})),
        DisplayResult(),
        IsKeyPresent(),
        Signature(),
        *(ValidCall(key) for key in METHOD_KEYS if key not in RUN_BY_SCENARIOS),
    )
}


# ------------------------------------------------------------------ judging


def judge(scenario: Scenario, report: Report, point: int, outcome: tuple, expected: Any, again: Any,
          again_error: BaseException | None) -> None:
    """Adds point `point`'s verdict to `report`."""
    summary, error, _count, failed, site = outcome
    where = f"point {point} (module offset {site:#x})"
    if failed:
        report.exercised += 1
        if caused_by_memory_error(error):
            report.memory_errors += 1
        elif error is None and scenario.handled(summary):
            report.handled += 1
        elif error is None and summary == expected:
            report.absorbed += 1
            report.absorbed_sites.append(f"{site:#x}")
        elif error is None:
            report.problems.append(f"{where}: the failure was swallowed, the call returned {summary!r:.200}")
        else:
            report.problems.append(f"{where}: {describe(error)} instead of MemoryError")
    elif error is None and summary == expected:
        report.unreached += 1  # the call allocated less this time, and was a normal call
    else:
        report.problems.append(f"point {point} not reached, yet the call gave {describe(error)} / {summary!r:.200}")
    if again_error is not None or again != expected:
        report.problems.append(f"{where}: the next call gave {describe(again_error)} / {again!r:.200}")


def _call_plain(scenario: Scenario) -> tuple[Any, BaseException | None]:
    try:
        return scenario.summarize(scenario.prepare()()), None
    except BaseException as e:  # noqa: BLE001
        return None, e


def fail_each_point(injector: Injector, scenario: Scenario, every: bool | None = None) -> Report:
    """Fails the scenario's points in turn in this process (warm calls)."""
    report = Report(scenario.name)
    expected, error = _call_plain(scenario)
    if error is not None:
        report.problems.append(f"the call fails without injection: {describe(error)}")
        return report
    dry = injector.run(scenario, 0)
    report.count = dry[2]
    if dry[1] is not None or dry[0] != expected:
        report.problems.append(f"the counting run gave {describe(dry[1])}")
    for point in points(report.count, every):
        outcome = injector.run(scenario, point)
        again, again_error = _call_plain(scenario)
        judge(scenario, report, point, outcome, expected, again, again_error)
    return report


# ------------------------------------------------- forked children (driver side)


def _in_child(work: Callable[[], Any]) -> tuple[Any, str | None]:
    """Runs work() in a forked child; returns (its JSON result, None) or
    (None, how the child died)."""
    read_end, write_end = os.pipe()
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:  # the child
        os.close(read_end)
        status = 0
        try:
            data = json.dumps(work()).encode()
            with os.fdopen(write_end, "wb") as out:
                out.write(data)
        except BaseException:  # noqa: BLE001
            import traceback

            traceback.print_exc()
            status = 3
        os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as source:
        data = source.read()
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        return None, f"killed by signal {os.WTERMSIG(status)}"
    if os.WEXITSTATUS(status) != 0 or not data:
        return None, f"exited with status {os.WEXITSTATUS(status)}"
    return json.loads(data), None


def _jsonable(value: Any) -> Any:
    return json.loads(json.dumps(value, default=repr))


def explore_here(injector: Injector, scenario: Scenario, warm: bool, every: bool | None = None) -> Report:
    """Driver side of `explore`: this process is fresh and forks per point."""
    report = Report(scenario.name + (" (warm)" if warm else ""))
    scenario.preload()
    if warm:
        _call_plain(scenario)

    def expected_call() -> Any:
        summary, error = _call_plain(scenario)
        return _jsonable([summary, describe(error) if error else None])

    expected, died = _in_child(expected_call)
    if died or expected[1] is not None:
        report.problems.append(f"the call fails without injection: {died or expected[1]}")
        return report

    def count_call() -> Any:
        summary, error, count, _, _ = injector.run(scenario, 0)
        return [count, describe(error) if error else None]

    counted, died = _in_child(count_call)
    if died or counted[1] is not None:
        report.problems.append(f"the counting run failed: {died or counted[1]}")
        return report
    report.count = counted[0]

    for point in points(report.count, every):

        def fail_point(point: int = point) -> Any:
            summary, error, count, failed, site = injector.run(scenario, point)
            # The outcome is judged here, where the exception object lives.
            single = Report(scenario.name)
            again, again_error = _call_plain(scenario)
            judge(scenario, single, point, (_jsonable(summary), error, count, failed, site), expected[0],
                  _jsonable(again), again_error)
            return single.as_dict()

        result, died = _in_child(fail_point)
        if died:
            report.problems.append(f"point {point}: the process was {died}")
            continue
        report.exercised += result["exercised"]
        report.memory_errors += result["memory_errors"]
        report.handled += result["handled"]
        report.absorbed += result["absorbed"]
        report.absorbed_sites.extend(result["absorbed_sites"])
        report.unreached += result["unreached"]
        report.problems.extend(result["problems"])
    return report


def explore(injector_path: pathlib.Path, scenario: str, warm: bool = False, every: bool | None = None,
            timeout: float = 1800) -> Report:
    """Runs `explore_here` in a fresh interpreter and returns its report."""
    command = [sys.executable, "-X", "faulthandler", __file__, "--driver", str(injector_path), scenario]
    if warm:
        command.append("--warm")
    if every is not None:
        command.append("--all" if every else "--sample")
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if done.returncode != 0 or not lines:
        report = Report(scenario)
        report.problems.append(f"the driver failed ({done.returncode}):\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}")
        return report
    report = Report(scenario)
    report.__dict__.update(json.loads(lines[-1]))
    if report.problems and done.stderr.strip():
        # A child's traceback or a fatal-error dump: worth seeing with the problems.
        report.problems.append("driver's stderr, last lines:\n" + "\n".join(done.stderr.splitlines()[-30:]))
    return report


def _driver(argv: list[str]) -> int:
    injector_path = pathlib.Path(argv[0])
    every = True if "--all" in argv else False if "--sample" in argv else None
    injector = Injector.open(injector_path)
    names = [a for a in argv[1:] if not a.startswith("--")]
    if names == ["*"]:
        # Every scenario: the import first (this process has not imported the
        # module), then the first calls (made only in children, so each
        # still sees the module as the import left it), then the warm ones.
        runs = [(SCENARIOS["import"], False)]
        runs += [(s, False) for s in SCENARIOS.values() if not isinstance(s, Import)]
        runs += [(s, True) for s in SCENARIOS.values() if s.warm]
    else:
        runs = [(SCENARIOS[name], "--warm" in argv) for name in names]
    for scenario, warm in runs:
        if not isinstance(scenario, Import):
            _module()
        report = explore_here(injector, scenario, warm, every)
        print(json.dumps(report.as_dict()), flush=True)
    return 0


def explore_all(injector_path: pathlib.Path, every: bool | None = None, timeout: float = 7200) -> dict[str, Report]:
    """Every scenario, first and warm calls, in one fresh interpreter."""
    command = [sys.executable, "-X", "faulthandler", __file__, "--driver", str(injector_path), "*"]
    if every is not None:
        command.append("--all" if every else "--sample")
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    reports = {}
    for line in done.stdout.splitlines():
        if line.startswith("{"):
            report = Report("")
            report.__dict__.update(json.loads(line))
            reports[report.scenario] = report
    if done.returncode != 0:
        failure = Report("driver")
        failure.problems.append(f"the driver failed ({done.returncode}):\n{done.stderr[-3000:]}")
        reports["driver"] = failure
    return reports


def table(reports: Iterable[Report]) -> str:
    rows = [("scenario", "points", "exercised", "MemoryError", "fallback", "absorbed", "problems")]
    for r in reports:
        rows.append((r.scenario, str(r.count), str(r.exercised), str(r.memory_errors), str(r.handled),
                     str(r.absorbed), str(len(r.problems))))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in
                               enumerate(zip(row, widths))) for row in rows)


def main(argv: list[str]) -> int:
    if argv[:1] == ["--driver"]:
        return _driver(argv[1:])
    every = "--all" in argv or exhaustive()
    names = [a for a in argv if not a.startswith("--")]
    injector_path = build_injector()
    if names:
        reports = [explore(injector_path, name, warm, every)
                   for name in names for warm in ((False, True) if SCENARIOS[name].warm else (False,))]
    else:
        reports = list(explore_all(injector_path, every).values())
    for report in reports:
        for problem in report.problems:
            print(f"{report.scenario}: {problem}", file=sys.stderr)
    print(table(reports))
    return 1 if any(r.problems for r in reports) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
