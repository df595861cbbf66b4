// Random circuits for the C++ suites: one generator, shaped by a description of what to draw
// (which operations, how often, on which qubits, with which angles).
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "core/gates.h"
#include "simulator/circuit.h"

namespace vorn::sim::test {

// What one draw may append: a gate kind (tags 0 to 17), or one of these.
enum class Draw : std::uint8_t { Gate, Measure, MeasureAll, GlobalPhase };

struct Choice {
  Draw draw = Draw::Gate;
  GateKind kind = GateKind::H;
};

inline std::vector<Choice> every_gate_kind() {
  std::vector<Choice> kinds;
  for (unsigned tag = 0; tag <= static_cast<unsigned>(GateKind::CSWAP); ++tag) {
    kinds.push_back({Draw::Gate, static_cast<GateKind>(tag)});
  }
  return kinds;
}

struct RandomCircuitSpec {
  std::uint64_t qubits = 1;
  std::size_t operations = 0;
  // Each operation is drawn uniformly from this list; list a choice twice to draw it twice as
  // often.
  std::vector<Choice> choices = every_gate_kind();
  // The qubits the first operand is drawn from (empty: every qubit); further operands may be
  // any qubit.
  std::vector<std::uint64_t> first_operands;
  // Whether the operands of one gate may coincide (about one gate in eight then does).
  bool coinciding = false;
  // Angles of rotations, U3 and global phases; uniform in [-5, 5) when empty.
  std::function<double(std::mt19937_64&)> angle;
};

inline Circuit random_circuit(std::mt19937_64& rng, const RandomCircuitSpec& spec) {
  const std::uint64_t n = spec.qubits;
  std::uniform_real_distribution<double> uniform(-5.0, 5.0);
  const auto angle = [&] { return spec.angle ? spec.angle(rng) : uniform(rng); };
  Circuit c(n);
  for (std::size_t k = 0; k < spec.operations; ++k) {
    const Choice choice = spec.choices[rng() % spec.choices.size()];
    std::uint64_t q[3];
    q[0] = spec.first_operands.empty() ? rng() % n
                                       : spec.first_operands[rng() % spec.first_operands.size()];
    if (spec.coinciding && rng() % 8 == 0) {
      q[1] = rng() % n;
      q[2] = rng() % n;
    } else if (n >= 3) {
      q[1] = (q[0] + 1 + rng() % (n - 1)) % n;
      do {
        q[2] = rng() % n;
      } while (q[2] == q[0] || q[2] == q[1]);
    } else {
      q[1] = (q[0] + 1) % n;
      q[2] = q[0];
    }
    switch (choice.draw) {
      case Draw::Measure:
        c.measure(q[0], rng() % n);
        continue;
      case Draw::MeasureAll:
        c.measure_all();
        continue;
      case Draw::GlobalPhase:
        c.add_global_phase(angle());
        continue;
      case Draw::Gate:
        break;
    }
    const GateKind kind = choice.kind;
    const unsigned arity = core::arity(kind);
    if (arity > n) {
      continue;
    }
    switch (kind) {
      case GateKind::Rx:
      case GateKind::Ry:
      case GateKind::Rz:
        c.append_gate(Gate{kind, angle()}, {q[0]});
        break;
      case GateKind::U3: {
        const double theta = angle();
        const double phi = angle();
        c.append_gate(Gate{kind, theta, phi, angle()}, {q[0]});
        break;
      }
      default:
        if (arity == 1) {
          c.append_gate(Gate{kind}, {q[0]});
        } else if (arity == 2) {
          c.append_gate(Gate{kind}, {q[0], q[1]});
        } else {
          c.append_gate(Gate{kind}, {q[0], q[1], q[2]});
        }
        break;
    }
  }
  return c;
}

}  // namespace vorn::sim::test
