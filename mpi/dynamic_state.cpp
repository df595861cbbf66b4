// The distributed branch state: local operations on the slice, exchanges for global qubits, and
// the collectives that make the sums and draws those of the whole state.
#include "mpi/dynamic_state.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "core/abort.h"
#include "core/kernels.h"
#include "core/parallel.h"
#include "core/reduce.h"
#include "mpi/fused.h"
#include "mpi/layout.h"
#include "mpi/sampling.h"
#include "simulator/engine.h"
#include "simulator/fusion.h"
#include "simulator/state_runs.h"

namespace vorn::mpi {
namespace {

using core::Complex;
using sim::for_each_index;
using sim::insert_bit;
using sim::scale_run;

template <typename T>
double square(const Complex<T>& a) {
  const double re = a.re;
  const double im = a.im;
  return re * re + im * im;
}

// MPI counts are ints: collectives over long arrays go in pieces of this many elements.
constexpr std::uint64_t PIECE = std::uint64_t{1} << 24;

}  // namespace

template <typename T>
DistributedState<T>::DistributedState(const Ranks& ranks, unsigned fusion)
    : ranks_(ranks), fusion_(fusion), state_(ranks.local_qubits), exchanger_(ranks) {
  if (ranks_.rank != 0) {
    // |0...0>: amplitude 1 lives on rank 0 only.
    state_.amplitudes()[0] = Complex<T>{T{0}, T{0}};
  }
}

template <typename T>
unsigned DistributedState<T>::rank_bit(std::uint64_t qubit) const {
  return static_cast<unsigned>((ranks_.rank >> (qubit - ranks_.local_qubits)) & 1);
}

template <typename T>
void DistributedState<T>::apply_operations(std::span<const sim::Operation> ops,
                                           std::optional<double> phase) {
  if (fusion_ != 0) {
    sim::FusionOptions options;
    options.max_qubits = fusion_;
    const std::vector<sim::FusedOp> plan = sim::plan_fusion(sim::fusion_gates(ops), options);
    run_fused_plan(slice(), std::span<const sim::FusedOp>(plan), ranks_, exchanger_);
  } else {
    const Plan plan =
        plan_distributed(ops, ranks_.local_qubits + ranks_.global_qubits, ranks_.global_qubits);
    run_plan(slice(), plan, ranks_, exchanger_);
  }
  if (phase.has_value()) {
    // The engine multiplies in its last pass when that pass is blockwise: the same products.
    sim::apply_global_phase(slice(), *phase);
  }
}

template <typename T>
std::array<double, 2> DistributedState<T>::probabilities(std::uint64_t qubit) {
  const std::span<const Complex<T>> v = slice();
  const auto local = static_cast<unsigned>(ranks_.local_qubits);
  // This rank's subtree of the tree over all indices with zeros where bit qubit differs from o.
  // For a local qubit the zeros only add +0.0 to the sums of the other half (x + 0.0 is x), so
  // the subtree is the tree over that half of the slice alone.
  std::array<double, 2> mine{};
  if (qubit < ranks_.local_qubits) {
    for (std::uint64_t o = 0; o < 2; ++o) {
      mine[o] = core::pairwise_sum(0, local - 1, [v, qubit, o](std::uint64_t j) {
        return square(v[insert_bit(j, qubit, o)]);
      });
    }
  } else {
    mine[rank_bit(qubit)] =
        core::pairwise_sum(0, local, [v](std::uint64_t i) { return square(v[i]); });
  }
  std::vector<double> all(2 * ranks_.size);
  MPI_Allgather(mine.data(), 2, MPI_DOUBLE, all.data(), 2, MPI_DOUBLE, ranks_.comm);
  std::array<double, 2> p{};
  std::vector<double> sums(ranks_.size);
  for (std::uint64_t o = 0; o < 2; ++o) {
    for (std::uint64_t r = 0; r < ranks_.size; ++r) {
      sums[r] = all[2 * r + o];
    }
    p[o] = core::pairwise_sum_in_place(sums);
  }
  return p;
}

template <typename T>
void DistributedState<T>::project(std::uint64_t qubit, unsigned outcome, double probability) {
  const T scale = sim::projection_scale<T>(probability);
  const std::span<Complex<T>> v = slice();
  if (qubit < ranks_.local_qubits) {
    sim::project_onto<T>(v, qubit, outcome, scale);
    return;
  }
  const bool keep = rank_bit(qubit) == outcome;
  for_each_index(v.size(), [v, keep, scale](std::uint64_t b, std::uint64_t e) {
    if (keep) {
      scale_run(v.data() + b, e - b, scale);
    } else {
      std::fill(v.data() + b, v.data() + e, Complex<T>{0, 0});
    }
  });
}

template <typename T>
void DistributedState<T>::flip(std::uint64_t qubit) {
  const std::span<Complex<T>> v = slice();
  if (qubit < ranks_.local_qubits) {
    sim::flip_qubit<T>(v, qubit);
    return;
  }
  // The partner holds the same local indices with this qubit's value the other way round.
  const int partner =
      static_cast<int>(ranks_.rank ^ (std::uint64_t{1} << (qubit - ranks_.local_qubits)));
  const std::uint64_t chunk = EXCHANGE_CHUNK_BYTES / sizeof(Complex<T>);
  for (std::uint64_t at = 0; at < v.size(); at += chunk) {
    const auto bytes = static_cast<int>(std::min(chunk, v.size() - at) * sizeof(Complex<T>));
    MPI_Sendrecv_replace(v.data() + at, bytes, MPI_BYTE, partner, 2, partner, 2, ranks_.comm,
                         MPI_STATUS_IGNORE);
  }
}

template <typename T>
bool DistributedState<T>::save() {
  std::optional<core::StateVector<T>> copy;
  try {
    if (spares_.empty()) {
      copy.emplace(ranks_.local_qubits);
    } else {
      copy.emplace(std::move(spares_.back()));
      spares_.pop_back();
    }
  } catch (const core::AllocationFailure&) {
  } catch (const std::bad_alloc&) {
  }
  int here = copy.has_value() ? 1 : 0;
  int everywhere = 0;
  MPI_Allreduce(&here, &everywhere, 1, MPI_INT, MPI_MIN, ranks_.comm);
  if (everywhere == 0) {
    if (copy.has_value()) {
      spares_.push_back(std::move(*copy));
    }
    return false;
  }
  const Complex<T>* from = state_.amplitudes().data();
  Complex<T>* to = copy->amplitudes().data();
  for_each_index(state_.len(), [from, to](std::uint64_t b, std::uint64_t e) {
    std::memcpy(to + b, from + b, (e - b) * sizeof(Complex<T>));
  });
  saved_.push_back(std::move(*copy));
  return true;
}

template <typename T>
void DistributedState<T>::restore() {
  if (saved_.empty()) {
    core::abort_with("restore without a saved state");
  }
  // The replaced slice is kept as a spare for the next copy.
  spares_.push_back(std::move(state_));
  state_ = std::move(saved_.back());
  saved_.pop_back();
}

template <typename T>
void DistributedState<T>::reset() {
  const std::span<Complex<T>> v = slice();
  for_each_index(v.size(), [v](std::uint64_t b, std::uint64_t e) {
    std::memset(static_cast<void*>(v.data() + b), 0, (e - b) * sizeof(Complex<T>));
  });
  if (ranks_.rank == 0) {
    v[0] = Complex<T>{1, 0};
  }
}

template <typename T>
std::vector<std::uint64_t> DistributedState<T>::sample(std::span<const double> uniforms) {
  std::vector<double> table(state_.len());
  cumulative_slice<T>(slice(), table, ranks_);
  std::vector<double> pivots(ranks_.size);
  MPI_Allgather(&table[0], 1, MPI_DOUBLE, pivots.data(), 1, MPI_DOUBLE, ranks_.comm);
  const std::uint64_t offset = ranks_.rank << ranks_.local_qubits;
  const std::uint64_t last = (ranks_.size << ranks_.local_qubits) - 1;
  // Exactly one rank owns each draw's search; the others leave 0 there, so the maximum over the
  // ranks is the owner's index.
  std::vector<std::uint64_t> indices(uniforms.size(), 0);
  for (std::size_t s = 0; s < uniforms.size(); ++s) {
    if (search_owner(pivots, uniforms[s]) == ranks_.rank) {
      indices[s] = std::min(offset + search_slice(table, uniforms[s]), last);
    }
  }
  for (std::uint64_t at = 0; at < indices.size(); at += PIECE) {
    const auto count = static_cast<int>(std::min(PIECE, indices.size() - at));
    MPI_Allreduce(MPI_IN_PLACE, indices.data() + at, count, MPI_UINT64_T, MPI_MAX, ranks_.comm);
  }
  return indices;
}

template class DistributedState<float>;
template class DistributedState<double>;

}  // namespace vorn::mpi
