// The block arithmetic of expectations compiled for AVX2. This file alone is compiled with
// -mavx2, and only runs on CPUs that report AVX2.
#define VORN_BLOCK_NAMESPACE avx2
#define VORN_BLOCK_NAME "avx2"
#include "simulator/expectation_block.h"

namespace vorn::sim {

const BlockKernels& avx2_block_kernels() { return avx2::KERNELS; }

}  // namespace vorn::sim
