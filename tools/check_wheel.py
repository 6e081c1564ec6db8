"""Checks a repaired product wheel: a manylinux tag and nothing but the
extension, its stub and the distribution's own metadata.

    python tools/check_wheel.py dist/zel_tarn_quillgate_llm_metrics-*.whl
"""

from __future__ import annotations

import re
import sys
import zipfile
from pathlib import Path

PACKAGE_DIR = "zel_tarn_quillgate/supporting_classes/metrics/"
ALLOWED = (
    re.compile(re.escape(PACKAGE_DIR) + r"llm_metrics\.cpython-(?P<abi>\d+)-[\w-]+\.so"),
    re.compile(re.escape(PACKAGE_DIR) + r"llm_metrics\.pyi"),
    re.compile(r"zel_tarn_quillgate_llm_metrics-[^/]+\.dist-info/(METADATA|WHEEL|RECORD|licenses/LICENSE)"),
)


def problems(wheel: Path) -> list[str]:
    found = []
    tags = wheel.stem.split("-")[-1]
    if not any(tag.startswith("manylinux_") for tag in tags.split(".")):
        found.append(f"platform tag {tags!r} is not a manylinux tag")
    elif "manylinux_2_5_x86_64" not in tags.split("."):
        # The module needs nothing of the C library beyond glibc 2.5: a newer
        # floor means a newer symbol version was linked in by accident.
        found.append(f"platform tag {tags!r} needs a glibc newer than 2.5 (objdump -T the .so for GLIBC_2.x)")
    with zipfile.ZipFile(wheel) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]  # directory entries
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
        glibc = min(
            (tuple(map(int, tag.split("_")[1:3])) for tag in wheel.stem.split("-")[-1].split(".")
             if tag.startswith("manylinux_")),
        )
        print(f"check_wheel: {wheel.name}: manylinux tag (glibc {glibc[0]}.{glibc[1]} or newer), "
              f"{len(ALLOWED)} kinds of files, nothing else")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
