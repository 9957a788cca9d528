#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The shipped files on their own, after scripts/package.sh (run as root):
#  1. the .deb files hold the plug-in, the headers, the CMake package, the man
#     pages, the completion and the schemas where the install rules put them,
#     and the tools' package depends on the host stand-in's at this version;
#  2. `cmake --install` into an empty prefix, which is then moved elsewhere;
#  3. the packages unpacked into a scratch root (dpkg-deb -x);
#  4. in a mount namespace where the source and build trees are hidden under
#     an empty tmpfs, for the moved tree and the scratch root alike: every
#     program's --version, the installed mpioctl in the installed simulator
#     (the demo's first steps; its --json documents against the installed
#     schemas), and a host program built against the tree with
#     find_package(TmMPIO) and with pkg-config (scripts/installed-checks.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build=build/package

if [ ! -f "$build/CMakeCache.txt" ] || ! ls "$build"/packages/*.deb >/dev/null 2>&1; then
    echo "check-install: no packages in $build/packages: run scripts/package.sh first" >&2
    exit 1
fi
version=$(sed -n 's/^#define TMMPIO_VERSION_STRING "\(.*\)"$/\1/p' "$build/generated/TmMPIOVersion.h")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")

work=$(mktemp -d "${TMPDIR:-/tmp}/mpio-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() { echo "check-install: $*" >&2; exit 1; }

echo "-- package contents"
for deb in "$build"/packages/*.deb; do dpkg-deb -c "$deb"; done | awk '{print $6}' >"$work/contents"
for path in "$libdir/tmmpio/libTmMPIO_EMCPowerPath.so" include/TmMPIO_EMCPowerPath.h \
    "$libdir/libTmHost.so.1" "$libdir/libTmHost.so" include/TmHostServices.h include/TmMPIOVersion.h \
    include/tmhost/TmHost.h "$libdir/cmake/TmMPIO/TmMPIOConfig.cmake" "$libdir/pkgconfig/tmmpio.pc" \
    bin/mpioctl bin/mpio-sandbox bin/powermt-sim share/tmmpio/topologies/default.topo \
    share/tmmpio/schemas/devices.schema.json share/bash-completion/completions/mpioctl \
    share/man/man1/mpioctl.1.gz share/man/man1/mpio-sandbox.1.gz share/man/man1/powermt-sim.1.gz \
    share/man/man5/tmmpio-topology.5.gz share/man/man3/tmmpio.3tmmpio.gz share/man/man3/init.3tmmpio.gz; do
    grep -qx "\./usr/$path" "$work/contents" || fail "no /usr/$path in the packages"
done
tools_depends=$(dpkg-deb -f "$build"/packages/tmmpio-tools_*.deb Depends)
for needed in "tmmpio-host (= $version)" "tmmpio-emcpowerpath (= $version)" libstdc++6; do
    [[ $tools_depends == *"$needed"* ]] || fail "tmmpio-tools does not depend on $needed: $tools_depends"
done
echo "every file in place; tmmpio-tools depends on: $tools_depends"

echo "-- install, then move the tree"
cmake --install "$build" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/moved"
for deb in "$build"/packages/*.deb; do dpkg-deb -x "$deb" "$work/root"; done

mkdir "$work/kit"
cp -r tests/install/consumer scripts/installed-checks.sh scripts/validate_mpioctl_json.py "$work/kit/"
unshare --mount bash "$work/kit/installed-checks.sh" "$repo" "$work" "$version" "$libdir"
