"""Reference-leak hunting for pytest on a debug build of CPython.

Load with ``-p refleak_plugin`` (this folder must be importable) and switch it
on with ``--refleak``; without that option the plugin only registers the
``no_refleak`` marker (and, if ``--expect-module-origin`` is given, checks
where the named modules were imported from) and otherwise does nothing.

With ``--refleak`` every test item is run several times in a row, in the way
CPython's own ``regrtest -R`` does it: a few warm-up runs fill caches and
lazily created state, then up to a few tracked runs are measured. Around each
run the plugin restores process-wide state that a run may legitimately change
(warning filters, ``sys.path``, import caches, the ``zel_*`` entries of
``sys.modules``, ABC registries), clears the standard library's and the
interpreter's caches, collects garbage and reads ``sys.gettotalrefcount()``,
``sys.getallocatedblocks()`` and the number of open file descriptors. A test
fails when *every* tracked run grew one of these counts; occasional growth
(caches, free lists) is tolerated, and the first tracked run that grew nothing
ends the item's repetitions.

Each run goes through pytest's normal setup/call/teardown protocol, so
function-scoped fixtures are created and finalised per run; longer-lived
fixtures stay up across the runs of one item and are torn down as usual after
its last run. Only one run per item is reported to pytest (the last one, or
the first that did not pass), with the leak verdict folded into its call
phase.

Items marked ``@pytest.mark.no_refleak`` are run once, untracked, by pytest's
normal protocol. Items that start a process (subprocess, fork, exec, spawn,
``os.system``) are detected with an audit hook during their first run and are
not repeated.

Reference totals are only meaningful when every extension module in the
process was compiled for the debug build: a release-built extension's inline
reference counting does not update the total, which then drifts (numpy and
pandas by dozens per data frame). ``--refleak-counters=blocks,fds`` leaves the
references out of the verdict for such set-ups.
"""

from __future__ import annotations

import functools
import gc
import os
import sys
import types
import warnings
from typing import Any

import pytest

_MARKER = "no_refleak"

# Audit events raised when a test starts another process.
_SPAWN_EVENTS = frozenset(
    {
        "subprocess.Popen",
        "os.system",
        "os.posix_spawn",
        "os.spawn",
        "os.fork",
        "os.forkpty",
        "os.exec",
        "pty.spawn",
    }
)


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("refleak", "reference-leak hunting (debug builds of CPython)")
    group.addoption(
        "--refleak",
        action="store_true",
        default=False,
        help="run each test repeatedly and fail tests that leak references, "
        "memory blocks or file descriptors (needs a debug build of CPython)",
    )
    group.addoption(
        "--refleak-warmups",
        type=int,
        default=3,
        metavar="N",
        help="untracked warm-up runs per test (default 3)",
    )
    group.addoption(
        "--refleak-runs",
        type=int,
        default=4,
        metavar="N",
        help="tracked runs per test (default 4)",
    )
    group.addoption(
        "--refleak-counters",
        default="refs,blocks,fds",
        metavar="LIST",
        help="which counts fail a test when every tracked run grows them: any of "
        "refs, blocks, fds (default all three); the others are still shown",
    )
    group.addoption(
        "--refleak-isolate-modules",
        default="zel_",
        metavar="PREFIXES",
        help="comma-separated module-name prefixes whose sys.modules entries "
        "are put back as they were after every run (default: zel_)",
    )
    group.addoption(
        "--refleak-hypothesis-max-examples",
        type=int,
        default=25,
        metavar="N",
        help="cap on hypothesis examples per run while hunting (default 25; 0 keeps the configured value)",
    )
    group.addoption(
        "--expect-module-origin",
        action="append",
        default=[],
        metavar="MODULE=PATH",
        help="fail the session if MODULE was imported from a file outside PATH "
        "(proves which build of an extension the tests exercised; usable without --refleak)",
    )


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        f"{_MARKER}: run this test once and do not track it for reference leaks",
    )
    expect = []
    for entry in config.getoption("expect_module_origin"):
        name, sep, path = entry.partition("=")
        if not sep or not name or not path:
            raise pytest.UsageError(f"--expect-module-origin wants MODULE=PATH, got {entry!r}")
        expect.append((name, os.path.realpath(path)))
    if expect:
        config.pluginmanager.register(OriginCheck(expect), "expect-module-origin")
    if not config.getoption("refleak"):
        return
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError(
            "--refleak needs a debug build of CPython (sys.gettotalrefcount is missing)"
        )
    warmups = config.getoption("refleak_warmups")
    runs = config.getoption("refleak_runs")
    if warmups < 0 or runs < 1:
        raise pytest.UsageError("--refleak-warmups must be >= 0 and --refleak-runs >= 1")
    counters = frozenset(c.strip() for c in config.getoption("refleak_counters").split(",") if c.strip())
    if not counters or not counters <= {"refs", "blocks", "fds"}:
        raise pytest.UsageError("--refleak-counters takes a comma-separated subset of refs,blocks,fds")
    prefixes = tuple(p for p in config.getoption("refleak_isolate_modules").split(",") if p)
    _tune_hypothesis(config.getoption("refleak_hypothesis_max_examples"))
    config.pluginmanager.register(
        RefleakHunter(config, warmups, runs, prefixes, counters), "refleak-hunter"
    )


