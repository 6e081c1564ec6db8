"""Re-entrant chains as deep as the recursion limit lets them go.

Each path is a stand-in the class calls that calls the class again, so that
one call nests until something stops it: the host table's `list` listing the
metrics again, a custom evaluator computing metrics, `validate_type`, the
metrics manager and the robustness display each calling back into the class,
and the key search through a subclass that replaces the searching method;
the key search itself, nesting with no Python code between its levels
(a key that counts its hashes tells the depth); a client whose property, read
by the constructor, makes another instance; and a searched key whose hash
starts another search.

Run as a script, in a fresh interpreter (a native stack overflow kills the
process, not the test that started it):

    python deep_reentry.py IMPL PATH LIMIT [PLACE [LEVELS]]

runs PATH on IMPL ("native" or "baseline") with sys.setrecursionlimit(LIMIT)
at PLACE (one of PLACES, "main" when not given), nesting at most LEVELS
levels (no bound when not given), and prints one JSON line: the exception's
type and text, whether a RecursionError ended the chain (itself or in its
context chain), and the depth reached.
"""

from __future__ import annotations

import ctypes
import importlib
import json
import mmap
import os
import platform
import resource
import sys
import threading
from typing import Any, Callable

import fakes
from llm_metrics_testing import MODULE_NAME, SANITIZED
from llm_metrics_testing import oracle as baseline
from zel_tarn_quillgate.base_classes.tables import Table as HostTable

IMPLS = ("native", "baseline")
LIMITS = (1_000, 10_000, 100_000)
PATHS = ("table", "evaluator", "validate_type", "manager", "display", "key_search", "key_search_plain",
         "client_property", "key_hash")
# Where a chain runs:
#   main, thread            the main thread; a thread of the default size
#   thread-KiB              a thread made after threading.stack_size(KiB * 1024)
#                           (times SMALL_STACK_SCALE, at least THREAD_STACK_MIN)
#   thread-huge             a thread whose stack (1 GiB) holds any chain the
#                           recursion limit lets through
#   greenlet                a greenlet of the main thread
#   fiber, fiber-thread     a 1 MiB stack of its own (ucontext, as coroutine and
#                           fiber libraries switch stacks), in the main thread or
#                           a thread of the default size
#   fiber-declared          the same in the main thread, its bounds declared to
#                           the interpreter (PyUnstable_ThreadState_SetStackProtection)
#   ulimit-KiB              the main thread, started with RLIMIT_STACK at KiB * 1024
#   rlimit-raised           the main thread, started with RLIMIT_STACK at 2 MiB
#                           and raised to 64 MiB after a first call
#   rlimit-lowered          the main thread, RLIMIT_STACK lowered from its
#                           start value to 2 MiB after a first call
PLACES = ("main", "thread", "thread-64", "thread-256", "thread-512", "thread-1024", "thread-huge", "greenlet",
          "fiber", "fiber-thread", "fiber-declared", "ulimit-1024", "rlimit-raised", "rlimit-lowered")
HUGE_STACK = 1 << 30
KEPT: list = []
FIBER_STACK = 1 << 20
# Where the layout of ucontext_t below is known.
OWN_STACKS = platform.machine() == "x86_64" and platform.libc_ver()[0] == "glibc"
MIB = 1 << 20
# The smallest thread stack the C library makes (64 KiB is below it on
# aarch64, whose pages may be 64 KiB: there it is 128 KiB).
THREAD_STACK_MIN = os.sysconf("SC_THREAD_STACK_MIN")
# Under the sanitizer (asan.sh) frames are several times larger: a small
# thread stack is made as many times larger as well.
SMALL_STACK_SCALE = 4 if SANITIZED else 1


def _deep(levels: int) -> dict:
    config: dict = {}
    for _ in range(levels):
        config = {"a": config}
    return config


