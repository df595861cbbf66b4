// The OpenQASM writer: a flat list of statements on the registers q and c, one line per gate,
// one line per measured qubit, and a global-phase line when the phase is not zero.
#include "qasm/exporter.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <new>
#include <set>
#include <string_view>
#include <variant>
#include <vector>

#include "qasm/format.h"
#include "qasm/lexer.h"
#include "qasm/messages.h"
#include "qasm/parser.h"

namespace vorn::qasm {
namespace {

using sim::GateOp;
using sim::Measure;
using sim::MeasureAll;

constexpr std::string_view kHeader2 = "OPENQASM 2.0;\ninclude \"qelib1.inc\";\n";
constexpr std::string_view kHeader3 = "OPENQASM 3.0;\ninclude \"stdgates.inc\";\n";

// A controlled gate with a phase, e^{i gamma} U3(theta, phi, lambda) under controls, is written as
// this gate under modifiers; reading it back multiplies U3's matrix by the same phase.
constexpr std::string_view kPhasedU3Definition =
    "gate u3_phase(theta, phi, lambda, gamma) t { U(theta, phi, lambda) t; gphase(gamma); }\n";

// Gate names in tag order; both dialects use the same names.
constexpr std::string_view kGateNames[core::GATE_KIND_COUNT] = {
    "h",  "x",  "y",  "z",  "s",  "sdg", "t",    "tdg", "rx",
    "ry", "rz", "u3", "id", "cx", "cz",  "swap", "ccx", "cswap",
};

// A typical line ("cx q[12],q[13];\n", "rz(0.7853981633974483) q[3];\n") is under 40 bytes;
// this only sizes the first allocation, appends grow the text as needed.
constexpr std::size_t kBytesPerOp = 24;

// The size of the first allocation: every MeasureAll writes n_qubits lines, so a register of
// billions of qubits asks for more text than memory holds. Such a request fails here, at once,
// with std::bad_alloc rather than after filling the memory line by line.
std::size_t initial_capacity(const sim::Circuit& circuit) {
  std::uint64_t measure_all = 0;
  for (const sim::Operation& op : circuit.ops()) {
    measure_all += std::holds_alternative<MeasureAll>(op) ? 1 : 0;
  }
  const std::size_t limit = std::string().max_size();
  std::size_t bytes = 96 + circuit.ops().size() * kBytesPerOp;
  if (measure_all != 0) {
    const std::uint64_t per_line = kBytesPerOp;
    const std::uint64_t n = circuit.n_qubits();
    if (n > limit / per_line / measure_all || bytes > limit - n * per_line * measure_all) {
      throw std::bad_alloc();
    }
    bytes += n * per_line * measure_all;
  }
  return bytes;
}

class Writer {
 public:
  Writer(std::string& out, QasmVersion version) : out_(out), version_(version) {}

  void number(std::uint64_t value) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    out_.append(buf, static_cast<std::size_t>(r.ptr - buf));
  }

  void qubit(std::uint64_t q) {
    out_ += "q[";
    number(q);
    out_ += ']';
  }

  void measure(std::uint64_t q, std::uint64_t cbit) {
    if (version_ == QasmVersion::V2) {
      out_ += "measure ";
      qubit(q);
      out_ += " -> c[";
      number(cbit);
      out_ += "];\n";
    } else {
      out_ += "c[";
      number(cbit);
      out_ += "] = measure ";
      qubit(q);
      out_ += ";\n";
    }
  }

