// Writing dynamic programs: the 3.0 and 2.0 texts line by line, what 2.0 cannot say, the
// programs that have no text, and the round trip through the dynamic reader for random
// programs and for the corpus programs that use conditions and resets.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "corpus_files.h"
#include "dynamic_text.h"
#include "qasm/exporter.h"
#include "qasm/parser.h"
#include "qasm/program_reader.h"
#include "text.h"

namespace vorn::qasm {
namespace {

using sim::CompareOp;
using sim::ConditionKind;
using sim::ConditionNode;
using test::cat;
using test::read_ok;

std::string v3(const sim::Program& p) {
  Result<std::string> text = export_program(p, QasmVersion::V3);
  if (!text.ok()) {
    ADD_FAILURE() << text.error().render();
    return "";
  }
  return std::move(text).value();
}

std::string v2(const sim::Program& p) {
  Result<std::string> text = export_program(p, QasmVersion::V2);
  if (!text.ok()) {
    ADD_FAILURE() << text.error().render();
    return "";
  }
  return std::move(text).value();
}

std::string failure(const sim::Program& p, QasmVersion version) {
  Result<std::string> text = export_program(p, version);
  if (text.ok()) {
    ADD_FAILURE() << "written:\n" << text.value();
    return "written";
  }
  return text.error().render();
}

TEST(ExportProgram, TeleportationInBothVersions) {
  const sim::Program p = read_ok(
      "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[3];\ncreg c0[1];\ncreg c1[1];\n"
      "h q[1]; cx q[1],q[2]; cx q[0],q[1]; h q[0];\n"
      "measure q[0] -> c0[0];\nmeasure q[1] -> c1[0];\n"
      "if(c0==1) z q[2];\nif(c1==1) x q[2];\nreset q[0];\n");
  EXPECT_EQ(v3(p),
            "OPENQASM 3.0;\ninclude \"stdgates.inc\";\nqubit[3] q;\nbit[1] c0;\nbit[1] c1;\n"
            "h q[1];\ncx q[1],q[2];\ncx q[0],q[1];\nh q[0];\n"
            "c0[0] = measure q[0];\nc1[0] = measure q[1];\n"
            "if (c0 == 1) {\n  z q[2];\n}\nif (c1 == 1) {\n  x q[2];\n}\nreset q[0];\n");
  EXPECT_EQ(v2(p),
            "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[3];\ncreg c0[1];\ncreg c1[1];\n"
            "h q[1];\ncx q[1],q[2];\ncx q[0],q[1];\nh q[0];\n"
            "measure q[0] -> c0[0];\nmeasure q[1] -> c1[0];\n"
            "if (c0==1) z q[2];\nif (c1==1) x q[2];\nreset q[0];\n");
}

TEST(ExportProgram, BlocksConditionsInitialValuesAndPhase) {
  const sim::Program p = read_ok(
      "OPENQASM 3.0;\nqubit[2] q; bit b; bit[3] c = \"110\"; bit[0] e;\ngphase(0.5);\n"
      "if (!b && (c[0] || c[2]) && !(c >= 3) || e == 0) {\n"
      "  if (b) rx(0.25) q[0]; else { u3(1,2,3) q[1]; c[1] = measure q[1]; }\n"
      "} else if (3 > c) { swap q[0], q[1]; }\n"
      "if (true) { } else { reset q; }\n"
      "if (false || b != 1 && c < 2 && c <= 1 && b > 0) { }\n");
  EXPECT_EQ(v3(p),
            "OPENQASM 3.0;\ninclude \"stdgates.inc\";\nqubit[2] q;\nbit[1] b;\n"
            "bit[3] c = \"110\";\nbit[0] e;\ngphase(0.5);\n"
            "if (!b && (c[0] || c[2]) && !(c >= 3) || e == 0) {\n"
            "  if (b) {\n    rx(0.25) q[0];\n  } else {\n    u3(1,2,3) q[1];\n"
            "    c[1] = measure q[1];\n  }\n"
            "} else {\n  if (c < 3) {\n    swap q[0],q[1];\n  }\n}\n"
            "if (true) {\n} else {\n  reset q[0];\n  reset q[1];\n}\n"
            "if (false || b != 1 && c < 2 && c <= 1 && b > 0) {\n}\n");
}

TEST(ExportProgram, RightOperandsOfTheSameOperatorAreParenthesised) {
  const sim::Program p = read_ok(
      "OPENQASM 3.0;\nbit a; bit b; bit c;\nif (a && (b && c)) { }\nif (a || (b || c)) { }\n"
      "if ((a || b) && c) { }\nif (!!a) { }\nif (!(a && b)) { }");
  const std::string text = v3(p);
  for (const char* line : {"if (a && (b && c)) {\n", "if (a || (b || c)) {\n",
                           "if ((a || b) && c) {\n", "if (!!a) {\n", "if (!(a && b)) {\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
}

TEST(ExportProgram, WhatOpenQasm2CannotSay) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"if (c == 1) x q; else y q;",
       "qasm unsupported feature: OpenQASM 2.0 cannot express an 'else' branch (instruction 0)"},
      {"h q; if (c == 1) { x q; y q; }",
       "qasm unsupported feature: OpenQASM 2.0 cannot express an 'if' body other than one "
       "operation (instruction 1)"},
      {"if (c == 1) { }",
       "qasm unsupported feature: OpenQASM 2.0 cannot express an 'if' body other than one "
       "operation (instruction 0)"},
      {"if (c == 1) if (c == 0) x q;",
       "qasm unsupported feature: OpenQASM 2.0 cannot express an 'if' body other than one "
       "operation (instruction 0)"},
      {"if (c[0]) x q;",
       "qasm unsupported feature: OpenQASM 2.0 cannot express a condition other than 'register "
       "== value' (instruction 0)"},
      {"if (c[1] == 1) x q;",
       "qasm unsupported feature: OpenQASM 2.0 cannot express a condition other than 'register "
       "== value' (instruction 0)"},
      {"if (c != 1) x q;",
       "qasm unsupported feature: OpenQASM 2.0 cannot express a condition other than 'register "
       "== value' (instruction 0)"},
      {"if (c == 1 && c == 1) x q;",
       "qasm unsupported feature: OpenQASM 2.0 cannot express a condition other than 'register "
       "== value' (instruction 0)"},
      {"bit[1] d = \"1\";",
       "qasm unsupported feature: OpenQASM 2.0 cannot express the initial bit values of \"d\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const sim::Program p = read_ok(cat({"OPENQASM 3.0;\nqubit q; bit[2] c;\n", c.text}));
    EXPECT_EQ(failure(p, QasmVersion::V2), c.error);
    EXPECT_TRUE(export_program(p, QasmVersion::V3).ok());
  }
}

// A program that the reader did not build: two registers over 3 bits, one qubit.
sim::Program foreign() {
  sim::Program p;
  p.n_qubits = 1;
  p.n_bits = 3;
  p.registers = {{"a", 0, 1}, {"b", 1, 2}};
  return p;
}

ConditionNode bit_node(std::uint64_t bit) {
  ConditionNode node;
  node.kind = ConditionKind::Bit;
  node.bit = bit;
  return node;
}

sim::GateOp x0() { return sim::GateOp{core::Gate{core::GateKind::X}, {0, 0, 0}}; }

TEST(ExportProgram, ProgramsWithoutAText) {
  struct Case {
    const char* what;
    sim::Program program;
    const char* error;
    // 2.0 refuses a condition that is not one comparison before looking into it.
    bool v3_only = false;
  };
  std::vector<Case> cases;
  const auto add = [&](const char* what, auto change, const char* error, bool v3_only = false) {
    sim::Program p = foreign();
    change(p);
    cases.push_back(Case{what, std::move(p), error, v3_only});
  };
  const char* bad_jump0 =
      "qasm unsupported feature: writing a program whose jump at instruction 0 does not delimit "
      "an if/else block";
  const char* bad_condition0 =
      "qasm unsupported feature: writing a program whose condition at instruction 0 is not a "
      "tree of earlier pool entries over its registers";
  add(
      "a bare jump",
      [](sim::Program& p) {
        p.instructions = {sim::Jump{1}, x0()};
      },
      bad_jump0);
  add(
      "a backward jump",
      [](sim::Program& p) {
        p.conditions = {bit_node(0)};
        p.instructions = {sim::JumpUnless{0, 0}};
      },
      bad_jump0);
  add(
      "a jump past the end",
      [](sim::Program& p) {
        p.conditions = {bit_node(0)};
        p.instructions = {sim::JumpUnless{0, 2}};
      },
      bad_jump0);
  add(
      "blocks that overlap",
      [](sim::Program& p) {
        p.conditions = {bit_node(0)};
        p.instructions = {sim::JumpUnless{0, 2}, sim::JumpUnless{0, 3}, x0()};
      },
      "qasm unsupported feature: writing a program whose jump at instruction 1 does not delimit "
      "an if/else block",
      true);
  add(
      "a jump onto the next instruction",
      [](sim::Program& p) {
        p.conditions = {bit_node(0)};
        p.instructions = {sim::JumpUnless{0, 2}, sim::Jump{2}};
      },
      "qasm unsupported feature: writing a program whose jump at instruction 1 does not delimit "
      "an if/else block",
      true);
  add(
      "a condition outside the pool",
      [](sim::Program& p) {
        p.instructions = {sim::JumpUnless{0, 2}, x0()};
      },
      bad_condition0, true);
  add(
      "an operand after its node",
      [](sim::Program& p) {
        ConditionNode not_node;
        not_node.kind = ConditionKind::Not;
        not_node.left = 1;
        p.conditions = {not_node, bit_node(0)};
        p.instructions = {sim::JumpUnless{0, 2}, x0()};
      },
      bad_condition0, true);
  add(
      "a shared operand",
      [](sim::Program& p) {
        ConditionNode both;
        both.kind = ConditionKind::And;
        both.left = 0;
        both.right = 0;
        p.conditions = {bit_node(0), both};
        p.instructions = {sim::JumpUnless{1, 2}, x0()};
      },
      bad_condition0, true);
  add(
      "a comparison over no register",
      [](sim::Program& p) {
        ConditionNode compare;
        compare.kind = ConditionKind::Compare;
        compare.offset = 0;
        compare.size = 2;
        p.conditions = {compare};
        p.instructions = {sim::JumpUnless{0, 2}, x0()};
      },
      bad_condition0, true);
  add(
      "a bit past the registers",
      [](sim::Program& p) {
        p.instructions = {sim::Measure{0, 3}};
      },
      "qasm unsupported feature: writing a program whose measurement at instruction 0 names a "
      "bit outside its registers");
  add(
      "registers with a gap", [](sim::Program& p) { p.registers[1].offset = 2; },
      "qasm unsupported feature: writing a program whose bit registers do not cover its bits in "
      "order");
  add(
      "registers short of the bits", [](sim::Program& p) { p.n_bits = 4; },
      "qasm unsupported feature: writing a program whose bit registers do not cover its bits in "
      "order");
  add(
      "initial bits of another count", [](sim::Program& p) { p.initial_bits = {1}; },
      "qasm unsupported feature: writing a program whose bit registers do not cover its bits in "
      "order");
  for (const char* name : {"if", "true", "int", "a b", "", "1a", "a", "\xCF\x80"}) {
    add(
        name, [name](sim::Program& p) { p.registers[1].name = name; },
        "register name");  // checked below by its start
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (QasmVersion version : {QasmVersion::V2, QasmVersion::V3}) {
      if (c.v3_only && version == QasmVersion::V2) {
        continue;
      }
      const std::string error = failure(c.program, version);
      if (std::string_view(c.error) == "register name") {
        EXPECT_EQ(error, cat({"qasm unsupported feature: writing a bit register named \"",
                              c.program.registers[1].name, "\", which is not an identifier"}));
      } else {
        EXPECT_EQ(error, c.error);
      }
    }
  }
}

// The dynamic reader reads names in any script; the 3.0 text keeps them, a 2.0 text cannot.
TEST(ExportProgram, RegisterNamesInAnotherScriptHaveA3Text) {
  const std::string text =
      "OPENQASM 3.0;\ninclude \"stdgates.inc\";\nqubit[1] q;\nbit[2] \xCE\xB8\xCF\x80;\n"
      "\xCE\xB8\xCF\x80[1] = measure q[0];\n";
  Result<sim::Program> program = read_program(text, ProgramSource{});
  ASSERT_TRUE(program.ok()) << program.error().render();
  EXPECT_EQ(v3(program.value()), text);
  EXPECT_EQ(failure(program.value(), QasmVersion::V2),
            "qasm unsupported feature: writing a bit register named \"\xCE\xB8\xCF\x80\", which "
            "is not an identifier");
}

TEST(ExportProgram, AProgramWithoutRegistersGetsC) {
  sim::Program p;
  p.n_qubits = 1;
  p.n_bits = 2;
  p.instructions = {sim::Measure{0, 1}};
  EXPECT_EQ(v3(p),
            "OPENQASM 3.0;\ninclude \"stdgates.inc\";\nqubit[1] q;\nbit[2] c;\n"
            "c[1] = measure q[0];\n");
}

TEST(ExportProgram, NestingBeyondTheReadersBoundIsRefused) {
  sim::Program p = foreign();
  p.conditions = {bit_node(0)};
  const std::size_t depth = MAX_NESTING_DEPTH + 1;
  for (std::size_t k = 0; k < depth; ++k) {
    p.instructions.emplace_back(sim::JumpUnless{0, depth + 1});
  }
  p.instructions.emplace_back(x0());
  EXPECT_EQ(failure(p, QasmVersion::V3),
            cat({"qasm unsupported feature: writing 'if' blocks nested more than ",
                 std::to_string(MAX_NESTING_DEPTH), " deep (instruction ",
                 std::to_string(MAX_NESTING_DEPTH), ")"}));
  p.instructions.erase(p.instructions.begin());
  for (auto& instruction : p.instructions) {
    if (auto* test = std::get_if<sim::JumpUnless>(&instruction)) {
      test->target = depth;
    }
  }
  EXPECT_TRUE(export_program(p, QasmVersion::V3).ok());
}

// ---- the round trip ----

// Random programs of the shape the reader writes: conditions in the pool in the order their
// `if`s come, operands first; an else-body never empty.
class RandomProgram {
 public:
  RandomProgram(std::uint64_t seed, bool only_v2) : rng_(seed), v2_(only_v2) {}

