#!/usr/bin/env bash
# The main job: build the library (the CPU simulator by default; VYR_BACKEND=cuda for the GPU) and decode a
# batch of synthetic planted reads end to end, FASTQ on stdout and a summary on stderr. Extra arguments go to
# vyr-decode (e.g. scores.npy --chunk-len 1000 -o reads.fastq; --help lists the options).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
backend=${VYR_BACKEND:-sim}
build=build-$backend
cmake -S . -B "$build" -G Ninja -DVYR_BACKEND="$backend" -DCMAKE_BUILD_TYPE=Release >/dev/null
# Build messages and the device report go to stderr, so that stdout carries only the reads (FASTQ).
cmake --build "$build" -j "$(nproc)" --target vyr-info vyr-decode >&2
"$build/tools/vyr-info" >&2
if [ $# -eq 0 ]; then set -- --synthetic 64; fi
"$build/tools/vyr-decode" "$@"
