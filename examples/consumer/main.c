/* Links against the installed library and calls it. */
#include <stdio.h>

#include <vyr.h>

int main(void) {
    if (sanity_test() != VyrSuccess) {
        fprintf(stderr, "sanity_test failed\n");
        return 1;
    }
    printf("consumer: libvyr linked; tensor-core transformer kernels %savailable\n",
           vyr_tc_is_available() == VyrSuccess ? "" : "not ");
    return 0;
}