  sim::Program make() {
    p_.n_qubits = 3 + rng_() % 4;
    const std::size_t registers = rng_() % 5;
    for (std::size_t r = 0; r < registers; ++r) {
      const std::uint64_t sizes[] = {0, 1, 1, 2, 3, 5, 8, 63, 64, 70};
      const std::uint64_t size = sizes[rng_() % std::size(sizes)];
      p_.registers.push_back({cat({"r", std::to_string(r)}), p_.n_bits, size});
      p_.n_bits += size;
    }
    if (!v2_ && p_.n_bits > 0 && rng_() % 2 == 0) {
      p_.initial_bits.resize(p_.n_bits);
      for (auto& bit : p_.initial_bits) {
        bit = static_cast<std::uint8_t>(rng_() % 2);
      }
      // Initial values of zeros only are no initial values.
      if (std::count(p_.initial_bits.begin(), p_.initial_bits.end(), 1) == 0) {
        p_.initial_bits.clear();
      }
    }
    if (!v2_ && rng_() % 2 == 0) {
      // The reader sums phases from +0.0, so that -0.0 never comes back.
      p_.global_phase = angle() + 0.0;
    }
    block(0, 1 + rng_() % 12);
    return std::move(p_);
  }

 private:
  double angle() {
    switch (rng_() % 6) {
      case 0:
        return -0.0;
      case 1:
        return 1e-300 * static_cast<double>(rng_() % 1000);
      case 2:
        return static_cast<double>(static_cast<std::int64_t>(rng_() % 2000) - 1000);
      default:
        return std::uniform_real_distribution<double>(-5.0, 5.0)(rng_);
    }
  }

