// Expectation values <a|H|a> of Pauli sums on a state, read in place, with bits that depend on
// nothing but the state and the sums: not the thread count, nor how the state is split into
// aligned slices (the ranks of a distributed state).
//
// What is computed. For one string P = i^y X^x Z^z (observable.h) on a state a of 2^n amplitudes,
//   <a|P|a> = sum_i Re(conj(a_i) * i^y * (-1)^popcount((i ^ x) & z) * a_{i ^ x})
//           = s * sum_i (-1)^popcount(i & z) * v_i,
// where, with both amplitudes' components widened to double and b = a_{i ^ x},
//   re_i = a_i.re * b.re + a_i.im * b.im,   im_i = a_i.re * b.im - a_i.im * b.re
// (Re and Im of conj(a_i) * b, products and sums formed in that order), v_i is re_i when y is
// even and im_i when y is odd, and s is +1 when y mod 4 is 0 or 1 and -1 when it is 2 or 3.
// The sum over i is the signed tree of core/reduce.h (SignedTrees) over the 2^n values v_i with
// mask z: pairs of nodes added, or the right one subtracted where z has the level's bit, level by
// level in index order. The string's value is s times the tree's root. A sum's value is
// c_0 * p_0 + c_1 * p_1 + ..., the coefficients times their strings' values added from left to
// right in the order of its terms (0.0 for a sum without terms). The identity's value is the
// tree sum of the |a_i|^2, the state's squared norm, which is 1 only for a normalised state.
//
// How it is read. Strings that share their flip mask x form a group, read in one pass: the
// values of its terms over a unit of 2^14 amplitudes are formed together, from leaves of 2^10
// amplitudes. Groups whose flips stay inside a unit (all Z-only strings among them) share one
// pass; a group that flips further reads each unit together with its partner unit i ^ x, both
// once. Units run on the worker pool; each writes its own entries, and the levels above the
// units are added on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/complex.h"
#include "core/reduce.h"
#include "simulator/expectation_kernels.h"
#include "simulator/observable.h"

namespace vorn::sim {

// The value of sum on state (2^n amplitudes, n at least sum.width()).
template <typename T>
double expectation(std::span<const core::Complex<T>> state, const PauliSum& sum);

// The values of several sums on one state, one per sum in order, each the same bits as
// expectation(state, sum); strings that several sums share are evaluated once.
template <typename T>
std::vector<double> expectations(std::span<const core::Complex<T>> state,
                                 std::span<const PauliSum> sums);

// For a state split into 2^(n - L) slices of 2^L amplitudes, slice r holding the indices
// [r 2^L, (r + 1) 2^L): what each slice contributes (SliceSums), and the sums' values from all
// contributions. A single process is the case L = n.
class ExpectationPlan {
 public:
  // Aborts when a term acts on a qubit at or above n_qubits, or slice_qubits > n_qubits.
  ExpectationPlan(std::span<const PauliSum> sums, std::uint64_t n_qubits,
                  std::uint64_t slice_qubits);

  std::uint64_t n_qubits() const { return n_qubits_; }
  std::uint64_t slice_qubits() const { return slice_qubits_; }
  // The number of doubles of one slice's contribution.
  std::size_t partial_count() const { return partial_masks_.size(); }

  // The sums' values from the contributions of all slices, slice 0 first, partial_count() each.
  std::vector<double> combine(std::span<const double> partials) const;

  // The strings of one flip mask: their distinct z masks, and the trees over a slice.
  struct Group {
    std::uint64_t x_mask;
    std::vector<std::uint64_t> z_masks;
    core::SignedTrees trees;
    std::size_t first_partial;  // the contribution's entry of z_masks[0]
  };
  const std::vector<Group>& groups() const { return groups_; }

 private:
  struct Use {
    double coefficient;
    std::size_t partial;
    bool negate;  // y mod 4 is 2 or 3
  };
  std::uint64_t n_qubits_;
  std::uint64_t slice_qubits_;
  std::vector<Group> groups_;
  std::vector<std::uint64_t> partial_masks_;  // the z mask of each entry
  std::vector<std::vector<Use>> sums_;
};

// One slice's contribution. Groups whose flips stay inside the slice need only the slice
// (add_local); the others need a partner slice, slice r ^ (x >> L), which the caller hands over
// in chunks of 2^chunk_qubits amplitudes, one remote pass per pair (x >> L, chunk flip).
class SliceSums {
 public:
  // chunk_qubits: from min(14, L) to L. The plan must outlive the sums.
  SliceSums(const ExpectationPlan& plan, std::uint64_t chunk_qubits);

  // Partner slice r ^ slice_flip; for the own chunk c, its chunk c ^ chunk_flip.
  struct RemotePass {
    std::uint64_t slice_flip;
    std::uint64_t chunk_flip;
  };
  const std::vector<RemotePass>& remote_passes() const { return passes_; }

  // Reads the slice (2^L amplitudes) for every group whose flips stay inside it.
  template <typename T>
  void add_local(std::span<const core::Complex<T>> slice);

  // Reads own chunk `chunk` of the slice and the partner's chunk chunk ^ chunk_flip (2^chunk_qubits
  // amplitudes each) for the groups of remote pass `pass`.
  template <typename T>
  void add_remote(std::size_t pass, std::uint64_t chunk, std::span<const core::Complex<T>> own,
                  std::span<const core::Complex<T>> partner);

  // The contribution (partial_count() doubles); aborts unless every chunk of every pass and the
  // local groups have been added.
  std::vector<double> partials() const;

 private:
  const ExpectationPlan& plan_;
  unsigned unit_qubits_;
  unsigned chunk_qubits_;
  std::vector<RemotePass> passes_;
  std::vector<std::vector<std::size_t>> pass_groups_;  // the groups of each pass
  std::vector<std::size_t> local_groups_;
  std::vector<BlockShape> shapes_;  // per group
  // Per group: classes(unit level) rows of one node per unit, and the units written so far.
  std::vector<std::vector<double>> unit_nodes_;
  std::vector<std::uint64_t> units_done_;
};

}  // namespace vorn::sim
