// Recursive descent over the token list, one function per grammar rule.
#include "qasm/parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <utility>

#include "core/abort.h"
#include "qasm/messages.h"

namespace vorn::qasm {

namespace {

// The version as the shortest decimal that reads back to it, positional, without a fraction
// when integral: 3.1 -> "3.1", 4.0 -> "4".
std::string version_text(double value) {
  if (std::isinf(value)) {
    return value < 0 ? "-inf" : "inf";
  }
  char buffer[512];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return std::string(buffer, static_cast<std::size_t>(result.ptr - buffer));
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {
    if (tokens_.empty() || tokens_.back().kind != TokenKind::Eof) {
      const std::uint64_t line = tokens_.empty() ? 1 : tokens_.back().line;
      const std::uint64_t col = tokens_.empty() ? 1 : tokens_.back().col;
      tokens_.push_back(Token{TokenKind::Eof, line, col});
    }
  }

  Result<Program> program() {
    Program program;
    QASM_TRY(expect(TokenKind::Openqasm, "'OPENQASM'"));
    const Token& version = current();
    if (version.kind == TokenKind::Int) {
      if (version.int_value != 2 && version.int_value != 3) {
        return error_here(messages::unsupported_version(std::to_string(version.int_value)));
      }
      program.version = static_cast<int>(version.int_value);
    } else if (version.kind == TokenKind::Real) {
      if (std::fabs(version.real_value - 2.0) < 1e-9) {
        program.version = 2;
      } else if (std::fabs(version.real_value - 3.0) < 1e-9) {
        program.version = 3;
      } else {
        return error_here(messages::unsupported_version(version_text(version.real_value)));
      }
    } else {
      return error_here(messages::expected_version(token_name(version)));
    }
    advance();
    QASM_TRY(expect(TokenKind::Semicolon, "';'"));
    while (current().kind != TokenKind::Eof) {
      QASM_TRY_ASSIGN(Stmt stmt, statement());
      program.stmts.push_back(std::move(stmt));
    }
    program.exprs = std::move(exprs_);
    return program;
  }

 private:
  // Holds one level of nesting for as long as it lives.
  class Level {
   public:
    explicit Level(std::size_t& depth) : depth_(depth) { ++depth_; }
    ~Level() { --depth_; }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

   private:
    std::size_t& depth_;
  };

  const Token& current() const { return tokens_[pos_]; }
  const Token& peek(std::size_t ahead) const {
    return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)];
  }
  bool at(TokenKind kind) const { return current().kind == kind; }
  void advance() {
    if (pos_ + 1 < tokens_.size()) {
      ++pos_;
    }
  }

  QasmError error_here(std::string message) const {
    return parse_error(std::move(message), current().line, current().col);
  }

  Status too_deep() const {
    if (depth_ > MAX_NESTING_DEPTH) {
      return error_here(messages::nesting_too_deep(MAX_NESTING_DEPTH));
    }
    return Ok{};
  }

  Status expect(TokenKind kind, const char* what) {
    if (!at(kind)) {
      return error_here(messages::expected(what, token_name(current())));
    }
    advance();
    return Ok{};
  }

  Result<std::string> identifier(const char* what) {
    if (!at(TokenKind::Ident)) {
      return error_here(messages::expected_identifier(what, token_name(current())));
    }
    std::string text = std::move(tokens_[pos_].text);
    advance();
    return text;
  }

  Result<std::int64_t> integer(const char* what) {
    if (!at(TokenKind::Int)) {
      return error_here(messages::expected_integer(what, token_name(current())));
    }
    const std::int64_t value = current().int_value;
    advance();
    return value;
  }

  Result<std::uint64_t> size(const char* what) {
    const Token& token = current();
    QASM_TRY_ASSIGN(std::int64_t value, integer(what));
    if (value < 0) {
      return parse_error(messages::negative_size(what, value), token.line, token.col);
    }
    return static_cast<std::uint64_t>(value);
  }