  std::uint64_t qubit() { return rng_() % p_.n_qubits; }

  void operation() {
    const unsigned choice = static_cast<unsigned>(rng_() % 10);
    if (choice == 0 && p_.n_bits > 0) {
      p_.instructions.emplace_back(sim::Measure{qubit(), rng_() % p_.n_bits});
    } else if (choice == 1) {
      p_.instructions.emplace_back(sim::Reset{qubit()});
    } else {
      sim::GateOp op{core::Gate{static_cast<core::GateKind>(rng_() % core::GATE_KIND_COUNT),
                                angle(), angle(), angle()},
                     {}};
      const core::GateKind kind = op.gate.kind;
      if (kind != core::GateKind::U3) {
        op.gate.phi = 0.0;
        op.gate.lambda = 0.0;
      }
      if (kind != core::GateKind::U3 && kind != core::GateKind::Rx && kind != core::GateKind::Ry &&
          kind != core::GateKind::Rz) {
        op.gate.theta = 0.0;
      }
      // Distinct operands.
      op.qubits[0] = qubit();
      op.qubits[1] = (op.qubits[0] + 1 + rng_() % (p_.n_qubits - 1)) % p_.n_qubits;
      do {
        op.qubits[2] = qubit();
      } while (op.qubits[2] == op.qubits[0] || op.qubits[2] == op.qubits[1]);
      for (unsigned k = op.arity(); k < 3; ++k) {
        op.qubits[k] = 0;
      }
      p_.instructions.emplace_back(op);
    }
  }

