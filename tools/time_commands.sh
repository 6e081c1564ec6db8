#!/usr/bin/env bash
# Times the everyday commands as DEVELOPING.md reports them ("How long the
# commands take"): each command RUNS times cold, each cold run followed by a
# warm one, in a fresh clone of this checkout's HEAD; prints every run, then
# a Markdown table of the medians.  Run it on a machine with nothing else
# running; it runs the commands one after another.
#
#   bash tools/time_commands.sh [--runs N] [--purge-cross-compiler] [COMMAND...]
#
# COMMAND: demo, test, arm-3.13, arm-3.14, arm-3.15 (default: all of them).
# Cold means what a fresh clone on a new machine has: no .venv, no build/, no
# dist/; for arm-X.Y also no arm64 headers in the cache and, with
# --purge-cross-compiler (root; it runs apt-get purge --autoremove), no
# cross-compiler, so that each cold run installs it again through apt.
# Warm is the same command again, nothing changed.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/tools/robustness/common.sh"

runs=3 purge=0 commands=()
while (($#)); do
    case "$1" in
        --runs) runs="$2"; shift 2 ;;
        --purge-cross-compiler) purge=1; shift ;;
        demo|test|arm-3.13|arm-3.14|arm-3.15) commands+=("$1"); shift ;;
        *) echo "time_commands: unknown argument $1" >&2; exit 2 ;;
    esac
done
((${#commands[@]})) || commands=(demo test arm-3.13 arm-3.14 arm-3.15)

clone="$(mktemp -d /tmp/time-commands.XXXXXX)"
trap 'rm -rf "$clone"' EXIT
git clone -q "$root" "$clone"
cd "$clone"

argv_of() {
    case "$1" in
        arm-*) echo "wheel --arch aarch64 --python ${1#arm-}" ;;
        *) echo "$1" ;;
    esac
}

make_cold() {
    rm -rf .venv build dist
    if [[ "$1" == arm-* ]]; then
        rm -rf "$CACHE_DIR/headers-arm64"
        if ((purge)) && dpkg -s g++-aarch64-linux-gnu >/dev/null 2>&1; then
            DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq --autoremove g++-aarch64-linux-gnu >/dev/null
            # its downloaded packages too (the machine's other ones stay)
            rm -f /var/cache/apt/archives/*aarch64-linux-gnu*.deb /var/cache/apt/archives/*arm64-cross*.deb
        fi
    fi
}

# one_run COMMAND: the seconds ./dev COMMAND took (one decimal); fails with it
one_run() {
    local t0 t1 log
    log="$clone/.time-commands.log"
    t0=$(date +%s.%N)
    # shellcheck disable=SC2046
    if ! ./dev $(argv_of "$1") >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        echo "time_commands: ./dev $(argv_of "$1") failed" >&2
        exit 1
    fi
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }'
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

rows=()
for c in "${commands[@]}"; do
    cold=() warm=()
    for ((i = 1; i <= runs; i++)); do
        make_cold "$c"
        cold+=("$(one_run "$c")")
        warm+=("$(one_run "$c")")
        echo "./dev $(argv_of "$c"): run $i: cold ${cold[-1]} s, warm ${warm[-1]} s (load $(cut -d' ' -f1 /proc/loadavg))"
    done
    rows+=("| \`./dev $(argv_of "$c")\` | $(median "${cold[@]}") s | $(median "${warm[@]}") s |")
done
echo
echo "| Command (median of $runs runs) | cold | warm |"
echo "| --- | --- | --- |"
printf '%s\n' "${rows[@]}"
