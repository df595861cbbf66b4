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

bool builtin_include(std::string_view path) {
  return path == "qelib1.inc" || path == "stdgates.inc";
}

class Parser {
 public:
  Parser(TokenList tokens, const ParseOptions& options)
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
    // Each top-level statement ends in a semicolon or a brace, so the semicolons bound their
    // number closely for the long flat programs where it matters: room from the start spares
    // the doubled copies of a growing list of 10^7 statements.
    program.stmts.reserve(static_cast<std::size_t>(
        std::count_if(tokens_.begin() + static_cast<std::ptrdiff_t>(pos_), tokens_.end(),
                      [](const Token& t) { return t.kind == TokenKind::Semicolon; })));
    while (current().kind != TokenKind::Eof) {
      release_read_tokens();
      if (mode_ == ReaderMode::Dynamic) {
        QASM_TRY(dynamic_statement(program.stmts, true));
        continue;
      }
      const SourcePos pos = here();
      QASM_TRY_ASSIGN(Stmt stmt, statement());
      program.stmts.push_back(placed(std::move(stmt), pos));
    }
    program.exprs = std::move(exprs_);
    program.types = std::move(types_);
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

  // Between top-level statements no position before the current token is looked at again, so
  // the tokens read so far are freed as the statements they made grow: a long file's tokens and
  // its syntax tree are never held whole at once.
  void release_read_tokens() {
    if (pos_ >= RELEASE_BATCH) {
      tokens_.erase(tokens_.begin(), tokens_.begin() + static_cast<std::ptrdiff_t>(pos_));
      pos_ = 0;
    }
  }
  static constexpr std::size_t RELEASE_BATCH = 4096;

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
    QASM_TRY(gate_signature(def.name, def.params, def.qubits));
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

