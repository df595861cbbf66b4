// The circuit record: appends, operand checks, classical-bit counting, value semantics.
#include "simulator/circuit.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "../support/abort_message.h"
#include "../support/operation_tag.h"
#include "core/abort.h"

namespace vorn::sim {
namespace {

using vorn::test::abort_message;
using vorn::test::MEASURE_ALL_TAG;
using vorn::test::MEASURE_TAG;
using vorn::test::operation_tag;

// Bitwise comparison, so that NaN angles and signed zeros count as stored.
bool same_op(const Operation& a, const Operation& b) {
  if (a.index() != b.index()) {
    return false;
  }
  if (const auto* ga = std::get_if<GateOp>(&a)) {
    const auto& gb = std::get<GateOp>(b);
    return ga->gate.kind == gb.gate.kind &&
           std::bit_cast<std::uint64_t>(ga->gate.theta) ==
               std::bit_cast<std::uint64_t>(gb.gate.theta) &&
           std::bit_cast<std::uint64_t>(ga->gate.phi) ==
               std::bit_cast<std::uint64_t>(gb.gate.phi) &&
           std::bit_cast<std::uint64_t>(ga->gate.lambda) ==
               std::bit_cast<std::uint64_t>(gb.gate.lambda) &&
           ga->qubits == gb.qubits;
  }
  if (const auto* ma = std::get_if<Measure>(&a)) {
    const auto& mb = std::get<Measure>(b);
    return ma->qubit == mb.qubit && ma->cbit == mb.cbit;
  }
  return true;
}

void expect_same_circuit(const Circuit& a, const Circuit& b) {
  EXPECT_EQ(a.n_qubits(), b.n_qubits());
  EXPECT_EQ(a.n_cbits(), b.n_cbits());
  EXPECT_EQ(std::bit_cast<std::uint64_t>(a.global_phase()),
            std::bit_cast<std::uint64_t>(b.global_phase()));
  ASSERT_EQ(a.ops().size(), b.ops().size());
  for (std::size_t i = 0; i < a.ops().size(); ++i) {
    EXPECT_TRUE(same_op(a.ops()[i], b.ops()[i])) << "operation " << i;
  }
}

const GateOp& gate_at(const Circuit& c, std::size_t i) { return std::get<GateOp>(c.ops().at(i)); }

TEST(CircuitTest, NewCircuitIsEmpty) {
  const Circuit c(3);
  EXPECT_EQ(c.n_qubits(), 3u);
  EXPECT_EQ(c.n_cbits(), 0u);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(c.global_phase()), 0u);
  EXPECT_TRUE(c.ops().empty());
}

struct AppendCase {
  const char* name;
  std::function<void(Circuit&)> append;
  GateKind kind;
  std::vector<std::uint64_t> operands;
};

TEST(CircuitTest, EachConvenienceAppendStoresItsKindAndOperandsInArgumentOrder) {
  const std::vector<AppendCase> cases = {
      {"h", [](Circuit& c) { c.h(3); }, GateKind::H, {3}},
      {"x", [](Circuit& c) { c.x(3); }, GateKind::X, {3}},
      {"y", [](Circuit& c) { c.y(3); }, GateKind::Y, {3}},
      {"z", [](Circuit& c) { c.z(3); }, GateKind::Z, {3}},
      {"s", [](Circuit& c) { c.s(3); }, GateKind::S, {3}},
      {"sdg", [](Circuit& c) { c.sdg(3); }, GateKind::Sdg, {3}},
      {"t", [](Circuit& c) { c.t(3); }, GateKind::T, {3}},
      {"tdg", [](Circuit& c) { c.tdg(3); }, GateKind::Tdg, {3}},
      {"id", [](Circuit& c) { c.id(3); }, GateKind::Id, {3}},
      {"rx", [](Circuit& c) { c.rx(0.25, 3); }, GateKind::Rx, {3}},
      {"ry", [](Circuit& c) { c.ry(0.25, 3); }, GateKind::Ry, {3}},
      {"rz", [](Circuit& c) { c.rz(0.25, 3); }, GateKind::Rz, {3}},
      {"u3", [](Circuit& c) { c.u3(0.25, 0.5, 0.75, 3); }, GateKind::U3, {3}},
      {"cx", [](Circuit& c) { c.cx(3, 1); }, GateKind::CX, {3, 1}},
      {"cz", [](Circuit& c) { c.cz(3, 1); }, GateKind::CZ, {3, 1}},
      {"swap", [](Circuit& c) { c.swap(3, 1); }, GateKind::SWAP, {3, 1}},
      {"ccx", [](Circuit& c) { c.ccx(3, 0, 2); }, GateKind::CCX, {3, 0, 2}},
      {"cswap", [](Circuit& c) { c.cswap(2, 3, 0); }, GateKind::CSWAP, {2, 3, 0}},
  };
  for (const AppendCase& tc : cases) {
    SCOPED_TRACE(tc.name);
    Circuit c(4);
    tc.append(c);
    ASSERT_EQ(c.ops().size(), 1u);
    const GateOp& op = gate_at(c, 0);
    EXPECT_EQ(op.kind(), tc.kind);
    EXPECT_EQ(operation_tag(c.ops()[0]), static_cast<std::uint8_t>(tc.kind));
    ASSERT_EQ(op.arity(), tc.operands.size());
    for (std::size_t k = 0; k < tc.operands.size(); ++k) {
      EXPECT_EQ(op.qubits[k], tc.operands[k]) << "operand " << k;
    }
  }
}

TEST(CircuitTest, AnglesAreStoredAsGiven) {
  Circuit c(1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  c.rx(nan, 0);
  c.ry(-0.0, 0);
  c.rz(-inf, 0);
  c.u3(1e300, -2.5, 7.0, 0);
  EXPECT_TRUE(std::isnan(gate_at(c, 0).gate.theta));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(gate_at(c, 1).gate.theta), 0x8000000000000000u);
  EXPECT_EQ(gate_at(c, 2).gate.theta, -inf);
  EXPECT_EQ(gate_at(c, 3).gate.theta, 1e300);
  EXPECT_EQ(gate_at(c, 3).gate.phi, -2.5);
  EXPECT_EQ(gate_at(c, 3).gate.lambda, 7.0);
}

TEST(CircuitTest, RepeatedOperandsAreAccepted) {
  Circuit c(2);
  c.cx(1, 1);
  c.ccx(0, 0, 1);
  c.swap(0, 0);
  ASSERT_EQ(c.ops().size(), 3u);
  EXPECT_EQ(gate_at(c, 0).qubits[0], 1u);
  EXPECT_EQ(gate_at(c, 0).qubits[1], 1u);
  EXPECT_EQ(gate_at(c, 1).qubits[2], 1u);
}

TEST(CircuitTest, OutOfRangeOperandIsRefusedWithTheFirstOffenderAndNoChange) {
  Circuit c(2);
  c.h(0);
  c.measure(1, 3);
  c.add_global_phase(0.5);
  const Circuit before = c;

  struct Refusal {
    std::function<void(Circuit&)> append;
    const char* message;
  };
  const std::vector<Refusal> refusals = {
      {[](Circuit& k) { k.cx(5, 7); }, "큐비트 인덱스 5가 범위를 벗어남 (n_qubits=2)"},
      {[](Circuit& k) { k.cx(0, 7); }, "큐비트 인덱스 7가 범위를 벗어남 (n_qubits=2)"},
      {[](Circuit& k) { k.h(2); }, "큐비트 인덱스 2가 범위를 벗어남 (n_qubits=2)"},
      {[](Circuit& k) { k.rz(1.0, 2); }, "큐비트 인덱스 2가 범위를 벗어남 (n_qubits=2)"},
      {[](Circuit& k) { k.u3(1.0, 2.0, 3.0, 9); }, "큐비트 인덱스 9가 범위를 벗어남 (n_qubits=2)"},
      {[](Circuit& k) { k.ccx(0, 1, 4); }, "큐비트 인덱스 4가 범위를 벗어남 (n_qubits=2)"},
      {[](Circuit& k) { k.ccx(1, 3, 2); }, "큐비트 인덱스 3가 범위를 벗어남 (n_qubits=2)"},
      {[](Circuit& k) { k.cswap(0, 1, UINT64_MAX); },
       "큐비트 인덱스 18446744073709551615가 범위를 벗어남 (n_qubits=2)"},
      {[](Circuit& k) { k.measure(3, 0); }, "큐비트 인덱스 3가 범위를 벗어남 (n_qubits=2)"},
      {[](Circuit& k) { k.measure(2, 100); }, "큐비트 인덱스 2가 범위를 벗어남 (n_qubits=2)"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.message);
    EXPECT_EQ(abort_message([&] { r.append(c); }), r.message);
    expect_same_circuit(c, before);
  }
}

TEST(CircuitTest, ZeroQubitCircuitRefusesEveryOperandButAcceptsMeasureAll) {
  Circuit c(0);
  EXPECT_EQ(abort_message([&] { c.x(0); }), "큐비트 인덱스 0가 범위를 벗어남 (n_qubits=0)");
  EXPECT_EQ(abort_message([&] { c.measure(0, 0); }),
            "큐비트 인덱스 0가 범위를 벗어남 (n_qubits=0)");
  EXPECT_TRUE(c.ops().empty());
  EXPECT_EQ(c.n_cbits(), 0u);
  c.measure_all();
  ASSERT_EQ(c.ops().size(), 1u);
  EXPECT_TRUE(std::holds_alternative<MeasureAll>(c.ops()[0]));
  EXPECT_EQ(operation_tag(c.ops()[0]), MEASURE_ALL_TAG);
  EXPECT_EQ(c.n_cbits(), 0u);
}

TEST(CircuitTest, MeasureRaisesCbitCountAndMeasureAllAssignsIt) {
  Circuit c(2);
  c.measure(0, 5);
  EXPECT_EQ(c.n_cbits(), 6u);
  c.measure(1, 2);
  EXPECT_EQ(c.n_cbits(), 6u);
  c.measure(1, 6);
  EXPECT_EQ(c.n_cbits(), 7u);
  c.measure_all();
  EXPECT_EQ(c.n_cbits(), 2u);  // lowered, not kept at the larger count
  c.measure(0, 0);
  EXPECT_EQ(c.n_cbits(), 2u);
  ASSERT_EQ(c.ops().size(), 5u);
  const auto& m = std::get<Measure>(c.ops()[0]);
  EXPECT_EQ(m.qubit, 0u);
  EXPECT_EQ(m.cbit, 5u);
  EXPECT_EQ(operation_tag(c.ops()[0]), MEASURE_TAG);
  EXPECT_TRUE(std::holds_alternative<MeasureAll>(c.ops()[3]));
}

TEST(CircuitTest, MeasureAllRaisesCbitCountToo) {
  Circuit c(5);
  c.measure(0, 1);
  c.measure_all();
  EXPECT_EQ(c.n_cbits(), 5u);
}

TEST(CircuitTest, MeasuringTheSameQubitTwiceAppendsTwoOperations) {
  Circuit c(1);
  c.measure(0, 0);
  c.measure(0, 0);
  EXPECT_EQ(c.ops().size(), 2u);
  EXPECT_EQ(c.n_cbits(), 1u);
}

TEST(CircuitTest, LargestCbitSaturatesTheCountInsteadOfWrappingToZero) {
  Circuit c(1);
  c.measure(0, UINT64_MAX);
  EXPECT_EQ(c.n_cbits(), UINT64_MAX);
}

TEST(CircuitTest, OperandListOfTheWrongLengthIsRefusedWithoutChange) {
  Circuit c(3);
  c.h(0);
  const Circuit before = c;
  EXPECT_NE(abort_message([&] { c.append_gate({GateKind::CX}, {0}); }), "<no abort>");
  EXPECT_NE(abort_message([&] { c.append_gate({GateKind::H}, {0, 1}); }), "<no abort>");
  EXPECT_NE(abort_message([&] { c.append_gate({GateKind::CSWAP}, {0, 1, 2, 0}); }), "<no abort>");
  expect_same_circuit(c, before);
  c.append_gate({GateKind::CSWAP}, {0, 1, 2});
  EXPECT_EQ(c.ops().size(), 2u);
}

TEST(CircuitTest, CopyIsAnIndependentValue) {
  Circuit original(3);
  original.ccx(0, 1, 2);
  original.measure(2, 4);
  original.add_global_phase(1.25);
  Circuit copy = original;
  expect_same_circuit(copy, original);

  copy.x(1);
  copy.measure_all();
  copy.add_global_phase(1.0);
  EXPECT_EQ(original.ops().size(), 2u);
  EXPECT_EQ(original.n_cbits(), 5u);
  EXPECT_EQ(original.global_phase(), 1.25);
  EXPECT_EQ(copy.ops().size(), 4u);
  EXPECT_EQ(copy.n_cbits(), 3u);
  EXPECT_EQ(copy.global_phase(), 2.25);
}

TEST(CircuitTest, GlobalPhaseAccumulates) {
  Circuit c(1);
  c.add_global_phase(0.1);
  c.add_global_phase(0.2);
  EXPECT_EQ(c.global_phase(), 0.1 + 0.2);
  EXPECT_TRUE(c.ops().empty());
}

}  // namespace
}  // namespace vorn::sim
