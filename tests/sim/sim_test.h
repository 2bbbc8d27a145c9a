// Host-side helpers of the simulator's own tests, whose kernels are written in the tests themselves. Device
// memory from upload() is freed when the test ends, so a failing assertion leaks nothing.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "frame.cuh"

namespace vyr_test {
void use_order_from_environment();

inline std::vector<void*>& test_allocations() {
    static std::vector<void*> v;
    return v;
}
struct FreeAtTestEnd : ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override {
        for (void* p : test_allocations()) cudaFree(p);
        test_allocations().clear();
    }
};
inline const bool kFreeAtTestEnd =
    (::testing::UnitTest::GetInstance()->listeners().Append(new FreeAtTestEnd), true);
}  // namespace vyr_test

template <class T>
T* upload(const std::vector<T>& h) {
    T* d = nullptr;
    EXPECT_EQ(cudaSuccess, cudaMalloc(&d, h.size() * sizeof(T)));
    vyr_test::test_allocations().push_back(d);
    cudaMemcpy(d, h.data(), h.size() * sizeof(T), cudaMemcpyHostToDevice);
    return d;
}

template <class T>
std::vector<T> download(const T* d, size_t n) {
    std::vector<T> h(n);
    cudaMemcpy(h.data(), d, n * sizeof(T), cudaMemcpyDeviceToHost);
    return h;
}
