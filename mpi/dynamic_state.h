// The state of a dynamic program's branch walk (simulator/dynamic.h) spread over the ranks: each
// rank holds its slice, and every operation gives, on every rank, the bits the single-process
// state gives.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/state_vector.h"
#include "mpi/distributed.h"
#include "simulator/dynamic.h"

namespace vorn::mpi {

// This rank's 2^local_qubits amplitudes of |0...0> of local_qubits + global_qubits qubits, with
// the saved copies of the walk. Every operation is collective: all ranks call it with the same
// arguments. Throws core::AllocationFailure when the first slice cannot be allocated (on that
// rank alone: the caller agrees on it before any collective).
template <typename T>
class DistributedState final : public sim::BranchState {
 public:
  // fusion: 0 runs the gates exactly, 2..5 fuses each stretch with that width (mpi/fused.h).
  DistributedState(const Ranks& ranks, unsigned fusion);

  // The plan of the operations on the ranks (it ends with the identity layout), then the
  // global phase on the slice.
  void apply_operations(std::span<const sim::Operation> ops, std::optional<double> phase) override;
  // Each rank's subtree of the sum, gathered, and the top of the tree over them in rank order.
  std::array<double, 2> probabilities(std::uint64_t qubit) override;
  void project(std::uint64_t qubit, unsigned outcome, double probability) override;
  // A global qubit trades the whole slice with the partner rank.
  void flip(std::uint64_t qubit) override;
  // False on every rank when any rank cannot get the copy's memory.
  bool save() override;
  void restore() override;
  void reset() override;
  // The indices on every rank: the owner of each uniform's search fills it in.
  std::vector<std::uint64_t> sample(std::span<const double> uniforms) override;

  std::span<core::Complex<T>> slice() { return state_.amplitudes(); }
  const Exchanger& exchanger() const { return exchanger_; }

 private:
  // This rank's value of a global qubit.
  unsigned rank_bit(std::uint64_t qubit) const;

  Ranks ranks_;
  unsigned fusion_;
  core::StateVector<T> state_;
  Exchanger exchanger_;
  std::vector<core::StateVector<T>> saved_;
  std::vector<core::StateVector<T>> spares_;
};

extern template class DistributedState<float>;
extern template class DistributedState<double>;

}  // namespace vorn::mpi
