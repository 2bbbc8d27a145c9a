// Host-side helpers of the simulator's own tests, whose kernels are written in the tests themselves.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "frame.cuh"

namespace vyr_test {
void use_order_from_environment();
}

template <class T>
T* upload(const std::vector<T>& h) {
    T* d = nullptr;
    EXPECT_EQ(cudaSuccess, cudaMalloc(&d, h.size() * sizeof(T)));
    cudaMemcpy(d, h.data(), h.size() * sizeof(T), cudaMemcpyHostToDevice);
    return d;
}

template <class T>
std::vector<T> download(const T* d, size_t n) {
    std::vector<T> h(n);
    cudaMemcpy(h.data(), d, n * sizeof(T), cudaMemcpyDeviceToHost);
    return h;
}
