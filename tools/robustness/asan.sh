#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer run: build the extension with
# -fsanitize=address,undefined (out of tree, into the cache folder), stage it
# with the stand-in packages of stand_ins/src/, and run the test suite under the
# ASan runtime with Python's own allocator switched off, so that every object
# allocation is checked. Any sanitizer report fails the run.
#
#   bash tools/robustness/asan.sh [extra pytest args]
#
# Uses its own virtual environment, ${LLM_METRICS_CACHE:-/var/cache/llm-metrics}/asan-venv,
# made from the CPython of the version asked for (3.13 unless ./dev asan --python X.Y)
# and filled from PyPI on first use.
set -euo pipefail
LOG_TAG=asan
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

VENV="$CACHE_DIR/asan-venv-$PYTHON_VERSION"
BUILD="$CACHE_DIR/asan-build"
STAGE="$CACHE_DIR/asan-stage"
LOG="$CACHE_DIR/asan-last-run.log"


t0=$SECONDS
mkdir -p "$CACHE_DIR"
exec 9>"$CACHE_DIR/.asan.lock"
flock 9

BASE_PY="$(find_python "$PYTHON_VERSION")" || die "no CPython $PYTHON_VERSION found (set PYTHON, or use ./dev asan --python $PYTHON_VERSION)"
mode_venv "$VENV" "$BASE_PY"
export PATH="$VENV/bin:$PATH"
t_venv=$((SECONDS - t0))

CXX="${CXX:-g++}"
ASAN_RT="$("$CXX" -print-file-name=libasan.so)"
[[ -e "$ASAN_RT" ]] || die "the ASan runtime of $CXX was not found ($ASAN_RT)"

[[ -f "$CHECKOUT/CMakeLists.txt" ]] || die "no CMakeLists.txt in the checkout"
t1=$SECONDS
configure_and_build "$CHECKOUT" "$BUILD" \
    -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER="$CXX" \
    -DPython_EXECUTABLE="$PY" -DPython3_EXECUTABLE="$PY" \
    -DCMAKE_CXX_FLAGS="-O1 -g $SANITIZE_FLAGS" \
    -DCMAKE_C_FLAGS="-O1 -g $SANITIZE_FLAGS" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined"
SO="$(find_built_extension "$BUILD")"
t_build=$((SECONDS - t1))
if ! grep -q '__asan_' <<<"$(nm -D --undefined-only "$SO")"; then
    die "$(basename "$SO") is not instrumented by AddressSanitizer"
fi
log "built $SO with $SANITIZE_FLAGS ($(fmt_secs $t_build))"

stage_tree "$STAGE" "$SO"

export PYTHONPATH="$STAGE:$TEST_PATHS"
# The allocation-failure tests fail every point, not a sample.
export LLM_METRICS_ALLOC_FAILURES="${LLM_METRICS_ALLOC_FAILURES:-all}"
export PYTHONPYCACHEPREFIX="$CACHE_DIR/asan-pycache"
# Python under the sanitizer runtime (processes the tests start inherit it).
# Every report is fatal (the process aborts). Reports are written to file
# descriptor 2, which pytest is told to leave alone (--capture=sys): with fd
# capture a report would land in the capture file of a process that dies.
SAN_ENV=(env
    PYTHONMALLOC=malloc
    LD_PRELOAD="$ASAN_RT${LD_PRELOAD:+:$LD_PRELOAD}"
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1:report_error_type=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
)

check_staged_import "${SAN_ENV[@]}" "$PY"

# The sanitizer's stack frames are several times larger than a release
# build's: a re-entrant chain of the deep re-entry tests, which 3.13 lets
# nest up to its fixed C recursion allowance, outgrows 8 MiB.  The main
# thread of every process the run starts, and each thread of the default size
# (the C library sizes them by this limit), get 64 MiB.
ulimit -S -s 65536 || die "cannot raise the stack limit to 64 MiB (hard limit $(ulimit -H -s))"

args=()
has_test_selection "$@" || args+=(tests)
cd "$CHECKOUT"
t2=$SECONDS
set +e
"${SAN_ENV[@]}" "$PY" -m pytest \
    -p refleak_plugin --expect-module-origin="$EXT_MODULE=$STAGE" \
    -o pythonpath= -o cache_dir="$CACHE_DIR/asan-pytest-cache" --capture=sys \
    "${args[@]}" "$@" 2>&1 | tee "$LOG"
rc=${PIPESTATUS[0]}
set -e
t_tests=$((SECONDS - t2))

# Count reports, including those of processes the tests started.
found="$(grep -cE '^==[0-9]+==ERROR: (Address|Leak)Sanitizer|:[0-9]+:[0-9]+: runtime error: |^SUMMARY: (Address|UndefinedBehavior)Sanitizer' "$LOG" || true)"
summary "asan on $("$PY" -c 'import sys; print(sys.version.split()[0])')" "$rc" venv="$t_venv" build="$t_build" tests="$t_tests"
log "output in $LOG"
if ((found)); then
    echo "asan: sanitizer report(s) found (${found} report lines); pytest exit status $rc"
    exit 1
fi
if ((rc > 128)); then
    echo "asan: pytest was killed by signal $((rc - 128))"
fi
exit $rc