def _tune_hypothesis(max_examples: int) -> None:
    """Make hypothesis suitable for repeated runs on a slow interpreter.

    No deadline (a debug build is several times slower), no example database
    (nothing is written to the checkout), derandomized generation (every run
    of a test sees the same examples, so that a leak shows as steady growth
    rather than drowning in the noise of different inputs), and optionally
    fewer examples per run.
    """
    if "hypothesis" not in sys.modules:
        try:
            import hypothesis  # noqa: F401
        except ImportError:
            return
    from hypothesis import HealthCheck, settings

    current = settings.default
    if current is None:
        return
    changes: dict[str, Any] = {
        "deadline": None,
        "database": None,
        "derandomize": True,
        "suppress_health_check": list(current.suppress_health_check) + [HealthCheck.too_slow],
    }
    if max_examples > 0 and current.max_examples > max_examples:
        changes["max_examples"] = max_examples
    settings.register_profile("refleak-hunt", parent=current, **changes)
    settings.load_profile("refleak-hunt")


class _SpawnWatch:
    """Audit hook that notes whether the current run started a process."""

    def __init__(self) -> None:
        self.armed = False
        self.spawned = False

    def __call__(self, event: str, args: tuple) -> None:
        if self.armed and event in _SPAWN_EVENTS:
            self.spawned = True


class _Snapshot:
    """Process-wide state saved before an item's runs and restored after each run."""

    def __init__(self, prefixes: tuple[str, ...]) -> None:
        import copyreg

        self.prefixes = prefixes
        self.dispatch_table = copyreg.dispatch_table.copy()
        self.path_importer_cache = sys.path_importer_cache.copy()
        self.path = sys.path[:]
        self.meta_path = sys.meta_path[:]
        self.path_hooks = sys.path_hooks[:]
        try:
            import zipimport

            self.zip_cache: dict | None = getattr(zipimport, "_zip_directory_cache").copy()
        except (ImportError, AttributeError):
            self.zip_cache = None
        self.modules: dict | None = None
        self.abcs = _abc_registries()

    def keep_modules(self) -> None:
        """Take the isolated modules as they are now as the state to return to.

        Called after an item's first run: what that run imported for the first
        time stays imported (as it would in a normal session, where later
        tests share it); what later runs add, replace or remove is put back.
        """
        prefixes = self.prefixes
        self.modules = {k: v for k, v in list(sys.modules.items()) if prefixes and k.startswith(prefixes)}

    def restore(self) -> None:
        import copyreg

        copyreg.dispatch_table.clear()
        copyreg.dispatch_table.update(self.dispatch_table)
        sys.path_importer_cache.clear()
        sys.path_importer_cache.update(self.path_importer_cache)
        sys.path[:] = self.path
        sys.meta_path[:] = self.meta_path
        sys.path_hooks[:] = self.path_hooks
        if self.zip_cache is not None:
            import zipimport

            cache = getattr(zipimport, "_zip_directory_cache")
            cache.clear()
            cache.update(self.zip_cache)

        if self.prefixes and self.modules is not None:
            saved = self.modules
            for name in [k for k in list(sys.modules) if k.startswith(self.prefixes)]:
                if name not in saved:
                    del sys.modules[name]
            for name, module in saved.items():
                if sys.modules.get(name) is not module:
                    sys.modules[name] = module
                # A re-import also rebinds the submodule on its package.
                parent, _, child = name.rpartition(".")
                package = saved.get(parent)
                if package is not None:
                    current = getattr(package, child, None)
                    if current is not module and isinstance(current, types.ModuleType):
                        setattr(package, child, module)

        _restore_abc_registries(self.abcs)
        _clear_caches()


