#!/usr/bin/env bash
# Inside the trixie root (started by refleak.sh): build the extension against
# python3.13-dbg, stage an import tree and run pytest with the leak hunter.
set -euo pipefail
LOG_TAG=refleak
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PY=/usr/bin/python3.13-dbg
BUILD=/var/cache/llm-metrics-build/refleak   # persistent, inside the cached root
STAGE=/tmp/llm-metrics-stage                 # tmpfs, gone after the run
# Byte code of everything imported (pandas, pytest, the tests) is kept in the
# root between runs: compiling it anew with the debug interpreter takes minutes.
export PYTHONPYCACHEPREFIX=/var/cache/llm-metrics-pycache

"$PY" - <<'PYEOF' || die "$PY is not a debug build with reference tracking"
import sys, sysconfig
assert hasattr(sys, "gettotalrefcount"), "no sys.gettotalrefcount"
assert sysconfig.get_config_var("Py_DEBUG"), "Py_DEBUG not set"
print(f"[refleak] interpreter: {sys.executable} {sys.version.split()[0]} "
      f"(Py_DEBUG, headers {sysconfig.get_paths()['include']})", file=sys.stderr)
PYEOF

# numpy and pandas for the debug interpreter. Debian's python3-numpy and
# python3-pandas are release builds: their inline Py_INCREF/Py_DECREF do not
# update the interpreter's reference total, which then drifts by a few dozen
# per data frame created (no leak, but every test using pandas would look like
# one). Built once from PyPI's sources at Debian's versions and kept in the
# root; 5 to 10 minutes on two cores.
DEPS=/var/cache/llm-metrics-pydeps
build_debug_deps() {
    local versions want
    versions="$("$PY" -c 'from importlib.metadata import version as v
print(" ".join(n + "==" + v(n).split("+")[0] for n in ("numpy", "pandas")))')"
    want="$versions flags=-O0,Py_DEBUG"
    exec 8>"$DEPS.lock"
    flock 8
    if [[ -f "$DEPS/.complete" && "$(cat "$DEPS/.complete")" == "$want" ]]; then
        return
    fi
    log "building $versions for $PY (once)"
    local t=$SECONDS partial="$DEPS.partial"
    rm -rf "$partial" "$DEPS"
    mkdir -p "$partial"
    local pipenv=(env CFLAGS="-DPy_DEBUG -O0 -g0" CXXFLAGS="-DPy_DEBUG -O0 -g0" PYTHONPATH="$partial"
        PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1)
    if [[ -f /etc/llm-metrics/host-ca.crt ]]; then pipenv+=(PIP_CERT=/etc/llm-metrics/host-ca.crt); fi
    local pip=("$PY" -m pip install -q --break-system-packages --no-build-isolation --no-deps --target "$partial")
    local numpy_v="${versions%% *}" pandas_v="${versions##* }"
    build_both() {
        "${pipenv[@]}" "${pip[@]}" --no-binary numpy \
            -Csetup-args=-Dbuildtype=plain -Csetup-args=-Dcpu-dispatch=none \
            -Csetup-args=-Dcpu-baseline=min -Csetup-args=-Dallow-noblas=true "$numpy_v" \
            && "${pipenv[@]}" "${pip[@]}" --no-binary pandas -Csetup-args=-Dbuildtype=plain "$pandas_v"
    }
    if ! with_heartbeat "$DEPS.build.log" build_both; then
        tail -n 40 "$DEPS.build.log" >&2
        die "building numpy/pandas for the debug interpreter failed (log: $DEPS.build.log in the root)"
    fi
    PYTHONPATH="$partial" "$PY" -c 'import pandas; pandas.DataFrame({"c": [1]})' \
        || die "the numpy/pandas built for the debug interpreter do not work"
    printf '%s' "$want" > "$partial/.complete"
    mv "$partial" "$DEPS"
    log "numpy and pandas built in $(fmt_secs $((SECONDS - t)))"
}

log "checking numpy/pandas"
counters=refs,blocks,fds
if [[ "${LLM_METRICS_REFLEAK_FAST:-}" == 1 ]]; then
    # Debian's release numpy/pandas: reference totals drift, so only memory
    # blocks and file descriptors decide.
    log "fast mode: release numpy/pandas, reference totals are shown but do not fail tests"
    counters=blocks,fds
    DEPS_PATH=
else
    build_debug_deps
    DEPS_PATH="$DEPS"
fi

