#!/usr/bin/env bash
# Coverage-guided differential fuzzing: build the extension with clang's
# fuzzer coverage plus AddressSanitizer and UBSan (out of tree, into the cache
# folder), stage it with the stand-in packages of stand_ins/src/, and run the
# targets of tests/fuzz/ under atheris (libFuzzer), each input driving the
# extension and the plain-Python class alike.
#
#   bash tools/robustness/fuzz.sh [TARGET|all] [SECONDS]   one or every target, SECONDS each
#                                                          (default: every target, 30 s each)
#   bash tools/robustness/fuzz.sh --ci                     the seed corpus replayed, then every
#                                                          target for 60 s
#   bash tools/robustness/fuzz.sh --seeds [TARGET|all]     the seed corpus in tests/fuzz/corpus/
#                                                          rebuilt from what the runs found: the
#                                                          smallest set of inputs that covers the
#                                                          same code of the extension (named
#                                                          inputs, kept findings, stay)
#   bash tools/robustness/fuzz.sh --list                   the target names
#
# Prints, per target: executions, libFuzzer's coverage figures (cov: edges of
# the instrumented code, ft: features) and findings: inputs that made the two
# implementations differ (kept as diff-* files) and crashes, sanitizer reports
# or timeouts (crash-*, timeout-*, oom-* files), all in the findings folder of
# the target.  Exits non-zero when any target found something.
set -euo pipefail
LOG_TAG=fuzz
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

VENV="$CACHE_DIR/fuzz-venv-$PYTHON_VERSION"
BUILD="$CACHE_DIR/fuzz-build"
STAGE="$CACHE_DIR/fuzz-stage"
WORK="$CACHE_DIR/fuzz-work"          # corpus grown by the runs, per target
FINDINGS="$CACHE_DIR/fuzz-findings"  # what the runs found, per target
FUZZ_DIR="$CHECKOUT/tests/fuzz"
# -fsanitize=function is left out: clang 14 (Debian 12's) calls a handler of
# it that the newer runtime shipped with atheris no longer has.
FUZZ_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=function -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

mapfile -t TARGETS < <(cd "$FUZZ_DIR" && ls fuzz_*.py | grep -v "^fuzz_driver.py$" | sed "s/^fuzz_//; s/\.py$//")

ci=0
seeds=0
target=all
seconds=30
case "${1:-}" in
    --ci) ci=1; seconds=60 ;;
    --seeds) seeds=1; target="${2:-all}" ;;
    --list) printf '%s\n' "${TARGETS[@]}"; exit 0 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | grep '^#' | sed 's/^# \{0,1\}//'; exit 0 ;;
    "") ;;
    *) target="$1"; seconds="${2:-$seconds}" ;;
esac
[[ "$seconds" =~ ^[0-9]+$ && "$seconds" -gt 0 ]] || die "SECONDS must be a positive number, not '$seconds'"
if [[ "$target" == all ]]; then
    selected=("${TARGETS[@]}")
else
    [[ -f "$FUZZ_DIR/fuzz_$target.py" ]] || die "no target '$target' (targets: ${TARGETS[*]})"
    selected=("$target")
fi


t0=$SECONDS
mkdir -p "$CACHE_DIR"
exec 9>"$CACHE_DIR/.fuzz.lock"
flock 9

# clang and its sanitizer and fuzzer runtimes (a package of their own, which
# clang only recommends: named, so that an install without recommends has it).
CC="${FUZZ_CC:-clang}"
CXX="${FUZZ_CXX:-clang++}"
fuzz_runtime_present() {
    local dir
    dir="$("$CXX" --print-runtime-dir 2>/dev/null)" && [[ -e "$dir/libclang_rt.fuzzer-$(uname -m).a" ]]
}
if ! command -v "$CXX" >/dev/null 2>&1 || ! fuzz_runtime_present; then
    host_apt_install clang libclang-rt-dev || die "clang and its runtimes are not installed and could not be installed"
fi

BASE_PY="$(find_python "$PYTHON_VERSION")" || die "no CPython $PYTHON_VERSION found (set PYTHON, or use ./dev fuzz --python $PYTHON_VERSION)"
mode_venv "$VENV" "$BASE_PY" fuzz
export PATH="$VENV/bin:$PATH"
FUZZ_RT="$("$PY" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
[[ -f "$FUZZ_RT" ]] || die "atheris' runtime $FUZZ_RT was not found"

