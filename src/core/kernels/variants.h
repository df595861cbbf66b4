// The vectorised kernel tables, one per instruction set.
#pragma once

#include "core/kernels/dispatch.h"
#include "core/kernels/fused.h"

namespace vorn::core::kernels {

// Only to be called on a CPU with the instruction set (see available_tables()).
template <typename T>
const KernelTable<T>& avx2_table();
template <typename T>
const KernelTable<T>& avx512_table();

// The fused kernels (core/kernels/fused.h) of the same files; AVX2's also need FMA.
template <typename T>
const FusedKernels<T>& fused_avx2_kernels();
template <typename T>
const FusedKernels<T>& fused_avx512_kernels();

}  // namespace vorn::core::kernels
