// A small dense reference simulator for the transform tests: applies a circuit's operations to
// a state of a few qubits straight from the gate matrices, then the global phase.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <variant>
#include <vector>

#include "core/gates.h"
#include "simulator/circuit.h"
#include "simulator/engine.h"

namespace vorn::sim::testing {

using Amplitudes = std::vector<std::complex<double>>;

inline std::complex<double> to_std(core::Complex<double> c) { return {c.re, c.im}; }

inline Amplitudes zero_state(std::uint64_t n_qubits) {
  Amplitudes state(std::size_t{1} << n_qubits);
  state[0] = 1.0;
  return state;
}

// m = {m00, m01, m10, m11} on the amplitude pairs that differ in bit q.
inline void apply_matrix(Amplitudes& state, const std::complex<double> (&m)[4], std::uint64_t q) {
  const std::size_t bit = std::size_t{1} << q;
  for (std::size_t i = 0; i < state.size(); ++i) {
    if ((i & bit) == 0) {
      const std::complex<double> a0 = state[i];
      const std::complex<double> a1 = state[i | bit];
      state[i] = m[0] * a0 + m[1] * a1;
      state[i | bit] = m[2] * a0 + m[3] * a1;
    }
  }
}

inline bool has_bit(std::size_t i, std::uint64_t q) { return ((i >> q) & 1) != 0; }

inline std::size_t flip(std::size_t i, std::uint64_t q) { return i ^ (std::size_t{1} << q); }

// Swaps the amplitudes of qubits a and b on the indices where `when` holds.
template <typename Pred>
void swap_bits(Amplitudes& state, std::uint64_t a, std::uint64_t b, Pred when) {
  if (a == b) {
    return;
  }
  for (std::size_t i = 0; i < state.size(); ++i) {
    if (has_bit(i, a) && !has_bit(i, b) && when(i)) {
      std::swap(state[i], state[flip(flip(i, a), b)]);
    }
  }
}

inline void apply_op(Amplitudes& state, const GateOp& op) {
  const auto& q = op.qubits;
  switch (op.kind()) {
    case GateKind::CX:
      for (std::size_t i = 0; i < state.size(); ++i) {
        if (has_bit(i, q[0]) && !has_bit(i, q[1]) && q[0] != q[1]) {
          std::swap(state[i], state[flip(i, q[1])]);
        }
      }
      return;
    case GateKind::CZ:
      for (std::size_t i = 0; i < state.size(); ++i) {
        if (has_bit(i, q[0]) && has_bit(i, q[1])) {
          state[i] = -state[i];
        }
      }
      return;
    case GateKind::SWAP:
      swap_bits(state, q[0], q[1], [](std::size_t) { return true; });
      return;
    case GateKind::CCX:
      for (std::size_t i = 0; i < state.size(); ++i) {
        if (has_bit(i, q[0]) && has_bit(i, q[1]) && !has_bit(i, q[2]) && q[2] != q[0] &&
            q[2] != q[1]) {
          std::swap(state[i], state[flip(i, q[2])]);
        }
      }
      return;
    case GateKind::CSWAP:
      if (q[0] != q[1] && q[0] != q[2]) {
        swap_bits(state, q[1], q[2], [&](std::size_t i) { return has_bit(i, q[0]); });
      }
      return;
    default: {
      const core::Matrix2<double> g = core::matrix_2x2<double>(op.gate);
      const std::complex<double> m[4] = {to_std(g[0]), to_std(g[1]), to_std(g[2]), to_std(g[3])};
      apply_matrix(state, m, q[0]);
      return;
    }
  }
}

// Runs the circuit from |0...0> (measurements change nothing) and applies the global phase.
inline Amplitudes simulate(const Circuit& circuit, Amplitudes state) {
  for (const Operation& op : circuit.ops()) {
    if (const auto* gate = std::get_if<GateOp>(&op)) {
      apply_op(state, *gate);
    }
  }
  const std::complex<double> phase = std::polar(1.0, circuit.global_phase());
  if (circuit.global_phase() != 0.0) {
    for (auto& a : state) {
      a *= phase;
    }
  }
  return state;
}

inline Amplitudes simulate(const Circuit& circuit) {
  return simulate(circuit, zero_state(circuit.n_qubits()));
}

// The engine's final state of a double-precision run without shots.
inline Amplitudes engine_state(const Circuit& circuit) {
  SimulationResult result = run(circuit, 0, std::uint64_t{1}, core::Precision::F64);
  const auto& amplitudes = std::get<RunResult<double>>(result).statevector.amplitudes();
  Amplitudes state;
  state.reserve(amplitudes.size());
  for (const core::Complex<double>& a : amplitudes) {
    state.push_back(to_std(a));
  }
  return state;
}

}  // namespace vorn::sim::testing