t1=$SECONDS
configure_and_build "$CHECKOUT" "$BUILD" \
    -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
    -DPython_EXECUTABLE="$PY" -DPython3_EXECUTABLE="$PY" \
    -DCMAKE_CXX_FLAGS="-O1 -g $FUZZ_FLAGS" \
    -DCMAKE_C_FLAGS="-O1 -g $FUZZ_FLAGS" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined"
SO="$(find_built_extension "$BUILD")"
undefined="$(nm -D --undefined-only "$SO")"
grep -q '__asan_' <<<"$undefined" || die "$(basename "$SO") is not instrumented by AddressSanitizer"
grep -q '__sanitizer_cov_' <<<"$undefined" || die "$(basename "$SO") has no fuzzer coverage instrumentation"
log "built $SO with $FUZZ_FLAGS ($(fmt_secs $((SECONDS - t1))))"

stage_tree "$STAGE" "$SO"

export PYTHONPATH="$STAGE:$TEST_PATHS:$FUZZ_DIR"
export PYTHONPYCACHEPREFIX="$CACHE_DIR/fuzz-pycache"
# atheris' libFuzzer with the ASan runtime, loaded before the interpreter so
# that the extension's coverage counters and checks find it; Python's own
# allocator off, so that every object allocation is checked.
SAN_ENV=(env
    PYTHONMALLOC=malloc
    LD_PRELOAD="$FUZZ_RT${LD_PRELOAD:+:$LD_PRELOAD}"
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:detect_stack_use_after_return=1:handle_abort=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:report_error_type=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
)
check_staged_import "${SAN_ENV[@]}" "$PY"
# The corpus means the same to the replay (which decodes it without atheris)
# and to the fuzzer.
"${SAN_ENV[@]}" "$PY" -m fuzz_driver --check-provider || die "the driver's data provider decodes unlike atheris'"

if ((seeds)); then
    for name in "${selected[@]}"; do
        corpus="$FUZZ_DIR/corpus/$name"
        merged="$(mktemp -d)"
        mkdir -p "$WORK/$name" "$corpus"
        # libFuzzer runs the merge in a child process, started through this command.
        command="$CACHE_DIR/fuzz-run-$name"
        printf '#!/bin/sh\nexec "%s" "%s" "$@"\n' "$PY" "$FUZZ_DIR/fuzz_$name.py" >"$command"
        chmod +x "$command"
        # Coverage of the extension alone decides (the Python code's would keep many more inputs).
        "${SAN_ENV[@]}" FUZZ_PYTHON_COVERAGE=0 FUZZ_COMMAND="$command" FUZZ_FINDINGS="$FINDINGS/$name" "$PY" "$FUZZ_DIR/fuzz_$name.py" -merge=1 -timeout=30 \
            -rss_limit_mb=6144 "$merged" "$corpus" "$WORK/$name" >"$CACHE_DIR/fuzz-seeds-$name.log" 2>&1 \
            || { tail -n 20 "$CACHE_DIR/fuzz-seeds-$name.log" >&2; die "merging the corpus of $name failed"; }
        find "$corpus" -type f -regextype egrep -regex '.*/[0-9a-f]{40}' -delete
        # An input that shows a difference is a finding, not a seed: dropped
        # here (a named copy of it in the corpus records it).
        "${SAN_ENV[@]}" "$PY" - "$name" "$merged" <<'PYEOF'
import importlib, pathlib, sys
target = importlib.import_module("fuzz_" + sys.argv[1])
for path in sorted(pathlib.Path(sys.argv[2]).iterdir()):
    try:
        target.one_input(path.read_bytes())
    except AssertionError as error:
        print(f"fuzz: {sys.argv[1]}: not a seed, shows a difference: {path.name}: {str(error).splitlines()[0][:100]}")
        path.unlink()
