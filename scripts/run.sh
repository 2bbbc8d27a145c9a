#!/usr/bin/env bash
# The main job: build the library (the CPU simulator by default; VYR_BACKEND=cuda for the GPU) and basecall the
# shipped synthetic signal end to end with tools/vyr-basecall (convolutions, LSTMs, output layer and decoder,
# all library calls): FASTQ on stdout, a summary and the identity to the planted reads on stderr. Extra
# arguments go to vyr-basecall (e.g. my_reads/ --model my_model.npz -o reads.fastq; --help lists the options).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
backend=${VYR_BACKEND:-sim}
build=build-$backend
cmake -S . -B "$build" -G Ninja -DVYR_BACKEND="$backend" -DCMAKE_BUILD_TYPE=Release >/dev/null
# Build messages and the device report go to stderr, so that stdout carries only the reads (FASTQ).
cmake --build "$build" -j "$(nproc)" --target vyr vyr-info vyr-decode >&2
"$build/tools/vyr-info" >&2
lib=$PWD/$build/libvyr_sim.so
[ "$backend" = cuda ] && lib=$PWD/$build/libvyr.so
# The Python package from the source tree, on the library just built (pip install . installs it for good).
py=python3
$py -c "import numpy" 2>/dev/null || py=/usr/bin/python3
if [ $# -eq 0 ]; then set -- tools/basecall/signal --reference tools/basecall/signal/reference.fasta; fi
VYR_LIBRARY=$lib PYTHONPATH=$PWD/python exec "$py" tools/vyr-basecall "$@"
