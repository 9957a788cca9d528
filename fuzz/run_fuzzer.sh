#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs one fuzz target for a bounded time, starting from its committed seeds
# and writing what it finds to a work folder. Fails on a crash, a sanitizer
# report, a leak, a timeout or a broken invariant (all of which make
# libFuzzer stop with a non-zero status and keep the input in the work
# folder as crash-*, leak-* or timeout-*).
# Usage: run_fuzzer.sh PROGRAM SECONDS SEED_DIR WORK_DIR
set -euo pipefail
program=$1 seconds=$2 seeds=$3 work=$4
mkdir -p "$work/corpus" "$work/artifacts"
max_len=4096
case "$(basename "$program")" in
    fuzz_entry_names) max_len=12000 ;; # paths beyond PATH_MAX
esac
# The seeds first on their own: each must pass as it is.
"$program" -runs=0 -artifact_prefix="$work/artifacts/" "$seeds"
exec "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds"
