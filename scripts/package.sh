#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian and the RPM packages in one command, into
# build/package/packages/. Each kind has its preset and build tree, since
# the libdir is compiled into mpioctl and written into the CMake package and
# tmmpio.pc: package (build/package, lib/<multiarch>) for the Debian ones,
# package-rpm (build/package-rpm, lib64) for the RPMs. Both build the
# programs and libraries only, for the prefix /usr, with man pages, and with
# the hardening flags of dpkg-buildflags; with ccache the second tree costs
# little more than its links. One package per component:
#   Debian  tmmpio-emcpowerpath, libtmhost1, libtmhost-dev, tmmpio-tools, tmmpio-sim
#   RPM     tmmpio-emcpowerpath, libTmHost1, tmmpio-devel, tmmpio-tools, tmmpio-simulator
# The same without this script:
#   cmake --workflow --preset package && cmake --workflow --preset package-rpm
# scripts/check-install.sh checks them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
if [ "$jobs" -gt 2 ]; then jobs=2; fi
# The presets compile through ccache; without it, directly.
launcher=()
if ! command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER_LAUNCHER=)
fi

packages=build/package/packages
rm -f "$packages"/*.deb "$packages"/*.rpm
for preset in package package-rpm; do
    cmake --preset "$preset" "${launcher[@]}" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    cpack --preset "$preset" >/dev/null
done
for deb in "$packages"/*.deb; do
    printf '%s\n    Depends: %s\n' "$deb" "$(dpkg-deb -f "$deb" Depends)"
done
# (Without rpm's own features and the libraries' symbol versions.)
for rpm in "$packages"/*.rpm; do
    printf '%s\n    Requires: %s\n' "$rpm" \
        "$(rpm -qp --requires "$rpm" | grep -v '^rpmlib(\|\.so\.[0-9]*([^)]' | sort -u | paste -sd , | sed 's/,/, /g')"
done
