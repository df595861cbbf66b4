// What the blockwise passes (exact and fused) share: the placement of a block's runs in the
// state, the buffer each thread gathers its blocks into, the copies between them, the order of
// the blocks, and a gate through its exact kernel, in a block or over the state.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <span>
#include <type_traits>
#include <vector>

#include "core/abort.h"
#include "core/complex.h"
#include "core/gates.h"
#include "core/kernels/bits.h"
#include "core/kernels/dispatch.h"
#include "core/messages.h"
#include "simulator/circuit.h"
#include "simulator/messages.h"

namespace vorn::sim::blocks {

// The bits of k placed, from the lowest up, at the set positions of mask.
using core::kernels::deposit_bits;

// One buffer per thread for the blocks it runs, kept for the thread's life (it holds one block,
// a quarter of a level-2 cache, so the next pass finds it allocated).
class BlockBuffer {
 public:
  BlockBuffer() = default;
  BlockBuffer(const BlockBuffer&) = delete;
  BlockBuffer& operator=(const BlockBuffer&) = delete;
  ~BlockBuffer() { std::free(data_); }

  void* get(std::size_t bytes) {
    if (bytes > bytes_) {
      std::free(data_);
      data_ = nullptr;
      bytes_ = 0;
      // Whole cache lines, aligned to them.
      void* p = std::aligned_alloc(64, (bytes + 63) / 64 * 64);
      if (p == nullptr) {
        // A worker cannot report a failure; running out of memory is fatal anyway.
        std::terminate();
      }
      data_ = p;
      bytes_ = bytes;
    }
    return data_;
  }

