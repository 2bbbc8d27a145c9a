#!/usr/bin/env bash
# The main job: build the library (the CPU simulator by default; VYR_BACKEND=cuda for the GPU) and decode a
# batch of synthetic planted reads end to end. Extra arguments go to vyr-decode.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
backend=${VYR_BACKEND:-sim}
build=build-$backend
cmake -S . -B "$build" -G Ninja -DVYR_BACKEND="$backend" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target vyr-info vyr-decode
"$build/tools/vyr-info"
if [ $# -eq 0 ]; then set -- --synthetic 64; fi
"$build/tools/vyr-decode" "$@"
