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

struct ReservedWord {
  std::string_view word;
  std::string_view construct;
};

// Words that OpenQASM 3.0 reserves for constructs the dynamic mode does not read; at the start
// of a statement they would otherwise read as a call of an unknown gate.
constexpr ReservedWord RESERVED_WORDS[] = {
    {"int", "classical declaration"},
    {"uint", "classical declaration"},
    {"float", "classical declaration"},
    {"angle", "classical declaration"},
    {"bool", "classical declaration"},
    {"complex", "classical declaration"},
    {"duration", "classical declaration"},
    {"stretch", "classical declaration"},
    {"array", "classical declaration"},
    {"const", "constant declaration"},
    {"input", "input declaration"},
    {"output", "output declaration"},
    {"let", "alias declaration"},
    {"extern", "extern declaration"},
    {"defcal", "calibration definition"},
    {"defcalgrammar", "calibration grammar declaration"},
    {"cal", "calibration block"},
    {"delay", "delay instruction"},
    {"return", "return statement"},
    {"break", "break statement"},
    {"continue", "continue statement"},
    {"end", "end statement"},
    {"switch", "switch statement"},
    {"ctrl", "gate modifier"},
    {"negctrl", "gate modifier"},
    {"inv", "gate modifier"},
    {"pow", "gate modifier"},
};

// What the dynamic mode calls the constructs it refuses by their keyword.
std::string_view keyword_construct(TokenKind kind) {
  switch (kind) {
    case TokenKind::For:
    case TokenKind::While:
      return "loop";
    case TokenKind::Box_:
      return "block";
    case TokenKind::Def:
      return "subroutine definition";
    default:
      return "statement";
  }
}

std::optional<sim::CompareOp> compare_op(TokenKind kind) {
  switch (kind) {
    case TokenKind::EqEq:
      return sim::CompareOp::Eq;
    case TokenKind::NotEq:
      return sim::CompareOp::Ne;
    case TokenKind::Less:
      return sim::CompareOp::Lt;
    case TokenKind::LessEq:
      return sim::CompareOp::Le;
    case TokenKind::Greater:
      return sim::CompareOp::Gt;
    case TokenKind::GreaterEq:
      return sim::CompareOp::Ge;
    default:
      return std::nullopt;
  }
}

// `3 < c` is `c > 3`.
sim::CompareOp mirrored(sim::CompareOp op) {
  switch (op) {
    case sim::CompareOp::Lt:
      return sim::CompareOp::Gt;
    case sim::CompareOp::Le:
      return sim::CompareOp::Ge;
    case sim::CompareOp::Gt:
      return sim::CompareOp::Lt;
    case sim::CompareOp::Ge:
      return sim::CompareOp::Le;
    case sim::CompareOp::Eq:
    case sim::CompareOp::Ne:
      return op;
  }
  return op;
}

bool builtin_include(std::string_view path) {
  return path == "qelib1.inc" || path == "stdgates.inc";
}

class Parser {
 public:
  Parser(std::vector<Token> tokens, const ParseOptions& options)
      : tokens_(std::move(tokens)), mode_(options.mode), includes_(options.includes) {
    if (tokens_.empty() || tokens_.back().kind != TokenKind::Eof) {
      const std::uint64_t line = tokens_.empty() ? 1 : tokens_.back().line;
      const std::uint64_t col = tokens_.empty() ? 1 : tokens_.back().col;
      tokens_.push_back(Token{TokenKind::Eof, line, col});
    }
  }

