// The availability queries and the two functions that do nothing.
#include "harness.h"

TEST(Frame, SanityAndGemmStub) {
    EXPECT_EQ(VyrSuccess, sanity_test());
    EXPECT_EQ(VyrUnsupported, host_cublas_gemm_f16(nullptr, 1, 1, 1, nullptr, nullptr, nullptr));
    EXPECT_EQ(VyrUnsupported, host_cublas_gemm_f16(nullptr, -5, 0, 7, nullptr, nullptr, nullptr));
}

TEST(Frame, AvailabilityOnThisDevice) {
    int dev = 0, major = 0, minor = 0;
    CUDA_CHECK(cudaGetDevice(&dev));
    CUDA_CHECK(cudaDeviceGetAttribute(&major, cudaDevAttrComputeCapabilityMajor, dev));
    CUDA_CHECK(cudaDeviceGetAttribute(&minor, cudaDevAttrComputeCapabilityMinor, dev));
    EXPECT_EQ(major >= 8 ? VyrSuccess : VyrUnsupported, vyr_tc_is_available());
    EXPECT_EQ(major == 7 && minor == 0 ? VyrSuccess : VyrUnsupported, vyr_volta_tc_is_available());
}

#if defined(VYR_BACKEND_SIM)
TEST(Frame, AvailabilityAcrossGenerations) {
    struct Case {
        int major, minor, tc, volta;
    } cases[] = {{6, 1, VyrUnsupported, VyrUnsupported}, {7, 0, VyrUnsupported, VyrSuccess},
                 {7, 2, VyrUnsupported, VyrUnsupported}, {7, 5, VyrUnsupported, VyrUnsupported},
                 {8, 0, VyrSuccess, VyrUnsupported},     {8, 6, VyrSuccess, VyrUnsupported},
                 {9, 0, VyrSuccess, VyrUnsupported},     {10, 0, VyrSuccess, VyrUnsupported}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
        vyr_test::SimulatedDevice device(c.major, c.minor);
        EXPECT_EQ(c.tc, vyr_tc_is_available());
        EXPECT_EQ(c.volta, vyr_volta_tc_is_available());
    }
}

TEST(Frame, FailedQueriesMeanUnavailable) {
    VyrSimDevice d;
    vyr_sim_get_device(&d);
    d.cc_major = 7;
    d.cc_minor = 0;
    {
        VyrSimDevice f = d;
        f.fail_get_device = 1;
        vyr_test::SimulatedDevice device(f);
        EXPECT_EQ(VyrUnsupported, vyr_tc_is_available());
        EXPECT_EQ(VyrUnsupported, vyr_volta_tc_is_available());
    }
    {
        VyrSimDevice f = d;
        f.fail_attribute = cudaDevAttrComputeCapabilityMinor;
        vyr_test::SimulatedDevice device(f);
        EXPECT_EQ(VyrUnsupported, vyr_volta_tc_is_available());
    }
    {
        VyrSimDevice f = d;
        f.cc_major = 9;
        f.fail_attribute = cudaDevAttrComputeCapabilityMajor;
        vyr_test::SimulatedDevice device(f);
        EXPECT_EQ(VyrUnsupported, vyr_tc_is_available());
    }
    cudaGetLastError();
}
#endif
