// The public kernels' dispatch: operand checks, coinciding operands, and the choice of
// implementation from the CPU's instruction sets.
#include "core/kernels/dispatch.h"

#include <bit>
#include <string>
#include <type_traits>

#include "core/abort.h"
#include "core/kernels.h"
#include "core/kernels/reference.h"
#include "core/kernels/variants.h"
#include "core/messages.h"

namespace vorn::core {
namespace kernels {
namespace {

constexpr std::uint64_t kBits = 64;

void check_length(std::uint64_t len) {
  if (!std::has_single_bit(len)) {
    abort_with(messages::length_not_power_of_two(len));
  }
}

// The single-qubit kernel's own checks: the block 2^(target+1) must fit a machine word, and
// the pair distance 2^target must stay inside the vector. The parallel path refuses to split
// the vector into halves ("mid > len"); the serial path's first pair index is out of bounds.
void check_single_target(std::uint64_t len, std::uint64_t target) {
  if (target >= kBits - 1) {
    abort_with(messages::block_too_wide(target));
  }
  const std::uint64_t stride = std::uint64_t{1} << target;
  if (stride >= len) {
    if (len >= PARALLEL_THRESHOLD) {
      abort_with(messages::MID_PAST_LEN);
    }
    abort_with(messages::index_out_of_bounds(len, stride));
  }
}

void check_operand(std::uint64_t len, std::uint64_t qubit) {
  // len is a power of two, so qubit < log2(len) exactly when 2^qubit < len.
  if (qubit >= kBits || (std::uint64_t{1} << qubit) >= len) {
    abort_with(messages::operand_out_of_range(qubit, len));
  }
}

}  // namespace

template <typename T>
void apply_single_qubit_gate_with(const KernelFunctions<T>& table, std::span<Complex<T>> v,
                                  const Matrix2<T>& m, std::uint64_t target) {
  check_length(v.size());
  check_single_target(v.size(), target);
  table.single(v.data(), v.size(), m, static_cast<unsigned>(target));
}

template <typename T>
void apply_controlled_gate_with(const KernelFunctions<T>& table, std::span<Complex<T>> v,
                                const Matrix2<T>& m, std::uint64_t control, std::uint64_t target) {
  check_length(v.size());
  check_operand(v.size(), control);
  check_operand(v.size(), target);
  if (control == target) {
    // No index has the control bit set and the same bit clear: nothing changes.
    return;
  }
  table.controlled(v.data(), v.size(), m, static_cast<unsigned>(control),
                   static_cast<unsigned>(target));
}

template <typename T>
void apply_two_qubit_gate_with(const KernelFunctions<T>& table, std::span<Complex<T>> v,
                               const Matrix4<T>& m, std::uint64_t q0, std::uint64_t q1) {
  check_length(v.size());
  check_operand(v.size(), q0);
  check_operand(v.size(), q1);
  if (q0 == q1) {
    // One qubit cannot carry a four-dimensional local basis; like a controlled gate whose
    // control is its target, the gate changes nothing.
    return;
  }
  table.two_qubit(v.data(), v.size(), m, static_cast<unsigned>(q0), static_cast<unsigned>(q1));
}

template <typename T>
void apply_doubly_controlled_gate_with(const KernelFunctions<T>& table, std::span<Complex<T>> v,
                                       const Matrix2<T>& m, std::uint64_t control1,
                                       std::uint64_t control2, std::uint64_t target) {
  check_length(v.size());
  check_operand(v.size(), control1);
  check_operand(v.size(), control2);
  check_operand(v.size(), target);
  if (control1 == target || control2 == target) {
    return;  // a control equal to the target: no index passes the bit tests
  }
  if (control1 == control2) {
    table.controlled(v.data(), v.size(), m, static_cast<unsigned>(control1),
                     static_cast<unsigned>(target));
    return;
  }
  table.doubly_controlled(v.data(), v.size(), m, static_cast<unsigned>(control1),
                          static_cast<unsigned>(control2), static_cast<unsigned>(target));
}

template <typename T>
void apply_controlled_swap_with(const KernelFunctions<T>& table, std::span<Complex<T>> v,
                                std::uint64_t control, std::uint64_t target1,
                                std::uint64_t target2) {
  check_length(v.size());
  check_operand(v.size(), control);
  check_operand(v.size(), target1);
  check_operand(v.size(), target2);
  if (target1 == target2 || control == target1) {
    return;  // the bit tests ask for one bit to be both 0 and 1
  }
  // control == target2 is passed on: the tables exchange target1 and target2 without condition.
  table.controlled_swap(v.data(), v.size(), static_cast<unsigned>(control),
                        static_cast<unsigned>(target1), static_cast<unsigned>(target2));
}

template <typename T>
void apply_multi_controlled_gate_with(const KernelFunctions<T>& table, Placement placement,
                                      std::span<Complex<T>> v, const Matrix2<T>& m,
                                      std::uint64_t control_mask, std::uint64_t control_values,
                                      std::uint64_t target) {
  check_length(v.size());
  for (std::uint64_t rest = control_mask; rest != 0; rest &= rest - 1) {
    check_operand(v.size(), static_cast<std::uint64_t>(std::countr_zero(rest)));
  }
  if (control_mask == 0) {
    apply_single_qubit_gate_with(table, v, m, target);
    return;
  }
  check_operand(v.size(), target);
  const std::uint64_t target_bit = std::uint64_t{1} << target;
  if ((control_mask & target_bit) != 0) {
    return;  // a control equal to the target: no index passes the bit tests
  }
  const std::uint64_t values = control_values & control_mask;
  const auto t = static_cast<unsigned>(target);
  if (values == control_mask && std::popcount(control_mask) <= 2) {
    const auto c1 = static_cast<unsigned>(std::countr_zero(control_mask));
    const std::uint64_t rest = control_mask & (control_mask - 1);
    if (rest == 0) {
      table.controlled(v.data(), v.size(), m, c1, t);
    } else {
      table.doubly_controlled(v.data(), v.size(), m, c1,
                              static_cast<unsigned>(std::countr_zero(rest)), t);
    }
    return;
  }
  if (placement == Placement::Pool && v.size() >= PARALLEL_THRESHOLD) {
    reference::parallel_multi_controlled(v.data(), v.size(), m, control_mask, values, t);
  } else {
    reference::serial_multi_controlled(v.data(), v.size(), m, control_mask, values, t);
  }
}

namespace {

// The tables this CPU can run, fastest first, ending with the reference. The instruction sets
// are those the CPU reports and the operating system has enabled; nothing of the build machine
// enters the choice.
template <typename T>
struct TableList {
  const KernelTable<T>* tables[3];
  std::size_t count = 0;