def _abc_registries() -> dict:
    """Registered virtual subclasses of the abstract classes of collections.abc."""
    import collections.abc
    from inspect import isabstract

    try:
        from _abc import _get_dump
    except ImportError:  # pure-Python abc
        return {}
    saved = {}
    for name in collections.abc.__all__:
        abc = getattr(collections.abc, name)
        if not isabstract(abc):
            continue
        for obj in abc.__subclasses__() + [abc]:
            saved[obj] = _get_dump(obj)[0]
    return saved


def _restore_abc_registries(saved: dict) -> None:
    import collections.abc
    from inspect import isabstract

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        classes = [getattr(collections.abc, name) for name in collections.abc.__all__]
    for abc in filter(isabstract, classes):
        for obj in abc.__subclasses__() + [abc]:
            refs = saved.get(obj)
            if refs is not None:
                obj._abc_registry_clear()
                for ref in refs:
                    subclass = ref()
                    if subclass is not None:
                        obj.register(subclass)
            obj._abc_caches_clear()


def _clear_caches() -> None:
    """Drop the contents of caches that fill up slowly as tests run."""
    for mod in list(sys.modules.values()):
        try:
            if hasattr(mod, "__warningregistry__"):
                del mod.__warningregistry__
        except Exception:
            pass

    for stream in (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__):
        if stream is not None:
            try:
                stream.flush()
            except Exception:
                pass

    def module(name):
        return sys.modules.get(name)

    cleaners = [
        ("re", lambda m: m.purge()),
        ("_strptime", lambda m: m._regex_cache.clear()),
        ("urllib.parse", lambda m: m.clear_cache()),
        ("urllib.request", lambda m: m.urlcleanup()),
        ("linecache", lambda m: m.clearcache()),
        ("mimetypes", lambda m: m._default_mime_types()),
        ("filecmp", lambda m: m._cache.clear()),
        ("struct", lambda m: m._clearcache()),
        ("doctest", lambda m: setattr(m, "master", None)),
        ("ctypes", lambda m: m._reset_cache()),
        ("fractions", lambda m: m._hash_algorithm.cache_clear()),
        ("importlib.metadata", lambda m: m.FastPath.__new__.cache_clear()),
    ]
    for name, clean in cleaners:
        mod = module(name)
        if mod is not None:
            try:
                clean(mod)
            except Exception:
                pass

    typing = module("typing")
    if typing is not None:
        from inspect import isabstract

        for f in getattr(typing, "_cleanups", ()):
            f()
        for abc in filter(isabstract, list(typing.__dict__.values())):
            for obj in abc.__subclasses__() + [abc]:
                obj._abc_caches_clear()

    inspect = module("inspect")
    if inspect is not None:
        for attr in ("_shadowed_dict_from_weakref_mro_tuple",):
            fn = getattr(inspect, attr, None)
            if fn is not None:
                fn.cache_clear()
        inspect._filesbymodname.clear()
        inspect.modulesbyfile.clear()

    for name in ("last_exc", "last_type", "last_value", "last_traceback"):
        if hasattr(sys, name):
            try:
                delattr(sys, name)
            except AttributeError:
                pass

    # Last, as the calls above may fill them again.
    clear_internal = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
    clear_internal()


def _settle_pandas(item) -> None:
    """Prune pandas' bookkeeping of views on data frames that outlive a run.

    pandas (copy-on-write) records every view of an index or a block of
    values with a weak reference in the original's ``_references``, and
    drops dead ones only when several hundred have piled up. A data frame
    made once (a parameter, a module constant) and used by every run thus
    grows by a few references per run without leaking anything. Clearing
    the dead ones after each run keeps the counts steady.
    """
    pd = sys.modules.get("pandas")
    if pd is None:
        return
    kinds = (pd.DataFrame, pd.Series, pd.Index)
    candidates = []
    callspec = getattr(item, "callspec", None)
    if callspec is not None:
        candidates.extend(callspec.params.values())
    for owner in (getattr(item, "module", None), getattr(item, "cls", None)):
        if owner is not None:
            candidates.extend(vars(owner).values())
    objects = []
    for value in candidates:
        if isinstance(value, kinds):
            objects.append(value)
        elif isinstance(value, (list, tuple)):
            objects.extend(v for v in value if isinstance(v, kinds))
        elif isinstance(value, dict):
            objects.extend(v for v in value.values() if isinstance(v, kinds))
    for obj in objects:
        try:
            holders = [obj] if isinstance(obj, pd.Index) else list(obj.axes)
            refs = [getattr(index, "_references", None) for index in holders]
            mgr = getattr(obj, "_mgr", None)
            refs.extend(getattr(block, "refs", None) for block in getattr(mgr, "blocks", ()))
            for ref in refs:
                if ref is not None:
                    ref._clear_dead_references(force=True)
        except Exception:
            pass  # another pandas version: nothing to prune


