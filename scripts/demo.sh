#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The demo: the EMC PowerPath plug-in answering a host, one entry point at a
# time, on the simulated PowerPath machine of sim/topologies/default.topo.
#
# It installs the Debian packages it needs (scripts/deps.sh), builds mpioctl,
# the plug-in and the simulator with the default preset, and then runs
# mpioctl inside mpio-sandbox. Run it as root: the sandbox needs a mount
# namespace, device nodes and loop devices. Every answer shown is also
# checked; the demo exits 0 only when each one came out as expected.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mpioctl_bin="$root/build/default/bin/mpioctl"

# ------------------------------------------------------------ in the sandbox

heading() { printf '\n== %s\n' "$*"; }
note() { printf '   %s\n' "$@"; }

# show STATUS COMMAND [ARG...]: prints the command and its output, indented;
# stops the demo when the command's exit status is not STATUS.
show() {
    local expected=$1 status=0 output
    shift
    local shown=("$@")
    [ "$1" = mpioctl ] && set -- "$mpioctl_bin" "${@:2}"
    printf '$ %s\n' "${shown[*]}"
    output=$("$@" 2>&1) || status=$?
    [ -z "$output" ] || printf '%s\n' "$output" | sed 's/^/    /'
    [ "$status" -eq 0 ] || printf '    (exit status %d)\n' "$status"
    if [ "$status" -ne "$expected" ]; then
        echo "demo: '${shown[*]}' exited with $status, not $expected" >&2
        exit 1
    fi
}

# expect TEXT COMMAND...: stops the demo unless the command's output holds TEXT.
expect() {
    local text=$1
    shift
    if ! "$@" 2>&1 | grep -xF -- "$text" >/dev/null; then
        echo "demo: '$*' did not give '$text'" >&2
        exit 1
    fi
}

# The link under /dev/disk/by-id that leads to the node of a pseudo device.
by_id_of() {
    local link
    for link in /dev/disk/by-id/*; do
        if [ "$(readlink "$link")" = "../../$1" ]; then
            echo "$link"
            return
        fi
    done
    echo "demo: no by-id link leads to $1" >&2
    exit 1
}

in_sandbox() {
    local m=$mpioctl_bin
    echo "A simulated host with EMC PowerPath: $(grep -c '^device ' "$root/sim/topologies/default.topo") pseudo devices on"
    echo "four arrays, from sim/topologies/default.topo. mpioctl loads the plug-in"
    echo "(build/default/lib/libTmMPIO_EMCPowerPath.so) as a host does and calls it."

    heading "1. Vendor name and set-up (getVendorName, init)"
    show 0 mpioctl vendor
    note "init finds the PowerPath device class in /proc/devices:"
    show 0 grep power2 /proc/devices
    show 0 mpioctl init

    heading "2. The pseudo devices (getMPIODevices)"
    note "The plug-in asks 'powermt display dev=all'; mpioctl grows its array"
    note "until every name fits. Shown in columns:"
    printf '$ mpioctl devices | pr -4 -t -w 76 | expand\n'
    "$m" devices | pr -4 -t -w 76 | expand | sed 's/^/    /'
    note "$("$m" devices | wc -l) devices. emcpowerd is present but not configured yet:"
    show 2 mpioctl is-mpio /dev/emcpowerd

    heading "3. A lookup through a by-id link (isMPIODevice, getUnderlyingDevices)"
    local link
    link=$(by_id_of emcpowerc)
    show 0 ls -l "$link"
    note "The answer goes by the device number of the node the link leads to:"
    show 0 mpioctl is-mpio "$link"
    show 0 mpioctl paths "$link"
    show 1 mpioctl is-mpio /dev/sdf
    expect /dev/sdf "$m" paths "$link"

    heading "4. The paths behind a partition's parent (isPartitionDevice, getUnderlyingDevices)"
    show 0 mpioctl is-partition /dev/emcpowerb5
    note "So the plug-in asks PowerPath about emcpowerb, which has these paths:"
    show 0 powermt display dev=emcpowerb
    note "Active paths are listed, alive or dead; the standby path sde is not:"
    show 0 mpioctl paths /dev/emcpowerb5
    expect /dev/sdd "$m" paths /dev/emcpowerb5
    note "The same answer for a program:"
    show 0 mpioctl --json paths /dev/emcpowerb5

    heading "5. The partitions of a disk-backed device (getPartitionDevices)"
    note "emcpowerb is backed by a 64 MiB image with an MBR: two primary partitions,"
    note "an extended one and two logical ones. The host's reader reads its table:"
    show 0 mpioctl partitions /dev/emcpowerb
    note "as sfdisk reads it (start and size in 512-byte sectors):"
    printf '$ sfdisk --dump /dev/emcpowerb | grep start=\n'
    sfdisk --dump /dev/emcpowerb | grep start= | sed 's/^/    /'

    heading "6. A removal (deleteMPIODevice)"
    note "Runs 'powermt remove force dev=emcpowerc', 'powermt release', 'powermt save':"
    show 0 mpioctl delete emcpowerc
    show 2 mpioctl is-mpio /dev/emcpowerc
    note "$("$m" devices | wc -l) devices now; emcpowerc is not among them:"
    printf '$ mpioctl devices | grep -x /dev/emcpowerc\n'
    if "$m" devices | grep -x /dev/emcpowerc >/dev/null; then
        echo "demo: emcpowerc is still listed" >&2
        exit 1
    fi
    note "(no output)"

    heading "7. A rescan (refreshMPIO)"
    note "Runs 'powermt config', which configures every device it can reach:"
    show 0 mpioctl refresh
    printf '$ mpioctl devices | grep -x -e /dev/emcpowerc -e /dev/emcpowerd\n'
    "$m" devices | grep -x -e /dev/emcpowerc -e /dev/emcpowerd | sed 's/^/    /'
    expect /dev/emcpowerd "$m" devices
    expect /dev/emcpowerc "$m" devices
    note "$("$m" devices | wc -l) devices: emcpowerc is back and emcpowerd is configured."
    show 0 mpioctl is-mpio /dev/emcpowerd
    show 0 mpioctl paths /dev/emcpowerd
}

if [ "${1:-}" = "--in-sandbox" ]; then
    in_sandbox
    exit 0
fi

# ------------------------------------------------------- set up, then run it

scripts/deps.sh
jobs=$(nproc)
if [ "$jobs" -gt 2 ]; then jobs=2; fi
echo "Building mpioctl, the plug-in and the simulated machine (default preset)..."
log=$(mktemp "${TMPDIR:-/tmp}/mpio-demo-build.XXXXXX")
trap 'rm -f "$log"' EXIT
if ! { cmake --preset default && cmake --build --preset default -j "$jobs" --target mpioctl mpio-sandbox; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "demo: the build failed" >&2
    exit 1
fi

# The sandbox attaches /dev/loop16 and /dev/loop432 for the two disk images;
# while another sandbox of this topology holds them, wait a little.
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    status=0
    build/default/bin/mpio-sandbox --topology sim/topologies/default.topo -- \
        "$root/scripts/demo.sh" --in-sandbox 2>"$log" || status=$?
    if [ "$status" -eq 125 ] && grep -q "is already in use" "$log" && [ "$attempt" -lt 10 ]; then
        sleep 3
        continue
    fi
    cat "$log" >&2
    break
done
if [ "$status" -ne 0 ]; then
    echo "demo: failed (exit status $status)" >&2
    exit "$status"
fi
printf '\nDone: every entry point answered as shown.\n'