  void block(int depth, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
      if (depth < 4 && rng_() % 4 == 0) {
        branch(depth);
      } else {
        operation();
      }
    }
  }

  void branch(int depth) {
    const std::uint32_t condition = v2_ ? whole_register_eq() : this->condition(0);
    const std::size_t test = p_.instructions.size();
    p_.instructions.emplace_back(sim::JumpUnless{condition, 0});
    if (v2_) {
      operation();
      std::get<sim::JumpUnless>(p_.instructions[test]).target = p_.instructions.size();
      return;
    }
    block(depth + 1, rng_() % 4);
    std::size_t else_start = p_.instructions.size();
    if (rng_() % 2 == 0) {
      const std::size_t jump = p_.instructions.size();
      p_.instructions.emplace_back(sim::Jump{0});
      block(depth + 1, 1 + rng_() % 3);
      std::get<sim::Jump>(p_.instructions[jump]).target = p_.instructions.size();
      else_start = jump + 1;
    }
    std::get<sim::JumpUnless>(p_.instructions[test]).target = else_start;
  }

  // A value that fits `size` bits, often an extreme one.
  std::int64_t value(std::uint64_t size) {
    const std::uint64_t max =
        size >= 63 ? std::uint64_t{INT64_MAX} : (std::uint64_t{1} << size) - 1;
    switch (rng_() % 3) {
      case 0:
        return 0;
      case 1:
        return static_cast<std::int64_t>(max);
      default:
        return static_cast<std::int64_t>(max == 0 ? 0 : rng_() % (max + 1));
    }
  }

