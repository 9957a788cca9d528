#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Compares the ABI of the built plug-in and host stand-in (build/default, or
# the build tree that ABI_BUILD names) with the baseline in abi/, with
# libabigail's abidiff, and fails on any difference: a symbol added or
# removed, or a changed type or signature. An intended change of the ABI
# updates the baseline in the same commit:
#   scripts/abi-check.sh --update
set -euo pipefail
cd "$(dirname "$0")/.."
lib=${ABI_BUILD:-build/default}/lib
libraries=(libTmMPIO_EMCPowerPath.so libTmHost.so.1)

for library in "${libraries[@]}"; do
    if [ ! -f "$lib/$library" ]; then
        echo "abi-check: $lib/$library is missing: build first (cmake --build --preset default)" >&2
        exit 1
    fi
done

if [ "${1:-}" = --update ]; then
    for library in "${libraries[@]}"; do
        abidw --no-corpus-path --no-comp-dir-path --no-show-locs --drop-private-types --headers-dir include --headers-dir host/include --out-file "abi/$library.abi" "$lib/$library"
        echo "abi-check: wrote abi/$library.abi"
    done
    exit 0
fi

status=0
for library in "${libraries[@]}"; do
    if abidiff "abi/$library.abi" "$lib/$library"; then
        echo "abi-check: $library matches abi/$library.abi"
    else
        echo "abi-check: $library differs from abi/$library.abi (above); an intended change" \
             "updates the baseline in the same commit: scripts/abi-check.sh --update" >&2
        status=1
    fi
done
exit $status
