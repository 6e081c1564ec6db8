"""What the fuzz targets share: a data provider, plan drawing, running both
implementations, comparing what they did, and the atheris entry point.

A target is a module `fuzz_<name>.py` with `one_input(data: bytes)`: it
decodes the bytes into one call (or one short scenario), runs it through the
extension and through the plain-Python class on equally built stand-ins,
and hands both outcomes to `compare`.  The same function serves two masters:

* the corpus replay (`test_corpus_replay.py`, in the ordinary test run): no
  atheris; the bytes are decoded by `Provider`, which reads them exactly as
  atheris' FuzzedDataProvider does for the few methods used here, and a
  difference fails the test;
* the fuzzer (`python fuzz_<name>.py [libFuzzer options] CORPUS...`, started by
  tools/robustness/fuzz.sh): atheris' own provider, and a difference is kept
  as a finding (the shortest input per kind of difference, `diff-<kind>` in
  $FUZZ_FINDINGS) and the run goes on.  Crashes and sanitizer reports end
  the run as libFuzzer does.
"""

from __future__ import annotations

import gc
import hashlib
import os
import re
import sys
import tempfile
import types
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
for _folder in (HERE.parent / "robustness", HERE.parent / "support", HERE.parent):
    if str(_folder) not in sys.path:
        sys.path.append(str(_folder))

import baseline_llm_metrics as baseline  # noqa: E402
import reentrancy_support as rt  # noqa: E402
import robust_support as rs  # noqa: E402

FUZZING = False  # set by main(): atheris decodes, differences are kept, not raised


# ------------------------------------------------------------------ provider


class Provider:
    """The subset of atheris.FuzzedDataProvider the targets use, decoding alike:
    integers are read from the end of the data (big-endian, as few bytes as
    the range needs, then reduced modulo the range), raw bytes and booleans
    (the low bit of one byte) from the front; once the data is used up every
    draw gives its smallest value."""

    def __init__(self, data: bytes) -> None:
        self._data = data
        self._front = 0
        self._back = len(data)

    def remaining_bytes(self) -> int:
        return self._back - self._front

    def ConsumeIntInRange(self, low: int, high: int) -> int:
        span = high - low
        result = offset = 0
        while offset < 64 and span >> offset and self._back > self._front:
            self._back -= 1
            result = (result << 8) | self._data[self._back]
            offset += 8
        if span != (1 << 64) - 1:
            result %= span + 1
        return low + result

    def ConsumeBool(self) -> bool:
        chunk = self.ConsumeBytes(1)
        return bool(chunk) and bool(chunk[0] & 1)

    def PickValueInList(self, values: list[Any]) -> Any:
        if type(values) is not list:  # atheris' provider takes nothing else
            raise TypeError(f"PickValueInList() wants a list, not {type(values).__name__}")
        return values[self.ConsumeIntInRange(0, len(values) - 1)]

    def ConsumeBytes(self, count: int) -> bytes:
        count = max(0, min(count, self.remaining_bytes()))
        chunk = self._data[self._front:self._front + count]
        self._front += count
        return chunk


def provider(data: bytes) -> Any:
    if FUZZING:
        import atheris

        return atheris.FuzzedDataProvider(data)
    return Provider(data)


def usual(p: Any, percent: int) -> bool:
    """True in about `percent` of the draws, and once the data is used up
    (so that short inputs take the common paths)."""
    return p.ConsumeIntInRange(0, 99) < percent


def some(p: Any, most: int, draw: Callable[[], Any]) -> list[Any]:
    return [draw() for _ in range(p.ConsumeIntInRange(0, most))]


def text(p: Any, alphabet: str = "abcx_", most: int = 3) -> str:
    return "".join(p.PickValueInList(list(alphabet)) for _ in range(p.ConsumeIntInRange(0, most)))


# ------------------------------------------------------------ named draws
#
# What a seed exercises from a table (a call, a mutation, a hand-off point)
# is spelt out in it by name, so that adding or removing an entry of the
# table changes no other seed: the name's bytes are read from the front of
# the input up to a newline.  A name the table does not have fails the
# replay, saying which; the fuzzer skips such an input (main() hands it the
# names as a dictionary, so its mutations keep to them).


