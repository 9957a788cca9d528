#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every benchmark of bench/ against the default build, in a few
# minutes. Needs the packages of scripts/deps.sh, a default build
# (cmake --preset default && cmake --build --preset default) and root, for
# the sandbox's mount namespace and device nodes. Not part of CI.
#
#  1. parse_bench    the plug-in's own parsing cost per line, 100 to 100,000
#                    pseudo devices, through the fake host
#  2. call_bench     whole calls of the built plug-in inside mpio-sandbox,
#                    beside the pipelines they run, on generated machines
#                    (mpio-sandbox --generate) of 256, 1,000 and 10,000
#                    pseudo devices with 4 paths each, and isMPIODevice
#                    alone at 10,000 with ten times the rounds
#     scale.sh       the simulator's start-up and powermt display dev=all
#                    at 100, 1,000 and 10,000 devices (bench/scale.sh)
#  3. runner_bench   the process runner beside a bare posix_spawn + waitpid
#
# Everything printed is also written to build/default/bench.log (BENCH_LOG
# names another file). REPETITIONS (default 5) sets the repetitions of
# parse_bench, RUNNER_REPETITIONS (default 15, of 0.1 s each) those of
# runner_bench, ROUNDS (default 30) call_bench's rounds (twice as many on the
# 256-device machine, three times on the larger ones, whose calls vary
# most). The repetitions of both Google Benchmark programs are interleaved
# at random, so that a busy moment of the shared machine touches every
# benchmark alike; each step prints the load average it started at.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=build/default/bin
log=${BENCH_LOG:-build/default/bench.log}
repetitions=${REPETITIONS:-5}
runner_repetitions=${RUNNER_REPETITIONS:-15}
rounds=${ROUNDS:-30}

for program in parse_bench call_bench runner_bench mpio-sandbox powermt-sim; do
    if [ ! -x "$bin/$program" ]; then
        echo "bench.sh: $bin/$program is missing: build first (cmake --preset default && cmake --build --preset default)" >&2
        exit 1
    fi
done
if [ "$(id -u)" -ne 0 ]; then
    echo "bench.sh: mpio-sandbox needs root" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/mpio-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The generated machines of call_bench and their generator arguments.
machine_description=paths=4,partitions=3,arrays=symmetrix:2+clariion:1+vnx:1,dead=0.05,standby=0.1,seed=7

: >"$log"
timings=()
step() { # step NAME COMMAND...: runs the command, shows and logs its output, times it
    local name=$1
    shift
    local start=$SECONDS
    printf '\n== %s (load %s)\n$ %s\n' "$name" "$(cut -d' ' -f1-3 /proc/loadavg)" "$*" | tee -a "$log"
    "$@" 2>&1 | tee -a "$log"
    timings+=("$(printf '%-34s %4d s' "$name" $((SECONDS - start)))")
}

{
    echo "bench.sh, $(date -u +%Y-%m-%dT%H:%M:%SZ), commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
    echo "machine: $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $(free -g | awk '/^Mem:/ {print $2}') GiB, load $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee -a "$log"

step "parse_bench" "$bin/parse_bench" --benchmark_repetitions="$repetitions" \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true

for n in 256 1000 10000; do
    "$bin/mpio-sandbox" --generate "devices=$n,$machine_description" --output "$work/gen-$n.topo"
    step "call_bench, $n devices" "$bin/mpio-sandbox" --topology "$work/gen-$n.topo" -- \
        "$bin/call_bench" --rounds $((rounds * (n > 256 ? 3 : 2)))
done
# isMPIODevice alone, ten times the rounds: its ratio to the bare pipeline
# is the one that lies closest to its 1.10x limit.
step "call_bench, isMPIODevice alone, 10000 devices" "$bin/mpio-sandbox" --topology "$work/gen-10000.topo" -- \
    "$bin/call_bench" --rounds $((rounds * 10)) --only isMPIODevice
step "scale.sh" bench/scale.sh

step "runner_bench" "$bin/runner_bench" --benchmark_repetitions="$runner_repetitions" \
    --benchmark_min_time=0.1 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true

{
    echo
    echo "== time taken"
    printf '%s\n' "${timings[@]}"
    echo "log: $log"
} | tee -a "$log"
