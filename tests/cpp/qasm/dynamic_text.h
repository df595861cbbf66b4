// Helpers of the dynamic reader's tests: reading with an in-memory file table, and a compact
// text of a program's instructions and conditions for assertions.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "qasm/program_reader.h"
#include "simulator/program.h"

namespace vorn::qasm::test {

using Files = std::map<std::string, std::string>;

// A source whose includes are served from `files` (keyed by the resolved path).
inline ProgramSource table_source(Files files, std::string file_name = "") {
  ProgramSource source;
  source.file_name = std::move(file_name);
  source.read_file = [files = std::move(files)](const std::string& path) {
    const auto found = files.find(path);
    return found == files.end() ? std::nullopt : std::optional<std::string>(found->second);
  };
  return source;
}

inline sim::Program read_ok(std::string_view text, const ProgramSource& source = table_source({})) {
  Result<sim::Program> program = read_program(text, source);
  if (!program.ok()) {
    ADD_FAILURE() << program.error().render() << "\n" << text;
    return sim::Program{};
  }
  return std::move(program).value();
}

inline std::string read_error(std::string_view text,
                              const ProgramSource& source = table_source({})) {
  Result<sim::Program> program = read_program(text, source);
  if (program.ok()) {
    ADD_FAILURE() << "accepted: " << text;
    return "accepted";
  }
  return program.error().render();
}

// "name(a,b,..)": built by appending (operator+ on a literal and a temporary trips a false
// -Wrestrict in GCC 12).
inline std::string call_text(std::string_view name, std::initializer_list<std::string> args) {
  std::string text(name);
  text += '(';
  bool first = true;
  for (const std::string& arg : args) {
    if (!first) {
      text += ',';
    }
    text += arg;
    first = false;
  }
  text += ')';
  return text;
}

// "G<tag>(q..)" for a gate (angles left out), "M(q,b)", "R(q)", "JU(c,t)", "J(t)", "S(b,c)".
inline std::vector<std::string> instructions_of(const sim::Program& program) {
  using std::to_string;
  std::vector<std::string> out;
  for (const sim::Instruction& instruction : program.instructions) {
    if (const auto* g = std::get_if<sim::GateOp>(&instruction)) {
      std::string text = "G";
      text += to_string(static_cast<int>(g->kind()));
      text += '(';
      for (unsigned k = 0; k < g->arity(); ++k) {
        text += k > 0 ? "," : "";
        text += to_string(g->qubits[k]);
      }
      text += ')';
      out.push_back(text);
    } else if (const auto* c = std::get_if<sim::ControlledGate>(&instruction)) {
      // "C<kind>(controls;values;target)", the matrix compared apart.
      std::string text = "C";
      text += to_string(static_cast<int>(c->gate.kind));
      text += '(';
      for (std::size_t k = 0; k < c->controls.size(); ++k) {
        text += to_string(c->controls[k]) + (c->values[k] != 0 ? "" : "!") + ",";
      }
      text += to_string(c->target) + ')';
      out.push_back(text);
    } else if (const auto* m = std::get_if<sim::Measure>(&instruction)) {
      out.push_back(call_text("M", {to_string(m->qubit), to_string(m->cbit)}));
    } else if (const auto* r = std::get_if<sim::Reset>(&instruction)) {
      out.push_back(call_text("R", {to_string(r->qubit)}));
    } else if (const auto* ju = std::get_if<sim::JumpUnless>(&instruction)) {
      out.push_back(call_text("JU", {to_string(ju->condition), to_string(ju->target)}));
    } else if (const auto* set = std::get_if<sim::SetBit>(&instruction)) {
      out.push_back(call_text("S", {to_string(set->bit), to_string(set->condition)}));
    } else {
      out.push_back(call_text("J", {to_string(std::get<sim::Jump>(instruction).target)}));
    }
  }
  return out;
}

// "Bit(b)", "Cmp(offset,size,op,value)" with op one of == != < <= > >=, "Not(l)", "And(l,r)",
// "Or(l,r)", "Const(v)".
inline std::vector<std::string> conditions_of(const sim::Program& program) {
  static constexpr const char* OPS[] = {"==", "!=", "<", "<=", ">", ">="};
  using std::to_string;
  std::vector<std::string> out;
  for (const sim::ConditionNode& node : program.conditions) {
    switch (node.kind) {
      case sim::ConditionKind::Bit:
        out.push_back(call_text("Bit", {to_string(node.bit)}));
        break;
      case sim::ConditionKind::Compare:
        out.push_back(
            call_text("Cmp", {to_string(node.offset), to_string(node.size),
                              OPS[static_cast<int>(node.compare)], to_string(node.value)}));
        break;
      case sim::ConditionKind::Not:
        out.push_back(call_text("Not", {to_string(node.left)}));
        break;
      case sim::ConditionKind::And:
        out.push_back(call_text("And", {to_string(node.left), to_string(node.right)}));
        break;
      case sim::ConditionKind::Or:
        out.push_back(call_text("Or", {to_string(node.left), to_string(node.right)}));
        break;
      case sim::ConditionKind::Const:
        out.push_back(call_text("Const", {to_string(node.value)}));
        break;
    }
  }
  return out;
}

// Whether two programs are the same, angles and phase compared bit for bit; `what` says where
// they first differ.
inline bool same_program(const sim::Program& a, const sim::Program& b, std::string& what) {
  const auto bits = [](double x) { return std::bit_cast<std::uint64_t>(x); };
  if (a.n_qubits != b.n_qubits || a.n_bits != b.n_bits) {
    what = "sizes";
    return false;
  }
  if (bits(a.global_phase) != bits(b.global_phase)) {
    what = "global phase";
    return false;
  }
  if (instructions_of(a) != instructions_of(b)) {
    what = "instructions";
    return false;
  }
  for (std::size_t i = 0; i < a.instructions.size(); ++i) {
    const auto* ga = std::get_if<sim::GateOp>(&a.instructions[i]);
    const auto* gb = std::get_if<sim::GateOp>(&b.instructions[i]);
    if (ga != nullptr &&
        (bits(ga->gate.theta) != bits(gb->gate.theta) || bits(ga->gate.phi) != bits(gb->gate.phi) ||
         bits(ga->gate.lambda) != bits(gb->gate.lambda))) {
      what = "angles of instruction ";
      what += std::to_string(i);
      return false;
    }
    const auto* ca = std::get_if<sim::ControlledGate>(&a.instructions[i]);
    const auto* cb = std::get_if<sim::ControlledGate>(&b.instructions[i]);
    if (ca != nullptr) {
      const core::Matrix2<double> ma = ca->matrix();
      const core::Matrix2<double> mb = cb->matrix();
      if (std::memcmp(ma.data(), mb.data(), sizeof ma) != 0) {
        what = "matrix of instruction ";
        what += std::to_string(i);
        return false;
      }
    }
  }
  if (conditions_of(a) != conditions_of(b)) {
    what = "conditions";
    return false;
  }
  if (a.registers.size() != b.registers.size()) {
    what = "registers";
    return false;
  }
  for (std::size_t r = 0; r < a.registers.size(); ++r) {
    if (a.registers[r].name != b.registers[r].name ||
        a.registers[r].offset != b.registers[r].offset ||
        a.registers[r].size != b.registers[r].size) {
      what = "register ";
      what += std::to_string(r);
      return false;
    }
  }
  if (a.initial_bits != b.initial_bits) {
    what = "initial bits";
    return false;
  }
  return true;
}

}  // namespace vorn::qasm::test
