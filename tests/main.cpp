// The entry point of both test programs. The library reads no environment; the tests map VYR_SIM_ORDER
// (forward, reverse, or a shuffle seed) onto the simulator's own setting, so that CI runs every suite, the
// simulator's own included, under several resume orders.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#if defined(VYR_BACKEND_SIM)
#include "vyr_sim.h"
#endif

namespace vyr_test {

// Also called by tests that try other orders themselves, to leave the chosen one behind.
void use_order_from_environment() {
#if defined(VYR_BACKEND_SIM)
    const char* order = std::getenv("VYR_SIM_ORDER");
    const std::string o = order ? order : "forward";
    if (o == "forward")
        vyr_sim_set_order(VYR_SIM_ORDER_FORWARD, 0);
    else if (o == "reverse")
        vyr_sim_set_order(VYR_SIM_ORDER_REVERSE, 0);
    else
        vyr_sim_set_order(VYR_SIM_ORDER_SHUFFLE, (unsigned)std::strtoul(order, nullptr, 10));
#endif
}

}  // namespace vyr_test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    vyr_test::use_order_from_environment();
    return RUN_ALL_TESTS();
}
