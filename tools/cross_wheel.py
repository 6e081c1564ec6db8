"""Makes the product wheel for another interpreter or architecture out of one
packed on this machine: the packed wheel's binary is replaced by the given
one (under its own file name), the wheel is tagged for the interpreter and
platform given, and its RECORD is written again.  Everything else (the
metadata from pyproject.toml, the stub, the licence) stays as packed.

    python tools/cross_wheel.py PACKED.whl BINARY.so cp314 linux_aarch64 OUT_DIR

Prints the path of the wheel made.  ./dev wheel --arch aarch64 packs the
wheel around a placeholder and repairs the result with auditwheel.
"""

from __future__ import annotations

import base64
import hashlib
import re
import sys
import zipfile
from pathlib import Path

BINARY = re.compile(r"(?P<dir>.*/)llm_metrics\.cpython-[^/]+\.so")


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def retag(packed: Path, binary: Path, python_tag: str, platform: str, out_dir: Path) -> Path:
    distribution, version = packed.name.split("-")[:2]
    wheel = out_dir / f"{distribution}-{version}-{python_tag}-{python_tag}-{platform}.whl"
    with zipfile.ZipFile(packed) as z:
        entries = [(info, z.read(info)) for info in z.infolist()]
    binaries = [info.filename for info, _ in entries if BINARY.fullmatch(info.filename)]
    if len(binaries) != 1:
        raise SystemExit(f"cross_wheel: {packed.name} holds {len(binaries)} binaries of the module, not one")
    out: list[tuple[zipfile.ZipInfo, bytes]] = []
    record = ""
    for info, data in entries:
        name = info.filename
        if name == binaries[0]:
            name = BINARY.fullmatch(name)["dir"] + binary.name
            data = binary.read_bytes()
        elif name.endswith(".dist-info/WHEEL"):
            lines = [line for line in data.decode().splitlines() if line and not line.startswith("Tag: ")]
            data = ("\n".join(lines) + f"\nTag: {python_tag}-{python_tag}-{platform}\n").encode()
        elif name.endswith(".dist-info/RECORD"):
            record = name
            continue
        copy = zipfile.ZipInfo(name, info.date_time)
        copy.external_attr, copy.compress_type = info.external_attr, zipfile.ZIP_DEFLATED
        out.append((copy, data))
    lines = [_record_line(info.filename, data) for info, data in out] + [f"{record},,"]
    out.append((zipfile.ZipInfo(record, out[-1][0].date_time), ("\n".join(lines) + "\n").encode()))
    out_dir.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in out:
            z.writestr(info, data)
    return wheel


if __name__ == "__main__":
    if len(sys.argv) != 6:
        raise SystemExit(__doc__)
    packed_, binary_, tag_, platform_, out_ = sys.argv[1:]
    print(retag(Path(packed_), Path(binary_), tag_, platform_, Path(out_)))
