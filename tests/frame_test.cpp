// The availability queries: the current device's generation decides, and a failed query means unavailable.
// Every family queries the device through the same helper; its failures are exercised here once.
#include "harness.h"

TEST(Frame, AvailabilityOnThisDevice) {
    int dev = 0, major = 0, minor = 0;
    CUDA_CHECK(cudaGetDevice(&dev));
    CUDA_CHECK(cudaDeviceGetAttribute(&major, cudaDevAttrComputeCapabilityMajor, dev));
    CUDA_CHECK(cudaDeviceGetAttribute(&minor, cudaDevAttrComputeCapabilityMinor, dev));
    EXPECT_EQ(major >= 8 ? VyrSuccess : VyrUnsupported, vyr_tc_is_available());
    EXPECT_EQ(major == 7 && minor == 0 ? VyrSuccess : VyrUnsupported, vyr_volta_tc_is_available());
}

#if defined(VYR_BACKEND_SIM)
TEST(Frame, AvailabilityAcrossGenerationsAndFailedQueries) {
    const struct {
        int major, minor, fail_get_device, fail_attribute, tc, volta;
    } cases[] = {
        {6, 1, 0, 0, VyrUnsupported, VyrUnsupported},
        {7, 0, 0, 0, VyrUnsupported, VyrSuccess},
        {7, 5, 0, 0, VyrUnsupported, VyrUnsupported},
        {8, 0, 0, 0, VyrSuccess, VyrUnsupported},
        {10, 0, 0, 0, VyrSuccess, VyrUnsupported},
        {7, 0, 1, 0, VyrUnsupported, VyrUnsupported},
        {7, 0, 0, cudaDevAttrComputeCapabilityMinor, VyrUnsupported, VyrUnsupported},
        {9, 0, 0, cudaDevAttrComputeCapabilityMajor, VyrUnsupported, VyrUnsupported},
    };
    for (const auto& c : cases) {
        vyr_test::SimulatedDevice device([&](VyrSimDevice& d) {
            d.cc_major = c.major;
            d.cc_minor = c.minor;
            d.fail_get_device = c.fail_get_device;
            d.fail_attribute = c.fail_attribute;
        });
        EXPECT_EQ(c.tc, vyr_tc_is_available())
            << c.major << "." << c.minor << " failing " << c.fail_attribute;
        EXPECT_EQ(c.volta, vyr_volta_tc_is_available()) << c.major << "." << c.minor;
        cudaGetLastError();
    }
}
#endif
