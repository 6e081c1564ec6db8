# Shared settings and helpers for the robustness runs; sourced, not executed.
# Works both on the host and inside the trixie root (where the checkout is
# mounted at /checkout).

ROBUSTNESS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
CHECKOUT="$(cd "$ROBUSTNESS_DIR/../.." && pwd)"
CACHE_DIR="${LLM_METRICS_CACHE:-/var/cache/llm-metrics}"

# The extension: CMake target, dotted module name, and the package folder (of
# the host kit's stand-in, stand_ins/src/) its shared object belongs in.
EXT_TARGET=llm_metrics
EXT_MODULE=zel_tarn_quillgate.supporting_classes.metrics.llm_metrics
EXT_PKG_DIR=zel_tarn_quillgate/supporting_classes/metrics

# Flags of the sanitizer build.
SANITIZE_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

log() { printf "[%s +%ds] %s\n" "${LOG_TAG:-robustness}" "$SECONDS" "$*" >&2; }
die() { log "error: $*"; exit 2; }

# configure_and_build SOURCE BUILD_DIR CMAKE_ARGS...
# Out-of-tree configure + build of the extension target, always from scratch
# (a few seconds): objects left by another checkout or an older tree can look
# newer than the sources and would be linked in unseen.
configure_and_build() {
    local src="$1" build="$2"
    shift 2
    local gen=()
    if command -v ninja >/dev/null 2>&1; then gen=(-G Ninja); fi
    rm -rf "$build"
    if ! cmake -S "$src" -B "$build" "${gen[@]}" "$@" >"$build.configure.log" 2>&1; then
        cat "$build.configure.log" >&2
        die "cmake configure failed (log above)"
    fi
    local jobs
    jobs="$(nproc 2>/dev/null || echo 2)"
    if ! cmake --build "$build" --target "$EXT_TARGET" --parallel "$jobs" >"$build.build.log" 2>&1; then
        cat "$build.build.log" >&2
        die "build of target $EXT_TARGET failed (log above)"
    fi
}

# find_built_extension BUILD_DIR -> path of the newest llm_metrics*.so in it
find_built_extension() {
    local so
    so="$(find "$1" -name "${EXT_TARGET}*.so" -type f -printf '%T@ %p\n' 2>/dev/null | sort -rn | head -n1 | cut -d' ' -f2-)"
    [[ -n "$so" ]] || die "no ${EXT_TARGET}*.so found under $1"
    printf '%s\n' "$so"
}

# stage_tree STAGE_DIR SO_FILE
# A fresh import tree: the stand-in packages of stand_ins/src/ (no compiled
# objects, no caches) plus the given build of the extension and its stub in
# the host kit's package folder, as the product wheel installs them.
stage_tree() {
    local stage="$1" so="$2"
    rm -rf "$stage"
    mkdir -p "$stage"
    tar -C "$CHECKOUT/stand_ins/src" -cf - \
        --exclude='__pycache__' --exclude='*.so' --exclude='*.pyc' --exclude='*.egg-info' \
        . | tar -C "$stage" -xf -
    mkdir -p "$stage/$EXT_PKG_DIR"
    cp "$so" "$CHECKOUT/src/llm_metrics/llm_metrics.pyi" "$stage/$EXT_PKG_DIR/"
}

# has_test_selection ARGS... -> success when an argument names a test path
# (file, folder or node id), so that the default of running tests/ is not added.
has_test_selection() {
    local a
    for a in "$@"; do
        [[ "$a" == -* ]] && continue
        [[ -e "$CHECKOUT/${a%%::*}" || -e "${a%%::*}" ]] && return 0
    done
    return 1
}

# Checks that the extension imports from the staged tree, not from anywhere
# else on the path.  Arguments: the command that runs Python (with any
# environment it needs).
check_staged_import() {
    "$@" - "$EXT_MODULE" "$STAGE" "${LOG_TAG:-robustness}" <<'PYEOF' || die "the staged build of the extension does not import"
import importlib, os, sys, warnings
name, stage, tag = sys.argv[1], sys.argv[2], sys.argv[3]
with warnings.catch_warnings():
    mod = importlib.import_module(name)
origin = os.path.realpath(mod.__file__)
assert origin.startswith(os.path.realpath(stage) + os.sep), f"{name} came from {origin}"
print(f"[{tag}] {name} imports from {origin}", file=sys.stderr)
PYEOF
}

# The test-support folders and the leak-hunting plugin, for PYTHONPATH (the
# runs set pytest's own pythonpath setting aside, to import from the stage).
TEST_PATHS="$CHECKOUT/tests:$CHECKOUT/tests/support:$ROBUSTNESS_DIR"

fmt_secs() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }
