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
    log "compiling $EXT_TARGET in $build"
    if ! with_heartbeat "$build.build.log" cmake --build "$build" --target "$EXT_TARGET" --parallel "$jobs"; then
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

# ---------------------------------------------------------------------------
# Packages of this machine, and running another architecture's binaries.

# with_heartbeat OUTPUT COMMAND... : runs COMMAND with its output (stdout and
# stderr) into the file OUTPUT ("-": this stderr) and, every 10 s while it
# runs, says so on stderr in one line ("... still at it, N s", and the last
# line the command wrote to OUTPUT so far, as debootstrap's stage): the one
# heartbeat of every step that can take long (./dev's set-up steps, apt,
# debootstrap, commands under emulation). Returns COMMAND's status; COMMAND
# runs in a subshell, so that one that exits (die) stops its heartbeat too.
with_heartbeat() {
    local out="$1" start=$SECONDS ticker rc=0
    shift
    # Within another heartbeat's command (a step of ./dev that compiles), one line is enough.
    if [[ -n "${_heartbeat_on:-}" ]]; then
        if [[ "$out" == - ]]; then ("$@") >&2 || rc=$?; else ("$@") >"$out" 2>&1 || rc=$?; fi
        return "$rc"
    fi
    (
        while sleep 10 </dev/null >/dev/null 2>&1; do
            kill -0 "$$" 2>/dev/null || exit 0
            # With the command's last line of output, where it goes to a file.
            last=""
            [[ "$out" == - ]] || last="$(tail -c 300 "$out" 2>/dev/null | tr '\r' '\n' | grep -v '^[[:space:]]*$' | tail -n1 | cut -c1-70)"
            printf '[%s]   ... still at it, %d s%s\n' "${LOG_TAG:-robustness}" "$((SECONDS - start))" "${last:+ ($last)}" >&2
        done
    ) >/dev/null &
    ticker=$!
    if [[ "$out" == - ]]; then (_heartbeat_on=1; "$@") >&2 || rc=$?; else (_heartbeat_on=1; "$@") >"$out" 2>&1 || rc=$?; fi
    kill "$ticker" 2>/dev/null || true
    wait "$ticker" 2>/dev/null || true
    return "$rc"
}

# host_apt_install PACKAGE... : installs Debian packages on this machine
# (root), waiting for the dpkg lock; the package lists are updated only when
# an install fails without it.  apt's output is shown when it fails.
host_apt_install() {
    local opts=(-y -qq -o DPkg::Lock::Timeout=600 -o APT::Install-Recommends=false) out
    out="$(mktemp)"
    log "installing $* on this machine (apt-get install)"
    if DEBIAN_FRONTEND=noninteractive with_heartbeat "$out" apt-get "${opts[@]}" install "$@"; then
        rm -f "$out"
        return 0
    fi
    log "updating this machine's package lists (apt-get update), then installing $*"
    if with_heartbeat "$out" apt-get -qq -o DPkg::Lock::Timeout=600 update \
            && DEBIAN_FRONTEND=noninteractive with_heartbeat "$out" apt-get "${opts[@]}" install "$@"; then
        rm -f "$out"
        return 0
    fi
    cat "$out" >&2
    rm -f "$out"
    return 1
}

# host_mirror: the first Debian archive of this machine's apt sources (not
# the security archive), deb822 files first.
host_mirror() {
    local f uri
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -f "$f" ]] || continue
        # One stanza per paragraph: its first URI, unless its suites are all *-security.
        uri="$(awk 'BEGIN { RS = ""; FS = "\n" }
            { uris = ""; suites = ""
              for (i = 1; i <= NF; i++) {
                  if ($i ~ /^URIs:/) { uris = $i; sub(/^URIs:[ \t]*/, "", uris) }
                  if ($i ~ /^Suites:/) { suites = $i; sub(/^Suites:[ \t]*/, "", suites) }
                  if ($i ~ /^Enabled:[ \t]*no/) { uris = "" }
              }
              if (uris != "" && suites !~ /^([^ ]*-security[ ]*)+$/) { split(uris, u, " "); print u[1]; exit } }' "$f")"
        [[ -n "$uri" ]] && { echo "$uri"; return 0; }
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f "$f" ]] || continue
        uri="$(awk '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                                   if ($(i + 1) !~ /-security$/) { print $i; exit } }' "$f")"
        [[ -n "$uri" ]] && { echo "$uri"; return 0; }
    done
    log "no Debian archive found in /etc/apt/sources.list.d/*.sources nor /etc/apt/sources.list"
    return 1
}

