"""Checks a repaired product wheel: a manylinux tag of the architecture its
binary is built for, at that architecture's lowest glibc, and nothing but the
extension, its stub and the distribution's own metadata.

    python tools/check_wheel.py dist/zel_tarn_quillgate_llm_metrics-*.whl
"""

from __future__ import annotations

import re
import struct
from email.parser import Parser
import sys
import zipfile
from pathlib import Path

PACKAGE_DIR = "zel_tarn_quillgate/supporting_classes/metrics/"
ALLOWED = (
    re.compile(re.escape(PACKAGE_DIR) + r"llm_metrics\.cpython-(?P<abi>\d+)-[\w-]+\.so"),
    re.compile(re.escape(PACKAGE_DIR) + r"llm_metrics\.pyi"),
    re.compile(r"zel_tarn_quillgate_llm_metrics-[^/]+\.dist-info/(METADATA|WHEEL|RECORD|licenses/LICENSE)"),
)
# ELF e_machine -> the architecture a platform tag names, and the lowest glibc
# a manylinux tag of it can have (the oldest release for that architecture).
# The module needs nothing of the C library beyond those: a newer floor means
# a newer symbol version was linked in by accident.
MACHINES = {62: ("x86_64", (2, 5)), 183: ("aarch64", (2, 17))}
MANYLINUX = re.compile(r"manylinux_(\d+)_(\d+)_(\w+)")


def elf_machine(binary: bytes) -> int | None:
    """The e_machine field of an ELF header, None for anything else."""
    if len(binary) < 20 or binary[:4] != b"\x7fELF" or binary[5] not in (1, 2):
        return None
    return struct.unpack_from("<H" if binary[5] == 1 else ">H", binary, 18)[0]


def manylinux_tags(wheel: Path) -> list[tuple[int, int, str]]:
    """(glibc major, minor, architecture) of each manylinux tag of the file name."""
    tags = wheel.stem.split("-")[-1].split(".")
    return [(int(m[1]), int(m[2]), m[3]) for t in tags if (m := MANYLINUX.fullmatch(t))]


def problems(wheel: Path) -> list[str]:
    found = []
    tags = wheel.stem.split("-")[-1].split(".")
    manylinux = manylinux_tags(wheel)
    with zipfile.ZipFile(wheel) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]  # directory entries
        binaries = {n: z.read(n) for n in names if ALLOWED[0].fullmatch(n)}
        wheel_file = [z.read(n).decode() for n in names if n.endswith(".dist-info/WHEEL")]
    # What pip reads is the WHEEL file's tags (a header after a blank line is
    # not one): they are the file name's.
    interpreter, abi = wheel.stem.split("-")[-3:-1]
    named = {f"{interpreter}-{abi}-{t}" for t in tags}
    declared = set(Parser().parsestr(wheel_file[0]).get_all("Tag") or []) if wheel_file else set()
    if declared != named:
        found.append(f"the WHEEL file's tags {sorted(declared)} are not the file name's {sorted(named)}")
    if not manylinux:
        found.append(f"platform tag {'.'.join(tags)!r} is not a manylinux tag")
    for name, binary in binaries.items():
        machine = elf_machine(binary)
        if machine not in MACHINES:
            found.append(f"{name} is not an ELF binary of a known architecture (e_machine {machine})")
            continue
        arch, floor = MACHINES[machine]
        if others := [t for t in tags if not t.endswith("_" + arch)]:
            found.append(f"platform tag {'.'.join(tags)!r}: {', '.join(others)} is not for {arch}, the binary's")
        elif manylinux and (floor[0], floor[1], arch) not in manylinux:
            found.append(f"platform tag {'.'.join(tags)!r} needs a glibc newer than {floor[0]}.{floor[1]}, "
                         f"the oldest for {arch} (objdump -T the .so for GLIBC_2.x)")
    for name in names:
        if not any(p.fullmatch(name) for p in ALLOWED):
            found.append(f"unexpected file {name}")
    # The extension is built for the interpreter the wheel's tag names.
    for name in names:
        if (so := ALLOWED[0].fullmatch(name)) and not wheel.stem.split("-")[-3] == "cp" + so["abi"]:
            found.append(f"{name} is not for the wheel's interpreter tag {wheel.stem.split('-')[-3]}")
    for pattern in ALLOWED[:2]:
        if not any(pattern.fullmatch(n) for n in names):
            found.append(f"missing {pattern.pattern}")
    return found


def main(paths: list[str]) -> int:
    if len(paths) != 1:
        print("usage: check_wheel.py WHEEL (exactly one)", file=sys.stderr)
        return 2
    wheel = Path(paths[0])
    errors = problems(wheel)
    for e in errors:
        print(f"check_wheel: {wheel.name}: {e}", file=sys.stderr)
    if not errors:
        major, minor, arch = min(manylinux_tags(wheel))
        print(f"check_wheel: {wheel.name}: {arch} binary, manylinux tag (glibc floor {major}.{minor}), "
              f"{len(ALLOWED)} kinds of files, nothing else")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
