// The lexer: one pass over the bytes with at most one byte of look-ahead.
#include "qasm/lexer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include "core/abort.h"
#include "qasm/format.h"
#include "qasm/messages.h"

namespace vorn::qasm {

namespace {

constexpr std::array<std::string_view, TOKEN_KIND_COUNT> KIND_NAMES = {
    "Openqasm",  "Include",   "Qreg",     "Creg",   "Gate",
    "Opaque",    "Barrier",   "Measure",  "Reset",  "If",
    "Qubit",     "Bit",       "Else",     "For",    "While",
    "Box_",      "Def",       "Sin",      "Cos",    "Tan",
    "Exp",       "Ln",        "Sqrt",     "Pi",     "Ident",
    "Int",       "Real",      "Str",      "LParen", "RParen",
    "LBracket",  "RBracket",  "LBrace",   "RBrace", "Comma",
    "Semicolon", "Colon",     "Plus",     "Minus",  "Star",
    "Slash",     "Caret",     "Arrow",    "EqEq",   "Eq",
    "Eof",       "Bang",      "NotEq",    "Less",   "LessEq",
    "Greater",   "GreaterEq", "AndAnd",   "OrOr",   "True",
    "False",     "Percent",   "Amp",      "Pipe",   "Tilde",
    "Shl",       "Shr",       "StarStar", "At",     "CompoundAssign",
    "Duration",
};

struct Keyword {
  std::string_view text;
  TokenKind kind;
};

constexpr Keyword KEYWORDS[] = {
    {"OPENQASM", TokenKind::Openqasm}, {"include", TokenKind::Include},
    {"qreg", TokenKind::Qreg},         {"creg", TokenKind::Creg},
    {"gate", TokenKind::Gate},         {"opaque", TokenKind::Opaque},
    {"barrier", TokenKind::Barrier},   {"measure", TokenKind::Measure},
    {"reset", TokenKind::Reset},       {"if", TokenKind::If},
    {"qubit", TokenKind::Qubit},       {"bit", TokenKind::Bit},
    {"else", TokenKind::Else},         {"for", TokenKind::For},
    {"while", TokenKind::While},       {"box", TokenKind::Box_},
    {"def", TokenKind::Def},           {"sin", TokenKind::Sin},
    {"cos", TokenKind::Cos},           {"tan", TokenKind::Tan},
    {"exp", TokenKind::Exp},           {"ln", TokenKind::Ln},
    {"sqrt", TokenKind::Sqrt},         {"pi", TokenKind::Pi},
};

bool is_digit(unsigned char b) { return b >= '0' && b <= '9'; }
bool is_ident_start(unsigned char b) {
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_';
}
bool is_ident_byte(unsigned char b) { return is_ident_start(b) || is_digit(b); }

// The keywords that only the dynamic mode has; in the specified mode they are identifiers.
constexpr Keyword DYNAMIC_KEYWORDS[] = {{"true", TokenKind::True}, {"false", TokenKind::False}};

std::optional<TokenKind> keyword(std::string_view text, ReaderMode mode) {
  for (const Keyword& k : KEYWORDS) {
    if (k.text == text) {
      return k.kind;
    }
  }
  if (mode == ReaderMode::Dynamic) {
    for (const Keyword& k : DYNAMIC_KEYWORDS) {
      if (k.text == text) {
        return k.kind;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::string_view keyword_text(TokenKind kind) {
  for (const Keyword& k : KEYWORDS) {
    if (k.kind == kind) {
      return k.text;
    }
  }
  core::abort_with(messages::not_a_keyword(token_kind_name(kind)));
}

namespace {

std::optional<TokenKind> punctuation(unsigned char b) {
  switch (b) {
    case '(':
      return TokenKind::LParen;
    case ')':
      return TokenKind::RParen;
    case '[':
      return TokenKind::LBracket;
    case ']':
      return TokenKind::RBracket;
    case '{':
      return TokenKind::LBrace;
    case '}':
      return TokenKind::RBrace;
    case ',':
      return TokenKind::Comma;
    case ';':
      return TokenKind::Semicolon;
    case ':':
      return TokenKind::Colon;
    case '+':
      return TokenKind::Plus;
    case '*':
      return TokenKind::Star;
    case '/':
      return TokenKind::Slash;
    case '^':
      return TokenKind::Caret;
    default:
      return std::nullopt;
  }
}

// Validates UTF-8 the way the string payload requires; returns the description of the first
// fault ("invalid utf-8 sequence of {} bytes from index {}" or "incomplete utf-8 byte sequence
// from index {}"), or nothing. An invalid sequence is as long as its longest valid prefix, at
// least one byte; a valid prefix cut off by the end of the text is incomplete.
std::optional<std::string> utf8_fault(std::string_view s) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t start = i;
    const unsigned char first = at(i);
    if (first < 0x80) {
      ++i;
      continue;
    }
    const auto invalid = [&](std::size_t length) {
      return messages::invalid_utf8_sequence(length, start);
    };
    std::size_t width = 0;
    if (first >= 0xC2 && first <= 0xDF) {
      width = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
      width = 3;
    } else if (first >= 0xF0 && first <= 0xF4) {
      width = 4;
    } else {
      return invalid(1);
    }
    if (i + 1 >= s.size()) {
      return messages::incomplete_utf8_sequence(start);
    }
    const unsigned char second = at(i + 1);
    bool second_ok = false;
    switch (width) {
      case 2:
        second_ok = (second & 0xC0) == 0x80;
        break;
      case 3:
        second_ok = (first == 0xE0 && second >= 0xA0 && second <= 0xBF) ||
                    (first >= 0xE1 && first <= 0xEC && second >= 0x80 && second <= 0xBF) ||
                    (first == 0xED && second >= 0x80 && second <= 0x9F) ||
                    (first >= 0xEE && second >= 0x80 && second <= 0xBF);
        break;
      default:
        second_ok = (first == 0xF0 && second >= 0x90 && second <= 0xBF) ||
                    (first >= 0xF1 && first <= 0xF3 && second >= 0x80 && second <= 0xBF) ||
                    (first == 0xF4 && second >= 0x80 && second <= 0x8F);
        break;
    }
    if (!second_ok) {
      return invalid(1);
    }
    for (std::size_t k = 2; k < width; ++k) {
      if (i + k >= s.size()) {
        return messages::incomplete_utf8_sequence(start);
      }
      if ((at(i + k) & 0xC0) != 0x80) {
        return invalid(k);
      }
    }
    i += width;
  }
  return std::nullopt;
}

// A real literal that std::from_chars found out of range is either too large (infinity) or
// too small (zero); the decimal exponent of its leading non-zero digit tells which.
double out_of_range_real(std::string_view text) {
  const std::size_t e = std::min(text.find_first_of("eE"), text.size());
  const std::string_view mantissa = text.substr(0, e);
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  // Position of the first non-zero digit: 0 for the units digit, -1 for the tenths.
  std::int64_t leading = 0;
  bool nonzero = false;
  std::int64_t digit_index = 0;
  for (const char c : mantissa) {
    if (c == '.') {
      continue;
    }
    if (c != '0') {
      leading = static_cast<std::int64_t>(point) - 1 - digit_index;
      nonzero = true;
      break;
    }
    ++digit_index;
  }
  if (!nonzero) {
    return 0.0;
  }
  // The exponent saturates: any magnitude beyond the double range decides the same way.
  std::int64_t exponent = 0;
  bool negative = false;
  for (std::size_t k = e + 1; k < text.size(); ++k) {
    if (text[k] == '-' || text[k] == '+') {
      negative = text[k] == '-';
      continue;
    }
    exponent = std::min<std::int64_t>(exponent * 10 + (text[k] - '0'), 1'000'000'000);
  }
  if (negative) {
    exponent = -exponent;
  }
  return leading + exponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

class Lexer {
 public:
  Lexer(std::string_view source, ReaderMode mode) : source_(source), mode_(mode) {}

  Result<TokenList> run() {
    for (;;) {
      if (Status s = skip_blanks(); !s.ok()) {
        return std::move(s).take_error();
      }
      const std::uint64_t line = line_;
      const std::uint64_t col = col_;
      if (pos_ >= source_.size()) {
        tokens_.emplace_back(TokenKind::Eof, line, col);
        return std::move(tokens_);
      }
      if (Status s = next(line, col); !s.ok()) {
        return std::move(s).take_error();
      }
    }
  }

 private:
  unsigned char peek(std::size_t ahead = 0) const {
    return pos_ + ahead < source_.size() ? static_cast<unsigned char>(source_[pos_ + ahead]) : 0;
  }
  bool has(std::size_t ahead = 0) const { return pos_ + ahead < source_.size(); }

  Status skip_blanks() {
    while (has()) {
      const unsigned char b = peek();
      if (b == '\n') {
        ++line_;
        col_ = 1;
        ++pos_;
      } else if (b == ' ' || b == '\t' || b == '\f' || b == '\r') {
        ++col_;
        ++pos_;
      } else if (b == '/' && has(1) && peek(1) == '/') {
        while (has() && peek() != '\n') {
          ++col_;
          ++pos_;
        }
      } else if (b == '/' && has(1) && peek(1) == '*' && mode_ == ReaderMode::Dynamic) {
        QASM_TRY(block_comment());
      } else if (mode_ == ReaderMode::Dynamic && line_start() && kept_line()) {
        while (has() && peek() != '\n') {
          ++col_;
          ++pos_;
        }
      } else {
        return Ok{};
      }
    }
    return Ok{};
  }

  // `/* ... */`, which may span lines; the comment ends at the first `*/`.
  // Whether only blanks precede the current byte on its line.
  bool line_start() const {
    for (std::size_t k = pos_; k-- > 0;) {
      const char c = source_[k];
      if (c == '\n') {
        return true;
      }
      if (c != ' ' && c != '\t' && c != '\r' && c != '\f') {
        return false;
      }
    }
    return true;
  }

  // An annotation (`@name ...`) or a pragma, kept out of the tokens: the line is skipped.
  bool kept_line() const {
    const std::string_view rest = source_.substr(pos_);
    if (rest.size() > 1 && rest[0] == '@' && is_ident_start(static_cast<unsigned char>(rest[1]))) {
      return true;
    }
    for (const std::string_view word : {std::string_view("pragma"), std::string_view("#pragma")}) {
      if (rest.substr(0, word.size()) == word &&
          (rest.size() == word.size() ||
           !is_ident_byte(static_cast<unsigned char>(rest[word.size()])))) {
        return true;
      }
    }
    return false;
  }

  Status block_comment() {
    const std::uint64_t line = line_;
    const std::uint64_t col = col_;
    advance(2);
    while (has()) {
      if (peek() == '*' && has(1) && peek(1) == '/') {
        advance(2);
        return Ok{};
      }
      if (peek() == '\n') {
        ++line_;
        col_ = 1;
        ++pos_;
      } else {
        advance(1);
      }
    }
    return lex_error(messages::UNTERMINATED_BLOCK_COMMENT, line, col);
  }

  // Reads one token and appends it.
  Status next(std::uint64_t line, std::uint64_t col) {
    const unsigned char b = peek();
    if (is_ident_start(b)) {
      return identifier(line, col);
    }
    if (mode_ == ReaderMode::Dynamic && b >= 0x80 && !greek_constant()) {
      return identifier(line, col);
    }
    if (is_digit(b) || (b == '.' && has(1) && is_digit(peek(1)))) {
      return number(line, col);
    }
    if (b == '"') {
      return string(line, col);
    }
    if (mode_ == ReaderMode::Dynamic && long_operator(line, col)) {
      return Ok{};
    }
    if (const std::optional<TokenKind> kind = punctuation(b)) {
      advance(1);
      return emit(*kind, line, col);
    }
    if (b == '-') {
      const bool arrow = has(1) && peek(1) == '>';
      advance(arrow ? 2 : 1);
      return emit(arrow ? TokenKind::Arrow : TokenKind::Minus, line, col);
    }
    if (b == '=') {
      const bool double_eq = has(1) && peek(1) == '=';
      advance(double_eq ? 2 : 1);
      return emit(double_eq ? TokenKind::EqEq : TokenKind::Eq, line, col);
    }
    if (mode_ == ReaderMode::Dynamic) {
      if (const std::optional<TokenKind> kind = logical_operator(b)) {
        return emit(*kind, line, col);
      }
      if (Result<bool> done = oq3_token(line, col); !done.ok() || done.value()) {
        if (!done.ok()) {
          return std::move(done).take_error();
        }
        return Ok{};
      }
    }
    return lex_error(messages::unexpected_character(b), line, col);
  }

  // The dynamic mode's operators of several characters that start like a single one (`+=`
  // like `+`, `**` like `*`, `<<` like `<`); whether one was read.
  bool long_operator(std::uint64_t line, std::uint64_t col) {
    const std::string_view rest = source_.substr(pos_);
    static constexpr std::string_view COMPOUND[] = {
        "<<=", ">>=", "**=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^="};
    for (const std::string_view op : COMPOUND) {
      if (rest.substr(0, op.size()) == op) {
        advance(op.size());
        tokens_.emplace_back(TokenKind::CompoundAssign, line, col).text = std::string(op);
        return true;
      }
    }
    static constexpr std::pair<std::string_view, TokenKind> OPERATORS[] = {
        {"<<", TokenKind::Shl}, {">>", TokenKind::Shr}, {"**", TokenKind::StarStar}};
    for (const auto& [text, kind] : OPERATORS) {
      if (rest.substr(0, text.size()) == text) {
        advance(text.size());
        tokens_.emplace_back(kind, line, col);
        return true;
      }
    }
    return false;
  }

  // The dynamic mode's OpenQASM 3 tokens that the specified mode has no use for; false when
  // the current byte starts none of them.
  Result<bool> oq3_token(std::uint64_t line, std::uint64_t col) {
    const std::string_view rest = source_.substr(pos_);
    struct Spelling {
      std::string_view text;
      TokenKind kind;
    };
    static constexpr Spelling OPERATORS[] = {
        {"%", TokenKind::Percent}, {"&", TokenKind::Amp}, {"|", TokenKind::Pipe},
        {"~", TokenKind::Tilde},   {"@", TokenKind::At},
    };
    for (const Spelling& op : OPERATORS) {
      if (rest.substr(0, op.text.size()) == op.text) {
        advance(op.text.size());
        tokens_.emplace_back(op.kind, line, col);
        return true;
      }
    }
    // Physical qubits.
    if (rest[0] == '$' && rest.size() > 1 && is_digit(static_cast<unsigned char>(rest[1]))) {
      std::size_t end = 1;
      while (end < rest.size() && is_digit(static_cast<unsigned char>(rest[end]))) {
        ++end;
      }
      tokens_.emplace_back(TokenKind::Ident, line, col).text = std::string(rest.substr(0, end));
      advance(end);
      return true;
    }
    // An array's dimension designator (`#dim = 2`), read as a name so that the array it belongs
    // to is refused for what it is rather than for its character.
    if (rest.substr(0, 4) == "#dim" &&
        (rest.size() == 4 || !is_ident_byte(static_cast<unsigned char>(rest[4])))) {
      tokens_.emplace_back(TokenKind::Ident, line, col).text = "#dim";
      advance(4);
      return true;
    }
    // The constants' Greek letters: π (CF 80), τ (CF 84), ℇ (E2 84 87).
    static constexpr Spelling LETTERS[] = {{"\xCF\x80", TokenKind::Pi},
                                           {"\xCF\x84", TokenKind::Ident},
                                           {"\xE2\x84\x87", TokenKind::Ident}};
    for (const Spelling& letter : LETTERS) {
      if (rest.substr(0, letter.text.size()) == letter.text) {
        Token& token = tokens_.emplace_back(letter.kind, line, col);
        if (letter.kind == TokenKind::Ident) {
          token.text = letter.text.size() == 2 ? "tau" : "euler";
        }
        pos_ += letter.text.size();
        ++col_;
        return true;
      }
    }
    return false;
  }

  // The operators of conditions: `!` `!=` `<` `<=` `>` `>=` `&&` `||`. Advances over the
  // operator it returns; a lone `&` or `|` is no token.
  std::optional<TokenKind> logical_operator(unsigned char b) {
    const bool eq_follows = has(1) && peek(1) == '=';
    switch (b) {
      case '!':
        advance(eq_follows ? 2 : 1);
        return eq_follows ? TokenKind::NotEq : TokenKind::Bang;
      case '<':
        advance(eq_follows ? 2 : 1);
        return eq_follows ? TokenKind::LessEq : TokenKind::Less;
      case '>':
        advance(eq_follows ? 2 : 1);
        return eq_follows ? TokenKind::GreaterEq : TokenKind::Greater;
      case '&':
      case '|':
        if (has(1) && peek(1) == b) {
          advance(2);
          return b == '&' ? TokenKind::AndAnd : TokenKind::OrOr;
        }
        return std::nullopt;
      default:
        return std::nullopt;
    }
  }

  void advance(std::size_t n) {
    pos_ += n;
    col_ += n;
  }

  Status emit(TokenKind kind, std::uint64_t line, std::uint64_t col) {
    tokens_.emplace_back(kind, line, col);
    return Ok{};
  }

  // π, τ or ℇ standing alone (not the start of a longer name).
  bool greek_constant() const {
    const std::string_view rest = source_.substr(pos_);
    for (const std::string_view letter : {"\xCF\x80", "\xCF\x84", "\xE2\x84\x87"}) {
      if (rest.substr(0, letter.size()) == letter) {
        const auto after = rest.size() > letter.size()
                               ? static_cast<unsigned char>(rest[letter.size()])
                               : static_cast<unsigned char>(0);
        return !is_ident_byte(after) && after < 0x80;
      }
    }
    return false;
  }

  Status identifier(std::uint64_t line, std::uint64_t col) {
    const std::size_t start = pos_;
    std::size_t end = pos_;
    // The dynamic mode reads names in any script (θ, 𝑟): every byte of a multi-byte UTF-8
    // sequence belongs to the name.
    const bool any_script = mode_ == ReaderMode::Dynamic;
    while (end < source_.size() &&
           (is_ident_byte(static_cast<unsigned char>(source_[end])) ||
            (any_script && static_cast<unsigned char>(source_[end]) >= 0x80))) {
      ++end;
    }
    const std::string_view text = source_.substr(start, end - start);
    // A name in another script is whole UTF-8 sequences, as a string's payload is.
    if (any_script) {
      if (std::optional<std::string> fault = utf8_fault(text)) {
        return lex_error(messages::non_utf8_name(*fault), line, col);
      }
    }
    advance(end - start);
    if (const std::optional<TokenKind> kind = keyword(text, mode_)) {
      return emit(*kind, line, col);
    }
    tokens_.emplace_back(TokenKind::Ident, line, col).text = std::string(text);
    return Ok{};
  }

  Status number(std::uint64_t line, std::uint64_t col) {
    if (mode_ == ReaderMode::Dynamic) {
      return oq3_number(line, col);
    }
    const std::size_t start = pos_;
    std::size_t end = pos_;
    bool point = false;
    bool exponent = false;
    const auto at = [&](std::size_t i) {
      return i < source_.size() ? static_cast<unsigned char>(source_[i]) : 0;
    };
    for (;;) {
      const unsigned char b = at(end);
      if (end < source_.size() && is_digit(b)) {
        ++end;
      } else if (b == '.' && !point && !exponent) {
        point = true;
        ++end;
      } else if ((b == 'e' || b == 'E') && !exponent) {
        exponent = true;
        ++end;
        if (at(end) == '+' || at(end) == '-') {
          ++end;
        }
      } else {
        break;
      }
    }
    const std::string_view text = source_.substr(start, end - start);
    advance(end - start);
    Token token(point || exponent ? TokenKind::Real : TokenKind::Int, line, col);
    if (!point && !exponent) {
      const auto [ptr, ec] =
          std::from_chars(text.data(), text.data() + text.size(), token.int_value);
      if (ec != std::errc() || ptr != text.data() + text.size()) {
        return lex_error(messages::integer_too_large(text), line, col);
      }
      tokens_.push_back(std::move(token));
      return Ok{};
    }
    if (!valid_real(text)) {
      return lex_error(messages::invalid_real(text), line, col);
    }
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), token.real_value,
                                           std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
      token.real_value = out_of_range_real(text);
    } else if (ec != std::errc() || ptr != text.data() + text.size()) {
      return lex_error(messages::invalid_real(text), line, col);
    }
    tokens_.push_back(std::move(token));
    return Ok{};
  }

  // OpenQASM 3 numbers: `0x1F`, `0b101`, `0o17`, `_` between digits, and a time unit after a
  // number making it a duration.
  Status oq3_number(std::uint64_t line, std::uint64_t col) {
    const auto at = [&](std::size_t i) {
      return i < source_.size() ? static_cast<unsigned char>(source_[i]) : 0;
    };
    const unsigned char prefix = at(pos_ + 1);
    if (at(pos_) == '0' && (prefix == 'x' || prefix == 'X' || prefix == 'b' || prefix == 'B' ||
                            prefix == 'o' || prefix == 'O')) {
      const int base = (prefix == 'x' || prefix == 'X')   ? 16
                       : (prefix == 'o' || prefix == 'O') ? 8
                                                          : 2;
      std::size_t end = pos_ + 2;
      std::string digits;
      while (end < source_.size() && (is_ident_byte(at(end)))) {
        if (at(end) != '_') {
          digits += static_cast<char>(at(end));
        }
        ++end;
      }
      const std::string_view text = source_.substr(pos_, end - pos_);
      Token token(TokenKind::Int, line, col);
      std::uint64_t value = 0;
      const auto [ptr, ec] =
          std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
      if (digits.empty() || ec != std::errc() || ptr != digits.data() + digits.size() ||
          value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return lex_error(messages::integer_too_large(text), line, col);
      }
      token.int_value = static_cast<std::int64_t>(value);
      advance(end - pos_);
      tokens_.push_back(std::move(token));
      return Ok{};
    }
    std::size_t end = pos_;
    bool point = false;
    bool exponent = false;
    std::string text;
    for (;;) {
      const unsigned char b = at(end);
      if (end < source_.size() && is_digit(b)) {
        text += static_cast<char>(b);
        ++end;
      } else if (b == '_' && is_digit(at(end + 1)) && !text.empty()) {
        ++end;
      } else if (b == '.' && !point && !exponent) {
        point = true;
        text += '.';
        ++end;
      } else if ((b == 'e' || b == 'E') && !exponent &&
                 (is_digit(at(end + 1)) ||
                  ((at(end + 1) == '+' || at(end + 1) == '-') && is_digit(at(end + 2))))) {
        exponent = true;
        text += static_cast<char>(b);
        ++end;
        if (at(end) == '+' || at(end) == '-') {
          text += static_cast<char>(at(end));
          ++end;
        }
      } else {
        break;
      }
    }
    // A time unit directly after the number.
    std::size_t unit_end = end;
    while (unit_end < source_.size() && is_ident_byte(at(unit_end))) {
      ++unit_end;
    }
    std::string_view unit = source_.substr(end, unit_end - end);
    if (unit.empty() && at(end) == 0xC2 && at(end + 1) == 0xB5 && at(end + 2) == 's' &&
        !is_ident_byte(at(end + 3))) {
      unit = source_.substr(end, 3);  // µs
      unit_end = end + 3;
    }
    bool duration = false;
    for (const std::string_view u : {"ns", "us", "ms", "s", "dt", "\xC2\xB5s"}) {
      duration = duration || unit == u;
    }
    Token token(
        duration ? TokenKind::Duration : (point || exponent ? TokenKind::Real : TokenKind::Int),
        line, col);
    const std::string_view written = source_.substr(pos_, end - pos_);
    advance(end - pos_);
    if (duration) {
      pos_ = unit_end;
      col_ += unit.size();
    }
    if (token.kind == TokenKind::Int) {
      const auto [ptr, ec] =
          std::from_chars(text.data(), text.data() + text.size(), token.int_value);
      if (ec != std::errc() || ptr != text.data() + text.size()) {
        return lex_error(messages::integer_too_large(written), line, col);
      }
      tokens_.push_back(std::move(token));
      return Ok{};
    }
    if (!valid_real(text)) {
      return lex_error(messages::invalid_real(written), line, col);
    }
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), token.real_value,
                                           std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
      token.real_value = out_of_range_real(text);
    } else if (ec != std::errc() || ptr != text.data() + text.size()) {
      return lex_error(messages::invalid_real(written), line, col);
    }
    tokens_.push_back(std::move(token));
    return Ok{};
  }

  // A mantissa with at least one digit and, when there is an exponent, at least one digit
  // after its optional sign.
  static bool valid_real(std::string_view text) {
    std::size_t i = 0;
    bool mantissa_digit = false;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
      mantissa_digit = mantissa_digit || is_digit(static_cast<unsigned char>(text[i]));
    }
    if (!mantissa_digit) {
      return false;
    }
    if (i == text.size()) {
      return true;
    }
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
      ++i;
    }
    return i < text.size();
  }

