#!/usr/bin/env bash
# Installs what is missing, builds the library and runs the example program
# with the configuration in examples/: first the configuration checker on
# it, then four threads logging to the console and to a log file that
# rotates at 4 KiB and keeps 4 files. Usage: scripts/example.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vorn-example vorn-check-config >/dev/null
run_dir=build/example-run
rm -rf "$run_dir"
mkdir -p "$run_dir"
cp examples/vorn_config.xml "$run_dir/"
cd "$run_dir"
echo "== vorn-check-config vorn_config.xml"
../tools/vorn-check-config vorn_config.xml
echo
echo "== vorn-example (console records on standard error)"
../examples/vorn-example
echo
echo "== first lines of logs/example.log"
head -n 3 logs/example.log