  Result<RegRef> reg_ref(const char* register_what, const char* index_what) {
    QASM_TRY_ASSIGN(std::string name, identifier(register_what));
    RegRef ref{std::move(name), std::nullopt};
    if (at(TokenKind::LBracket)) {
      advance();
      QASM_TRY_ASSIGN(std::uint64_t index, size(index_what));
      ref.index = index;
      QASM_TRY(expect(TokenKind::RBracket, "']'"));
    }
    return ref;
  }

  Result<RegRef> qarg() { return reg_ref("qarg register", "qarg index"); }
  Result<RegRef> carg() { return reg_ref("carg register", "carg index"); }

  Result<Stmt> statement() {
    switch (current().kind) {
      case TokenKind::Include:
        return include();
      case TokenKind::Qreg:
        return old_register(true);
      case TokenKind::Creg:
        return old_register(false);
      case TokenKind::Qubit:
        return new_register(true);
      case TokenKind::Bit:
        return new_register(false);
      case TokenKind::Gate:
        return gate_definition();
      case TokenKind::Opaque:
        return opaque();
      case TokenKind::Barrier: {
        QASM_TRY_ASSIGN(BarrierStmt barrier_stmt, barrier());
        return Stmt{std::move(barrier_stmt)};
      }
      case TokenKind::Measure:
        return measure();
      case TokenKind::Reset:
        return reset();
      case TokenKind::If:
        return if_statement();
      case TokenKind::Else:
      case TokenKind::For:
      case TokenKind::While:
      case TokenKind::Box_:
      case TokenKind::Def:
        return unsupported();
      case TokenKind::Ident:
        if (measure_assignment_ahead()) {
          return measure_assignment();
        } else {
          QASM_TRY_ASSIGN(GateCall call, gate_call());
          return Stmt{GateCallStmt{std::move(call)}};
        }
      default:
        return error_here(messages::unexpected_statement_start(token_name(current())));
    }
  }

  Result<Stmt> include() {
    IncludeStmt stmt{"", current().line, current().col};
    advance();
    if (!at(TokenKind::Str)) {
      return error_here(messages::expected_include_string(token_name(current())));
    }
    stmt.path = std::move(tokens_[pos_].text);
    advance();
    QASM_TRY(expect(TokenKind::Semicolon, "';' after include"));
    return Stmt{std::move(stmt)};
  }

  // `qreg name[size];` and `creg name[size];`
  Result<Stmt> old_register(bool quantum) {
    advance();
    QASM_TRY_ASSIGN(std::string name, identifier(quantum ? "qreg name" : "creg name"));
    QASM_TRY(expect(TokenKind::LBracket, "'['"));
    QASM_TRY_ASSIGN(std::uint64_t count, size(quantum ? "qreg size" : "creg size"));
    QASM_TRY(expect(TokenKind::RBracket, "']'"));
    QASM_TRY(expect(TokenKind::Semicolon, "';'"));
    return register_stmt(quantum, std::move(name), count);
  }

  // `qubit[size] name;`, `qubit name;` and the same with `bit`.
  Result<Stmt> new_register(bool quantum) {
    advance();
    std::uint64_t count = 1;
    if (at(TokenKind::LBracket)) {
      advance();
      QASM_TRY_ASSIGN(std::uint64_t declared, size(quantum ? "qubit size" : "bit size"));
      count = declared;
      QASM_TRY(expect(TokenKind::RBracket, "']'"));
    }
    QASM_TRY_ASSIGN(std::string name, identifier(quantum ? "qubit name" : "bit name"));
    QASM_TRY(expect(TokenKind::Semicolon, "';'"));
    return register_stmt(quantum, std::move(name), count);
  }

  static Stmt register_stmt(bool quantum, std::string name, std::uint64_t count) {
    if (quantum) {
      return Stmt{QregStmt{std::move(name), count}};
    }
    return Stmt{CregStmt{std::move(name), count}};
  }

