#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The plug-in built on this machine, in an older userland: a minimal Debian 11
# root (C library 2.31, gcc 10, CMake 3.18, dash, mawk, grep 3.6), made with
# mmdebstrap from Debian's packages and cached under /var/cache/tmmpio/
# (keyed by the suite, the variant and the package list, so that a change of
# them makes a new one). In it, through mpio-sandbox --root on the simulated
# machine:
#   - the host stand-in and mpioctl are built with that root's CMake and
#     gcc 10 (a plain `cmake -S . -B build`, ccache kept beside the root);
#   - that mpioctl loads the plug-in of BUILD (default build/default) and
#     calls every entry point, the plug-in's pipelines running through the
#     root's own /bin/sh, cat, grep and awk; the answers must be the very
#     bytes that the same calls give here, with this machine's mpioctl and
#     tools.
# The cached root is never changed: every run works in an overlay of it, in
# a mount namespace of its own that ends with the run. Runs as root.
#
# usage: scripts/debian11-check.sh [BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."

suite=bullseye
mirror=${TMMPIO_DEBIAN11_MIRROR:-http://deb.debian.org/debian}
variant=minbase
packages=(g++ cmake make pkg-config libblkid-dev nlohmann-json3-dev ccache)
cache=/var/cache/tmmpio
# The recipe's own number goes into the key too: raise it when the way the
# root is made changes.
key=$(printf '%s\n' 1 "$suite" "$variant" "${packages[@]}" | sha256sum | cut -c1-16)
root=$cache/debian11-$key

# Makes the root once; a run that died half-way leaves only ROOT.new behind,
# and the roots of other package lists go.
make_root() {
    mkdir -p "$cache"
    exec 9>"$cache/debian11.lock"
    flock 9
    [ -d "$root" ] && return
    rm -rf --one-file-system "$root.new"
    echo "debian11-check: making the Debian 11 root $root"
    mmdebstrap --quiet --variant="$variant" --include="$(IFS=,; echo "${packages[*]}")" \
        --aptopt='Acquire::Retries "3"' "$suite" "$root.new" "$mirror"
    mv "$root.new" "$root"
    for old in "$cache"/debian11-*; do
        case $old in "$root" | "$cache/debian11-ccache") ;; *) rm -rf --one-file-system "$old" ;; esac
    done
}

# Every entry point through mpioctl (argument 1) and the plug-in (argument
# 2), on default.topo: answers, failures and exit statuses. POSIX sh, for
# the root's dash.
calls='
m=$1 p=$2
call() { echo "== $*"; "$m" --plugin "$p" "$@" 2>&1; echo "exit $?"; }
call vendor
call init
call devices
call --json devices
for d in /dev/emcpowera /dev/emcpowerb5 /dev/emcpowerab /dev/sdb /dev/null /dev/no-such-node; do call is-mpio "$d"; done
for d in /dev/emcpowerb emcpowera /dev/emcpowerb1 emcpoweraa /dev/sdb "bad;name"; do call paths "$d"; done
for d in /dev/emcpowerb /dev/emcpowerab /dev/emcpowera /dev/emcpowerb1 /dev/sdb; do call partitions "$d"; done
for d in /dev/emcpowerb5 /dev/emcpowerab2 /dev/emcpowerb /dev/sdc1; do call is-partition "$d"; done
call --log debug paths /dev/emcpowerc | sed "s/^[0-9-]*T[0-9:.]*Z /TIME /"
call refresh
call delete emcpowerc
call delete emcpowerc
call devices
call --json inventory
'

# In a private mount namespace: the overlay of the root, the checkout bound
# read-only at /src, the ccache at /ccache, and the plug-in at the path it
# has here, which mpioctl --json names.
inside() {
    local sandbox=$build/bin/mpio-sandbox
    work=$(mktemp -d /tmp/debian11-check.XXXXXX)
    trap 'umount -R "$work" 2>/dev/null; rmdir "$work"' EXIT
    mount -t tmpfs debian11-check "$work"
    mkdir "$work/upper" "$work/work" "$work/root"
    mount -t overlay debian11-check -o "lowerdir=$root,upperdir=$work/upper,workdir=$work/work" "$work/root"
    local r=$work/root
    mkdir -p "$r/src" "$r/ccache" "$r$build/lib"
    mount --bind "$PWD" "$r/src"
    mount -o remount,bind,ro "$r/src"
    mkdir -p "$cache/debian11-ccache"
    mount --bind "$cache/debian11-ccache" "$r/ccache"
    cp "$build/lib/libTmMPIO_EMCPowerPath.so" "$r$build/lib/"

    # The root's version, the count of pseudo devices, and the versions of its tools, in one run.
    local out
    out=$("$sandbox" --topology sim/topologies/small.topo --root "$r" -- \
        /bin/sh -c 'cat /etc/debian_version; powermt display dev=all | grep -c Pseudo
                    dpkg-query -W -f "\${Package} \${Version}\n" libc6 dash grep mawk gcc-10 cmake | paste -sd, | sed "s/,/, /g"')
    case $(head -2 <<<"$out") in 11.*$'\n'2) ;; *) echo "debian11-check: the root's version and the count of pseudo devices, not: $out" >&2; exit 1 ;; esac
    echo "debian11-check: Debian $(head -1 <<<"$out"): $(sed -n 3p <<<"$out")"

    "$sandbox" --topology sim/topologies/small.topo --root "$r" -- /bin/sh -ec '
        export CCACHE_DIR=/ccache CCACHE_MAXSIZE=500M
        cmake -S /src -B /build -DBUILD_TESTING=OFF -DMPIO_MANUALS=OFF \
              -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/build.log 2>&1 ||
            { cat /build.log; exit 1; }
        cmake --build /build -j 2 --target mpioctl >>/build.log 2>&1 || { cat /build.log; exit 1; }'

    local here there
    here=$("$sandbox" --topology sim/topologies/default.topo -- \
        /bin/sh -c "$calls" sh "$build/bin/mpioctl" "$build/lib/libTmMPIO_EMCPowerPath.so")
    there=$("$sandbox" --topology sim/topologies/default.topo --root "$r" -- \
        /bin/sh -c "$calls" sh /build/bin/mpioctl "$build/lib/libTmMPIO_EMCPowerPath.so")
    if [ "$here" != "$there" ]; then
        echo "debian11-check: the plug-in answers otherwise in Debian 11 (- here, + there):" >&2
        diff -u <(echo "$here") <(echo "$there") >&2 || true
        exit 1
    fi
    echo "debian11-check: $(grep -c '^== ' <<<"$here") calls of every entry point answered alike here and in Debian 11"
}

if [ "${1:-}" = --inside ]; then
    build=$2 root=$3
    inside
    exit
fi
build=$(realpath "${1:-build/default}")
for f in bin/mpio-sandbox bin/mpioctl lib/libTmMPIO_EMCPowerPath.so; do
    [ -e "$build/$f" ] || { echo "debian11-check: $build/$f is missing: build the default preset first" >&2; exit 1; }
done
make_root
exec unshare --mount --propagation private -- "$0" --inside "$build" "$root"