def _gc_collect() -> None:
    gc.collect()
    gc.collect()
    gc.collect()


def _fd_count() -> int:
    try:
        return len(os.listdir("/proc/self/fd"))
    except OSError:
        return 0


def _warm_caches() -> None:
    s = bytes(range(256))
    for i in range(256):
        s[i : i + 1]
    [chr(i) for i in range(256)]
    list(range(-5, 257))


def _shares_parent(item: pytest.Item, nextitem: pytest.Item | None) -> bool:
    """True when running ``nextitem`` next tears down nothing above ``item``."""
    if nextitem is None or item.parent is None:
        return False
    chain = item.parent.listchain()
    return nextitem.listchain()[: len(chain)] == chain


def _passed(reports) -> bool:
    return all(r.passed and not hasattr(r, "wasxfail") for r in reports)


class _Verdict:
    __slots__ = ("nodeid", "rc", "blocks", "fds", "leaked", "suspicious")

    def __init__(self, nodeid, rc, blocks, fds, counters=frozenset({"refs", "blocks", "fds"})):
        self.nodeid = nodeid
        self.rc = rc
        self.blocks = blocks
        self.fds = fds
        self.leaked = [
            (what, deltas)
            for key, what, deltas in (
                ("refs", "references", rc),
                ("blocks", "memory blocks", blocks),
                ("fds", "file descriptors", fds),
            )
            if key in counters and deltas and all(d >= 1 for d in deltas)
        ]
        self.suspicious = not self.leaked and any(any(d) for d in (rc, blocks, fds))

    def describe(self) -> str:
        return "; ".join(f"{what} {deltas} (sum {sum(deltas)})" for what, deltas in self.leaked)

    def deltas_text(self) -> str:
        return f"references {self.rc}, memory blocks {self.blocks}, file descriptors {self.fds}"