  Result<Stmt> gate_definition() {
    GateDef def;
    def.line = current().line;
    def.col = current().col;
    advance();
    QASM_TRY_ASSIGN(std::string name, identifier("gate name"));
    def.name = std::move(name);
    if (at(TokenKind::LParen)) {
      advance();
      if (!at(TokenKind::RParen)) {
        for (;;) {
          QASM_TRY_ASSIGN(std::string param, identifier("gate param"));
          def.params.push_back(std::move(param));
          if (!at(TokenKind::Comma)) {
            break;
          }
          advance();
        }
      }
      QASM_TRY(expect(TokenKind::RParen, "')'"));
    }
    for (;;) {
      QASM_TRY_ASSIGN(std::string qubit, identifier("gate qubit"));
      def.qubits.push_back(std::move(qubit));
      if (!at(TokenKind::Comma)) {
        break;
      }
      advance();
    }
    QASM_TRY(expect(TokenKind::LBrace, "'{'"));
    for (;;) {
      switch (current().kind) {
        case TokenKind::Barrier: {
          QASM_TRY_ASSIGN(BarrierStmt dropped, barrier());
          break;
        }
        case TokenKind::Ident: {
          QASM_TRY_ASSIGN(GateCall call, gate_call());
          def.body.push_back(std::move(call));
          break;
        }
        case TokenKind::RBrace:
        case TokenKind::Eof:
          QASM_TRY(expect(TokenKind::RBrace, "'}'"));
          return Stmt{GateDefStmt{std::move(def)}};
        default:
          return error_here(messages::expected_body_gate_call(token_name(current())));
      }
    }
  }

  Result<Stmt> opaque() {
    OpaqueStmt stmt{"", current().line, current().col};
    advance();
    QASM_TRY_ASSIGN(std::string name, identifier("opaque name"));
    stmt.name = std::move(name);
    while (!at(TokenKind::Semicolon) && !at(TokenKind::Eof)) {
      advance();
    }
    QASM_TRY(expect(TokenKind::Semicolon, "';'"));
    return Stmt{std::move(stmt)};
  }

  // A comma-separated list of qargs up to (not including) the ';'; empty when ';' comes first.
  Status qarg_list(std::vector<RegRef>& out) {
    if (at(TokenKind::Semicolon)) {
      return Ok{};
    }
    for (;;) {
      QASM_TRY_ASSIGN(RegRef ref, qarg());
      out.push_back(std::move(ref));
      if (!at(TokenKind::Comma)) {
        return Ok{};
      }
      advance();
    }
  }

  Result<BarrierStmt> barrier() {
    advance();
    BarrierStmt stmt;
    QASM_TRY(qarg_list(stmt.qargs));
    QASM_TRY(expect(TokenKind::Semicolon, "';'"));
    return stmt;
  }

  Result<Stmt> measure() {
    MeasureStmt stmt;
    stmt.line = current().line;
    stmt.col = current().col;
    advance();
    QASM_TRY_ASSIGN(RegRef q, qarg());
    stmt.qarg = std::move(q);
    QASM_TRY(expect(TokenKind::Arrow, "'->'"));
    QASM_TRY_ASSIGN(RegRef c, carg());
    stmt.carg = std::move(c);
    QASM_TRY(expect(TokenKind::Semicolon, "';'"));
    return Stmt{std::move(stmt)};
  }

  // `Ident =` or `Ident [ Int ] =`: the start of `c = measure q;`.
  bool measure_assignment_ahead() const {
    if (peek(1).kind == TokenKind::Eq) {
      return true;
    }
    return peek(1).kind == TokenKind::LBracket && peek(2).kind == TokenKind::Int &&
           peek(3).kind == TokenKind::RBracket && peek(4).kind == TokenKind::Eq;
  }

  Result<Stmt> measure_assignment() {
    MeasureStmt stmt;
    stmt.line = current().line;
    stmt.col = current().col;
    QASM_TRY_ASSIGN(RegRef c, carg());
    stmt.carg = std::move(c);
    QASM_TRY(expect(TokenKind::Eq, "'='"));
    QASM_TRY(expect(TokenKind::Measure, "'measure'"));
    QASM_TRY_ASSIGN(RegRef q, qarg());
    stmt.qarg = std::move(q);
    QASM_TRY(expect(TokenKind::Semicolon, "';'"));
    return Stmt{std::move(stmt)};
  }

