// The syntax tree of a parsed program: statements with the positions that later messages
// need, and the parameter expressions.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "simulator/program.h"

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

// Which text a position counts lines in: 0 is the text being read, and the dynamic reading
// numbers the files it includes from 1 on, in the order it opens them.
using FileIndex = std::uint32_t;

struct GateCall {
  std::string name;
  std::vector<ExprRef> params;
  std::vector<RegRef> qargs;
  std::uint64_t line = 0;  // of the gate name
  std::uint64_t col = 0;
  FileIndex file = 0;
};

struct GateDef {
  std::string name;
  std::vector<std::string> params;
  std::vector<std::string> qubits;  // at least one
  std::vector<GateCall> body;
  std::uint64_t line = 0;  // of the keyword `gate`
  std::uint64_t col = 0;
  FileIndex file = 0;
};

// The condition of a dynamic `if`, a tree kept flat like the expressions: nodes live in the
// program's CondPool, operands before the nodes that use them, the nodes of one condition
// contiguous with the root last.
enum class CondKind : std::uint8_t {
  Bit,      // `operand`: a bit c[i], or a register of one bit
  Compare,  // `operand` `op` `value`, the register (or bit) read as an unsigned integer
  Not,      // !left
  And,      // left && right
  Or,       // left || right
  Const,    // true (value 1) or false (value 0)
};

struct CondNode {
  CondKind kind = CondKind::Const;
  sim::CompareOp op = sim::CompareOp::Eq;
  RegRef operand;
  std::int64_t value = 0;
  std::size_t left = 0;
  std::size_t right = 0;
  std::uint64_t line = 0;  // of the node's first token
  std::uint64_t col = 0;
};

using CondPool = std::vector<CondNode>;

struct CondRef {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t root() const { return end - 1; }
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

// From `creg name[size];`, `bit[size] name;` and `bit name;` (size 1); in the dynamic mode
// also `bit[size] name = "0101";`, whose initial value is kept as written (rightmost character
// is bit 0; the parser checked its length and its digits).
struct CregStmt {
  std::string name;
  std::uint64_t size = 0;
  std::string initial{};  // empty: no initialiser
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

// The dynamic mode's `if (condition) then_body [else else_body]`; a body is one statement or
// a braced block, and holds only operations (gate calls, measurements, resets, barriers and
// further `if`s).
struct BranchStmt {
  CondRef condition;
  std::vector<Stmt> then_body;
  std::vector<Stmt> else_body;
  std::uint64_t line = 0;  // of `if`
  std::uint64_t col = 0;
};

struct Stmt {
  std::variant<IncludeStmt, QregStmt, CregStmt, GateDefStmt, OpaqueStmt, GateCallStmt, BarrierStmt,
               MeasureStmt, ResetStmt, IfStmt, UnsupportedStmt, BranchStmt>
      node;
  // The position of the statement's first token and the text it is in.
  std::uint64_t line = 0;
  std::uint64_t col = 0;
  FileIndex file = 0;
};

struct Program {
  int version = 2;  // 2 or 3
  std::vector<Stmt> stmts;
  ExprPool exprs;
  CondPool conditions;  // dynamic mode
};

}  // namespace vorn::qasm
