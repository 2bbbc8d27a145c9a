/* Settings of the CPU simulator that stands in for the GPU in libvyr_sim.so. Only the simulator build has
 * these; the library itself never calls them, and programs built for the GPU do not need them. */
#ifndef VYR_SIM_H
#define VYR_SIM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The simulated device, as the runtime API reports it. Defaults: compute capability 9.0, 132
 * multiprocessors, 232448 bytes of opt-in shared memory per block. */
typedef struct VyrSimDevice {
    int cc_major;
    int cc_minor;
    int multiprocessors;
    int smem_optin;
    /* Queries that fail with cudaErrorInvalidDevice, for testing callers' handling of them. */
    int fail_get_device;
    int fail_attribute; /* a cudaDeviceAttr value, or 0 for none */
    /* cudaFuncSetAttribute refuses every maximum dynamic shared-memory size (cudaErrorInvalidValue), as a
     * runtime does that cannot grant what the device reports; for testing callers' handling of it. */
    int refuse_smem_attribute;
} VyrSimDevice;

void vyr_sim_get_device(VyrSimDevice* out);
void vyr_sim_set_device(const VyrSimDevice* device);
void vyr_sim_reset_device(void);

/* The most recent kernel launch that the simulator accepted (count 0: none yet in this process). */
typedef struct VyrSimLaunch {
    unsigned long long count; /* launches accepted so far */
    unsigned grid[3];
    unsigned block[3];
    size_t dynamic_smem;
} VyrSimLaunch;
void vyr_sim_last_launch(VyrSimLaunch* out);

/* Order in which the threads of a block (and the blocks of a grid) are resumed between collectives.
 * A kernel that is correct gives the same results under every order. */
enum { VYR_SIM_ORDER_FORWARD = 0, VYR_SIM_ORDER_REVERSE = 1, VYR_SIM_ORDER_SHUFFLE = 2 };
void vyr_sim_set_order(int order, unsigned seed);

/* A kernel fault (a barrier or warp collective that not every participant reaches, a mask naming a lane
 * that does not take part) is printed to stderr and recorded: the launch stops, and the next
 * synchronisation and error query return cudaErrorLaunchFailure until cudaDeviceReset(). With
 * abort_on_fault set, the process aborts after printing instead. */
void vyr_sim_set_abort_on_fault(int abort_on_fault);
/* The report of the most recent fault, or "" when none happened since the last cudaDeviceReset(). */
const char* vyr_sim_last_fault(void);

#ifdef __cplusplus
}
#endif
#endif
