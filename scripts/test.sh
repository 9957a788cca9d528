#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds everything and runs every test: first the format of the product code
# (scripts/check-format.sh), then the default build (gcc, optimised), the
# AddressSanitizer + UndefinedBehaviorSanitizer build (clang, so that clang's
# warnings stop the run too) and the ThreadSanitizer build (gcc), each with
# the whole suite; then every fuzz target for a bounded time (clang,
# libFuzzer); then valgrind memcheck over the plug-in's unit tests and the
# reliability tests of the default build; then the ABI of the default build
# against the baseline in abi/ (scripts/abi-check.sh), the plug-in in a
# Debian 11 userland (scripts/debian11-check.sh), and the Debian and RPM
# packages: built (scripts/package.sh), checked by lintian and rpmlint,
# installed into scratch roots and tried with the build tree out of reach
# (scripts/check-install.sh). Any failure, crash, sanitizer report, leak,
# invalid access, ABI change or lint finding fails the script.
#
# FUZZ_SECONDS sets the seconds each fuzz target runs (default 20; the five
# targets run two at a time, about a minute in all).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
if [ "$jobs" -gt 2 ]; then jobs=2; fi
fuzz_seconds=${FUZZ_SECONDS:-20}

timings=()
step() { # step NAME COMMAND...: runs the command and records how long it took
    local name=$1
    shift
    local start=$SECONDS
    echo "== $name"
    "$@"
    timings+=("$(printf '%-22s %4d s' "$name" $((SECONDS - start)))")
}

step "format" scripts/check-format.sh
for preset in default asan tsan; do
    step "$preset build" bash -c "cmake --preset $preset >/dev/null && cmake --build --preset $preset -j $jobs"
    step "$preset tests" ctest --preset "$preset"
done
step "abi check" scripts/abi-check.sh
# The plug-in of the default build in a Debian 11 root (cached under /var/cache/tmmpio/).
step "debian 11 userland" scripts/debian11-check.sh

# The fuzz preset builds only the plug-in's objects, the fake host and the
# fuzz targets; each target first replays its seeds, then fuzzes.
step "fuzz build" bash -c "cmake --preset fuzz -DMPIO_FUZZ_SECONDS=$fuzz_seconds >/dev/null &&
                           cmake --build --preset fuzz -j $jobs"
step "fuzz runs" ctest --preset fuzz

memcheck() {
    local program=$1
    shift
    # Under valgrind the threads of the race tests run one at a time: fewer rounds.
    MPIO_RACE_ROUNDS=${MPIO_RACE_ROUNDS:-150} valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
        --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
        --suppressions=tests/reliability/valgrind.supp --quiet \
        "build/default/bin/$program" "$@" --gtest_brief=1
}
step "valgrind unit tests" memcheck plugin_unit_tests
step "valgrind reliability" memcheck reliability_tests

step "packages" scripts/package.sh
step "installed files" scripts/check-install.sh

echo "== time per step"
printf '   %s\n' "${timings[@]}"
