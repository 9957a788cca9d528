#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks that a shared library or program loads on older distributions: every
# versioned symbol it needs is at most GLIBC_2.17, GLIBCXX_3.4.21,
# CXXABI_1.3.9 (GCC_ and other nodes are not limited), and it needs no
# library beyond libc, libm, libgcc_s and libstdc++. Prints each symbol and
# library that exceeds the floor and exits 1; exits 0 when all are within it.
#
#   scripts/symbol-floor.sh [--allow-library NAME]... FILE
set -euo pipefail

allowed=(libc.so.6 libm.so.6 libgcc_s.so.1 libstdc++.so.6)
while [ $# -gt 1 ]; do
    case $1 in
        --allow-library) allowed+=("$2"); shift 2 ;;
        *) break ;;
    esac
done
[ $# -eq 1 ] || { echo "usage: $0 [--allow-library NAME]... FILE" >&2; exit 64; }
file=$1
[ -f "$file" ] || { echo "symbol-floor: $file: no such file" >&2; exit 64; }

declare -A floor=([GLIBC]=2.17 [GLIBCXX]=3.4.21 [CXXABI]=1.3.9)

# version_above A B: true when version A sorts after version B.
version_above() { [ "$1" != "$2" ] && [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | tail -n 1)" = "$1" ]; }

failures=0
# Undefined dynamic symbols with their version: "NAME@NODE_VERSION (n)".
while read -r symbol; do
    node=${symbol#*@}
    node=${node#@}
    family=${node%_*}
    version=${node##*_}
    limit=${floor[$family]:-}
    if [ -n "$limit" ] && version_above "$version" "$limit"; then
        echo "symbol-floor: $file needs $symbol, newer than ${family}_$limit" >&2
        failures=$((failures + 1))
    fi
done < <(readelf -W --dyn-syms "$file" | awk '$7 == "UND" && $8 ~ /@/ { print $8 }')

while read -r library; do
    if ! printf '%s\n' "${allowed[@]}" | grep -qxF "$library"; then
        echo "symbol-floor: $file needs the library $library" >&2
        failures=$((failures + 1))
    fi
done < <(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')

if [ "$failures" -gt 0 ]; then exit 1; fi
echo "symbol-floor: $file within GLIBC_${floor[GLIBC]}, GLIBCXX_${floor[GLIBCXX]}, CXXABI_${floor[CXXABI]}"
