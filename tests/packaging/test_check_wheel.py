"""tools/check_wheel.py on made-up wheels: the platform tag must name the
architecture of the binary inside, at that architecture's lowest glibc."""

from __future__ import annotations

import importlib.util
import struct
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("check_wheel", ROOT / "tools" / "check_wheel.py")
assert _spec and _spec.loader
check_wheel = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_wheel)

EM_X86_64, EM_AARCH64 = 62, 183


def make_wheel(folder: Path, platform: str, e_machine: int, big_endian: bool = False,
               wheel_tags: str | None = None) -> Path:
    wheel = folder / f"zel_tarn_quillgate_llm_metrics-0.1.0-cp313-cp313-{platform}.whl"
    header = b"\x7fELF\x02" + (b"\x02" if big_endian else b"\x01") + bytes(12)
    header += struct.pack(">H" if big_endian else "<H", e_machine) + bytes(44)
    arch = {EM_X86_64: "x86_64", EM_AARCH64: "aarch64"}.get(e_machine, "x")
    with zipfile.ZipFile(wheel, "w") as z:
        z.writestr(f"{check_wheel.PACKAGE_DIR}llm_metrics.cpython-313-{arch}-linux-gnu.so", header)
        z.writestr(f"{check_wheel.PACKAGE_DIR}llm_metrics.pyi", "")
        if wheel_tags is None:
            wheel_tags = "".join(f"Tag: cp313-cp313-{t}\n" for t in platform.split("."))
        z.writestr("zel_tarn_quillgate_llm_metrics-0.1.0.dist-info/WHEEL", "Wheel-Version: 1.0\n" + wheel_tags)
        for name in ("METADATA", "RECORD"):
            z.writestr(f"zel_tarn_quillgate_llm_metrics-0.1.0.dist-info/{name}", "")
    return wheel


@pytest.mark.parametrize(("platform", "e_machine", "complaint"), [
    ("manylinux_2_5_x86_64.manylinux1_x86_64", EM_X86_64, None),
    ("manylinux_2_17_aarch64.manylinux2014_aarch64", EM_AARCH64, None),
    # An aarch64 binary under an x86_64 tag, and the other way round.
    ("manylinux_2_5_x86_64.manylinux1_x86_64", EM_AARCH64, "is not for aarch64"),
    ("manylinux_2_17_aarch64.manylinux2014_aarch64", EM_X86_64, "is not for x86_64"),
    # A floor above the architecture's oldest glibc.
    ("manylinux_2_28_aarch64", EM_AARCH64, "newer than 2.17"),
    ("manylinux_2_17_x86_64.manylinux2014_x86_64", EM_X86_64, "newer than 2.5"),
    ("linux_aarch64", EM_AARCH64, "not a manylinux tag"),
    ("manylinux_2_17_aarch64", 40, "not an ELF binary of a known architecture"),
])
def test_tag_against_the_binary(tmp_path: Path, platform: str, e_machine: int, complaint: str | None) -> None:
    found = check_wheel.problems(make_wheel(tmp_path, platform, e_machine))
    if complaint is None:
        assert found == []
    else:
        assert any(complaint in f for f in found), found


def test_byte_order_of_the_header_is_followed() -> None:
    little = b"\x7fELF\x02\x01" + bytes(12) + struct.pack("<H", EM_AARCH64)
    big = b"\x7fELF\x02\x02" + bytes(12) + struct.pack(">H", EM_AARCH64)
    assert check_wheel.elf_machine(little) == check_wheel.elf_machine(big) == EM_AARCH64
    assert check_wheel.elf_machine(b"MZ" + bytes(30)) is None


@pytest.mark.parametrize("wheel_tags", [
    "Tag: cp313-cp313-linux_aarch64\n",  # the file renamed, the metadata not
    "Tag: cp313-cp313-manylinux_2_17_aarch64\n",  # one tag of the two missing
    # After a blank line a tag is no header: pip never sees it.
    "\nTag: cp313-cp313-manylinux_2_17_aarch64\nTag: cp313-cp313-manylinux2014_aarch64\n",
])
def test_the_wheel_files_tags_are_the_file_names(tmp_path: Path, wheel_tags: str) -> None:
    wheel = make_wheel(tmp_path, "manylinux_2_17_aarch64.manylinux2014_aarch64", EM_AARCH64, wheel_tags=wheel_tags)
    assert [f for f in check_wheel.problems(wheel) if "WHEEL file's tags" in f], wheel_tags
