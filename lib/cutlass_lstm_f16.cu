// The general path's half-precision variants (3 interleaves x 2 pipeline depths, each with both schedules).
#include "cutlass_lstm_kernel.cuh"

namespace vyr {

const LstmRunner kLstmHalfRunners[3][2] = {
    {run_lstm_kernel<LstmVariant<cutlass::half_t, 0, 3>>,
     run_lstm_kernel<LstmVariant<cutlass::half_t, 0, 2>>},
    {run_lstm_kernel<LstmVariant<cutlass::half_t, 32, 3>>,
     run_lstm_kernel<LstmVariant<cutlass::half_t, 32, 2>>},
    {run_lstm_kernel<LstmVariant<cutlass::half_t, 64, 3>>,
     run_lstm_kernel<LstmVariant<cutlass::half_t, 64, 2>>},
};

}  // namespace vyr