  // `name[(params)] qubits` after the keyword `gate`.
  Status gate_signature(std::string& name, std::vector<std::string>& params,
                        std::vector<std::string>& qubits) {
    QASM_TRY_ASSIGN(name, identifier("gate name"));
    if (at(TokenKind::LParen)) {
      advance();
      if (!at(TokenKind::RParen)) {
        for (;;) {
          QASM_TRY_ASSIGN(std::string param, identifier("gate param"));
          params.push_back(std::move(param));
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
      qubits.push_back(std::move(qubit));
      if (!at(TokenKind::Comma)) {
        return Ok{};
      }
      advance();
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
  // file's statements). Includes and the declarations of qubits, gates and subroutines stand
  // at the top level only.
  Status dynamic_statement(std::vector<Stmt>& out, bool top_level) {
    const SourcePos pos = here();
    const TokenKind kind = current().kind;
    bool global_only = false;
    switch (kind) {
      case TokenKind::Include:
      case TokenKind::Qreg:
      case TokenKind::Qubit:
      case TokenKind::Gate:
      case TokenKind::Def:
        global_only = true;
        break;
      default:
        break;
    }
    if (global_only && !top_level) {
      return unsupported_error(messages::declaration_in_block(keyword_text(kind), pos), pos);
    }
    switch (kind) {
      case TokenKind::Include:
        return dynamic_include(out);
      case TokenKind::Qreg:
      case TokenKind::Creg: {
        QASM_TRY_ASSIGN(Stmt stmt, old_register(kind == TokenKind::Qreg));
        out.push_back(placed(std::move(stmt), pos));
        return Ok{};
      }
      case TokenKind::Qubit:
      case TokenKind::Bit:
        return declaration(out, false, IoKind::None);
      case TokenKind::Gate:
        return gate_definition3(out);
      case TokenKind::Def:
        return subroutine(out);
      case TokenKind::If:
        return if_else(out);
      case TokenKind::Else:
        return error_here(messages::ELSE_WITHOUT_IF);
      case TokenKind::For:
        return for_loop(out);
      case TokenKind::While:
        return while_loop(out);
      case TokenKind::Box_: {
        advance();
        if (at(TokenKind::LBracket)) {
          QASM_TRY(skip_balanced(TokenKind::LBracket, TokenKind::RBracket));
        }
        BoxStmt box;
        QASM_TRY(body(box.body));
        out.push_back(placed(Stmt{std::move(box)}, pos));
        return Ok{};
      }
      case TokenKind::Opaque:
        return unsupported_error(messages::opaque_not_supported(
                                     peek(1).kind == TokenKind::Ident ? peek(1).text : "", pos),
                                 pos);
      case TokenKind::Measure:
      case TokenKind::Reset:
      case TokenKind::Barrier:
        return quantum_statement(out);
      case TokenKind::Semicolon:
        advance();
        return Ok{};
      case TokenKind::Ident:
        return word_statement(out, top_level);
      default:
        return error_here(messages::unexpected_statement_start(token_name(current())));
    }
  }

  // A statement that starts with a name: a declaration, a control statement, a refused
  // construct, an assignment, a subroutine call or a gate call.
  Status word_statement(std::vector<Stmt>& out, bool top_level) {
    const SourcePos pos = here();
    const std::string word = current().text;
    if (version_ == 3) {
      QASM_TRY_ASSIGN(const bool done, oq3_word_statement(out, top_level, pos, word));
      if (done) {
        return Ok{};
      }
    }
    if (assignment_ahead()) {
      return assignment(out, pos);
    }
    if (call_statement_ahead()) {
      QASM_TRY_ASSIGN(ExprRef call, expression3());
      QASM_TRY(expect(TokenKind::Semicolon, "';'"));
      out.push_back(placed(Stmt{ExprStmt{call}}, pos));
      return Ok{};
    }
    return quantum_statement(out);
  }

  Status assignment(std::vector<Stmt>& out, SourcePos pos) {
    AssignStmt stmt;
    QASM_TRY_ASSIGN(stmt.target, expression3());
    if (at(TokenKind::Eq)) {
      stmt.op = "=";
    } else if (at(TokenKind::CompoundAssign)) {
      stmt.op = current().text;
    } else {
      return error_here(messages::expected("'='", token_name(current())));
    }
    advance();
    QASM_TRY_ASSIGN(stmt.value, expression3());
    QASM_TRY(expect(TokenKind::Semicolon, "';'"));
    out.push_back(placed(Stmt{std::move(stmt)}, pos));
    return Ok{};
  }

  // The statements that OpenQASM 3 starts with a reserved word; false when `word` starts
  // none of them.
  Result<bool> oq3_word_statement(std::vector<Stmt>& out, bool top_level, SourcePos pos,
                                  const std::string& word) {
    if (word == "const" || word == "input" || word == "output") {
      advance();
      if (word != "const" && !top_level) {
        return unsupported_error(messages::declaration_in_block(word, pos), pos);
      }
      QASM_TRY(declaration(out, word == "const",
                           word == "input"    ? IoKind::Input
                           : word == "output" ? IoKind::Output
                                              : IoKind::None));
      // The declaration starts at its first word.
      out.back().line = pos.line;
      out.back().col = pos.col;
      return true;
    }
    if (type_word(word).has_value() && peek(1).kind != TokenKind::Eq &&
        peek(1).kind != TokenKind::CompoundAssign) {
      if (word == "stretch" || word == "duration") {
        // Timing has no effect on the state: the declaration is read and dropped.
        QASM_TRY(skip_statement());
        out.push_back(placed(Stmt{NoOpStmt{}}, pos));
        return true;
      }
      QASM_TRY(declaration(out, false, IoKind::None));
      return true;
    }
    if (word == "break" || word == "continue" || word == "end") {
      advance();
      QASM_TRY(expect(TokenKind::Semicolon, "';'"));
      const ControlKind control = word == "break"      ? ControlKind::Break
                                  : word == "continue" ? ControlKind::Continue
                                                       : ControlKind::End;
      out.push_back(placed(Stmt{ControlStmt{control}}, pos));
      return true;
    }
    if (word == "return") {
      advance();
      ReturnStmt stmt;
      if (!at(TokenKind::Semicolon)) {
        QASM_TRY_ASSIGN(ExprRef value, expression3());
        stmt.value = value;
      }
      QASM_TRY(expect(TokenKind::Semicolon, "';'"));
      out.push_back(placed(Stmt{std::move(stmt)}, pos));
      return true;
    }
    if (word == "delay") {
      QASM_TRY(skip_statement());
      out.push_back(placed(Stmt{NoOpStmt{}}, pos));
      return true;
    }
    if (word == "let") {
      advance();
      AliasStmt alias;
      QASM_TRY_ASSIGN(alias.name, identifier("alias name"));
      QASM_TRY(expect(TokenKind::Eq, "'='"));
      QASM_TRY_ASSIGN(alias.value, expression3());
      QASM_TRY(expect(TokenKind::Semicolon, "';'"));
      out.push_back(placed(Stmt{std::move(alias)}, pos));
      return true;
    }
    if (const std::optional<std::string_view> refused = refused_construct(word)) {
      return unsupported_error(messages::construct_not_supported(word, *refused, pos), pos);
    }
    if (modifier_ahead()) {
      QASM_TRY(quantum_statement(out));
      return true;
    }
    return false;
  }

  // What the dynamic mode refuses by its first word.
  static std::optional<std::string_view> refused_construct(std::string_view word) {
    static constexpr ReservedWord REFUSED[] = {
        {"extern", "extern declaration (no extern functions are available)"},
        {"defcal", "calibration definition (pulse level)"},
        {"defcalgrammar", "calibration grammar declaration (pulse level)"},
        {"cal", "calibration block (pulse level)"},
        {"switch", "switch statement"},
    };
    for (const ReservedWord& refused : REFUSED) {
      if (refused.word == word) {
        return refused.construct;
      }
    }
    return std::nullopt;
  }

  static std::optional<TypeBase> type_word(std::string_view word) {
    static constexpr std::pair<std::string_view, TypeBase> TYPES[] = {
        {"bool", TypeBase::Bool},         {"int", TypeBase::Int},
        {"uint", TypeBase::UInt},         {"float", TypeBase::Float},
        {"angle", TypeBase::Angle},       {"complex", TypeBase::Complex},
        {"duration", TypeBase::Duration}, {"stretch", TypeBase::Stretch},
        {"array", TypeBase::Array},
    };
    for (const auto& [text, base] : TYPES) {
      if (text == word) {
        return base;
      }
    }
    return std::nullopt;
  }

  bool modifier_ahead() const {
    const std::string& word = current().text;
    if (word != "ctrl" && word != "negctrl" && word != "inv" && word != "pow") {
      return false;
    }
    return peek(1).kind == TokenKind::At || peek(1).kind == TokenKind::LParen;
  }

  // An `=` or a compound assignment before the statement's end, outside parentheses.
  bool assignment_ahead() const {
    std::size_t depth = 0;
    for (std::size_t k = pos_; k < tokens_.size(); ++k) {
      switch (tokens_[k].kind) {
        case TokenKind::LParen:
        case TokenKind::LBracket:
        case TokenKind::LBrace:
          ++depth;
          break;
        case TokenKind::RParen:
        case TokenKind::RBracket:
        case TokenKind::RBrace:
          if (depth == 0) {
            return false;
          }
          --depth;
          break;
        case TokenKind::Eq:
        case TokenKind::CompoundAssign:
          if (depth == 0) {
            return true;
          }
          break;
        case TokenKind::Semicolon:
        case TokenKind::Eof:
          return false;
        default:
          break;
      }
    }
    return false;
  }

  // `name(...);`: a call with no operands after it, which only a subroutine (or gphase) makes.
  bool call_statement_ahead() const {
    if (peek(1).kind != TokenKind::LParen || current().text == "gphase") {
      return false;
    }
    std::size_t depth = 0;
    for (std::size_t k = pos_ + 1; k < tokens_.size(); ++k) {
      if (tokens_[k].kind == TokenKind::LParen) {
        ++depth;
      } else if (tokens_[k].kind == TokenKind::RParen) {
        if (--depth == 0) {
          return k + 1 < tokens_.size() && tokens_[k + 1].kind == TokenKind::Semicolon;
        }
      } else if (tokens_[k].kind == TokenKind::Eof || tokens_[k].kind == TokenKind::Semicolon) {
        return false;
      }
    }
    return false;
  }

  // Skips to the end of the statement: past its ';' (or its closing brace), with nested
  // brackets and braces.
  Status skip_statement() {
    std::size_t depth = 0;
    for (;;) {
      switch (current().kind) {
        case TokenKind::LParen:
        case TokenKind::LBracket:
        case TokenKind::LBrace:
          ++depth;
          break;
        case TokenKind::RParen:
        case TokenKind::RBracket:
        case TokenKind::RBrace:
          if (depth > 0) {
            --depth;
          }
          break;
        case TokenKind::Semicolon:
          if (depth == 0) {
            advance();
            return Ok{};
          }
          break;
        case TokenKind::Eof:
          return expect(TokenKind::Semicolon, "';'");
        default:
          break;
      }
      advance();
    }
  }

  Status skip_balanced(TokenKind open, TokenKind close) {
    std::size_t depth = 0;
    do {
      if (at(TokenKind::Eof)) {
        return expect(close, close == TokenKind::RBracket ? "']'" : "')'");
      }
      if (at(open)) {
        ++depth;
      } else if (at(close)) {
        --depth;
      }
      advance();
    } while (depth > 0);
    return Ok{};
  }

  // A type after its keyword (current token): `int`, `int[32]`, `bit[n]`, `qubit[2]`,
  // `array[int[8], 4]`.
  Result<TypeSpec> type_spec() {
    TypeSpec type;
    if (at(TokenKind::Qubit)) {
      type.base = TypeBase::Qubit;
    } else if (at(TokenKind::Bit)) {
      type.base = TypeBase::Bit;
    } else if (at(TokenKind::Ident) && type_word(current().text).has_value()) {
      type.base = *type_word(current().text);
    } else {
      return error_here(messages::expected("type", token_name(current())));
    }
    advance();
    if (type.base == TypeBase::Array) {
      QASM_TRY(expect(TokenKind::LBracket, "'['"));
      QASM_TRY_ASSIGN(const TypeSpec element, type_spec());
      type.element = element.base;
      QASM_TRY(expect(TokenKind::Comma, "','"));
      // A subroutine's array parameter may give its number of dimensions (`#dim = 2`) instead
      // of its sizes; the array is refused later either way, for what it is.
      if (at(TokenKind::Ident) && current().text == "#dim") {
        advance();
        QASM_TRY(expect(TokenKind::Eq, "'='"));
      }
      QASM_TRY_ASSIGN(ExprRef size, expression3());
      type.width = size;
      while (at(TokenKind::Comma)) {
        advance();
        QASM_TRY_ASSIGN(ExprRef ignored, expression3());
        (void)ignored;
      }
      QASM_TRY(expect(TokenKind::RBracket, "']'"));
      return type;
    }
    if (at(TokenKind::LBracket)) {
      advance();
      if (type.base == TypeBase::Complex) {
        // complex[float[64]]: the component type.
        QASM_TRY_ASSIGN(const TypeSpec component, type_spec());
        type.element = component.base;
      } else {
        QASM_TRY_ASSIGN(ExprRef width, expression3());
        type.width = width;
      }
      QASM_TRY(expect(TokenKind::RBracket, "']'"));
    }
    return type;
  }

  // `type name [= value];` after any `const`, `input` or `output`.
  Status declaration(std::vector<Stmt>& out, bool is_const, IoKind io) {
    const SourcePos pos = here();
    DeclStmt stmt;
    stmt.is_const = is_const;
    stmt.io = io;
    QASM_TRY_ASSIGN(stmt.type, type_spec());
    QASM_TRY_ASSIGN(
        stmt.name,
        stmt.type.base == TypeBase::Bit
            ? bit_register_name("bit name")
            : identifier(stmt.type.base == TypeBase::Qubit ? "qubit name" : "variable name"));
    if (at(TokenKind::Eq)) {
      advance();
      if (at(TokenKind::Str) && stmt.type.base == TypeBase::Bit) {
        // A bit-string initialiser of a literal size is checked where it stands.
        std::uint64_t count = 1;
        if (stmt.type.width.has_value()) {
          const ExprNode& width = exprs_[stmt.type.width->root()];
          count = width.kind == ExprKind::IntLit ? static_cast<std::uint64_t>(width.int_value)
                                                 : current().text.size();
        }
        std::string checked;
        const std::size_t at_string = pos_;
        QASM_TRY(bit_string(stmt.name, count, checked));
        pos_ = at_string;
      }
      QASM_TRY_ASSIGN(ExprRef init, expression3());
      stmt.init = init;
    }
    QASM_TRY(expect(TokenKind::Semicolon, "';'"));
    out.push_back(placed(Stmt{std::move(stmt)}, pos));
    return Ok{};
  }

  // One statement or a braced block.
  Status body(std::vector<Stmt>& stmts) {
    Level level(depth_);
    QASM_TRY(too_deep());
    if (!at(TokenKind::LBrace)) {
      return dynamic_statement(stmts, false);
    }
    advance();
    while (!at(TokenKind::RBrace)) {
      if (at(TokenKind::Eof)) {
        return expect(TokenKind::RBrace, "'}'");
      }
      QASM_TRY(dynamic_statement(stmts, false));
    }
    advance();
    return Ok{};
  }

  // `(condition)` after `if` or `while`.
  Result<ExprRef> parenthesised_condition(const char* after) {
    advance();
    QASM_TRY(expect(TokenKind::LParen, after));
    QASM_TRY_ASSIGN(const ExprRef condition, expression3());
    QASM_TRY(expect(TokenKind::RParen, "')'"));
    return condition;
  }

  Status if_else(std::vector<Stmt>& out) {
    const SourcePos pos = here();
    IfElseStmt stmt;
    QASM_TRY_ASSIGN(stmt.condition, parenthesised_condition("'(' after 'if'"));
    QASM_TRY(body(stmt.then_body));
    if (at(TokenKind::Else)) {
      advance();
      QASM_TRY(body(stmt.else_body));
    }
    out.push_back(placed(Stmt{std::move(stmt)}, pos));
    return Ok{};
  }

  // `for [type] name in [a:b] | [a:s:b] | {a, b} | expression body`.
  Status for_loop(std::vector<Stmt>& out) {
    const SourcePos pos = here();
    advance();
    ForStmt stmt;
    if (!(at(TokenKind::Ident) && peek(1).kind == TokenKind::Ident && peek(1).text == "in")) {
      QASM_TRY_ASSIGN(stmt.type, type_spec());
    }
    QASM_TRY_ASSIGN(stmt.variable, identifier("loop variable"));
    if (!(at(TokenKind::Ident) && current().text == "in")) {
      return error_here(messages::expected("'in'", token_name(current())));
    }
    advance();
    if (at(TokenKind::LBracket)) {
      // A range: its nodes form the iterable's expression.
      const std::size_t begin = exprs_.size();
      const SourcePos range_pos = here();
      advance();
      QASM_TRY(range_or_index(range_pos, true));
      QASM_TRY(expect(TokenKind::RBracket, "']'"));
      stmt.iterable = ExprRef{begin, exprs_.size()};
    } else {
      QASM_TRY_ASSIGN(stmt.iterable, expression3());
    }
    QASM_TRY(body(stmt.body));
    out.push_back(placed(Stmt{std::move(stmt)}, pos));
    return Ok{};
  }

  Status while_loop(std::vector<Stmt>& out) {
    const SourcePos pos = here();
    WhileStmt stmt;
    QASM_TRY_ASSIGN(stmt.condition, parenthesised_condition("'(' after 'while'"));
    QASM_TRY(body(stmt.body));
    out.push_back(placed(Stmt{std::move(stmt)}, pos));
    return Ok{};
  }

  // `def name(type a, qubit[2] q, ...) [-> type] { body }`.
  Status subroutine(std::vector<Stmt>& out) {
    const SourcePos pos = here();
    advance();
    DefStmt stmt;
    QASM_TRY_ASSIGN(stmt.name, identifier("subroutine name"));
    QASM_TRY(expect(TokenKind::LParen, "'('"));
    while (!at(TokenKind::RParen)) {
      Parameter param;
      if (at(TokenKind::Ident) && (current().text == "readonly" || current().text == "mutable")) {
        advance();
      }
      QASM_TRY_ASSIGN(param.type, type_spec());
      QASM_TRY_ASSIGN(param.name, identifier("parameter name"));
      stmt.params.push_back(std::move(param));
      if (!at(TokenKind::Comma)) {
        break;
      }
      advance();
    }
    QASM_TRY(expect(TokenKind::RParen, "')'"));
    if (at(TokenKind::Minus) && peek(1).kind == TokenKind::Greater) {
      advance();
      advance();
      QASM_TRY_ASSIGN(const TypeSpec result, type_spec());
      stmt.result = result;
    } else if (at(TokenKind::Arrow)) {
      advance();
      QASM_TRY_ASSIGN(const TypeSpec result, type_spec());
      stmt.result = result;
    }
    if (!at(TokenKind::LBrace)) {
      return error_here(messages::expected("'{'", token_name(current())));
    }
    QASM_TRY(body(stmt.body));
    out.push_back(placed(Stmt{std::move(stmt)}, pos));
    return Ok{};
  }

  // `gate name[(params)] qubits { body }`, whose body may hold modifiers and loops.
  Status gate_definition3(std::vector<Stmt>& out) {
    const SourcePos pos = here();
    advance();
    GateDef3Stmt stmt;
    QASM_TRY(gate_signature(stmt.name, stmt.params, stmt.qubits));
    if (!at(TokenKind::LBrace)) {
      return error_here(messages::expected("'{'", token_name(current())));
    }
    QASM_TRY(body(stmt.body));
    out.push_back(placed(Stmt{std::move(stmt)}, pos));
    return Ok{};
  }

  // A gate call with modifiers, `measure q -> c;`, `reset q;` or `barrier q, r;`.
  Status quantum_statement(std::vector<Stmt>& out) {
    const SourcePos pos = here();
    QuantumStmt stmt;
    if (at(TokenKind::Measure) || at(TokenKind::Reset) || at(TokenKind::Barrier)) {
      stmt.kind = at(TokenKind::Measure) ? QuantumKind::Measure
                  : at(TokenKind::Reset) ? QuantumKind::Reset
                                         : QuantumKind::Barrier;
      advance();
      QASM_TRY(operand_list(stmt.operands, stmt.kind == QuantumKind::Barrier));
      if (stmt.kind == QuantumKind::Measure) {
        if (at(TokenKind::Arrow)) {
          advance();
          QASM_TRY_ASSIGN(ExprRef target, postfix_expression());
          stmt.target = target;
        }
      }
      QASM_TRY(expect(TokenKind::Semicolon, "';'"));
      out.push_back(placed(Stmt{std::move(stmt)}, pos));
      return Ok{};
    }
    while (at(TokenKind::Ident) && modifier_ahead()) {
      Modifier modifier;
      const std::string& word = current().text;
      modifier.kind = word == "ctrl"      ? ModifierKind::Ctrl
                      : word == "negctrl" ? ModifierKind::NegCtrl
                      : word == "inv"     ? ModifierKind::Inv
                                          : ModifierKind::Pow;
      advance();
      if (at(TokenKind::LParen)) {
        advance();
        QASM_TRY_ASSIGN(ExprRef arg, expression3());
        modifier.arg = arg;
        QASM_TRY(expect(TokenKind::RParen, "')'"));
      }
      QASM_TRY(expect(TokenKind::At, "'@' after a gate modifier"));
      stmt.modifiers.push_back(modifier);
    }
    QASM_TRY_ASSIGN(stmt.name, identifier("gate name"));
    if (at(TokenKind::LParen)) {
      advance();
      while (!at(TokenKind::RParen)) {
        QASM_TRY_ASSIGN(ExprRef param, expression3());
        stmt.params.push_back(param);
        if (!at(TokenKind::Comma)) {
          break;
        }
        advance();
      }
      QASM_TRY(expect(TokenKind::RParen, "')'"));
    }
    if (at(TokenKind::LBracket)) {
      // A duration designator (`x[100ns] q;`) has no effect.
      QASM_TRY(skip_balanced(TokenKind::LBracket, TokenKind::RBracket));
    }
    QASM_TRY(operand_list(stmt.operands, true));
    QASM_TRY(expect(TokenKind::Semicolon, "';'"));
    out.push_back(placed(Stmt{std::move(stmt)}, pos));
    return Ok{};
  }

  Status operand_list(std::vector<ExprRef>& operands, bool may_be_empty) {
    if (may_be_empty && (at(TokenKind::Semicolon) || at(TokenKind::Arrow))) {
      return Ok{};
    }
    for (;;) {
      QASM_TRY_ASSIGN(ExprRef operand, postfix_expression());
      operands.push_back(operand);
      if (!at(TokenKind::Comma)) {
        return Ok{};
      }
      advance();
    }
  }

  // ---- OpenQASM 3 expressions (the dynamic mode) ----

  Result<ExprRef> expression3() {
    const std::size_t begin = exprs_.size();
    QASM_TRY(binary3(0));
    return ExprRef{begin, exprs_.size()};
  }

  Result<ExprRef> postfix_expression() {
    const std::size_t begin = exprs_.size();
    QASM_TRY(postfix3());
    return ExprRef{begin, exprs_.size()};
  }

  std::size_t add_node3(ExprNode node, SourcePos pos) {
    node.line = pos.line;
    node.col = pos.col;
    exprs_.push_back(std::move(node));
    return exprs_.size() - 1;
  }

  // The binary operators by level, loosest first.
  std::optional<Op3> binary_at(int level) const {
    const TokenKind kind = current().kind;
    switch (level) {
      case 0:
        return kind == TokenKind::OrOr ? std::optional(Op3::Or) : std::nullopt;
      case 1:
        return kind == TokenKind::AndAnd ? std::optional(Op3::And) : std::nullopt;
      case 2:
        return kind == TokenKind::Pipe ? std::optional(Op3::BitOr) : std::nullopt;
      case 3:
        return kind == TokenKind::Caret && version_ == 3 ? std::optional(Op3::BitXor)
                                                         : std::nullopt;
      case 4:
        return kind == TokenKind::Amp ? std::optional(Op3::BitAnd) : std::nullopt;
      case 5:
        return kind == TokenKind::EqEq    ? std::optional(Op3::Eq)
               : kind == TokenKind::NotEq ? std::optional(Op3::Ne)
                                          : std::nullopt;
      case 6:
        switch (kind) {
          case TokenKind::Less:
            return Op3::Lt;
          case TokenKind::LessEq:
            return Op3::Le;
          case TokenKind::Greater:
            return Op3::Gt;
          case TokenKind::GreaterEq:
            return Op3::Ge;
          default:
            return std::nullopt;
        }
      case 7:
        return kind == TokenKind::Shl   ? std::optional(Op3::Shl)
               : kind == TokenKind::Shr ? std::optional(Op3::Shr)
                                        : std::nullopt;
      case 8:
        return kind == TokenKind::Plus    ? std::optional(Op3::Add)
               : kind == TokenKind::Minus ? std::optional(Op3::Sub)
                                          : std::nullopt;
      case 9:
        return kind == TokenKind::Star      ? std::optional(Op3::Mul)
               : kind == TokenKind::Slash   ? std::optional(Op3::Div)
               : kind == TokenKind::Percent ? std::optional(Op3::Mod)
                                            : std::nullopt;
      default:
        return std::nullopt;
    }
  }

  static constexpr int LEVELS = 10;

  // The binary operator at the current token and its level (0 loosest), if any.
  std::optional<std::pair<Op3, int>> binary_here() const {
    for (int level = 0; level < LEVELS; ++level) {
      if (const std::optional<Op3> op = binary_at(level)) {
        return std::pair{*op, level};
      }
    }
    return std::nullopt;
  }

  // Precedence climbing: operands and the operators of at least `min_level`, grouped to the
  // left; one level of recursion per operator of a tighter level, not per level.
  Result<std::size_t> binary3(int min_level) {
    QASM_TRY_ASSIGN(std::size_t node, unary3());
    for (;;) {
      const std::optional<std::pair<Op3, int>> found = binary_here();
      if (!found.has_value() || found->second < min_level) {
        return node;
      }
      const SourcePos pos = here();
      advance();
      Level nested(depth_);
      QASM_TRY(too_deep());
      QASM_TRY_ASSIGN(const std::size_t right, binary3(found->second + 1));
      ExprNode binary{ExprKind::Binary};
      binary.op3 = found->first;
      binary.left = node;
      binary.right = right;
      node = add_node3(std::move(binary), pos);
    }
  }

  Result<std::size_t> unary3() {
    const SourcePos pos = here();
    std::optional<UnaryOp> op;
    if (at(TokenKind::Minus)) {
      op = UnaryOp::Neg;
    } else if (at(TokenKind::Bang)) {
      op = UnaryOp::Not;
    } else if (at(TokenKind::Tilde)) {
      op = UnaryOp::BitNot;
    } else if (at(TokenKind::Plus)) {
      advance();
      return unary3();
    }
    if (!op.has_value()) {
      return power3();
    }
    Level nested(depth_);
    QASM_TRY(too_deep());
    advance();
    QASM_TRY_ASSIGN(const std::size_t operand, unary3());
    ExprNode node{ExprKind::Unary};
    node.unary = *op;
    node.left = operand;
    return add_node3(std::move(node), pos);
  }

  // `**` (and `^` in OpenQASM 2 texts) groups to the right and binds tighter than a sign on
  // its left: -2**2 is -(2**2).
  Result<std::size_t> power3() {
    QASM_TRY_ASSIGN(const std::size_t base, postfix3());
    if (!at(TokenKind::StarStar) && !(at(TokenKind::Caret) && version_ != 3)) {
      return base;
    }
    const SourcePos pos = here();
    Level nested(depth_);
    QASM_TRY(too_deep());
    advance();
    QASM_TRY_ASSIGN(const std::size_t exponent, unary3());
    ExprNode node{ExprKind::Binary};
    node.op3 = Op3::Pow;
    node.left = base;
    node.right = exponent;
    return add_node3(std::move(node), pos);
  }

  // An atom followed by any indexing: `q[i]`, `c[0:3]`, `a[{0, 2}]`, `x[1][0]`.
  Result<std::size_t> postfix3() {
    // An element is placed where its register's name stands.
    const SourcePos pos = here();
    QASM_TRY_ASSIGN(std::size_t node, atom3());
    while (at(TokenKind::LBracket)) {
      Level nested(depth_);
      QASM_TRY(too_deep());
      advance();
      ExprNode index{ExprKind::Index};
      index.left = node;
      for (;;) {
        QASM_TRY_ASSIGN(const std::size_t arg, range_or_index(here(), false));
        index.args.push_back(arg);
        if (!at(TokenKind::Comma)) {
          break;
        }
        advance();
      }
      QASM_TRY(expect(TokenKind::RBracket, "']'"));
      node = add_node3(std::move(index), pos);
    }
    return node;
  }

  // Inside brackets: an expression, a range `a:b`, `a:s:b`, `:`, `a:`, or a set `{...}`. A
  // range is always made when `range` is set (a `for` loop's brackets).
  Result<std::size_t> range_or_index(SourcePos pos, bool range) {
    if (at(TokenKind::LBrace)) {
      return set3();
    }
    std::vector<std::size_t> parts;
    for (;;) {
      if (at(TokenKind::Colon) || at(TokenKind::RBracket) || at(TokenKind::Comma)) {
        parts.push_back(NO_OPERAND);
      } else {
        QASM_TRY_ASSIGN(const std::size_t part, binary3(0));
        parts.push_back(part);
      }
      if (!at(TokenKind::Colon)) {
        break;
      }
      advance();
    }
    if (parts.size() == 1 && !range) {
      if (parts[0] == NO_OPERAND) {
        return error_here(messages::expected("index", token_name(current())));
      }
      return parts[0];
    }
    if (parts.size() > 3) {
      return parse_error(messages::expected("range a:b or a:step:b", "more parts"), pos.line,
                         pos.col);
    }
    ExprNode node{ExprKind::Range};
    if (parts.size() == 1) {
      return parse_error(messages::expected("range a:b or a:step:b", "one value"), pos.line,
                         pos.col);
    }
    if (parts.size() == 2) {
      node.args = {parts[0], NO_OPERAND, parts[1]};
    } else {
      node.args = {parts[0], parts[1], parts[2]};
    }
    return add_node3(std::move(node), pos);
  }

  Result<std::size_t> set3() {
    const SourcePos pos = here();
    advance();
    ExprNode node{ExprKind::Set};
    while (!at(TokenKind::RBrace)) {
      QASM_TRY_ASSIGN(const std::size_t element, binary3(0));
      node.args.push_back(element);
      if (!at(TokenKind::Comma)) {
        break;
      }
      advance();
    }
    QASM_TRY(expect(TokenKind::RBrace, "'}'"));
    return add_node3(std::move(node), pos);
  }

  Result<std::size_t> atom3() {
    const SourcePos pos = here();
    Token& token = tokens_[pos_];
    switch (token.kind) {
      case TokenKind::Int: {
        ExprNode node{ExprKind::IntLit};
        node.int_value = token.int_value;
        advance();
        return add_node3(std::move(node), pos);
      }
      case TokenKind::Real: {
        ExprNode node{ExprKind::RealLit};
        node.real_value = token.real_value;
        advance();
        return add_node3(std::move(node), pos);
      }
      case TokenKind::Duration: {
        ExprNode node{ExprKind::Duration};
        node.real_value = token.real_value;
        advance();
        return add_node3(std::move(node), pos);
      }
      case TokenKind::Pi:
        advance();
        return add_node3(ExprNode{ExprKind::PiLit}, pos);
      case TokenKind::True:
      case TokenKind::False: {
        ExprNode node{ExprKind::BoolLit};
        node.int_value = token.kind == TokenKind::True ? 1 : 0;
        advance();
        return add_node3(std::move(node), pos);
      }
      case TokenKind::Str: {
        ExprNode node{ExprKind::BitString};
        node.name = std::move(token.text);
        advance();
        return add_node3(std::move(node), pos);
      }
      case TokenKind::Measure: {
        Level nested(depth_);
        QASM_TRY(too_deep());
        advance();
        QASM_TRY_ASSIGN(const std::size_t operand, postfix3());
        ExprNode node{ExprKind::Measure};
        node.left = operand;
        return add_node3(std::move(node), pos);
      }
      case TokenKind::LParen: {
        Level nested(depth_);
        QASM_TRY(too_deep());
        advance();
        QASM_TRY_ASSIGN(const std::size_t inner, binary3(0));
        QASM_TRY(expect(TokenKind::RParen, "')'"));
        return inner;
      }
      case TokenKind::LBrace:
        return set3();
      case TokenKind::Sin:
      case TokenKind::Cos:
      case TokenKind::Tan:
      case TokenKind::Exp:
      case TokenKind::Ln:
      case TokenKind::Sqrt: {
        std::string name(keyword_text(token.kind));
        advance();
        return call3(std::move(name), pos);
      }
      case TokenKind::Bit:
      case TokenKind::Ident: {
        const bool cast_type =
            token.kind == TokenKind::Bit ||
            (type_word(token.text).has_value() &&
             (peek(1).kind == TokenKind::LParen || peek(1).kind == TokenKind::LBracket));
        if (cast_type) {
          Level nested(depth_);
          QASM_TRY(too_deep());
          ExprNode node{ExprKind::Cast};
          QASM_TRY_ASSIGN(TypeSpec type, type_spec());
          node.type = static_cast<std::uint32_t>(types_.size());
          types_.push_back(std::move(type));
          QASM_TRY(expect(TokenKind::LParen, "'(' after a type"));
          QASM_TRY_ASSIGN(node.left, binary3(0));
          QASM_TRY(expect(TokenKind::RParen, "')'"));
          return add_node3(std::move(node), pos);
        }
        std::string name = std::move(token.text);
        advance();
        if (at(TokenKind::LParen)) {
          return call3(std::move(name), pos);
        }
        ExprNode node{ExprKind::ParamRef};
        node.name = std::move(name);
        return add_node3(std::move(node), pos);
      }
      default:
        return error_here(messages::expected_atom(token_name(token)));
    }
  }

  Result<std::size_t> call3(std::string name, SourcePos pos) {
    Level nested(depth_);
    QASM_TRY(too_deep());
    QASM_TRY(expect(TokenKind::LParen, "'(' after function name"));
    ExprNode node{ExprKind::Call};
    node.name = std::move(name);
    while (!at(TokenKind::RParen)) {
      if (at(TokenKind::LBrace)) {
        // durationof({...}): a block whose duration has no effect.
        QASM_TRY(skip_balanced(TokenKind::LBrace, TokenKind::RBrace));
        ExprNode block{ExprKind::Duration};
        node.args.push_back(add_node3(std::move(block), pos));
      } else {
        QASM_TRY_ASSIGN(const std::size_t arg, binary3(0));
        node.args.push_back(arg);
      }
      if (!at(TokenKind::Comma)) {
        break;
      }
      advance();
    }
    QASM_TRY(expect(TokenKind::RParen, "')'"));
    return add_node3(std::move(node), pos);
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
    TokenList outer_tokens = std::move(tokens_);
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

  TokenList tokens_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
  ExprPool exprs_;
  std::vector<TypeSpec> types_;
  ReaderMode mode_;
  IncludeReader* includes_;
  FileIndex file_ = 0;
  int version_ = 2;
};

}  // namespace

Result<Program> parse_program(TokenList tokens) {
  return parse_program(std::move(tokens), ParseOptions{});
}

Result<Program> parse_program(TokenList tokens, const ParseOptions& options) {
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
