// The syntax tree of a parsed program: statements with the positions that later messages
// need, and the parameter expressions.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vorn::qasm {

enum class BinOp : std::uint8_t { Add, Sub, Mul, Div, Pow };
enum class MathFunc : std::uint8_t { Sin, Cos, Tan, Exp, Ln, Sqrt };
enum class ExprKind : std::uint8_t { IntLit, RealLit, PiLit, ParamRef, Neg, BinExpr, FuncCall };

// One expression node. Nodes live in the program's ExprPool; an operand is the pool index of
// its node (`left` for Neg and FuncCall, `left` and `right` for BinExpr).
struct ExprNode {
  explicit ExprNode(ExprKind kind) : kind(kind) {}

  ExprKind kind;
  BinOp op = BinOp::Add;
  MathFunc func = MathFunc::Sin;
  std::int64_t int_value = 0;
  double real_value = 0.0;
  std::string name;  // ParamRef
  std::size_t left = 0;
  std::size_t right = 0;
};

// The parser appends every node after its operands, and the nodes of one expression are
// contiguous: an expression is the range [begin, end) of the pool, its root at end - 1, and
// walking the range in order visits operands before the nodes that use them. Keeping the tree
// flat means neither evaluating nor freeing it recurses, however long an operator chain is.
using ExprPool = std::vector<ExprNode>;

struct ExprRef {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t root() const { return end - 1; }
  std::size_t size() const { return end - begin; }
};

// A register or one element of it; serves qubit operands (qargs) and classical ones (cargs).
struct RegRef {
  std::string name;
  std::optional<std::uint64_t> index;
};

struct GateCall {
  std::string name;
  std::vector<ExprRef> params;
  std::vector<RegRef> qargs;
  std::uint64_t line = 0;  // of the gate name
  std::uint64_t col = 0;
};

struct GateDef {
  std::string name;
  std::vector<std::string> params;
  std::vector<std::string> qubits;  // at least one
  std::vector<GateCall> body;
  std::uint64_t line = 0;  // of the keyword `gate`
  std::uint64_t col = 0;
};

struct Stmt;

struct IncludeStmt {
  std::string path;
  std::uint64_t line = 0;
  std::uint64_t col = 0;
};

// From `qreg name[size];`, `qubit[size] name;` and `qubit name;` (size 1).
struct QregStmt {
  std::string name;
  std::uint64_t size = 0;
};

// From `creg name[size];`, `bit[size] name;` and `bit name;` (size 1).
struct CregStmt {
  std::string name;
  std::uint64_t size = 0;
};

struct GateDefStmt {
  GateDef def;
};

struct OpaqueStmt {
  std::string name;
  std::uint64_t line = 0;
  std::uint64_t col = 0;
};

struct GateCallStmt {
  GateCall call;
};

struct BarrierStmt {
  std::vector<RegRef> qargs;
};

// `measure qarg -> carg;` or `carg = measure qarg;`, at the position of the first token.
struct MeasureStmt {
  RegRef qarg;
  RegRef carg;
  std::uint64_t line = 0;
  std::uint64_t col = 0;
};

struct ResetStmt {
  RegRef qarg;
  std::uint64_t line = 0;
  std::uint64_t col = 0;
};

struct IfStmt {
  std::string creg;
  std::int64_t value = 0;
  std::unique_ptr<Stmt> body;
  std::uint64_t line = 0;
  std::uint64_t col = 0;
};

// A construct that starts with else, for, while, box or def, skipped by the parser.
struct UnsupportedStmt {
  std::string keyword;
  std::uint64_t line = 0;
  std::uint64_t col = 0;
};

struct Stmt {
  std::variant<IncludeStmt, QregStmt, CregStmt, GateDefStmt, OpaqueStmt, GateCallStmt, BarrierStmt,
               MeasureStmt, ResetStmt, IfStmt, UnsupportedStmt>
      node;
};

struct Program {
  int version = 2;  // 2 or 3
  std::vector<Stmt> stmts;
  ExprPool exprs;
};

}  // namespace vorn::qasm
