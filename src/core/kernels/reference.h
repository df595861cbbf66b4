// The scalar reference kernels, written as the definition reads: the serial paths scan every
// index with bit tests, the parallel paths hand their work items (pieces, pairs or groups
// enumerated by insert_zero_bits) to the pool. Every vectorised variant must match them bit
// for bit.
#pragma once

#include <cstdint>

#include "core/complex.h"
#include "core/gates.h"

namespace vorn::core::kernels::reference {

// Serial paths: a full scan with bit tests. Any operands below log2(len) are accepted,
// coinciding ones included; the bit tests then decide what happens.
template <typename T>
void serial_single(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned target);
template <typename T>
void serial_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned control,
                       unsigned target);
template <typename T>
void serial_doubly_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m,
                              unsigned control1, unsigned control2, unsigned target);
template <typename T>
void serial_controlled_swap(Complex<T>* v, std::uint64_t len, unsigned control, unsigned target1,
                            unsigned target2);

// The multi-controlled kernel: m on the target wherever (i & control_mask) == control_values.
// The serial path scans with bit tests; the parallel one enumerates runs of consecutive pairs
// (below the lowest operand) and hands them to the pool. The target is not in control_mask and
// control_values lies inside it.
template <typename T>
void serial_multi_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m,
                             std::uint64_t control_mask, std::uint64_t control_values,
                             unsigned target);
template <typename T>
void parallel_multi_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m,
                               std::uint64_t control_mask, std::uint64_t control_values,
                               unsigned target);

// The two-qubit kernel enumerates its groups on both paths; q0 != q1.
template <typename T>
void serial_two_qubit(Complex<T>* v, std::uint64_t len, const Matrix4<T>& m, unsigned q0,
                      unsigned q1);

// Parallel paths: one parallel_for over the work items. Operands distinct, except that
// parallel_controlled_swap accepts control == target2.
template <typename T>
void parallel_single(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned target);
template <typename T>
void parallel_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned control,
                         unsigned target);
template <typename T>
void parallel_two_qubit(Complex<T>* v, std::uint64_t len, const Matrix4<T>& m, unsigned q0,
                        unsigned q1);
template <typename T>
void parallel_doubly_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m,
                                unsigned control1, unsigned control2, unsigned target);
template <typename T>
void parallel_controlled_swap(Complex<T>* v, std::uint64_t len, unsigned control, unsigned target1,
                              unsigned target2);

}  // namespace vorn::core::kernels::reference
