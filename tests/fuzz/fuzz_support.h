// What the fuzz targets share: small circuits and dynamic programs decoded from the fuzzer's
// bytes (every decoded value is valid, so that each input reaches the code under test), bit
// comparisons, and the fault exit.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <span>
#include <variant>
#include <vector>

#include "core/complex.h"
#include "core/gates.h"
#include "simulator/circuit.h"
#include "simulator/program.h"

namespace vorn::fuzz {

// A property does not hold: the fuzzer reports the input that got here.
[[noreturn]] inline void fail() { __builtin_trap(); }

// Fails, naming the line of the property, when it does not hold.
inline void require(bool condition, const char* file = __builtin_FILE(),
                    unsigned line = __builtin_LINE()) {
  if (!condition) {
    std::fprintf(stderr, "property failed at %s:%u\n", file, line);
    fail();
  }
}

inline bool same_double(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

template <typename T>
bool same_bits(std::span<const core::Complex<T>> a, std::span<const core::Complex<T>> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}

// An angle: mostly the values a pass treats specially (0, multiples of pi/2, 2 pi, values
// near the trivial-angle threshold), else a double from the bytes. With `bounded`, the result
// lies in [-4 pi, 4 pi] (fused rotations then stay comparable within a tolerance); otherwise it
// is any finite double.
inline double decode_angle(FuzzedDataProvider& in, bool bounded) {
  constexpr double PI = std::numbers::pi;
  static constexpr std::array<double, 14> SPECIAL = {0.0,    -0.0,   PI / 2,  -PI / 2, PI,
                                                     -PI,    2 * PI, -2 * PI, 4 * PI,  1e-13,
                                                     -1e-13, 1e-12,  0.5,     1.25};
  const std::uint8_t choice = in.ConsumeIntegral<std::uint8_t>();
  if (choice < 96) {
    return SPECIAL[choice % SPECIAL.size()];
  }
  if (bounded) {
    return in.ConsumeFloatingPointInRange<double>(-4 * PI, 4 * PI);
  }
  double x = in.ConsumeFloatingPoint<double>();
  if (!std::isfinite(x)) {
    x = 3.0;
  }
  return x;
}

// One gate on n_qubits qubits (n_qubits >= kinds' arity is ensured by falling back to one
// qubit when there are too few), with distinct operands.
inline sim::GateOp decode_gate(FuzzedDataProvider& in, std::uint64_t n_qubits, bool bounded) {
  auto kind = static_cast<core::GateKind>(
      in.ConsumeIntegralInRange<std::uint8_t>(0, core::GATE_KIND_COUNT - 1));
  if (core::arity(kind) > n_qubits) {
    kind = core::GateKind::H;
  }
  sim::GateOp op;
  op.gate.kind = kind;
  switch (kind) {
    case core::GateKind::Rx:
    case core::GateKind::Ry:
    case core::GateKind::Rz:
      op.gate.theta = decode_angle(in, bounded);
      break;
    case core::GateKind::U3:
      op.gate.theta = decode_angle(in, bounded);
      op.gate.phi = decode_angle(in, bounded);
      op.gate.lambda = decode_angle(in, bounded);
      break;
    default:
      break;
  }
  const unsigned arity = op.arity();
  for (unsigned k = 0; k < arity; ++k) {
    std::uint64_t q = in.ConsumeIntegralInRange<std::uint64_t>(0, n_qubits - 1);
    // The next free qubit upwards: operands stay distinct.
    for (unsigned j = 0; j < k; ++j) {
      for (unsigned i = 0; i < k; ++i) {
        if (op.qubits[i] == q) {
          q = (q + 1) % n_qubits;
        }
      }
    }
    op.qubits[k] = q;
  }
  return op;
}

// A gate of the controlled kernel on n_qubits qubits: a single-qubit kind (a U3 with a phase
// now and then), up to n_qubits - 1 distinct controls, each wanting 1 or 0.
inline sim::ControlledGate decode_controlled(FuzzedDataProvider& in, std::uint64_t n_qubits,
                                             bool bounded) {
  sim::ControlledGate g;
  g.gate.kind = static_cast<core::GateKind>(
      in.ConsumeIntegralInRange<std::uint8_t>(0, static_cast<std::uint8_t>(core::GateKind::Id)));
  g.gate.theta = decode_angle(in, bounded);
  g.gate.phi = decode_angle(in, bounded);
  g.gate.lambda = decode_angle(in, bounded);
  if (g.gate.kind == core::GateKind::U3 && in.ConsumeBool()) {
    g.phase = decode_angle(in, bounded);
  }
  // The operands: a random order of the qubits, the last of them the target.
  std::vector<std::uint64_t> order(n_qubits);
  for (std::uint64_t q = 0; q < n_qubits; ++q) {
    order[q] = q;
  }
  for (std::uint64_t q = n_qubits; q > 1; --q) {
    std::swap(order[q - 1], order[in.ConsumeIntegralInRange<std::uint64_t>(0, q - 1)]);
  }
  const auto controls = in.ConsumeIntegralInRange<std::uint64_t>(0, n_qubits - 1);
  g.target = order[controls];
  for (std::uint64_t k = 0; k < controls; ++k) {
    g.controls.push_back(order[k]);
    g.values.push_back(in.ConsumeBool() ? 1 : 0);
  }
  return g;
}

// The circuit on standard error, angles in hexadecimal: what a failing input decoded to.
inline void dump(const sim::Circuit& circuit) {
  std::fprintf(stderr, "circuit of %llu qubits, phase %a\n",
               static_cast<unsigned long long>(circuit.n_qubits()), circuit.global_phase());
  for (const sim::Operation& op : circuit.ops()) {
    if (const auto* gate = std::get_if<sim::GateOp>(&op)) {
      std::fprintf(stderr, "  kind %u (%a, %a, %a) on %llu %llu %llu\n",
                   static_cast<unsigned>(gate->kind()), gate->gate.theta, gate->gate.phi,
                   gate->gate.lambda, static_cast<unsigned long long>(gate->qubits[0]),
                   static_cast<unsigned long long>(gate->qubits[1]),
                   static_cast<unsigned long long>(gate->qubits[2]));
    } else if (const auto* m = std::get_if<sim::Measure>(&op)) {
      std::fprintf(stderr, "  measure %llu -> %llu\n", static_cast<unsigned long long>(m->qubit),
                   static_cast<unsigned long long>(m->cbit));
    } else {
      std::fprintf(stderr, "  measure all\n");
    }
  }
}

inline void append(sim::Circuit& circuit, const sim::GateOp& op) {
  switch (op.arity()) {
    case 1:
      circuit.append_gate(op.gate, {op.qubits[0]});
      break;
    case 2:
      circuit.append_gate(op.gate, {op.qubits[0], op.qubits[1]});
      break;
    default:
      circuit.append_gate(op.gate, {op.qubits[0], op.qubits[1], op.qubits[2]});
      break;
  }
}

// A circuit of 1 to max_qubits qubits and at most max_ops operations; with `measures`, some of
// them measurements.
inline sim::Circuit decode_circuit(FuzzedDataProvider& in, std::uint64_t max_qubits,
                                   std::size_t max_ops, bool bounded, bool measures) {
  const auto n = in.ConsumeIntegralInRange<std::uint64_t>(1, max_qubits);
  sim::Circuit circuit(n);
  const auto count = in.ConsumeIntegralInRange<std::size_t>(0, max_ops);
  for (std::size_t k = 0; k < count && in.remaining_bytes() > 0; ++k) {
    if (measures && in.ConsumeIntegral<std::uint8_t>() < 16) {
      circuit.measure(in.ConsumeIntegralInRange<std::uint64_t>(0, n - 1),
                      in.ConsumeIntegralInRange<std::uint64_t>(0, n - 1));
      continue;
    }
    append(circuit, decode_gate(in, n, bounded));
  }
  if (in.ConsumeBool()) {
    circuit.add_global_phase(decode_angle(in, bounded));
  }
  return circuit;
}

// A valid dynamic program (sim::validate_program accepts it): 1 to max_qubits qubits, one to
// three bit registers, gates, measurements, resets, bit assignments, and `if` blocks (with
// else branches) and `while` loops, nested, on conditions of every kind.
inline sim::Program decode_program(FuzzedDataProvider& in, std::uint64_t max_qubits,
                                   std::size_t max_instructions) {
  sim::Program p;
  p.n_qubits = in.ConsumeIntegralInRange<std::uint64_t>(1, max_qubits);
  const unsigned registers = in.ConsumeIntegralInRange<unsigned>(1, 3);
  for (unsigned r = 0; r < registers; ++r) {
    const auto size = in.ConsumeIntegralInRange<std::uint64_t>(1, 4);
    p.registers.push_back({std::string(1, static_cast<char>('a' + r)), p.n_bits, size});
    p.n_bits += size;
  }
  if (in.ConsumeIntegral<std::uint8_t>() < 32) {
    p.initial_bits.resize(p.n_bits);
    for (std::uint8_t& bit : p.initial_bits) {
      bit = in.ConsumeBool() ? 1 : 0;
    }
  }
  const auto condition = [&]() -> std::uint32_t {
    // A small tree: leaves of bits, comparisons and constants, joined by ! && ||.
    const unsigned nodes = in.ConsumeIntegralInRange<unsigned>(1, 4);
    for (unsigned k = 0; k < nodes; ++k) {
      sim::ConditionNode node;
      const auto root = static_cast<std::uint32_t>(p.conditions.size());
      const std::uint8_t kind = in.ConsumeIntegralInRange<std::uint8_t>(0, k == 0 ? 2 : 5);
      if (kind == 0) {
        node.kind = sim::ConditionKind::Bit;
        node.bit = in.ConsumeIntegralInRange<std::uint64_t>(0, p.n_bits - 1);
      } else if (kind == 1) {
        const sim::BitRegister& reg =
            p.registers[in.ConsumeIntegralInRange<std::size_t>(0, p.registers.size() - 1)];
        node.kind = sim::ConditionKind::Compare;
        node.compare = static_cast<sim::CompareOp>(in.ConsumeIntegralInRange<unsigned>(0, 5));
        node.offset = reg.offset;
        node.size = reg.size;
        node.value = in.ConsumeIntegralInRange<std::int64_t>(-1, 16);
      } else if (kind == 2) {
        node.kind = sim::ConditionKind::Const;
        node.value = in.ConsumeBool() ? 1 : 0;
      } else if (kind == 3) {
        node.kind = sim::ConditionKind::Not;
        node.left = root - 1;
      } else {
        node.kind = kind == 4 ? sim::ConditionKind::And : sim::ConditionKind::Or;
        node.left = root - 1;
        node.right = in.ConsumeIntegralInRange<std::uint32_t>(0, root - 1);
      }
      p.conditions.push_back(node);
    }
    return static_cast<std::uint32_t>(p.conditions.size() - 1);
  };
  // Open blocks: the index of their JumpUnless (or Jump) and the instructions they still take.
  struct Open {
    std::size_t at;
    std::size_t left;
    bool has_else;
    bool loop = false;
  };
  std::vector<Open> open;
  const auto close_finished = [&]() {
    while (!open.empty() && open.back().left == 0) {
      const Open block = open.back();
      open.pop_back();
      const std::size_t end = p.instructions.size();
      if (auto* test = std::get_if<sim::JumpUnless>(&p.instructions[block.at])) {
        if (block.loop) {
          // while (...) { body }: the jump back to the test, which leaves past it.
          test->target = end + 1;
          p.instructions.push_back(sim::Jump{block.at});
          continue;
        }
        if (block.has_else) {
          // if (...) { body } else { else-body }: the test jumps past the Jump that ends the
          // then-body; the Jump's own block follows.
          test->target = end + 1;
          p.instructions.push_back(sim::Jump{0});
          open.push_back({end, in.ConsumeIntegralInRange<std::size_t>(1, 3), false});
          continue;
        }
        test->target = end;
      } else {
        std::get<sim::Jump>(p.instructions[block.at]).target = end;
      }
    }
  };
  const auto count = in.ConsumeIntegralInRange<std::size_t>(1, max_instructions);
  for (std::size_t k = 0; k < count && in.remaining_bytes() > 0; ++k) {
    const std::uint8_t what = in.ConsumeIntegral<std::uint8_t>();
    if (what < 40) {
      p.instructions.push_back(
          sim::Measure{in.ConsumeIntegralInRange<std::uint64_t>(0, p.n_qubits - 1),
                       in.ConsumeIntegralInRange<std::uint64_t>(0, p.n_bits - 1)});
    } else if (what < 56) {
      p.instructions.push_back(
          sim::Reset{in.ConsumeIntegralInRange<std::uint64_t>(0, p.n_qubits - 1)});
    } else if (what < 80 && open.size() < 4) {
      const std::uint32_t root = condition();
      const bool loop = in.ConsumeIntegral<std::uint8_t>() < 64;
      open.push_back({p.instructions.size(), 0, !loop && in.ConsumeBool(), loop});
      p.instructions.push_back(sim::JumpUnless{root, 0});
      open.back().left = in.ConsumeIntegralInRange<std::size_t>(1, 4);
      continue;
    } else if (what < 88) {
      const auto bit = in.ConsumeIntegralInRange<std::uint64_t>(0, p.n_bits - 1);
      p.instructions.push_back(sim::SetBit{bit, condition()});
    } else if (what < 100) {
      p.instructions.push_back(decode_controlled(in, p.n_qubits, false));
    } else {
      p.instructions.push_back(decode_gate(in, p.n_qubits, false));
    }
    for (Open& block : open) {
      block.left -= block.left > 0 ? 1 : 0;
    }
    close_finished();
  }
  // Whatever is still open ends here (an else branch then stays empty).
  while (!open.empty()) {
    for (Open& block : open) {
      block.left = 0;
      block.has_else = false;
    }
    close_finished();
  }
  if (in.ConsumeBool()) {
    p.global_phase = decode_angle(in, false);
  }
  return p;
}

}  // namespace vorn::fuzz
