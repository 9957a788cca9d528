#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# inventory_bench: the time of `mpioctl --json inventory` in a sandbox of each
# topology file given, its cost per device, and the ratio of the largest
# per-device cost to the smallest (the inventory should scale linearly).
#
# usage: bench/inventory_bench.sh [-r RUNS] TOPOLOGY...
# A TOPOLOGY that is no file but a machine description (devices=N,...) is
# generated first with `mpio-sandbox --generate`.
# Run as root from the source tree after a build of the default preset (the
# sandbox needs a mount namespace); BUILD names another build directory.
# Each topology is run RUNS times (default 3) and its fastest run counts;
# the sandbox's own start-up is timed apart (`true` in the same sandbox) and
# taken off.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${BUILD:-$root/build/default}/bin
runs=3
if [ "${1-}" = -r ]; then runs=$2; shift 2; fi
[ $# -gt 0 ] || { echo "usage: $0 [-r RUNS] TOPOLOGY..." >&2; exit 64; }

now() { date +%s%N; }

# The fastest of $runs runs of the command, in nanoseconds; the last run's
# standard output is kept in $work/out.
fastest() {
    local best="" start took
    for ((i = 0; i < runs; i++)); do
        start=$(now)
        "$@" >"$work/out" 2>/dev/null || true
        took=$(($(now) - start))
        if [ -z "$best" ] || [ "$took" -lt "$best" ]; then best=$took; fi
    done
    echo "$best"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/inventory_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

printf '%-28s %8s %10s %10s %12s\n' topology devices "total s" "start s" "us/device"
min="" max=""
for topology in "$@"; do
    if [ ! -f "$topology" ] && [ "${topology#devices=}" != "$topology" ]; then
        "$bin/mpio-sandbox" --generate "$topology" --output "$work/generated.topo"
        label=${topology%%,*}
        topology=$work/generated.topo
    else
        label=$(basename "$topology")
    fi
    start=$(fastest "$bin/mpio-sandbox" --topology "$topology" -- /bin/true)
    # Exit status 2 (a question about some device failed) still lists them all.
    total=$(fastest "$bin/mpio-sandbox" --topology "$topology" -- "$bin/mpioctl" --json inventory)
    devices=$(python3 -c 'import json,sys; print(len(json.load(sys.stdin)["devices"]))' <"$work/out")
    per=$(((total - start) / devices / 1000))
    printf '%-28s %8d %10.2f %10.2f %12d\n' "$label" "$devices" \
        "$(echo "$total / 1000000000" | bc -l)" "$(echo "$start / 1000000000" | bc -l)" "$per"
    if [ -z "$min" ] || [ "$per" -lt "$min" ]; then min=$per; fi
    if [ -z "$max" ] || [ "$per" -gt "$max" ]; then max=$per; fi
done
printf 'cost per device, largest / smallest: %.2f\n' "$(echo "$max / $min" | bc -l)"