  TableList() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
      tables[count++] = &avx512_table<T>();
    }
    if (__builtin_cpu_supports("avx2")) {
      tables[count++] = &avx2_table<T>();
    }
    tables[count++] = &reference_table<T>();
  }
};

}  // namespace

template <typename T>
std::span<const KernelTable<T>* const> available_tables() {
  static const TableList<T> list;
  return {list.tables, list.count};
}

template <typename T>
const KernelTable<T>* find_table(std::string_view name) {
  if (name == "scalar") {
    name = "reference";
  }
  for (const KernelTable<T>* table : available_tables<T>()) {
    if (name == table->name) {
      return table;
    }
  }
  return nullptr;
}

namespace {

// The tables chosen by run_with_kernel_table on this thread (both null outside it).
struct ForcedTables {
  const KernelTable<float>* f32 = nullptr;
  const KernelTable<double>* f64 = nullptr;
};
thread_local ForcedTables forced_tables;

}  // namespace

template <typename T>
const KernelTable<T>& active_table() {
  static const KernelTable<T>& fastest = *available_tables<T>().front();
  const KernelTable<T>* forced;
  if constexpr (std::is_same_v<T, float>) {
    forced = forced_tables.f32;
  } else {
    forced = forced_tables.f64;
  }
  return forced != nullptr ? *forced : fastest;
}

#define VORN_INSTANTIATE(T)                                                                        \
  template std::span<const KernelTable<T>* const> available_tables<T>();                           \
  template const KernelTable<T>* find_table<T>(std::string_view);                                  \
  template const KernelTable<T>& active_table<T>();                                                \
  template void apply_single_qubit_gate_with<T>(const KernelFunctions<T>&, std::span<Complex<T>>,  \
                                                const Matrix2<T>&, std::uint64_t);                 \
  template void apply_controlled_gate_with<T>(const KernelFunctions<T>&, std::span<Complex<T>>,    \
                                              const Matrix2<T>&, std::uint64_t, std::uint64_t);    \
  template void apply_two_qubit_gate_with<T>(const KernelFunctions<T>&, std::span<Complex<T>>,     \
                                             const Matrix4<T>&, std::uint64_t, std::uint64_t);     \
  template void apply_doubly_controlled_gate_with<T>(const KernelFunctions<T>&,                    \
                                                     std::span<Complex<T>>, const Matrix2<T>&,     \
                                                     std::uint64_t, std::uint64_t, std::uint64_t); \
  template void apply_controlled_swap_with<T>(const KernelFunctions<T>&, std::span<Complex<T>>,    \
                                              std::uint64_t, std::uint64_t, std::uint64_t);        \
  template void apply_multi_controlled_gate_with<T>(const KernelFunctions<T>&, Placement,          \
                                                    std::span<Complex<T>>, const Matrix2<T>&,      \
                                                    std::uint64_t, std::uint64_t, std::uint64_t);

