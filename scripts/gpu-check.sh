#!/usr/bin/env bash
# One call on a machine with a GPU: build the CUDA backend for that GPU, run the whole test suite on it (the
# same tests the simulator runs), run the benchmarks, and leave logs in $OUT (or ./gpu-check-out), with the
# benchmarks' comparisons against their peers as one table (peers.md) and a plot (peers.png).
#
# From a clean checkout. The GPU machine has CUDA, CMake and ninja but no GoogleTest package: copy the
# sources next to the checkout first (`mkdir -p .deps && cp -r /usr/src/googletest .deps/`; .deps is ignored
# by git) and carry `.deps` to the machine with the checkout. Likewise the CUTLASS headers, which the GPU
# machine cannot install: `cp -r "$(python3 -c 'import cutlass_library, os; print(os.path.dirname(
# cutlass_library.__file__))')/source/include" .deps/cutlass`.
set -uo pipefail
cd "$(dirname "$0")/.."
out=${OUT:-$PWD/gpu-check-out}
mkdir -p "$out"
export PATH=$PATH:/usr/local/cuda/bin
log() { echo "== $*" | tee -a "$out/summary.txt"; }

nvidia-smi --query-gpu=name,compute_cap,driver_version,memory.total --format=csv,noheader >"$out/gpu.txt" 2>&1
log "GPU: $(head -1 "$out/gpu.txt")"
arch=${VYR_CUDA_ARCHS:-$(head -1 "$out/gpu.txt" | awk -F', ' '{print $2}' | tr -d .)}
deps=()
[ -d .deps/googletest ] && deps=(-DVYR_GTEST_SOURCE_DIR="$PWD/.deps/googletest")
[ -d .deps/cutlass ] && deps+=(-DVYR_CUTLASS_DIR="$PWD/.deps/cutlass")

log "build for sm_$arch"
if ! { cmake -S . -B build-gpu -G Ninja -DVYR_BACKEND=cuda -DVYR_CUDA_ARCHS="$arch" -DCMAKE_BUILD_TYPE=Release "${deps[@]}" &&
       cmake --build build-gpu -j "$(nproc)"; } >"$out/build.log" 2>&1; then
  log "build failed (see build.log)"; tail -30 "$out/build.log"; exit 1
fi

log "tests"
ctest --test-dir build-gpu -j 4 --timeout 300 --output-on-failure --output-junit "$out/tests.xml" >"$out/tests.log" 2>&1
tests_rc=$?
grep -E "tests passed|tests failed" "$out/tests.log" | tee -a "$out/summary.txt"
grep -A3 "\*\*\*Failed\|FAILED" "$out/tests.log" | head -40 >>"$out/summary.txt"

log "python package and basecaller on the GPU build"
# The package from the source tree on the library just built: its tests (PyTorch CUDA tensors where torch
# sees the GPU) and the whole basecaller on the shipped signal.
export VYR_LIBRARY=$PWD/build-gpu/libvyr.so PYTHONPATH=$PWD/python
# (Logs are appended to tests.log: at most eight files come back from the GPU machine.)
python3 -m pytest -q -p no:cacheprovider python/tests >>"$out/tests.log" 2>&1
tail -1 "$out/tests.log" | tee -a "$out/summary.txt"
python3 tools/vyr-basecall tools/basecall/signal --reference tools/basecall/signal/reference.fasta \
  -o /tmp/vyr-reads.fastq 2>&1 | tail -2 | tee -a "$out/summary.txt"
unset VYR_LIBRARY PYTHONPATH

log "benchmarks"
: >"$out/bench.log"
for b in build-gpu/bench/*_bench; do
  [ -x "$b" ] || continue
  echo "-- $(basename "$b")" >>"$out/bench.log"
  timeout 120 "$b" >>"$out/bench.log" 2>&1 || echo "   (exit $?)" >>"$out/bench.log"
done
cat "$out/bench.log" >>"$out/summary.txt"

log "comparisons with peers"
# One table of ratios (peers.md) and a plot (peers.png, when matplotlib is there) from the vs-peer lines.
python3 scripts/peer_table.py "$out/bench.log" "$out" "$(head -1 "$out/gpu.txt")" 2>&1 | tee -a "$out/summary.txt"
[ -f "$out/peers.md" ] && cat "$out/peers.md" >>"$out/summary.txt"
cat "$out/summary.txt"
exit $tests_rc
