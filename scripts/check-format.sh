#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fails, naming each file, when product code (src/, lib/, host/, tools/, sim/)
# is not formatted as .clang-format says. With --fix, formats it instead.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files -- 'src/*.cpp' 'src/*.h' 'lib/*.cpp' 'lib/*.h' 'host/*.cpp' 'host/*.h' \
    'tools/*.cpp' 'tools/*.h' 'sim/*.cpp' 'sim/*.h')
if [ "${1:-}" = --fix ]; then
    clang-format -i --style=file "${files[@]}"
    exit 0
fi
unformatted=()
for file in "${files[@]}"; do
    clang-format --style=file --dry-run --Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done
if [ ${#unformatted[@]} -gt 0 ]; then
    printf 'check-format: not formatted (scripts/check-format.sh --fix formats them):\n' >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    exit 1
fi
echo "check-format: ${#files[@]} files formatted"
