#!/usr/bin/env bash
# Line and branch coverage of the extension's C++: build it with gcov
# instrumentation (--coverage -O0, out of tree, into the cache folder), stage
# it with the stand-in packages of stand_ins/src/, run the whole test suite
# against it (every allocation-failure point, as the sanitizer run does; the
# fuzz corpus replay is part of the suite), and print gcovr's summary per file
# of src/: lines and branches, and the lines no test ran.
#
#   bash tools/robustness/coverage.sh [extra pytest args]
#
# Uses its own virtual environment, ${LLM_METRICS_CACHE:-/var/cache/llm-metrics}/coverage-venv,
# with gcovr from PyPI.  The report is also kept as coverage-report.txt
# (lines) and coverage-branches.txt in the cache folder.
set -euo pipefail
LOG_TAG=coverage
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

VENV="$CACHE_DIR/coverage-venv-$PYTHON_VERSION"
BUILD="$CACHE_DIR/coverage-build"
STAGE="$CACHE_DIR/coverage-stage"
HOOKS="$CACHE_DIR/coverage-hooks"
LOG="$CACHE_DIR/coverage-last-run.log"


t0=$SECONDS
mkdir -p "$CACHE_DIR"
exec 9>"$CACHE_DIR/.coverage.lock"
flock 9

BASE_PY="$(find_python "$PYTHON_VERSION")" || die "no CPython $PYTHON_VERSION found (set PYTHON, or use ./dev coverage --python $PYTHON_VERSION)"
mode_venv "$VENV" "$BASE_PY" coverage
export PATH="$VENV/bin:$PATH"

CXX="${CXX:-g++}"
GCOV="${GCOV:-gcov}"
t1=$SECONDS
configure_and_build "$CHECKOUT" "$BUILD" \
    -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER="$CXX" \
    -DPython_EXECUTABLE="$PY" -DPython3_EXECUTABLE="$PY" \
    -DCMAKE_CXX_FLAGS="-O0 -g --coverage" \
    -DCMAKE_MODULE_LINKER_FLAGS="--coverage -Wl,--undefined=__gcov_dump" \
    -DCMAKE_SHARED_LINKER_FLAGS="--coverage -Wl,--undefined=__gcov_dump"
SO="$(find_built_extension "$BUILD")"
# (__gcov_dump is linked in and exported on purpose: see the os._exit hook below.)
nm -D --defined-only "$SO" | grep -q ' __gcov_dump$' || die "$(basename "$SO") has no gcov instrumentation"
log "built $SO with --coverage -O0 ($(fmt_secs $((SECONDS - t1))))"

stage_tree "$STAGE" "$SO"

# Processes that end with os._exit (the allocation-failure tests' forked
# children) skip the exit handler that writes the counts: write them first.
mkdir -p "$HOOKS"
cat >"$HOOKS/sitecustomize.py" <<'PYEOF'
"""Coverage run only: os._exit writes the extension's gcov counts first."""
import ctypes
import os
import sys

_exit = os._exit


def _exit_after_dump(status):
    module = sys.modules.get("zel_tarn_quillgate.supporting_classes.metrics.llm_metrics")
    if module is not None:
        ctypes.CDLL(module.__file__).__gcov_dump()
    _exit(status)


os._exit = _exit_after_dump
PYEOF

export PYTHONPATH="$HOOKS:$STAGE:$TEST_PATHS"
export LLM_METRICS_ALLOC_FAILURES="${LLM_METRICS_ALLOC_FAILURES:-all}"
export PYTHONPYCACHEPREFIX="$CACHE_DIR/coverage-pycache"
check_staged_import "$PY"

args=()
has_test_selection "$@" || args+=(tests)
cd "$CHECKOUT"
t2=$SECONDS
set +e
"$PY" -m pytest -q -p refleak_plugin --expect-module-origin="$EXT_MODULE=$STAGE" \
    -o pythonpath= -o cache_dir="$CACHE_DIR/coverage-pytest-cache" "${args[@]}" "$@" >"$LOG" 2>&1
rc=$?
set -e
tail -n 1 "$LOG"
t_tests=$((SECONDS - t2))

# Lines and branches of src/ per file; the line report names the lines no test ran.
# (Only the extension target's objects: CMake's compiler probes leave counts too.)
OBJECTS="$BUILD/CMakeFiles/$EXT_TARGET.dir"
gcovr_args=(--root "$CHECKOUT" --object-directory "$OBJECTS" --gcov-executable "$GCOV" --filter "$CHECKOUT/src/"
            --exclude-unreachable-branches --exclude-throw-branches --sort uncovered-number "$OBJECTS")
gcovr "${gcovr_args[@]}" --txt "$CACHE_DIR/coverage-report.txt" --txt-metric line \
    --json-summary "$CACHE_DIR/coverage-summary.json" --txt-summary >"$CACHE_DIR/coverage-totals.txt"
gcovr "${gcovr_args[@]}" --txt "$CACHE_DIR/coverage-branches.txt" --txt-metric branch >/dev/null
echo "Lines (and the lines no test ran):"
cat "$CACHE_DIR/coverage-report.txt"
echo "Branches:"
cat "$CACHE_DIR/coverage-branches.txt"
cat "$CACHE_DIR/coverage-totals.txt"
summary coverage "$rc" build="$((t2 - t1))" tests="$t_tests"
log "pytest output in $LOG"
exit $rc
