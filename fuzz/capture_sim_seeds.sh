#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Writes seed inputs captured from the simulated machine to corpus/<target>/,
# named sim-<what>: the very outputs the plug-in's pipelines give on
# sim/topologies/default.topo, each behind its target's header bytes (see
# the comment at the top of each fuzz_*.cpp). Needs root and a default build
# (mpio-sandbox, powermt-sim); re-running it rewrites the same files.
#
#   fuzz/capture_sim_seeds.sh [TOPOLOGY]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
topology=${1:-$root/sim/topologies/default.topo}

if [ "${1:-}" != "--in-sandbox" ]; then
    exec "$root/build/default/bin/mpio-sandbox" --topology "$topology" -- "$0" --in-sandbox
fi

corpus=$here/corpus
# seed TARGET NAME HEADER-BYTES (octal escapes for printf) COMMAND: the
# header, then what the command prints.
seed() {
    local target=$1 name=$2 header=$3
    shift 3
    { printf "$header"; bash -c "$*"; } >"$corpus/$target/sim-$name"
}

# The pipelines exactly as the plug-in runs them.
partitions="cat /proc/partitions | grep \"emcpower\" | awk '{print \$1\" \"\$2\" \"\$4}'"
admin="cat /proc/devices | grep 'power2' | awk '{print \$1}'"
# filtered POWERMT FILTER: powermt's output through the filter, the status
# powermt's when it fails.
filtered() {
    printf '{ s=$({ { %s 3>&- 4>&-; echo $? >&4; } | %s >&3; } 4>&1); } 3>&1; f=$?; [ "$s" = 0 ] && exit $f; exit "$s"' "$1" "$2"
}
pseudo=$(filtered "powermt display dev=all" "grep -a 'Pseudo' | awk 'BEGIN {FS=\"=\";} {print \$2;}'")
path_filter='awk '\''!/=/ && NF >= 7 && ($(NF-3) == "active" || $(NF-3) == "passive") { p = $(NF-5); if (p !~ /^sd[a-z]+$/) p = $(NF-6); if (p ~ /^sd[a-z]+$/) print p }'\'''
paths() { filtered "powermt display dev=$1" "$path_filter"; }

# partition_listing: status selector 0 (success), then the listing.
seed partition_listing listing '\000' "$partitions"
# init: status selector 0, then the admin-major discovery output.
seed init power2 '\000' "$admin"
seed init proc-devices '\000' "cat /proc/devices"
# mpio_devices: capacity, status selector 0, no error text, then the names;
# a capacity of 4 (a negotiation's first call) and of 127.
seed mpio_devices names-cap4 '\004\000\000' "$pseudo"
seed mpio_devices names-cap127 '\177\000\000' "$pseudo"
seed mpio_devices display-all '\177\000\000' "powermt display dev=all"
# underlying_devices: capacity 16, status 0, a device selector (0: the whole
# device emcpowerc, 1: its partition emcpowerc1), no error text, then the
# filtered display; also the raw display of a device with dead and standby
# paths.
seed underlying_devices emcpowerc '\020\000\000\000' "$(paths emcpowerc)"
seed underlying_devices emcpowerc1 '\020\000\001\000' "$(paths emcpowerc)"
seed underlying_devices emcpowerb-cap1 '\001\000\000\000' "$(paths emcpowerb)"
seed underlying_devices display-emcpowerb '\020\000\000\000' "powermt display dev=emcpowerb"
ls -l "$corpus"/*/sim-* | awk '{print $5, $9}'
