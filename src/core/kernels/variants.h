// The vectorised kernel tables, one per instruction set.
#pragma once

#include "core/kernels/dispatch.h"

namespace vorn::core::kernels {

// Only to be called on a CPU with the instruction set (see available_tables()).
template <typename T>
const KernelTable<T>& avx2_table();
template <typename T>
const KernelTable<T>& avx512_table();

}  // namespace vorn::core::kernels