def _reentrant_paths(module: Any, obj: Any, depth: list[int], levels: int, limit: int
                     ) -> dict[str, tuple[str, Any, Callable[[], Any]]]:
    """path -> (module global or plugin module to replace, its stand-in, the first call)."""
    config = {"configuration": {}}

    def again() -> bool:
        depth[0] += 1
        return depth[0] < levels

    class ListingTable(HostTable):
        def list(self, *args: Any, **kwargs: Any) -> None:
            if again():
                obj.show_supported_metrics()

    def evaluator(sources: Any, predictions: Any, references: Any, **kwargs: Any) -> dict:
        return obj.compute_metrics(config, custom_evaluators=[evaluator]) if again() else {}

    def validate_type(value: Any, name: Any, expected: Any, required: Any) -> None:
        if name == "configuration" and again():
            obj.get_metrics_result(config, {})

    class Manager(fakes.FakeMetricManager):
        def __init__(self, configuration: Any, **kwargs: Any) -> None:
            if again():
                obj.get_metrics_result(config, {})

    class Display:
        @staticmethod
        def display_robustness_results(results: Any) -> Any:
            return obj.display_result(results) if again() else results

    class Replaced(module.LLMMetrics):
        def _LLMMetrics__is_key_present(self, config: Any, key: Any) -> Any:
            depth[0] += 1
            return module.LLMMetrics._LLMMetrics__is_key_present(self, config, key)

    class CountingKey:
        """A key that counts the levels of a search: each level hashes it once."""

        def __hash__(self) -> int:
            depth[0] += 1
            return 0

        def __eq__(self, other: object) -> bool:
            return False

    class ReenteringClient(type(obj.ai_client)):  # type: ignore[misc]
        """A client whose authenticator, read by the constructor, makes another instance."""

        @property
        def authenticator(self) -> Any:
            if again():
                module.LLMMetrics(self)
            return self._authenticator

        @authenticator.setter
        def authenticator(self, value: Any) -> None:
            self._authenticator = value

    class ReenteringKey:
        """A key whose hash, taken by a search, starts another search."""

        def __hash__(self) -> int:
            if again():
                obj._LLMMetrics__is_key_present({"a": {}}, self)
            return 0

    searcher = Replaced.__new__(Replaced)
    client = obj.ai_client

    def nested() -> dict:
        """A configuration deeper than the recursion limit lets a search go,
        made when a search starts and kept to the end: released on a small
        stack, its dictionaries would overflow it one inside the other."""
        KEPT.append(_deep(min(levels, limit + 10)))
        return KEPT[-1]

    return {
        "table": ("Table", ListingTable, obj.show_supported_metrics),
        "evaluator": ("", None, lambda: obj.compute_metrics(config, custom_evaluators=[evaluator])),
        "validate_type": ("validate_type", validate_type, lambda: obj.get_metrics_result(config, {})),
        "manager": (fakes.MANAGER, fakes.fake_module(fakes.MANAGER, LLMMetricManager=Manager),
                    lambda: obj.get_metrics_result(config, {})),
        "display": (fakes.ROBUSTNESS, fakes.fake_module(fakes.ROBUSTNESS, RobustnessMetrics=Display),
                    lambda: obj.display_result([])),
        "key_search": ("", None, lambda: searcher._LLMMetrics__is_key_present(nested(), "missing")),
        "key_search_plain": ("", None, lambda: obj._LLMMetrics__is_key_present(nested(), CountingKey())),
        "client_property": ("", None, lambda: type(module.LLMMetrics(
            ReenteringClient(client.authenticator, client.service_url, host=client.host,
                             service_instance_id=client.service_instance_id))).__name__),
        "key_hash": ("", None, lambda: obj._LLMMetrics__is_key_present({"a": 1}, ReenteringKey())),
    }


def run(impl: str, path: str, limit: int, levels: int, first_call: Callable[[], None] = lambda: None
        ) -> dict[str, Any]:
    module = importlib.import_module(MODULE_NAME) if impl == "native" else baseline
    stand_ins = fakes.StandIns(module)
    stand_ins.install()
    stand_ins.use_catalogue(fakes.build_catalogue("plain", 30))
    obj = module.LLMMetrics(fakes.make_client())
    first_call()
    depth = [0]
    target, stand_in, call = _reentrant_paths(module, obj, depth, levels, limit)[path]
    if target in sys.modules or "." in target:
        sys.modules[target] = stand_in
    elif target:
        stand_ins.set_global(target, stand_in)
    outcome: dict[str, Any] = {"impl": impl, "path": path, "limit": limit}
    sys.setrecursionlimit(limit)
    try:
        with fakes.silenced_stdout():
            result = call()
    except BaseException as exc:  # noqa: BLE001 - what ended the chain is the result
        sys.setrecursionlimit(1_000)
        chain, seen = exc, []
        while chain is not None and len(seen) < 100:
            seen.append(chain)
            chain = chain.__context__
        first = next((e for e in seen if isinstance(e, RecursionError)), exc)
        outcome.update(exc_type=type(exc).__name__, recursion_error=isinstance(first, RecursionError),
                       text=str(first))
    else:
        sys.setrecursionlimit(1_000)
        outcome.update(exc_type=None, recursion_error=False, result=repr(result))
    outcome["depth"] = depth[0]
    return outcome


def in_thread(target: Callable[[], Any], stack_size: int = 0) -> Any:
    results: list[Any] = []
    threading.stack_size(stack_size)
    worker = threading.Thread(target=lambda: results.append(target()))
    worker.start()
    worker.join()
    threading.stack_size(0)
    return results[0]


def in_greenlet(target: Callable[[], Any]) -> Any:
    import greenlet

    return greenlet.greenlet(target).switch()


def declared(target: Callable[[], Any], low: int, size: int) -> Callable[[], Any]:
    """target, run with the stack [low, low + size) declared to the
    interpreter as the thread's, and the thread's own declared again after."""
    api = ctypes.pythonapi
    api.PyThreadState_Get.restype = ctypes.c_void_p
    set_protection = api.PyUnstable_ThreadState_SetStackProtection
    set_protection.argtypes, set_protection.restype = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t], ctypes.c_int
    reset = api.PyUnstable_ThreadState_ResetStackProtection
    reset.argtypes, reset.restype = [ctypes.c_void_p], None

    def run() -> Any:
        tstate = api.PyThreadState_Get()
        if set_protection(tstate, low, size) != 0:
            raise OSError("PyUnstable_ThreadState_SetStackProtection failed")
        try:
            return target()
        finally:
            reset(tstate)

    return run


