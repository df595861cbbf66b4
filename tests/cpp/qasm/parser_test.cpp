// The grammar: versions, statements, the measurement look-ahead, skipped constructs,
// expressions, every parse message with its position, and the nesting bound.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "qasm/lexer.h"
#include "qasm/parser.h"
#include "text.h"

namespace vorn::qasm {
namespace {

using test::cat;

Result<Program> parse(std::string_view text) {
  Result<TokenList> tokens = tokenize(text);
  if (!tokens.ok()) {
    ADD_FAILURE() << tokens.error().render();
    return std::move(tokens).take_error();
  }
  return parse_program(std::move(tokens).value());
}

Program parse_ok(std::string_view text) {
  Result<Program> program = parse(text);
  if (!program.ok()) {
    ADD_FAILURE() << program.error().render();
    return Program{};
  }
  return std::move(program).value();
}

std::string parse_failure(std::string_view text) {
  Result<Program> program = parse(text);
  if (program.ok()) {
    return "accepted";
  }
  EXPECT_EQ(program.error().kind, QasmErrorKind::Parse);
  return program.error().render();
}

// Test-only printer of an expression tree as nested calls.
std::string show(const ExprPool& pool, std::size_t index) {
  const ExprNode& node = pool[index];
  switch (node.kind) {
    case ExprKind::IntLit:
      return std::to_string(node.int_value);
    case ExprKind::RealLit:
      return real_text(node.real_value);
    case ExprKind::PiLit:
      return "pi";
    case ExprKind::ParamRef:
      return node.name;
    case ExprKind::Neg:
      return "Neg(" + show(pool, node.left) + ")";
    case ExprKind::BinExpr: {
      const char* ops[] = {"Add", "Sub", "Mul", "Div", "Pow"};
      return std::string(ops[static_cast<int>(node.op)]) + "(" + show(pool, node.left) + ", " +
             show(pool, node.right) + ")";
    }
    case ExprKind::FuncCall: {
      const char* funcs[] = {"sin", "cos", "tan", "exp", "ln", "sqrt"};
      return std::string(funcs[static_cast<int>(node.func)]) + "(" + show(pool, node.left) + ")";
    }
    default:
      // The dynamic mode's OpenQASM 3 nodes; the specified parser makes none.
      return "?";
  }
}

// The parameters of the single gate call in `OPENQASM 2.0; <call>`.
std::vector<std::string> params_of(std::string_view call) {
  const Program program = parse_ok(cat({"OPENQASM 2.0;\n", call}));
  std::vector<std::string> out;
  if (program.stmts.size() != 1) {
    ADD_FAILURE() << "expected one statement";
    return out;
  }
  const auto* stmt = std::get_if<GateCallStmt>(&program.stmts[0].node);
  if (stmt == nullptr) {
    ADD_FAILURE() << "not a gate call";
    return out;
  }
  for (const ExprRef& p : stmt->call.params) {
    out.push_back(show(program.exprs, p.root()));
  }
  return out;
}

template <typename T>
const T& only(const Program& program, std::size_t k = 0) {
  static const T missing{};
  if (k >= program.stmts.size() || !std::holds_alternative<T>(program.stmts[k].node)) {
    ADD_FAILURE() << "statement " << k << " has another kind";
    return missing;
  }
  return std::get<T>(program.stmts[k].node);
}

using S = std::vector<std::string>;

TEST(ParserVersion, AcceptedForms) {
  EXPECT_EQ(parse_ok("OPENQASM 2;").version, 2);
  EXPECT_EQ(parse_ok("OPENQASM 2.0;").version, 2);
  EXPECT_EQ(parse_ok("OPENQASM 2.0000000001;").version, 2);
  EXPECT_EQ(parse_ok("OPENQASM 1.9999999999;").version, 2);
  EXPECT_EQ(parse_ok("OPENQASM 3;").version, 3);
  EXPECT_EQ(parse_ok("// header follows\n  OPENQASM 3.0;").version, 3);
  EXPECT_TRUE(parse_ok("OPENQASM 3.0;").stmts.empty());
}

TEST(ParserVersion, RefusedForms) {
  EXPECT_EQ(parse_failure("OPENQASM 3.1;"),
            "qasm parse error at line 1:10: unsupported OPENQASM version 3.1");
  EXPECT_EQ(parse_failure("OPENQASM 4;"),
            "qasm parse error at line 1:10: unsupported OPENQASM version 4");
  EXPECT_EQ(parse_failure("OPENQASM 4.0;"),
            "qasm parse error at line 1:10: unsupported OPENQASM version 4");
  EXPECT_EQ(parse_failure("OPENQASM 2.000000001;"),
            "qasm parse error at line 1:10: unsupported OPENQASM version 2.000000001");
  EXPECT_EQ(parse_failure("OPENQASM 1e20;"),
            "qasm parse error at line 1:10: unsupported OPENQASM version 100000000000000000000");
  EXPECT_EQ(parse_failure("OPENQASM 0.00001;"),
            "qasm parse error at line 1:10: unsupported OPENQASM version 0.00001");
  EXPECT_EQ(parse_failure("OPENQASM 1e999;"),
            "qasm parse error at line 1:10: unsupported OPENQASM version inf");
  EXPECT_EQ(parse_failure("OPENQASM x;"),
            "qasm parse error at line 1:10: expected version number after OPENQASM, got "
            "Ident(\"x\")");
  EXPECT_EQ(parse_failure("OPENQASM"),
            "qasm parse error at line 1:9: expected version number after OPENQASM, got Eof");
}

TEST(ParserVersion, HeaderIsRequired) {
  EXPECT_EQ(parse_failure("qreg q[1];"),
            "qasm parse error at line 1:1: expected 'OPENQASM', got "
            "Qreg");
  EXPECT_EQ(parse_failure(""), "qasm parse error at line 1:1: expected 'OPENQASM', got Eof");
  EXPECT_EQ(parse_failure("OPENQASM 2.0\nqreg q[1];"),
            "qasm parse error at line 2:1: expected ';', got Qreg");
}

TEST(ParserStatements, Declarations) {
  const Program p = parse_ok(
      "OPENQASM 3.0; include \"stdgates.inc\"; qreg q[2]; creg c[3]; qubit a; qubit[0] z; "
      "bit b; bit[4] d; qreg e[0];");
  ASSERT_EQ(p.stmts.size(), 8u);
  EXPECT_EQ(only<IncludeStmt>(p, 0).path, "stdgates.inc");
  EXPECT_EQ(only<IncludeStmt>(p, 0).col, 15u);
  EXPECT_EQ(only<QregStmt>(p, 1).name, "q");
  EXPECT_EQ(only<QregStmt>(p, 1).size, 2u);
  EXPECT_EQ(only<CregStmt>(p, 2).size, 3u);
  EXPECT_EQ(only<QregStmt>(p, 3).name, "a");
  EXPECT_EQ(only<QregStmt>(p, 3).size, 1u);
  EXPECT_EQ(only<QregStmt>(p, 4).size, 0u);
  EXPECT_EQ(only<CregStmt>(p, 5).size, 1u);
  EXPECT_EQ(only<CregStmt>(p, 6).size, 4u);
  EXPECT_EQ(only<QregStmt>(p, 7).size, 0u);
}

TEST(ParserStatements, GateDefinitions) {
  const Program p = parse_ok(
      "OPENQASM 2.0;\ngate g() a { }\ngate h2(x, y) a, b { barrier a; cx a, b; rx(x) a; }");
  const GateDef& g = only<GateDefStmt>(p, 0).def;
  EXPECT_EQ(g.name, "g");
  EXPECT_TRUE(g.params.empty());
  EXPECT_EQ(g.qubits, S{"a"});
  EXPECT_TRUE(g.body.empty());
  EXPECT_EQ(g.line, 2u);
  EXPECT_EQ(g.col, 1u);
  const GateDef& h2 = only<GateDefStmt>(p, 1).def;
  EXPECT_EQ(h2.params, (S{"x", "y"}));
  EXPECT_EQ(h2.qubits, (S{"a", "b"}));
  ASSERT_EQ(h2.body.size(), 2u);  // the barrier leaves nothing
  EXPECT_EQ(h2.body[0].name, "cx");
  EXPECT_EQ(h2.body[1].name, "rx");
  EXPECT_EQ(h2.body[1].col, 42u);
}

TEST(ParserStatements, GateCallsAndBarriers) {
  const Program p = parse_ok("OPENQASM 2.0; gphase(0.5); cx q[0], r; barrier; barrier q, r[1];");
  const GateCall& gphase = only<GateCallStmt>(p, 0).call;
  EXPECT_EQ(gphase.params.size(), 1u);
  EXPECT_TRUE(gphase.qargs.empty());
  const GateCall& cx = only<GateCallStmt>(p, 1).call;
  ASSERT_EQ(cx.qargs.size(), 2u);
  EXPECT_EQ(cx.qargs[0].name, "q");
  EXPECT_EQ(cx.qargs[0].index, 0u);
  EXPECT_FALSE(cx.qargs[1].index.has_value());
  EXPECT_EQ(cx.line, 1u);
  EXPECT_EQ(cx.col, 28u);
  EXPECT_TRUE(only<BarrierStmt>(p, 2).qargs.empty());
  EXPECT_EQ(only<BarrierStmt>(p, 3).qargs.size(), 2u);
}

TEST(ParserStatements, OpaqueResetIf) {
  const Program p = parse_ok(
      "OPENQASM 2.0; opaque g(a) q, r; reset q[0];\nif (c == 1) x q[0];\nif(c==2)if(c==3)h q;");
  EXPECT_EQ(only<OpaqueStmt>(p, 0).name, "g");
  EXPECT_EQ(only<OpaqueStmt>(p, 0).col, 15u);
  EXPECT_EQ(only<ResetStmt>(p, 1).qarg.index, 0u);
  const IfStmt& if_stmt = only<IfStmt>(p, 2);
  EXPECT_EQ(if_stmt.creg, "c");
  EXPECT_EQ(if_stmt.value, 1);
  EXPECT_EQ(if_stmt.line, 2u);
  ASSERT_NE(if_stmt.body, nullptr);
  EXPECT_EQ(std::get<GateCallStmt>(if_stmt.body->node).call.name, "x");
  const IfStmt& nested = only<IfStmt>(p, 3);
  EXPECT_EQ(std::get<IfStmt>(nested.body->node).value, 3);
}

TEST(ParserMeasure, ArrowAndAssignmentForms) {
  const Program p = parse_ok(
      "OPENQASM 3.0; measure q -> c; c = measure q;\n  c[1] = measure q[0]; measure q[1] -> c[0];");
  ASSERT_EQ(p.stmts.size(), 4u);
  const MeasureStmt& arrow = only<MeasureStmt>(p, 0);
  EXPECT_EQ(arrow.qarg.name, "q");
  EXPECT_EQ(arrow.carg.name, "c");
  EXPECT_EQ(arrow.col, 15u);
  const MeasureStmt& assign = only<MeasureStmt>(p, 1);
  EXPECT_EQ(assign.col, 31u);
  const MeasureStmt& indexed = only<MeasureStmt>(p, 2);
  EXPECT_EQ(indexed.carg.index, 1u);
  EXPECT_EQ(indexed.qarg.index, 0u);
  EXPECT_EQ(indexed.line, 2u);
  EXPECT_EQ(indexed.col, 3u);
}

TEST(ParserMeasure, LookAheadNeedsAnIntegerIndex) {
  EXPECT_EQ(parse_failure("OPENQASM 3.0; c[i] = measure q[0];"),
            "qasm parse error at line 1:16: expected qarg register identifier, got LBracket");
  EXPECT_EQ(parse_failure("OPENQASM 3.0; c = q;"),
            "qasm parse error at line 1:19: expected 'measure', got Ident(\"q\")");
  EXPECT_EQ(parse_failure("OPENQASM 3.0; c[0] = measure;"),
            "qasm parse error at line 1:29: expected qarg register identifier, got Semicolon");
  // Inside a gate body every statement is a gate call.
  EXPECT_EQ(parse_failure("OPENQASM 3.0; gate g a { c = measure a; }"),
            "qasm parse error at line 1:28: expected qarg register identifier, got Eq");
}

TEST(ParserUnsupported, SkippedWithBraceDepth) {
  const Program p = parse_ok(
      "OPENQASM 3.0;\nfor i in [0:3] { h q[i]; }\nwhile (x) { y; }\n"
      "def f(qubit a) { if (x) { h a; } }\nbox;\nelse { } h q;");
  ASSERT_EQ(p.stmts.size(), 6u);
  EXPECT_EQ(only<UnsupportedStmt>(p, 0).keyword, "for");
  EXPECT_EQ(only<UnsupportedStmt>(p, 0).line, 2u);
  EXPECT_EQ(only<UnsupportedStmt>(p, 1).keyword, "while");
  EXPECT_EQ(only<UnsupportedStmt>(p, 2).keyword, "def");
  EXPECT_EQ(only<UnsupportedStmt>(p, 3).keyword, "box");
  EXPECT_EQ(only<UnsupportedStmt>(p, 4).keyword, "else");
  EXPECT_EQ(only<GateCallStmt>(p, 5).call.name, "h");
}

TEST(ParserUnsupported, StrayClosingBraceAndEndOfText) {
  // At depth 0 a closing brace ends the skip without being consumed.
  EXPECT_EQ(parse_failure("OPENQASM 3.0; else x }"),
            "qasm parse error at line 1:22: unexpected token RBrace at start of statement");
  const Program p = parse_ok("OPENQASM 3.0; for i { { h q;");
  EXPECT_EQ(p.stmts.size(), 1u);
}

TEST(ParserExpressions, PrecedenceAndGrouping) {
  EXPECT_EQ(params_of("rx(-pi/2) q[0];"), S{"Div(Neg(pi), 2)"});
  EXPECT_EQ(params_of("rx(2^3^2) q;"), S{"Pow(2, Pow(3, 2))"});
  EXPECT_EQ(params_of("rx(1-2-3) q;"), S{"Sub(Sub(1, 2), 3)"});
  EXPECT_EQ(params_of("rx(1/2*3) q;"), S{"Mul(Div(1, 2), 3)"});
  EXPECT_EQ(params_of("rx(-x^2) q;"), S{"Pow(Neg(x), 2)"});
  EXPECT_EQ(params_of("rx(2^-1) q;"), S{"Pow(2, Neg(1))"});
  EXPECT_EQ(params_of("rx(+-+2) q;"), S{"Neg(2)"});
  EXPECT_EQ(params_of("rx(1+2*3^4) q;"), S{"Add(1, Mul(2, Pow(3, 4)))"});
  EXPECT_EQ(params_of("rx((1+2)*3) q;"), S{"Mul(Add(1, 2), 3)"});
  EXPECT_EQ(params_of("u3(sin(pi), cos(0.5)+ln(1), sqrt(tan(exp(1)))) q;"),
            (S{"sin(pi)", "Add(cos(0.5), ln(1))", "sqrt(tan(exp(1)))"}));
  EXPECT_EQ(params_of("h() q;"), S{});
}

TEST(ParserExpressions, EveryExpressionIsAContiguousRange) {
  const Program p = parse_ok("OPENQASM 2.0; u3(1+2, -a, (b)) q; rx(c*d) q;");
  const GateCall& u3 = only<GateCallStmt>(p, 0).call;
  const GateCall& rx = only<GateCallStmt>(p, 1).call;
  EXPECT_EQ(u3.params[0].begin, 0u);
  EXPECT_EQ(u3.params[0].end, u3.params[1].begin);
  EXPECT_EQ(u3.params[1].end, u3.params[2].begin);
  EXPECT_EQ(u3.params[2].size(), 1u);
  EXPECT_EQ(rx.params[0].begin, u3.params[2].end);
  EXPECT_EQ(rx.params[0].end, p.exprs.size());
  for (std::size_t i = 0; i < p.exprs.size(); ++i) {
    if (p.exprs[i].kind == ExprKind::BinExpr) {
      EXPECT_LT(p.exprs[i].left, i);
      EXPECT_LT(p.exprs[i].right, i);
    }
  }
}

TEST(ParserMessages, FixedWhatTexts) {
  const auto fails = [](std::string_view body) {
    return parse_failure(cat({"OPENQASM 2.0;\n", body}));
  };
  EXPECT_EQ(fails(";"),
            "qasm parse error at line 2:1: unexpected token Semicolon at start of "
            "statement");
  EXPECT_EQ(fails("include qelib1;"),
            "qasm parse error at line 2:9: expected string after 'include', got "
            "Ident(\"qelib1\")");
  EXPECT_EQ(fails("include \"a\""),
            "qasm parse error at line 2:12: expected ';' after include, "
            "got Eof");
  EXPECT_EQ(fails("qreg if[2];"),
            "qasm parse error at line 2:6: expected qreg name identifier, got If");
  EXPECT_EQ(fails("qreg pi[2];"),
            "qasm parse error at line 2:6: expected qreg name identifier, got Pi");
  EXPECT_EQ(fails("qreg q(2);"), "qasm parse error at line 2:7: expected '[', got LParen");
  EXPECT_EQ(fails("qreg q[x];"),
            "qasm parse error at line 2:8: expected qreg size integer, got Ident(\"x\")");
  EXPECT_EQ(fails("qreg q[2.0];"),
            "qasm parse error at line 2:8: expected qreg size integer, got Real(2.0)");
  EXPECT_EQ(fails("qreg q[2;"), "qasm parse error at line 2:9: expected ']', got Semicolon");
  EXPECT_EQ(fails("creg 1[2];"),
            "qasm parse error at line 2:6: expected creg name identifier, got Int(1)");
  EXPECT_EQ(fails("creg c[];"),
            "qasm parse error at line 2:8: expected creg size integer, got RBracket");
  EXPECT_EQ(fails("qubit[n] q;"),
            "qasm parse error at line 2:7: expected qubit size integer, got Ident(\"n\")");
  EXPECT_EQ(fails("qubit;"),
            "qasm parse error at line 2:6: expected qubit name identifier, got Semicolon");
  EXPECT_EQ(fails("bit[1.5] c;"),
            "qasm parse error at line 2:5: expected bit size integer, got Real(1.5)");
  EXPECT_EQ(fails("bit c"), "qasm parse error at line 2:6: expected ';', got Eof");
  EXPECT_EQ(fails("bit[2] 3;"),
            "qasm parse error at line 2:8: expected bit name identifier, got Int(3)");
  EXPECT_EQ(fails("gate (a) q { }"),
            "qasm parse error at line 2:6: expected gate name identifier, got LParen");
  EXPECT_EQ(fails("gate g(1) q { }"),
            "qasm parse error at line 2:8: expected gate param identifier, got Int(1)");
  EXPECT_EQ(fails("gate g(a q { }"),
            "qasm parse error at line 2:10: expected ')', got "
            "Ident(\"q\")");
  EXPECT_EQ(fails("gate g { }"),
            "qasm parse error at line 2:8: expected gate qubit identifier, got LBrace");
  EXPECT_EQ(fails("gate g a;"), "qasm parse error at line 2:9: expected '{', got Semicolon");
  EXPECT_EQ(fails("gate g a { h a;"), "qasm parse error at line 2:16: expected '}', got Eof");
  EXPECT_EQ(fails("gate g a { measure a -> c; }"),
            "qasm parse error at line 2:12: expected gate call inside gate definition body, got "
            "Measure");
  EXPECT_EQ(fails("opaque 1;"),
            "qasm parse error at line 2:8: expected opaque name identifier, got Int(1)");
  EXPECT_EQ(fails("opaque g(a) q"), "qasm parse error at line 2:14: expected ';', got Eof");
  EXPECT_EQ(fails("measure q c;"),
            "qasm parse error at line 2:11: expected '->', got Ident(\"c\")");
  EXPECT_EQ(fails("measure -> c;"),
            "qasm parse error at line 2:9: expected qarg register identifier, got Arrow");
  EXPECT_EQ(fails("measure q[a] -> c;"),
            "qasm parse error at line 2:11: expected qarg index integer, got Ident(\"a\")");
  EXPECT_EQ(fails("measure q -> 1;"),
            "qasm parse error at line 2:14: expected carg register identifier, got Int(1)");
  EXPECT_EQ(fails("measure q -> c[pi];"),
            "qasm parse error at line 2:16: expected carg index integer, got Pi");
  EXPECT_EQ(fails("if c == 1) x q;"),
            "qasm parse error at line 2:4: expected '(' after 'if', got Ident(\"c\")");
  EXPECT_EQ(fails("if (1 == 1) x q;"),
            "qasm parse error at line 2:5: expected classical register identifier, got Int(1)");
  EXPECT_EQ(fails("if (c = 1) x q;"), "qasm parse error at line 2:7: expected '==', got Eq");
  EXPECT_EQ(fails("if (c == -1) x q[0];"),
            "qasm parse error at line 2:10: expected if value integer, got Minus");
  EXPECT_EQ(fails("if (c == 1 x q;"),
            "qasm parse error at line 2:12: expected ')', got Ident(\"x\")");
  EXPECT_EQ(fails("if (c == 1) ;"),
            "qasm parse error at line 2:13: unexpected token Semicolon at start of statement");
  EXPECT_EQ(fails("rx(sin 1) q;"),
            "qasm parse error at line 2:8: expected '(' after function name, got Int(1)");
  EXPECT_EQ(fails("rx(1 q;"), "qasm parse error at line 2:6: expected ')', got Ident(\"q\")");
  EXPECT_EQ(fails("rx(*) q;"), "qasm parse error at line 2:4: expected expression atom, got Star");
  EXPECT_EQ(fails("rx(1,) q;"),
            "qasm parse error at line 2:6: expected expression atom, got RParen");
  EXPECT_EQ(fails("rx(sin(1) q;"), "qasm parse error at line 2:11: expected ')', got Ident(\"q\")");
  EXPECT_EQ(fails("h q[0] q[1];"), "qasm parse error at line 2:8: expected ';', got Ident(\"q\")");
  EXPECT_EQ(fails("h q,;"),
            "qasm parse error at line 2:5: expected qarg register identifier, got Semicolon");
  EXPECT_EQ(fails("h \"q\";"),
            "qasm parse error at line 2:3: expected qarg register identifier, got Str(\"q\")");
  EXPECT_EQ(fails("barrier q"), "qasm parse error at line 2:10: expected ';', got Eof");
  EXPECT_EQ(fails("OPENQASM 2.0;"),
            "qasm parse error at line 2:1: unexpected token Openqasm at start of statement");
  EXPECT_EQ(fails(":"),
            "qasm parse error at line 2:1: unexpected token Colon at start of "
            "statement");
}

// Nesting at the bound parses; one level more is refused at the token that opens it.
TEST(ParserNesting, BoundedDepth) {
  const auto nested = [](std::size_t levels, const std::string& open, const std::string& close) {
    std::string text = "OPENQASM 2.0; rx(";
    for (std::size_t i = 0; i < levels; ++i) {
      text += open;
    }
    text += "1";
    for (std::size_t i = 0; i < levels; ++i) {
      text += close;
    }
    return text + ") q;";
  };
  const std::string message =
      "nesting too deep (more than 256 levels of parentheses, signs, '^', function calls or "
      "'if')";
  for (const auto& [open, close] : std::vector<std::pair<std::string, std::string>>{
           {"(", ")"}, {"-", ""}, {"sin(", ")"}, {"2^", ""}}) {
    SCOPED_TRACE(open);
    EXPECT_TRUE(parse(nested(MAX_NESTING_DEPTH, open, close)).ok());
    const std::string failure = parse_failure(nested(MAX_NESTING_DEPTH + 1, open, close));
    EXPECT_NE(failure.find(message), std::string::npos) << failure;
  }
  EXPECT_EQ(parse_failure(nested(300, "(", ")")), "qasm parse error at line 1:274: " + message);

  std::string ifs = "OPENQASM 2.0;";
  for (std::size_t i = 0; i < MAX_NESTING_DEPTH; ++i) {
    ifs += "if(c==1)";
  }
  EXPECT_TRUE(parse(ifs + "h q;").ok());
  EXPECT_EQ(
      parse_failure(ifs + "if(c==1)h q;"),
      "qasm parse error at line 1:" + std::to_string(14 + 8 * MAX_NESTING_DEPTH) + ": " + message);
}

TEST(ParserNesting, DeepInputNeverExhaustsTheStack) {
  // Far past the bound: refused, not crashed.
  const std::string deep = "OPENQASM 2.0; rx(" + std::string(1000000, '(') + "1) q;";
  EXPECT_NE(parse_failure(deep).find("nesting too deep"), std::string::npos);
  const std::string minus = "OPENQASM 2.0; rx(" + std::string(1000000, '-') + "1) q;";
  EXPECT_NE(parse_failure(minus).find("nesting too deep"), std::string::npos);
  // Long flat chains are not nesting: they are built without recursion.
  std::string chain = "OPENQASM 2.0; rx(1";
  for (int i = 0; i < 200000; ++i) {
    chain += "+1";
  }
  EXPECT_TRUE(parse(chain + ") q;").ok());
}

}  // namespace
}  // namespace vorn::qasm
