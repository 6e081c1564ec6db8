"""The public-API gate: the extension uses CPython's public C API only.

    python tools/check_public_api.py [EXTENSION]

Fails (exit status 1, one line per finding) when
- the extension's undefined dynamic symbols include a private (`_Py`) or
  unstable (`PyUnstable`) one, other than those that the public API's own
  macros expand to (MACRO_SYMBOLS);
- the extension's undefined dynamic symbols include one of its own (a
  function of namespace llm_metrics declared, called, and defined nowhere:
  a method's body forgotten below its block, say), named with its fix;
- a source under src/ includes an internal header (`internal/...`,
  `pycore_*.h`) or a `cpython/...` header by its path, defines
  `Py_BUILD_CORE` (CMakeLists.txt included), or names a `_Py` or `PyUnstable`
  identifier outside comments and string literals: a macro's expansion is
  allowed in the object, not written out in the source.
Prints one line when clean.  Without an argument it checks the extension
that this Python imports.  The symbols come from `nm -D --undefined-only`,
or, without binutils, from the object's dynamic symbol table read here.
"""

from __future__ import annotations

import importlib.util
import re
import shutil
import struct
import subprocess
import sys
from collections.abc import Iterable
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MODULE_NAME = "zel_tarn_quillgate.supporting_classes.metrics.llm_metrics"

# What public macros and inline functions of CPython 3.13's headers compile
# to: the object refers to these without the source naming them.
MACRO_SYMBOLS = {
    "_Py_Dealloc": "Py_DECREF, Py_XDECREF, Py_CLEAR, Py_SETREF",
    "_Py_NoneStruct": "Py_None, Py_RETURN_NONE",
    "_Py_TrueStruct": "Py_True, Py_RETURN_TRUE",
    "_Py_FalseStruct": "Py_False, Py_RETURN_FALSE",
    "_Py_NotImplementedStruct": "Py_NotImplemented",
    "_Py_EllipsisObject": "Py_Ellipsis",
    "_PyObject_New": "PyObject_New",
    "_PyObject_NewVar": "PyObject_NewVar",
    "_PyObject_GC_New": "PyObject_GC_New",
    "_PyObject_GC_NewVar": "PyObject_GC_NewVar",
    "_PyErr_BadInternalCall": "PyErr_BadInternalCall",
    "_Py_FatalErrorFunc": "Py_FatalError",
}

# Unstable functions used where no stable one does the job, each in the one
# source that is its accessor.
UNSTABLE = {
    "PyUnstable_Code_NewWithPosOnlyArgs": "src/llm_metrics/core/method_function.cpp",
}

PRIVATE = re.compile(r"_Py|PyUnstable")
SOURCE_SUFFIXES = {".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp", ".hxx", ".inc"}
# Comments and string or character literals (raw strings included), which
# the identifier check skips.
NOT_CODE = re.compile(
    r"//[^\n]*|/\*.*?\*/|R\"([^()\\\s]{0,16})\(.*?\)\1\"|\"(?:\\.|[^\"\\\n])*\"|'(?:\\.|[^'\\\n])*'",
    re.DOTALL,
)
INCLUDE = re.compile(r"^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"]", re.MULTILINE)


def symbol_problems(undefined: Iterable[str]) -> list[str]:
    """The undefined symbols that are private or unstable API."""
    return [
        f"private C API symbol {name}" for name in sorted(set(undefined))
        if PRIVATE.match(name) and name not in MACRO_SYMBOLS and name not in UNSTABLE
    ]


OWN = re.compile(r"_ZN\d*(?:K|L)?11llm_metrics")


def own_symbol_problems(undefined: Iterable[str]) -> list[str]:
    """The extension's own functions it calls and defines nowhere, demangled."""
    own = sorted({name for name in undefined if OWN.match(name)})
    if not own:
        return []
    readable = own
    if shutil.which("c++filt"):
        out = subprocess.run(["c++filt", *own], capture_output=True, text=True, check=True)
        readable = out.stdout.splitlines()
    return [f"{name} is called and defined nowhere: write its definition (a method's body goes right "
            f"below its /*[method]*/ block, with the name and parameters struct that methods.hpp declares)"
            for name in readable]


