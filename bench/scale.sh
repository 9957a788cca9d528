#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Scaling of the simulated machine: sandbox start-up and `powermt display
# dev=all` on generated topologies of 100, 1,000 and 10,000 pseudo devices
# with 4 paths each (SIZES and DESCRIPTION change them), as root, against the
# default build. Start-up is the time from starting mpio-sandbox to its
# command running (the command prints the clock), so the tear-down is not
# in it; the display runs inside one sandbox per size. Figures are medians
# of REPETITIONS (default 5) runs, or of 20,000 / N runs (up to 101) for a
# machine of N devices when that is more, as small machines vary most. The cost per device is taken beyond that
# of a machine of one device (the namespaces, the processes started), so
# that the fixed cost does not hide how the rest grows; it should stay within
# 1.5x from the smallest machine to the largest.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=build/default/bin
sizes=${SIZES:-100 1000 10000}
repetitions=${REPETITIONS:-5}
machine=${DESCRIPTION:-paths=4,partitions=3,arrays=symmetrix:2+clariion:1+vnx:1,dead=0.05,standby=0.1,seed=7}

[ "$(id -u)" -eq 0 ] || { echo "scale.sh: mpio-sandbox needs root" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/mpio-scale.XXXXXX")
trap 'rm -rf "$work"' EXIT

now_us() { echo $(( $(date +%s%N) / 1000 )); }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "scale.sh, $(date -u +%Y-%m-%dT%H:%M:%SZ), commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "generator: devices=N,$machine; medians of max($repetitions, 20000 / N) runs, at most 101"
echo "us / device: beyond the machine of one device, over the devices added"
printf '%8s %12s %14s %12s %14s\n' devices "start-up ms" "us / device" "display ms" "us / device"
results=()
base_startup=0
base_display=0
for n in 1 $sizes; do
    "$bin/mpio-sandbox" --generate "devices=$n,$machine" --output "$work/$n.topo"
    runs=$(( 20000 / n > repetitions ? 20000 / n : repetitions ))
    runs=$(( runs > 101 ? 101 : runs ))
    startups=()
    for _ in $(seq "$runs"); do
        start=$(now_us)
        ready=$("$bin/mpio-sandbox" --topology "$work/$n.topo" -- sh -c 'echo $(( $(date +%s%N) / 1000 ))')
        startups+=($((ready - start)))
    done
    # Each display is timed inside the sandbox, from before to after it.
    displays=$("$bin/mpio-sandbox" --topology "$work/$n.topo" -- sh -c '
        for i in $(seq '"$runs"'); do
            s=$(( $(date +%s%N) / 1000 )); powermt display dev=all >/dev/null; e=$(( $(date +%s%N) / 1000 ))
            echo $((e - s))
        done')
    startup=$(printf '%s\n' "${startups[@]}" | median)
    display=$(printf '%s\n' "$displays" | median)
    if [ "$n" -eq 1 ]; then
        base_startup=$startup
        base_display=$display
        awk -v s="$startup" -v d="$display" 'BEGIN { printf "%8d %12.1f %14s %12.1f %14s\n", 1, s / 1000, "(base)", d / 1000, "(base)" }'
        continue
    fi
    startup=$((startup - base_startup))
    display=$(awk -v d="$display" -v b="$base_display" 'BEGIN { print d - b }')
    results+=("$n $startup $display")
    awk -v n="$n" -v s="$startup" -v d="$display" -v bs="$base_startup" -v bd="$base_display" \
        'BEGIN { printf "%8d %12.1f %14.1f %12.1f %14.1f\n", n, (s + bs) / 1000, s / (n - 1), (d + bd) / 1000, d / (n - 1) }'
done
printf '%s\n' "${results[@]}" | awk '
    NR == 1 { s1 = $2 / ($1 - 1); d1 = $3 / ($1 - 1) }
    { sn = $2 / ($1 - 1); dn = $3 / ($1 - 1) }
    END { printf "cost per device, largest / smallest machine: start-up %.2fx, display %.2fx (target within 1.5x)\n", sn / s1, dn / d1 }'