PYEOF
        cp -n "$merged"/* "$corpus"/ 2>/dev/null || true
        rm -rf "$merged"
        echo "fuzz: $name: $(find "$corpus" -type f | wc -l) seed(s), $(du -sb "$corpus" | cut -f1) bytes in ${corpus#"$CHECKOUT"/}"
    done
    exit 0
fi

if ((ci)); then
    log "replaying the seed corpus"
    (cd "$CHECKOUT" && "${SAN_ENV[@]}" "$PY" -m pytest -q -p no:cacheprovider -o pythonpath= \
        --capture=sys tests/fuzz) || die "the seed corpus replay failed"
fi

# run_target NAME SECONDS: libFuzzer on one target, restarted after a crash
# until its time is spent (at most 5 times); prints its summary line.
total_found=0
summary=()
run_target() {
    local name="$1" budget="$2" work="$WORK/$1" found="$FINDINGS/$1" log="$CACHE_DIR/fuzz-$1.log"
    local end=$((SECONDS + budget)) runs=0 execs=0 cov=0 ft=0 crashes=0 left rc
    mkdir -p "$work" "$found"
    : >"$log"
    while ((runs < 5)) && left=$((end - SECONDS)) && ((left > 0)); do
        runs=$((runs + 1))
        set +e
        "${SAN_ENV[@]}" FUZZ_FINDINGS="$found" "$PY" "$FUZZ_DIR/fuzz_$name.py" \
            -max_total_time="$left" -timeout=30 -rss_limit_mb=6144 -malloc_limit_mb=4096 -print_final_stats=1 \
            -artifact_prefix="$found/" -max_len=512 "$work" "$FUZZ_DIR/corpus/$name" >>"$log" 2>&1
        rc=$?
        set -e
        ((rc == 0)) || crashes=$((crashes + 1))
        execs=$((execs + $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | tail -n1 | grep -o '[0-9]*$' || echo 0)))
        if ((rc != 0 && runs == 1)) && grep -q 'INFO: Seed: ' "$log" && ! grep -q '#[0-9]*.*INITED' "$log"; then
            break  # the seed corpus itself fails: no use restarting
        fi
    done
    cov="$(grep -oE 'cov: [0-9]+' "$log" | tail -n1 | grep -oE '[0-9]+' || echo 0)"
    ft="$(grep -oE 'ft: [0-9]+' "$log" | tail -n1 | grep -oE '[0-9]+' || echo 0)"
    local diffs  # kinds of difference seen in this run (kept inputs may be older and shorter)
    diffs="$({ grep -oE '^DIFFERENCE [^ ]+' "$log" || true; } | sort -u | wc -l)"
    local artifacts
    artifacts="$(find "$found" \( -name 'crash-*' -o -name 'timeout-*' -o -name 'oom-*' -o -name 'leak-*' \) \
        -newer "$log.start" 2>/dev/null | wc -l)"
    local line
    line="$(printf '%-12s %5ss  execs %8d  cov %5d  ft %6d  differences %d  crashes %d' \
        "$name" "$budget" "$execs" "$cov" "$ft" "$diffs" "$artifacts")"
    local known
    known="$({ grep '^KNOWN DIFFERENCE' "$log" || true; } | sort -u | wc -l)"
    ((known == 0)) || line+="  (known differences seen: $known kind(s), see $log)"
    summary+=("$line")
    echo "fuzz: $line"
    if ((diffs + artifacts)); then
        total_found=$((total_found + diffs + artifacts))
        { grep -hE '^(DIFFERENCE|==[0-9]+== ?ERROR|SUMMARY:|.*runtime error:)' "$log" || true; } | sort -u | head -n 20 |
            sed 's/^/    /'
        { grep -oE '^DIFFERENCE .*\(kept as [^)]*\)' "$log" || true; } | sort -u | sed "s|.*kept as \(.*\))|    kept: $found/\1|"
        find "$found" -newer "$log.start" -type f ! -name 'diff-*' | sed 's/^/    kept: /'
    fi
}

t2=$SECONDS
for name in "${selected[@]}"; do
    touch "$CACHE_DIR/fuzz-$name.log.start"
    run_target "$name" "$seconds"
done
log "venv+build $(fmt_secs $((t2 - t0))), fuzzing $(fmt_secs $((SECONDS - t2))); logs in $CACHE_DIR/fuzz-<target>.log"
echo "fuzz summary (findings in $FINDINGS/<target>/, grown corpus in $WORK/<target>/):"
printf '  %s\n' "${summary[@]}"
if ((total_found)); then
    echo "fuzz: $total_found finding(s)"
    exit 1
fi
echo "fuzz: no findings"