  void gate(const GateOp& op) {
    const core::Gate& g = op.gate;
    out_ += kGateNames[static_cast<std::uint8_t>(g.kind)];
    switch (g.kind) {
      case core::GateKind::Rx:
      case core::GateKind::Ry:
      case core::GateKind::Rz:
        out_ += '(';
        append_angle(out_, g.theta);
        out_ += ')';
        break;
      case core::GateKind::U3:
        out_ += '(';
        append_angle(out_, g.theta);
        out_ += ',';
        append_angle(out_, g.phi);
        out_ += ',';
        append_angle(out_, g.lambda);
        out_ += ')';
        break;
      case core::GateKind::H:
      case core::GateKind::X:
      case core::GateKind::Y:
      case core::GateKind::Z:
      case core::GateKind::S:
      case core::GateKind::Sdg:
      case core::GateKind::T:
      case core::GateKind::Tdg:
      case core::GateKind::Id:
      case core::GateKind::CX:
      case core::GateKind::CZ:
      case core::GateKind::SWAP:
      case core::GateKind::CCX:
      case core::GateKind::CSWAP:
        break;
    }
    out_ += ' ';
    const unsigned n = op.arity();
    for (unsigned k = 0; k < n; ++k) {
      if (k != 0) {
        out_ += ',';
      }
      qubit(op.qubits[k]);
    }
    out_ += ";\n";
  }

 private:
  std::string& out_;
  QasmVersion version_;
};

// The version and include lines and the quantum register q.
void write_header(std::string& out, Writer& w, QasmVersion version, std::uint64_t n_qubits) {
  const bool v2 = version == QasmVersion::V2;
  out += v2 ? kHeader2 : kHeader3;
  out += v2 ? "qreg q[" : "qubit[";
  w.number(n_qubits);
  out += v2 ? "];\n" : "] q;\n";
}

// The global-phase line, when the phase is not zero: -0.0 compares equal to 0.0 and writes no
// line; NaN compares unequal and is written.
void write_phase(std::string& out, QasmVersion version, double phase) {
  const bool v2 = version == QasmVersion::V2;
  if (phase != 0.0) {
    out += v2 ? "// global_phase: " : "gphase(";
    append_angle(out, phase);
    out += v2 ? "\n" : ");\n";
  }
}

}  // namespace

std::string export_qasm(const sim::Circuit& circuit, QasmVersion version) {
  const bool v2 = version == QasmVersion::V2;
  std::string out;
  out.reserve(initial_capacity(circuit));
  Writer w(out, version);
  write_header(out, w, version, circuit.n_qubits());

  if (circuit.n_cbits() != 0) {
    out += v2 ? "creg c[" : "bit[";
    w.number(circuit.n_cbits());
    out += v2 ? "];\n" : "] c;\n";
  }

  write_phase(out, version, circuit.global_phase());

  for (const sim::Operation& op : circuit.ops()) {
    if (const auto* gate = std::get_if<GateOp>(&op)) {
      w.gate(*gate);
    } else if (const auto* m = std::get_if<Measure>(&op)) {
      w.measure(m->qubit, m->cbit);
    } else {
      for (std::uint64_t q = 0; q < circuit.n_qubits(); ++q) {
        w.measure(q, q);
      }
    }
  }
  return out;
}

namespace {

// Writes one dynamic program; each check fails with what the text cannot say.
class ProgramWriter {
 public:
  ProgramWriter(const sim::Program& program, QasmVersion version)
      : program_(program), version_(version), w_(out_, version) {}

  Result<std::string> run() {
    QASM_TRY(check_registers());
    out_.reserve(96 + program_.instructions.size() * kBytesPerOp);
    write_header(out_, w_, version_, program_.n_qubits);
    QASM_TRY(write_registers());
    write_phase(out_, version_, program_.global_phase);
    if (!v2() && std::any_of(program_.instructions.begin(), program_.instructions.end(),
                             [](const sim::Instruction& i) {
                               const auto* g = std::get_if<sim::ControlledGate>(&i);
                               return g != nullptr && g->phase != 0.0;
                             })) {
      out_ += kPhasedU3Definition;
    }
    if (version_ == QasmVersion::V2) {
      QASM_TRY(body_v2());
    } else {
      QASM_TRY(body_v3());
    }
    return std::move(out_);
  }

 private:
  bool v2() const { return version_ == QasmVersion::V2; }