class UnknownName(AssertionError):
    """The input names an entry its table does not have."""


NAME_END = b"\n"
LONGEST_NAME = 120


def named(p: Any, table: Any, what: str) -> str:
    """The entry of `table` (a mapping or a collection of names) the input names."""
    raw = b""
    while len(raw) < LONGEST_NAME:
        byte = p.ConsumeBytes(1)
        if not byte or byte == NAME_END:
            break
        raw += byte
    name = raw.decode("utf-8", "replace")
    if name not in table:
        known = sorted(table)
        listing = ", ".join(map(repr, known[:12])) + (", ..." if len(known) > 12 else "")
        raise UnknownName(f"the input names {what} {name!r}, which is not one of {listing}: "
                          "the entry was renamed or removed; rename or drop the seed")
    return name


def name_bytes(*names: str) -> bytes:
    """The front of an input that names `names` in turn."""
    return b"".join(name.encode() + NAME_END for name in names)


def int_bytes(*draws: tuple[int, int, int]) -> bytes:
    """The back of an input from which ConsumeIntInRange(low, high) draws
    give `value`, for each (value, low, high) in the order drawn."""
    back = b""
    for value, low, high in draws:
        span, offset, chunk = high - low, 0, b""
        while offset < 64 and span >> offset:
            offset += 8
        chunk = (value - low).to_bytes(offset // 8, "little") if offset else b""
        back = chunk + back
    return back


# ------------------------------------------------- configurations as plans

# The plan language of robust_support.build_config: nested tuples.  Its
# tables' entries are named in the input: the kinds of dictionary and of
# mutator by their names, a key or an odd leaf by its repr (spaces collapsed).
DICT_KINDS = sorted(rs.DICT_CLASSES)
MUTATOR_KINDS = ["add", "pop", "swap", "clear"]


def _names_of(values: list[Any]) -> list[str]:
    return [" ".join(repr(value).split()) for value in values]


KEY_NAMES = _names_of(rs.KEYS)
LEAF_NAMES = _names_of(rs.ODD_LEAVES)


def key_index(p: Any) -> int:
    """The position in rs.KEYS of the key the input names."""
    return KEY_NAMES.index(named(p, KEY_NAMES, "a key"))


def config_plan(p: Any, depth: int = 0) -> Any:
    """A configuration plan: dictionaries of every kind, objects posing as
    one, odd leaves, hostile objects and references to an enclosing level."""
    kind = p.ConsumeIntInRange(0, 9 if depth < 6 else 4)
    if kind == 0:
        return ("leaf", LEAF_NAMES.index(named(p, LEAF_NAMES, "an odd leaf")))
    if kind == 1:
        return p.PickValueInList([("posing_no_values",), ("class_raises",)])
    if kind == 2:
        return ("mutator", named(p, MUTATOR_KINDS, "a mutator"))
    if kind == 3:
        return ("self", p.ConsumeIntInRange(0, 4))
    if kind == 4:
        return ("leaf", 0)
    entries = some(p, 4, lambda: (key_index(p), config_plan(p, depth + 1)))
    if kind == 5:
        return ("posing", entries)
    return ("dict", "dict" if kind < 8 else named(p, DICT_KINDS, "a kind of dict"), entries)


def key_plan(p: Any) -> Any:
    kind = p.ConsumeIntInRange(0, 6)
    if kind <= 1:
        return ("key", key_index(p))
    if kind == 2:
        return ("key_text", text(p, "abcx", 2))
    return [("unhashable",), ("bad_eq",), ("bad_hash",), ("missing",)][kind - 3]


def plan_names() -> list[str]:
    """The names the plans spell out: a fuzz target's dictionary."""
    return [*DICT_KINDS, *MUTATOR_KINDS, *KEY_NAMES, *LEAF_NAMES]


# ------------------------------------------------------------- the worlds


def oracle_methods() -> dict[str, Any]:
    """The oracle class's own functions by attribute name (private ones mangled)."""
    return {name: fn for name, fn in vars(baseline.LLMMetrics).items() if callable(fn) and hasattr(fn, "__code__")}


# ----------------------------------------------------------------- comparing

# Addresses, and the module of the class in the default repr of an instance.
_ADDRESS = re.compile(r"0x[0-9a-fA-F]+|[\w.]+(?=\.LLMMetrics object at )")
# A binding error is worded by the interpreter for the plain-Python class and
# by the module for the extension; its type and moment are what must agree.
_PYTHON_BINDING = re.compile(
    r"[\w.]+\(\) (missing \d+ required (positional|keyword-only) arguments?: .*"
    r"|takes (from -?\d+ to )?\d+ positional arguments? but \d+ (positional arguments? \(and \d+ keyword-only "
    r"arguments?\) )?(was|were) given|got multiple values for argument '.*'|got an unexpected keyword argument '.*'(\. Did you mean '.*'\?)?)")
_MODULE_BINDING = re.compile(
    r"\w+\(\) (takes (exactly|at least|at most) \d+ positional arguments? \(\d+ given\)"
    r"|got multiple values for keyword argument '.*'|got an unexpected keyword argument '.*')")

# Differences known and being fixed in the module; each is accepted (and
# counted) until its fix lands, then removed from this list.
# Differences accepted while they are being fixed: name -> predicate on
# (native, oracle).  Empty: every difference is a finding.
KNOWN: dict[str, Callable[[rs.Outcome, rs.Outcome], bool]] = {}
known_seen: dict[str, int] = {}


def _without_addresses(value: Any) -> Any:
    if type(value) is str:
        return _ADDRESS.sub("?", value)
    if type(value) in (tuple, list):
        return type(value)(map(_without_addresses, value))
    return value


def _normalise(outcome: rs.Outcome) -> None:
    outcome.message = _without_addresses(outcome.message)
    outcome.stdout = _without_addresses(outcome.stdout)
    outcome.returned = _without_addresses(outcome.returned)
    outcome.log = _without_addresses(outcome.log)


def compare(target: str, native: rs.Outcome, oracle: rs.Outcome, data: bytes, *extra: tuple[Any, Any]) -> None:
    """Both implementations ended alike (result, exception type and message,
    printed text, calls into the stand-ins; plus `extra` pairs of anything
    else), or else: a failed assertion when replaying, a kept finding when
    fuzzing."""
    _normalise(native)
    _normalise(oracle)
    if (native.exc_type is oracle.exc_type is TypeError and _MODULE_BINDING.fullmatch(native.message)
            and _PYTHON_BINDING.fullmatch(oracle.message)):
        native.message = oracle.message = "<binding error>"
    try:
        rs.assert_same(native, oracle)
        for mine, theirs in extra:
            assert mine == theirs, (mine, theirs)
    except AssertionError as error:
        for name, matches in KNOWN.items():
            if matches(native, oracle):
                known_seen[name] = known_seen.get(name, 0) + 1
                if FUZZING and known_seen[name] == 1:
                    print(f"KNOWN DIFFERENCE (accepted): {name}", file=sys.stderr, flush=True)
                return
        # The kind of difference: which part differs, and the exception types.
        part = next((name for name in ("exc_type", "message", "context_type", "returned", "stdout", "log")
                     if getattr(native, name) != getattr(oracle, name)), "extra")
        ends = "/".join(o.exc_type.__name__ if o.exc_type else "returned" for o in (native, oracle))
        expect(target, False, data, f"{part}:{ends}", f"{error}\n  native: {native}\n  oracle: {oracle}")


def expect(target: str, holds: bool, data: bytes, kind: str, detail: Any) -> None:
    """A rule of the target: a failed assertion when replaying; when fuzzing,
    the input is kept as `diff-<digest of target and kind>` (the shortest one
    per kind) and the run goes on."""
    if holds:
        return
    if not FUZZING:
        raise AssertionError(f"{kind}: {detail}")
    kind = f"{target}:{kind}"
    folder = Path(os.environ.get("FUZZ_FINDINGS") or Path(tempfile.gettempdir(), "llm-metrics-fuzz-findings"))
    path = folder / f"diff-{hashlib.sha1(kind.encode()).hexdigest()[:12]}"
    if kind not in _seen_kinds:  # once per run and kind, even when a shorter input is kept already
        _seen_kinds.add(kind)
        print(f"DIFFERENCE {kind} (kept as {path.name})\n  {str(detail)[:2000]}", file=sys.stderr, flush=True)
    if path.exists() and len(path.read_bytes()) <= len(data):
        return
    folder.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


_seen_kinds: set[str] = set()


# ------------------------------------------------------------------- running


def main(one_input: Callable[[bytes], None], names: Callable[[], list[str]] = list) -> None:
    """The atheris entry point of a target: libFuzzer options and corpus
    folders on the command line.  `names` gives the names its inputs spell
    out, handed to libFuzzer as a dictionary; an input naming none of them
    is skipped."""
    global FUZZING
    import atheris

    def guarded(data: bytes) -> None:
        try:
            one_input(data)
        except UnknownName:
            return

    argv = [os.environ.get("FUZZ_COMMAND", sys.argv[0]), *sys.argv[1:]]
    words = names()
    if words and not any(arg.startswith("-dict=") for arg in argv):
        dictionary = Path(tempfile.gettempdir(), f"llm-metrics-fuzz-{os.getpid()}.dict")
        dictionary.write_text("".join('"' + "".join(f"\\x{b:02X}" for b in name_bytes(word)) + '"\n'
                                      for word in words))
        argv.append(f"-dict={dictionary}")

    FUZZING = True
    if os.environ.get("FUZZ_PYTHON_COVERAGE", "1") != "0":
        _instrument_python(atheris)
    # Objects made before fuzzing starts are left out of the collections the
    # re-entrancy hooks run after every mutation.
    gc.collect()
    gc.freeze()
    # libFuzzer starts itself again for -merge (and -fork) through argv[0]:
    # a command that runs this target (fuzz.sh writes one), not the script.
    atheris.Setup(argv, guarded)
    atheris.Fuzz()


# Python code whose branches count as coverage too: the oracle, and the
# stand-ins whose behaviour the inputs choose.
INSTRUMENTED = ["baseline_llm_metrics", "fakes", "robust_support", "reentrancy_support", "browser_plans",
                "computation_plans"]


def _instrument_python(atheris: Any) -> None:
    for name in INSTRUMENTED:
        module = sys.modules.get(name)
        for value in list(vars(module).values()) if module else ():
            for item in [value, *vars(value).values()] if isinstance(value, type) else [value]:
                for fn in (getattr(item, "__func__", item), getattr(item, "fget", None)):
                    if isinstance(fn, types.FunctionType) and fn.__module__ == name:
                        atheris.instrument_func(fn)


def _check_provider() -> None:
    """Provider decodes random data exactly as atheris' provider does."""
    import random

    import atheris

    rng = random.Random(7)
    for _ in range(2000):
        data = rng.randbytes(rng.randint(0, 24))
        ours, theirs = Provider(data), atheris.FuzzedDataProvider(data)
        for _ in range(12):
            op = rng.randint(0, 3)
            if op == 0:
                low = rng.randint(-5, 5)
                high = low + rng.choice([0, 1, 7, 255, 256, 1000, 70000, 2**40])
                got = (ours.ConsumeIntInRange(low, high), theirs.ConsumeIntInRange(low, high))
            elif op == 1:
                got = (ours.ConsumeBool(), theirs.ConsumeBool())
            elif op == 2:
                values = list(range(rng.randint(1, 300)))
                got = (ours.PickValueInList(values), theirs.PickValueInList(values))
            else:
                n = rng.randint(0, 4)
                got = (ours.ConsumeBytes(n), theirs.ConsumeBytes(n))
            assert got[0] == got[1], (data, op, got)
            assert ours.remaining_bytes() == theirs.remaining_bytes()


if __name__ == "__main__" and sys.argv[1:] == ["--check-provider"]:
    _check_provider()