# foreign_python_headers DEBIAN_ARCH X.Y : the headers of Debian unstable's
# CPython X.Y for another architecture, without running anything of it:
# libpython3.X-dev of that architecture (the headers, the multiarch
# pyconfig.h and the shell script pythonX.Y-config, which tells the
# extension suffix) downloaded by apt-get with package lists of its own and
# unpacked by dpkg-deb into CACHE_DIR/headers-ARCH/libpython3.X-dev_VERSION.
# The lists are fetched again when a day old; a tree is unpacked once per
# package version. Prints the tree's path.
foreign_python_headers() {
    local arch="$1" pkg="libpython$2-dev" dir="$CACHE_DIR/headers-$1"
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    touch "$dir/status"
    # One at a time per architecture: CI fetches three versions side by side.
    (
        flock 8
        local apt=(-o "Dir::Etc::SourceList=$dir/sources.list" -o "Dir::Etc::SourceParts=$dir/none"
            -o "Dir::State=$dir" -o "Dir::State::Lists=$dir/lists" -o "Dir::State::status=$dir/status"
            -o "Dir::Cache=$dir/cache" -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
            -o Acquire::Check-Valid-Until=false -o Acquire::Languages=none -o APT::Sandbox::User=root)
        local mirror version tree tmp
        mirror="$(host_mirror)" || exit 1
        echo "deb [arch=$arch] $mirror sid main" > "$dir/sources.list.new"
        if ! cmp -s "$dir/sources.list.new" "$dir/sources.list" \
                || [[ -z "$(find "$dir/lists" -maxdepth 1 -name '*_Packages*' -mmin -1440)" ]]; then
            mv "$dir/sources.list.new" "$dir/sources.list"
            log "fetching Debian unstable's $arch package list from $mirror (apt-get update)"
            with_heartbeat - apt-get -qq "${apt[@]}" update || exit 1
        fi
        rm -f "$dir/sources.list.new"
        version="$(apt-cache "${apt[@]}" show --no-all-versions "$pkg" 2>/dev/null | sed -n 's/^Version: //p')"
        [[ -n "$version" ]] || { log "error: Debian unstable has no $pkg for $arch"; exit 1; }
        tree="$dir/${pkg}_$version"
        if [[ ! -f "$tree/.complete" ]]; then
            log "downloading $pkg $version ($arch) and unpacking it into $tree"
            tmp="$(mktemp -d "$dir/.download.XXXXXX")"
            (cd "$tmp" && with_heartbeat - apt-get -qq "${apt[@]}" download "$pkg") || { rm -rf "$tmp"; exit 1; }
            rm -rf "$tree"
            dpkg-deb -x "$tmp"/*.deb "$tree" && touch "$tree/.complete"
            rm -rf "$tmp"
        fi
        echo "$tree"
    ) 8>"$dir/.lock"
}

# ensure_emulation DEBIAN_ARCH : binaries of that architecture run on this
# machine, inside a chroot too: qemu-user registered with binfmt_misc with the
# F flag (the emulator is opened when registered, not looked up in the root).
# Installs qemu-user-static and binfmt-support, mounts binfmt_misc and enables
# the emulator as needed; says in one line why when it cannot.
ensure_emulation() {
    local arch="$1" qemu entry=/proc/sys/fs/binfmt_misc
    [[ "$arch" == "$(dpkg --print-architecture)" ]] && return 0
    case "$arch" in
        arm64) qemu=qemu-aarch64 ;;
        *) log "error: no emulator known for $arch"; return 1 ;;
    esac
    if [[ ! -f /usr/share/binfmts/$qemu ]] || ! command -v update-binfmts >/dev/null; then
        host_apt_install qemu-user-static binfmt-support || { log "error: cannot install qemu-user-static"; return 1; }
    fi
    if [[ ! -f $entry/register ]] && ! mount -t binfmt_misc binfmt_misc $entry 2>/dev/null; then
        log "error: binfmt_misc cannot be mounted here ($entry), so $arch binaries cannot run under emulation"
        return 1
    fi
    if ! grep -qx enabled "$entry/$qemu" 2>/dev/null; then
        update-binfmts --enable "$qemu" >&2 2>&1 || true
    fi
    if ! grep -qx enabled "$entry/$qemu" 2>/dev/null || ! grep -q '^flags:.*F' "$entry/$qemu"; then
        log "error: $qemu is not registered with binfmt_misc (with the F flag): $arch binaries cannot run here"
        return 1
    fi
}

# ---------------------------------------------------------------------------
# Interpreters, mode environments and Debian roots (shared with ./dev).

# The version the runs use unless told otherwise (./dev --python X.Y sets it).
PYTHON_VERSION="${LLM_METRICS_PYTHON_VERSION:-3.13}"

# find_python X.Y -> prints the real executable of a working CPython X.Y of
# this machine, tried in this order: $PYTHON (which must then be one),
# python3.X on PATH (a pyenv shim is tried, not trusted), pyenv's newest X.Y,
# the usual install folders. Free-threaded builds are refused (not supported
# yet). Returns 1 when there is none.
find_python() {
    local want="$1" p v candidates=()
    if [[ -n "${PYTHON:-}" ]]; then
        if p="$(_python_is "$PYTHON" "$want")"; then echo "$p"; return 0; fi
        log "error: PYTHON=$PYTHON is not a working CPython $want with the GIL"
        return 1
    fi
    if command -v "python$want" >/dev/null 2>&1; then candidates+=("$(command -v "python$want")"); fi
    if command -v pyenv >/dev/null 2>&1; then
        v="$(pyenv versions --bare 2>/dev/null | grep -E "^${want//./\\.}(\\.[0-9]+)?\$" | sort -V | tail -n1 || true)"
        if [[ -n "$v" ]]; then candidates+=("$(PYENV_VERSION="$v" pyenv which "python$want" 2>/dev/null || true)"); fi
    fi
    candidates+=("$HOME"/.pyenv/versions/"$want"*/bin/"python$want" /usr/local/bin/"python$want" /usr/bin/"python$want")
    for p in "${candidates[@]}"; do
        [[ -n "$p" && -x "$p" ]] || continue
        if p="$(_python_is "$p" "$want")"; then echo "$p"; return 0; fi
    done
    return 1
}
_python_is() {
    "$1" - "$2" <<'PYEOF' 2>/dev/null
import sys, sysconfig
want = tuple(int(x) for x in sys.argv[1].split("."))
ok = (sys.implementation.name == "cpython" and sys.version_info[:len(want)] == want
      and not sysconfig.get_config_var("Py_GIL_DISABLED"))
print(getattr(sys, "_base_executable", sys.executable)) if ok else sys.exit(1)
PYEOF
}

