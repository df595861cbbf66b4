// libFuzzer target of the peephole pass: a random circuit of up to 6 qubits and 48 operations
// (angles in [-4 pi, 4 pi], many of them the values the pass treats specially) is transpiled;
// the transpiled circuit's state equals the original's within 1e-10 per amplitude (or its
// negation: dropped full turns may flip the sign of the whole state), its global
// phase and sizes are unchanged, it has no more operations, and the pass changes nothing when
// run again on its own output.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <variant>

#include "fuzz_support.h"
#include "simulator/engine.h"
#include "simulator/transpile.h"

namespace {

namespace sim = vorn::sim;
using vorn::fuzz::require;

constexpr double STATE_TOL = 1e-10;
// Far more passes than any input needs: each pass that changes something removes an operation.
constexpr std::uint64_t MAX_ITERS = 1 << 20;

vorn::core::StateVector<double> state_of(const sim::Circuit& c) {
  sim::SimulationResult result = sim::run(c, 0, 1, vorn::core::Precision::F64);
  return std::move(std::get<sim::RunResult<double>>(result).statevector);
}

// Every amplitude of b within STATE_TOL of sign times a's.
bool close_up_to(const vorn::core::StateVector<double>& a, const vorn::core::StateVector<double>& b,
                 double sign) {
  for (std::uint64_t i = 0; i < a.len(); ++i) {
    const auto x = a.amplitudes()[i];
    const auto y = b.amplitudes()[i];
    if (!(std::hypot(sign * x.re - y.re, sign * x.im - y.im) <= STATE_TOL)) {
      return false;
    }
  }
  return true;
}

bool same_ops(const sim::Circuit& a, const sim::Circuit& b) {
  if (a.ops().size() != b.ops().size()) {
    return false;
  }
  for (std::size_t k = 0; k < a.ops().size(); ++k) {
    const sim::Operation& x = a.ops()[k];
    const sim::Operation& y = b.ops()[k];
    if (x.index() != y.index()) {
      return false;
    }
    if (const auto* g = std::get_if<sim::GateOp>(&x)) {
      const auto& h = std::get<sim::GateOp>(y);
      if (g->kind() != h.kind() || g->qubits != h.qubits ||
          !vorn::fuzz::same_double(g->gate.theta, h.gate.theta) ||
          !vorn::fuzz::same_double(g->gate.phi, h.gate.phi) ||
          !vorn::fuzz::same_double(g->gate.lambda, h.gate.lambda)) {
        return false;
      }
    } else if (const auto* m = std::get_if<sim::Measure>(&x)) {
      const auto& n = std::get<sim::Measure>(y);
      if (m->qubit != n.qubit || m->cbit != n.cbit) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const sim::Circuit original = vorn::fuzz::decode_circuit(in, 6, 48, true, true);

  sim::Circuit once = original;
  sim::transpile_pass(once, MAX_ITERS);
  require(once.n_qubits() == original.n_qubits() && once.n_cbits() == original.n_cbits());
  require(vorn::fuzz::same_double(once.global_phase(), original.global_phase()));
  require(once.ops().size() <= original.ops().size());

  // A dropped full turn (a rotation by 2 pi is -I) may flip the sign of the whole state, as the
  // pass documents.
  const auto before = state_of(original);
  const auto after = state_of(once);
  if (!close_up_to(before, after, 1.0) && !close_up_to(before, after, -1.0)) {
    vorn::fuzz::dump(original);
    vorn::fuzz::dump(once);
    vorn::fuzz::fail();
  }

  sim::Circuit twice = once;
  sim::transpile_pass(twice, MAX_ITERS);
  require(same_ops(once, twice));
  return 0;
}
