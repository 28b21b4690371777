#!/usr/bin/env bash
# Installs what building, testing and benchmarking need, only when missing.
# Usage: scripts/deps.sh [extra Debian packages...]
set -euo pipefail

need=(g++ cmake make pkg-config libexpat1-dev zlib1g-dev libzstd-dev libgtest-dev
      libbenchmark-dev clang libclang-rt-14-dev locales libfmt-dev "$@")
missing=()
for pkg in "${need[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done
if ((${#missing[@]})); then
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    echo "installing: ${missing[*]}"
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

# Tests check that numbers stay plain under a digit-grouping locale.
if ! locale -a 2>/dev/null | grep -qi '^en_US\.utf-\?8$'; then
    if [ "$(id -u)" -eq 0 ]; then
        localedef -i en_US -f UTF-8 en_US.UTF-8 || echo "could not generate en_US.UTF-8"
    fi
fi
