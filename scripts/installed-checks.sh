#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Run by scripts/check-install.sh in a mount namespace of its own:
#   installed-checks.sh REPO WORK VERSION MOVED:LIBDIR ROOT:LIBDIR...
# Hides REPO (the source and build trees) under an empty tmpfs, then checks
# installed trees from their files alone: MOVED, a tree that `cmake --install`
# made and that was moved since, and each ROOT, the usr/ of a scratch root
# that the packages were installed into; LIBDIR is the tree's libdir.
set -euo pipefail
repo=$1 work=$2 version=$3
shift 3
kit=$work/kit
cd /
mount -t tmpfs -o size=1m,mode=0755 tmpfs "$repo"
[ ! -e "$repo/build" ] || { echo "installed-checks: the build tree is still in reach" >&2; exit 1; }

fail() { echo "installed-checks: $*" >&2; exit 1; }

# needs_libtmhost PROGRAM: libTmHost is among PROGRAM's needed libraries.
needs_libtmhost() {
    readelf -d "$1" | grep -q '(NEEDED).*\[libTmHost\.so\.1\]' ||
        fail "$1 does not keep libTmHost.so.1 among its needed libraries"
}

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

index=0
for root_and_libdir in "$@"; do
    tree=${root_and_libdir%:*} libdir=${root_and_libdir##*:}
    index=$((index + 1))
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

    # A host program built with find_package(TmMPIO), linked with --as-needed,
    # that loads the installed plug-in.
    # (CMake looks into lib64 on RPM distributions; Debian's is shown the way.)
    consumer=$work/consumer-$index
    package_dir=()
    if [ "$libdir" = lib64 ]; then package_dir=(-DTmMPIO_DIR="$tree/lib64/cmake/TmMPIO"); fi
    cmake -S "$kit/consumer" -B "$consumer" -G Ninja -DCMAKE_PREFIX_PATH="$tree" "${package_dir[@]}" >/dev/null
    cmake --build "$consumer" >/dev/null
    needs_libtmhost "$consumer/consumer"
    got=$("$consumer/consumer")
    [ "$got" = "$version Trelmaron: EMC PowerPath MPIO" ] || fail "consumer: $got"
    echo "find_package(TmMPIO), --as-needed: $got"
done

# pkg-config: the moved tree's tmmpio.pc is relative to where it lies; a
# host program built with it and --as-needed keeps libTmHost and loads the
# plug-in.
moved=${1%:*} moved_libdir=${1##*:}
echo "-- a host program built with pkg-config against $moved"
printf '%s\n' '#include <dlfcn.h>' '#include <cstdio>' '#include "TmMPIO_EMCPowerPath.h"' \
    'int main() {' \
    '    if (!dlopen(PLUGIN, RTLD_NOW)) { std::fprintf(stderr, "%s\n", dlerror()); return 1; }' \
    '    return MAXMPIOPATHLEN == 1024 ? 0 : 1;' \
    '}' >"$work/pc.cpp"
(
    export PKG_CONFIG_PATH="$moved/$moved_libdir/pkgconfig"
    plugindir=$(pkg-config --variable=plugindir tmmpio)
    # shellcheck disable=SC2046
    g++ -std=c++20 "$work/pc.cpp" -o "$work/pc" -DPLUGIN="\"$plugindir/libTmMPIO_EMCPowerPath.so\"" \
        -Wl,--as-needed $(pkg-config --cflags --libs tmmpio) -ldl \
        -Wl,-rpath,"$(pkg-config --variable=libdir tmmpio)"
    needs_libtmhost "$work/pc"
    "$work/pc" || fail "the pkg-config program failed"
    echo "built and ran with $(pkg-config --modversion tmmpio): $(pkg-config --cflags --libs tmmpio)"
)

# The packages' tmmpio.pc is for /usr: pkg-config leaves out the system's
# include and library directories, so only the flags that matter remain.
shift
for root_and_libdir in "$@"; do
    tree=${root_and_libdir%:*} libdir=${root_and_libdir##*:}
    flags=$(PKG_CONFIG_PATH="$tree/$libdir/pkgconfig" PKG_CONFIG_SYSTEM_INCLUDE_PATH=/usr/include \
            PKG_CONFIG_SYSTEM_LIBRARY_PATH="/usr/$libdir" pkg-config --cflags --libs tmmpio |
            sed 's/[[:space:]]*$//')
    [ "$flags" = "-Wl,--push-state,--no-as-needed -lTmHost -Wl,--pop-state" ] ||
        fail "$tree/$libdir/pkgconfig/tmmpio.pc for /usr gives: $flags"
done
echo "tmmpio.pc of the packages: no system directory; $flags"
