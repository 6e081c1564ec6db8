#!/usr/bin/env bash
# Instruction counts per call of the main scenarios under callgrind, for the
# compiled module and the plain-Python baseline (load-independent figures).
#
#   benchmarks/callgrind.sh [SCENARIO...|all] [--scale=F]
#   benchmarks/callgrind.sh import        one import of each, in fresh processes
#
# Default scenarios: compute_evaluators browser_all_plain_1000 key_wide
# (see SCENARIOS in callgrind_runner.py).  --scale multiplies the number of
# calls per scenario.  Profiles are kept in $CALLGRIND_OUT (default: a new
# directory under /tmp) for callgrind_annotate.  The installed extension is
# stripped; LLM_METRICS_EXTENSION_DIR=build/<wheel tag> loads the unstripped
# one from the build directory instead, for profiles with function names.
#
#   benchmarks/callgrind.sh --python 3.14 [...]   on another version, in the
#   environment `./dev test --python 3.14` made (run that first); in the
#   Debian unstable root where this machine has no such interpreter.  The
#   root gets a /tmp of its own, gone when it exits: there, keep profiles with
#   CALLGRIND_OUT=<a directory under the checkout>.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
version="${LLM_METRICS_PYTHON_VERSION:-3.13}" args=()
while (($#)); do
    case "$1" in
        --python) version="$2"; shift 2 ;;
        *) args+=("$1"); shift ;;
    esac
done
set -- "${args[@]}"
if [[ -z "${PYTHON:-}" ]]; then
    LOG_TAG=callgrind
    source "$root/tools/robustness/common.sh"
    if [[ -n "${LLM_METRICS_IN_ROOT:-}" ]]; then
        PYTHON="$root/.venv-$LLM_METRICS_IN_ROOT-$version/bin/python"
    elif [[ "$version" != *-sid ]] && find_python "$version" >/dev/null 2>&1; then
        if [[ "$version" == 3.13 ]]; then PYTHON="$root/.venv/bin/python"; else PYTHON="$root/.venv-$version/bin/python"; fi
    else
        version="${version%-sid}"
        sysroot="$(bash "$root/tools/robustness/debian-root.sh" sid | tail -n1)"
        LLM_METRICS_IN_ROOT=sid LLM_METRICS_PYTHON_VERSION="$version" \
            in_debian_root "$sysroot" "$root" rw /bin/bash "$root/benchmarks/callgrind.sh" "$@"
        exit
    fi
    [[ -x "$PYTHON" ]] || die "no environment $PYTHON: run ./dev test --python $version first"
fi
python="$PYTHON"
out="${CALLGRIND_OUT:-$(mktemp -d /tmp/llm_metrics_callgrind.XXXXXX)}"
mkdir -p "$out"
rm -f "$out"/callgrind.out.* "$out"/plan.json

# The runner marks each measured window with two calls of os.getppid(): a
# C library function, whose exported name every build keeps (a stripped
# interpreter, as Debian's, has no name for any function of its own).
# Fixed hashing, so that two runs execute the same instructions.
callgrind=(env PYTHONHASHSEED=0 valgrind --tool=callgrind -q --dump-before=getppid)

if [[ "${1:-}" == "import" ]]; then
    # One import of the module and one of the baseline, each in a fresh process.
    python_compile="import py_compile, importlib.util as u, sys; p=sys.argv[1]; py_compile.compile(p, cfile=u.cache_from_source(p))"
    "$python" -c "$python_compile" "$here/../tests/support/baseline_llm_metrics.py"
    mkdir -p "$out/import_module" "$out/import_baseline"
    rm -f "$out"/import_module/callgrind.out* "$out"/import_baseline/callgrind.out*
    PYTHONPATH="$here:$here/../tests/support" "${callgrind[@]}" --callgrind-out-file="$out/import_module/callgrind.out" \
        "$python" "$here/callgrind_runner.py" import-child zel_tarn_quillgate.supporting_classes.metrics.llm_metrics
    PYTHONPATH="$here:$here/../tests/support" "${callgrind[@]}" --callgrind-out-file="$out/import_baseline/callgrind.out" \
        "$python" "$here/callgrind_runner.py" import-child baseline_llm_metrics
    "$python" "$here/callgrind_runner.py" import-report "$out/import_module" "$out/import_baseline"
    echo
    echo "profiles in $out/import_module and $out/import_baseline"
    exit 0
fi

"${callgrind[@]}" --callgrind-out-file="$out/callgrind.out" \
    "$python" "$here/callgrind_runner.py" run "$out" "$@"

"$python" "$here/callgrind_runner.py" report "$out"
echo
echo "profiles in $out"
