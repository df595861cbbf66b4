// The OpenQASM writer, both dialects, line by line.
#include "qasm/exporter.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "../support/operation_tag.h"
#include "qasm/format.h"
#include "qasm/lowering.h"
#include "random_circuit.h"
#include "simulator/engine.h"
#include "simulator/unitary.h"

namespace vorn::qasm {
namespace {

using sim::Circuit;

constexpr const char* kHeader2 = "OPENQASM 2.0;\ninclude \"qelib1.inc\";\n";
constexpr const char* kHeader3 = "OPENQASM 3.0;\ninclude \"stdgates.inc\";\n";

std::string v2(const Circuit& c) { return export_qasm(c, QasmVersion::V2); }
std::string v3(const Circuit& c) { return export_qasm(c, QasmVersion::V3); }

TEST(ExportQasm, BellCircuitBothDialects) {
  Circuit c(2);
  c.h(0);
  c.cx(0, 1);
  c.measure_all();
  EXPECT_EQ(v2(c),
            "OPENQASM 2.0;\n"
            "include \"qelib1.inc\";\n"
            "qreg q[2];\n"
            "creg c[2];\n"
            "h q[0];\n"
            "cx q[0],q[1];\n"
            "measure q[0] -> c[0];\n"
            "measure q[1] -> c[1];\n");
  EXPECT_EQ(v3(c),
            "OPENQASM 3.0;\n"
            "include \"stdgates.inc\";\n"
            "qubit[2] q;\n"
            "bit[2] c;\n"
            "h q[0];\n"
            "cx q[0],q[1];\n"
            "c[0] = measure q[0];\n"
            "c[1] = measure q[1];\n");
}

TEST(ExportQasm, EmptyCircuitsDeclareOnlyTheQuantumRegister) {
  EXPECT_EQ(v2(Circuit(3)), std::string(kHeader2) + "qreg q[3];\n");
  EXPECT_EQ(v3(Circuit(3)), std::string(kHeader3) + "qubit[3] q;\n");
  EXPECT_EQ(v2(Circuit(0)), std::string(kHeader2) + "qreg q[0];\n");
  EXPECT_EQ(v3(Circuit(0)), std::string(kHeader3) + "qubit[0] q;\n");
  Circuit zero(0);
  zero.measure_all();
  EXPECT_EQ(v2(zero), std::string(kHeader2) + "qreg q[0];\n");
}

TEST(ExportQasm, EveryGateKindWithTheSameNamesInBothDialects) {
  Circuit c(3);
  c.h(0);
  c.x(1);
  c.y(2);
  c.z(0);
  c.s(1);
  c.sdg(2);
  c.t(0);
  c.tdg(1);
  c.id(2);
  c.rx(0.5, 1);
  c.ry(-0.0, 0);
  c.rz(1.0, 0);
  c.rx(1e-7, 0);
  c.u3(3.141592653589793, -1.5707963267948966, 1e21, 2);
  c.cx(2, 0);
  c.cz(1, 2);
  c.swap(0, 2);
  c.ccx(2, 1, 0);
  c.cswap(1, 0, 2);
  const std::string body =
      "h q[0];\n"
      "x q[1];\n"
      "y q[2];\n"
      "z q[0];\n"
      "s q[1];\n"
      "sdg q[2];\n"
      "t q[0];\n"
      "tdg q[1];\n"
      "id q[2];\n"
      "rx(0.5) q[1];\n"
      "ry(-0) q[0];\n"
      "rz(1) q[0];\n"
      "rx(0.0000001) q[0];\n"
      "u3(3.141592653589793,-1.5707963267948966,1000000000000000000000) q[2];\n"
      "cx q[2],q[0];\n"
      "cz q[1],q[2];\n"
      "swap q[0],q[2];\n"
      "ccx q[2],q[1],q[0];\n"
      "cswap q[1],q[0],q[2];\n";
  EXPECT_EQ(v2(c), std::string(kHeader2) + "qreg q[3];\n" + body);
  EXPECT_EQ(v3(c), std::string(kHeader3) + "qubit[3] q;\n" + body);
}

TEST(ExportQasm, NonFiniteAnglesAreWrittenAsStored) {
  Circuit c(1);
  c.rx(std::numeric_limits<double>::quiet_NaN(), 0);
  c.rz(-std::numeric_limits<double>::infinity(), 0);
  EXPECT_EQ(v2(c), std::string(kHeader2) + "qreg q[1];\nrx(NaN) q[0];\nrz(-inf) q[0];\n");
}

TEST(ExportQasm, SingleMeasureDeclaresTheLargerBitCount) {
  Circuit c(2);
  c.measure(1, 4);
  EXPECT_EQ(v2(c), std::string(kHeader2) + "qreg q[2];\ncreg c[5];\nmeasure q[1] -> c[4];\n");
  EXPECT_EQ(v3(c), std::string(kHeader3) + "qubit[2] q;\nbit[5] c;\nc[4] = measure q[1];\n");
}

TEST(ExportQasm, MeasureAllLowersTheDeclaredSizeButKeepsEarlierBitIndices) {
  Circuit c(2);
  c.measure(0, 5);
  c.measure_all();
  EXPECT_EQ(v2(c), std::string(kHeader2) +
                       "qreg q[2];\ncreg c[2];\n"
                       "measure q[0] -> c[5];\n"
                       "measure q[0] -> c[0];\n"
                       "measure q[1] -> c[1];\n");
}

TEST(ExportQasm, GlobalPhaseLineAfterTheRegisters) {
  Circuit c(1);
  sim::append_unitary(c, {{{0, 0}, {1, 0}, {1, 0}, {0, 0}}}, 0);
  c.measure(0, 0);
  const std::string gates =
      "rz(0) q[0];\n"
      "ry(3.141592653589793) q[0];\n"
      "rz(-3.141592653589793) q[0];\n"
      "measure q[0] -> c[0];\n";
  EXPECT_EQ(v2(c), std::string(kHeader2) + "qreg q[1];\ncreg c[1];\n" +
                       "// global_phase: 1.5707963267948966\n" + gates);
  EXPECT_EQ(v3(c), std::string(kHeader3) + "qubit[1] q;\nbit[1] c;\n" +
                       "gphase(1.5707963267948966);\n" + "rz(0) q[0];\n" +
                       "ry(3.141592653589793) q[0];\n" + "rz(-3.141592653589793) q[0];\n" +
                       "c[0] = measure q[0];\n");
}

TEST(ExportQasm, ZeroPhaseWritesNoLineAndNaNPhaseIsWritten) {
  Circuit c(1);
  c.add_global_phase(0.75);
  c.add_global_phase(-0.75);
  EXPECT_EQ(v2(c), std::string(kHeader2) + "qreg q[1];\n");

  c.add_global_phase(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(v2(c), std::string(kHeader2) + "qreg q[1];\n// global_phase: NaN\n");
  EXPECT_EQ(v3(c), std::string(kHeader3) + "qubit[1] q;\ngphase(NaN);\n");
}

TEST(ExportQasm, LargeIndicesAndLongCircuits) {
  Circuit c(UINT64_MAX);
  c.cx(UINT64_MAX - 1, 12345678901234567890ull);
  EXPECT_EQ(v2(c), std::string(kHeader2) + "qreg q[18446744073709551615];\n" +
                       "cx q[18446744073709551614],q[12345678901234567890];\n");

  // Each line is written once: the text of n copies is the header plus n equal lines.
  Circuit many(4);
  for (int k = 0; k < 100000; ++k) {
    many.rz(0.7853981633974483, 3);
  }
  const std::string text = v3(many);
  const std::string line = "rz(0.7853981633974483) q[3];\n";
  const std::string head = std::string(kHeader3) + "qubit[4] q;\n";
  ASSERT_EQ(text.size(), head.size() + 100000 * line.size());
  EXPECT_EQ(text.compare(text.size() - line.size(), line.size(), line), 0);
}

TEST(ExportQasm, MeasureAllTooLargeForMemoryFailsAtOnce) {
  Circuit c(std::uint64_t{1} << 62);
  c.h(5);
  EXPECT_NO_THROW(v2(c));
  c.measure_all();
  EXPECT_THROW(v2(c), std::bad_alloc);
  EXPECT_THROW(v3(c), std::bad_alloc);
}

// A random circuit using every gate kind, measurements and a global phase. Classical bits stay
// below n_qubits, so a MeasureAll never lowers n_cbits under a bit measured before it, and
// angles stay below 2^63 in magnitude: the only exported texts that do not read back.
Circuit random_circuit(std::mt19937_64& rng, std::uint64_t n) {
  std::uniform_int_distribution<int> exponent(-15, 15);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  sim::test::RandomCircuitSpec spec;
  spec.qubits = n;
  spec.operations = rng() % 60;
  spec.choices = sim::test::every_gate_kind();
  using sim::test::Draw;
  for (const Draw draw : {Draw::Measure, Draw::MeasureAll, Draw::GlobalPhase, Draw::GlobalPhase}) {
    spec.choices.push_back({draw});
  }
  spec.angle = [&](std::mt19937_64& r) {
    // Every fifth angle is a whole number, which is written without a decimal point.
    const double x = unit(r) * std::pow(10.0, exponent(r));
    return r() % 5 == 0 ? std::round(x) : x;
  };
  return sim::test::random_circuit(rng, spec);
}

// The operations with each MeasureAll written out as one Measure per qubit.
std::vector<sim::Operation> expanded(const Circuit& c) {
  std::vector<sim::Operation> ops;
  for (const sim::Operation& op : c.ops()) {
    if (std::holds_alternative<sim::MeasureAll>(op)) {
      for (std::uint64_t q = 0; q < c.n_qubits(); ++q) {
        ops.emplace_back(sim::Measure{q, q});
      }
    } else {
      ops.push_back(op);
    }
  }
  return ops;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

void expect_same_operations(const Circuit& original, const Circuit& back) {
  const std::vector<sim::Operation> want = expanded(original);
  const std::vector<sim::Operation>& got = back.ops();
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < want.size(); ++k) {
    SCOPED_TRACE(k);
    ASSERT_EQ(vorn::test::operation_tag(got[k]), vorn::test::operation_tag(want[k]));
    if (const auto* w = std::get_if<sim::GateOp>(&want[k])) {
      const auto& g = std::get<sim::GateOp>(got[k]);
      EXPECT_EQ(g.qubits, w->qubits);
      const core::GateKind kind = w->kind();
      if (kind == core::GateKind::Rx || kind == core::GateKind::Ry || kind == core::GateKind::Rz ||
          kind == core::GateKind::U3) {
        EXPECT_EQ(bits(g.gate.theta), bits(w->gate.theta)) << format_angle(w->gate.theta);
      }
      if (kind == core::GateKind::U3) {
        EXPECT_EQ(bits(g.gate.phi), bits(w->gate.phi)) << format_angle(w->gate.phi);
        EXPECT_EQ(bits(g.gate.lambda), bits(w->gate.lambda)) << format_angle(w->gate.lambda);
      }
    } else {
      const auto& w_m = std::get<sim::Measure>(want[k]);
      const auto& g_m = std::get<sim::Measure>(got[k]);
      EXPECT_EQ(g_m.qubit, w_m.qubit);
      EXPECT_EQ(g_m.cbit, w_m.cbit);
    }
  }
}

std::vector<core::Complex<double>> final_state(const Circuit& c) {
  sim::SimulationResult r = sim::run(c, 0, std::uint64_t{0}, core::Precision::F64);
  const auto amplitudes = std::get<sim::RunResult<double>>(r).statevector.amplitudes();
  return {amplitudes.begin(), amplitudes.end()};
}

// Export, read back: the same operations with bit-identical angles. The 3.0 text keeps the
// global phase (so the run's state is bit-identical); the 2.0 text carries it only in a comment.
TEST(ExportQasm, ReadsBackToTheSameOperations) {
  std::mt19937_64 rng(77);
  for (int trial = 0; trial < 300; ++trial) {
    const Circuit c = random_circuit(rng, 3 + rng() % 3);
    for (const QasmVersion version : {QasmVersion::V2, QasmVersion::V3}) {
      const std::string text = export_qasm(c, version);
      SCOPED_TRACE(text);
      Result<Circuit> back = parse_qasm(text);
      ASSERT_TRUE(back.ok()) << back.error().render();
      const Circuit& b = back.value();
      EXPECT_EQ(b.n_qubits(), c.n_qubits());
      EXPECT_EQ(b.n_cbits(), c.n_cbits());
      expect_same_operations(c, b);
      if (version == QasmVersion::V3) {
        EXPECT_EQ(bits(b.global_phase()), bits(c.global_phase()));
        EXPECT_EQ(export_qasm(b, version), text);
        const auto want = final_state(c);
        const auto got = final_state(b);
        ASSERT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof want[0]), 0);
      } else {
        EXPECT_EQ(bits(b.global_phase()), bits(0.0));
      }
      if (HasFailure()) {
        return;
      }
    }
  }
}

}  // namespace
}  // namespace vorn::qasm
