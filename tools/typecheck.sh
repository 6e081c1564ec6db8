#!/usr/bin/env bash
# Type checks: the stub against the built module (stubtest), the stand-in
# packages (mypy --strict), the README's Python examples (mypy and
# basedpyright), and what users' checkers make of the stub: correct uses pass
# and planted mistakes are each reported, by mypy and by basedpyright
# (tests/typing).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python="${VENV_PYTHON:-$root/.venv/bin/python}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"   # check the installed package, not the source tree
# Each tool's lines start with its name: "stubtest: Success: ...".
labelled() { local label="$1"; shift; "$@" 2>&1 | sed -u "s/^/$label: /"; }
labelled stubtest "$python" -m mypy.stubtest zel_tarn_quillgate.supporting_classes.metrics.llm_metrics \
    --mypy-config-file "$root/pyproject.toml"
"$python" "$root/tools/readme_examples.py" "$root/README.md" > readme_examples.py
labelled "mypy (README examples)" \
    "$python" -m mypy --config-file "$root/pyproject.toml" --python-executable "$python" readme_examples.py
labelled "basedpyright (README examples)" "$python" -m basedpyright --project "$root/tests/typing/pyrightconfig.json" --pythonpath "$python" \
    readme_examples.py
labelled "mypy (stand-ins)" "$python" -m mypy --config-file "$root/pyproject.toml" --strict \
    -p zel_cloud_sdk_core -p zel_metrics_plugin -p zel_tarn_quillgate.utils -p zel_tarn_quillgate.base_classes
labelled "user code (mypy, basedpyright)" "$python" -m pytest -q -p no:cacheprovider --rootdir "$root" -c "$root/pyproject.toml" "$root/tests/typing"
