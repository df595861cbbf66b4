// The syntax tree of a parsed program: statements with the positions that later messages
// need, and the parameter expressions.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "simulator/program.h"

namespace vorn::qasm {

enum class BinOp : std::uint8_t { Add, Sub, Mul, Div, Pow };
enum class MathFunc : std::uint8_t { Sin, Cos, Tan, Exp, Ln, Sqrt };
enum class ExprKind : std::uint8_t {
  IntLit,
  RealLit,
  PiLit,
  ParamRef,
  Neg,
  BinExpr,
  FuncCall,
  // The dynamic mode's OpenQASM 3 expressions; `name` of a ParamRef may also be a physical
  // qubit ("$3").
  BoolLit,    // int_value 0 or 1
  BitString,  // name holds the digits as written
  Unary,      // unary `left`
  Binary,     // `left` op3 `right`
  Call,       // name(args...): a built-in function or a subroutine
  Index,      // left[args...]; an argument may be a Range or a Set
  Cast,       // type(left)
  Range,      // args: start, step, end (NO_OPERAND where omitted)
  Set,        // {args...}
  Measure,    // measure left
  Duration,   // a duration literal; its value has no effect
};

enum class UnaryOp : std::uint8_t { Neg, Not, BitNot };
enum class Op3 : std::uint8_t {
  Add,
  Sub,
  Mul,
  Div,
  Mod,
  Pow,
  Shl,
  Shr,
  BitAnd,
  BitOr,
  BitXor,
  And,
  Or,
  Eq,
  Ne,
  Lt,
  Le,
  Gt,
  Ge,
};

inline constexpr std::size_t NO_OPERAND = static_cast<std::size_t>(-1);

// A classical or quantum type as written: its base and an optional width (or array size).
enum class TypeBase : std::uint8_t {
  None,
  Bool,
  Int,
  UInt,
  Float,
  Angle,
  Bit,
  Complex,
  Duration,
  Stretch,
  Qubit,
  Array,
};

struct ExprRef {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t root() const { return end - 1; }
  std::size_t size() const { return end - begin; }
};

struct TypeSpec {
  TypeBase base = TypeBase::None;
  std::optional<ExprRef> width;  // `int[32]`, `qubit[n]`; for an array, its element type's
  TypeBase element = TypeBase::None;
};

// One expression node. Nodes live in the program's ExprPool; an operand is the pool index of
// its node (`left` for Neg and FuncCall, `left` and `right` for BinExpr).
struct ExprNode {
  explicit ExprNode(ExprKind kind) : kind(kind) {}