class RefleakHunter:
    def __init__(self, config, warmups, runs, prefixes, counters) -> None:
        self.counters = counters
        self.config = config
        self.warmups = warmups
        self.runs = runs
        self.prefixes = prefixes
        self.watch = _SpawnWatch()
        sys.addaudithook(self.watch)
        self.leaks: list[_Verdict] = []
        self.suspicious: list[_Verdict] = []
        self.tracked = 0
        self.untracked: list[tuple[str, str]] = []
        # bpo-31217: keep the common deltas as shared int objects so storing
        # them allocates nothing between measurements.
        self.int_pool = {value: value for value in range(-1000, 1000)}
        _warm_caches()

    # -- running -----------------------------------------------------------

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item: pytest.Item, nextitem: pytest.Item | None):
        if item.get_closest_marker(_MARKER) is not None:
            self.untracked.append((item.nodeid, "marked no_refleak"))
            return None  # pytest's own protocol runs it once

        from _pytest.runner import runtestprotocol

        ihook = item.ihook
        ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)

        # Intermediate runs tear down only the item itself; the run that
        # finishes the item uses the real next item so that module, class and
        # session fixtures are finalised exactly as in a normal session.
        shares = _shares_parent(item, nextitem)
        inner_next = nextitem if shares else item.parent

        total = self.warmups + self.runs
        pool = self.int_pool
        rc_deltas = [0] * total
        block_deltas = [0] * total
        fd_deltas = [0] * total
        gettotalrefcount = sys.gettotalrefcount
        getallocatedblocks = sys.getallocatedblocks
        interned = _interned_immortal_counter()
        user_properties = list(item.user_properties)

        snapshot = _Snapshot(self.prefixes)
        snapshot.restore()
        _gc_collect()
        # Everything alive now is older than this item: keep it out of the
        # collections below, which then only walk what the item's runs made
        # (a full collection of a heap holding pandas takes a good part of a
        # second on a debug build).
        gc.freeze()
        blocks_before = getallocatedblocks() - interned()
        rc_before = gettotalrefcount()
        fds_before = _fd_count()

        reports: list[pytest.TestReport] = []
        run_log: list[warnings.WarningMessage] | None = None
        reason = None  # why the item stopped being repeated early
        stop = total  # runs done when the item is tracked
        finished = False  # the item's final teardown has been done
        for i in range(total):
            item._report_sections = []
            item.user_properties[:] = user_properties
            self.watch.spawned = False
            self.watch.armed = True
            with warnings.catch_warnings(record=True) as run_log:
                try:
                    # teardown_exact() only reads nextitem.listchain(), so a
                    # collector stands in for "the next item" here.
                    reports = runtestprotocol(item, log=False, nextitem=inner_next)  # type: ignore[arg-type]
                finally:
                    self.watch.armed = False
            finished = shares
            if i == 0:
                snapshot.keep_modules()
            snapshot.restore()
            _prune_stale_fixture_finalizers(item)
            _gc_collect()
            _settle_pandas(item)
            _gc_collect()

            blocks_after = getallocatedblocks() - interned()
            rc_after = gettotalrefcount()
            fds_after = _fd_count()
            rc_deltas[i] = pool.setdefault(rc_after - rc_before, rc_after - rc_before)
            block_deltas[i] = pool.setdefault(blocks_after - blocks_before, blocks_after - blocks_before)
            fd_deltas[i] = pool.setdefault(fds_after - fds_before, fds_after - fds_before)
            rc_before, blocks_before, fds_before = rc_after, blocks_after, fds_after

            if not _passed(reports):
                reason = "failed" if any(r.failed for r in reports) else "skipped or xfail"
                if i:
                    reason += f" on run {i + 1}"
                    for rep in reports:
                        if not rep.passed:
                            rep.sections.append(
                                ("refleak", f"passed {i} time(s) in a row, then {rep.outcome} on run {i + 1} of {total}")
                            )
                break
            if self.watch.spawned:
                reason = "starts a process"
                break
            if i >= self.warmups and not any(
                delta >= 1
                for key, delta in (("refs", rc_deltas[i]), ("blocks", block_deltas[i]), ("fds", fd_deltas[i]))
                if key in self.counters
            ):
                # A tracked run that grew nothing: the test cannot be found
                # leaking any more, so the remaining runs are skipped.
                stop = i + 1
                break

        if not finished:
            # Stopped early on an item whose successor lives in another module
            # or class: one more run tears the enclosing scopes down properly.
            kept, kept_log = reports, run_log
            item._report_sections = []
            with warnings.catch_warnings(record=True) as final_log:
                final = runtestprotocol(item, log=False, nextitem=nextitem)
            snapshot.restore()
            if _passed(kept):
                reports, run_log = final, final_log
            else:
                # Keep the reports of the run that failed, but report an error
                # from the final teardown of the enclosing scopes as well.
                reports, run_log = list(kept), kept_log
                if not final[-1].passed and kept[-1].passed:
                    reports[-1] = final[-1]

        verdict = None
        if reason is None:
            tracked = slice(self.warmups, stop)
            verdict = _Verdict(
                item.nodeid, rc_deltas[tracked], block_deltas[tracked], fd_deltas[tracked], self.counters
            )
            self.tracked += 1
            if verdict.leaked:
                self.leaks.append(verdict)
                _mark_leak(item, reports, verdict, self.warmups)
            elif verdict.suspicious:
                self.suspicious.append(verdict)
        else:
            self.untracked.append((item.nodeid, reason))

        # Hand the reported run's warnings to pytest's own recorder.
        for message in run_log or ():
            _reemit(message)
        for rep in reports:
            ihook.pytest_runtest_logreport(report=rep)
        ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    # -- reporting ---------------------------------------------------------

    def pytest_sessionfinish(self, session: pytest.Session) -> None:
        gc.unfreeze()
        if self.leaks and session.exitstatus == 0:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED

    def pytest_terminal_summary(self, terminalreporter, exitstatus, config) -> None:
        tr = terminalreporter
        tr.section("reference leak hunt")
        tr.write_line(
            f"{self.warmups} warm-up + up to {self.runs} tracked runs per test; failing on growth of "
            f"{', '.join(sorted(self.counters))}; {sys.version.split()[0]} debug build, {sys.executable}"
        )
        for verdict in self.leaks:
            tr.write_line(f"LEAK {verdict.nodeid}: {verdict.describe()}", red=True, bold=True)
        if self.suspicious and config.getoption("verbose") > 0:
            for verdict in self.suspicious:
                tr.write_line(f"unsteady (not a leak) {verdict.nodeid}: {verdict.deltas_text()}")
        if config.getoption("verbose") > 0:
            for nodeid, reason in self.untracked:
                tr.write_line(f"untracked {nodeid}: {reason}")
        counts: dict[str, int] = {}
        for _, reason in self.untracked:
            key = reason.split(" on run ")[0]
            counts[key] = counts.get(key, 0) + 1
        extra = ", ".join(f"{n} {why}" for why, n in sorted(counts.items()))
        tr.write_line(
            f"refleak: {len(self.leaks)} leaking test(s) among {self.tracked} tracked"
            + (f"; untracked: {extra}" if extra else ""),
            red=bool(self.leaks),
            green=not self.leaks,
            bold=True,
        )


