#!/usr/bin/env bash
# Create (or reuse) one of the Debian roots the runs use, and print its path.
#
#   bash tools/robustness/debian-root.sh trixie-dbg   # debug CPython 3.13 (refleak)
#   bash tools/robustness/debian-root.sh sid          # CPython 3.13 (newest), 3.14, 3.15
#   bash tools/robustness/debian-root.sh sid-arm64    # the same for aarch64, run under
#                                                     # emulation (qemu-user, binfmt_misc),
#                                                     # for the tests only
#
# A root lives outside the checkout, in ${LLM_METRICS_CACHE:-/var/cache/llm-metrics}/NAME,
# and is only considered usable once the marker file written at the very end
# of a successful bootstrap is present (it lists the packages). A half-built
# root (interrupted run) is thrown away and built again. Packages added to a
# list after a root was built are installed into it with apt-get instead of a
# full rebuild. One bootstrap at a time per root and cache folder.
#
# The packages come from the mirror this machine's apt is configured with
# (/etc/apt/sources.list.d/*.sources, or /etc/apt/sources.list), with the
# same proxy settings; each root gets this machine's certificate authorities
# (/etc/llm-metrics/host-ca.crt, which pip there is pointed at). Every apt-get
# waits for the dpkg lock rather than failing when another one runs.
#
# The unstable archive's Release file may be past its validity date on a
# snapshot mirror: apt inside a root never checks it (debootstrap does not).
#
# Prints the path of the root on its last line of stdout.
set -euo pipefail

NAME="${1:?usage: debian-root.sh trixie-dbg|sid|sid-arm64}"
CACHE_DIR="${LLM_METRICS_CACHE:-/var/cache/llm-metrics}"
MARKER_NAME=".llm-metrics-root-complete"
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# The root's architecture (Debian's name): the machine's, or the name's suffix.
ARCH="$(dpkg --print-architecture)"
[[ "$NAME" == *-arm64 ]] && ARCH=arm64
MACHINE="$(case "$ARCH" in arm64) echo aarch64 ;; amd64) echo x86_64 ;; *) echo "$ARCH" ;; esac)"

case "$NAME" in
trixie-dbg)
    SUITE=trixie
    PACKAGES=(
        python3.13-dbg libpython3.13-dbg python3.13-dev
        python3-pandas python3-pytest python3-hypothesis python3-tabulate
        g++ cmake make ninja-build
        # to build numpy and pandas for the debug interpreter (see refleak-chroot.sh)
        python3-pip cython3 python3-mesonpy meson pkgconf python3-versioneer
        # to build lxml for the debug interpreter
        libxml2-dev libxslt1-dev
    )
    CHECK=(/usr/bin/python3.13-dbg -c 'import sys; sys.gettotalrefcount; import pandas, pytest, hypothesis, tabulate')
    ;;
sid)
    # The interpreters only: packages come from PyPI into venvs (python_env in
    # common.sh). The compiler is there for PyPI packages without a wheel for
    # a new interpreter; the extension itself is compiled by the host's
    # toolchain against these headers (so the root's newer glibc stays out of
    # it). valgrind for benchmarks/callgrind.sh.
    SUITE=sid
    PACKAGES=(
        python3.13 python3.13-dev python3.13-venv
        python3.14 python3.14-dev python3.14-venv
        python3.15 python3.15-dev python3.15-venv
        ca-certificates g++ make cmake ninja-build pkgconf valgrind
    )
    CHECK=(/bin/sh -c 'for v in 3.13 3.14 3.15; do python$v -c "import sys, venv, ensurepip; print(sys.version)" || exit 1; done')
    ;;
sid-arm64)
    # The interpreters only, to run the tests under emulation (./dev --arch
    # aarch64): the extension is cross-compiled on this machine against the
    # headers of the same libpython3.X-dev, unpacked there (common.sh:
    # foreign_python_headers); the headers here serve CMake's check when the
    # prebuilt binary is packed into a wheel in the root.  Every package the
    # runs use comes from PyPI's aarch64 wheels into venvs.
    SUITE=sid
    PACKAGES=(
        python3.13 python3.13-dev python3.13-venv
        python3.14 python3.14-dev python3.14-venv
        python3.15 python3.15-dev python3.15-venv
        ca-certificates
    )
    CHECK=(/bin/sh -c 'for v in 3.13 3.14 3.15; do python$v -c "import platform, sys, venv, ensurepip; print(platform.machine(), sys.version)" || exit 1; done')
    ;;
*)
    echo "debian-root.sh: unknown root $NAME (trixie-dbg, sid or sid-arm64)" >&2
    exit 2
    ;;
esac

ROOT="$CACHE_DIR/$NAME"
PARTIAL="$CACHE_DIR/$NAME.partial"
APT_OPTS=(-o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false -o DPkg::Lock::Timeout=600)
LOG_TAG="debian-root $NAME"

if [[ $EUID -ne 0 ]]; then
    log "must run as root (debootstrap and chroot need it)"
    exit 2
fi

# Refuse to delete a directory that still has something mounted below it.
assert_unmounted() {
    local dir
    dir="$(readlink -f "$1")"
    if awk -v d="$dir" '$5 == d || index($5, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
        log "refusing to remove $dir: something is mounted below it"
        exit 3
    fi
}

# in_root DIR COMMAND... : run a command in the root (own /proc, host's name
# resolution), in a private mount namespace that ends with it.
in_root() {
    cp -L /etc/resolv.conf "$1/etc/resolv.conf" 2>/dev/null || true
    host_settings_into "$1"
    unshare --mount --propagation private -- bash -ec '
        mount -t proc proc "$1/proc"
        root="$1"; shift
        chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"
    ' bash "$@"
}