# mode_venv VENV PYTHON EXTRA_REQUIREMENT... : a virtual environment of
# PYTHON for a robustness mode, with the product's and the stand-ins'
# dependencies, the test and build groups and the named extras of
# pyproject.toml. Made again whenever the interpreter or any of those lists
# changes (a marker file holds what it was made from). Sets PY to its python.
mode_venv() {
    local venv="$1" base="$2" marker="$1/.llm-metrics-venv-complete" want packages
    shift 2
    mapfile -t packages < <("$base" "$CHECKOUT/tools/requirements.py" --stand-ins test build "$@")
    want="$base $("$base" -c 'import sys; print(sys.version.split()[0])') ${packages[*]}"
    if [[ ! -f "$marker" || "$(cat "$marker")" != "$want" ]]; then
        log "creating $venv from $base"
        rm -rf "$venv"
        "$base" -m venv "$venv"
        with_heartbeat - "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
        log "installing into it: ${packages[*]}"
        with_heartbeat - "$venv/bin/python" -m pip install -q --disable-pip-version-check "${packages[@]}"
        printf '%s' "$want" > "$marker"
    fi
    PY="$venv/bin/python"
}

# summary TITLE EXIT_STATUS NAME=SECONDS... : the closing line of a run, with the time
# each part took, e.g. "asan: total 6m10s (venv 0m02s, build 0m40s, tests 5m28s); exit status 0".
summary() {
    local title="$1" rc="$2" parts="" kv
    shift 2
    for kv in "$@"; do parts+="${parts:+, }${kv%%=*} $(fmt_secs "${kv#*=}")"; done
    log "$title: total $(fmt_secs "$SECONDS")${parts:+ ($parts)}; exit status $rc"
}

# in_debian_root ROOT MOUNT_POINT rw|ro COMMAND... : runs COMMAND inside a
# Debian root (tools/robustness/debian-root.sh) with the checkout mounted at
# MOUNT_POINT, its own /proc, fresh /tmp and /dev/shm, the host's name
# resolution and certificate authorities (for pip), in a private mount
# namespace that ends with the command. A clean environment, but for the
# variables listed below.
ROOT_PASSED_VARS=(TERM COLUMNS CI PYTEST_ADDOPTS PYTHONHASHSEED http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
    no_proxy NO_PROXY LLM_METRICS_REFLEAK_WARMUPS LLM_METRICS_REFLEAK_RUNS LLM_METRICS_REFLEAK_FAST
    LLM_METRICS_PYTHON_VERSION LLM_METRICS_PREBUILT LLM_METRICS_IN_ROOT PYTHON LLM_METRICS_VENV
    LLM_METRICS_FUZZ_SECONDS LLM_METRICS_HYPOTHESIS_PROFILE LLM_METRICS_EMULATED
    CALLGRIND_OUT LLM_METRICS_EXTENSION_DIR LLM_METRICS_CALLGRIND_COMPILED_BASELINE)
in_debian_root() {
    local root="$1" mnt="$2" mode="$3" v envs=()
    shift 3
    for v in "${ROOT_PASSED_VARS[@]}"; do
        if [[ -n "${!v:-}" ]]; then envs+=("$v=${!v}"); fi
    done
    unshare --mount --propagation private -- /bin/bash -ec '
        root="$1" mnt="$2" mode="$3" checkout="$4"; shift 4
        mkdir -p "$root/dev/shm" "$root/etc/llm-metrics"
        mount -t proc proc "$root/proc"
        mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
        mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
        # After the fresh /tmp: a checkout under /tmp is mounted at its own path.
        mkdir -p "$root$mnt"
        mount --bind "$checkout" "$root$mnt"
        if [[ "$mode" == ro ]]; then mount -o remount,bind,ro "$root$mnt"; fi
        cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
        ca="${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}"
        ca_env=()
        if [[ -f "$ca" ]]; then
            cp -L "$ca" "$root/etc/llm-metrics/host-ca.crt"
            ca_env=(PIP_CERT=/etc/llm-metrics/host-ca.crt SSL_CERT_FILE=/etc/llm-metrics/host-ca.crt)
        fi
        exec chroot "$root" /usr/bin/env -i \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            HOME=/root LANG=C.UTF-8 LC_ALL=C.UTF-8 "${ca_env[@]}" "$@"
    ' bash "$root" "$mnt" "$mode" "$CHECKOUT" "${envs[@]}" "$@"
}
