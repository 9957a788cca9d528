#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Run by scripts/check-install.sh in a mount namespace of its own:
#   installed-checks.sh REPO WORK VERSION LIBDIR
# Hides REPO (the source and build trees) under an empty tmpfs, then checks
# the installed trees WORK/moved and WORK/root/usr from their files alone.
set -euo pipefail
repo=$1 work=$2 version=$3 libdir=$4
kit=$work/kit
cd /
mount -t tmpfs -o size=1m,mode=0755 tmpfs "$repo"
[ ! -e "$repo/build" ] || { echo "installed-checks: the build tree is still in reach" >&2; exit 1; }

fail() { echo "installed-checks: $*" >&2; exit 1; }

# The demo's first steps inside the simulated machine, with the tree's own
# mpioctl; "$1" is that mpioctl.
first_steps='
    set -eu
    m=$1
    "$m" vendor
    "$m" init
    "$m" devices | grep -x /dev/emcpowera
    "$m" is-mpio /dev/emcpowera
    if "$m" is-mpio /dev/emcpowerd; then exit 1; fi
    "$m" paths /dev/emcpowerb >/dev/null
    "$m" --json vendor && "$m" --json devices && "$m" --json partitions /dev/emcpowerb
'

for tree in "$work/moved" "$work/root/usr"; do
    echo "-- $tree"
    for program in mpioctl mpio-sandbox powermt-sim; do
        got=$("$tree/bin/$program" --version)
        [ "$got" = "$program (TmMPIO_EMCPowerPath) $version" ] || fail "$program --version: $got"
    done
    plugin=$("$tree/bin/mpioctl" --json vendor | sed -n 's/.*"plugin":"\([^"]*\)".*/\1/p')
    [ "$plugin" = "$tree/$libdir/tmmpio/libTmMPIO_EMCPowerPath.so" ] || fail "mpioctl chose $plugin"

    "$tree/bin/mpio-sandbox" --topology "$tree/share/tmmpio/topologies/default.topo" -- \
        sh -c "$first_steps" sh "$tree/bin/mpioctl" >"$work/steps.out"
    mapfile -t documents < <(grep '^{' "$work/steps.out")
    [ ${#documents[@]} -eq 3 ] || fail "expected 3 --json documents, got ${#documents[@]}"
    "$kit/validate_mpioctl_json.py" "$tree/share/tmmpio/schemas" "${documents[@]}"
    echo "mpioctl $version in the simulator: vendor, init, devices, is-mpio, paths; 3 valid documents"
done

echo "-- a host program built with find_package(TmMPIO) against $work/root/usr"
cmake -S "$kit/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/root/usr" >/dev/null
cmake --build "$work/consumer" >/dev/null
got=$("$work/consumer/consumer")
[ "$got" = "$version Trelmaron: EMC PowerPath MPIO" ] || fail "consumer: $got"
echo "$got"

echo "-- a host program built with pkg-config against $work/moved"
export PKG_CONFIG_PATH="$work/moved/$libdir/pkgconfig"
printf '#include "TmMPIO_EMCPowerPath.h"\n#include "tmhost/TmHost.h"\nint main() { tmhost::setDefaultTimeout(1); return MAXMPIOPATHLEN == 1024 ? 0 : 1; }\n' \
    >"$work/pc.cpp"
# shellcheck disable=SC2046
g++ -std=c++20 "$work/pc.cpp" -o "$work/pc" $(pkg-config --cflags --libs tmmpio) \
    -Wl,-rpath,"$(pkg-config --variable=libdir tmmpio)"
"$work/pc" || fail "the pkg-config program failed"
echo "built and ran with $(pkg-config --modversion tmmpio): $(pkg-config --cflags --libs tmmpio)"