# host_settings_into DIR: this machine's certificate authorities (pip is
# pointed at them) and apt proxy settings, copied into a root again at every
# use, so that a root made elsewhere or earlier follows the machine's.
host_settings_into() {
    local dir="$1" ca="${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}"
    mkdir -p "$dir/etc/llm-metrics" "$dir/etc/apt/apt.conf.d"
    if [[ -f "$ca" ]]; then
        cp -L "$ca" "$dir/etc/llm-metrics/host-ca.crt.new"
        mv "$dir/etc/llm-metrics/host-ca.crt.new" "$dir/etc/llm-metrics/host-ca.crt"
        printf '[global]\ncert = /etc/llm-metrics/host-ca.crt\n' > "$dir/etc/pip.conf"
    fi
    apt-config dump 2>/dev/null | grep -iE '^Acquire::[a-z]+::Proxy' > "$dir/etc/apt/apt.conf.d/80llm-metrics-proxy" || true
}

# install_uv DIR: into a root that runs under emulation, uv (the pyproject
# group `emulation`): the aarch64 wheel fetched by this machine's pip, its
# program put into /usr/local/bin; again only when the requirement changed.
install_uv() {
    local dir="$1" req stamp="$1/usr/local/bin/.uv-requirement" tmp
    [[ "$ARCH" != "$(dpkg --print-architecture)" ]] || return 0
    req="$(python3 "$CHECKOUT/tools/requirements.py" --no-product emulation)"
    [[ -x "$dir/usr/local/bin/uv" && "$(cat "$stamp" 2>/dev/null)" == "$req" ]] && return 0
    log "installing $req into the root"
    tmp="$(mktemp -d)"
    with_heartbeat - python3 -m pip download -q --disable-pip-version-check --no-deps --only-binary :all: \
        --platform "manylinux_2_17_$MACHINE" -d "$tmp" "$req"
    python3 - "$tmp" "$dir/usr/local/bin" <<'PYEOF'
import pathlib, sys, zipfile
tmp, into = map(pathlib.Path, sys.argv[1:])
with zipfile.ZipFile(next(tmp.glob("*.whl"))) as z:
    name = next(n for n in z.namelist() if n.endswith(".data/scripts/uv"))
    (into / "uv").write_bytes(z.read(name))
(into / "uv").chmod(0o755)
PYEOF
    rm -rf "$tmp"
    echo "$req" > "$stamp"
}

mkdir -p "$CACHE_DIR"
exec 9>"$CACHE_DIR/.$NAME.lock"
flock 9

# Another architecture's root is of use only where its binaries run.
ensure_emulation "$ARCH" || exit 1

if [[ -f "$ROOT/$MARKER_NAME" ]]; then
    missing=()
    for p in "${PACKAGES[@]}"; do
        grep -qxF "$p" "$ROOT/$MARKER_NAME" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        log "adding packages to existing root: ${missing[*]}"
        with_heartbeat - in_root "$ROOT" sh -c 'apt-get '"${APT_OPTS[*]}"' update -qq && apt-get '"${APT_OPTS[*]}"' install -y -qq "$@"' \
            sh "${missing[@]}"
        printf '%s\n' "${PACKAGES[@]}" > "$ROOT/$MARKER_NAME.new"
        mv "$ROOT/$MARKER_NAME.new" "$ROOT/$MARKER_NAME"
    else
        log "reusing $ROOT"
    fi
    host_settings_into "$ROOT"
    install_uv "$ROOT"
    echo "$ROOT"
    exit 0
fi

if [[ -e "$ROOT" ]]; then
    log "$ROOT exists without completion marker: rebuilding"
    assert_unmounted "$ROOT"
    rm -rf --one-file-system "$ROOT"
fi
if [[ -e "$PARTIAL" ]]; then
    log "removing interrupted bootstrap $PARTIAL"
    assert_unmounted "$PARTIAL"
    rm -rf --one-file-system "$PARTIAL"
fi

command -v debootstrap >/dev/null || host_apt_install debootstrap
MIRROR="$(host_mirror)" || exit 1

include="$(IFS=,; echo "${PACKAGES[*]}")"
log "debootstrap $SUITE ($ARCH) from $MIRROR into $PARTIAL"
start=$SECONDS
# Another architecture's second stage runs under emulation: the longest step
# of all; the heartbeat says it goes on.
if ! with_heartbeat "$CACHE_DIR/$NAME.debootstrap.log" debootstrap --arch="$ARCH" --variant=minbase \
        --include="$include" "$SUITE" "$PARTIAL" "$MIRROR"; then
    log "debootstrap failed; last lines of $CACHE_DIR/$NAME.debootstrap.log:"
    tail -n 30 "$CACHE_DIR/$NAME.debootstrap.log" >&2
    exit 1
fi
# apt inside the root: no validity check of the Release file, no recommends.
printf 'Acquire::Check-Valid-Until "false";\nAPT::Install-Recommends "false";\nDPkg::Lock::Timeout "600";\n' \
    > "$PARTIAL/etc/apt/apt.conf.d/90llm-metrics"

# Sanity check before declaring the root complete.
log "checking the root's interpreters"
with_heartbeat - in_root "$PARTIAL" "${CHECK[@]}"
install_uv "$PARTIAL"
# Drop downloaded .debs; they are not needed any more.
rm -f "$PARTIAL"/var/cache/apt/archives/*.deb

printf '%s\n' "${PACKAGES[@]}" > "$PARTIAL/$MARKER_NAME"
mv "$PARTIAL" "$ROOT"
log "root ready in $((SECONDS - start)) s: $ROOT"
echo "$ROOT"