# The rest of what the suite needs, from the project's pyproject files (the
# product's and the stand-ins' dependencies and the test extra), with all
# their dependencies (tools/robustness/debug_requirements.py). What the root
# already has is kept (Debian's pytest, hypothesis, tabulate; the numpy and
# pandas built above): PyPI's newer pytest keeps a few dozen references per
# test with fixtures, which the leak hunt would count. The debug interpreter
# loads only extension modules built for it, and release-built ones would
# make the reference total drift like Debian's numpy: compiled packages
# (regex, lxml) are built from source here, once, with the same flags;
# pure-Python ones are taken as wheels. Kept in the root, keyed to the
# requirement lists.
REQS=/var/cache/llm-metrics-pyreqs
install_requirements() {
    local want
    want="$("$PY" "$CHECKOUT/tools/requirements.py" --stand-ins test | tr '\n' ' ') flags=-O0,Py_DEBUG root-first"
    exec 8>"$REQS.lock"
    flock 8
    if [[ -f "$REQS/.complete" && "$(cat "$REQS/.complete")" == "$want" ]]; then
        return
    fi
    log "installing the test requirements for $PY (once; a few minutes)"
    local t=$SECONDS
    rm -rf "$REQS.partial" "$REQS"
    mkdir -p "$REQS.partial"
    local pipenv=(env PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1
        CFLAGS="-DPy_DEBUG -O0 -g0" CXXFLAGS="-DPy_DEBUG -O0 -g0")
    if [[ -f /etc/llm-metrics/host-ca.crt ]]; then pipenv+=(PIP_CERT=/etc/llm-metrics/host-ca.crt); fi
    if ! "${pipenv[@]}" PYTHONPATH="$DEPS_PATH" "$PY" "$CHECKOUT/tools/robustness/debug_requirements.py" \
            "$REQS.partial" >"$REQS.log" 2>&1; then
        tail -n 40 "$REQS.log" >&2
        die "installing the test requirements for the debug interpreter failed (log: $REQS.log in the root)"
    fi
    printf '%s' "$want" > "$REQS.partial/.complete"
    mv "$REQS.partial" "$REQS"
    log "test requirements installed in $(fmt_secs $((SECONDS - t)))"
}
install_requirements

[[ -f "$CHECKOUT/CMakeLists.txt" ]] || die "no CMakeLists.txt in the checkout"
log "building the extension"
t0=$SECONDS
mkdir -p "$(dirname "$BUILD")"
configure_and_build "$CHECKOUT" "$BUILD" \
    -DCMAKE_BUILD_TYPE=Debug \
    -DPython_EXECUTABLE="$PY" -DPython3_EXECUTABLE="$PY" \
    -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON \
    -DCMAKE_CXX_FLAGS="-g -O0 -DPy_DEBUG" -DCMAKE_C_FLAGS="-g -O0 -DPy_DEBUG"
SO="$(find_built_extension "$BUILD")"
log "built $SO in $(fmt_secs $((SECONDS - t0)))"

# The object must have been compiled with reference tracking: Py_INCREF and
# Py_DECREF of a Py_DEBUG build call into the interpreter's total counter.
# (Debian's python3.13d include folder holds symlinks to the release headers;
# reached through -isystem, GCC then picks the release pyconfig.h, which is why
# Py_DEBUG is also defined on the command line above.)
if grep -qE '_Py_(INCREF|DECREF)_(Inc|Dec)RefTotal|_Py_NegativeRefcount' <<<"$(nm -D --undefined-only "$SO")"; then
    log "extension uses the debug reference counting ($(basename "$SO"))"
else
    die "$(basename "$SO") was not compiled with Py_DEBUG reference counting"
fi

stage_tree "$STAGE" "$SO"
export PYTHONPATH="$STAGE${DEPS_PATH:+:$DEPS_PATH}:$REQS:$TEST_PATHS"

check_staged_import "$PY"

args=()
has_test_selection "$@" || args+=(tests)
cd "$CHECKOUT"
t1=$SECONDS
set +e
"$PY" -m pytest \
    -p refleak_plugin --refleak \
    ${LLM_METRICS_REFLEAK_WARMUPS:+--refleak-warmups="$LLM_METRICS_REFLEAK_WARMUPS"} \
    ${LLM_METRICS_REFLEAK_RUNS:+--refleak-runs="$LLM_METRICS_REFLEAK_RUNS"} \
    --refleak-counters="$counters" \
    --expect-module-origin="$EXT_MODULE=$STAGE" \
    ${DEPS_PATH:+--expect-module-origin="numpy=$DEPS_PATH" --expect-module-origin="pandas=$DEPS_PATH"} \
    -o pythonpath= -o cache_dir=/tmp/pytest-cache \
    "${args[@]}" "$@"
rc=$?
set -e
log "pytest finished in $(fmt_secs $((SECONDS - t1))) with exit status $rc"
exit $rc