  Result<Stmt> reset() {
    ResetStmt stmt;
    stmt.line = current().line;
    stmt.col = current().col;
    advance();
    QASM_TRY_ASSIGN(RegRef q, qarg());
    stmt.qarg = std::move(q);
    QASM_TRY(expect(TokenKind::Semicolon, "';'"));
    return Stmt{std::move(stmt)};
  }

  Result<Stmt> if_statement() {
    Level level(depth_);
    QASM_TRY(too_deep());
    IfStmt stmt;
    stmt.line = current().line;
    stmt.col = current().col;
    advance();
    QASM_TRY(expect(TokenKind::LParen, "'(' after 'if'"));
    QASM_TRY_ASSIGN(std::string creg, identifier("classical register"));
    stmt.creg = std::move(creg);
    QASM_TRY(expect(TokenKind::EqEq, "'=='"));
    QASM_TRY_ASSIGN(std::int64_t value, integer("if value"));
    stmt.value = value;
    QASM_TRY(expect(TokenKind::RParen, "')'"));
    QASM_TRY_ASSIGN(Stmt body, statement());
    stmt.body = std::make_unique<Stmt>(std::move(body));
    return Stmt{std::move(stmt)};
  }

  // else, for, while, box, def: skipped to the matching closing brace, or to the semicolon of
  // a braceless statement.
  Result<Stmt> unsupported() {
    UnsupportedStmt stmt{std::string(keyword_text(current().kind)), current().line, current().col};
    advance();
    std::size_t depth = 0;
    for (;;) {
      switch (current().kind) {
        case TokenKind::LBrace:
          advance();
          ++depth;
          break;
        case TokenKind::RBrace:
          if (depth == 0) {
            return Stmt{std::move(stmt)};
          }
          advance();
          if (--depth == 0) {
            return Stmt{std::move(stmt)};
          }
          break;
        case TokenKind::Semicolon:
          advance();
          if (depth == 0) {
            return Stmt{std::move(stmt)};
          }
          break;
        case TokenKind::Eof:
          return Stmt{std::move(stmt)};
        default:
          advance();
          break;
      }
    }
  }

  Result<GateCall> gate_call() {
    GateCall call;
    call.line = current().line;
    call.col = current().col;
    QASM_TRY_ASSIGN(std::string name, identifier("gate name"));
    call.name = std::move(name);
    if (at(TokenKind::LParen)) {
      advance();
      if (!at(TokenKind::RParen)) {
        for (;;) {
          QASM_TRY_ASSIGN(ExprRef param, expression());
          call.params.push_back(param);
          if (!at(TokenKind::Comma)) {
            break;
          }
          advance();
        }
      }
      QASM_TRY(expect(TokenKind::RParen, "')'"));
    }
    QASM_TRY(qarg_list(call.qargs));
    QASM_TRY(expect(TokenKind::Semicolon, "';'"));
    return call;
  }

  // One whole expression: its nodes are the ones appended to the pool while it is read.
  Result<ExprRef> expression() {
    const std::size_t begin = exprs_.size();
    QASM_TRY(sum());
    return ExprRef{begin, exprs_.size()};
  }

  std::size_t add_node(ExprNode node) {
    exprs_.push_back(std::move(node));
    return exprs_.size() - 1;
  }

  std::size_t add_binary(BinOp op, std::size_t left, std::size_t right) {
    ExprNode node{ExprKind::BinExpr};
    node.op = op;
    node.left = left;
    node.right = right;
    return add_node(std::move(node));
  }

  Result<std::size_t> sum() {
    QASM_TRY_ASSIGN(std::size_t node, product());
    while (at(TokenKind::Plus) || at(TokenKind::Minus)) {
      const BinOp op = at(TokenKind::Plus) ? BinOp::Add : BinOp::Sub;
      advance();
      QASM_TRY_ASSIGN(const std::size_t right, product());
      node = add_binary(op, node, right);
    }
    return node;
  }

