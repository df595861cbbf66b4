// The built-in table, broadcasting, user gates with fresh environments, the inline depth, the
// expansion bounds and expression evaluation.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "qasm/gate_library.h"
#include "qasm/lexer.h"
#include "qasm/lowering.h"
#include "qasm/parser.h"
#include "simulator/engine.h"
#include "text.h"

namespace vorn::qasm {
namespace {

using test::cat;

using core::GateKind;

constexpr const char* KIND_NAMES[] = {"H",  "X",  "Y",  "Z",  "S",  "Sdg", "T",    "Tdg", "Rx",
                                      "Ry", "Rz", "U3", "Id", "CX", "CZ",  "SWAP", "CCX", "CSWAP"};

// Gate operations as text, angles as their exact decimal text: "Rx(0.5)(1)", "CX(0,1)".
std::vector<std::string> describe(const sim::Circuit& circuit) {
  std::vector<std::string> out;
  for (const sim::Operation& op : circuit.ops()) {
    if (const auto* gate = std::get_if<sim::GateOp>(&op)) {
      std::string text = KIND_NAMES[static_cast<int>(gate->kind())];
      switch (gate->kind()) {
        case GateKind::Rx:
        case GateKind::Ry:
        case GateKind::Rz:
          text += cat({"(", real_text(gate->gate.theta), ")"});
          break;
        case GateKind::U3:
          text += cat({"(", real_text(gate->gate.theta), ",", real_text(gate->gate.phi), ",",
                       real_text(gate->gate.lambda), ")"});
          break;
        default:
          break;
      }
      text += "(";
      for (unsigned k = 0; k < gate->arity(); ++k) {
        text += k > 0 ? "," : "";
        text += std::to_string(gate->qubits[k]);
      }
      out.push_back(text + ")");
    } else if (const auto* m = std::get_if<sim::Measure>(&op)) {
      std::string text = "Measure(";
      text += std::to_string(m->qubit);
      text += ",";
      text += std::to_string(m->cbit);
      out.push_back(text + ")");
    } else {
      out.push_back("MeasureAll");
    }
  }
  return out;
}

sim::Circuit read(std::string_view body) {
  Result<sim::Circuit> circuit = parse_qasm(cat({"OPENQASM 2.0;\n", body}));
  if (!circuit.ok()) {
    ADD_FAILURE() << circuit.error().render();
    return sim::Circuit(0);
  }
  return std::move(circuit).value();
}

std::vector<std::string> ops_of(std::string_view body) { return describe(read(body)); }

QasmError failure(std::string_view body) {
  Result<sim::Circuit> circuit = parse_qasm(cat({"OPENQASM 2.0;\n", body}));
  if (circuit.ok()) {
    ADD_FAILURE() << "accepted: " << body;
    return lower_error("accepted");
  }
  return circuit.error();
}

std::string failure_text(std::string_view body) { return failure(body).render(); }

using S = std::vector<std::string>;

TEST(BuiltinGates, SingleQubitKinds) {
  EXPECT_EQ(ops_of("qreg q[1]; h q[0]; x q[0]; y q[0]; z q[0]; s q[0]; sdg q[0]; t q[0]; "
                   "tdg q[0]; id q[0]; u0(5) q[0]; h(0.3) q[0];"),
            (S{"H(0)", "X(0)", "Y(0)", "Z(0)", "S(0)", "Sdg(0)", "T(0)", "Tdg(0)", "Id(0)", "Id(0)",
               "H(0)"}));
}

TEST(BuiltinGates, RotationsAndU3Family) {
  EXPECT_EQ(ops_of("qreg q[1]; rx(pi/2) q[0]; ry(0.25) q[0]; rz(-1) q[0]; U(1,2,3) q[0]; "
                   "u(1,2,3) q[0]; u3(1,2,3) q[0]; u2(0, pi) q[0]; u1(0.4) q[0]; p(0.4) q[0]; "
                   "phase(0.4) q[0];"),
            (S{"Rx(1.5707963267948966)(0)", "Ry(0.25)(0)", "Rz(-1.0)(0)", "U3(1.0,2.0,3.0)(0)",
               "U3(1.0,2.0,3.0)(0)", "U3(1.0,2.0,3.0)(0)",
               "U3(1.5707963267948966,0.0,3.141592653589793)(0)", "U3(0.0,0.0,0.4)(0)",
               "U3(0.0,0.0,0.4)(0)", "U3(0.0,0.0,0.4)(0)"}));
}

TEST(BuiltinGates, GlobalPhaseGates) {
  const sim::Circuit c = read("qreg q[1]; sx q[0]; sxdg q[0];");
  EXPECT_EQ(describe(c), (S{"Rx(1.5707963267948966)(0)", "Rx(-1.5707963267948966)(0)"}));
  EXPECT_EQ(c.global_phase(), 0.0);
  const sim::Circuit sx = read("qreg q[1]; sx q[0];");
  EXPECT_EQ(sx.global_phase(), 0.7853981633974483);
  const sim::Circuit g = read("gphase(0.25);");
  EXPECT_TRUE(g.ops().empty());
  EXPECT_EQ(g.global_phase(), 0.25);
  EXPECT_EQ(failure_text("qreg q[1]; gphase(0.25) q[0];"),
            "qasm gate 'gphase' at line 2:12 expected 0 qubits, got 1");
}

TEST(BuiltinGates, NativeMultiQubitKinds) {
  EXPECT_EQ(ops_of("qreg q[3]; cx q[0],q[1]; CX q[1],q[2]; cz q[2],q[0]; swap q[0],q[2]; "
                   "ccx q[0],q[1],q[2]; toffoli q[2],q[1],q[0]; cswap q[0],q[1],q[2]; "
                   "fredkin q[1],q[0],q[2]; cx q[1],q[1];"),
            (S{"CX(0,1)", "CX(1,2)", "CZ(2,0)", "SWAP(0,2)", "CCX(0,1,2)", "CCX(2,1,0)",
               "CSWAP(0,1,2)", "CSWAP(1,0,2)", "CX(1,1)"}));
}

TEST(BuiltinGates, ComposedSequences) {
  EXPECT_EQ(ops_of("qreg q[2]; cy q[0],q[1];"), (S{"Sdg(1)", "CX(0,1)", "S(1)"}));
  EXPECT_EQ(ops_of("qreg q[2]; ch q[1],q[0];"),
            (S{"S(0)", "H(0)", "T(0)", "CX(1,0)", "Tdg(0)", "H(0)", "Sdg(0)"}));
  EXPECT_EQ(ops_of("qreg q[2]; crx(0.5) q[0],q[1];"),
            (S{"U3(0.0,0.0,1.5707963267948966)(1)", "CX(0,1)", "U3(-0.25,0.0,0.0)(1)", "CX(0,1)",
               "U3(0.25,-1.5707963267948966,0.0)(1)"}));
  EXPECT_EQ(ops_of("qreg q[2]; cry(0.5) q[0],q[1];"),
            (S{"Ry(0.25)(1)", "CX(0,1)", "Ry(-0.25)(1)", "CX(0,1)"}));
  EXPECT_EQ(ops_of("qreg q[2]; crz(0.5) q[0],q[1];"),
            (S{"Rz(0.25)(1)", "CX(0,1)", "Rz(-0.25)(1)", "CX(0,1)"}));
  const S cp = {"U3(0.0,0.0,0.25)(0)", "CX(0,1)", "U3(0.0,0.0,-0.25)(1)", "CX(0,1)",
                "U3(0.0,0.0,0.25)(1)"};
  EXPECT_EQ(ops_of("qreg q[2]; cp(0.5) q[0],q[1];"), cp);
  EXPECT_EQ(ops_of("qreg q[2]; cu1(0.5) q[0],q[1];"), cp);
  const S cu3 = {
      "U3(0.0,0.0,2.5)(0)", "U3(0.0,0.0,0.5)(1)", "CX(0,1)", "U3(-0.5,0.0,-2.5)(1)", "CX(0,1)",
      "U3(0.5,2.0,0.0)(1)"};
  EXPECT_EQ(ops_of("qreg q[2]; cu3(1,2,3) q[0],q[1];"), cu3);
  S cu = {"U3(0.0,0.0,4.0)(0)"};
  cu.insert(cu.end(), cu3.begin(), cu3.end());
  EXPECT_EQ(ops_of("qreg q[2]; cu(1,2,3,4) q[0],q[1];"), cu);
}

using C = std::complex<double>;
using Block = std::array<C, 4>;  // row-major 2x2

Block block_of(const core::Gate& gate) {
  const auto m = core::matrix_2x2<double>(gate);
  return {C(m[0].re, m[0].im), C(m[1].re, m[1].im), C(m[2].re, m[2].im), C(m[3].re, m[3].im)};
}

// Runs `call` on two qubits prepared in each basis state and checks that the gate is the
// controlled version of `block` (control q[0], target q[1]), exactly including its phase.
void expect_controlled(const std::string& call, const Block& block) {
  SCOPED_TRACE(call);
  for (int input = 0; input < 4; ++input) {
    std::string text = "OPENQASM 2.0; qreg q[2];";
    text += (input & 1) != 0 ? " x q[0];" : "";
    text += (input & 2) != 0 ? " x q[1];" : "";
    text += cat({" ", call, " q[0], q[1];"});
    Result<sim::Circuit> circuit = parse_qasm(text);
    ASSERT_TRUE(circuit.ok()) << circuit.error().render();
    const auto result = sim::run(circuit.value(), 0, std::uint64_t{1}, core::Precision::F64);
    const auto amplitudes = std::get<sim::RunResult<double>>(result).statevector.amplitudes();
    const int target_in = input >> 1;
    for (int output = 0; output < 4; ++output) {
      C expected = 0.0;
      if ((input & 1) == 0) {
        expected = output == input ? 1.0 : 0.0;
      } else if ((output & 1) == 1) {
        expected = block[(output >> 1) * 2 + target_in];
      }
      const C got(amplitudes[output].re, amplitudes[output].im);
      EXPECT_NEAR(std::abs(got - expected), 0.0, 1e-12)
          << "input " << input << " output " << output;
    }
  }
}

TEST(BuiltinGates, ComposedSequencesAreTheControlledGates) {
  const double r = 1.0 / std::sqrt(2.0);
  const C i(0.0, 1.0);
  expect_controlled("cy", {0.0, -i, i, 0.0});
  expect_controlled("ch", {r, r, r, -r});
  expect_controlled("crx(0.7)", block_of({GateKind::Rx, 0.7}));
  expect_controlled("cry(0.7)", block_of({GateKind::Ry, 0.7}));
  expect_controlled("crz(0.7)", block_of({GateKind::Rz, 0.7}));
  expect_controlled("cp(0.7)", {1.0, 0.0, 0.0, std::exp(i * 0.7)});
  expect_controlled("cu1(-2.1)", {1.0, 0.0, 0.0, std::exp(i * -2.1)});
  expect_controlled("cu3(0.3, 1.1, -0.4)", block_of({GateKind::U3, 0.3, 1.1, -0.4}));
  Block cu = block_of({GateKind::U3, 0.3, 1.1, -0.4});
  for (C& entry : cu) {
    entry *= std::exp(i * 0.9);
  }
  expect_controlled("cu(0.3, 1.1, -0.4, 0.9)", cu);
}

TEST(BuiltinGates, ParameterCountErrorsShowTheTableName) {
  EXPECT_EQ(failure_text("qreg q[2];\nrx q[0];"),
            "qasm lower error: qasm gate 'rx' at line 3:1 expected 1 parameters, got 0");
  EXPECT_EQ(failure_text("qreg q[3]; toffoli(1) q[0],q[1],q[2];"),
            "qasm lower error: qasm gate 'ccx' at line 2:12 expected 0 parameters, got 1");
  EXPECT_EQ(failure_text("qreg q[2]; CX(1) q[0],q[1];"),
            "qasm lower error: qasm gate 'cx' at line 2:12 expected 0 parameters, got 1");
  EXPECT_EQ(failure_text("qreg q[1]; U(1,2) q[0];"),
            "qasm lower error: qasm gate 'U' at line 2:12 expected 3 parameters, got 2");
  EXPECT_EQ(failure_text("qreg q[1]; u2(1) q[0];"),
            "qasm lower error: qasm gate 'u2' at line 2:12 expected 2 parameters, got 1");
  EXPECT_EQ(failure_text("qreg q[2]; cu(1,2,3) q[0],q[1];"),
            "qasm lower error: qasm gate 'cu' at line 2:12 expected 4 parameters, got 3");
}

TEST(BuiltinGates, QubitCountErrors) {
  const QasmError rx = failure("qreg q[2]; rx(0.1) q[0], q[1];");
  EXPECT_EQ(rx.kind, QasmErrorKind::GateArity);
  EXPECT_EQ(rx.render(), "qasm gate 'rx' at line 2:12 expected 1 qubits, got 2");
  EXPECT_EQ(failure_text("qreg q[2]; fredkin q[0], q[1];"),
            "qasm gate 'cswap' at line 2:12 expected 3 qubits, got 2");
  EXPECT_EQ(failure_text("qreg q[2]; u3(1,2,3) q[0], q[1];"),
            "qasm gate 'u3' at line 2:12 expected 1 qubits, got 2");
  EXPECT_EQ(failure_text("h;"), "qasm gate 'h' at line 2:1 expected 1 qubits, got 0");
}

TEST(BuiltinGates, DirectApplication) {
  sim::Circuit circuit(2);
  const double values[] = {0.5};
  const std::uint64_t qubits[] = {1};
  Result<bool> handled = apply_builtin_gate(circuit, "ry", values, qubits, 1, 1);
  ASSERT_TRUE(handled.ok());
  EXPECT_TRUE(handled.value());
  Result<bool> other = apply_builtin_gate(circuit, "Cx", values, qubits, 1, 1);
  ASSERT_TRUE(other.ok());
  EXPECT_FALSE(other.value());
  EXPECT_EQ(describe(circuit), S{"Ry(0.5)(1)"});
}

TEST(Broadcast, WholeRegistersExpandElementByElement) {
  EXPECT_EQ(ops_of("qreg q[3]; h q;"), (S{"H(0)", "H(1)", "H(2)"}));
  EXPECT_EQ(ops_of("qreg q[1]; qreg r[2]; cx q[0], r;"), (S{"CX(0,1)", "CX(0,2)"}));
  EXPECT_EQ(ops_of("qreg a[2]; qreg b[2]; cx a, b;"), (S{"CX(0,2)", "CX(1,3)"}));
  EXPECT_EQ(ops_of("qreg a[2]; qreg b[1]; qreg c[2]; ccx a, b, c;"),
            (S{"CCX(0,2,3)", "CCX(1,2,4)"}));
  // A user gate's whole expansion is appended before the next instance starts.
  EXPECT_EQ(ops_of("gate g a { h a; x a; } qreg q[2]; g q;"), (S{"H(0)", "X(0)", "H(1)", "X(1)"}));
}

TEST(Broadcast, SizeMismatch) {
  EXPECT_EQ(failure_text("qreg a[2]; qreg b[3];\n  cx a, b;"),
            "qasm lower error: gate 'cx' at line 3:3: broadcast size mismatch (2 vs 3)");
  EXPECT_EQ(failure_text("qreg a[3]; qreg b[1]; qreg c[2]; ccx a, b, c;"),
            "qasm lower error: gate 'ccx' at line 2:34: broadcast size mismatch (3 vs 2)");
  // The mismatch is found before the gate name is looked at.
  EXPECT_EQ(failure_text("qreg a[2]; qreg b[3]; nosuch a, b;"),
            "qasm lower error: gate 'nosuch' at line 2:23: broadcast size mismatch (2 vs 3)");
}

TEST(Broadcast, EmptyRegisterGivesNoInstance) {
  const sim::Circuit c = read(
      "qreg e[0]; qreg q[2]; h e; cx q[0], e; cx e, q; rx(1) e; "
      "nosuch e; gate g a { h a; } g e; h q[1];");
  EXPECT_EQ(describe(c), S{"H(1)"});
  EXPECT_EQ(c.n_qubits(), 2u);
  // Operands are still resolved and parameters still evaluated.
  EXPECT_EQ(failure_text("qreg e[0]; h e, r;"),
            "qasm lower error: undefined qreg/qubit register \"r\"");
  EXPECT_EQ(failure_text("qreg e[0]; rx(x) e;"),
            "qasm lower error: undefined parameter \"x\" in expression");
  EXPECT_EQ(failure_text("qreg e[0]; h e[0];"), "qasm qubit index 0 out of range (n_qubits=0)");
  // The broadcast check still compares the operands longer than one.
  EXPECT_EQ(failure_text("qreg e[0]; qreg a[2]; qreg b[3]; ccx e, a, b;"),
            "qasm lower error: gate 'ccx' at line 2:34: broadcast size mismatch (2 vs 3)");
}

TEST(Operands, ResolutionErrors) {
  const QasmError range = failure("qreg q[2]; h q[2];");
  EXPECT_EQ(range.kind, QasmErrorKind::QubitOutOfRange);
  EXPECT_EQ(range.render(), "qasm qubit index 2 out of range (n_qubits=2)");
  EXPECT_EQ(failure_text("qreg a[2]; qreg b[3]; h b[3];"),
            "qasm qubit index 3 out of range (n_qubits=3)");
  EXPECT_EQ(failure_text("h r[0];"), "qasm lower error: undefined qreg/qubit register \"r\"");
  EXPECT_EQ(failure_text("h r;"), "qasm lower error: undefined qreg/qubit register \"r\"");
  EXPECT_EQ(failure_text("qreg q[1]; gate g a { h a[0]; } g q[0];"),
            "qasm lower error: indexed qubit 'a[0]' inside gate body not allowed");
}

TEST(UserGates, ExpansionWithFreshEnvironments) {
  EXPECT_EQ(ops_of("gate g(x) a { rx(x) a; } qreg q[2]; g(0.5) q[1];"), S{"Rx(0.5)(1)"});
  // Formals hide registers of the same name; declared registers stay reachable otherwise.
  EXPECT_EQ(ops_of("qreg q[2]; qreg a[1]; gate g a { h a; h q[0]; } g q[1];"), (S{"H(1)", "H(0)"}));
  // The caller's bindings are not visible inside a callee.
  EXPECT_EQ(failure_text("gate inner b { rx(x) b; } gate outer(x) a { inner a; } qreg q[1]; "
                         "outer(1) q[0];"),
            "qasm lower error: undefined parameter \"x\" in expression");
  EXPECT_EQ(failure_text("gate inner b { h a; } gate outer a { inner a; } qreg q[1]; "
                         "outer q[0];"),
            "qasm lower error: undefined qreg/qubit register \"a\"");
  // A formal named twice keeps its later binding.
  EXPECT_EQ(ops_of("gate g(x, x) a, a { rx(x) a; } qreg q[2]; g(1, 2) q[0], q[1];"),
            S{"Rx(2.0)(1)"});
  // A body may call a gate defined after it, and a call may precede the definition.
  EXPECT_EQ(ops_of("qreg q[1]; late q[0]; gate early a { late a; } gate late a { x a; } "
                   "early q[0];"),
            (S{"X(0)", "X(0)"}));
  // Parameters are evaluated in the callee's environment with the values of the caller.
  EXPECT_EQ(ops_of("gate g(t) a { rx(t*2) a; } gate f(t) a { g(t+1) a; } qreg q[1]; "
                   "f(0.5) q[0];"),
            S{"Rx(3.0)(0)"});
}

TEST(UserGates, ManyFormals) {
  // Enough formals for the environment to be indexed; a repeated name keeps its later binding.
  std::string text = "gate big(";
  for (int j = 0; j < 20; ++j) {
    text += cat({j > 0 ? ", " : "", "p", std::to_string(j)});
  }
  text += ", p3) ";
  for (int j = 0; j < 20; ++j) {
    text += cat({j > 0 ? ", " : "", "a", std::to_string(j)});
  }
  text += " { rx(p3) a7; cx a19, a0; }\nqreg q[20];\nbig(";
  for (int j = 0; j < 21; ++j) {
    text += cat({j > 0 ? ", " : "", std::to_string(j)});
  }
  text += ") q[19]";
  for (int j = 18; j >= 0; --j) {
    text += cat({", q[", std::to_string(j), "]"});
  }
  EXPECT_EQ(ops_of(text + ";"), (S{"Rx(20.0)(12)", "CX(0,19)"}));
}

TEST(UserGates, BuiltinsWinOverDefinitions) {
  EXPECT_EQ(ops_of("gate h a { x a; } qreg q[1]; h q[0];"), S{"H(0)"});
  EXPECT_EQ(failure_text("gate cu a, b { cx a, b; } qreg q[2]; cu q[0], q[1];"),
            "qasm lower error: qasm gate 'cu' at line 2:38 expected 4 parameters, got 0");
}

TEST(UserGates, CountErrors) {
  const std::string defs = "gate g(x) a { rx(x) a; }\nqreg q[2];\n";
  EXPECT_EQ(failure_text(defs + "g q[1];"),
            "qasm lower error: gate \"g\" expected 1 parameters, got 0");
  const QasmError arity = failure(defs + "g(0.5) q[0], q[1];");
  EXPECT_EQ(arity.kind, QasmErrorKind::GateArity);
  // The position is the definition's `gate` keyword, not the call.
  EXPECT_EQ(arity.render(), "qasm gate 'g' at line 2:1 expected 1 qubits, got 2");
  const QasmError unknown = failure("qreg q[2];\n  foo q[0];");
  EXPECT_EQ(unknown.kind, QasmErrorKind::UnknownGate);
  EXPECT_EQ(unknown.render(), "qasm unknown gate 'foo' at line 3:3");
  EXPECT_EQ(failure_text("qreg q[2]; Cx q[0], q[1];"), "qasm unknown gate 'Cx' at line 2:12");
  EXPECT_EQ(failure_text("qreg q[2]; rzz(1) q[0], q[1];"), "qasm unknown gate 'rzz' at line 2:12");
}

// A chain of n gates, g1 calling g2 ... gn calling h: the h runs at depth n.
std::string chain(int n) {
  std::string text;
  for (int i = 1; i < n; ++i) {
    text += "gate g" + std::to_string(i) + " a { g" + std::to_string(i + 1) + " a; }\n";
  }
  text += "gate g" + std::to_string(n) + " a { h a; }\nqreg q[1];\ng1 q[0];";
  return text;
}

TEST(InlineDepth, SixteenLevelsWorkSeventeenFail) {
  EXPECT_EQ(ops_of(chain(16)), S{"H(0)"});
  const QasmError error = failure(chain(17));
  EXPECT_EQ(error.kind, QasmErrorKind::RecursionLimit);
  EXPECT_EQ(error.render(), "qasm gate 'h' inline expansion exceeded recursion limit 16");
}

TEST(InlineDepth, SelfAndMutualRecursion) {
  EXPECT_EQ(failure_text("gate loop a { loop a; } qreg q[1]; loop q[0];"),
            "qasm gate 'loop' inline expansion exceeded recursion limit 16");
  // f runs at the even depths, so the call at depth 17 is g.
  EXPECT_EQ(failure_text("gate f a { g a; } gate g a { f a; } qreg q[1]; f q[0];"),
            "qasm gate 'g' inline expansion exceeded recursion limit 16");
  // The depth test comes before anything else about the call.
  std::string text = chain(17);
  text.replace(text.find("h a;"), 4, "nosuch(undefined) a[0], zz;");
  EXPECT_EQ(failure_text(text), "qasm gate 'nosuch' inline expansion exceeded recursion limit 16");
}

// Ten calls per level: 10^levels operations from a few hundred bytes.
std::string fan_out(std::string_view leaf, int levels = 9) {
  std::string text = cat({"gate g0 a { ", leaf, " }\n"});
  for (int i = 1; i <= levels; ++i) {
    const std::string prev = cat({"g", std::to_string(i - 1)});
    text += cat({"gate g", std::to_string(i), " a {"});
    for (int k = 0; k < 10; ++k) {
      text += cat({" ", prev, " a;"});
    }
    text += " }\n";
  }
  return cat({text, "qreg q[1]; g", std::to_string(levels), " q[0];"});
}

QasmError failure_with(std::string_view body, const ReadLimits& limits) {
  Result<sim::Circuit> circuit = parse_qasm(cat({"OPENQASM 2.0;\n", body}), limits);
  if (circuit.ok()) {
    ADD_FAILURE() << "accepted: " << body;
    return lower_error("accepted");
  }
  return circuit.error();
}

TEST(ExpansionBounds, FanOutIsRefusedBeforeMemoryOrTimeRunOut) {
  const ReadLimits small{1000, 1000000};
  const QasmError ops = failure_with(fan_out("h a;"), small);
  EXPECT_EQ(ops.render(),
            "qasm lower error: gate 'h' at line 2:13: the circuit would exceed 1000 operations");
  // With gphase the same shape appends nothing, but would never end.
  const QasmError steps = failure_with(fan_out("gphase(1);"), small);
  EXPECT_EQ(steps.kind, QasmErrorKind::Lower);
  EXPECT_NE(steps.message.find(": inline expansion exceeds 1000000 steps"), std::string::npos)
      << steps.message;
  // So would an empty gate broadcast over a huge register.
  EXPECT_EQ(failure_with("gate e a { } qreg q[9223372036854775807]; e q;", small).render(),
            "qasm lower error: gate 'e' at line 2:43: inline expansion exceeds 1000000 steps");
  // And calls on an empty register inside a body cost their steps too.
  EXPECT_EQ(failure_with(fan_out("h z; h z; h z; h z;") + " qreg z[0];", small).kind,
            QasmErrorKind::Lower);
  // Within the limits the same shape reads.
  Result<sim::Circuit> fits = parse_qasm(cat({"OPENQASM 2.0;\n", fan_out("h a;", 3)}), small);
  ASSERT_TRUE(fits.ok());
  EXPECT_EQ(fits.value().ops().size(), 1000u);
}

TEST(ExpansionBounds, DefaultOperationBound) {
  EXPECT_EQ(MAX_OPERATIONS, 16777216u);
  EXPECT_EQ(MAX_EXPANSION_STEPS, 67108864u);
  // A huge register broadcast stops at the bound without listing its indices first.
  EXPECT_EQ(failure_text("qreg q[9223372036854775807]; x q;"),
            "qasm lower error: gate 'x' at line 2:30: the circuit would exceed 16777216 "
            "operations");
}

TEST(ExpansionBounds, ExactlyAtTheOperationBound) {
  sim::Circuit circuit(1);
  const std::uint64_t qubit[] = {0};
  for (int k = 0; k < 9; ++k) {
    circuit.x(0);
  }
  Result<bool> last = apply_builtin_gate(circuit, "h", {}, qubit, 1, 1, 10);
  ASSERT_TRUE(last.ok());
  EXPECT_EQ(circuit.ops().size(), 10u);
  Result<bool> over = apply_builtin_gate(circuit, "h", {}, qubit, 1, 1, 10);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().render(),
            "qasm lower error: gate 'h' at line 1:1: the circuit would exceed 10 operations");
  EXPECT_EQ(circuit.ops().size(), 10u);
  // A sequence that does not fit as a whole appends none of its operations.
  sim::Circuit nearly(2);
  for (int k = 0; k < 7; ++k) {
    nearly.x(0);
  }
  const std::uint64_t pair[] = {0, 1};
  EXPECT_FALSE(apply_builtin_gate(nearly, "ch", {}, pair, 1, 1, 13).ok());
  EXPECT_EQ(nearly.ops().size(), 7u);
  EXPECT_TRUE(apply_builtin_gate(nearly, "ch", {}, pair, 1, 1, 14).ok());
}

// Evaluates the single parameter of `rx(<expr>) q;` with the given bindings.
Result<double> eval(std::string_view expr, const GateEnv& env = {}) {
  Result<TokenList> tokens = tokenize(cat({"OPENQASM 2.0; rx(", expr, ") q;"}));
  EXPECT_TRUE(tokens.ok());
  Result<Program> program = parse_program(std::move(tokens).value());
  EXPECT_TRUE(program.ok());
  const auto& call = std::get<GateCallStmt>(program.value().stmts.at(0).node).call;
  return eval_expr(program.value().exprs, call.params.at(0), env);
}

double value(std::string_view expr, const GateEnv& env = {}) {
  Result<double> v = eval(expr, env);
  EXPECT_TRUE(v.ok()) << (v.ok() ? "" : v.error().render());
  return v.ok() ? v.value() : std::nan("");
}

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

TEST(EvalExpr, ArithmeticInDoublePrecision) {
  EXPECT_EQ(value("pi"), 3.141592653589793);
  EXPECT_EQ(value("-2^2"), 4.0);
  EXPECT_EQ(value("2^-1"), 0.5);
  EXPECT_EQ(value("2^3^2"), 512.0);
  EXPECT_EQ(value("1-2-3"), -4.0);
  EXPECT_EQ(value("7/2*2"), 7.0);
  EXPECT_EQ(value("9007199254740993"), 9007199254740992.0);
  EXPECT_TRUE(same_bits(value("0.1+0.2"), 0.1 + 0.2));
  EXPECT_TRUE(
      same_bits(value("sin(1)+cos(2)*tan(3)"), std::sin(1.0) + std::cos(2.0) * std::tan(3.0)));
  EXPECT_TRUE(
      same_bits(value("exp(1.5)/ln(7)-sqrt(2)"), std::exp(1.5) / std::log(7.0) - std::sqrt(2.0)));
  EXPECT_TRUE(same_bits(value("pi/4"), 0.7853981633974483));
}

TEST(EvalExpr, NothingIsRefused) {
  EXPECT_EQ(value("1/0"), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(value("ln(-1)")));
  EXPECT_TRUE(std::isnan(value("sqrt(-1)")));
  EXPECT_TRUE(same_bits(value("-0"), -0.0));
}

TEST(EvalExpr, ParametersAndLeftFirstErrors) {
  GateEnv env;
  env.params = {{"theta", 0.5}, {"phi", 2.0}, {"theta", 4.0}};
  EXPECT_EQ(value("theta*phi", env), 8.0);
  Result<double> missing = eval("a + b", env);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().render(), "qasm lower error: undefined parameter \"a\" in expression");
  Result<double> right = eval("theta + sin(zz)", env);
  ASSERT_FALSE(right.ok());
  EXPECT_EQ(right.error().message, "undefined parameter \"zz\" in expression");
  // Indexed for fast lookup, the same bindings give the same answers.
  env.params.emplace_back("alpha", 1.0);
  env.params.emplace_back("theta", 8.0);
  env.index();
  EXPECT_EQ(value("theta*phi+alpha", env), 17.0);
  EXPECT_FALSE(eval("beta", env).ok());
  EXPECT_FALSE(eval("zzz", env).ok());
}

TEST(EvalExpr, LongChainsAndWideTrees) {
  std::string sum = "1";
  for (int i = 0; i < 100000; ++i) {
    sum += "+1";
  }
  EXPECT_EQ(value(sum), 100001.0);
  EXPECT_EQ(value("(1+2)*(3+4)-(5*6)/(7-9)^2+((9))"), 22.5);
}

TEST(EvalExpr, TopLevelParameterNamesFailBeforeOperands) {
  EXPECT_EQ(failure_text("rx(undefinedname) q[0];"),
            "qasm lower error: undefined parameter \"undefinedname\" in expression");
}

}  // namespace
}  // namespace vorn::qasm
