#!/usr/bin/env bash
# The test suite on the CPU simulator, built with AddressSanitizer and UndefinedBehaviorSanitizer, run under
# three resume orders (a kernel that relies on an unsynchronised order gives different results under them).
# Then the tests whose kernels have architecture-dependent paths once more, on a plain (non-sanitized) build
# that compiles the device paths of compute capability 7.0 (VYR_SIM_ARCH=700): the exponential activations,
# the plain conversions and warp reductions of older GPUs, and the Volta kernels in the Volta fragment layout.
# Usage: scripts/test.sh [build-dir]   (default build-test, the 7.0 build in <build-dir>-sm70; VYR_WERROR=ON
# turns warnings into errors, as in CI)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${1:-build-test}
start=$(date +%s)
cmake -S . -B "$build" -G Ninja -DVYR_BACKEND=sim -DVYR_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVYR_WERROR="${VYR_WERROR:-OFF}" >/dev/null
cmake --build "$build" -j "$(nproc)"
# The CUTLASS units once more at -O0, where no dead code hides inline PTX the simulator cannot run.
cmake --build "$build" -j "$(nproc)" --target vyr_cutlass_O0
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for order in reverse 1; do
  echo "tests under resume order: $order"
  VYR_SIM_ORDER=$order ctest --test-dir "$build" -j "$(nproc)" --output-on-failure -E '^tools' >"$build/order-$order.log" 2>&1 \
    || { tail -60 "$build/order-$order.log"; echo "tests failed under resume order $order"; exit 1; }
done
echo "tests under resume order: forward"
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure
echo "tests with architecture-dependent paths, device code of compute capability 7.0"
cmake -S . -B "$build-sm70" -G Ninja -DVYR_BACKEND=sim -DVYR_SIM_ARCH=700 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVYR_BUILD_BENCH=OFF -DVYR_BUILD_TOOLS=OFF -DVYR_WERROR="${VYR_WERROR:-OFF}" >/dev/null
cmake --build "$build-sm70" -j "$(nproc)" --target vyr_tests
ctest --test-dir "$build-sm70" -j "$(nproc)" --output-on-failure \
  -R '^(Activation|BiasActivation|Convert|UtilKernels|Convolution|SmallLstm|LstmStep|Decoder|Volta|Frame)'
echo "test time: $(( $(date +%s) - start )) s"