  Result<std::size_t> product() {
    QASM_TRY_ASSIGN(std::size_t node, power());
    while (at(TokenKind::Star) || at(TokenKind::Slash)) {
      const BinOp op = at(TokenKind::Star) ? BinOp::Mul : BinOp::Div;
      advance();
      QASM_TRY_ASSIGN(const std::size_t right, power());
      node = add_binary(op, node, right);
    }
    return node;
  }

  // `^` groups to the right: the exponent is itself a power.
  Result<std::size_t> power() {
    QASM_TRY_ASSIGN(const std::size_t base, unary());
    if (!at(TokenKind::Caret)) {
      return base;
    }
    Level level(depth_);
    QASM_TRY(too_deep());
    advance();
    QASM_TRY_ASSIGN(const std::size_t exponent, power());
    return add_binary(BinOp::Pow, base, exponent);
  }

  // Unary minus binds tighter than `^`: -x^2 is (-x)^2.
  Result<std::size_t> unary() {
    while (at(TokenKind::Plus)) {
      advance();
    }
    if (!at(TokenKind::Minus)) {
      return atom();
    }
    Level level(depth_);
    QASM_TRY(too_deep());
    advance();
    QASM_TRY_ASSIGN(const std::size_t operand, unary());
    ExprNode node{ExprKind::Neg};
    node.left = operand;
    return add_node(std::move(node));
  }

  Result<std::size_t> atom() {
    Token& token = tokens_[pos_];
    switch (token.kind) {
      case TokenKind::Int: {
        ExprNode node{ExprKind::IntLit};
        node.int_value = token.int_value;
        advance();
        return add_node(std::move(node));
      }
      case TokenKind::Real: {
        ExprNode node{ExprKind::RealLit};
        node.real_value = token.real_value;
        advance();
        return add_node(std::move(node));
      }
      case TokenKind::Pi:
        advance();
        return add_node(ExprNode{ExprKind::PiLit});
      case TokenKind::Ident: {
        ExprNode node{ExprKind::ParamRef};
        node.name = std::move(token.text);
        advance();
        return add_node(std::move(node));
      }
      case TokenKind::LParen: {
        Level level(depth_);
        QASM_TRY(too_deep());
        advance();
        QASM_TRY_ASSIGN(const std::size_t inner, sum());
        QASM_TRY(expect(TokenKind::RParen, "')'"));
        return inner;
      }
      case TokenKind::Sin:
      case TokenKind::Cos:
      case TokenKind::Tan:
      case TokenKind::Exp:
      case TokenKind::Ln:
      case TokenKind::Sqrt:
        return function_call(token.kind);
      default:
        return error_here(messages::expected_atom(token_name(token)));
    }
  }

  Result<std::size_t> function_call(TokenKind kind) {
    Level level(depth_);
    QASM_TRY(too_deep());
    advance();
    QASM_TRY(expect(TokenKind::LParen, "'(' after function name"));
    QASM_TRY_ASSIGN(const std::size_t argument, sum());
    QASM_TRY(expect(TokenKind::RParen, "')'"));
    ExprNode node{ExprKind::FuncCall};
    node.func = math_func(kind);
    node.left = argument;
    return add_node(std::move(node));
  }

  static MathFunc math_func(TokenKind kind) {
    switch (kind) {
      case TokenKind::Sin:
        return MathFunc::Sin;
      case TokenKind::Cos:
        return MathFunc::Cos;
      case TokenKind::Tan:
        return MathFunc::Tan;
      case TokenKind::Exp:
        return MathFunc::Exp;
      case TokenKind::Ln:
        return MathFunc::Ln;
      case TokenKind::Sqrt:
        return MathFunc::Sqrt;
      default:
        core::abort_with(messages::not_a_function(token_kind_name(kind)));
    }
  }

  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
  ExprPool exprs_;
};

}  // namespace

Result<Program> parse_program(std::vector<Token> tokens) {
  return Parser(std::move(tokens)).program();
}

}  // namespace vorn::qasm
