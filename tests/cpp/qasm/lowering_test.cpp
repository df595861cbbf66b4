// Register tables, measurement lowering, refused constructs with their planned releases, the
// order of the two passes and the entry point's stage order.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "qasm/lowering.h"
#include "text.h"

namespace vorn::qasm {
namespace {

using test::cat;

sim::Circuit read(std::string_view text) {
  Result<sim::Circuit> circuit = parse_qasm(text);
  if (!circuit.ok()) {
    ADD_FAILURE() << circuit.error().render();
    return sim::Circuit(0);
  }
  return std::move(circuit).value();
}

QasmError failure(std::string_view text) {
  Result<sim::Circuit> circuit = parse_qasm(text);
  if (circuit.ok()) {
    ADD_FAILURE() << "accepted: " << text;
    return lower_error("accepted");
  }
  return circuit.error();
}

// (qubit, cbit) of every Measure, and "G<tag>(q..)" of every gate.
std::vector<std::string> ops_of(const sim::Circuit& circuit) {
  std::vector<std::string> out;
  for (const sim::Operation& op : circuit.ops()) {
    std::string text;
    if (const auto* m = std::get_if<sim::Measure>(&op)) {
      text += "M(";
      text += std::to_string(m->qubit);
      text += ",";
      text += std::to_string(m->cbit);
    } else if (const auto* g = std::get_if<sim::GateOp>(&op)) {
      text += "G";
      text += std::to_string(static_cast<int>(g->kind()));
      text += "(";
      for (unsigned k = 0; k < g->arity(); ++k) {
        text += k > 0 ? "," : "";
        text += std::to_string(g->qubits[k]);
      }
    } else {
      continue;
    }
    out.push_back(text + ")");
  }
  return out;
}

using S = std::vector<std::string>;

TEST(Lowering, BellProgram) {
  const sim::Circuit c = read(
      "OPENQASM 2.0; include \"qelib1.inc\"; qreg q[2]; creg c[2]; h q[0]; cx q[0],q[1]; "
      "measure q -> c;");
  EXPECT_EQ(ops_of(c), (S{"G0(0)", "G13(0,1)", "M(0,0)", "M(1,1)"}));
  EXPECT_EQ(c.n_qubits(), 2u);
  EXPECT_EQ(c.n_cbits(), 2u);
  EXPECT_EQ(c.global_phase(), 0.0);
}

TEST(Lowering, RegistersTileTheFlatRange) {
  EXPECT_EQ(ops_of(read("OPENQASM 2.0; qreg a[2]; qreg b[3]; x a; x b;")),
            (S{"G1(0)", "G1(1)", "G1(2)", "G1(3)", "G1(4)"}));
  EXPECT_EQ(read("OPENQASM 2.0; qreg a[2]; qreg b[3];").n_qubits(), 5u);
  EXPECT_EQ(ops_of(read("OPENQASM 3.0; qubit x; qubit[2] y; h y; h x;")),
            (S{"G0(1)", "G0(2)", "G0(0)"}));
  // A qubit and a classical register may share a name.
  EXPECT_EQ(ops_of(read("OPENQASM 2.0; qreg q[1]; creg q[1]; measure q -> q;")), S{"M(0,0)"});
}

TEST(Lowering, EmptyPrograms) {
  const sim::Circuit c = read("OPENQASM 3.0;");
  EXPECT_EQ(c.n_qubits(), 0u);
  EXPECT_TRUE(c.ops().empty());
  const sim::Circuit zero = read("OPENQASM 2.0; qreg q[0]; creg c[0]; measure q -> c;");
  EXPECT_TRUE(zero.ops().empty());
  EXPECT_EQ(zero.n_cbits(), 0u);
}

TEST(Lowering, ClassicalBitCountComesFromMeasurements) {
  EXPECT_EQ(read("OPENQASM 2.0; qreg q[1]; creg c[4]; measure q[0] -> c[2];").n_cbits(), 3u);
  EXPECT_EQ(read("OPENQASM 2.0; qreg q[1]; creg c[4]; h q;").n_cbits(), 0u);
  const sim::Circuit c = read(
      "OPENQASM 2.0; qreg q[1]; creg a[2]; creg b[2]; "
      "measure q[0] -> b[1];");
  EXPECT_EQ(ops_of(c), S{"M(0,3)"});
  EXPECT_EQ(c.n_cbits(), 4u);
}

TEST(Lowering, AssignmentFormMeasuresLikeTheArrowForm) {
  const char* arrow = "OPENQASM 3.0; qubit[3] q; bit[3] c; measure q -> c; measure q[1] -> c[0];";
  const char* assign = "OPENQASM 3.0; qubit[3] q; bit[3] c; c = measure q; c[0] = measure q[1];";
  EXPECT_EQ(ops_of(read(arrow)), ops_of(read(assign)));
  EXPECT_EQ(ops_of(read(assign)), (S{"M(0,0)", "M(1,1)", "M(2,2)", "M(1,0)"}));
}

TEST(Lowering, MeasurementErrors) {
  EXPECT_EQ(failure("OPENQASM 2.0; qreg q[2]; creg c[2];\nmeasure q -> c[0];").render(),
            "qasm lower error: measure at line 2:1: qubit/cbit broadcast size mismatch (2 vs 1)");
  // A single qubit is not broadcast against a classical register.
  EXPECT_EQ(failure("OPENQASM 2.0; qreg q[2]; creg c[2]; measure q[0] -> c;").render(),
            "qasm lower error: measure at line 1:37: qubit/cbit broadcast size mismatch "
            "(1 vs 2)");
}

TEST(Lowering, MeasurementOperandErrors) {
  const QasmError cbit = failure("OPENQASM 2.0; qreg q[2]; creg c[2]; measure q[0] -> c[5];");
  EXPECT_EQ(cbit.kind, QasmErrorKind::CbitOutOfRange);
  EXPECT_EQ(cbit.render(), "qasm cbit index 5 out of range (n_cbits=2)");
  EXPECT_EQ(failure("OPENQASM 2.0; creg c[2];\n  measure r[0] -> c[0];").render(),
            "qasm lower error: at line 2:3: undefined qreg/qubit register \"r\"");
  EXPECT_EQ(failure("OPENQASM 2.0; qreg q[2]; measure q[0] -> d[0];").render(),
            "qasm lower error: at line 1:26: undefined creg/bit register \"d\"");
  const QasmError qubit = failure("OPENQASM 2.0; qreg q[2]; creg c[2]; measure q[7] -> c[0];");
  EXPECT_EQ(qubit.kind, QasmErrorKind::QubitOutOfRange);
  EXPECT_EQ(qubit.render(), "qasm qubit index 7 out of range (n_qubits=2)");
  EXPECT_EQ(failure("OPENQASM 3.0; qubit[2] q; bit[2] c;\nc[3] = measure q[0];").render(),
            "qasm cbit index 3 out of range (n_cbits=2)");
}

TEST(Lowering, MeasurementSizeMismatchBeforeOversizedWork) {
  // Mismatch is checked on the counts; nothing is spelled out.
  EXPECT_EQ(
      failure("OPENQASM 2.0; qreg q[9223372036854775807]; creg c[1]; measure q -> c;").render(),
      "qasm lower error: measure at line 1:55: qubit/cbit broadcast size mismatch "
      "(9223372036854775807 vs 1)");
  EXPECT_EQ(failure("OPENQASM 2.0; qreg q[9223372036854775807]; creg c[9223372036854775807]; "
                    "measure q -> c;")
                .render(),
            "qasm lower error: measure at line 1:73: the circuit would exceed 16777216 "
            "operations");
}

TEST(Lowering, RegisterCountsThatOverflowAreRefused) {
  EXPECT_EQ(failure("OPENQASM 2.0; qreg a[9223372036854775807]; qreg b[9223372036854775807]; "
                    "qreg c[2];")
                .render(),
            "qasm lower error: qreg/qubit declaration \"c\" makes the qubit count exceed "
            "18446744073709551615");
  EXPECT_EQ(failure("OPENQASM 3.0; bit[9223372036854775807] a; bit[9223372036854775807] b; "
                    "bit[2] c;")
                .render(),
            "qasm lower error: creg/bit declaration \"c\" makes the classical-bit count exceed "
            "18446744073709551615");
}

TEST(Lowering, Duplicates) {
  EXPECT_EQ(failure("OPENQASM 3.0; qreg q[2]; qubit q;").render(),
            "qasm lower error: duplicate qreg/qubit declaration \"q\"");
  EXPECT_EQ(failure("OPENQASM 3.0; bit c; creg c[2];").render(),
            "qasm lower error: duplicate creg/bit declaration \"c\"");
  EXPECT_EQ(failure("OPENQASM 2.0; gate g a { } gate g b { h b; }").render(),
            "qasm lower error: duplicate gate definition \"g\"");
  // A definition that shadows a built-in is stored, so a second one is a duplicate.
  EXPECT_EQ(failure("OPENQASM 2.0; gate h a { } gate h a { }").render(),
            "qasm lower error: duplicate gate definition \"h\"");
}

TEST(Lowering, Includes) {
  EXPECT_TRUE(parse_qasm("OPENQASM 2.0; include \"stdgates.inc\";").ok());
  EXPECT_TRUE(parse_qasm("OPENQASM 3.0; include \"qelib1.inc\";").ok());
  const QasmError other = failure("OPENQASM 2.0;\ninclude \"foo.inc\";");
  EXPECT_EQ(other.kind, QasmErrorKind::Unsupported);
  EXPECT_EQ(other.render(),
            "qasm unsupported feature: include of \"foo.inc\" at line 2:1 not supported (only "
            "qelib1.inc / stdgates.inc) (planned for v0.4+)");
  EXPECT_EQ(failure("OPENQASM 2.0; include \"lib\\\\x\\qelib1.inc\";").message,
            "include of \"lib\\\\\\\\x\\\\qelib1.inc\" at line 1:15 not supported (only "
            "qelib1.inc / stdgates.inc)");
  EXPECT_EQ(failure("OPENQASM 2.0; include \"QELIB1.inc\";").kind, QasmErrorKind::Unsupported);
}

TEST(Lowering, DynamicConstructsAreRefusedWithTheirRelease) {
  EXPECT_EQ(failure("OPENQASM 2.0; opaque g(a) q;").render(),
            "qasm unsupported feature: opaque gate declaration \"g\" at line 1:15 not supported "
            "(planned for v0.5)");
  EXPECT_EQ(failure("OPENQASM 2.0; qreg q[1];\n reset q[0];").render(),
            "qasm unsupported feature: 'reset' at line 2:2 requires mid-circuit measurement "
            "(planned for v0.5)");
  EXPECT_EQ(failure("OPENQASM 2.0; qreg q[1]; creg c[1];\nif (c == 1) x q[0];").render(),
            "qasm unsupported feature: classical control flow 'if (c == N) ...' at line 2:1 "
            "requires mid-circuit measurement (planned for v0.5)");
  // The condition and body of an if are not examined.
  EXPECT_EQ(failure("OPENQASM 2.0; if (nosuch == 1) nosuch q[99];").kind,
            QasmErrorKind::Unsupported);
  const char* keywords[] = {"for i in [0:1] { x q[i]; }", "while (c) { }", "box { h q; }",
                            "def f() { }", "else { }"};
  const char* names[] = {"for", "while", "box", "def", "else"};
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(failure(cat({"OPENQASM 3.0; qubit[1] q;\n\n", keywords[k]})).render(),
              cat({"qasm unsupported feature: OpenQASM 3.0 '", names[k],
                   "' (dynamic circuits) at line 3:1 (planned for v0.5)"}));
  }
}

TEST(Lowering, BarriersAppendNothingAndLookNothingUp) {
  const sim::Circuit c = read("OPENQASM 2.0; qreg q[1]; barrier nosuchreg; barrier q; barrier;");
  EXPECT_TRUE(c.ops().empty());
}

TEST(LoweringOrder, DeclarationsMayFollowTheirUse) {
  const sim::Circuit c = read("OPENQASM 2.0; h q[0]; qreg q[1];");
  EXPECT_EQ(ops_of(c), S{"G0(0)"});
  EXPECT_EQ(read("OPENQASM 2.0; measure q[0] -> c[1]; qreg q[1]; creg c[2];").n_cbits(), 2u);
}

TEST(LoweringOrder, PassOneErrorsComeFirst) {
  // The reset stands earlier, but the opaque is found in pass 1.
  EXPECT_EQ(failure("OPENQASM 2.0; qreg q[1]; reset q[0]; opaque g q;").message,
            "opaque gate declaration \"g\" at line 1:38 not supported");
  EXPECT_EQ(failure("OPENQASM 2.0; nosuch q; include \"x.inc\";").kind, QasmErrorKind::Unsupported);
  EXPECT_EQ(failure("OPENQASM 2.0; h q[5]; qreg q[1]; qreg q[1];").message,
            "duplicate qreg/qubit declaration \"q\"");
  // Within a pass the first failing statement in text order decides.
  EXPECT_EQ(failure("OPENQASM 2.0; include \"a.inc\"; opaque g q;").message.substr(0, 10),
            "include of");
  EXPECT_EQ(failure("OPENQASM 2.0; qreg q[1]; nosuch q; reset q;").kind,
            QasmErrorKind::UnknownGate);
}

TEST(LoweringOrder, StagesRunLexParseLower) {
  // A lexical error anywhere wins over an earlier syntax error and any lowering error.
  EXPECT_EQ(failure("OPENQASM 2.0; h q[5]; qreg ; $").kind, QasmErrorKind::Lex);
  EXPECT_EQ(failure("OPENQASM 2.0; include \"x.inc\"; qreg ;").kind, QasmErrorKind::Parse);
}

TEST(Lowering, TheVersionIsNotConsulted) {
  const char* body = " qreg q[2]; qubit r; creg c[2]; h q; cx q[0], r; c = measure q;";
  EXPECT_EQ(ops_of(read(cat({"OPENQASM 2.0;", body}))), ops_of(read(cat({"OPENQASM 3;", body}))));
}

TEST(Lowering, ComparesExactBitsOfAngles) {
  const sim::Circuit c = read(
      "OPENQASM 2.0; qreg q[1]; rz(0.1+0.2) q[0]; u3(1e-300, -0.0, "
      "1/3) q[0];");
  const auto& rz = std::get<sim::GateOp>(c.ops()[0]);
  const auto& u3 = std::get<sim::GateOp>(c.ops()[1]);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(rz.gate.theta), std::bit_cast<std::uint64_t>(0.1 + 0.2));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(u3.gate.theta), std::bit_cast<std::uint64_t>(1e-300));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(u3.gate.phi), std::bit_cast<std::uint64_t>(-0.0));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(u3.gate.lambda), std::bit_cast<std::uint64_t>(1.0 / 3));
}

}  // namespace
}  // namespace vorn::qasm