 private:
  void* data_ = nullptr;
  std::size_t bytes_ = 0;
};

template <typename T>
core::Complex<T>* thread_buffer(std::uint64_t amplitudes) {
  thread_local BlockBuffer buffer;
  return static_cast<core::Complex<T>*>(buffer.get(amplitudes * sizeof(core::Complex<T>)));
}

// How far ahead the copies between the state and a block ask for the state's memory. The runs
// of a block lie far apart in the state, and the hardware prefetchers start afresh on each.
inline constexpr std::size_t COPY_AHEAD_BYTES = 16384;

// Copies run r from source(r) to destination(r) for every run of a block, prefetching the
// state's side (the destination when to_state, else the source) COPY_AHEAD_BYTES ahead.
template <typename Source, typename Destination>
void copy_runs(const std::vector<std::uint64_t>& run_offsets, std::uint64_t run_len,
               const Source& source, const Destination& destination, bool to_state) {
  using Amplitude = std::remove_pointer_t<decltype(source(0))>;
  const std::uint64_t bytes = run_len * sizeof(Amplitude);
  const std::uint64_t ahead = std::max<std::uint64_t>(1, COPY_AHEAD_BYTES / bytes);
  const std::uint64_t runs = run_offsets.size();
  const auto prefetch = [&](std::uint64_t r) {
    const char* p = reinterpret_cast<const char*>(to_state ? destination(r) : source(r));
    for (std::uint64_t b = 0; b < bytes; b += 64) {
      if (to_state) {
        __builtin_prefetch(p + b, 1, 3);
      } else {
        __builtin_prefetch(p + b, 0, 3);
      }
    }
  };
  for (std::uint64_t r = 0; r < std::min(ahead, runs); ++r) {
    prefetch(r);
  }
  for (std::uint64_t r = 0; r < runs; ++r) {
    if (r + ahead < runs) {
      prefetch(r + ahead);
    }
    std::memcpy(destination(r), source(r), bytes);
  }
}

// The block that comes i-th of `blocks` (a power of two) in the pool's loop. The loop's halves
// keep the order of the lower outside qubits, so that neighbouring blocks, whose runs often lie
// side by side in memory, follow each other; the highest outside qubit, which would otherwise
// give one half all the blocks where it is 1, is 1 in a block of the first half when the block's
// lower outside qubits above the lowest four hold an odd number of ones, and in the second half
// when they hold an even number. Each half then holds half of the blocks where any one outside
// qubit is 1, and gates left out where a control is 0 give both halves the same work.
inline std::uint64_t block_at(std::uint64_t i, std::uint64_t blocks) {
  if (blocks < 4) {
    return i;
  }
  const std::uint64_t half = blocks / 2;
  const std::uint64_t low = i & (half - 1);
  const unsigned shift = std::min(4u, static_cast<unsigned>(std::bit_width(half)) - 2);
  const std::uint64_t top =
      (i / half) ^ (static_cast<std::uint64_t>(std::popcount(low >> shift)) & 1);
  return low | top * half;
}

// Applies one gate through its kernel in `kernels`; x is X's matrix (for CX and CCX), m the
// gate's own matrix for the single-qubit kinds.
template <typename T>
void apply_gate(const core::kernels::KernelFunctions<T>& kernels, std::span<core::Complex<T>> v,
                GateKind kind, const core::Matrix2<T>& m, const core::Matrix2<T>& x,
                const std::uint64_t* q) {
  switch (kind) {
    case GateKind::H:
    case GateKind::X:
    case GateKind::Y:
    case GateKind::Z:
    case GateKind::S:
    case GateKind::Sdg:
    case GateKind::T:
    case GateKind::Tdg:
    case GateKind::Rx:
    case GateKind::Ry:
    case GateKind::Rz:
    case GateKind::U3:
    case GateKind::Id:
      // Id is not skipped: it costs its arithmetic like any other single-qubit gate.
      core::kernels::apply_single_qubit_gate_with(kernels, v, m, q[0]);
      return;
    case GateKind::CX:
      core::kernels::apply_controlled_gate_with(kernels, v, x, q[0], q[1]);
      return;
    case GateKind::CZ:
      core::kernels::apply_two_qubit_gate_with(kernels, v, core::CZ_MATRIX<T>, q[0], q[1]);
      return;
    case GateKind::SWAP:
      core::kernels::apply_two_qubit_gate_with(kernels, v, core::SWAP_MATRIX<T>, q[0], q[1]);
      return;
    case GateKind::CCX:
      core::kernels::apply_doubly_controlled_gate_with(kernels, v, x, q[0], q[1], q[2]);
      return;
    case GateKind::CSWAP:
      core::kernels::apply_controlled_swap_with(kernels, v, q[0], q[1], q[2]);
      return;
  }
  core::abort_with(messages::unknown_gate_kind(static_cast<unsigned>(kind)));
}

template <typename T>
core::Matrix2<T> gate_matrix(const GateOp& op, const core::Matrix2<T>& x) {
  return core::arity(op.kind()) == 1 ? core::matrix_2x2<T>(op.gate) : x;
}

// Whether the controls of a gate may stay outside a pass's set: CX and CCX with distinct
// operands. Every block of a pass has one value of each qubit outside the set, so such a control
// either leaves the gate out of the block (0) or drops out of it (1): the block then runs X, or
// CX on the other control, through the same kernel arithmetic the controlled kernel runs on the
// amplitudes whose controls are 1, and the others are left as they are, as that kernel leaves
// them.
inline bool controls_may_stay_outside(const GateOp& op) {
  const GateKind kind = op.kind();
  if (kind != GateKind::CX && kind != GateKind::CCX) {
    return false;
  }
  for (unsigned i = 0; i < op.arity(); ++i) {
    for (unsigned j = 0; j < i; ++j) {
      if (op.qubits[i] == op.qubits[j]) {
        return false;
      }
    }
  }
  return true;
}

// A gate of a blockwise pass, with its operands as bit positions of the block, and the controls
// it left outside the set (as qubits of the state): a block runs the gate only where they are
// all 1.
// A controlled gate (multi) runs on qubits[0] under control_mask and control_values (bit positions
// of the block), its conditions wanting condition_values rather than all 1.
template <typename T>
struct LocalGate {
  GateKind kind;
  core::Matrix2<T> matrix;
  std::uint64_t qubits[3];
  std::uint64_t conditions;
  std::uint64_t condition_values = conditions;
  bool multi = false;
  std::uint64_t control_mask = 0;
  std::uint64_t control_values = 0;