  // The registers tile [0, n_bits) in order, under names that read back as themselves.
  Status check_registers() {
    registers_ = program_.registers;
    if (registers_.empty() && program_.n_bits != 0) {
      registers_.push_back(sim::BitRegister{"c", 0, program_.n_bits});
    }
    std::uint64_t next = 0;
    std::set<std::string_view> names;
    for (const sim::BitRegister& reg : registers_) {
      if (reg.offset != next || reg.size > program_.n_bits - next) {
        return unsupported_error(messages::export_bad_registers(), "");
      }
      next += reg.size;
      // A 3.0 text may name a register in any script (θ); a 2.0 text only in ASCII.
      const bool ascii = std::all_of(reg.name.begin(), reg.name.end(),
                                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
      if (!is_identifier(reg.name, ReaderMode::Dynamic) || (v2() && !ascii) ||
          reserved_construct(reg.name).has_value() || !names.insert(reg.name).second) {
        return unsupported_error(messages::export_bad_register_name(reg.name), "");
      }
    }
    if (next != program_.n_bits ||
        (!program_.initial_bits.empty() && program_.initial_bits.size() != program_.n_bits)) {
      return unsupported_error(messages::export_bad_registers(), "");
    }
    return Ok{};
  }

  // `creg name[n];` or `bit[n] name;`, with the initial value `= "0101"` (bit 0 rightmost)
  // when one of its bits starts at 1.
  Status write_registers() {
    for (const sim::BitRegister& reg : registers_) {
      const bool initialised =
          !program_.initial_bits.empty() &&
          std::any_of(
              program_.initial_bits.begin() + static_cast<std::ptrdiff_t>(reg.offset),
              program_.initial_bits.begin() + static_cast<std::ptrdiff_t>(reg.offset + reg.size),
              [](std::uint8_t bit) { return bit != 0; });
      if (v2()) {
        if (initialised) {
          return unsupported_error(messages::export_v2_initial_bits(reg.name), "");
        }
        out_ += "creg ";
        out_ += reg.name;
        out_ += '[';
        w_.number(reg.size);
        out_ += "];\n";
        continue;
      }
      out_ += "bit[";
      w_.number(reg.size);
      out_ += "] ";
      out_ += reg.name;
      if (initialised) {
        out_ += " = \"";
        for (std::uint64_t i = reg.size; i > 0; --i) {
          out_ += program_.initial_bits[reg.offset + i - 1] != 0 ? '1' : '0';
        }
        out_ += '"';
      }
      out_ += ";\n";
    }
    return Ok{};
  }

  // The register holding bit `bit`, or none.
  const sim::BitRegister* register_of(std::uint64_t bit) const {
    auto after = std::upper_bound(
        registers_.begin(), registers_.end(), bit,
        [](std::uint64_t b, const sim::BitRegister& reg) { return b < reg.offset; });
    while (after != registers_.begin()) {
      --after;
      if (bit - after->offset < after->size) {
        return &*after;
      }
      if (after->offset < bit) {
        break;
      }
    }
    return nullptr;
  }

  // The register spanning exactly [offset, offset + size), or none.
  const sim::BitRegister* register_at(std::uint64_t offset, std::uint64_t size) const {
    const auto [first, last] =
        std::equal_range(registers_.begin(), registers_.end(), offset, RegisterOffsetLess{});
    for (auto it = first; it != last; ++it) {
      if (it->size == size) {
        return &*it;
      }
    }
    return nullptr;
  }

  struct RegisterOffsetLess {
    bool operator()(const sim::BitRegister& reg, std::uint64_t offset) const {
      return reg.offset < offset;
    }
    bool operator()(std::uint64_t offset, const sim::BitRegister& reg) const {
      return offset < reg.offset;
    }
  };

  // `name[i]` for one bit; `name` alone when `whole` allows it and the register has one bit.
  Status bit_ref(std::uint64_t bit, bool whole, std::uint64_t instruction) {
    const sim::BitRegister* reg = register_of(bit);
    if (reg == nullptr) {
      return unsupported_error(messages::export_bad_bit(instruction), "");
    }
    out_ += reg->name;
    if (!whole || reg->size != 1) {
      out_ += '[';
      w_.number(bit - reg->offset);
      out_ += ']';
    }
    return Ok{};
  }

  void indent(std::size_t depth) { out_.append(2 * depth, ' '); }

  // One gate, measurement or reset line (without indentation).
  Status operation(const sim::Instruction& instruction, std::uint64_t index) {
    if (const auto* gate = std::get_if<GateOp>(&instruction)) {
      w_.gate(*gate);
    } else if (const auto* controlled = std::get_if<sim::ControlledGate>(&instruction)) {
      if (v2()) {
        return unsupported_error(
            messages::export_v2_cannot("a gate under ctrl or negctrl modifiers", index), "");
      }
      controlled_gate(*controlled);
    } else if (const auto* m = std::get_if<Measure>(&instruction)) {
      if (v2()) {
        out_ += "measure ";
        w_.qubit(m->qubit);
        out_ += " -> ";
        QASM_TRY(bit_ref(m->cbit, false, index));
      } else {
        QASM_TRY(bit_ref(m->cbit, false, index));
        out_ += " = measure ";
        w_.qubit(m->qubit);
      }
      out_ += ";\n";
    } else if (const auto* reset = std::get_if<sim::Reset>(&instruction)) {
      out_ += "reset ";
      w_.qubit(reset->qubit);
      out_ += ";\n";
    } else if (const auto* set = std::get_if<sim::SetBit>(&instruction)) {
      if (v2()) {
        return unsupported_error(messages::export_v2_cannot("a bit assignment", index), "");
      }
      QASM_TRY(bit_ref(set->bit, false, index));
      out_ += " = ";
      QASM_TRY(condition(set->condition, index));
      out_ += ";\n";
    } else {
      return unsupported_error(messages::export_bad_jump(index), "");
    }
    return Ok{};
  }

  // `ctrl(2) @ negctrl @ rx(0.5) q[3], q[1], q[4], q[0];`: the controls in order, runs of equal
  // values as one modifier, then the gate: U for U3, u3_phase with a phase, else its own name.
  void controlled_gate(const sim::ControlledGate& g) {
    for (std::size_t j = 0; j < g.controls.size();) {
      std::size_t run = 1;
      while (j + run < g.controls.size() && g.values[j + run] == g.values[j]) {
        ++run;
      }
      out_ += g.values[j] != 0 ? "ctrl" : "negctrl";
      if (run > 1) {
        out_ += '(';
        w_.number(run);
        out_ += ')';
      }
      out_ += " @ ";
      j += run;
    }
    const core::Gate& gate = g.gate;
    const bool phased = g.phase != 0.0;
    if (gate.kind == core::GateKind::U3) {
      out_ += phased ? "u3_phase(" : "U(";
      append_angle(out_, gate.theta);
      out_ += ',';
      append_angle(out_, gate.phi);
      out_ += ',';
      append_angle(out_, gate.lambda);
      if (phased) {
        out_ += ',';
        append_angle(out_, g.phase);
      }
      out_ += ')';
    } else {
      out_ += kGateNames[static_cast<std::uint8_t>(gate.kind)];
      if (gate.kind == core::GateKind::Rx || gate.kind == core::GateKind::Ry ||
          gate.kind == core::GateKind::Rz) {
        out_ += '(';
        append_angle(out_, gate.theta);
        out_ += ')';
      }
    }
    out_ += ' ';
    for (const std::uint64_t q : g.controls) {
      w_.qubit(q);
      out_ += ',';
    }
    w_.qubit(g.target);
    out_ += ";\n";
  }

  static bool is_operation(const sim::Instruction& instruction) {
    return !std::holds_alternative<sim::JumpUnless>(instruction) &&
           !std::holds_alternative<sim::Jump>(instruction);
  }

  // 2.0: each JumpUnless skips exactly one operation, on a condition `register == value`.
  Status body_v2() {
    const std::vector<sim::Instruction>& ins = program_.instructions;
    for (std::size_t i = 0; i < ins.size();) {
      const auto* test = std::get_if<sim::JumpUnless>(&ins[i]);
      if (test == nullptr) {
        QASM_TRY(operation(ins[i], i));
        ++i;
        continue;
      }
      const std::size_t target = test->target;
      if (target <= i || target > ins.size()) {
        return unsupported_error(messages::export_bad_jump(i), "");
      }
      if (const auto* back = std::get_if<sim::Jump>(&ins[target - 1]);
          back != nullptr && back->target <= i) {
        return unsupported_error(messages::export_v2_cannot("a loop", i), "");
      }
      if (target - 1 > i && std::holds_alternative<sim::Jump>(ins[target - 1])) {
        return unsupported_error(messages::export_v2_cannot("an 'else' branch", i), "");
      }
      if (target != i + 2 || !is_operation(ins[i + 1])) {
        return unsupported_error(
            messages::export_v2_cannot("an 'if' body other than one operation", i), "");
      }
      if (test->condition >= program_.conditions.size()) {
        return unsupported_error(messages::export_bad_condition(i), "");
      }
      const sim::ConditionNode& node = program_.conditions[test->condition];
      // A whole register compared for equality; a bit that is a register of its own is that
      // register == 1.
      const sim::BitRegister* reg = nullptr;
      std::int64_t value = node.value;
      if (node.kind == sim::ConditionKind::Compare && node.compare == sim::CompareOp::Eq) {
        reg = register_at(node.offset, node.size);
      } else if (node.kind == sim::ConditionKind::Bit) {
        reg = register_at(node.bit, 1);
        value = 1;
      }
      if (reg == nullptr) {
        return unsupported_error(
            messages::export_v2_cannot("a condition other than 'register == value'", i), "");
      }
      out_ += "if (";
      out_ += reg->name;
      out_ += "==";
      out_ += std::to_string(value);
      out_ += ") ";
      QASM_TRY(operation(ins[i + 1], i + 1));
      i = target;
    }
    return Ok{};
  }

  // An `if` being written: its then-body ends at `end`; with an else-body, the Jump at `end`
  // separates them and the else-body ends at `else_end`.
  struct Block {
    std::size_t end = 0;
    std::size_t else_end = 0;
    bool has_else = false;
    // A `while` body: the Jump back to its test stands at `end` and is skipped.
    bool loop = false;
  };

  // 3.0: blocks rebuilt from the jumps, without recursion. A JumpUnless at i to t opens a
  // block ending at t; when the instruction before t is a Jump further forward (within the
  // enclosing block), the block is an if/else split there.
  Status body_v3() {
    const std::vector<sim::Instruction>& ins = program_.instructions;
    std::vector<Block> open;
    std::size_t i = 0;
    for (;;) {
      while (!open.empty() && open.back().end == i) {
        Block& block = open.back();
        if (block.has_else) {
          indent(open.size() - 1);
          out_ += "} else {\n";
          block.has_else = false;
          block.end = block.else_end;
          ++i;
          continue;
        }
        const bool loop = block.loop;
        open.pop_back();
        indent(open.size());
        out_ += "}\n";
        if (loop) {
          ++i;
        }
      }
      if (i == ins.size()) {
        return Ok{};
      }
      const std::size_t limit = open.empty() ? ins.size() : open.back().end;
      const auto* test = std::get_if<sim::JumpUnless>(&ins[i]);
      if (test == nullptr) {
        indent(open.size());
        QASM_TRY(operation(ins[i], i));
        ++i;
        continue;
      }
      const std::size_t target = test->target;
      if (target <= i || target > limit) {
        return unsupported_error(messages::export_bad_jump(i), "");
      }
      if (open.size() >= MAX_NESTING_DEPTH) {
        return unsupported_error(messages::export_too_deep(i, MAX_NESTING_DEPTH), "");
      }
      Block block{target, 0, false, false};
      if (target - 1 > i) {
        const auto* jump = std::get_if<sim::Jump>(&ins[target - 1]);
        if (jump != nullptr && jump->target > target && jump->target <= limit) {
          block = Block{target - 1, jump->target, true, false};
        } else if (jump != nullptr && jump->target == i) {
          block = Block{target - 1, 0, false, true};
        }
      }
      indent(open.size());
      out_ += block.loop ? "while (" : "if (";
      QASM_TRY(condition(test->condition, i));
      out_ += ") {\n";
      open.push_back(block);
      ++i;
    }
  }

  // Precedence of a condition node: || 1, && 2, comparison 3, ! 4, a bit or constant 5.
  static int precedence(sim::ConditionKind kind) {
    switch (kind) {
      case sim::ConditionKind::Or:
        return 1;
      case sim::ConditionKind::And:
        return 2;
      case sim::ConditionKind::Compare:
        return 3;
      case sim::ConditionKind::Not:
        return 4;
      case sim::ConditionKind::Bit:
      case sim::ConditionKind::Const:
        return 5;
    }
    return 5;
  }

  static std::string_view compare_text(sim::CompareOp op) {
    switch (op) {
      case sim::CompareOp::Eq:
        return " == ";
      case sim::CompareOp::Ne:
        return " != ";
      case sim::CompareOp::Lt:
        return " < ";
      case sim::CompareOp::Le:
        return " <= ";
      case sim::CompareOp::Gt:
        return " > ";
      case sim::CompareOp::Ge:
        return " >= ";
    }
    return " == ";
  }

  // The condition rooted at `root`, with the parentheses that make it read back as the same
  // tree: && and || group to the left, so a right operand of the same operator is
  // parenthesised, and so is a comparison under `!`. Written from an explicit stack, so that a
  // long chain of && does not recurse; a node reached twice (a shared operand) is refused.
  Status condition(std::uint32_t root, std::uint64_t instruction) {
    const std::vector<sim::ConditionNode>& pool = program_.conditions;
    if (root >= pool.size()) {
      return unsupported_error(messages::export_bad_condition(instruction), "");
    }
    struct Item {
      std::uint32_t node = 0;
      int needed = 0;           // the least precedence written without parentheses
      std::string_view text{};  // when not empty: text to write instead of a node
    };
    std::vector<Item> stack{Item{root, 0, {}}};
    std::uint64_t visited = 0;
    while (!stack.empty()) {
      const Item item = stack.back();
      stack.pop_back();
      if (!item.text.empty()) {
        out_ += item.text;
        continue;
      }
      if (++visited > std::uint64_t{root} + 1) {
        return unsupported_error(messages::export_bad_condition(instruction), "");
      }
      const sim::ConditionNode& node = pool[item.node];
      const bool operands_before =
          (node.kind != sim::ConditionKind::Not && node.kind != sim::ConditionKind::And &&
           node.kind != sim::ConditionKind::Or) ||
          (node.left < item.node &&
           (node.kind == sim::ConditionKind::Not || node.right < item.node));
      if (!operands_before) {
        return unsupported_error(messages::export_bad_condition(instruction), "");
      }
      const bool parenthesised = precedence(node.kind) < item.needed;
      if (parenthesised) {
        out_ += '(';
        stack.push_back(Item{0, 0, ")"});
      }
      switch (node.kind) {
        case sim::ConditionKind::Or:
        case sim::ConditionKind::And: {
          const int p = precedence(node.kind);
          stack.push_back(Item{node.right, p + 1, {}});
          stack.push_back(Item{0, 0, node.kind == sim::ConditionKind::Or ? " || " : " && "});
          stack.push_back(Item{node.left, p, {}});
          break;
        }
        case sim::ConditionKind::Not:
          out_ += '!';
          stack.push_back(Item{node.left, precedence(node.kind), {}});
          break;
        case sim::ConditionKind::Bit:
          QASM_TRY(bit_ref(node.bit, true, instruction));
          break;
        case sim::ConditionKind::Compare: {
          const sim::BitRegister* reg = register_at(node.offset, node.size);
          if (reg != nullptr) {
            out_ += reg->name;
          } else if (node.size == 1) {
            QASM_TRY(bit_ref(node.offset, false, instruction));
          } else {
            return unsupported_error(messages::export_bad_condition(instruction), "");
          }
          out_ += compare_text(node.compare);
          out_ += std::to_string(node.value);
          break;
        }
        case sim::ConditionKind::Const:
          out_ += node.value != 0 ? "true" : "false";
          break;
      }
    }
    return Ok{};
  }

  const sim::Program& program_;
  QasmVersion version_;
  std::string out_;
  Writer w_;
  std::vector<sim::BitRegister> registers_;
};

}  // namespace

Result<std::string> export_program(const sim::Program& program, QasmVersion version) {
  return ProgramWriter(program, version).run();
}

}  // namespace vorn::qasm
