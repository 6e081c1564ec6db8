"""The product wheel as users install it: the extension and its stub in the
host kit's package folder, nothing of the host kit, platform package or plugin.

The real-install test builds a fresh environment beside the stand-ins'
distribution, installs the wheel there, uninstalls it again, and checks that
the other distribution's files are never touched.  It needs the wheel file,
which ./dev names in LLM_METRICS_WHEEL; runs without it (the sanitizer and
leak modes import a staged build) skip it.
"""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import sysconfig
from importlib import metadata
from pathlib import Path

import pytest

from llm_metrics_testing import MODULE_NAME

PRODUCT = "zel-tarn-quillgate-llm-metrics"
PACKAGE_DIR = "zel_tarn_quillgate/supporting_classes/metrics/"
ROOT = Path(__file__).resolve().parents[2]


def product_files(dist: metadata.Distribution) -> set[str]:
    return {str(f) for f in dist.files or () if ".dist-info/" not in str(f)}


def test_installed_distribution_holds_the_extension_and_stub_only(llm_metrics) -> None:
    try:
        dist = metadata.distribution(PRODUCT)
    except metadata.PackageNotFoundError:
        pytest.skip("the product is not installed as a distribution here (staged build)")
    files = product_files(dist)
    assert {f.rsplit("/", 1)[0] + "/" for f in files} == {PACKAGE_DIR}
    assert sorted(Path(f).name.split(".")[0] + Path(f).suffix for f in files) == ["llm_metrics.pyi", "llm_metrics.so"]
    assert Path(llm_metrics.__file__).resolve() == Path(dist.locate_file(next(f for f in files if f.endswith(".so")))).resolve()
    # Metadata a user sees with pip show; the module itself has no __version__.
    assert dist.metadata["License-Expression"] == "MIT"
    running = "Programming Language :: Python :: {}.{}".format(*sys.version_info)
    assert running in dist.metadata.get_all("Classifier")
    assert "__version__" not in vars(llm_metrics)


def _run(*cmd: str | Path) -> str:
    done = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"{cmd}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def _snapshot(site: Path, record_owner: str, python: Path) -> dict[str, str]:
    """Path -> sha256 of every file a distribution installed, per its RECORD."""
    listing = _run(python, "-c", f"""
from importlib import metadata
d = metadata.distribution({record_owner!r})
for f in d.files:
    print(f)
""")
    out = {}
    for rel in listing.split():
        path = site / rel
        out[rel] = hashlib.sha256(path.read_bytes()).hexdigest() if path.exists() else "missing"
    return out


@pytest.mark.no_refleak
def test_wheel_installs_beside_the_stand_ins_and_uninstalls_cleanly(tmp_path: Path) -> None:
    wheel = os.environ.get("LLM_METRICS_WHEEL")
    if not wheel:
        pytest.skip("LLM_METRICS_WHEEL is not set (./dev sets it to the wheel it installed)")
    pip = [sys.executable, "-m", "pip", "--disable-pip-version-check"]
    stand_ins_wheel_dir = tmp_path / "stand-ins-wheel"
    _run(*pip, "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", stand_ins_wheel_dir, ROOT / "stand_ins")
    (stand_ins_wheel,) = stand_ins_wheel_dir.glob("*.whl")

    env_dir = tmp_path / "env"
    _run(sys.executable, "-m", "venv", "--without-pip", env_dir)
    python = env_dir / "bin" / "python"
    site = Path(_run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])").strip())
    in_env = [*pip, "--python", str(python)]

    def probe(code: str) -> list[str]:
        # pandas and tabulate come from this environment, after the new one's
        # own packages; only while probing, so pip never sees this environment.
        pth = site / "zz_dependencies.pth"
        pth.write_text(sysconfig.get_paths()["purelib"] + "\n")
        try:
            return _run(python, "-c", code).split()
        finally:
            pth.unlink()

    _run(*in_env, "install", "-q", "--no-deps", stand_ins_wheel)
    stand_ins_before = _snapshot(site, "llm-metrics-stand-ins", python)
    _run(*in_env, "install", "-q", "--no-deps", wheel)
    product = _snapshot(site, PRODUCT, python)

    shared = {p for p in product if ".dist-info/" not in p} & set(stand_ins_before)
    assert not shared, f"the product wheel would overwrite {sorted(shared)}"
    assert _snapshot(site, "llm-metrics-stand-ins", python) == stand_ins_before
    (origin,) = probe(f"import {MODULE_NAME} as m; print(m.__file__)")
    assert Path(origin).resolve().is_relative_to(site.resolve())

    _run(*in_env, "uninstall", "-y", "-q", PRODUCT)
    assert not [p for p in product if (site / p).exists()]
    assert _snapshot(site, "llm-metrics-stand-ins", python) == stand_ins_before
    found = probe(f"""
import importlib, zel_cloud_sdk_core, zel_metrics_plugin, zel_tarn_quillgate.supporting_classes.metrics as kit
print(kit.__file__)
try:
    importlib.import_module({MODULE_NAME!r})
except ModuleNotFoundError:
    print("module gone")
""")
    assert Path(found[0]).resolve().is_relative_to(site.resolve())
    assert found[1:] == ["module", "gone"]