def source_problems(path: str, text: str) -> list[str]:
    """Internal headers, Py_BUILD_CORE and private identifiers in one source."""
    found = []
    for m in INCLUDE.finditer(text):
        header = m.group(1)
        name = header.rsplit("/", 1)[-1]
        if "internal/" in header or name.startswith("pycore_") or header.startswith("cpython/") \
                or "/cpython/" in header:
            line = text.count("\n", 0, m.start()) + 1
            found.append(f"{path}:{line}: includes the internal header {header}")
    # Blank out comments and literals, keeping the line breaks.
    code = NOT_CODE.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)
    for m in re.finditer(r"\bPy_BUILD_CORE\w*|\b_Py\w*|\bPyUnstable\w*", code):
        if UNSTABLE.get(m.group(0)) == path:
            continue
        what = "defines core-only API" if m.group(0).startswith("Py_BUILD_CORE") else "private C API name"
        found.append(f"{path}:{code.count(chr(10), 0, m.start()) + 1}: {what} {m.group(0)}")
    return found


def undefined_with_nm(so: Path) -> list[str]:
    out = subprocess.run(["nm", "-D", "--undefined-only", str(so)], capture_output=True, text=True, check=True)
    return [line.split()[-1].split("@")[0] for line in out.stdout.splitlines() if line.strip()]


def undefined_from_elf(so: Path) -> list[str]:
    """The undefined symbols of a 64-bit little-endian ELF object's dynamic
    symbol table (.dynsym), as `nm -D --undefined-only` lists them."""
    data = so.read_bytes()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise ValueError(f"{so}: not a 64-bit little-endian ELF object")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    names = []
    for _name, kind, _flags, _addr, offset, size, link, _info, _align, entsize in sections:
        if kind != 11:  # SHT_DYNSYM
            continue
        strtab = sections[link][4]
        for at in range(offset + entsize, offset + size, entsize):  # entry 0 is the null symbol
            st_name, _info, _other, st_shndx = struct.unpack_from("<IBBH", data, at)
            if st_shndx == 0 and st_name:  # SHN_UNDEF
                end = data.index(b"\0", strtab + st_name)
                names.append(data[strtab + st_name:end].decode())
    return names


def undefined_symbols(so: Path) -> list[str]:
    return undefined_with_nm(so) if shutil.which("nm") else undefined_from_elf(so)


def installed_extension() -> Path:
    spec = importlib.util.find_spec(MODULE_NAME)
    if spec is None or not spec.origin:
        raise SystemExit(f"check_public_api: {MODULE_NAME} is not installed here")
    return Path(spec.origin)


def main(args: list[str]) -> int:
    so = Path(args[0]) if args else installed_extension()
    undefined = undefined_symbols(so)
    problems = [f"{so.name}: {p}" for p in symbol_problems(undefined)]
    own = [f"{so.name}: {p}" for p in own_symbol_problems(undefined)]
    sources = sorted(p for p in (ROOT / "src").rglob("*") if p.suffix in SOURCE_SUFFIXES)
    for path in sources:
        problems += source_problems(str(path.relative_to(ROOT)), path.read_text(encoding="utf-8"))
    for number, line in enumerate((ROOT / "CMakeLists.txt").read_text(encoding="utf-8").splitlines(), 1):
        if "Py_BUILD_CORE" in line.split("#", 1)[0]:
            problems.append(f"CMakeLists.txt:{number}: defines core-only API Py_BUILD_CORE")
    for p in problems + own:
        print(f"check_public_api: {p}", file=sys.stderr)
    if own and not problems:
        return 1
    if problems:
        print("check_public_api: the extension must use the public C API only "
              "(no _Py or PyUnstable names, no internal headers)", file=sys.stderr)
        return 1
    from_macros = len({name for name in undefined if PRIVATE.match(name)})
    print(f"check_public_api: {so.name} and {len(sources)} sources use the public C API only "
          f"({from_macros} of {len(set(undefined))} undefined symbols come from its macros)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
