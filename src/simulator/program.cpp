// Dynamic programs: conversion from a circuit record, which measurements are terminal, the
// operand checks, condition values and outcome keys.
#include "simulator/program.h"

#include <algorithm>
#include <compare>
#include <type_traits>
#include <unordered_set>

#include "core/abort.h"
#include "simulator/messages.h"

namespace vorn::sim {
namespace {

std::string instruction_name(std::size_t i) { return "instruction " + std::to_string(i); }

void check_qubit(const std::string& where, std::uint64_t qubit, std::uint64_t n_qubits) {
  if (qubit >= n_qubits) {
    core::abort_with(messages::program_qubit(where, qubit, n_qubits));
  }
}

void check_bits(const std::string& where, std::uint64_t offset, std::uint64_t size,
                std::uint64_t n_bits) {
  // Written so that offset + size cannot overflow.
  if (size > n_bits || offset > n_bits - size) {
    core::abort_with(messages::program_bits(where, offset, size, n_bits));
  }
}

void check_condition(const Program& program, std::size_t k) {
  const ConditionNode& node = program.conditions[k];
  const auto kind = static_cast<unsigned>(node.kind);
  const auto compare = static_cast<unsigned>(node.compare);
  if (kind > static_cast<unsigned>(ConditionKind::Const) ||
      compare > static_cast<unsigned>(CompareOp::Ge)) {
    core::abort_with(messages::program_condition_tag(k, kind, compare));
  }
  const std::string where = "condition " + std::to_string(k);
  const auto operand_before = [k](std::uint32_t operand) {
    if (operand >= k) {
      core::abort_with(messages::program_operand(k, operand));
    }
  };
  switch (node.kind) {
    case ConditionKind::Bit:
      check_bits(where, node.bit, 1, program.n_bits);
      return;
    case ConditionKind::Compare:
      check_bits(where, node.offset, node.size, program.n_bits);
      return;
    case ConditionKind::Not:
      operand_before(node.left);
      return;
    case ConditionKind::And:
    case ConditionKind::Or:
      operand_before(node.left);
      operand_before(node.right);
      return;
    case ConditionKind::Const:
      return;
  }
}

void check_instruction(const Program& program, std::size_t i) {
  const std::string where = instruction_name(i);
  const std::size_t size = program.instructions.size();
  std::visit(
      [&](const auto& instruction) {
        using I = std::decay_t<decltype(instruction)>;
        if constexpr (std::is_same_v<I, GateOp>) {
          const auto tag = static_cast<unsigned>(instruction.kind());
          if (tag > static_cast<unsigned>(GateKind::CSWAP)) {
            core::abort_with(messages::unknown_gate_kind(tag));
          }
          for (unsigned j = 0; j < instruction.arity(); ++j) {
            check_qubit(where, instruction.qubits[j], program.n_qubits);
          }
        } else if constexpr (std::is_same_v<I, ControlledGate>) {
          const auto tag = static_cast<unsigned>(instruction.gate.kind);
          if (tag >= static_cast<unsigned>(GateKind::CX) ||
              (instruction.phase != 0.0 && instruction.gate.kind != GateKind::U3)) {
            core::abort_with(messages::program_controlled_gate(where, tag));
          }
          bool values_ok = instruction.values.size() == instruction.controls.size();
          for (const std::uint8_t value : instruction.values) {
            values_ok = values_ok && value <= 1;
          }
          if (!values_ok) {
            core::abort_with(messages::program_controls(where, instruction.controls.size(),
                                                        instruction.values.size()));
          }
          const std::vector<std::uint64_t> qubits = instruction.qubits();
          std::unordered_set<std::uint64_t> seen;
          for (const std::uint64_t q : qubits) {
            check_qubit(where, q, program.n_qubits);
            if (!seen.insert(q).second) {
              core::abort_with(messages::program_repeated_qubit(where, q));
            }
          }
        } else if constexpr (std::is_same_v<I, Measure>) {
          check_qubit(where, instruction.qubit, program.n_qubits);
          check_bits(where, instruction.cbit, 1, program.n_bits);
        } else if constexpr (std::is_same_v<I, Reset>) {
          check_qubit(where, instruction.qubit, program.n_qubits);
        } else if constexpr (std::is_same_v<I, JumpUnless>) {
          if (instruction.condition >= program.conditions.size()) {
            core::abort_with(
                messages::program_condition(i, instruction.condition, program.conditions.size()));
          }
          if (instruction.target > size) {
            core::abort_with(messages::program_target(i, instruction.target, size));
          }
        } else if constexpr (std::is_same_v<I, SetBit>) {
          check_bits(where, instruction.bit, 1, program.n_bits);
          if (instruction.condition >= program.conditions.size()) {
            core::abort_with(
                messages::program_condition(i, instruction.condition, program.conditions.size()));
          }
        } else {
          static_assert(std::is_same_v<I, Jump>);
          if (instruction.target > size) {
            core::abort_with(messages::program_target(i, instruction.target, size));
          }
        }
      },
      program.instructions[i]);
}

// Bits [offset, offset + size) as an unsigned integer of any width, compared with value.
std::strong_ordering compare_register(std::span<const std::uint8_t> bits, std::uint64_t offset,
                                      std::uint64_t size, std::int64_t value) {
  // Every register value is at least 0, so above any negative value.
  if (value < 0) {
    return std::strong_ordering::greater;
  }
  for (std::uint64_t k = 64; k < size; ++k) {
    if (bits[offset + k] != 0) {
      return std::strong_ordering::greater;
    }
  }
  std::uint64_t low = 0;
  for (std::uint64_t k = 0; k < std::min<std::uint64_t>(size, 64); ++k) {
    low |= static_cast<std::uint64_t>(bits[offset + k] & 1) << k;
  }
  return low <=> static_cast<std::uint64_t>(value);
}

bool compare_holds(CompareOp op, std::strong_ordering order) {
  switch (op) {
    case CompareOp::Eq:
      return order == 0;
    case CompareOp::Ne:
      return order != 0;
    case CompareOp::Lt:
      return order < 0;
    case CompareOp::Le:
      return order <= 0;
    case CompareOp::Gt:
      return order > 0;
    case CompareOp::Ge:
      return order >= 0;
  }
  return false;
}

}  // namespace

Program program_from_circuit(const Circuit& circuit) {
  Program program;
  program.n_qubits = circuit.n_qubits();
  std::uint64_t n_bits = circuit.n_cbits();
  for (const Operation& op : circuit.ops()) {
    if (const auto* gate = std::get_if<GateOp>(&op)) {
      program.instructions.emplace_back(*gate);
    } else if (const auto* measure = std::get_if<Measure>(&op)) {
      program.instructions.emplace_back(*measure);
      n_bits = std::max(n_bits, measure->cbit + 1);
    } else {
      for (std::uint64_t q = 0; q < circuit.n_qubits(); ++q) {
        program.instructions.emplace_back(Measure{q, q});
      }
      n_bits = std::max(n_bits, circuit.n_qubits());
    }
  }
  program.n_bits = n_bits;
  if (circuit.n_cbits() > 0) {
    program.registers.push_back({"c", 0, circuit.n_cbits()});
  }
  program.global_phase = circuit.global_phase();
  return program;
}

std::vector<bool> terminal_measurements(const Program& program) {
  const std::vector<Instruction>& instructions = program.instructions;
  std::vector<bool> terminal(instructions.size(), false);
  // Walk back from the end to the last jump, gathering the qubits that later gates and resets
  // touch.
  std::unordered_set<std::uint64_t> touched;
  for (std::size_t i = instructions.size(); i-- > 0;) {
    const Instruction& instruction = instructions[i];
    if (std::holds_alternative<Jump>(instruction) ||
        std::holds_alternative<JumpUnless>(instruction) ||
        std::holds_alternative<SetBit>(instruction)) {
      break;
    }
    if (const auto* gate = std::get_if<GateOp>(&instruction)) {
      touched.insert(gate->qubits.begin(), gate->qubits.begin() + gate->arity());
    } else if (const auto* controlled = std::get_if<ControlledGate>(&instruction)) {
      touched.insert(controlled->controls.begin(), controlled->controls.end());
      touched.insert(controlled->target);
    } else if (const auto* reset = std::get_if<Reset>(&instruction)) {
      touched.insert(reset->qubit);
    } else if (const auto* measure = std::get_if<Measure>(&instruction)) {
      terminal[i] = touched.count(measure->qubit) == 0;
    }
  }
  return terminal;
}

bool is_static(const Program& program) {
  const std::vector<bool> terminal = terminal_measurements(program);
  for (std::size_t i = 0; i < program.instructions.size(); ++i) {
    const Instruction& instruction = program.instructions[i];
    if (!is_gate(instruction) && !terminal[i]) {
      return false;
    }
  }
  return true;
}

void validate_program(const Program& program) {
  for (std::size_t i = 0; i < program.instructions.size(); ++i) {
    check_instruction(program, i);
  }
  for (std::size_t k = 0; k < program.conditions.size(); ++k) {
    check_condition(program, k);
  }
  for (const BitRegister& r : program.registers) {
    check_bits("register " + r.name, r.offset, r.size, program.n_bits);
  }
  if (!program.initial_bits.empty()) {
    if (program.initial_bits.size() != program.n_bits) {
      core::abort_with(messages::program_initial_bits(program.initial_bits.size(), program.n_bits));
    }
    for (std::size_t b = 0; b < program.initial_bits.size(); ++b) {
      if (program.initial_bits[b] > 1) {
        core::abort_with(messages::program_initial_bit(b, program.initial_bits[b]));
      }
    }
  }
}

bool condition_holds(const Program& program, std::uint32_t root,
                     std::span<const std::uint8_t> bits) {
  // Post-order over the nodes below root on an explicit stack, so that no condition, however
  // deep, can exhaust the call stack. The operands' values are on top of `values` when their
  // node is reached, the left one below the right one.
  struct Frame {
    std::uint32_t node;
    bool operands_done;
  };
  std::vector<Frame> pending{{root, false}};
  std::vector<bool> values;
  while (!pending.empty()) {
    const Frame frame = pending.back();
    pending.pop_back();
    const ConditionNode& node = program.conditions[frame.node];
    const bool binary = node.kind == ConditionKind::And || node.kind == ConditionKind::Or;
    if (!frame.operands_done && (binary || node.kind == ConditionKind::Not)) {
      pending.push_back({frame.node, true});
      if (binary) {
        pending.push_back({node.right, false});
      }
      pending.push_back({node.left, false});
      continue;
    }
    switch (node.kind) {
      case ConditionKind::Bit:
        values.push_back(bits[node.bit] != 0);
        break;
      case ConditionKind::Compare:
        values.push_back(compare_holds(node.compare,
                                       compare_register(bits, node.offset, node.size, node.value)));
        break;
      case ConditionKind::Const:
        values.push_back(node.value != 0);
        break;
      case ConditionKind::Not:
        values.back() = !values.back();
        break;
      case ConditionKind::And:
      case ConditionKind::Or: {
        const bool right = values.back();
        values.pop_back();
        const bool left = values.back();
        values.back() = node.kind == ConditionKind::And ? (left && right) : (left || right);
        break;
      }
    }
  }
  return values.back();
}

std::string outcome_key(const Program& program, std::span<const std::uint8_t> bits) {
  std::string key;
  const auto write = [&](std::uint64_t offset, std::uint64_t size) {
    for (std::uint64_t k = size; k-- > 0;) {
      key.push_back(bits[offset + k] != 0 ? '1' : '0');
    }
  };
  if (program.registers.empty()) {
    write(0, bits.size());
    return key;
  }
  for (std::size_t r = program.registers.size(); r-- > 0;) {
    write(program.registers[r].offset, program.registers[r].size);
    if (r > 0) {
      key.push_back(' ');
    }
  }
  return key;
}

}  // namespace vorn::sim
