#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building libvyr: the compilers and CMake, Boost.Context,
# GoogleTest and the CUTLASS headers. The CUDA toolkit (headers for both backends, nvcc for the GPU backend) is expected in
# /usr/local/cuda or on PATH; it is not a Debian package.
set -euo pipefail
packages=(cmake ninja-build g++ libboost-context-dev libgtest-dev clang-format python3-numpy)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if ! command -v nvcc >/dev/null 2>&1 && [ ! -x /usr/local/cuda/bin/nvcc ] && [ ! -f /usr/local/cuda/include/cuda_runtime_api.h ]; then
  echo "setup: the CUDA toolkit was not found (looked for nvcc on PATH and in /usr/local/cuda)" >&2
  exit 1
fi
# CUTLASS headers from the pinned Python package (headers only: its Python dependencies are not needed).
# The simulator's bodies for CUTLASS's architecture layer (sim/cutlass) follow this version's signatures.
cutlass_version=4.2.0.0
installed=$(python3 -m pip show nvidia-cutlass 2>/dev/null || true)
if ! grep -qx "Version: $cutlass_version" <<<"$installed"; then
  echo "setup: installing nvidia-cutlass==$cutlass_version"
  python3 -m pip --version >/dev/null 2>&1 || { sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo;
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq python3-pip >/dev/null; }
  python3 -m pip install -q --no-deps "nvidia-cutlass==$cutlass_version" 2>/dev/null ||
    python3 -m pip install -q --no-deps --break-system-packages "nvidia-cutlass==$cutlass_version"
fi
