// The distributed layout of a run: which logical qubit sits at which bit of the amplitude index,
// and the plan of steps that runs a gate list on 2^k ranks, each holding 2^(n-k) amplitudes.
//
// Physical positions 0 ... L-1 (L = n - k) are bits of a rank's local index; positions L ... n-1
// are the bits of the rank number. A gate whose target sits at a global position is made local
// first by an exchange with the partner rank: a pure permutation that trades the global position
// for a local one, so no arithmetic is done on the way and the gate then runs, unchanged, on the
// rank's slice with its operands renamed.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "simulator/circuit.h"

namespace vorn::mpi {

// Which logical qubit sits at which physical position, and back.
class QubitMap {
 public:
  explicit QubitMap(std::uint64_t n_qubits);  // the identity
  std::uint64_t position(std::uint64_t logical) const { return position_[logical]; }
  std::uint64_t logical_at(std::uint64_t position) const { return logical_[position]; }
  void swap_positions(std::uint64_t a, std::uint64_t b);
  bool is_identity() const;

 private:
  std::vector<std::uint64_t> position_;
  std::vector<std::uint64_t> logical_;
};

struct Step {
  enum class Kind : std::uint8_t {
    // Apply `gate` (operands are physical local positions) to the slice.
    Gate,
    // Exchange the amplitudes of local positions a and b: a pure permutation on the slice.
    LocalSwap,
    // Trade global position a for local position b with the partner rank (rank bit a - L
    // flipped): a pure permutation across the two slices.
    Exchange,
    // Apply `controlled` (operands are physical local positions) to the slice.
    Controlled,
  };
  Kind kind = Kind::Gate;
  sim::GateOp gate{};
  sim::ControlledGate controlled{};
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  // Gate, Controlled and LocalSwap steps apply only on ranks with (rank & rank_mask) ==
  // rank_mask and (rank & rank_zero_mask) == 0: the controls that stayed at global positions,
  // wanting 1 and 0.
  std::uint64_t rank_mask = 0;
  std::uint64_t rank_zero_mask = 0;

  bool applies_on(std::uint64_t rank) const {
    return (rank & rank_mask) == rank_mask && (rank & rank_zero_mask) == 0;
  }
};

struct Plan {
  std::vector<Step> steps;
  bool measured = false;
  std::uint64_t exchanges = 0;
  // Distinct qubits that start at a global position and that some gate needs locally. Each must
  // leave its position and come back once: the fewest pairwise exchanges that can serve the
  // gate list are two per such qubit.
  std::uint64_t global_qubits_needed = 0;
  // Gates with an operand at a global position (as placed at the start): what an exchange per
  // gate would cost.
  std::uint64_t gates_touching_global = 0;
};

// The number of distinct qubits that the widest gate of ops needs at local positions (its
// targets; controls may stay global, those of the controlled kernel's gates too): 0, 1 or 2.
unsigned local_qubits_needed(std::span<const sim::Operation> ops);

// Plans ops for 2^global_qubits ranks; at the end the layout is the identity again.
// Preconditions: global_qubits < n_qubits, n_qubits - global_qubits >= local_qubits_needed(ops),
// every operand below n_qubits.
Plan plan_distributed(std::span<const sim::Operation> ops, std::uint64_t n_qubits,
                      std::uint64_t global_qubits);

}  // namespace vorn::mpi