  std::uint32_t add(ConditionNode node) {
    p_.conditions.push_back(node);
    return static_cast<std::uint32_t>(p_.conditions.size() - 1);
  }

  std::uint32_t whole_register_eq() {
    ConditionNode node;
    node.kind = ConditionKind::Compare;
    if (p_.registers.empty()) {
      p_.registers.push_back({"z", 0, 0});
    }
    const sim::BitRegister& reg = p_.registers[rng_() % p_.registers.size()];
    node.offset = reg.offset;
    node.size = reg.size;
    node.value = value(reg.size);
    return add(node);
  }

  std::uint32_t condition(int depth) {
    const unsigned choice = static_cast<unsigned>(rng_() % (depth < 4 ? 7 : 3));
    ConditionNode node;
    if (choice == 0 || p_.registers.empty()) {
      node.kind = ConditionKind::Const;
      node.value = static_cast<std::int64_t>(rng_() % 2);
      return add(node);
    }
    if (choice <= 2) {
      const sim::BitRegister& reg = p_.registers[rng_() % p_.registers.size()];
      const bool element = reg.size > 0 && rng_() % 2 == 0;
      if (choice == 1 && reg.size > 0) {
        node.kind = ConditionKind::Bit;
        node.bit = reg.offset + rng_() % reg.size;
        return add(node);
      }
      node.kind = ConditionKind::Compare;
      node.compare = static_cast<CompareOp>(rng_() % 6);
      node.offset = element ? reg.offset + rng_() % reg.size : reg.offset;
      node.size = element ? 1 : reg.size;
      node.value = value(node.size);
      return add(node);
    }
    if (choice == 3) {
      node.kind = ConditionKind::Not;
      node.left = condition(depth + 1);
      return add(node);
    }
    node.kind = choice % 2 == 0 ? ConditionKind::And : ConditionKind::Or;
    node.left = condition(depth + 1);
    node.right = condition(depth + 1);
    return add(node);
  }

