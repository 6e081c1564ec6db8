#!/usr/bin/env bash
# Reference-leak run: build the extension against a debug build of CPython 3.13
# (Debian trixie's python3.13-dbg, in a chroot kept in the cache folder) and
# run the test suite with every test repeated and its reference count, memory
# blocks and file descriptors tracked (tools/robustness/refleak_plugin.py).
#
#   bash tools/robustness/refleak.sh [extra pytest args]
#
# Needs root (debootstrap, chroot, mount namespaces). Everything it creates
# lives in ${LLM_METRICS_CACHE:-/var/cache/llm-metrics}; the checkout is
# mounted read-only inside the chroot, in a private mount namespace that ends
# with the run.
set -euo pipefail
LOG_TAG=refleak
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

MOUNT_POINT=/checkout

if [[ "${_LLM_METRICS_REFLEAK_STAGE:-}" == namespace ]]; then
    # Second stage: inside the private mount namespace.
    ROOT="$1"
    shift
    mkdir -p "$ROOT$MOUNT_POINT" "$ROOT/dev/shm"
    mount --bind "$CHECKOUT" "$ROOT$MOUNT_POINT"
    mount -o remount,bind,ro "$ROOT$MOUNT_POINT"
    mount -t proc proc "$ROOT/proc"
    mount -t tmpfs -o mode=1777 tmpfs "$ROOT/tmp"
    mount -t tmpfs -o mode=1777 tmpfs "$ROOT/dev/shm"
    # Name resolution and the certificate authorities the host trusts, for pip
    # inside the root (it fetches the numpy and pandas sources once).
    cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf" 2>/dev/null || true
    mkdir -p "$ROOT/etc/llm-metrics"
    ca="${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}"
    if [[ -f "$ca" ]]; then cp -L "$ca" "$ROOT/etc/llm-metrics/host-ca.crt"; fi
    exec chroot "$ROOT" /usr/bin/env -i \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 LC_ALL=C.UTF-8 TERM="${TERM:-dumb}" \
        ${COLUMNS:+COLUMNS="$COLUMNS"} ${CI:+CI="$CI"} \
        ${PYTEST_ADDOPTS:+PYTEST_ADDOPTS="$PYTEST_ADDOPTS"} \
        ${LLM_METRICS_REFLEAK_WARMUPS:+LLM_METRICS_REFLEAK_WARMUPS="$LLM_METRICS_REFLEAK_WARMUPS"} \
        ${LLM_METRICS_REFLEAK_RUNS:+LLM_METRICS_REFLEAK_RUNS="$LLM_METRICS_REFLEAK_RUNS"} \
        ${LLM_METRICS_REFLEAK_FAST:+LLM_METRICS_REFLEAK_FAST="$LLM_METRICS_REFLEAK_FAST"} \
        ${http_proxy:+http_proxy="$http_proxy"} ${https_proxy:+https_proxy="$https_proxy"} \
        ${HTTP_PROXY:+HTTP_PROXY="$HTTP_PROXY"} ${HTTPS_PROXY:+HTTPS_PROXY="$HTTPS_PROXY"} \
        ${no_proxy:+no_proxy="$no_proxy"} ${NO_PROXY:+NO_PROXY="$NO_PROXY"} \
        /bin/bash "$MOUNT_POINT/tools/robustness/refleak-chroot.sh" "$@"
fi

[[ $EUID -eq 0 ]] || die "run as root: the run needs debootstrap, chroot and mount namespaces"
command -v unshare >/dev/null || die "unshare (util-linux) is missing"

t0=$SECONDS
ROOT="$(bash "$ROBUSTNESS_DIR/bootstrap-trixie.sh" | tail -n1)"
[[ -d "$ROOT" ]] || die "bootstrap did not produce a root"
t_boot=$((SECONDS - t0))
log "debug root ready: $ROOT ($(fmt_secs $t_boot))"
# One run at a time: the build folder and byte-code cache in the root are shared.
exec 7>"$CACHE_DIR/.refleak-run.lock"
flock 7

set +e
_LLM_METRICS_REFLEAK_STAGE=namespace unshare --mount --propagation private -- \
    /bin/bash "$ROBUSTNESS_DIR/refleak.sh" "$ROOT" "$@"
rc=$?
set -e
log "total $(fmt_secs $((SECONDS - t0))) (root $(fmt_secs $t_boot)); exit status $rc"
exit $rc
