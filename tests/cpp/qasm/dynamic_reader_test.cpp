// The dynamic mode of the reader: each construct it adds with the instructions it lowers to,
// every refusal with its construct and position, the errors of conditions and initialisers,
// included files with their resolution, cycles and positions, the bounds, the corpus programs
// that only the dynamic mode reads, and the specified mode left as it was.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/gates.h"
#include "corpus_files.h"
#include "dynamic_text.h"
#include "qasm/lexer.h"
#include "qasm/lowering.h"
#include "qasm/parser.h"
#include "qasm/program_reader.h"
#include "text.h"

namespace vorn::qasm {
namespace {

using test::cat;
using test::conditions_of;
using test::Files;
using test::instructions_of;
using test::qasm_corpus;
using test::read_error;
using test::read_ok;
using test::read_text;
using test::table_source;
using S = std::vector<std::string>;

constexpr const char* kV2 = "OPENQASM 2.0;\ninclude \"qelib1.inc\";\n";
constexpr const char* kV3 = "OPENQASM 3.0;\ninclude \"stdgates.inc\";\n";

sim::Program read2(std::string_view body) { return read_ok(cat({kV2, body})); }
sim::Program read3(std::string_view body) { return read_ok(cat({kV3, body})); }

// ---- measurements and resets ----

TEST(DynamicReader, OperationsMayFollowAMeasurementOfTheirQubit) {
  const sim::Program p =
      read2("qreg q[2]; creg c[2];\nh q[0];\nmeasure q[0] -> c[1];\nx q[0];\nmeasure q -> c;");
  EXPECT_EQ(instructions_of(p), (S{"G0(0)", "M(0,1)", "G1(0)", "M(0,0)", "M(1,1)"}));
  EXPECT_EQ(p.n_qubits, 2u);
  EXPECT_EQ(p.n_bits, 2u);
  ASSERT_EQ(p.registers.size(), 1u);
  EXPECT_EQ(p.registers[0].name, "c");
}

TEST(DynamicReader, MeasurementFormsOfBothVersions) {
  const char* forms[] = {
      "c[1] = measure q[0];",
      "measure q[0] -> c[1];",
  };
  for (const char* form : forms) {
    SCOPED_TRACE(form);
    EXPECT_EQ(instructions_of(read3(cat({"qubit[2] q; bit[2] c;\n", form}))), (S{"M(0,1)"}));
  }
  EXPECT_EQ(instructions_of(read3("qubit[3] q; bit[3] c;\nc = measure q;")),
            (S{"M(0,0)", "M(1,1)", "M(2,2)"}));
  // A declaration with a measurement declares the register, then measures into all of it.
  const sim::Program p = read3("qubit[2] q; bit a;\nbit[2] r = measure q;\nbit s = measure q[1];");
  EXPECT_EQ(instructions_of(p), (S{"M(0,1)", "M(1,2)", "M(1,3)"}));
  ASSERT_EQ(p.registers.size(), 3u);
  EXPECT_EQ(p.registers[1].name, "r");
  EXPECT_EQ(p.registers[1].offset, 1u);
  EXPECT_EQ(p.registers[2].name, "s");
  EXPECT_EQ(p.n_bits, 4u);
}

TEST(DynamicReader, ResetOfOneQubitAndOfARegister) {
  EXPECT_EQ(instructions_of(read2("qreg a[1]; qreg q[3];\nreset q[1];\nreset q;\nreset a;")),
            (S{"R(2)", "R(1)", "R(2)", "R(3)", "R(0)"}));
}

TEST(DynamicReader, MeasurementErrorsNameTheirStatement) {
  EXPECT_EQ(read_error(cat({kV2, "qreg q[2]; creg c[1];\nmeasure q -> c;"})),
            "qasm lower error: measure at line 4:1: qubit/cbit broadcast size mismatch (2 vs 1)");
  EXPECT_EQ(read_error(cat({kV2, "qreg q[2]; creg c[1];\nmeasure q[0] -> d[0];"})),
            "qasm lower error: undefined creg/bit register \"d\" (at line 4:1)");
  EXPECT_EQ(read_error(cat({kV2, "qreg q[2]; creg c[1];\nmeasure q[0] -> c[3];"})),
            "qasm cbit index 3 out of range (n_cbits=1) (at line 4:1)");
  EXPECT_EQ(read_error(cat({kV2, "qreg q[2];\n  reset r;"})),
            "qasm lower error: undefined qreg/qubit register \"r\" (at line 4:3)");
  EXPECT_EQ(read_error(cat({kV2, "qreg q[2];\nreset q[2];"})),
            "qasm qubit index 2 out of range (n_qubits=2) (at line 4:1)");
}

// ---- bit registers and their initial values ----

TEST(DynamicReader, BitRegistersInDeclarationOrderWithInitialValues) {
  const sim::Program p = read3("bit b;\nbit[4] c = \"0101\";\ncreg d[2];\nbit[3] e = \"000\";");
  ASSERT_EQ(p.registers.size(), 4u);
  const char* names[] = {"b", "c", "d", "e"};
  const std::uint64_t offsets[] = {0, 1, 5, 7};
  const std::uint64_t sizes[] = {1, 4, 2, 3};
  for (std::size_t r = 0; r < 4; ++r) {
    EXPECT_EQ(p.registers[r].name, names[r]);
    EXPECT_EQ(p.registers[r].offset, offsets[r]);
    EXPECT_EQ(p.registers[r].size, sizes[r]);
  }
  EXPECT_EQ(p.n_bits, 10u);
  // "0101": the rightmost character is c[0].
  EXPECT_EQ(p.initial_bits, (std::vector<std::uint8_t>{0, 1, 0, 1, 0, 0, 0, 0, 0, 0}));
  // Initialisers of zeros only leave the initial bits empty (all zero).
  EXPECT_TRUE(read3("bit[2] c = \"00\";").initial_bits.empty());
}

TEST(DynamicReader, BitStringInitialisersAreChecked) {
  EXPECT_EQ(read_error(cat({kV3, "bit[3] c = \"0101\";"})),
            "qasm parse error at line 3:12: bit-string initialiser of \"c\" has 4 bits, the "
            "register 3");
  EXPECT_EQ(read_error(cat({kV3, "bit[2] c = \"2a\";"})),
            "qasm parse error at line 3:12: bit-string initialiser of \"c\" may hold only 0 and "
            "1, got \"2a\"");
  // An integer initialiser gives the bits of its value.
  EXPECT_EQ(read_ok(cat({kV3, "bit[2] c = 2;"})).initial_bits, (std::vector<std::uint8_t>{0, 1}));
}

// ---- conditions ----

TEST(DynamicReader, OpenQasm2IfComparesTheWholeRegister) {
  const sim::Program p =
      read2("qreg q[2]; creg a[1]; creg c[3];\nmeasure q[0] -> c[0];\nif (c == 5) x q[1];\nh q;");
  EXPECT_EQ(instructions_of(p), (S{"M(0,1)", "JU(0,3)", "G1(1)", "G0(0)", "G0(1)"}));
  EXPECT_EQ(conditions_of(p), (S{"Cmp(1,3,==,5)"}));
}

TEST(DynamicReader, ARegisterOfAnyWidthIsCompared) {
  const sim::Program p =
      read2("qreg q[1]; creg c[70];\nif (c == 9223372036854775807) x q[0];\nif (c == 0) x q[0];");
  EXPECT_EQ(conditions_of(p), (S{"Cmp(0,70,==,9223372036854775807)", "Cmp(0,70,==,0)"}));
}

TEST(DynamicReader, ABodyIsOneOperationOrABlock) {
  const char* bodies[] = {
      "if (c == 1) measure q[0] -> c[1];",
      "if (c == 1) reset q[0];",
      "if (c == 1) { reset q[0]; }",
  };
  const char* expected[] = {"M(0,1)", "R(0)", "R(0)"};
  for (std::size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(bodies[k]);
    EXPECT_EQ(instructions_of(read2(cat({"qreg q[1]; creg c[2];\n", bodies[k]}))),
              (S{"JU(0,2)", expected[k]}));
  }
  // A broadcast or composite gate fills the body with several instructions.
  EXPECT_EQ(instructions_of(read2("qreg q[2]; creg c[1];\nif (c == 1) cy q[0], q[1];")),
            (S{"JU(0,4)", "G5(1)", "G13(0,1)", "G4(1)"}));
}

TEST(DynamicReader, IfElseBlocksLowerToJumps) {
  const sim::Program p = read3(
      "qubit[2] q; bit[2] c;\n"
      "if (c[0]) {\n  x q[0];\n  h q[1];\n} else {\n  z q[1];\n}\n"
      "if (c[1]) { } else { y q[0]; }\n"
      "if (c[1]) { x q[1]; } else { }\n"
      "s q[0];");
  EXPECT_EQ(instructions_of(p), (S{"JU(0,4)", "G1(0)", "G0(1)", "J(5)", "G3(1)",  // if/else
                                   "JU(1,7)", "J(8)", "G2(0)",                    // empty then
                                   "JU(2,10)", "G1(1)",  // empty else leaves no jump
                                   "G4(0)"}));
  EXPECT_EQ(conditions_of(p), (S{"Bit(0)", "Bit(1)", "Bit(1)"}));
}

TEST(DynamicReader, NestedIfsAndElseIf) {
  const sim::Program p = read3(
      "qubit q; bit[2] c;\n"
      "if (c == 0) { if (c[1]) x q; else { y q; } h q; }\n"
      "else if (c == 1) z q;\n"
      "else s q;");
  EXPECT_EQ(instructions_of(p), (S{"JU(0,7)", "JU(1,4)", "G1(0)", "J(5)", "G2(0)", "G0(0)", "J(11)",
                                   "JU(2,10)", "G3(0)", "J(11)", "G4(0)"}));
  EXPECT_EQ(conditions_of(p), (S{"Cmp(0,2,==,0)", "Bit(1)", "Cmp(0,2,==,1)"}));
}

TEST(DynamicReader, ConditionOperatorsAndTheirGrouping) {
  struct Case {
    const char* condition;
    S nodes;
  };
  // Registers: b (1 bit, bit 0), c (3 bits, 1..3).
  const Case cases[] = {
      {"b", {"Bit(0)"}},
      {"c[2]", {"Bit(3)"}},
      {"!b", {"Bit(0)", "Not(0)"}},
      {"!!c[0]", {"Bit(1)", "Not(0)", "Not(1)"}},
      {"c != 2", {"Cmp(1,3,!=,2)"}},
      {"c < 2", {"Cmp(1,3,<,2)"}},
      {"c <= 2", {"Cmp(1,3,<=,2)"}},
      {"c > 2", {"Cmp(1,3,>,2)"}},
      {"c >= 2", {"Cmp(1,3,>=,2)"}},
      {"c[1] == 1", {"Cmp(2,1,==,1)"}},
      {"b == 0", {"Cmp(0,1,==,0)"}},
      {"2 < c", {"Cmp(1,3,>,2)"}},
      {"2 >= c", {"Cmp(1,3,<=,2)"}},
      {"2 == c", {"Cmp(1,3,==,2)"}},
      {"true", {"Const(1)"}},
      {"false", {"Const(0)"}},
      {"b && c[0] || c[1]", {"Bit(0)", "Bit(1)", "And(0,1)", "Bit(2)", "Or(2,3)"}},
      {"b || c[0] && c[1]", {"Bit(0)", "Bit(1)", "Bit(2)", "And(1,2)", "Or(0,3)"}},
      {"b && c[0] && c[1]", {"Bit(0)", "Bit(1)", "And(0,1)", "Bit(2)", "And(2,3)"}},
      {"b && (c[0] && c[1])", {"Bit(0)", "Bit(1)", "Bit(2)", "And(1,2)", "And(0,3)"}},
      {"!(c == 3) && b", {"Cmp(1,3,==,3)", "Not(0)", "Bit(0)", "And(1,2)"}},
      {"((b))", {"Bit(0)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.condition);
    const sim::Program p = read3(cat({"qubit q; bit b; bit[3] c;\nif (", c.condition, ") x q;"}));
    EXPECT_EQ(conditions_of(p), c.nodes);
    EXPECT_EQ(instructions_of(p),
              (S{test::call_text("JU", {std::to_string(c.nodes.size() - 1), "2"}), "G1(0)"}));
  }
}

TEST(DynamicReader, ConditionErrorsNameTheirPosition) {
  struct Case {
    const char* condition;
    const char* error;
  };
  const std::string prefix = "qasm lower error: condition at line 3:";
  const Case cases[] = {
      {"c == 8", "5: value 8 does not fit the 3-bit \"c\" (at most 7)"},
      {"c[0] == 2", "5: value 2 does not fit the 1-bit \"c\" (at most 1)"},
      {"c == -1", "5: value -1 is negative; registers compare as unsigned integers"},
      {"b && c > -2", "10: value -2 is negative; registers compare as unsigned integers"},
      {"z[0]", "5: undefined creg/bit register \"z\""},
      {"c[3]", "5: bit index 3 out of range for \"c\" of 3 bits"},
      {"b || c",
       "10: \"c\" has 3 bits; a register alone is a condition only with 1 bit (compare it with a "
       "value, or name one bit)"},
      {"!e",
       "6: \"e\" has 0 bits; a register alone is a condition only with 1 bit (compare it "
       "with a value, or name one bit)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.condition);
    EXPECT_EQ(read_error(cat({"OPENQASM 3.0;\nqubit q; bit b; bit[3] c; bit[0] e;\nif (",
                              c.condition, ") x q;"})),
              prefix + c.error);
  }
  // A value that fits: every width up to 62 bits has its own maximum.
  EXPECT_EQ(conditions_of(read3("bit[62] w;\nif (w == 4611686018427387903) { }")),
            (S{"Cmp(0,62,==,4611686018427387903)"}));
  EXPECT_EQ(read_error(cat({kV3, "bit[62] w;\nif (w == 4611686018427387904) { }"})),
            "qasm lower error: condition at line 4:5: value 4611686018427387904 does not fit the "
            "62-bit \"w\" (at most 4611686018427387903)");
}

TEST(DynamicReader, ConditionSyntaxErrors) {
  struct Case {
    const char* condition;  // from column 19
    const char* error;
  };
  const Case cases[] = {
      {"c ==", "qasm parse error at line 1:23: expected expression atom, got RParen"},
      {"1 c", "qasm parse error at line 1:21: expected ')', got Ident(\"c\")"},
      {"", "qasm parse error at line 1:19: expected expression atom, got RParen"},
      {"c = 1", "qasm parse error at line 1:21: expected ')', got Eq"},
      {"c &&", "qasm parse error at line 1:23: expected expression atom, got RParen"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.condition);
    EXPECT_EQ(read_error(cat({"OPENQASM 3.0; if (", c.condition, ") { }"})), c.error);
  }
}

// ---- refusals ----

TEST(DynamicReader, EveryRefusalNamesItsConstructAndPosition) {
  struct Case {
    const char* text;  // placed at line 3, column 3
    const char* error;
  };
  const Case cases[] = {
      {"opaque g a;",
       "qasm unsupported feature: opaque gate declaration \"g\" at line 3:3 not supported"},
      {"extern f(int) -> int;",
       "qasm unsupported feature: OpenQASM 3.0 extern declaration (no extern functions are "
       "available) 'extern' at line 3:3"},
      {"defcal x $0 { }",
       "qasm unsupported feature: OpenQASM 3.0 calibration definition (pulse level) 'defcal' at "
       "line 3:3"},
      {"cal { }",
       "qasm unsupported feature: OpenQASM 3.0 calibration block (pulse level) 'cal' at line 3:3"},
      {"array[int[8], 4] a;",
       "qasm unsupported feature: 'array' declaration at line 3:3 (arrays are not read; bit[n] "
       "registers and the bits of integers are)"},
      // A dimension designator lexes and parses, so the array is refused for what it is.
      {"def f(readonly array[int[8], #dim = 1] a) { } array[int[8], 4] b;",
       "qasm unsupported feature: 'array' declaration at line 3:49 (arrays are not read; bit[n] "
       "registers and the bits of integers are)"},
      {"complex[float[64]] z;",
       "qasm unsupported feature: 'complex' declaration at line 3:3 (complex numbers are not "
       "read)"},
      {"switch (c) { }",
       "qasm unsupported feature: OpenQASM 3.0 switch statement 'switch' at "
       "line 3:3"},
      {"else { x q[0]; }", "qasm parse error at line 3:3: 'else' without a preceding 'if' body"},
      {"if (c[0]) { qubit r; }",
       "qasm unsupported feature: 'qubit' inside an 'if' body at line 3:15 (declarations and "
       "includes belong at the top level)"},
      {"if (c[0]) { gate g a { x a; } }",
       "qasm unsupported feature: 'gate' inside an 'if' body at line 3:15 (declarations and "
       "includes belong at the top level)"},
      {"if (c[0]) { include \"stdgates.inc\"; }",
       "qasm unsupported feature: 'include' inside an 'if' body at line 3:15 (declarations and "
       "includes belong at the top level)"},
      {"{ x q[0]; }",
       "qasm parse error at line 3:3: unexpected token LBrace at start of "
       "statement"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(read_error(cat({"OPENQASM 3.0;\nqubit[2] q; bit[2] c;\n  ", c.text})), c.error);
  }
}

TEST(DynamicReader, ReservedWordsAreGateNamesInOpenQasm2) {
  // In a 2.0 program `inv` and `delay` are plain names: here user gates.
  const sim::Program p =
      read2("qreg q[1];\ngate inv a { x a; }\ngate delay a { h a; }\ninv q[0];\ndelay q[0];");
  EXPECT_EQ(instructions_of(p), (S{"G1(0)", "G0(0)"}));
}

TEST(DynamicReader, BlockCommentsAreSkipped) {
  EXPECT_EQ(instructions_of(read3("qubit q; /* a\ncomment */ x q; /**/ h q;")),
            (S{"G1(0)", "G0(0)"}));
  EXPECT_EQ(read_error(cat({kV3, "x q;\n /* open"})),
            "qasm lex error at line 4:2: unterminated block comment");
}

// ---- global phases ----

TEST(DynamicReader, GlobalPhaseOutsideBodiesIsTheProgramsSumInTextOrder) {
  const sim::Program p = read2("qreg q[1];\ngphase(0.1);\nsx q[0];\ngphase(0.2);\nsxdg q[0];");
  const sim::Circuit c = std::move(parse_qasm(cat({kV2,
                                                   "qreg q[1];\ngphase(0.1);\nsx q[0];\ngphase("
                                                   "0.2);\nsxdg q[0];"})))
                             .value();
  EXPECT_EQ(std::bit_cast<std::uint64_t>(p.global_phase),
            std::bit_cast<std::uint64_t>(c.global_phase()));
  EXPECT_NE(p.global_phase, 0.0);
}

// Inside a body the phase belongs to that body: gates multiply the state by it there.
TEST(DynamicReader, GlobalPhaseInsideABodyIsAppliedByGates) {
  const sim::Program p =
      read2("qreg q[2]; creg c[1];\nif (c == 1) sx q[1];\nif (c == 0) gphase(0.3);");
  EXPECT_EQ(p.global_phase, 0.0);
  EXPECT_EQ(instructions_of(p),
            (S{"JU(0,4)", "G8(1)", "G11(1)", "G10(1)", "JU(1,7)", "G11(0)", "G10(0)"}));
  // Each pair of gates is e^{i phase} times the identity.
  const double phases[] = {0.7853981633974483, 0.3};
  const std::size_t pairs[] = {2, 5};
  for (int k = 0; k < 2; ++k) {
    const auto& u3 = std::get<sim::GateOp>(p.instructions[pairs[k]]).gate;
    const auto& rz = std::get<sim::GateOp>(p.instructions[pairs[k] + 1]).gate;
    const auto a = core::matrix_2x2<double>(u3);
    const auto b = core::matrix_2x2<double>(rz);
    // b * a, both diagonal.
    const std::complex<double> d0 =
        std::complex<double>(b[0].re, b[0].im) * std::complex<double>(a[0].re, a[0].im);
    const std::complex<double> d1 =
        std::complex<double>(b[3].re, b[3].im) * std::complex<double>(a[3].re, a[3].im);
    const std::complex<double> expected = std::polar(1.0, phases[k]);
    EXPECT_LT(std::abs(d0 - expected), 1e-15);
    EXPECT_LT(std::abs(d1 - expected), 1e-15);
    EXPECT_EQ(a[1].re, 0.0);
    EXPECT_EQ(b[1].re, 0.0);
  }
  EXPECT_EQ(read_error(cat({kV3, "bit c;\nif (c) gphase(1);"})),
            "qasm lower error: global phase inside an 'if' body at line 4:8 in a program without "
            "qubits");
}

// ---- included files ----

TEST(DynamicReader, IncludedStatementsTakeTheIncludesPlace) {
  const Files files = {
      {"defs.inc", "gate flip a { x a; }\nqreg r[1];\ncreg d[1];\nh r[0];"},
  };
  const sim::Program p = read_ok(
      "OPENQASM 2.0;\nqreg q[1];\nh q[0];\ninclude \"defs.inc\";\nflip r[0];\nmeasure r[0] -> "
      "d[0];",
      table_source(files));
  EXPECT_EQ(instructions_of(p), (S{"G0(0)", "G0(1)", "G1(1)", "M(1,0)"}));
  EXPECT_EQ(p.included_files, (std::vector<std::string>{"defs.inc"}));
}

TEST(DynamicReader, IncludesResolveAgainstTheIncludingFolderFirst) {
  const Files files = {
      {"lib/a.inc", "include \"b.inc\";\nx q[0];"},  // lib/b.inc, not b.inc
      {"lib/b.inc", "y q[0];"},
      {"b.inc", "z q[0];"},
      {"lib/c.inc", "include \"d.inc\";"},  // no lib/d.inc: the current directory's
      {"d.inc", "h q[0];"},
  };
  const sim::Program p = read_ok(
      "OPENQASM 3.0;\nqubit[1] q;\ninclude \"lib/a.inc\";\ninclude \"lib/c.inc\";\ninclude "
      "\"b.inc\";",
      table_source(files));
  EXPECT_EQ(instructions_of(p), (S{"G2(0)", "G1(0)", "G0(0)", "G3(0)"}));
  EXPECT_EQ(p.included_files,
            (std::vector<std::string>{"lib/a.inc", "lib/b.inc", "lib/c.inc", "d.inc", "b.inc"}));
  // A file read from a folder resolves against that folder; paths are normalised.
  const sim::Program q =
      read_ok("OPENQASM 3.0;\nqubit[1] q;\ninclude \"../b.inc\";\ninclude \"./b.inc\";",
              table_source(files, "lib/main.qasm"));
  EXPECT_EQ(instructions_of(q), (S{"G3(0)", "G2(0)"}));
  EXPECT_EQ(q.included_files, (std::vector<std::string>{"b.inc", "lib/b.inc"}));
}

TEST(DynamicReader, AFileIncludedTwiceIsListedOnce) {
  const Files files = {{"g.inc", "x q[0];"}};
  const sim::Program p = read_ok("OPENQASM 3.0;\nqubit q;\ninclude \"g.inc\";\ninclude \"g.inc\";",
                                 table_source(files));
  EXPECT_EQ(instructions_of(p), (S{"G1(0)", "G1(0)"}));
  EXPECT_EQ(p.included_files, (std::vector<std::string>{"g.inc"}));
}

TEST(DynamicReader, IncludedFilesMayHaveAHeader) {
  const Files files = {{"h.inc", "OPENQASM 3.0;\ninclude \"stdgates.inc\";\nbit[2] e = \"10\";"}};
  const sim::Program p = read_ok("OPENQASM 2.0;\ninclude \"h.inc\";", table_source(files));
  EXPECT_EQ(p.initial_bits, (std::vector<std::uint8_t>{0, 1}));
  EXPECT_EQ(
      read_error("OPENQASM 2.0;\ninclude \"v.inc\";", table_source({{"v.inc", "OPENQASM 4;"}})),
      "qasm parse error at line 1:10: unsupported OPENQASM version 4 (in \"v.inc\")");
}

TEST(DynamicReader, IncludeCyclesShowTheirChain) {
  const Files files = {
      {"a.qasm", "OPENQASM 3.0;\ninclude \"b.qasm\";"},
      {"b.qasm", "include \"c.qasm\";"},
      {"c.qasm", "\n include \"b.qasm\";"},
      {"self.inc", "include \"self.inc\";"},
  };
  EXPECT_EQ(read_error("OPENQASM 3.0;\ninclude \"b.qasm\";", table_source(files)),
            "qasm parse error at line 2:2: include cycle: b.qasm -> c.qasm -> b.qasm (in "
            "\"c.qasm\")");
  EXPECT_EQ(read_error(files.at("a.qasm"), table_source(files, "a.qasm")),
            "qasm parse error at line 2:2: include cycle: b.qasm -> c.qasm -> b.qasm (in "
            "\"c.qasm\")");
  EXPECT_EQ(read_error("OPENQASM 3.0;\ninclude \"b.qasm\";",
                       table_source({{"b.qasm", "include \"a.qasm\";"}}, "a.qasm")),
            "qasm parse error at line 1:1: include cycle: a.qasm -> b.qasm -> a.qasm (in "
            "\"b.qasm\")");
  EXPECT_EQ(read_error("OPENQASM 3.0;\ninclude \"self.inc\";", table_source(files)),
            "qasm parse error at line 1:1: include cycle: self.inc -> self.inc (in "
            "\"self.inc\")");
}

TEST(DynamicReader, AMissingFileIsNamedWithWhereItWasLookedFor) {
  EXPECT_EQ(read_error("OPENQASM 3.0;\n  include \"none.inc\";", table_source({})),
            "qasm parse error at line 2:3: include of \"none.inc\": file not found (tried "
            "\"none.inc\")");
  EXPECT_EQ(read_error("OPENQASM 3.0;\ninclude \"none.inc\";", table_source({}, "dir/m.qasm")),
            "qasm parse error at line 2:1: include of \"none.inc\": file not found (tried "
            "\"dir/none.inc\", \"none.inc\") (in \"dir/m.qasm\")");
}

TEST(DynamicReader, ErrorsInsideIncludedFilesNameThatFile) {
  const Files files = {
      {"lex.inc", "x q[0];\n  $"},
      {"parse.inc", "x q[0]\n"},
      {"lower.inc", "qreg q[1];\nx q[0];\ncx q[0], q[0], q[0];"},
      {"range.inc", "x q[5];"},
      {"def.inc", "gate g a { nosuch a; }\ngate two a, b { cx a, b; }"},
  };
  const auto error = [&](std::string_view main) {
    return read_error(cat({"OPENQASM 2.0;\n", main}), table_source(files, "main.qasm"));
  };
  EXPECT_EQ(error("include \"lex.inc\";"),
            "qasm lex error at line 2:3: unexpected character '$' (in \"lex.inc\")");
  EXPECT_EQ(error("qreg q[1];\ninclude \"parse.inc\";"),
            "qasm parse error at line 2:1: expected ';', got Eof (in \"parse.inc\")");
  EXPECT_EQ(error("include \"lower.inc\";"),
            "qasm gate 'cx' at line 3:1 expected 2 qubits, got 3 (in \"lower.inc\")");
  EXPECT_EQ(error("qreg q[1];\ninclude \"range.inc\";"),
            "qasm qubit index 5 out of range (n_qubits=1) (at line 1:1 of \"range.inc\")");
  // A gate's body lies in its file; the call in the text's.
  EXPECT_EQ(error("qreg q[2];\ninclude \"def.inc\";\ng q[0];"),
            "qasm unknown gate 'nosuch' at line 1:12 (in \"def.inc\")");
  EXPECT_EQ(error("qreg q[2];\ninclude \"def.inc\";\ntwo q[0];"),
            "qasm gate 'two' at line 2:1 expected 2 qubits, got 1 (in \"def.inc\")");
  EXPECT_EQ(error("qreg q[2];\ninclude \"def.inc\";\nfoo q[0];"),
            "qasm unknown gate 'foo' at line 4:1 (in \"main.qasm\")");
  EXPECT_EQ(error("qreg q[2];\ninclude \"def.inc\";\n\nqreg q[1];"),
            "qasm lower error: duplicate qreg/qubit declaration \"q\" (at line 5:1 of "
            "\"main.qasm\")");
}

TEST(DynamicReader, IncludesWithoutAFileSourceFail) {
  Result<TokenList> tokens = tokenize("OPENQASM 3.0;\ninclude \"x.inc\";", ReaderMode::Dynamic);
  ASSERT_TRUE(tokens.ok());
  Result<Program> program =
      parse_program(std::move(tokens).value(), ParseOptions{ReaderMode::Dynamic, nullptr});
  ASSERT_FALSE(program.ok());
  EXPECT_EQ(program.error().render(),
            "qasm parse error at line 2:1: include of \"x.inc\": no file source to read it from");
}

TEST(DynamicReader, TheFileSystemIsTheDefaultSource) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    cat({"vorn_reader_test_", std::to_string(::getpid())});
  std::filesystem::create_directories(dir / "sub");
  std::ofstream(dir / "sub" / "g.inc") << "gate flip a { x a; }\n";
  ProgramSource source;
  source.file_name = (dir / "main.qasm").string();
  const sim::Program p =
      read_ok("OPENQASM 3.0;\nqubit q;\ninclude \"sub/g.inc\";\nflip q;", source);
  EXPECT_EQ(instructions_of(p), (S{"G1(0)"}));
  ASSERT_EQ(p.included_files.size(), 1u);
  EXPECT_EQ(p.included_files[0], (dir / "sub" / "g.inc").generic_string());
  // A folder is no file.
  EXPECT_FALSE(read_file_from_disk((dir / "sub").string()).has_value());
  EXPECT_FALSE(read_file_from_disk((dir / "none").string()).has_value());
  std::filesystem::remove_all(dir);
}

// ---- bounds ----

TEST(DynamicReader, NestedIfsCountTowardsTheNestingBound) {
  const auto nested = [](std::size_t depth) {
    std::string text = "OPENQASM 3.0;\nqubit q; bit b;\n";
    for (std::size_t k = 0; k < depth; ++k) {
      text += "if (b) {";
    }
    text += "x q;";
    text.append(depth, '}');
    return text;
  };
  EXPECT_EQ(read_ok(nested(MAX_NESTING_DEPTH)).instructions.size(), MAX_NESTING_DEPTH + 1);
  const std::string error = read_error(nested(MAX_NESTING_DEPTH + 1));
  EXPECT_NE(error.find("nesting too deep"), std::string::npos) << error;
  // Negations and parentheses in conditions count too.
  EXPECT_NE(read_error(cat({"OPENQASM 3.0; bit b; if (", std::string(300, '!'), "b) { }"}))
                .find("nesting too deep"),
            std::string::npos);
  EXPECT_NE(read_error(cat({"OPENQASM 3.0; bit b; if (", std::string(300, '('), "b",
                            std::string(300, ')'), ") { }"}))
                .find("nesting too deep"),
            std::string::npos);
}

TEST(DynamicReader, InstructionsAndConditionsAreBounded) {
  ProgramSource source = table_source({});
  source.limits.max_operations = 4;
  EXPECT_EQ(read_ok("OPENQASM 3.0; qubit[2] q; bit[2] c; x q; c = measure q;", source)
                .instructions.size(),
            4u);
  EXPECT_EQ(
      read_error("OPENQASM 3.0; qubit[2] q; bit[2] c;\nx q; c = measure q; reset q[0];", source),
      "qasm lower error: reset at line 2:21: the program would exceed 4 instructions");
  EXPECT_EQ(read_error("OPENQASM 3.0; qubit[2] q; bit[2] c;\nx q; x q; x q;", source),
            "qasm lower error: gate 'x' at line 2:11: the circuit would exceed 4 operations");
  EXPECT_EQ(read_error("OPENQASM 3.0; qubit[2] q; bit[2] c;\nh q; if (c[0]) x q;", source),
            "qasm lower error: gate 'x' at line 2:16: the circuit would exceed 4 operations");
  EXPECT_EQ(read_error("OPENQASM 3.0; qubit[2] q; bit[2] c;\nx q; h q; if (c[0]) { }", source),
            "qasm lower error: if at line 2:11: the program would exceed 4 instructions");
  EXPECT_EQ(read_error("OPENQASM 3.0; bit[2] c;\nif (c[0] && c[1] && c[0]) { }", source),
            "qasm lower error: condition at line 2:18: the program would exceed 4 instructions");
  // Initial values are given to at most max_operations bits.
  EXPECT_EQ(read_error("OPENQASM 3.0; bit[4] c; bit e = \"1\";", source),
            "qasm lower error: bit-string initialiser of \"e\": the program's 5 bits exceed the 4 "
            "that can be given initial values");
}

TEST(DynamicReader, IncludedTextIsBoundedCountingEveryInclusion) {
  // Each file includes the next one twice: 2^k inclusions of a small text.
  Files files;
  for (int k = 0; k < 30; ++k) {
    const std::string next = std::to_string(k + 1);
    files[cat({"f", std::to_string(k), ".inc"})] =
        cat({"include \"f", next, ".inc\"; include \"f", next, ".inc\";"});
  }
  files["f30.inc"] = "x q;";
  ProgramSource source = table_source(files);
  source.limits.max_include_bytes = 1 << 16;
  const std::string error = read_error("OPENQASM 3.0; qubit q; include \"f0.inc\";", source);
  EXPECT_NE(error.find("the included files exceed 65536 bytes in all"), std::string::npos) << error;
}

// ---- the summary ----

TEST(DynamicReader, SummaryCountsWhatMakesAProgramDynamic) {
  const Files files = {{"a.inc", "x q[1];"}};
  const sim::Program p = read_ok(
      "OPENQASM 3.0; include \"a.inc\"; qubit[3] q; bit[3] c;\n"
      "c[0] = measure q[0];\n"  // followed by a jump: mid-circuit
      "c[1] = measure q[1];\n"  // its qubit is reset later: mid-circuit
      "if (c[0]) x q[2];\n"
      "reset q[1];\n"
      "c[2] = measure q[2];\n"   // terminal
      "c[1] = measure q[1];\n",  // terminal
      table_source(files));
  const ProgramSummary summary = summarize_program(p);
  EXPECT_EQ(summary.gates, 2u);
  EXPECT_EQ(summary.measurements, 4u);
  EXPECT_EQ(summary.mid_circuit_measurements, 2u);
  EXPECT_EQ(summary.resets, 1u);
  EXPECT_EQ(summary.conditions, 1u);
  EXPECT_EQ(summary.included_files, 1u);
  const ProgramSummary static_summary =
      summarize_program(read3("qubit[2] q; bit[2] c; h q; c = measure q;"));
  EXPECT_EQ(static_summary.mid_circuit_measurements, 0u);
  EXPECT_EQ(static_summary.measurements, 2u);
}

// A loop is counted once, by its test, however many jumps go back to it; jumps forward (an `if`
// with an `else`) are no loops.
TEST(DynamicReader, SummaryCountsEachLoopOnce) {
  sim::Program p = read_ok(
      "OPENQASM 3.0; qubit q; bit c; bit d;\n"
      "while (!c) { c = measure q; }\n"
      "if (c) { x q; } else { d = measure q; }\n"
      "while (!d) { d = measure q; }\n");
  EXPECT_EQ(summarize_program(p).loops, 2u);
  // A second jump back to the first loop's test, as a `continue` would make.
  const auto first_back =
      std::find_if(p.instructions.begin(), p.instructions.end(), [](const sim::Instruction& i) {
        const auto* jump = std::get_if<sim::Jump>(&i);
        return jump != nullptr && jump->target == 0;
      });
  ASSERT_NE(first_back, p.instructions.end());
  p.instructions.insert(first_back, sim::Jump{0});
  const ProgramSummary summary = summarize_program(p);
  EXPECT_EQ(summary.loops, 2u);
  EXPECT_EQ(summary.conditions, 3u);
}

// ---- the specified mode, and static programs in the dynamic mode ----

// The inputs that only the dynamic mode reads keep their texts in the specified mode.
TEST(DynamicReader, TheSpecifiedModeRefusesAsBefore) {
  struct Case {
    const char* text;  // from line 2
    const char* specified;
    bool dynamic_reads;
  };
  const Case cases[] = {
      {"qreg q[1]; creg c[1];\nif (c == 1) x q[0];",
       "qasm unsupported feature: classical control flow 'if (c == N) ...' at line 3:1 requires "
       "mid-circuit measurement (planned for v0.5)",
       true},
      {"qreg q[1];\n reset q[0];",
       "qasm unsupported feature: 'reset' at line 3:2 requires mid-circuit measurement (planned "
       "for v0.5)",
       true},
      {"qreg q[1];\ninclude \"g.inc\";",
       "qasm unsupported feature: include of \"g.inc\" at line 3:1 not supported (only "
       "qelib1.inc / stdgates.inc) (planned for v0.4+)",
       true},
      {"qubit q; bit b;\nif (b) { x q; } else { y q; }",
       "qasm parse error at line 3:6: expected '==', got RParen", true},
      {"qubit q; bit[2] b = \"01\";", "qasm parse error at line 2:19: expected ';', got Eq", true},
      {"qubit q; bit b;\nif (!b) x q;", "qasm lex error at line 3:5: unexpected character '!'",
       true},
      {"qubit q; /* x */",
       "qasm parse error at line 2:10: unexpected token Slash at start of "
       "statement",
       true},
      {"qubit q;\nfor i in [0:1] { x q; }",
       "qasm unsupported feature: OpenQASM 3.0 'for' (dynamic circuits) at line 3:1 (planned "
       "for v0.5)",
       true},
      {"qubit q;\nbool q;", "qasm unknown gate 'bool' at line 3:1", false},
  };
  const Files files = {{"g.inc", "x q[0];"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string text = cat({"OPENQASM 3.0;\n", c.text});
    Result<sim::Circuit> specified = parse_qasm(text);
    ASSERT_FALSE(specified.ok());
    EXPECT_EQ(specified.error().render(), c.specified);
    EXPECT_EQ(read_program(text, table_source(files)).ok(), c.dynamic_reads);
  }
}

// A program without jumps, resets or measurements followed by anything on their qubit reads
// to the circuit's operations, angles and phase bit for bit.
TEST(DynamicReader, AcceptedCorpusProgramsReadAsTheirCircuits) {
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(qasm_corpus() / "accepted")) {
    SCOPED_TRACE(entry.path().filename().string());
    const std::string text = read_text(entry.path());
    Result<sim::Circuit> circuit = parse_qasm(text);
    ASSERT_TRUE(circuit.ok()) << circuit.error().render();
    const sim::Program p = read_ok(text);
    sim::Program expected;
    expected.n_qubits = circuit.value().n_qubits();
    for (const sim::Operation& op : circuit.value().ops()) {
      if (const auto* gate = std::get_if<sim::GateOp>(&op)) {
        expected.instructions.emplace_back(*gate);
      } else {
        expected.instructions.emplace_back(std::get<sim::Measure>(op));
      }
    }
    expected.global_phase = circuit.value().global_phase();
    expected.n_bits = p.n_bits;
    expected.registers = p.registers;
    std::string what;
    EXPECT_TRUE(test::same_program(p, expected, what)) << what;
    ++files;
  }
  EXPECT_GT(files, 100u);
}

// The corpus programs refused only for `if` or `reset` (and a few more that use only what the
// dynamic mode adds) read in the dynamic mode.
TEST(DynamicReader, CorpusProgramsRefusedForIfOrResetRead) {
  const char* names[] = {
      "oq2_inverseqft1.qasm",
      "oq2_teleport.qasm",
      "oq2_teleportv2.qasm",
      "qb_cc_n12.qasm",
      "qb_inverseqft_n4.qasm",
      "qb_ipea_n2.qasm",
      "qb_ipea_n2_transpiled.qasm",
      "qb_qec_sm_n5.qasm",
      "qb_shor_n5.qasm",
      "qb_square_root_n18.qasm",
      "qk_example_if.qasm",
      "oq3_teleport.qasm",
      "qs_BellPair.qasm",
      "qs_OpenQasmHelloWorld.qasm",
  };
  for (const char* name : names) {
    SCOPED_TRACE(name);
    const std::string text = read_text(qasm_corpus() / "refused" / name);
    ASSERT_FALSE(text.empty());
    ASSERT_FALSE(parse_qasm(text).ok());
    Result<sim::Program> program = read_program(text, table_source({}, name));
    ASSERT_TRUE(program.ok()) << program.error().render();
    EXPECT_FALSE(program.value().instructions.empty());
  }
  // The one refused only for its include reads once the included file is there.
  const std::string text = read_text(qasm_corpus() / "refused" / "qs_with_includes.qasm");
  Result<sim::Program> program =
      read_program(text, table_source({{"included.qasm", "OPENQASM 3.0;\ngate hh a { h a; }"}}));
  ASSERT_TRUE(program.ok()) << program.error().render();
  EXPECT_EQ(program.value().included_files, (std::vector<std::string>{"included.qasm"}));
}

}  // namespace
}  // namespace vorn::qasm
