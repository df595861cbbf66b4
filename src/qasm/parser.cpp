// Recursive descent over the token list, one function per grammar rule.
#include "qasm/parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <utility>

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

std::string nesting_message() {
  return "nesting too deep (more than " + std::to_string(MAX_NESTING_DEPTH) +
         " levels of parentheses, signs, '^', function calls or 'if')";
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
    if (Status s = expect(TokenKind::Openqasm, "'OPENQASM'"); !s.ok()) {
      return std::move(s).take_error();
    }
    const Token& version = current();
    if (version.kind == TokenKind::Int) {
      if (version.int_value != 2 && version.int_value != 3) {
        return error_here("unsupported OPENQASM version " + std::to_string(version.int_value));
      }
      program.version = static_cast<int>(version.int_value);
    } else if (version.kind == TokenKind::Real) {
      if (std::fabs(version.real_value - 2.0) < 1e-9) {
        program.version = 2;
      } else if (std::fabs(version.real_value - 3.0) < 1e-9) {
        program.version = 3;
      } else {
        return error_here("unsupported OPENQASM version " + version_text(version.real_value));
      }
    } else {
      return error_here("expected version number after OPENQASM, got " + token_name(version));
    }
    advance();
    if (Status s = expect(TokenKind::Semicolon, "';'"); !s.ok()) {
      return std::move(s).take_error();
    }
    while (current().kind != TokenKind::Eof) {
      Result<Stmt> stmt = statement();
      if (!stmt.ok()) {
        return std::move(stmt).take_error();
      }
      program.stmts.push_back(std::move(stmt).value());
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
      return error_here(nesting_message());
    }
    return Ok{};
  }

  Status expect(TokenKind kind, const char* what) {
    if (!at(kind)) {
      return error_here(std::string("expected ") + what + ", got " + token_name(current()));
    }
    advance();
    return Ok{};
  }

  Result<std::string> identifier(const char* what) {
    if (!at(TokenKind::Ident)) {
      return error_here(std::string("expected ") + what + " identifier, got " +
                        token_name(current()));
    }
    std::string text = std::move(tokens_[pos_].text);
    advance();
    return text;
  }

  Result<std::int64_t> integer(const char* what) {
    if (!at(TokenKind::Int)) {
      return error_here(std::string("expected ") + what + " integer, got " + token_name(current()));
    }
    const std::int64_t value = current().int_value;
    advance();
    return value;
  }

  Result<std::uint64_t> size(const char* what) {
    const Token& token = current();
    Result<std::int64_t> value = integer(what);
    if (!value.ok()) {
      return std::move(value).take_error();
    }
    if (value.value() < 0) {
      return parse_error(
          std::string(what) + ": size must be non-negative, got " + std::to_string(value.value()),
          token.line, token.col);
    }
    return static_cast<std::uint64_t>(value.value());
  }

  Result<RegRef> reg_ref(const char* register_what, const char* index_what) {
    Result<std::string> name = identifier(register_what);
    if (!name.ok()) {
      return std::move(name).take_error();
    }
    RegRef ref{std::move(name).value(), std::nullopt};
    if (at(TokenKind::LBracket)) {
      advance();
      Result<std::uint64_t> index = size(index_what);
      if (!index.ok()) {
        return std::move(index).take_error();
      }
      ref.index = index.value();
      if (Status s = expect(TokenKind::RBracket, "']'"); !s.ok()) {
        return std::move(s).take_error();
      }
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
        Result<BarrierStmt> barrier_stmt = barrier();
        if (!barrier_stmt.ok()) {
          return std::move(barrier_stmt).take_error();
        }
        return Stmt{std::move(barrier_stmt).value()};
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
          Result<GateCall> call = gate_call();
          if (!call.ok()) {
            return std::move(call).take_error();
          }
          return Stmt{GateCallStmt{std::move(call).value()}};
        }
      default:
        return error_here("unexpected token " + token_name(current()) + " at start of statement");
    }
  }

  Result<Stmt> include() {
    IncludeStmt stmt{"", current().line, current().col};
    advance();
    if (!at(TokenKind::Str)) {
      return error_here("expected string after 'include', got " + token_name(current()));
    }
    stmt.path = std::move(tokens_[pos_].text);
    advance();
    if (Status s = expect(TokenKind::Semicolon, "';' after include"); !s.ok()) {
      return std::move(s).take_error();
    }
    return Stmt{std::move(stmt)};
  }

  // `qreg name[size];` and `creg name[size];`
  Result<Stmt> old_register(bool quantum) {
    advance();
    Result<std::string> name = identifier(quantum ? "qreg name" : "creg name");
    if (!name.ok()) {
      return std::move(name).take_error();
    }
    if (Status s = expect(TokenKind::LBracket, "'['"); !s.ok()) {
      return std::move(s).take_error();
    }
    Result<std::uint64_t> count = size(quantum ? "qreg size" : "creg size");
    if (!count.ok()) {
      return std::move(count).take_error();
    }
    if (Status s = expect(TokenKind::RBracket, "']'"); !s.ok()) {
      return std::move(s).take_error();
    }
    if (Status s = expect(TokenKind::Semicolon, "';'"); !s.ok()) {
      return std::move(s).take_error();
    }
    return register_stmt(quantum, std::move(name).value(), count.value());
  }

  // `qubit[size] name;`, `qubit name;` and the same with `bit`.
  Result<Stmt> new_register(bool quantum) {
    advance();
    std::uint64_t count = 1;
    if (at(TokenKind::LBracket)) {
      advance();
      Result<std::uint64_t> declared = size(quantum ? "qubit size" : "bit size");
      if (!declared.ok()) {
        return std::move(declared).take_error();
      }
      count = declared.value();
      if (Status s = expect(TokenKind::RBracket, "']'"); !s.ok()) {
        return std::move(s).take_error();
      }
    }
    Result<std::string> name = identifier(quantum ? "qubit name" : "bit name");
    if (!name.ok()) {
      return std::move(name).take_error();
    }
    if (Status s = expect(TokenKind::Semicolon, "';'"); !s.ok()) {
      return std::move(s).take_error();
    }
    return register_stmt(quantum, std::move(name).value(), count);
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
    Result<std::string> name = identifier("gate name");
    if (!name.ok()) {
      return std::move(name).take_error();
    }
    def.name = std::move(name).value();
    if (at(TokenKind::LParen)) {
      advance();
      if (!at(TokenKind::RParen)) {
        for (;;) {
          Result<std::string> param = identifier("gate param");
          if (!param.ok()) {
            return std::move(param).take_error();
          }
          def.params.push_back(std::move(param).value());
          if (!at(TokenKind::Comma)) {
            break;
          }
          advance();
        }
      }
      if (Status s = expect(TokenKind::RParen, "')'"); !s.ok()) {
        return std::move(s).take_error();
      }
    }
    for (;;) {
      Result<std::string> qubit = identifier("gate qubit");
      if (!qubit.ok()) {
        return std::move(qubit).take_error();
      }
      def.qubits.push_back(std::move(qubit).value());
      if (!at(TokenKind::Comma)) {
        break;
      }
      advance();
    }
    if (Status s = expect(TokenKind::LBrace, "'{'"); !s.ok()) {
      return std::move(s).take_error();
    }
    for (;;) {
      switch (current().kind) {
        case TokenKind::Barrier: {
          Result<BarrierStmt> dropped = barrier();
          if (!dropped.ok()) {
            return std::move(dropped).take_error();
          }
          break;
        }
        case TokenKind::Ident: {
          Result<GateCall> call = gate_call();
          if (!call.ok()) {
            return std::move(call).take_error();
          }
          def.body.push_back(std::move(call).value());
          break;
        }
        case TokenKind::RBrace:
        case TokenKind::Eof:
          if (Status s = expect(TokenKind::RBrace, "'}'"); !s.ok()) {
            return std::move(s).take_error();
          }
          return Stmt{GateDefStmt{std::move(def)}};
        default:
          return error_here("expected gate call inside gate definition body, got " +
                            token_name(current()));
      }
    }
  }

  Result<Stmt> opaque() {
    OpaqueStmt stmt{"", current().line, current().col};
    advance();
    Result<std::string> name = identifier("opaque name");
    if (!name.ok()) {
      return std::move(name).take_error();
    }
    stmt.name = std::move(name).value();
    while (!at(TokenKind::Semicolon) && !at(TokenKind::Eof)) {
      advance();
    }
    if (Status s = expect(TokenKind::Semicolon, "';'"); !s.ok()) {
      return std::move(s).take_error();
    }
    return Stmt{std::move(stmt)};
  }

  // A comma-separated list of qargs up to (not including) the ';'; empty when ';' comes first.
  Status qarg_list(std::vector<RegRef>& out) {
    if (at(TokenKind::Semicolon)) {
      return Ok{};
    }
    for (;;) {
      Result<RegRef> ref = qarg();
      if (!ref.ok()) {
        return std::move(ref).take_error();
      }
      out.push_back(std::move(ref).value());
      if (!at(TokenKind::Comma)) {
        return Ok{};
      }
      advance();
    }
  }

  Result<BarrierStmt> barrier() {
    advance();
    BarrierStmt stmt;
    if (Status s = qarg_list(stmt.qargs); !s.ok()) {
      return std::move(s).take_error();
    }
    if (Status s = expect(TokenKind::Semicolon, "';'"); !s.ok()) {
      return std::move(s).take_error();
    }
    return stmt;
  }

  Result<Stmt> measure() {
    MeasureStmt stmt;
    stmt.line = current().line;
    stmt.col = current().col;
    advance();
    Result<RegRef> q = qarg();
    if (!q.ok()) {
      return std::move(q).take_error();
    }
    stmt.qarg = std::move(q).value();
    if (Status s = expect(TokenKind::Arrow, "'->'"); !s.ok()) {
      return std::move(s).take_error();
    }
    Result<RegRef> c = carg();
    if (!c.ok()) {
      return std::move(c).take_error();
    }
    stmt.carg = std::move(c).value();
    if (Status s = expect(TokenKind::Semicolon, "';'"); !s.ok()) {
      return std::move(s).take_error();
    }
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
    Result<RegRef> c = carg();
    if (!c.ok()) {
      return std::move(c).take_error();
    }
    stmt.carg = std::move(c).value();
    if (Status s = expect(TokenKind::Eq, "'='"); !s.ok()) {
      return std::move(s).take_error();
    }
    if (Status s = expect(TokenKind::Measure, "'measure'"); !s.ok()) {
      return std::move(s).take_error();
    }
    Result<RegRef> q = qarg();
    if (!q.ok()) {
      return std::move(q).take_error();
    }
    stmt.qarg = std::move(q).value();
    if (Status s = expect(TokenKind::Semicolon, "';'"); !s.ok()) {
      return std::move(s).take_error();
    }
    return Stmt{std::move(stmt)};
  }

  Result<Stmt> reset() {
    ResetStmt stmt;
    stmt.line = current().line;
    stmt.col = current().col;
    advance();
    Result<RegRef> q = qarg();
    if (!q.ok()) {
      return std::move(q).take_error();
    }
    stmt.qarg = std::move(q).value();
    if (Status s = expect(TokenKind::Semicolon, "';'"); !s.ok()) {
      return std::move(s).take_error();
    }
    return Stmt{std::move(stmt)};
  }

  Result<Stmt> if_statement() {
    Level level(depth_);
    if (Status s = too_deep(); !s.ok()) {
      return std::move(s).take_error();
    }
    IfStmt stmt;
    stmt.line = current().line;
    stmt.col = current().col;
    advance();
    if (Status s = expect(TokenKind::LParen, "'(' after 'if'"); !s.ok()) {
      return std::move(s).take_error();
    }
    Result<std::string> creg = identifier("classical register");
    if (!creg.ok()) {
      return std::move(creg).take_error();
    }
    stmt.creg = std::move(creg).value();
    if (Status s = expect(TokenKind::EqEq, "'=='"); !s.ok()) {
      return std::move(s).take_error();
    }
    Result<std::int64_t> value = integer("if value");
    if (!value.ok()) {
      return std::move(value).take_error();
    }
    stmt.value = value.value();
    if (Status s = expect(TokenKind::RParen, "')'"); !s.ok()) {
      return std::move(s).take_error();
    }
    Result<Stmt> body = statement();
    if (!body.ok()) {
      return std::move(body).take_error();
    }
    stmt.body = std::make_unique<Stmt>(std::move(body).value());
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

  static std::string_view keyword_text(TokenKind kind) {
    switch (kind) {
      case TokenKind::Else:
        return "else";
      case TokenKind::For:
        return "for";
      case TokenKind::While:
        return "while";
      case TokenKind::Box_:
        return "box";
      default:
        return "def";
    }
  }

  Result<GateCall> gate_call() {
    GateCall call;
    call.line = current().line;
    call.col = current().col;
    Result<std::string> name = identifier("gate name");
    if (!name.ok()) {
      return std::move(name).take_error();
    }
    call.name = std::move(name).value();
    if (at(TokenKind::LParen)) {
      advance();
      if (!at(TokenKind::RParen)) {
        for (;;) {
          Result<ExprRef> param = expression();
          if (!param.ok()) {
            return std::move(param).take_error();
          }
          call.params.push_back(param.value());
          if (!at(TokenKind::Comma)) {
            break;
          }
          advance();
        }
      }
      if (Status s = expect(TokenKind::RParen, "')'"); !s.ok()) {
        return std::move(s).take_error();
      }
    }
    if (Status s = qarg_list(call.qargs); !s.ok()) {
      return std::move(s).take_error();
    }
    if (Status s = expect(TokenKind::Semicolon, "';'"); !s.ok()) {
      return std::move(s).take_error();
    }
    return call;
  }

  // One whole expression: its nodes are the ones appended to the pool while it is read.
  Result<ExprRef> expression() {
    const std::size_t begin = exprs_.size();
    Result<std::size_t> root = sum();
    if (!root.ok()) {
      return std::move(root).take_error();
    }
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
    Result<std::size_t> left = product();
    if (!left.ok()) {
      return left;
    }
    std::size_t node = left.value();
    while (at(TokenKind::Plus) || at(TokenKind::Minus)) {
      const BinOp op = at(TokenKind::Plus) ? BinOp::Add : BinOp::Sub;
      advance();
      Result<std::size_t> right = product();
      if (!right.ok()) {
        return right;
      }
      node = add_binary(op, node, right.value());
    }
    return node;
  }

  Result<std::size_t> product() {
    Result<std::size_t> left = power();
    if (!left.ok()) {
      return left;
    }
    std::size_t node = left.value();
    while (at(TokenKind::Star) || at(TokenKind::Slash)) {
      const BinOp op = at(TokenKind::Star) ? BinOp::Mul : BinOp::Div;
      advance();
      Result<std::size_t> right = power();
      if (!right.ok()) {
        return right;
      }
      node = add_binary(op, node, right.value());
    }
    return node;
  }

  // `^` groups to the right: the exponent is itself a power.
  Result<std::size_t> power() {
    Result<std::size_t> base = unary();
    if (!base.ok() || !at(TokenKind::Caret)) {
      return base;
    }
    Level level(depth_);
    if (Status s = too_deep(); !s.ok()) {
      return std::move(s).take_error();
    }
    advance();
    Result<std::size_t> exponent = power();
    if (!exponent.ok()) {
      return exponent;
    }
    return add_binary(BinOp::Pow, base.value(), exponent.value());
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
    if (Status s = too_deep(); !s.ok()) {
      return std::move(s).take_error();
    }
    advance();
    Result<std::size_t> operand = unary();
    if (!operand.ok()) {
      return operand;
    }
    ExprNode node{ExprKind::Neg};
    node.left = operand.value();
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
        if (Status s = too_deep(); !s.ok()) {
          return std::move(s).take_error();
        }
        advance();
        Result<std::size_t> inner = sum();
        if (!inner.ok()) {
          return inner;
        }
        if (Status s = expect(TokenKind::RParen, "')'"); !s.ok()) {
          return std::move(s).take_error();
        }
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
        return error_here("expected expression atom, got " + token_name(token));
    }
  }

  Result<std::size_t> function_call(TokenKind kind) {
    Level level(depth_);
    if (Status s = too_deep(); !s.ok()) {
      return std::move(s).take_error();
    }
    advance();
    if (Status s = expect(TokenKind::LParen, "'(' after function name"); !s.ok()) {
      return std::move(s).take_error();
    }
    Result<std::size_t> argument = sum();
    if (!argument.ok()) {
      return argument;
    }
    if (Status s = expect(TokenKind::RParen, "')'"); !s.ok()) {
      return std::move(s).take_error();
    }
    ExprNode node{ExprKind::FuncCall};
    node.func = math_func(kind);
    node.left = argument.value();
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
      default:
        return MathFunc::Sqrt;
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
