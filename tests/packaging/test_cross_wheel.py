"""tools/cross_wheel.py: a wheel packed on this machine, given another
architecture's binary and tag, is a wheel of that architecture that pip and
auditwheel read as such (tools/check_wheel.py holds the repaired one)."""

from __future__ import annotations

import base64
import hashlib
import importlib.util
import struct
import zipfile
from email.parser import Parser
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def _load(name: str):
    spec = importlib.util.spec_from_file_location(name, ROOT / "tools" / f"{name}.py")
    assert spec and spec.loader
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


cross_wheel, check_wheel = _load("cross_wheel"), _load("check_wheel")
INFO = "zel_tarn_quillgate_llm_metrics-0.1.0.dist-info/"


def packed(folder: Path, binaries: int = 1) -> Path:
    """A wheel as scikit-build-core packs it here around a placeholder."""
    wheel = folder / "zel_tarn_quillgate_llm_metrics-0.1.0-cp313-cp313-linux_x86_64.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        for i in range(binaries):
            z.writestr(f"{check_wheel.PACKAGE_DIR}llm_metrics.cpython-31{3 + i}-x86_64-linux-gnu.so", b"")
        z.writestr(f"{check_wheel.PACKAGE_DIR}llm_metrics.pyi", "def f() -> None: ...\n")
        z.writestr(INFO + "METADATA", "Metadata-Version: 2.4\nName: zel-tarn-quillgate-llm-metrics\n")
        z.writestr(INFO + "WHEEL", "Wheel-Version: 1.0\nRoot-Is-Purelib: false\nTag: cp313-cp313-linux_x86_64\n\n")
        z.writestr(INFO + "licenses/LICENSE", "MIT\n")
        z.writestr(INFO + "RECORD", "stale,,\n")
    return wheel


def test_binary_tag_and_record_are_the_other_architectures(tmp_path: Path) -> None:
    binary = tmp_path / "llm_metrics.cpython-314-aarch64-linux-gnu.so"
    binary.write_bytes(b"\x7fELF\x02\x01" + bytes(12) + struct.pack("<H", 183) + bytes(44))
    wheel = cross_wheel.retag(packed(tmp_path), binary, "cp314", "linux_aarch64", tmp_path / "out")
    assert wheel.name == "zel_tarn_quillgate_llm_metrics-0.1.0-cp314-cp314-linux_aarch64.whl"
    with zipfile.ZipFile(wheel) as z:
        files = {n: z.read(n) for n in z.namelist()}
    assert files[check_wheel.PACKAGE_DIR + binary.name] == binary.read_bytes()
    assert not any("x86_64" in n for n in files)
    assert Parser().parsestr(files[INFO + "WHEEL"].decode()).get_all("Tag") == ["cp314-cp314-linux_aarch64"]
    assert files[INFO + "METADATA"].startswith(b"Metadata-Version: 2.4")
    # RECORD: every other file once, with its own hash and size.
    record = {}
    for line in files[INFO + "RECORD"].decode().splitlines():
        name, digest, size = line.rsplit(",", 2)
        record[name] = (digest, size)
    assert record.pop(INFO + "RECORD") == ("", "")
    assert set(record) == set(files) - {INFO + "RECORD"}
    for name, data in files.items():
        if name in record:
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert record[name] == (f"sha256={expected}", str(len(data))), name
    # Before auditwheel: only the platform tag is not yet a manylinux one.
    assert [p for p in check_wheel.problems(wheel)] == ["platform tag 'linux_aarch64' is not a manylinux tag"]


def test_a_packed_wheel_must_hold_one_binary(tmp_path: Path) -> None:
    binary = tmp_path / "llm_metrics.cpython-314-aarch64-linux-gnu.so"
    binary.write_bytes(b"")
    for count in (0, 2):
        folder = tmp_path / str(count)
        folder.mkdir()
        with pytest.raises(SystemExit, match=f"holds {count} binaries"):
            cross_wheel.retag(packed(folder, count), binary, "cp314", "linux_aarch64", folder / "out")
