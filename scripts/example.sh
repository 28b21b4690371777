#!/usr/bin/env bash
# Installs what is missing, builds the library and runs the example program
# with the configuration in examples/. Usage: scripts/example.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vorn-example vorn-check-config
run_dir=build/example-run
rm -rf "$run_dir"
mkdir -p "$run_dir"
cp examples/vorn_config.xml "$run_dir/"
cd "$run_dir"
../examples/vorn-example