  // Whether a block whose first index is first_index runs the gate.
  bool runs_in(std::uint64_t first_index) const {
    return (first_index & conditions) == condition_values;
  }
};

// A controlled gate's matrix in T: each entry rounded once from double.
template <typename T>
core::Matrix2<T> rounded_matrix(const core::Matrix2<double>& m) {
  core::Matrix2<T> out;
  for (std::size_t i = 0; i < 4; ++i) {
    out[i] = core::Complex<T>{static_cast<T>(m[i].re), static_cast<T>(m[i].im)};
  }
  return out;
}

// Applies a controlled gate through the multi-controlled kernel over v (its operands qubits of
// v), on the pool or the calling thread.
template <typename T>
void apply_controlled(const core::kernels::KernelFunctions<T>& kernels, core::Placement placement,
                      std::span<core::Complex<T>> v, const ControlledGate& g) {
  for (const std::uint64_t q : g.qubits()) {
    if (q >= 64) {
      core::abort_with(core::messages::operand_out_of_range(q, v.size()));
    }
  }
  core::kernels::apply_multi_controlled_gate_with(kernels, placement, v,
                                                  rounded_matrix<T>(g.matrix()), g.control_mask(),
                                                  g.control_values(), g.target);
}

// The gate as a block of a pass over `set` runs it: the controls outside the set become
// conditions, and the gate the kind of the controls that remain (CCX -> CX -> X).
template <typename T>
LocalGate<T> local_gate(const GateOp& op, std::uint64_t set, const core::Matrix2<T>& x) {
  LocalGate<T> g{op.kind(), gate_matrix<T>(op, x), {0, 0, 0}, 0};
  unsigned kept = 0;
  for (unsigned j = 0; j < op.arity(); ++j) {
    const std::uint64_t q = std::uint64_t{1} << op.qubits[j];
    if ((set & q) == 0) {
      // Only a control of CX or CCX is ever left outside the set.
      g.conditions |= q;
      continue;
    }
    // The operand's rank in the set: the j-th qubit of the set is bit j of the block.
    g.qubits[kept++] = static_cast<std::uint64_t>(std::popcount(set & (q - 1)));
  }
  if (g.conditions != 0) {
    g.kind = kept == 1 ? GateKind::X : GateKind::CX;
  }
  g.condition_values = g.conditions;
  return g;
}

// The controlled gate as a block of a pass over `set` runs it: its target and the controls inside
// the set become bit positions of the block, the controls outside conditions on the block (each
// block has one value of them: it runs the gate with the control dropped where the value is the
// wanted one, and leaves the gate out elsewhere, as the kernel leaves those amplitudes).
// Precondition: the target is in the set.
template <typename T>
LocalGate<T> local_controlled(const ControlledGate& op, std::uint64_t set) {
  const auto rank = [set](std::uint64_t q) {
    return static_cast<std::uint64_t>(std::popcount(set & (q - 1)));
  };
  LocalGate<T> g{GateKind::U3, rounded_matrix<T>(op.matrix()), {0, 0, 0}, 0, 0};
  g.multi = true;
  g.qubits[0] = rank(std::uint64_t{1} << op.target);
  for (std::size_t j = 0; j < op.controls.size(); ++j) {
    const std::uint64_t q = std::uint64_t{1} << op.controls[j];
    const std::uint64_t wanted = op.values[j] != 0 ? q : 0;
    if ((set & q) == 0) {
      g.conditions |= q;
      g.condition_values |= wanted;
    } else {
      const std::uint64_t local = std::uint64_t{1} << rank(q);
      g.control_mask |= local;
      g.control_values |= wanted != 0 ? local : 0;
    }
  }
  return g;
}

// Runs operations [pass.first, pass.last) block by block over the pass's qubit set, the blocks
// spread over the pool (placement Pool), or all on the calling thread.
}  // namespace vorn::sim::blocks