def on_own_stack(target: Callable[[], Any], declare: bool = False) -> Any:
    """target() run on a stack of its own: makecontext/swapcontext of the C
    library over an mmap of FIBER_STACK bytes above a guard page (x86-64
    glibc's ucontext_t); with `declare`, its bounds declared to the
    interpreter while it runs there."""
    libc = ctypes.CDLL(None, use_errno=True)
    main_context, fiber_context = ctypes.create_string_buffer(4096), ctypes.create_string_buffer(4096)
    stack = mmap.mmap(-1, mmap.PAGESIZE + FIBER_STACK, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    guard_address = ctypes.addressof(ctypes.c_char.from_buffer(stack))
    if libc.mprotect(ctypes.c_void_p(guard_address), mmap.PAGESIZE, 0) != 0:  # PROT_NONE
        raise OSError(ctypes.get_errno(), "mprotect")
    stack_address = guard_address + mmap.PAGESIZE
    results: list[Any] = []
    if declare:
        target = declared(target, stack_address, FIBER_STACK)
    entry = ctypes.CFUNCTYPE(None)(lambda: results.append(target()))
    if libc.getcontext(fiber_context) != 0:
        raise OSError(ctypes.get_errno(), "getcontext")
    # uc_link at 8, uc_stack.ss_sp at 16, uc_stack.ss_size at 32
    ctypes.c_void_p.from_buffer(fiber_context, 8).value = ctypes.addressof(main_context)
    ctypes.c_void_p.from_buffer(fiber_context, 16).value = stack_address
    ctypes.c_size_t.from_buffer(fiber_context, 32).value = FIBER_STACK
    libc.makecontext(fiber_context, entry, 0)
    if libc.swapcontext(main_context, fiber_context) != 0:
        raise OSError(ctypes.get_errno(), "swapcontext")
    return results[0]


def set_stack_limit(soft: int) -> None:
    resource.setrlimit(resource.RLIMIT_STACK, (soft, resource.getrlimit(resource.RLIMIT_STACK)[1]))


def restart_with_stack_limit(soft: int) -> None:
    """Starts the interpreter again with RLIMIT_STACK at `soft`, unless it
    already runs with it (the main thread's stack is sized when it starts)."""
    if resource.getrlimit(resource.RLIMIT_STACK)[0] == soft:
        return
    if os.environ.get("DEEP_REENTRY_RESTARTED"):
        raise SystemExit(f"RLIMIT_STACK could not be set to {soft // 1024} KiB here")
    set_stack_limit(soft)
    os.environ["DEEP_REENTRY_RESTARTED"] = "1"
    os.execv(sys.executable, [sys.executable, *sys.orig_argv[1:]])


def main(argv: list[str]) -> None:
    impl, path, limit = argv[0], argv[1], int(argv[2])
    place = argv[3] if len(argv) > 3 else "main"
    levels = int(argv[4]) if len(argv) > 4 else sys.maxsize
    chain = lambda first_call=lambda: None: run(impl, path, limit, levels, first_call)  # noqa: E731
    # Imported here, as the baseline is: the calls are what runs on the stack
    # under test, not the import (whose parser wants more than 64 KiB under
    # the sanitizer).
    if impl == "native":
        importlib.import_module(MODULE_NAME)
    if place == "main":
        outcome = chain()
    elif place == "thread":
        outcome = in_thread(chain)
    elif place == "thread-huge":
        outcome = in_thread(chain, HUGE_STACK)
    elif place == "greenlet":
        outcome = in_greenlet(chain)
    elif place.startswith("thread-"):
        outcome = in_thread(chain, max(int(place.removeprefix("thread-")) * 1024 * SMALL_STACK_SCALE, THREAD_STACK_MIN))
    elif place in ("fiber", "fiber-thread", "fiber-declared") and OWN_STACKS:
        if place == "fiber-thread":
            outcome = in_thread(lambda: on_own_stack(chain))
        else:
            outcome = on_own_stack(chain, declare=place == "fiber-declared")
    elif place.startswith("ulimit-"):
        restart_with_stack_limit(int(place.removeprefix("ulimit-")) * 1024)
        outcome = chain()
    elif place == "rlimit-raised":
        restart_with_stack_limit(2 * MIB)
        outcome = chain(lambda: set_stack_limit(64 * MIB))
    elif place == "rlimit-lowered":
        outcome = chain(lambda: set_stack_limit(2 * MIB))
    else:
        raise SystemExit(f"place {place!r} unknown or not supported here: {PLACES}")
    print(json.dumps(outcome))


if __name__ == "__main__":
    main(sys.argv[1:])
