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

[[ $EUID -eq 0 ]] || die "run as root: the run needs debootstrap, chroot and mount namespaces"
command -v unshare >/dev/null || die "unshare (util-linux) is missing"

t0=$SECONDS
ROOT="$(bash "$ROBUSTNESS_DIR/debian-root.sh" trixie-dbg | tail -n1)"
[[ -d "$ROOT" ]] || die "bootstrap did not produce a root"
t_boot=$((SECONDS - t0))
log "debug root ready: $ROOT ($(fmt_secs $t_boot))"
# One run at a time: the build folder and byte-code cache in the root are shared.
exec 7>"$CACHE_DIR/.refleak-run.lock"
flock 7

set +e
in_debian_root "$ROOT" "$MOUNT_POINT" ro /bin/bash "$MOUNT_POINT/tools/robustness/refleak-chroot.sh" "$@"
rc=$?
set -e
summary refleak "$rc" root="$t_boot" "run=$((SECONDS - t0 - t_boot))"
exit $rc