  Result<Program> program() {
    Program program;
    if (mode_ == ReaderMode::Dynamic && !at(TokenKind::Openqasm)) {
      // OpenQASM 3 makes the version line optional: a text without one is read as 3.0.
      version_ = 3;
    } else {
      QASM_TRY(expect(TokenKind::Openqasm, "'OPENQASM'"));
      QASM_TRY(version());
    }
    program.version = version_;
    while (current().kind != TokenKind::Eof) {
      if (mode_ == ReaderMode::Dynamic) {
        QASM_TRY(dynamic_statement(program.stmts, true));
        continue;
      }
      const SourcePos pos = here();
      QASM_TRY_ASSIGN(Stmt stmt, statement());
      program.stmts.push_back(placed(std::move(stmt), pos));
    }
    program.exprs = std::move(exprs_);
    program.conditions = std::move(conds_);
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

  SourcePos here() const { return {current().line, current().col}; }

  Stmt placed(Stmt stmt, SourcePos pos) const {
    stmt.line = pos.line;
    stmt.col = pos.col;
    stmt.file = file_;
    return stmt;
  }

  // The version token and the ';' after `OPENQASM`.
  Status version() {
    const Token& token = current();
    if (token.kind == TokenKind::Int) {
      if (token.int_value != 2 && token.int_value != 3) {
        return error_here(messages::unsupported_version(std::to_string(token.int_value)));
      }
      version_ = static_cast<int>(token.int_value);
    } else if (token.kind == TokenKind::Real) {
      if (std::fabs(token.real_value - 2.0) < 1e-9) {
        version_ = 2;
      } else if (std::fabs(token.real_value - 3.0) < 1e-9) {
        version_ = 3;
      } else {
        return error_here(messages::unsupported_version(version_text(token.real_value)));
      }
    } else {
      return error_here(messages::expected_version(token_name(token)));
    }
    advance();
    return expect(TokenKind::Semicolon, "';'");
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

  // A bit register's name. The dynamic mode shows it in outcome keys and writes it back as
  // OpenQASM 3.0, where a reserved word cannot stand as a name: such a name is refused there.
  Result<std::string> bit_register_name(const char* what) {
    if (mode_ == ReaderMode::Dynamic && at(TokenKind::Ident) &&
        reserved_construct(current().text).has_value()) {
      return error_here(
          messages::expected_identifier(what, "the reserved word " + quoted(current().text)));
    }
    return identifier(what);
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
    QASM_TRY_ASSIGN(std::string name,
                    quantum ? identifier("qreg name") : bit_register_name("creg name"));
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
    QASM_TRY_ASSIGN(std::string name,
                    quantum ? identifier("qubit name") : bit_register_name("bit name"));
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
    def.file = file_;
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

  // ---- the dynamic mode ----

  // One statement of the dynamic mode, appended to `out` (an include appends the included
  // file's statements, `bit b = measure q;` a declaration and a measurement). Blocks hold
  // operations only.
  Status dynamic_statement(std::vector<Stmt>& out, bool top_level) {
    const SourcePos pos = here();
    const TokenKind kind = current().kind;
    switch (kind) {
      case TokenKind::Include:
      case TokenKind::Qreg:
      case TokenKind::Creg:
      case TokenKind::Qubit:
      case TokenKind::Bit:
      case TokenKind::Gate:
        if (!top_level) {
          return unsupported_error(messages::declaration_in_block(keyword_text(kind), pos), pos);
        }
        break;
      default:
        break;
    }
    switch (kind) {
      case TokenKind::Include:
        return dynamic_include(out);
      case TokenKind::Bit:
        return bit_declaration(out);
      case TokenKind::If:
        return branch(out);
      case TokenKind::Else:
        return error_here(messages::ELSE_WITHOUT_IF);
      case TokenKind::Opaque:
        return unsupported_error(messages::opaque_not_supported(
                                     peek(1).kind == TokenKind::Ident ? peek(1).text : "", pos),
                                 pos);
      case TokenKind::For:
      case TokenKind::While:
      case TokenKind::Box_:
      case TokenKind::Def:
        return unsupported_error(
            messages::construct_not_supported(keyword_text(kind), keyword_construct(kind), pos),
            pos);
      case TokenKind::Ident:
        if (version_ == 3) {
          if (const std::optional<std::string_view> construct =
                  reserved_construct(current().text)) {
            return unsupported_error(
                messages::construct_not_supported(current().text, *construct, pos), pos);
          }
        }
        if (measure_assignment_ahead()) {
          const std::size_t eq = peek(1).kind == TokenKind::Eq ? 1 : 4;
          if (peek(eq + 1).kind != TokenKind::Measure) {
            return unsupported_error(messages::classical_assignment(current().text, pos), pos);
          }
        }
        break;
      default:
        break;
    }
    QASM_TRY_ASSIGN(Stmt stmt, statement());
    out.push_back(placed(std::move(stmt), pos));
    return Ok{};
  }

  // `include "path";`: the built-in files stay a statement that does nothing; any other file is
  // read, in the same mode, and its statements take the include's place.
  Status dynamic_include(std::vector<Stmt>& out) {
    Level level(depth_);
    QASM_TRY(too_deep());
    const SourcePos pos = here();
    QASM_TRY_ASSIGN(Stmt stmt, include());
    const std::string path = std::get<IncludeStmt>(stmt.node).path;
    if (builtin_include(path)) {
      out.push_back(placed(std::move(stmt), pos));
      return Ok{};
    }
    if (includes_ == nullptr) {
      return parse_error(messages::include_without_files(path), pos.line, pos.col);
    }
    QASM_TRY_ASSIGN(IncludedTokens included, includes_->enter(path, pos, file_));
    std::vector<Token> outer_tokens = std::move(tokens_);
    const std::size_t outer_pos = pos_;
    const FileIndex outer_file = file_;
    const int outer_version = version_;
    tokens_ = std::move(included.tokens);
    pos_ = 0;
    file_ = included.file;
    Status status = included_statements(out);
    tokens_ = std::move(outer_tokens);
    pos_ = outer_pos;
    file_ = outer_file;
    version_ = outer_version;
    if (!status.ok()) {
      QasmError error = std::move(status).take_error();
      if (!error.file.has_value()) {
        error.file = included.name;
      }
      return error;
    }
    includes_->leave(included.file);
    return Ok{};
  }

  // An included file: an optional `OPENQASM` line, then top-level statements.
  Status included_statements(std::vector<Stmt>& out) {
    if (tokens_.empty() || tokens_.back().kind != TokenKind::Eof) {
      tokens_.push_back(Token{TokenKind::Eof, 1, 1});
    }
    if (at(TokenKind::Openqasm)) {
      advance();
      QASM_TRY(version());
    }
    while (!at(TokenKind::Eof)) {
      QASM_TRY(dynamic_statement(out, true));
    }
    return Ok{};
  }

  // `bit[n] c;`, `bit[n] c = "0101";` and `bit[n] c = measure q;` (a declaration, then the
  // measurement into the whole register).
  Status bit_declaration(std::vector<Stmt>& out) {
    const SourcePos pos = here();
    advance();
    std::uint64_t count = 1;
    if (at(TokenKind::LBracket)) {
      advance();
      QASM_TRY_ASSIGN(std::uint64_t declared, size("bit size"));
      count = declared;
      QASM_TRY(expect(TokenKind::RBracket, "']'"));
    }
    QASM_TRY_ASSIGN(std::string name, bit_register_name("bit name"));
    CregStmt stmt{name, count, ""};
    std::optional<MeasureStmt> measure;
    if (at(TokenKind::Eq)) {
      advance();
      if (at(TokenKind::Str)) {
        QASM_TRY(bit_string(name, count, stmt.initial));
      } else if (at(TokenKind::Measure)) {
        const SourcePos measure_pos = here();
        advance();
        QASM_TRY_ASSIGN(RegRef q, qarg());
        measure = MeasureStmt{std::move(q), RegRef{name, std::nullopt}, measure_pos.line,
                              measure_pos.col};
      } else {
        return error_here(
            messages::expected("bit-string or 'measure' after '='", token_name(current())));
      }
    }
    QASM_TRY(expect(TokenKind::Semicolon, "';'"));
    out.push_back(placed(Stmt{std::move(stmt)}, pos));
    if (measure.has_value()) {
      out.push_back(placed(Stmt{std::move(*measure)}, pos));
    }
    return Ok{};
  }

  // The initialiser of `bit[n] name`: exactly n characters, each 0 or 1.
  Status bit_string(const std::string& name, std::uint64_t count, std::string& out) {
    const std::string& text = current().text;
    if (text.size() != count) {
      return error_here(messages::bit_string_length(name, count, text.size()));
    }
    if (text.find_first_not_of("01") != std::string::npos) {
      return error_here(messages::bit_string_digits(name, text));
    }
    out = text;
    advance();
    return Ok{};
  }

  // `if (condition) body`, optionally followed by `else body`.
  Status branch(std::vector<Stmt>& out) {
    Level level(depth_);
    QASM_TRY(too_deep());
    const SourcePos pos = here();
    BranchStmt stmt;
    stmt.line = pos.line;
    stmt.col = pos.col;
    advance();
    QASM_TRY(expect(TokenKind::LParen, "'(' after 'if'"));
    const std::size_t begin = conds_.size();
    QASM_TRY(cond_or());
    stmt.condition = CondRef{begin, conds_.size()};
    QASM_TRY(expect(TokenKind::RParen, "')'"));
    QASM_TRY(branch_body(stmt.then_body));
    if (at(TokenKind::Else)) {
      advance();
      QASM_TRY(branch_body(stmt.else_body));
    }
    out.push_back(placed(Stmt{std::move(stmt)}, pos));
    return Ok{};
  }

  // One statement, or a block of them between braces.
  Status branch_body(std::vector<Stmt>& body) {
    if (!at(TokenKind::LBrace)) {
      return dynamic_statement(body, false);
    }
    advance();
    while (!at(TokenKind::RBrace)) {
      if (at(TokenKind::Eof)) {
        return expect(TokenKind::RBrace, "'}'");
      }
      QASM_TRY(dynamic_statement(body, false));
    }
    advance();
    return Ok{};
  }

  // Conditions, from the loosest binding to the tightest: `||`, `&&`, `!`, then a comparison,
  // a bit, `true`, `false` or a parenthesised condition. `!` binds tighter than a comparison,
  // as in C: `!c == 1` is refused (write `!(c == 1)`).
  Result<std::size_t> cond_or() {
    QASM_TRY_ASSIGN(std::size_t node, cond_and());
    while (at(TokenKind::OrOr)) {
      const SourcePos pos = here();
      advance();
      QASM_TRY_ASSIGN(const std::size_t right, cond_and());
      node = add_cond(CondKind::Or, node, right, pos);
    }
    return node;
  }

  Result<std::size_t> cond_and() {
    QASM_TRY_ASSIGN(std::size_t node, cond_not(true));
    while (at(TokenKind::AndAnd)) {
      const SourcePos pos = here();
      advance();
      QASM_TRY_ASSIGN(const std::size_t right, cond_not(true));
      node = add_cond(CondKind::And, node, right, pos);
    }
    return node;
  }

  // A negation, or else an atom; a comparison is allowed only where `compare` is set (not
  // directly under `!`).
  Result<std::size_t> cond_not(bool compare) {
    if (!at(TokenKind::Bang)) {
      return cond_atom(compare);
    }
    Level level(depth_);
    QASM_TRY(too_deep());
    const SourcePos pos = here();
    advance();
    QASM_TRY_ASSIGN(const std::size_t operand, cond_not(false));
    return add_cond(CondKind::Not, operand, 0, pos);
  }

  Result<std::size_t> cond_atom(bool compare) {
    const SourcePos pos = here();
    switch (current().kind) {
      case TokenKind::LParen: {
        Level level(depth_);
        QASM_TRY(too_deep());
        advance();
        QASM_TRY_ASSIGN(const std::size_t inner, cond_or());
        QASM_TRY(expect(TokenKind::RParen, "')'"));
        return inner;
      }
      case TokenKind::True:
      case TokenKind::False: {
        CondNode node;
        node.value = at(TokenKind::True) ? 1 : 0;
        advance();
        return add_node(std::move(node), pos);
      }
      case TokenKind::Ident: {
        CondNode node;
        node.kind = CondKind::Bit;
        QASM_TRY_ASSIGN(node.operand, reg_ref("classical register", "bit index"));
        if (compare) {
          if (const std::optional<sim::CompareOp> op = compare_op(current().kind)) {
            advance();
            QASM_TRY_ASSIGN(node.value, compared_value());
            node.kind = CondKind::Compare;
            node.op = *op;
          }
        }
        return add_node(std::move(node), pos);
      }
      case TokenKind::Int:
      case TokenKind::Minus:
        if (compare) {
          // A literal first: `3 < c` reads as `c > 3`.
          CondNode node;
          node.kind = CondKind::Compare;
          QASM_TRY_ASSIGN(node.value, compared_value());
          const std::optional<sim::CompareOp> op = compare_op(current().kind);
          if (!op.has_value()) {
            return error_here(messages::expected("comparison operator", token_name(current())));
          }
          advance();
          node.op = mirrored(*op);
          QASM_TRY_ASSIGN(node.operand, reg_ref("classical register", "bit index"));
          return add_node(std::move(node), pos);
        }
        break;
      default:
        break;
    }
    return error_here(messages::expected("condition", token_name(current())));
  }

  // An integer literal with an optional minus sign.
  Result<std::int64_t> compared_value() {
    const bool negative = at(TokenKind::Minus);
    if (negative) {
      advance();
    }
    QASM_TRY_ASSIGN(const std::int64_t value, integer("comparison value"));
    return negative ? -value : value;
  }

  std::size_t add_node(CondNode node, SourcePos pos) {
    node.line = pos.line;
    node.col = pos.col;
    conds_.push_back(std::move(node));
    return conds_.size() - 1;
  }

  std::size_t add_cond(CondKind kind, std::size_t left, std::size_t right, SourcePos pos) {
    CondNode node;
    node.kind = kind;
    node.left = left;
    node.right = right;
    return add_node(std::move(node), pos);
  }

  Result<GateCall> gate_call() {
    GateCall call;
    call.line = current().line;
    call.col = current().col;
    call.file = file_;
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
  ReaderMode mode_;
  IncludeReader* includes_;
  FileIndex file_ = 0;
  int version_ = 2;
  CondPool conds_;
};

}  // namespace

Result<Program> parse_program(std::vector<Token> tokens) {
  return parse_program(std::move(tokens), ParseOptions{});
}

Result<Program> parse_program(std::vector<Token> tokens, const ParseOptions& options) {
  return Parser(std::move(tokens), options).program();
}

std::optional<std::string_view> reserved_construct(std::string_view word) {
  for (const ReservedWord& reserved : RESERVED_WORDS) {
    if (reserved.word == word) {
      return reserved.construct;
    }
  }
  return std::nullopt;
}

}  // namespace vorn::qasm