VORN_INSTANTIATE(float)
VORN_INSTANTIATE(double)
#undef VORN_INSTANTIATE

}  // namespace kernels

template <typename T>
void apply_single_qubit_gate(std::span<Complex<T>> v, const Matrix2<T>& m, std::uint64_t target,
                             Placement placement) {
  const auto& functions = kernels::active_table<T>().functions(placement);
  kernels::apply_single_qubit_gate_with(functions, v, m, target);
}

template <typename T>
void apply_controlled_gate(std::span<Complex<T>> v, const Matrix2<T>& m, std::uint64_t control,
                           std::uint64_t target, Placement placement) {
  const auto& functions = kernels::active_table<T>().functions(placement);
  kernels::apply_controlled_gate_with(functions, v, m, control, target);
}

template <typename T>
void apply_two_qubit_gate(std::span<Complex<T>> v, const Matrix4<T>& m, std::uint64_t q0,
                          std::uint64_t q1, Placement placement) {
  const auto& functions = kernels::active_table<T>().functions(placement);
  kernels::apply_two_qubit_gate_with(functions, v, m, q0, q1);
}

template <typename T>
void apply_doubly_controlled_gate(std::span<Complex<T>> v, const Matrix2<T>& m,
                                  std::uint64_t control1, std::uint64_t control2,
                                  std::uint64_t target, Placement placement) {
  const auto& functions = kernels::active_table<T>().functions(placement);
  kernels::apply_doubly_controlled_gate_with(functions, v, m, control1, control2, target);
}

template <typename T>
void apply_multi_controlled_gate(std::span<Complex<T>> v, const Matrix2<T>& m,
                                 std::uint64_t control_mask, std::uint64_t control_values,
                                 std::uint64_t target, Placement placement) {
  const auto& functions = kernels::active_table<T>().functions(placement);
  kernels::apply_multi_controlled_gate_with(functions, placement, v, m, control_mask,
                                            control_values, target);
}

template <typename T>
void apply_controlled_swap(std::span<Complex<T>> v, std::uint64_t control, std::uint64_t target1,
                           std::uint64_t target2, Placement placement) {
  const auto& functions = kernels::active_table<T>().functions(placement);
  kernels::apply_controlled_swap_with(functions, v, control, target1, target2);
}

#define VORN_INSTANTIATE(T)                                                                       \
  template void apply_single_qubit_gate<T>(std::span<Complex<T>>, const Matrix2<T>&,              \
                                           std::uint64_t, Placement);                             \
  template void apply_controlled_gate<T>(std::span<Complex<T>>, const Matrix2<T>&, std::uint64_t, \
                                         std::uint64_t, Placement);                               \
  template void apply_two_qubit_gate<T>(std::span<Complex<T>>, const Matrix4<T>&, std::uint64_t,  \
                                        std::uint64_t, Placement);                                \
  template void apply_doubly_controlled_gate<T>(std::span<Complex<T>>, const Matrix2<T>&,         \
                                                std::uint64_t, std::uint64_t, std::uint64_t,      \
                                                Placement);                                       \
  template void apply_controlled_swap<T>(std::span<Complex<T>>, std::uint64_t, std::uint64_t,     \
                                         std::uint64_t, Placement);                               \
  template void apply_multi_controlled_gate<T>(std::span<Complex<T>>, const Matrix2<T>&,          \
                                               std::uint64_t, std::uint64_t, std::uint64_t,       \
                                               Placement);

VORN_INSTANTIATE(float)
VORN_INSTANTIATE(double)
#undef VORN_INSTANTIATE

namespace testing {
bool run_with_kernel_table(std::string_view name, const std::function<void()>& fn) {
  const kernels::KernelTable<float>* f32 = kernels::find_table<float>(name);
  const kernels::KernelTable<double>* f64 = kernels::find_table<double>(name);
  if (f32 == nullptr || f64 == nullptr) {
    return false;
  }
  const kernels::ForcedTables outer = kernels::forced_tables;
  kernels::forced_tables = {f32, f64};
  try {
    fn();
  } catch (...) {
    kernels::forced_tables = outer;
    throw;
  }
  kernels::forced_tables = outer;
  return true;
}
}  // namespace testing

}  // namespace vorn::core