  Status string(std::uint64_t line, std::uint64_t col) {
    const std::size_t start = pos_ + 1;
    std::size_t end = start;
    while (end < source_.size() && source_[end] != '"' && source_[end] != '\n') {
      ++end;
    }
    if (end >= source_.size()) {
      return lex_error(messages::UNTERMINATED_STRING_AT_EOF, line, col);
    }
    if (source_[end] == '\n') {
      return lex_error(messages::UNTERMINATED_STRING, line, col);
    }
    const std::string_view contents = source_.substr(start, end - start);
    if (std::optional<std::string> fault = utf8_fault(contents)) {
      return lex_error(messages::non_utf8_string(*fault), line, col);
    }
    advance(end + 1 - pos_);
    tokens_.emplace_back(TokenKind::Str, line, col).text = std::string(contents);
    return Ok{};
  }

  std::string_view source_;
  ReaderMode mode_;
  TokenList tokens_;
  std::size_t pos_ = 0;
  std::uint64_t line_ = 1;
  std::uint64_t col_ = 1;
};

}  // namespace

Result<TokenList> tokenize(std::string_view text) { return tokenize(text, ReaderMode::Specified); }

Result<TokenList> tokenize(std::string_view text, ReaderMode mode) {
  return Lexer(text, mode).run();
}

