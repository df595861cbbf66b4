// Dynamic programs: conversion from circuits, terminal measurements, the operand checks,
// conditions over registers of any width, and outcome keys.
#include "simulator/program.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "../support/abort_message.h"
#include "core/gates.h"

namespace vorn::sim {
namespace {

using vorn::test::abort_message;

GateOp gate(GateKind kind, std::uint64_t q0, std::uint64_t q1 = 0, std::uint64_t q2 = 0) {
  return GateOp{Gate{kind}, {q0, q1, q2}};
}

Program program_of(std::uint64_t n_qubits, std::uint64_t n_bits,
                   std::vector<Instruction> instructions) {
  Program p;
  p.n_qubits = n_qubits;
  p.n_bits = n_bits;
  p.instructions = std::move(instructions);
  return p;
}

TEST(ProgramFromCircuit, KeepsGatesMeasurementsPhaseAndOneRegister) {
  Circuit c(3);
  c.h(0);
  c.cx(0, 2);
  c.measure(2, 1);
  c.rx(0.25, 1);
  c.measure_all();
  c.add_global_phase(0.5);
  const Program p = program_from_circuit(c);
  EXPECT_EQ(p.n_qubits, 3u);
  EXPECT_EQ(p.n_bits, 3u);
  ASSERT_EQ(p.instructions.size(), 7u);
  EXPECT_EQ(std::get<GateOp>(p.instructions[0]).kind(), GateKind::H);
  const GateOp& cx = std::get<GateOp>(p.instructions[1]);
  EXPECT_EQ(cx.kind(), GateKind::CX);
  EXPECT_EQ(cx.qubits[0], 0u);
  EXPECT_EQ(cx.qubits[1], 2u);
  EXPECT_EQ(std::get<Measure>(p.instructions[2]).qubit, 2u);
  EXPECT_EQ(std::get<Measure>(p.instructions[2]).cbit, 1u);
  EXPECT_EQ(std::get<GateOp>(p.instructions[3]).gate.theta, 0.25);
  // measure_all: q_i -> c_i for every qubit, in qubit order.
  for (std::uint64_t q = 0; q < 3; ++q) {
    const Measure& m = std::get<Measure>(p.instructions[4 + q]);
    EXPECT_EQ(m.qubit, q);
    EXPECT_EQ(m.cbit, q);
  }
  ASSERT_EQ(p.registers.size(), 1u);
  EXPECT_EQ(p.registers[0].name, "c");
  EXPECT_EQ(p.registers[0].offset, 0u);
  EXPECT_EQ(p.registers[0].size, 3u);
  EXPECT_TRUE(p.initial_bits.empty());
  EXPECT_EQ(p.global_phase, 0.5);
  validate_program(p);
}

TEST(ProgramFromCircuit, NoBitsNoRegister) {
  Circuit c(2);
  c.h(1);
  const Program p = program_from_circuit(c);
  EXPECT_EQ(p.n_bits, 0u);
  EXPECT_TRUE(p.registers.empty());
  EXPECT_EQ(outcome_key(p, {}), "");
}

TEST(ProgramFromCircuit, BitsAboveALoweredCountStayOutsideTheRegister) {
  // measure(0, 5) raises the count to 6; measure_all then lowers it to 2.
  Circuit c(2);
  c.measure(0, 5);
  c.measure_all();
  const Program p = program_from_circuit(c);
  EXPECT_EQ(p.n_bits, 6u);
  ASSERT_EQ(p.registers.size(), 1u);
  EXPECT_EQ(p.registers[0].size, 2u);
  validate_program(p);
  const std::vector<std::uint8_t> bits = {1, 0, 0, 0, 0, 1};
  EXPECT_EQ(outcome_key(p, bits), "01");
}

struct TerminalCase {
  const char* name;
  Program program;
  std::vector<bool> terminal;
  bool is_static;
};

std::vector<TerminalCase> terminal_cases() {
  const Measure m0{0, 0};
  const Measure m1{1, 1};
  std::vector<TerminalCase> cases;
  cases.push_back({"gates then measurements",
                   program_of(2, 2, {gate(GateKind::H, 0), m0, m1}),
                   {false, true, true},
                   true});
  cases.push_back({"a later gate on the qubit",
                   program_of(2, 2, {m0, gate(GateKind::X, 0), m1}),
                   {false, false, true},
                   false});
  cases.push_back({"a later gate on another qubit",
                   program_of(2, 2, {m0, gate(GateKind::X, 1), m1}),
                   {true, false, true},
                   true});
  cases.push_back({"a later controlled gate reading the qubit",
                   program_of(3, 2, {m0, gate(GateKind::CCX, 2, 0, 1)}),
                   {false, false},
                   false});
  cases.push_back(
      {"the same qubit twice", program_of(1, 2, {m0, Measure{0, 1}}), {true, true}, true});
  cases.push_back({"a later reset",
                   program_of(1, 2, {m0, Reset{0}, Measure{0, 1}}),
                   {false, false, true},
                   false});
  cases.push_back(
      {"a later jump", program_of(2, 2, {m0, Jump{2}, m1}), {false, false, true}, false});
  cases.push_back({"a later conditional",
                   program_of(2, 2, {m0, JumpUnless{0, 2}, m1}),
                   {false, false, true},
                   false});
  cases.back().program.conditions.push_back({ConditionKind::Bit, CompareOp::Eq, 0});
  cases.push_back({"no measurement", program_of(1, 0, {gate(GateKind::H, 0)}), {false}, true});
  return cases;
}

TEST(TerminalMeasurements, FollowJumpsGatesAndResets) {
  for (const TerminalCase& c : terminal_cases()) {
    SCOPED_TRACE(c.name);
    validate_program(c.program);
    EXPECT_EQ(terminal_measurements(c.program), c.terminal);
    EXPECT_EQ(is_static(c.program), c.is_static);
  }
}

struct InvalidCase {
  const char* name;
  Program program;
  std::string message;
};

std::vector<InvalidCase> invalid_cases() {
  std::vector<InvalidCase> cases;
  cases.push_back({"gate operand", program_of(2, 0, {gate(GateKind::CX, 0, 2)}),
                   "invalid program: instruction 0: qubit 2 out of range (n_qubits=2)"});
  cases.push_back({"unused operand slots are not checked",
                   program_of(1, 0, {GateOp{Gate{GateKind::H}, {0, 7, 9}}}), "<no abort>"});
  cases.push_back({"gate kind", program_of(1, 0, {GateOp{Gate{static_cast<GateKind>(18)}, {}}}),
                   "unknown gate kind 18"});
  cases.push_back({"measured qubit", program_of(1, 1, {gate(GateKind::H, 0), Measure{1, 0}}),
                   "invalid program: instruction 1: qubit 1 out of range (n_qubits=1)"});
  cases.push_back(
      {"measured bit", program_of(1, 1, {Measure{0, 1}}),
       "invalid program: instruction 0: bits at 1 (1 of them) out of range (n_bits=1)"});
  cases.push_back({"reset qubit", program_of(1, 0, {Reset{3}}),
                   "invalid program: instruction 0: qubit 3 out of range (n_qubits=1)"});
  cases.push_back({"jump to the end", program_of(1, 0, {Jump{1}}), "<no abort>"});
  cases.push_back(
      {"jump beyond the end", program_of(1, 0, {Jump{2}}),
       "invalid program: instruction 0: jump target 2 beyond the end (1 instructions)"});
  cases.push_back(
      {"conditional jump beyond the end", program_of(1, 0, {JumpUnless{0, 5}}),
       "invalid program: instruction 0: jump target 5 beyond the end (1 instructions)"});
  cases.back().program.conditions.push_back({});
  cases.push_back({"condition outside the pool", program_of(1, 0, {JumpUnless{1, 1}}),
                   "invalid program: instruction 0: condition 1 outside the pool (1 nodes)"});
  cases.back().program.conditions.push_back({});
  {
    Program p = program_of(1, 2, {});
    p.conditions.push_back({ConditionKind::Bit, CompareOp::Eq, 0});
    p.conditions.push_back({ConditionKind::And, CompareOp::Eq, 0, 0, 0, 0, 0, 1});
    cases.push_back({"operand after its node", p,
                     "invalid program: condition 1: operand 1 does not come before it"});
  }
  {
    Program p = program_of(1, 2, {});
    p.conditions.push_back({ConditionKind::Not, CompareOp::Eq, 0, 0, 0, 0, 0, 0});
    cases.push_back({"operand is the node itself", p,
                     "invalid program: condition 0: operand 0 does not come before it"});
  }
  {
    Program p = program_of(1, 2, {});
    p.conditions.push_back({ConditionKind::Bit, CompareOp::Eq, 2});
    cases.push_back(
        {"condition bit", p,
         "invalid program: condition 0: bits at 2 (1 of them) out of range (n_bits=2)"});
  }
  {
    Program p = program_of(1, 70, {});
    p.conditions.push_back(
        {ConditionKind::Compare, CompareOp::Eq, 0, 1, std::numeric_limits<std::uint64_t>::max()});
    cases.push_back({"compared bits wrapping around", p,
                     "invalid program: condition 0: bits at 1 (18446744073709551615 of them) out "
                     "of range (n_bits=70)"});
  }
  {
    Program p = program_of(1, 2, {});
    p.conditions.push_back({static_cast<ConditionKind>(6)});
    cases.push_back(
        {"condition kind", p, "invalid program: condition 0: unknown kind 6 or comparison 0"});
  }
  {
    Program p = program_of(1, 4, {});
    p.registers.push_back({"a", 0, 2});
    p.registers.push_back({"b", 2, 3});
    cases.push_back({"register", p,
                     "invalid program: register b: bits at 2 (3 of them) out of range (n_bits=4)"});
  }
  {
    Program p = program_of(1, 3, {});
    p.initial_bits = {0, 1};
    cases.push_back({"initial bit count", p, "invalid program: 2 initial bits for 3 bits"});
    p.initial_bits = {0, 1, 2};
    cases.push_back({"initial bit value", p, "invalid program: initial bit 2 is 2, not 0 or 1"});
  }
  return cases;
}

TEST(ValidateProgram, AbortsOnTheFirstViolation) {
  for (const InvalidCase& c : invalid_cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(abort_message([&] { validate_program(c.program); }), c.message);
  }
}

// A program over `n_bits` bits whose pool holds the given nodes; conditions are evaluated at
// the last node.
Program with_conditions(std::uint64_t n_bits, std::vector<ConditionNode> nodes) {
  Program p = program_of(1, n_bits, {});
  p.conditions = std::move(nodes);
  validate_program(p);
  return p;
}

ConditionNode compare(std::uint64_t offset, std::uint64_t size, CompareOp op, std::int64_t value) {
  return {ConditionKind::Compare, op, 0, offset, size, value};
}

bool holds(const Program& p, const std::vector<std::uint8_t>& bits) {
  return condition_holds(p, static_cast<std::uint32_t>(p.conditions.size() - 1), bits);
}

TEST(ConditionHolds, ComparesRegistersOfAnyWidth) {
  constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
  // Bits [1, 71) of 72: value 5 with bit 69 of the register (bit 70 of the array) clear or set.
  std::vector<std::uint8_t> bits(72, 0);
  bits[0] = 1;   // outside the register
  bits[71] = 1;  // outside the register
  bits[1] = 1;
  bits[3] = 1;
  struct Row {
    CompareOp op;
    std::int64_t value;
    bool small;  // register value 5
    bool large;  // register value 5 + 2^69
  };
  const std::vector<Row> rows = {
      {CompareOp::Eq, 5, true, false},   {CompareOp::Ne, 5, false, true},
      {CompareOp::Lt, 6, true, false},   {CompareOp::Le, 5, true, false},
      {CompareOp::Gt, 4, true, true},    {CompareOp::Ge, 6, false, true},
      {CompareOp::Gt, MAX, false, true}, {CompareOp::Lt, MAX, true, false},
      {CompareOp::Eq, -1, false, false}, {CompareOp::Ne, -3, true, true},
      {CompareOp::Gt, -1, true, true},   {CompareOp::Ge, -1, true, true},
      {CompareOp::Lt, -1, false, false}, {CompareOp::Le, -1, false, false},
      {CompareOp::Gt, 0, true, true},    {CompareOp::Lt, 0, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(static_cast<int>(row.op)) + " " + std::to_string(row.value));
    const Program p = with_conditions(72, {compare(1, 70, row.op, row.value)});
    bits[70] = 0;
    EXPECT_EQ(holds(p, bits), row.small);
    bits[70] = 1;
    EXPECT_EQ(holds(p, bits), row.large);
  }
  // A 64-bit register with its top bit set is above every int64 value.
  std::vector<std::uint8_t> top(64, 0);
  top[63] = 1;
  EXPECT_TRUE(holds(with_conditions(64, {compare(0, 64, CompareOp::Gt, MAX)}), top));
  // An empty register is 0.
  EXPECT_TRUE(holds(with_conditions(64, {compare(5, 0, CompareOp::Eq, 0)}), top));
}

TEST(ConditionHolds, CombinesBitsConstantsAndOperators) {
  const ConditionNode bit0{ConditionKind::Bit, CompareOp::Eq, 0};
  const ConditionNode bit1{ConditionKind::Bit, CompareOp::Eq, 1};
  const ConditionNode yes{ConditionKind::Const, CompareOp::Eq, 0, 0, 0, 7};
  const ConditionNode no{ConditionKind::Const};
  const auto node = [](ConditionKind kind, std::uint32_t left, std::uint32_t right = 0) {
    return ConditionNode{kind, CompareOp::Eq, 0, 0, 0, 0, left, right};
  };
  // (bit0 && !bit1) || (no && yes), and its parts.
  const Program p =
      with_conditions(2, {bit0, bit1, node(ConditionKind::Not, 1), node(ConditionKind::And, 0, 2),
                          no, yes, node(ConditionKind::And, 4, 5), node(ConditionKind::Or, 3, 6)});
  for (std::uint8_t b0 = 0; b0 < 2; ++b0) {
    for (std::uint8_t b1 = 0; b1 < 2; ++b1) {
      const std::vector<std::uint8_t> bits = {b0, b1};
      EXPECT_EQ(condition_holds(p, 7, bits), b0 == 1 && b1 == 0);
      EXPECT_EQ(condition_holds(p, 2, bits), b1 == 0);
      EXPECT_TRUE(condition_holds(p, 5, bits));
      EXPECT_FALSE(condition_holds(p, 6, bits));
    }
  }
}

TEST(ConditionHolds, DeepConditionsDoNotExhaustTheStack) {
  // bit 0 under 100000 Nots, alternately as the left operand of And with a true constant.
  std::vector<ConditionNode> nodes = {{ConditionKind::Bit, CompareOp::Eq, 0},
                                      {ConditionKind::Const, CompareOp::Eq, 0, 0, 0, 1}};
  constexpr std::uint32_t DEPTH = 200000;
  for (std::uint32_t k = 0; k < DEPTH; ++k) {
    const auto below = static_cast<std::uint32_t>(nodes.size() - 1);
    if (k % 2 == 0) {
      nodes.push_back({ConditionKind::Not, CompareOp::Eq, 0, 0, 0, 0, below == 1 ? 0 : below});
    } else {
      nodes.push_back({ConditionKind::And, CompareOp::Eq, 0, 0, 0, 0, below, 1});
    }
  }
  const Program p = with_conditions(1, std::move(nodes));
  // DEPTH / 2 Nots: an even count leaves bit 0 as it is.
  EXPECT_TRUE(holds(p, {1}));
  EXPECT_FALSE(holds(p, {0}));
}

TEST(OutcomeKey, RegistersRightToLeftWithBitZeroRightmost) {
  Program p = program_of(1, 7, {});
  p.registers.push_back({"a", 0, 3});
  p.registers.push_back({"b", 4, 2});
  p.registers.push_back({"e", 6, 0});
  // Bit 3 is in no register and not shown.
  const std::vector<std::uint8_t> bits = {1, 1, 0, 1, 0, 1, 1};
  EXPECT_EQ(outcome_key(p, bits), " 10 011");
  p.registers.pop_back();
  EXPECT_EQ(outcome_key(p, bits), "10 011");
  p.registers.clear();
  EXPECT_EQ(outcome_key(p, bits), "1101011");
}

}  // namespace
}  // namespace vorn::sim