  std::mt19937_64 rng_;
  bool v2_;
  sim::Program p_;
};

// Random programs (those 2.0 can say when `version` is V2) are written and read back.
void round_trip(QasmVersion version, std::uint64_t seeds) {
  for (std::uint64_t seed = 0; seed < seeds; ++seed) {
    SCOPED_TRACE(seed);
    const sim::Program p = RandomProgram(seed, version == QasmVersion::V2).make();
    const std::string text = version == QasmVersion::V2 ? v2(p) : v3(p);
    Result<sim::Program> back = read_program(text, ProgramSource{});
    ASSERT_TRUE(back.ok()) << back.error().render() << "\n" << text;
    std::string what;
    EXPECT_TRUE(test::same_program(p, back.value(), what)) << what << "\n" << text;
  }
}

TEST(ExportProgram, RandomProgramsReadBackAsThemselves) { round_trip(QasmVersion::V3, 400); }

TEST(ExportProgram, RandomOpenQasm2ProgramsReadBackAsThemselves) {
  round_trip(QasmVersion::V2, 200);
}

TEST(ExportProgram, CorpusProgramsWithConditionsReadBackAsThemselves) {
  const char* names[] = {
      "oq2_inverseqft1.qasm", "oq2_teleport.qasm", "qb_cc_n12.qasm",
      "qb_ipea_n2.qasm",      "qb_qec_sm_n5.qasm", "qb_shor_n5.qasm",
      "qk_example_if.qasm",   "oq3_teleport.qasm", "qs_BellPair.qasm",
  };
  for (const char* name : names) {
    SCOPED_TRACE(name);
    const sim::Program p = read_ok(test::read_text(test::qasm_corpus() / "refused" / name));
    for (QasmVersion version : {QasmVersion::V3, QasmVersion::V2}) {
      Result<std::string> text = export_program(p, version);
      if (!text.ok()) {
        // 2.0 says the 2.0 programs.
        EXPECT_EQ(version, QasmVersion::V2);
        EXPECT_EQ(name[2], '3') << text.error().render();
        continue;
      }
      const sim::Program back = read_ok(text.value());
      sim::Program expected = p;
      if (version == QasmVersion::V2) {
        expected.global_phase = 0.0;
      }
      std::string what;
      EXPECT_TRUE(test::same_program(expected, back, what)) << what << "\n" << text.value();
    }
  }
}

}  // namespace
}  // namespace vorn::qasm
