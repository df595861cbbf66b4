// The kernels of fused gates: a dense matrix on up to five target qubits (optionally applied
// only where some control qubits are 1), and a diagonal on up to eight qubits. They compute with
// fused multiply-adds in one fixed order per amplitude: an output amplitude of a dense gate is
// the sum over the matrix's columns in increasing order (or the gate's own order), each term added
// by four fused multiply-adds (re += m.re*x.re; im += m.re*x.im; re += m.im*(-x.im); im +=
// m.im*x.re, from zero); a diagonal entry d multiplies by (re, im) <- (fma(d.im, -x.im, d.re*x.re),
// fma(d.im, x.re, d.re*x.im)). Every implementation (scalar, AVX2, AVX-512) and every way of
// cutting the state into work units performs exactly these operations, so the results are the
// same bits for any instruction set, thread count and block size.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/complex.h"

namespace vorn::core::kernels {

inline constexpr unsigned MAX_FUSED_TARGETS = 5;
inline constexpr unsigned MAX_DIAGONAL_QUBITS = 8;

// A fused gate in the precision of a run. targets are distinct and in increasing order; bit j of
// an entry's index is the value of targets[j]. Dense: entries is the 2^t x 2^t matrix, row-major,
// and the gate acts where every qubit of the controls mask is 1 (controls and targets disjoint).
// Diagonal: entries holds the 2^t diagonal values and controls is 0.
// order (dense only; empty: increasing) is the order in which each output's sum takes the
// columns: a gate whose targets were renamed (a distributed run moves qubits between positions)
// keeps the sums of its original numbering, and so its bits.
template <typename T>
struct FusedGate {
  bool diagonal = false;
  std::vector<unsigned> targets;
  std::uint64_t controls = 0;
  std::vector<Complex<T>> entries;
  std::vector<unsigned> order;
};

// What one implementation precomputes for a gate on a state of a given number of qubits (the
// per-lane coefficients of the qubits that lie inside a vector register), with the function
// that applies it.
template <typename T>
struct PreparedGate {
  virtual ~PreparedGate() = default;
  // The work units: independent parts of the state, any split of which gives the same bits.
  std::uint64_t units = 0;
  // Applies the gate to the units [first, last) of the state v, on the calling thread.
  void (*apply_units)(Complex<T>* v, const PreparedGate& prepared, std::uint64_t first,
                      std::uint64_t last) = nullptr;

  void apply(Complex<T>* v, std::uint64_t first, std::uint64_t last) const {
    apply_units(v, *this, first, last);
  }
};

template <typename T>
struct FusedKernels {
  const char* name;
  // Precondition: every target and control below n_qubits, at most MAX_FUSED_TARGETS targets
  // (MAX_DIAGONAL_QUBITS for a diagonal).
  std::unique_ptr<PreparedGate<T>> (*prepare)(const FusedGate<T>& gate, unsigned n_qubits);
};

// The implementation of this name ("avx512", "avx2", "reference"/"scalar"), or the scalar one
// when this CPU cannot run it. The names follow the kernel tables of core/kernels/dispatch.h.
template <typename T>
const FusedKernels<T>& fused_kernels(std::string_view name);

// The scalar implementation: the definition.
template <typename T>
const FusedKernels<T>& fused_reference_kernels();

// Applies the gate to all of v (2^n amplitudes) with `kernels`, on the calling thread.
template <typename T>
void apply_fused_gate(const FusedKernels<T>& kernels, std::span<Complex<T>> v,
                      const FusedGate<T>& gate);

}  // namespace vorn::core::kernels