bool is_identifier(std::string_view text, ReaderMode mode) {
  // The dynamic mode also reads names in any script: whole UTF-8 sequences, where π, τ and ℇ
  // alone are the constants.
  const bool any_script = mode == ReaderMode::Dynamic;
  const auto name_byte = [any_script](unsigned char b) {
    return is_ident_byte(b) || (any_script && b >= 0x80);
  };
  if (text.empty() || is_digit(static_cast<unsigned char>(text[0]))) {
    return false;
  }
  for (const char c : text) {
    if (!name_byte(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  if (any_script && (utf8_fault(text).has_value() || text == "\xCF\x80" || text == "\xCF\x84" ||
                     text == "\xE2\x84\x87")) {
    return false;
  }
  return !keyword(text, mode).has_value();
}

std::string_view token_kind_name(TokenKind kind) {
  return KIND_NAMES[static_cast<std::size_t>(kind)];
}

std::string real_text(double value) {
  if (std::isnan(value)) {
    return "NaN";
  }
  if (std::isinf(value)) {
    return value < 0 ? "-inf" : "inf";
  }
  const double magnitude = std::fabs(value);
  char buffer[512];
  if (magnitude != 0.0 && (magnitude >= 1e16 || magnitude < 1e-4)) {
    // Shortest digits in scientific form, "1.5e+16" or "1e-05", written as 1.5e16, 1e-5.
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string out;
    append_bare_exponent(out,
                         std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
    return out;
  }
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  std::string out(buffer, static_cast<std::size_t>(result.ptr - buffer));
  if (out.find('.') == std::string::npos) {
    out += ".0";
  }
  return out;
}

std::string token_name(const Token& token) {
  const std::string name(token_kind_name(token.kind));
  switch (token.kind) {
    case TokenKind::Ident:
    case TokenKind::Str:
      return name + "(" + quoted(token.text) + ")";
    case TokenKind::Int:
      return name + "(" + std::to_string(token.int_value) + ")";
    case TokenKind::Real:
      return name + "(" + real_text(token.real_value) + ")";
    default:
      return name;
  }
}

}  // namespace vorn::qasm
