#!/usr/bin/env bash
# Instruction counts per call of the main scenarios under callgrind, for the
# compiled module and the plain-Python baseline (load-independent figures).
#
#   benchmarks/callgrind.sh [SCENARIO...|all] [--scale=F]
#
# Default scenarios: compute_evaluators browser_all_plain_1000 key_wide
# (see SCENARIOS in callgrind_runner.py).  --scale multiplies the number of
# calls per scenario.  Profiles are kept in $CALLGRIND_OUT (default: a new
# directory under /tmp) for callgrind_annotate.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
python="${PYTHON:-$root/.venv/bin/python}"
out="${CALLGRIND_OUT:-$(mktemp -d /tmp/llm_metrics_callgrind.XXXXXX)}"
mkdir -p "$out"
rm -f "$out"/callgrind.out.* "$out"/plan.json

# Fixed hashing, so that two runs execute the same instructions.
PYTHONHASHSEED=0 valgrind --tool=callgrind -q \
    --collect-atstart=no \
    --toggle-collect=functools_reduce \
    --dump-after=functools_reduce \
    --callgrind-out-file="$out/callgrind.out" \
    "$python" "$here/callgrind_runner.py" run "$out" "$@"

"$python" "$here/callgrind_runner.py" report "$out"
echo
echo "profiles in $out"
