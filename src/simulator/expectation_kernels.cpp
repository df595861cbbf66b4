// The portable block arithmetic of expectations and the choice among the implementations.
#define VORN_BLOCK_NAMESPACE portable
#define VORN_BLOCK_NAME "portable"
#include "simulator/expectation_block.h"

#include <array>
#include <utility>

namespace vorn::sim {

const BlockKernels& portable_block_kernels() { return portable::KERNELS; }

std::span<const BlockKernels* const> available_block_kernels() {
  static const auto kernels = [] {
    std::array<const BlockKernels*, 2> list{};
    std::size_t count = 0;
    if (__builtin_cpu_supports("avx2")) {
      list[count++] = &avx2_block_kernels();
    }
    list[count++] = &portable_block_kernels();
    return std::pair{list, count};
  }();
  return {kernels.first.data(), kernels.second};
}

const BlockKernels& active_block_kernels() {
  static const BlockKernels& kernels = *available_block_kernels().front();
  return kernels;
}

}  // namespace vorn::sim
