#!/usr/bin/env bash
# Create (or reuse) the Debian trixie root used by refleak.sh.
#
# The root lives outside the checkout, in
#   ${LLM_METRICS_CACHE:-/var/cache/llm-metrics}/trixie-dbg
# and is only considered usable once the marker file written at the very end
# of a successful bootstrap is present. A half-built root (interrupted run) is
# thrown away and built again. Packages added to the list below after a root
# was built are installed into it with apt-get instead of a full rebuild.
#
# Prints the path of the root on its last line of stdout.
set -euo pipefail

CACHE_DIR="${LLM_METRICS_CACHE:-/var/cache/llm-metrics}"
ROOT="$CACHE_DIR/trixie-dbg"
PARTIAL="$CACHE_DIR/trixie-dbg.partial"
MARKER_NAME=".llm-metrics-root-complete"
SUITE=trixie

PACKAGES=(
    python3.13-dbg
    libpython3.13-dbg
    python3.13-dev
    python3-pandas
    python3-pytest
    python3-hypothesis
    python3-tabulate
    g++
    cmake
    make
    ninja-build
    # to build numpy and pandas for the debug interpreter (see refleak-chroot.sh)
    python3-pip
    cython3
    python3-mesonpy
    meson
    pkgconf
    python3-versioneer
    # to build lxml for the debug interpreter
    libxml2-dev
    libxslt1-dev
)

log() { printf '[bootstrap-trixie] %s\n' "$*" >&2; }

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

mkdir -p "$CACHE_DIR"

# One bootstrap at a time per cache folder.
exec 9>"$CACHE_DIR/.trixie-dbg.lock"
flock 9

if [[ -f "$ROOT/$MARKER_NAME" ]]; then
    missing=()
    for p in "${PACKAGES[@]}"; do
        grep -qxF "$p" "$ROOT/$MARKER_NAME" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        log "adding packages to existing root: ${missing[*]}"
        cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf" 2>/dev/null || true
        unshare --mount --propagation private -- bash -ec '
            mount -t proc proc "$1/proc"
            chroot "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
                sh -c "apt-get update -qq && apt-get install -y -qq --no-install-recommends \"\$@\"" sh "${@:2}"
        ' bash "$ROOT" "${missing[@]}" >&2
        printf '%s\n' "${PACKAGES[@]}" > "$ROOT/$MARKER_NAME.new"
        mv "$ROOT/$MARKER_NAME.new" "$ROOT/$MARKER_NAME"
    else
        log "reusing $ROOT"
    fi
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

if ! command -v debootstrap >/dev/null; then
    log "installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >&2 \
        || { apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >&2; }
fi

include="$(IFS=,; echo "${PACKAGES[*]}")"
log "debootstrap $SUITE into $PARTIAL (takes a minute or two)"
start=$SECONDS
debootstrap --variant=minbase --include="$include" "$SUITE" "$PARTIAL" >"$CACHE_DIR/debootstrap.log" 2>&1 || {
    log "debootstrap failed; last lines of $CACHE_DIR/debootstrap.log:"
    tail -n 30 "$CACHE_DIR/debootstrap.log" >&2
    exit 1
}

# Sanity check before declaring the root complete.
chroot "$PARTIAL" /usr/bin/python3.13-dbg -c 'import sys; sys.gettotalrefcount; import pandas, pytest, hypothesis, tabulate' >&2
# Drop downloaded .debs; they are not needed any more.
rm -f "$PARTIAL"/var/cache/apt/archives/*.deb

printf '%s\n' "${PACKAGES[@]}" > "$PARTIAL/$MARKER_NAME"
mv "$PARTIAL" "$ROOT"
log "root ready in $((SECONDS - start)) s: $ROOT"
echo "$ROOT"