class OriginCheck:
    """Checks after the session that modules came from the expected place."""

    def __init__(self, expect: list[tuple[str, str]]) -> None:
        self.expect = expect
        self.errors: list[str] | None = None

    def _errors(self) -> list[str]:
        if self.errors is None:
            self.errors = []
            for name, path in self.expect:
                module = sys.modules.get(name)
                if module is None:
                    continue  # noted in the summary
                origin = os.path.realpath(getattr(module, "__file__", None) or "")
                if not origin.startswith(path.rstrip(os.sep) + os.sep):
                    self.errors.append(f"{name} was imported from {origin or module!r}, not from under {path}")
        return self.errors

    def pytest_sessionfinish(self, session: pytest.Session) -> None:
        if self._errors() and session.exitstatus == 0:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED

    def pytest_terminal_summary(self, terminalreporter) -> None:
        tr = terminalreporter
        for name, _ in self.expect:
            module = sys.modules.get(name)
            if module is None:
                tr.write_line(f"note: no test imported {name}", yellow=True)
            else:
                tr.write_line(f"{name} loaded from {getattr(module, '__file__', None)}")
        for error in self._errors():
            tr.write_line(f"ERROR {error}", red=True, bold=True)


def _prune_stale_fixture_finalizers(item) -> None:
    """Forget finalizers that finished fixtures left on longer-lived fixtures.

    When a function-scoped fixture uses a session-, module- or class-scoped
    one, pytest adds ``partial(dependent.finish, request=...)`` to the
    longer-lived fixture's finalizers and keeps it until that fixture is torn
    down, so every test run would look like a small leak. Once the dependent
    fixture has been finished (its cached result is gone) the finalizer only
    repeats a finished teardown, and dropping it changes nothing.
    """
    try:
        fixturedefs = item.session._fixturemanager._arg2fixturedefs.values()
    except AttributeError:
        return
    for defs in fixturedefs:
        for fixturedef in defs:
            finalizers = getattr(fixturedef, "_finalizers", None)
            if not finalizers:
                continue
            stale = [
                fin
                for fin in finalizers
                if isinstance(fin, functools.partial)
                and getattr(fin.func, "__name__", None) == "finish"
                and "request" in fin.keywords
                and getattr(getattr(fin.func, "__self__", None), "cached_result", True) is None
            ]
            for fin in stale:
                finalizers.remove(fin)


def _interned_immortal_counter():
    getsize = getattr(sys, "getunicodeinternedsize", None)
    if getsize is None:
        return lambda: 0
    try:
        getsize(_only_immortal=True)
    except TypeError:
        return lambda: 0
    return lambda: getsize(_only_immortal=True)


def _mark_leak(item, reports, verdict: _Verdict, warmups: int) -> None:
    text = (
        f"{item.nodeid} leaks: {verdict.describe()}\n"
        f"every one of the {len(verdict.rc)} tracked runs (after {warmups} warm-up runs) grew the count\n"
        f"all tracked deltas: {verdict.deltas_text()}"
    )
    target = next((r for r in reports if r.when == "call"), reports[-1])
    target.outcome = "failed"
    target.longrepr = text


def _reemit(message) -> None:
    impl = getattr(warnings, "_showwarnmsg_impl", None)
    if impl is not None:
        impl(message)
    else:
        warnings.showwarning(
            message.message, message.category, message.filename, message.lineno, message.file, message.line
        )