  ExprKind kind;
  BinOp op = BinOp::Add;
  MathFunc func = MathFunc::Sin;
  // The dynamic mode's expressions.
  UnaryOp unary = UnaryOp::Neg;
  Op3 op3 = Op3::Add;
  // Cast: the index of its type in the program's `types` (most nodes are names, numbers and
  // indexing, and a node is kept small for programs of 10^7 gates).
  std::uint32_t type = 0;
  std::int64_t int_value = 0;
  double real_value = 0.0;
  std::string name;  // ParamRef
  std::size_t left = 0;
  std::size_t right = 0;
  std::vector<std::size_t> args;
  std::uint64_t line = 0;
  std::uint64_t col = 0;
};

// The parser appends every node after its operands, and the nodes of one expression are
// contiguous: an expression is the range [begin, end) of the pool, its root at end - 1, and
// walking the range in order visits operands before the nodes that use them. Keeping the tree
// flat means neither evaluating nor freeing it recurses, however long an operator chain is.
// A deque, so that a pool of 10^7 nodes grows without a doubled copy or room for twice its size.
using ExprPool = std::deque<ExprNode>;

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
  // Set by the evaluation of OpenQASM 3 for a gate under controls: the operation itself, which
  // the lowering appends as it is (params and qargs are then empty).
  std::optional<sim::ControlledGate> controlled;
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
  // Bits that no outcome key shows (a subroutine's local bits, or bits not selected by an
  // `output` declaration).
  bool hidden = false;
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

// ---- The dynamic mode's OpenQASM 3 statements, as the parser reads them; the elaboration
// (qasm/elaborate.h) evaluates them into the statements above. ----

enum class IoKind : std::uint8_t { None, Input, Output };

// `[const|input|output] type name [= value];` (qubit, bit and classical declarations).
struct DeclStmt {
  TypeSpec type;
  std::string name;
  std::optional<ExprRef> init;
  bool is_const = false;
  IoKind io = IoKind::None;
};

// `target op value;` with op "=", "+=", "<<=", ...
struct AssignStmt {
  ExprRef target;
  std::string op;
  ExprRef value;
};

// A subroutine call (or any expression) as a statement.
struct ExprStmt {
  ExprRef expr;
};

enum class ModifierKind : std::uint8_t { Ctrl, NegCtrl, Inv, Pow };

struct Modifier {
  ModifierKind kind = ModifierKind::Inv;
  std::optional<ExprRef> arg;
};

// A gate call with modifiers, `gphase(x);`, `measure q -> c;`, `reset q;` or `barrier q;`,
// whose operands are expressions (`q[i + 1]`, `q[0:2]`, `$3`).
enum class QuantumKind : std::uint8_t { Gate, Measure, Reset, Barrier };

struct QuantumStmt {
  QuantumKind kind = QuantumKind::Gate;
  std::string name;
  std::vector<Modifier> modifiers;
  std::vector<ExprRef> params;
  std::vector<ExprRef> operands;
  std::optional<ExprRef> target;  // measure ... -> target
};

struct ForStmt {
  TypeSpec type;
  std::string variable;
  ExprRef iterable;
  std::vector<Stmt> body;
};

struct WhileStmt {
  ExprRef condition;
  std::vector<Stmt> body;
};

struct IfElseStmt {
  ExprRef condition;
  std::vector<Stmt> then_body;
  std::vector<Stmt> else_body;
};

enum class ControlKind : std::uint8_t { Break, Continue, End };

struct ControlStmt {
  ControlKind kind = ControlKind::Break;
};

struct ReturnStmt {
  std::optional<ExprRef> value;
};

struct Parameter {
  TypeSpec type;
  std::string name;
};

struct DefStmt {
  std::string name;
  std::vector<Parameter> params;
  std::optional<TypeSpec> result;
  std::vector<Stmt> body;
};

// A `gate` definition of the dynamic mode: its body may hold modifiers and expressions.
struct GateDef3Stmt {
  std::string name;
  std::vector<std::string> params;
  std::vector<std::string> qubits;
  std::vector<Stmt> body;
};

// `box { ... }`: its body runs.
struct BoxStmt {
  std::vector<Stmt> body;
};

// Statements that change nothing: timing (delay, stretch, duration), pragmas.
struct NoOpStmt {};

// A `let name = operand;` alias of qubits.
struct AliasStmt {
  std::string name;
  ExprRef value;
};

// ---- What the elaboration adds to the statements the lowering reads ----

// Bit `bit` (a flat index) takes the value of a condition while the program runs.
struct SetBitStmt {
  std::uint64_t bit = 0;
  CondRef condition;
};

// Runs the body for as long as the condition holds, tested before each round.
struct LoopStmt {
  CondRef condition;
  std::vector<Stmt> body;
};

struct Stmt {
  std::variant<IncludeStmt, QregStmt, CregStmt, GateDefStmt, OpaqueStmt, GateCallStmt, BarrierStmt,
               MeasureStmt, ResetStmt, IfStmt, UnsupportedStmt, BranchStmt, DeclStmt, AssignStmt,
               ExprStmt, QuantumStmt, ForStmt, WhileStmt, IfElseStmt, ControlStmt, ReturnStmt,
               DefStmt, GateDef3Stmt, BoxStmt, NoOpStmt, AliasStmt, SetBitStmt, LoopStmt>
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
  std::vector<TypeSpec> types;  // of the Cast nodes
  CondPool conditions;          // dynamic mode
};

}  // namespace vorn::qasm
