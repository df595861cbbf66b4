// The dispatch behind the public kernels (core/kernels.h): the implementations (the scalar
// reference and the vectorised variants, one table of five functions each), the choice among
// them, and the public kernels with an explicit table.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/complex.h"
#include "core/gates.h"
#include "core/kernels.h"

namespace vorn::core::kernels {

// The five kernels of one implementation on the amplitudes v[0 .. len). Preconditions, checked
// by the callers below: len is a power of two, every operand is below log2(len), and the
// operands are distinct, except that controlled_swap accepts control == target2 (which makes it
// an exchange of target1 and target2 without condition).
template <typename T>
struct KernelFunctions {
  void (*single)(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned target);
  void (*controlled)(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned control,
                     unsigned target);
  void (*two_qubit)(Complex<T>* v, std::uint64_t len, const Matrix4<T>& m, unsigned q0,
                    unsigned q1);
  void (*doubly_controlled)(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m,
                            unsigned control1, unsigned control2, unsigned target);
  void (*controlled_swap)(Complex<T>* v, std::uint64_t len, unsigned control, unsigned target1,
                          unsigned target2);
};

// One implementation. Its own functions (the base) run on the calling thread below
// PARALLEL_THRESHOLD amplitudes and from there on as one parallel_for; `local` runs the same
// arithmetic on the calling thread whatever the length, and `in_cache` too, without software
// prefetching (Placement::InCache).
template <typename T>
struct KernelTable : KernelFunctions<T> {
  const char* name;
  KernelFunctions<T> local;
  KernelFunctions<T> in_cache;

  const KernelFunctions<T>& functions(Placement placement) const {
    switch (placement) {
      case Placement::Pool:
        return *this;
      case Placement::CallingThread:
        return local;
      case Placement::InCache:
        return in_cache;
    }
    return local;
  }
};

// The scalar reference, the definition every variant must match bit for bit.
template <typename T>
const KernelTable<T>& reference_table();

// The implementations this CPU can run, fastest first; the reference is always the last.
template <typename T>
std::span<const KernelTable<T>* const> available_tables();

// The implementation of this name among available_tables() ("scalar" also names the
// reference), or null when this CPU cannot run it.
template <typename T>
const KernelTable<T>* find_table(std::string_view name);

// The implementation the public kernels use on this thread: the one chosen by
// testing::run_with_kernel_table (core/kernels.h) while it runs, else the first of
// available_tables().
template <typename T>
const KernelTable<T>& active_table();

// The public kernels (core/kernels.h) with an explicit implementation: operands are checked
// (an operand out of range throws Abort before any amplitude is touched) and coinciding
// operands are resolved as the bit tests of the serial scans resolve them, then the table runs.
template <typename T>
void apply_single_qubit_gate_with(const KernelFunctions<T>& table, std::span<Complex<T>> v,
                                  const Matrix2<T>& m, std::uint64_t target);
template <typename T>
void apply_controlled_gate_with(const KernelFunctions<T>& table, std::span<Complex<T>> v,
                                const Matrix2<T>& m, std::uint64_t control, std::uint64_t target);
template <typename T>
void apply_two_qubit_gate_with(const KernelFunctions<T>& table, std::span<Complex<T>> v,
                               const Matrix4<T>& m, std::uint64_t q0, std::uint64_t q1);
template <typename T>
void apply_doubly_controlled_gate_with(const KernelFunctions<T>& table, std::span<Complex<T>> v,
                                       const Matrix2<T>& m, std::uint64_t control1,
                                       std::uint64_t control2, std::uint64_t target);
template <typename T>
void apply_controlled_swap_with(const KernelFunctions<T>& table, std::span<Complex<T>> v,
                                std::uint64_t control, std::uint64_t target1,
                                std::uint64_t target2);

// The multi-controlled kernel (core/kernels.h apply_multi_controlled_gate) with an explicit
// implementation: no control and one or two controls wanting 1 run the table's own kernels; any
// other mask runs the scalar reference, in parallel when placement is Pool and the state has
// PARALLEL_THRESHOLD amplitudes or more, else on the calling thread.
template <typename T>
void apply_multi_controlled_gate_with(const KernelFunctions<T>& table, Placement placement,
                                      std::span<Complex<T>> v, const Matrix2<T>& m,
                                      std::uint64_t control_mask, std::uint64_t control_values,
                                      std::uint64_t target);

}  // namespace vorn::core::kernels
