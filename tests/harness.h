// The test harness shared by every kernel family. Tests use only the public API and the CUDA runtime API,
// so the same binary runs on the simulator and on a GPU; simulator-only checks are marked VYR_SIM_ONLY().
#pragma once

#include <cuda_fp16.h>
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "vyr.h"
#if defined(VYR_BACKEND_SIM)
#include "vyr_sim.h"
#endif

#define CUDA_CHECK(expr) ASSERT_EQ(cudaSuccess, (expr)) << #expr
#define EXPECT_CUDA_OK(expr) EXPECT_EQ(cudaSuccess, (expr)) << #expr

// Skips the rest of a test that needs the simulator's controls (a simulated device of another generation).
#if defined(VYR_BACKEND_SIM)
#define VYR_SIM_ONLY() (void)0
#else
#define VYR_SIM_ONLY() GTEST_SKIP() << "simulator only"
#endif

namespace vyr_test {

constexpr unsigned char kCanary = 0xA5;

// A device array of n elements with canary-filled guard bands on both sides, so that a kernel writing out of
// bounds is caught even where a value comparison would not see it.
template <class T>
class DeviceBuffer {
  public:
    explicit DeviceBuffer(size_t n = 0) : n_(n) {
        size_t bytes = n * sizeof(T) + 2 * kGuard;
        if (cudaMalloc(&base_, bytes) != cudaSuccess) throw std::bad_alloc();
        std::vector<unsigned char> fill(bytes, kCanary);
        cudaMemcpy(base_, fill.data(), bytes, cudaMemcpyHostToDevice);
    }
    explicit DeviceBuffer(const std::vector<T>& host) : DeviceBuffer(host.size()) { upload(host); }
    ~DeviceBuffer() { cudaFree(base_); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    T* get() const { return n_ ? reinterpret_cast<T*>(static_cast<char*>(base_) + kGuard) : nullptr; }
    size_t size() const { return n_; }
    void upload(const std::vector<T>& host) {
        if (n_) cudaMemcpy(get(), host.data(), n_ * sizeof(T), cudaMemcpyHostToDevice);
    }
    std::vector<T> download() const {
        std::vector<T> host(n_);
        if (n_) cudaMemcpy(host.data(), get(), n_ * sizeof(T), cudaMemcpyDeviceToHost);
        return host;
    }
    void fill_bytes(unsigned char value) {
        if (n_) cudaMemset(get(), value, n_ * sizeof(T));
    }
    // True when nothing was written to the guard bands.
    bool guards_intact() const {
        std::vector<unsigned char> head(kGuard), tail(kGuard);
        cudaMemcpy(head.data(), base_, kGuard, cudaMemcpyDeviceToHost);
        cudaMemcpy(tail.data(), static_cast<char*>(base_) + kGuard + n_ * sizeof(T), kGuard,
                   cudaMemcpyDeviceToHost);
        for (size_t i = 0; i < kGuard; ++i)
            if (head[i] != kCanary || tail[i] != kCanary) return false;
        return true;
    }

  private:
    static constexpr size_t kGuard = 256;
    void* base_ = nullptr;
    size_t n_ = 0;
};

// Seeded inputs; failures print the seed through SCOPED_TRACE in the tests.
class Rng {
  public:
    explicit Rng(uint64_t seed) : gen_(seed) {}
    float uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(gen_); }
    int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen_); }
    std::vector<float> uniform_vec(size_t n, float lo, float hi) {
        std::vector<float> v(n);
        for (float& x : v) x = uniform(lo, hi);
        return v;
    }
    std::mt19937_64& engine() { return gen_; }

  private:
    std::mt19937_64 gen_;
};

// Sets the simulator's resume order from VYR_SIM_ORDER (forward when unset); nothing on a GPU.
void use_order_from_environment();

std::vector<__half> to_half(const std::vector<float>& v);
std::vector<float> to_float(const std::vector<__half>& v);
// Rounds each value to half and back, so references see exactly the inputs the kernel sees.
std::vector<float> round_to_half(const std::vector<float>& v);

// Element-wise |actual - expected| <= abs_tol + rel_tol * |expected|, with NaN and infinity required to agree
// exactly. Reports the count and the first few mismatches with their indices.
::testing::AssertionResult all_near(const std::vector<float>& actual, const std::vector<float>& expected,
                                    double abs_tol, double rel_tol = 0.0);
::testing::AssertionResult all_near(const std::vector<double>& actual, const std::vector<double>& expected,
                                    double abs_tol, double rel_tol = 0.0);

// Element-wise |actual - expected| <= bound[i], NaN and infinity as above; an element whose expected value
// and bound are both NaN (not sampled by the reference) is not compared.
::testing::AssertionResult all_within(const std::vector<float>& actual, const std::vector<double>& expected,
                                      const std::vector<double>& bound);

// Bitwise equality, reporting the first differing elements.
template <class T>
::testing::AssertionResult all_equal(const std::vector<T>& actual, const std::vector<T>& expected) {
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure()
               << "sizes differ: " << actual.size() << " vs " << expected.size();
    size_t bad = 0, first = 0;
    for (size_t i = 0; i < actual.size(); ++i)
        if (std::memcmp(&actual[i], &expected[i], sizeof(T)) != 0 && bad++ == 0) first = i;
    if (bad == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << bad << " of " << actual.size() << " elements differ, first at " << first;
}

#if defined(VYR_BACKEND_SIM)
// Simulates another device for the lifetime of the object.
class SimulatedDevice {
  public:
    explicit SimulatedDevice(const VyrSimDevice& d) {
        vyr_sim_get_device(&saved_);
        vyr_sim_set_device(&d);
    }
    // The current device as `change(device)` leaves it.
    template <class Change, class = decltype(std::declval<Change&>()(std::declval<VyrSimDevice&>()))>
    explicit SimulatedDevice(Change change) {
        vyr_sim_get_device(&saved_);
        VyrSimDevice d = saved_;
        change(d);
        vyr_sim_set_device(&d);
    }
    ~SimulatedDevice() { vyr_sim_set_device(&saved_); }

  private:
    VyrSimDevice saved_;
};
#endif

}  // namespace vyr_test
