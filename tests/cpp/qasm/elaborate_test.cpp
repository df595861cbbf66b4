// The dynamic mode's OpenQASM 3 evaluation: classical values and their rules, loops,
// subroutines, inputs, the statements that change nothing, and what stays for the run.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dynamic_text.h"
#include "qasm/elaborate.h"
#include "qasm/exporter.h"

namespace vorn::qasm {
namespace {

using test::conditions_of;
using test::instructions_of;
using test::read_error;
using test::read_ok;
using test::table_source;
using S = std::vector<std::string>;

constexpr double PI = 3.141592653589793;

std::string v3(std::string_view body) {
  return "OPENQASM 3.0;\ninclude \"stdgates.inc\";\nqubit[3] q;\n" + std::string(body);
}

// The angle of the first gate of a program that applies rz to q[0] (bits, for bitwise checks).
std::uint64_t first_angle(std::string_view body, const ProgramSource& source = table_source({})) {
  const sim::Program p = read_ok(v3(body), source);
  for (const sim::Instruction& instruction : p.instructions) {
    if (const auto* gate = std::get_if<sim::GateOp>(&instruction)) {
      return std::bit_cast<std::uint64_t>(gate->gate.theta);
    }
  }
  ADD_FAILURE() << "no gate";
  return 0;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

TEST(Elaborate, ArithmeticFollowsTheLanguageRules) {
  struct Case {
    const char* body;
    double expected;
  };
  const Case cases[] = {
      // Integer division truncates toward zero, % keeps the dividend's sign.
      {"int a = -7 / 2; rz(a) q[0];", -3.0},
      {"int a = -7 % 2; rz(a) q[0];", -1.0},
      // Widths wrap as declared.
      {"int[8] a = 127; a += 1; rz(a) q[0];", -128.0},
      {"uint[4] u = 15; u += 1; rz(u) q[0];", 0.0},
      {"uint[4] u = 3; u -= 4; rz(u) q[0];", 15.0},
      {"int[4] a = 7; a <<= 1; rz(a) q[0];", -2.0},
      {"int a = -8; a >>= 1; rz(a) q[0];", -4.0},
      // Bitwise operators, popcount and rotations over the declared width.
      {"uint[8] u = 0b1100_1010; rz(u & 0x0F | 0x30 ^ 0x01) q[0];",
       static_cast<double>((0xCA & 0x0F) | (0x30 ^ 0x01))},
      {"uint[8] u = ~uint[8](0x0F); rz(u) q[0];", 240.0},
      {"bit[4] b = \"1001\"; rz(popcount(b) + uint(rotl(b, 1)) * 10) q[0];", 2.0 + 3.0 * 10},
      {"bit[4] b = \"1001\"; rz(uint(rotr(b, 1))) q[0];", 12.0},
      // Integer powers stay integers; a negative exponent gives a real.
      {"int a = 2 ** 10; rz(a) q[0];", 1024.0},
      {"rz(2 ** -1) q[0];", 0.5},
      // Reals and the constants.
      {"float[64] t = 3 * pi / 8; rz(sin(t)) q[0];", std::sin(3 * PI / 8)},
      {"rz(τ - tau + π - euler) q[0];", 2 * PI - 2 * PI + PI - 2.718281828459045},
      {"rz(arcsin(0.5) + arccos(0.5) + arctan(1.0)) q[0];",
       std::asin(0.5) + std::acos(0.5) + std::atan(1.0)},
      {"rz(exp(1.0) + log(2.0) + sqrt(2.0) + tan(0.3)) q[0];",
       std::exp(1.0) + std::log(2.0) + std::sqrt(2.0) + std::tan(0.3)},
      {"rz(floor(-2.5) + ceiling(2.1) + pow(2.0, 0.5)) q[0];", -3.0 + 3.0 + std::pow(2.0, 0.5)},
      // mod of reals takes the divisor's sign.
      {"rz(mod(-1.5, 1.0)) q[0];", 0.5},
      {"rz(mod(7, -3)) q[0];", 1.0},
      // Casts: float to int truncates; bool of a number; bits of an integer.
      {"int a = int(-2.7); rz(a) q[0];", -2.0},
      {"bool f = bool(0.0) || bool(3); rz(int(f)) q[0];", 1.0},
      {"uint[4] u = 6; bit[4] b = bit[4](u); rz(uint(b[1:2])) q[0];", 3.0},
      {"uint[4] a_in = 1; rz(uint(a_in[0]) + uint(a_in[3])) q[0];", 1.0},
      // A gate parameter divides as reals.
      {"int a = 1 / 2; rz(a + 1 / 2) q[0];", 0.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(first_angle(c.body), bits(c.expected));
  }
}

TEST(Elaborate, AnglesRoundToTheirWidthAndWrap) {
  // pi/3 in angle[4] is the nearest sixteenth of a turn: round(16/6) = 3 sixteenths.
  EXPECT_EQ(first_angle("angle[4] a = pi / 3; rz(float(a)) q[0];"), bits(3.0 / 16.0 * 2 * PI));
  // Sums wrap modulo 2π.
  EXPECT_EQ(first_angle("angle[4] a = 3 * pi / 2; a += a; rz(float(a)) q[0];"),
            bits(8.0 / 16.0 * 2 * PI));
  // Shifts act on the bits; an angle times an integer wraps.
  EXPECT_EQ(first_angle("angle[8] a = pi / 2; a <<= 1; rz(a) q[0];"), bits(128.0 / 256.0 * 2 * PI));
  EXPECT_EQ(first_angle("angle[8] a = pi / 2; rz(a * 5) q[0];"), bits(64.0 / 256.0 * 2 * PI));
  EXPECT_EQ(first_angle("angle[8] a = pi / 2; angle[8] b = pi / 4; rz(a / b) q[0];"), bits(2.0));
  // -angle is the other way round.
  EXPECT_EQ(first_angle("angle[8] a = pi / 2; rz(-a) q[0];"), bits(192.0 / 256.0 * 2 * PI));
}

TEST(Elaborate, ForLoopsOverRangesStepsAndSets) {
  const sim::Program p =
      read_ok(v3("for int i in [0:2] { x q[i]; }\n"
                 "for uint i in [2:-1:0] { h q[i]; }\n"
                 "for int i in [0:2:2] { z q[i]; }\n"
                 "for int i in {1, 0} { y q[i]; }\n"
                 "bit[3] m = \"101\";\nfor bit b in m { if (b) s q[0]; }"));
  // x on 0,1,2; h on 2,1,0; z on 0,2; y on 1,0; the loop over m's bits makes runtime tests.
  const S all = instructions_of(p);
  ASSERT_GE(all.size(), 10u);
  const S head(all.begin(), all.begin() + 10);
  EXPECT_EQ(head, (S{"G1(0)", "G1(1)", "G1(2)", "G0(2)", "G0(1)", "G0(0)", "G3(0)", "G3(2)",
                     "G2(1)", "G2(0)"}));
}

TEST(Elaborate, WhileBreakContinueAndTheRoundLimit) {
  const sim::Program p = read_ok(
      v3("int n = 0;\nwhile (true) { n += 1; if (n == 2) continue; if (n > 4) break; x q[0]; }\n"
         "rz(n) q[1];"));
  // n = 1, 3, 4 apply x; n = 5 breaks.
  EXPECT_EQ(instructions_of(p), (S{"G1(0)", "G1(0)", "G1(0)", "G10(1)"}));
  EXPECT_EQ(read_error(v3("int n = 0;\nwhile (n >= 0) { n = 1; }")),
            "qasm lower error: the 'while' loop at line 5:1 ran 1000000 rounds without ending");
  EXPECT_EQ(read_error(v3("break;")), "qasm lower error: 'break' at line 4:1 outside a loop");
}

TEST(Elaborate, SubroutinesAreInlinedWithTheirArguments) {
  const sim::Program p =
      read_ok(v3("def twice(int k) -> int { return 2 * k; }\n"
                 "def spin(qubit a, float t) { rz(t) a; }\n"
                 "def all_h(qubit[3] r) { for int i in [0:2] { h r[i]; } }\n"
                 "spin(q[2], twice(3));\nall_h(q);"));
  EXPECT_EQ(instructions_of(p), (S{"G10(2)", "G0(0)", "G0(1)", "G0(2)"}));
  EXPECT_EQ(std::get<sim::GateOp>(p.instructions[0]).gate.theta, 6.0);
  EXPECT_EQ(read_error(v3("def f(int k) -> int { return f(k); }\nint a = f(1);")),
            "qasm unsupported feature: recursive call of subroutine \"f\" at line 4:23 "
            "(subroutines are inlined, so recursion is not read)");
}

TEST(Elaborate, InputsComeFromTheCaller) {
  ProgramSource source = table_source({});
  source.inputs = {{"theta", 0.25}, {"n", 2}};
  EXPECT_EQ(first_angle("input float theta;\ninput int n;\nrz(theta * n) q[0];", source),
            bits(0.5));
  EXPECT_EQ(read_error(v3("input float theta;")),
            "qasm lower error: input \"theta\" at line 4:1 has no value: the caller gives every "
            "input");
  source.inputs = {{"theta", 0.25}, {"n", 2}, {"other", 1}};
  EXPECT_EQ(read_error(v3("input float theta;\ninput int n;"), source),
            "qasm lower error: an input value was given for \"other\", which no 'input' "
            "declaration names");
  source.inputs = {{"n", 2.5}};
  EXPECT_EQ(read_error(v3("input int n;"), source),
            "qasm lower error: input \"n\" at line 4:1 is an integer type, given 2.5");
}

TEST(Elaborate, OutputsSelectTheRegistersShown) {
  const sim::Program shown = read_ok(v3("bit[2] a;\noutput bit b;\nbit c;\nb = measure q[0];"));
  ASSERT_EQ(shown.registers.size(), 1u);
  EXPECT_EQ(shown.registers[0].name, "b");
  const sim::Program all = read_ok(v3("bit[2] a;\nbit b;"));
  EXPECT_EQ(all.registers.size(), 2u);
}

TEST(Elaborate, TimingPragmasAndAnnotationsChangeNothing) {
  const sim::Program p = read_ok(
      "pragma vorn something\ninclude \"stdgates.inc\";\nstretch g;\nqubit[2] q;\n"
      "duration d = 100ns + durationof({x q[0];});\n@label anything\n"
      "box [10us] { delay[g] q[0]; x q[1]; }\ndelay[2 * g] q;\nbarrier q;\nh q[0];");
  EXPECT_EQ(instructions_of(p), (S{"G1(1)", "G0(0)"}));
}

TEST(Elaborate, PhysicalQubitsFormOneRegister) {
  const sim::Program p = read_ok("include \"stdgates.inc\";\nx $3;\ncx $0, $1;");
  EXPECT_EQ(p.n_qubits, 4u);
  EXPECT_EQ(instructions_of(p), (S{"G1(3)", "G13(0,1)"}));
  EXPECT_EQ(read_error("qubit q;\nx $0;"),
            "qasm lower error: physical qubits ($n) and declared qubits are mixed at line 2:1");
}

TEST(Elaborate, WhatDependsOnMeasuredBitsStaysForTheRun) {
  // A while loop on measured bits is a loop of the program: a test, its body, a jump back.
  const sim::Program rus = read_ok(
      v3("bit[2] f = \"11\";\nwhile (int[2](f) != 0) { reset q[0]; h q[0]; f[0] = measure q[0]; "
         "f[1] = f[0]; }"));
  EXPECT_EQ(instructions_of(rus), (S{"JU(0,6)", "R(0)", "G0(0)", "M(0,0)", "S(1,1)", "J(0)"}));
  EXPECT_EQ(conditions_of(rus), (S{"Cmp(0,2,!=,0)", "Bit(0)"}));
  // A loop on measured bits whose body changes none of them would never end.
  EXPECT_EQ(read_error(v3("bit c;\nwhile (!c) { x q[0]; }")),
            "qasm lower error: the 'while' loop at line 5:1 tests measured bits that its body "
            "neither measures nor assigns: it would never end");
  // A real takes no value at run time.
  EXPECT_EQ(read_error(v3("bit b = measure q[0];\nfloat k = 0;\nif (b) k = 1;")),
            "qasm lower error: assignment to \"k\" at line 6:8 depends on measured bits (only "
            "bit, bool, int, uint and angle variables take values at run time)");
}

TEST(Elaborate, IntegersComputedFromMeasuredBitsLiveInBits) {
  // An int assigned in a branch on a measured bit is kept in bits from before the branch: its
  // known value first (here as the bits' initial value), then the branch's.
  const sim::Program k = read_ok(v3("bit b = measure q[0];\nuint[2] k = 2;\nif (b) k = 1;"));
  EXPECT_EQ(instructions_of(k), (S{"M(0,0)", "JU(0,4)", "S(1,1)", "S(2,2)"}));
  EXPECT_EQ(conditions_of(k), (S{"Bit(0)", "Const(1)", "Const(0)"}));
  ASSERT_EQ(k.initial_bits.size(), 3u);
  EXPECT_EQ(k.initial_bits[2], 1);
  // A shift left writes its bits from the top down, each read before it changes; a shift
  // right from the bottom up.
  const sim::Program left =
      read_ok(v3("uint[3] c;\nmeasure q[0] -> c[0];\nmeasure q[1] -> c[1];\nc <<= 1;"));
  EXPECT_EQ(instructions_of(left), (S{"M(0,0)", "M(1,1)", "S(2,0)", "S(1,1)", "S(0,2)"}));
  EXPECT_EQ(conditions_of(left), (S{"Bit(1)", "Bit(0)", "Const(0)"}));
  const sim::Program right =
      read_ok(v3("uint[3] c;\nmeasure q[0] -> c[1];\nmeasure q[1] -> c[2];\nc >>= 1;"));
  EXPECT_EQ(instructions_of(right), (S{"M(0,1)", "M(1,2)", "S(0,0)", "S(1,1)", "S(2,2)"}));
  EXPECT_EQ(conditions_of(right), (S{"Bit(1)", "Bit(2)", "Const(0)"}));
  // A rotation reads bits from both sides: they are copied first.
  const sim::Program rotation =
      read_ok(v3("uint[2] c;\nmeasure q[0] -> c[0];\nmeasure q[1] -> c[1];\nc = rotl(c, 1);"));
  EXPECT_EQ(instructions_of(rotation),
            (S{"M(0,0)", "M(1,1)", "S(2,0)", "S(3,1)", "S(0,2)", "S(1,3)"}));
}

TEST(Elaborate, AnAngleComputedFromMeasuredBitsIsOneConditionalGatePerBit) {
  // rz(c) with c = c[1]·2π·2/8 + c[2]·2π·4/8: rz(π/2) where c[1] holds, rz(π) where c[2] does.
  const sim::Program p = read_ok(
      v3("angle[3] c;\nmeasure q[0] -> c[1];\nmeasure q[1] -> c[2];\nrz(c + pi / 4) q[2];"));
  EXPECT_EQ(instructions_of(p),
            (S{"M(0,1)", "M(1,2)", "G10(2)", "JU(0,5)", "G10(2)", "JU(1,7)", "G10(2)"}));
  std::vector<double> angles;
  for (const sim::Instruction& instruction : p.instructions) {
    if (const auto* gate = std::get_if<sim::GateOp>(&instruction)) {
      angles.push_back(gate->gate.theta);
    }
  }
  EXPECT_EQ(angles, (std::vector<double>{PI / 4, PI / 2, PI}));
  EXPECT_EQ(read_error(v3("angle[3] c;\nmeasure q[0] -> c[1];\nu3(c, 0, 0) q[2];")),
            "qasm unsupported feature: a parameter of \"u3\" at line 6:1 depends on measured "
            "bits (a run-time angle feeds only the gates additive in their one angle: rx ry rz "
            "p phase u1 cp cphase cu1 crx cry crz rxx ryy rzz rzx gphase)");
}

TEST(Elaborate, LoopsAndBitAssignmentsAreWrittenOutAndReadBack) {
  const sim::Program p =
      read_ok(v3("bit[2] f;\nh q[1];\nf[0] = measure q[1];\nwhile (f != 0) { reset q[0]; h q[0]; "
                 "f[0] = measure q[0]; "
                 "f[1] = f[0] && !f[0]; }\nx q[1];"));
  const Result<std::string> text = export_program(p, QasmVersion::V3);
  ASSERT_TRUE(text.ok()) << text.error().render();
  EXPECT_NE(text.value().find("while (f != 0) {"), std::string::npos) << text.value();
  EXPECT_NE(text.value().find("f[1] = f[0] && !f[0];"), std::string::npos) << text.value();
  const sim::Program back = read_ok(text.value());
  std::string what;
  EXPECT_TRUE(test::same_program(p, back, what)) << what << "\n" << text.value();
  // OpenQASM 2.0 has neither.
  const Result<std::string> v2 = export_program(p, QasmVersion::V2);
  ASSERT_FALSE(v2.ok());
  EXPECT_NE(v2.error().render().find("a loop"), std::string::npos) << v2.error().render();
}

TEST(Elaborate, RefusalsNameWhatIsNotRead) {
  EXPECT_EQ(read_error(v3("pow(0.5) @ h q[0];")),
            "qasm unsupported feature: pow(0.5) of \"h\" at line 4:1: a fractional power is exact "
            "only for rotations (rx ry rz p u1 cp crx cry crz rxx ryy rzz rzx gphase)");
  EXPECT_EQ(read_error(v3("ctrl(2) @ x q[0], q[1];")),
            "qasm gate 'x' at line 4:1 expected 1 qubits, got 0");
  EXPECT_EQ(read_error(v3("ctrl @ x q[0], q[0];")),
            "qasm lower error: \"x\" at line 4:1 names one qubit twice");
  EXPECT_EQ(read_error(v3("int a = 1 / 0;")),
            "qasm lower error: integer division by zero at line 4:1");
}

}  // namespace
}  // namespace vorn::qasm

namespace vorn::qasm {
namespace {

std::string v3_on(unsigned n, std::string_view body) {
  return "OPENQASM 3.0;\ninclude \"stdgates.inc\";\nqubit[" + std::to_string(n) + "] q;\n" +
         std::string(body);
}

TEST(Elaborate, GatesUnderControlsBecomeOneControlledGate) {
  const sim::Program p = test::read_ok(
      v3_on(6,
            "ctrl(5) @ x q[0], q[1], q[2], q[3], q[4], q[5];\n"
            "negctrl @ ctrl(2) @ inv @ rx(0.25) q[5], q[1], q[3], q[0];\n"
            "ctrl @ x q[2], q[4];\nctrl(2) @ x q[2], q[4], q[1];\nnegctrl @ x q[2], q[4];\n"),
      test::table_source({}));
  ASSERT_EQ(p.instructions.size(), 5u);
  const auto& five = std::get<sim::ControlledGate>(p.instructions[0]);
  EXPECT_EQ(five.gate.kind, core::GateKind::X);
  EXPECT_EQ(five.phase, 0.0);
  EXPECT_EQ(five.controls, (std::vector<std::uint64_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(five.values, (std::vector<std::uint8_t>{1, 1, 1, 1, 1}));
  EXPECT_EQ(five.target, 5u);
  // inv of rx(0.25) is rx(-0.25), the library's own matrix; the outer modifier's controls first.
  const auto& mixed = std::get<sim::ControlledGate>(p.instructions[1]);
  EXPECT_EQ(mixed.gate.kind, core::GateKind::Rx);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(mixed.gate.theta), std::bit_cast<std::uint64_t>(-0.25));
  EXPECT_EQ(mixed.controls, (std::vector<std::uint64_t>{5, 1, 3}));
  EXPECT_EQ(mixed.values, (std::vector<std::uint8_t>{0, 1, 1}));
  EXPECT_EQ(mixed.target, 0u);
  // One or two controls that want 1 on x keep their kinds.
  EXPECT_EQ(std::get<sim::GateOp>(p.instructions[2]).kind(), core::GateKind::CX);
  EXPECT_EQ(std::get<sim::GateOp>(p.instructions[3]).kind(), core::GateKind::CCX);
  EXPECT_EQ(std::get<sim::ControlledGate>(p.instructions[4]).values,
            (std::vector<std::uint8_t>{0}));
}

TEST(Elaborate, ControlledGatesWriteBackAsThemselves) {
  const sim::Program p = test::read_ok(
      v3_on(
          4,
          "ctrl(2) @ negctrl @ u3(0.2, 0.4, 0.8) q[0], q[1], q[2], q[3];\n"
          "ctrl @ pow(3) @ h q[1], q[2];\nnegctrl(3) @ U(1.5, -2, 0.125) q[3], q[2], q[1], q[0];\n"
          "ctrl @ swap q[0], q[1], q[2];\nctrl(2) @ t q[3], q[0], q[2];\n"
          "inv @ ctrl @ U(0.5, 0.25, 1) q[2], q[3];\n"),
      test::table_source({}));
  const Result<std::string> text = export_program(p, QasmVersion::V3);
  ASSERT_TRUE(text.ok()) << text.error().render();
  const sim::Program back = test::read_ok(text.value(), test::table_source({}));
  ASSERT_EQ(back.instructions.size(), p.instructions.size()) << text.value();
  for (std::size_t k = 0; k < p.instructions.size(); ++k) {
    ASSERT_EQ(p.instructions[k].index(), back.instructions[k].index()) << k;
    if (const auto* g = std::get_if<sim::ControlledGate>(&p.instructions[k])) {
      const auto& h = std::get<sim::ControlledGate>(back.instructions[k]);
      const core::Matrix2<double> a = g->matrix();
      const core::Matrix2<double> b = h.matrix();
      EXPECT_EQ(std::memcmp(a.data(), b.data(), sizeof a), 0) << k << "\n" << text.value();
      EXPECT_EQ(bits(g->phase), bits(h.phase)) << k << "\n" << text.value();
      EXPECT_EQ(g->controls, h.controls);
      EXPECT_EQ(g->values, h.values);
      EXPECT_EQ(g->target, h.target);
    }
  }
  const Result<std::string> v2 = export_program(p, QasmVersion::V2);
  ASSERT_FALSE(v2.ok());
  EXPECT_NE(v2.error().render().find("ctrl or negctrl"), std::string::npos);
}

}  // namespace
}  // namespace vorn::qasm
