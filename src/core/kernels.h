// The kernels that apply gates to a state vector in place: five for the gate set, one for a 2x2
// matrix under any controls. Each exists once per precision; below PARALLEL_THRESHOLD amplitudes
// it runs on the calling thread, from there on as one parallel loop on the process-wide worker
// pool, unless the caller asks for the calling thread. Results never depend on the path or on
// the number of workers.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "core/complex.h"
#include "core/gates.h"

namespace vorn::core {

inline constexpr std::uint64_t PARALLEL_THRESHOLD = 8192;

// Where a kernel runs. Pool: on the calling thread below PARALLEL_THRESHOLD amplitudes, from
// there on as one parallel loop on the worker pool. CallingThread: on the calling thread
// whatever the length, for callers that share the work out themselves (the blocks of a pass).
// InCache: as CallingThread, for amplitudes that are already in the cache (a block gathered into
// a buffer, a stretch after its first gate): the vectorised kernels then do not prefetch them
// ahead in software, which in the cache only costs instructions. All give the same bits.
enum class Placement { Pool, CallingThread, InCache };

// v.size() must be a power of two, 2^n. Every operand must be < n; an operand out of range
// throws Abort before any amplitude is touched ("mid > len" for the single-qubit kernel from
// PARALLEL_THRESHOLD amplitudes on).
//
// Operands need not be distinct; coinciding ones act as the bit tests of the serial scans
// decide, on both paths: a control equal to the target changes nothing; two equal controls act
// as one; controlled_swap with target1 == target2 or control == target1 changes nothing, and
// with control == target2 exchanges target1 and target2 without condition. The two-qubit
// kernel with q0 == q1 changes nothing.

// Applies m to the target qubit: (a0, a1) <- (m00*a0 + m01*a1, m10*a0 + m11*a1).
template <typename T>
void apply_single_qubit_gate(std::span<Complex<T>> v, const Matrix2<T>& m, std::uint64_t target,
                             Placement placement = Placement::Pool);

// Applies m to the target wherever the control bit is 1.
template <typename T>
void apply_controlled_gate(std::span<Complex<T>> v, const Matrix2<T>& m, std::uint64_t control,
                           std::uint64_t target, Placement placement = Placement::Pool);

// Applies the 4x4 matrix with local basis index bit(q0) + 2*bit(q1).
template <typename T>
void apply_two_qubit_gate(std::span<Complex<T>> v, const Matrix4<T>& m, std::uint64_t q0,
                          std::uint64_t q1, Placement placement = Placement::Pool);

// Applies m to the target wherever both control bits are 1.
template <typename T>
void apply_doubly_controlled_gate(std::span<Complex<T>> v, const Matrix2<T>& m,
                                  std::uint64_t control1, std::uint64_t control2,
                                  std::uint64_t target, Placement placement = Placement::Pool);

// Applies m to the target wherever every qubit of control_mask holds its bit of control_values
// (1: a control, 0: a negated control), for any number of controls; bits of control_values
// outside the mask are ignored. Every pair goes through the arithmetic of the single-qubit
// kernel: without controls this is that kernel, bit for bit, and with one or two controls that
// want 1 it is apply_controlled_gate or apply_doubly_controlled_gate. A target inside the mask
// changes nothing (a control equal to the target); a mask bit at or above n throws Abort.
template <typename T>
void apply_multi_controlled_gate(std::span<Complex<T>> v, const Matrix2<T>& m,
                                 std::uint64_t control_mask, std::uint64_t control_values,
                                 std::uint64_t target, Placement placement = Placement::Pool);

// Exchanges the amplitudes of target1 and target2 wherever the control bit is 1.
template <typename T>
void apply_controlled_swap(std::span<Complex<T>> v, std::uint64_t control, std::uint64_t target1,
                           std::uint64_t target2, Placement placement = Placement::Pool);

namespace testing {
// Runs fn so that every kernel call from fn on this thread, and every pass over a state that fn
// starts on this thread (simulator/passes.h, which hands the choice on to the pool's workers),
// uses the implementation named `name`: "avx512" or "avx2" where this CPU runs them, "reference"
// (or "scalar") everywhere, instead of the fastest one. Returns false without calling fn when
// this CPU cannot run it. Calls may nest; the innermost wins.
bool run_with_kernel_table(std::string_view name, const std::function<void()>& fn);
}  // namespace testing

}  // namespace vorn::core
