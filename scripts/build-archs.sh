#!/usr/bin/env bash
# Builds libvyr.so with device code (PTX and SASS) for every architecture the library ships: the installed
# CUDA 13 toolkit cannot target 6.1 or 7.0, so this build uses the CUDA 12.9 device toolchain from the
# registry packages nvidia-cuda-nvcc-cu12 (ptxas, libdevice) and nvidia-cuda-runtime-cu12 (headers and
# runtime), installed into the build folder. Those packages carry no nvcc driver, so clang 19 (Debian package
# clang-19) is the CUDA front end; its fatbinary calls go through a shim that speaks the newer tool's syntax.
#
# Architectures per source unit:
#   lib/linear_volta.cu                     sm_70
#   lib/attention.cu (the 8.0+ families)    sm_80, sm_90
#   every other unit                        sm_61, sm_70, sm_75, sm_80, sm_86, sm_90
#
# Usage: scripts/build-archs.sh [build-dir] [unit.cu ...]
#   With units named, only those are compiled (for each of their architectures) and nothing is linked: CI
#   compiles lib/linear_volta.cu this way. Default build-dir: build-archs; the library is build-dir/libvyr.so.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-archs}
shift || true
mkdir -p "$build"
build=$(cd "$build" && pwd)

command -v clang++-19 >/dev/null 2>&1 || {
  echo "build-archs: installing clang-19"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang-19 >/dev/null
}

packages="$build/cuda12-packages"
if [ ! -x "$packages/nvidia/cuda_nvcc/bin/ptxas" ]; then
  echo "build-archs: installing the CUDA 12.9 device toolchain packages"
  python3 -m pip install -q --disable-pip-version-check --no-deps --target "$packages" \
    "nvidia-cuda-nvcc-cu12==12.9.*" "nvidia-cuda-runtime-cu12==12.9.*"
fi

# A CUDA root in the layout clang expects, made of links into the packages.
root="$build/cuda12"
if [ ! -e "$root/bin/ptxas" ]; then
  rm -rf "$root"
  mkdir -p "$root/bin" "$root/include" "$root/nvvm/libdevice" "$root/lib64"
  ln -s "$packages/nvidia/cuda_nvcc/bin/ptxas" "$root/bin/ptxas"
  cp -rs "$packages/nvidia/cuda_runtime/include/." "$root/include/"
  cp -rs "$packages/nvidia/cuda_nvcc/include/." "$root/include/"
  ln -s "$packages/nvidia/cuda_nvcc/nvvm/libdevice/libdevice.10.bc" "$root/nvvm/libdevice/"
  ln -s "$packages/nvidia/cuda_runtime/lib/libcudart.so.12" "$root/lib64/libcudart.so.12"
  ln -s libcudart.so.12 "$root/lib64/libcudart.so"
  cat >"$root/bin/fatbinary" <<'EOF'
#!/usr/bin/env bash
# clang writes --image=profile=sm_XX|compute_XX,file=F; the CUDA 13 fatbinary takes --image3=kind=...,sm=XX.
fatbinary=$(command -v fatbinary || echo /usr/local/cuda/bin/fatbinary)
args=()
for a in "$@"; do
  if [[ $a =~ ^--image=profile=sm_([0-9]+[a-z]?),file=(.*)$ ]]; then
    args+=("--image3=kind=elf,sm=${BASH_REMATCH[1]},file=${BASH_REMATCH[2]}")
  elif [[ $a =~ ^--image=profile=compute_([0-9]+[a-z]?),file=(.*)$ ]]; then
    args+=("--image3=kind=ptx,sm=${BASH_REMATCH[1]},file=${BASH_REMATCH[2]}")
  else
    args+=("$a")
  fi
done
exec "$fatbinary" "${args[@]}"
EOF
  chmod +x "$root/bin/fatbinary"
fi
export PATH=$PATH:/usr/local/cuda/bin

archs_of() {
  case "$1" in
    lib/linear_volta.cu) echo "70" ;;
    lib/attention.cu | lib/linear.cu | lib/cutlass_*.cu) echo "80 90" ;;
    *) echo "61 70 75 80 86 90" ;;
  esac
}

# Fast single-precision device arithmetic, as the nvcc build's -use_fast_math.
flags=(-x cuda --cuda-path="$root" -Wno-unknown-cuda-version -std=c++17 -O3 -fPIC -fvisibility=hidden
  -fcuda-flush-denormals-to-zero -fgpu-approx-transcendentals -ffp-contract=fast
  -Ilib -Iinclude -DVYR_BUILDING_LIBRARY)

compile() {
  local unit=$1 gpu=()
  for a in $(archs_of "$unit"); do gpu+=(--cuda-gpu-arch="sm_$a"); done
  echo "build-archs: $unit for $(archs_of "$unit" | sed 's/\([0-9]*\)/sm_\1/g')"
  clang++-19 "${flags[@]}" "${gpu[@]}" -c "$unit" -o "$build/$(basename "$unit" .cu).o"
}

if [ $# -gt 0 ]; then
  for unit in "$@"; do compile "$unit"; done
  exit 0
fi
objects=()
for unit in lib/*.cu; do
  compile "$unit"
  objects+=("$build/$(basename "$unit" .cu).o")
done
clang++-19 -shared -o "$build/libvyr.so" "${objects[@]}" -Wl,--version-script=cmake/exports.map \
  -L"$root/lib64" -lcudart -Wl,-rpath,'$ORIGIN'
cp -L "$root/lib64/libcudart.so.12" "$build/"  # the runtime it was built against, found through $ORIGIN
echo "build-archs: $build/libvyr.so"
