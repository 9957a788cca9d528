#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the build, the tests and the demo need, where
# they are missing. Runs as root (apt-get); does nothing when all are there.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libblkid-dev fdisk util-linux
    clang libclang-rt-14-dev clang-format valgrind
    nlohmann-json3-dev
    groff-base dpkg-dev file abigail-tools python3-jsonschema
    rpm rpmlint lintian
    mmdebstrap debian-archive-keyring gpg
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
