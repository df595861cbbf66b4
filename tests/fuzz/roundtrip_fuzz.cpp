// libFuzzer target of the writer: every text that reads (in the specified and in the dynamic
// mode) is written as OpenQASM 2.0 and 3.0, and each text reads back to the same operations,
// angles bit for bit, and the same global phase. The documented losses are allowed: a 2.0 text
// keeps the global phase in a comment only; the 2.0 writer refuses what 2.0 cannot say; angles
// (and phases) that are NaN, infinite or whole numbers of 2^63 and more are written but do not
// read back; a zero phase of either sign is written as none.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_support.h"
#include "qasm/exporter.h"
#include "qasm/lowering.h"
#include "qasm/program_reader.h"

namespace {

using vorn::fuzz::require;
using vorn::fuzz::same_double;
using vorn::qasm::QasmVersion;
using vorn::qasm::ReadLimits;
namespace sim = vorn::sim;

constexpr ReadLimits FUZZ_LIMITS{std::uint64_t{1} << 16, std::uint64_t{1} << 20,
                                 std::uint64_t{1} << 16};

// A value the writer writes but the reader cannot read back.
// No file is read from disk: an include of anything but the built-in files fails.
vorn::qasm::ProgramSource no_files() {
  vorn::qasm::ProgramSource source;
  source.limits = FUZZ_LIMITS;
  source.read_file = [](const std::string&) -> std::optional<std::string> { return std::nullopt; };
  return source;
}

bool unreadable(double x) {
  return !std::isfinite(x) || (x == std::trunc(x) && std::fabs(x) >= 0x1p63);
}

bool unreadable_gate(const sim::GateOp& op) {
  return unreadable(op.gate.theta) || unreadable(op.gate.phi) || unreadable(op.gate.lambda);
}

bool same_gate(const sim::GateOp& a, const sim::GateOp& b) {
  return a.kind() == b.kind() && a.qubits == b.qubits && same_double(a.gate.theta, b.gate.theta) &&
         same_double(a.gate.phi, b.gate.phi) && same_double(a.gate.lambda, b.gate.lambda);
}

// The phase a text of `version` gives back for `phase`.
bool same_phase(double original, double read, QasmVersion version) {
  if (version == QasmVersion::V2 || original == 0.0) {
    return read == 0.0 && !std::signbit(read);
  }
  return same_double(original, read);
}

// The circuit's operations with every MeasureAll written out, as the writer writes them.
std::vector<sim::Operation> flat_ops(const sim::Circuit& c) {
  std::vector<sim::Operation> out;
  for (const sim::Operation& op : c.ops()) {
    if (std::holds_alternative<sim::MeasureAll>(op)) {
      for (std::uint64_t q = 0; q < c.n_qubits(); ++q) {
        out.emplace_back(sim::Measure{q, q});
      }
    } else {
      out.push_back(op);
    }
  }
  return out;
}

void circuit_round_trip(const sim::Circuit& c, QasmVersion version) {
  bool lossy =
      version == QasmVersion::V3 && c.global_phase() != 0.0 && unreadable(c.global_phase());
  for (const sim::Operation& op : c.ops()) {
    if (const auto* gate = std::get_if<sim::GateOp>(&op)) {
      lossy = lossy || unreadable_gate(*gate);
    }
  }
  const std::string text = vorn::qasm::export_qasm(c, version);
  vorn::qasm::Result<sim::Circuit> again = vorn::qasm::parse_qasm(text, FUZZ_LIMITS);
  if (!again.ok()) {
    require(lossy);
    return;
  }
  const sim::Circuit& d = again.value();
  require(d.n_qubits() == c.n_qubits() && d.n_cbits() == c.n_cbits());
  require(same_phase(c.global_phase(), d.global_phase(), version));
  const std::vector<sim::Operation> expected = flat_ops(c);
  const std::vector<sim::Operation> got = flat_ops(d);
  require(expected.size() == got.size());
  for (std::size_t k = 0; k < got.size(); ++k) {
    require(expected[k].index() == got[k].index());
    if (const auto* gate = std::get_if<sim::GateOp>(&expected[k])) {
      require(same_gate(*gate, std::get<sim::GateOp>(got[k])));
    } else {
      const auto& m = std::get<sim::Measure>(expected[k]);
      const auto& n = std::get<sim::Measure>(got[k]);
      require(m.qubit == n.qubit && m.cbit == n.cbit);
    }
  }
}

bool unreadable_controlled(const sim::ControlledGate& g) {
  return unreadable(g.gate.theta) || unreadable(g.gate.phi) || unreadable(g.gate.lambda) ||
         unreadable(g.phase);
}

bool same_instruction(const sim::Instruction& a, const sim::Instruction& b) {
  if (a.index() != b.index()) {
    return false;
  }
  if (const auto* g = std::get_if<sim::ControlledGate>(&a)) {
    const auto& h = std::get<sim::ControlledGate>(b);
    return g->gate.kind == h.gate.kind && same_double(g->gate.theta, h.gate.theta) &&
           same_double(g->gate.phi, h.gate.phi) && same_double(g->gate.lambda, h.gate.lambda) &&
           same_double(g->phase, h.phase) && g->target == h.target && g->controls == h.controls &&
           g->values == h.values;
  }
  if (const auto* set = std::get_if<sim::SetBit>(&a)) {
    const auto& other = std::get<sim::SetBit>(b);
    return set->bit == other.bit && set->condition == other.condition;
  }
  if (const auto* gate = std::get_if<sim::GateOp>(&a)) {
    return same_gate(*gate, std::get<sim::GateOp>(b));
  }
  if (const auto* m = std::get_if<sim::Measure>(&a)) {
    const auto& n = std::get<sim::Measure>(b);
    return m->qubit == n.qubit && m->cbit == n.cbit;
  }
  if (const auto* r = std::get_if<sim::Reset>(&a)) {
    return r->qubit == std::get<sim::Reset>(b).qubit;
  }
  if (const auto* test = std::get_if<sim::JumpUnless>(&a)) {
    const auto& other = std::get<sim::JumpUnless>(b);
    return test->condition == other.condition && test->target == other.target;
  }
  return std::get<sim::Jump>(a).target == std::get<sim::Jump>(b).target;
}

bool same_condition(const sim::ConditionNode& a, const sim::ConditionNode& b) {
  return a.kind == b.kind && a.compare == b.compare && a.bit == b.bit && a.offset == b.offset &&
         a.size == b.size && a.value == b.value && a.left == b.left && a.right == b.right;
}

// The initial bits as n_bits values (an empty list is all zeros).
std::vector<std::uint8_t> initial_bits(const sim::Program& p) {
  return p.initial_bits.empty() ? std::vector<std::uint8_t>(p.n_bits, 0) : p.initial_bits;
}

void program_round_trip(const sim::Program& p, QasmVersion version) {
  vorn::qasm::Result<std::string> text = vorn::qasm::export_program(p, version);
  if (!text.ok()) {
    // Only 2.0 has programs it cannot write, besides programs with local bits (bits in no
    // register), which neither version writes.
    std::uint64_t next = 0;
    bool covered = true;
    for (const sim::BitRegister& reg : p.registers) {
      covered = covered && reg.offset == next;
      next = reg.offset + reg.size;
    }
    require(version == QasmVersion::V2 || !covered || next != p.n_bits);
    return;
  }
  bool lossy = version == QasmVersion::V3 && p.global_phase != 0.0 && unreadable(p.global_phase);
  for (const sim::Instruction& instruction : p.instructions) {
    if (const auto* gate = std::get_if<sim::GateOp>(&instruction)) {
      lossy = lossy || unreadable_gate(*gate);
    } else if (const auto* controlled = std::get_if<sim::ControlledGate>(&instruction)) {
      lossy = lossy || unreadable_controlled(*controlled);
    }
  }
  vorn::qasm::Result<sim::Program> again = vorn::qasm::read_program(text.value(), no_files());
  if (!again.ok()) {
    require(lossy);
    return;
  }
  const sim::Program& q = again.value();
  require(q.n_qubits == p.n_qubits && q.n_bits == p.n_bits);
  require(same_phase(p.global_phase, q.global_phase, version));
  require(initial_bits(p) == initial_bits(q));
  require(p.registers.size() == q.registers.size());
  for (std::size_t k = 0; k < p.registers.size(); ++k) {
    require(p.registers[k].name == q.registers[k].name &&
            p.registers[k].offset == q.registers[k].offset &&
            p.registers[k].size == q.registers[k].size);
  }
  require(p.instructions.size() == q.instructions.size());
  for (std::size_t k = 0; k < p.instructions.size(); ++k) {
    require(same_instruction(p.instructions[k], q.instructions[k]));
  }
  require(p.conditions.size() == q.conditions.size());
  for (std::size_t k = 0; k < p.conditions.size(); ++k) {
    require(same_condition(p.conditions[k], q.conditions[k]));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vorn::qasm::Result<sim::Circuit> circuit = vorn::qasm::parse_qasm(text, FUZZ_LIMITS);
  if (circuit.ok()) {
    circuit_round_trip(circuit.value(), QasmVersion::V2);
    circuit_round_trip(circuit.value(), QasmVersion::V3);
  }
  vorn::qasm::Result<sim::Program> program = vorn::qasm::read_program(text, no_files());
  if (program.ok()) {
    program_round_trip(program.value(), QasmVersion::V2);
    program_round_trip(program.value(), QasmVersion::V3);
  }
  return 0;
}
