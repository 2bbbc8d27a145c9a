// vyr-decode: raw CRF scores to FASTQ through the library's decoding calls, on the simulator or a GPU.
// `vyr-decode --synthetic 64` decodes planted reads and reports how many came back exactly.
#include <cstdio>

#include "decode_tool.h"

int main(int argc, char** argv) {
    return vyr_tool::run_decode_tool(argc, argv, stdout, stderr);
}
