#!/usr/bin/env bash
# The test suite on the CPU simulator, built with AddressSanitizer and UndefinedBehaviorSanitizer, run under
# three resume orders (a kernel that relies on an unsynchronised order gives different results under them).
# Usage: scripts/test.sh [build-dir]   (default build-test; VYR_WERROR=ON turns warnings into errors, as in CI)
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
echo "test time: $(( $(date +%s) - start )) s"
