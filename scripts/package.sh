#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages in one command: configures the package preset
# (the programs and libraries only, no tests, for the prefix /usr, man pages
# on), builds it and runs CPack, one package per component, into
# build/package/packages/: tmmpio-emcpowerpath (the plug-in), tmmpio-host
# (the host stand-in and the headers), tmmpio-tools (mpioctl) and tmmpio-sim
# (the simulator). The same without this script:
#   cmake --workflow --preset package
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
if [ "$jobs" -gt 2 ]; then jobs=2; fi
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

cmake --preset package "${launcher[@]}" >/dev/null
cmake --build --preset package -j "$jobs"
rm -f build/package/packages/*.deb
cpack --preset package >/dev/null
for deb in build/package/packages/*.deb; do
    printf '%s\n    Depends: %s\n' "$deb" "$(dpkg-deb -f "$deb" Depends)"
done
