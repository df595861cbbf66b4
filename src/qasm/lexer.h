// The lexer: OpenQASM 2.0 / 3.0 text to a list of tokens ending in Eof. It works on bytes;
// lines and columns count bytes and start at 1.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "qasm/result.h"

namespace vorn::qasm {

// What the reader accepts. Specified: the fixed OpenQASM subset of from_qasm, every text as
// written down for it. Dynamic: that subset plus what dynamic programs need (mid-circuit
// measurement, reset, classical conditions, bit initialisers, included files); each stage
// takes the mode and decides with it, so that the two readings share one lexer, parser and
// lowering.
enum class ReaderMode : std::uint8_t { Specified, Dynamic };

// Kinds in their fixed order; token_kind_name gives the name that messages print. The kinds
// after Eof occur only in the dynamic mode.
enum class TokenKind : std::uint8_t {
  Openqasm,
  Include,
  Qreg,
  Creg,
  Gate,
  Opaque,
  Barrier,
  Measure,
  Reset,
  If,
  Qubit,
  Bit,
  Else,
  For,
  While,
  Box_,
  Def,
  Sin,
  Cos,
  Tan,
  Exp,
  Ln,
  Sqrt,
  Pi,
  Ident,
  Int,
  Real,
  Str,
  LParen,
  RParen,
  LBracket,
  RBracket,
  LBrace,
  RBrace,
  Comma,
  Semicolon,
  Colon,
  Plus,
  Minus,
  Star,
  Slash,
  Caret,
  Arrow,
  EqEq,
  Eq,
  Eof,
  Bang,
  NotEq,
  Less,
  LessEq,
  Greater,
  GreaterEq,
  AndAnd,
  OrOr,
  True,
  False,
  Percent,
  Amp,
  Pipe,
  Tilde,
  Shl,
  Shr,
  StarStar,
  At,
  CompoundAssign,  // text: the operator, "+=", "<<=", ...
  Duration,        // a number with a time unit; real_value is the number
};

inline constexpr int TOKEN_KIND_COUNT = 66;

// The payload lives in the field of the kind: `text` for Ident and Str, `int_value` for Int,
// `real_value` for Real.
struct Token {
  Token(TokenKind kind, std::uint64_t line, std::uint64_t col) : kind(kind), line(line), col(col) {}

  TokenKind kind;
  std::uint64_t line;
  std::uint64_t col;
  std::int64_t int_value = 0;
  double real_value = 0.0;
  std::string text;
};

// A program's tokens. A deque grows in small blocks: a 100 MB file's 6·10^7 tokens never need
// a doubled copy, nor room reserved for twice their number.
using TokenList = std::deque<Token>;

// The complete token list, the last one Eof, or the first lexical error. The dynamic mode
// also reads `! != < <= > >= && ||`, the keywords `true` and `false`, block comments
// `/* ... */`, and OpenQASM 3's `% & | ~ << >> ** @`, compound assignments (`+=`, `<<=`, ...),
// `$n` physical qubits (an Ident "$n"), π τ ℇ (Idents "pi", "tau", "euler"), binary, octal and
// hexadecimal integers, `_` between digits, duration literals (`100ns`, `2dt`), and skips
// annotation lines (`@name ...` first on its line) and pragmas (`pragma ...`, `#pragma ...`);
// everything else lexes as in the specified mode.
Result<TokenList> tokenize(std::string_view text);
Result<TokenList> tokenize(std::string_view text, ReaderMode mode);

// Whether `text` lexes as one identifier in the mode (not a keyword, nor a number or anything
// else).
bool is_identifier(std::string_view text, ReaderMode mode);

// "Semicolon", "Box_", ...: the name of a kind.
std::string_view token_kind_name(TokenKind kind);

// The spelling of a keyword's kind ("else" for Else), from the keyword table. Aborts for a kind
// that is not a keyword.
std::string_view keyword_text(TokenKind kind);

// The printed form of a token in parse messages: Semicolon, Ident("q"), Int(5), Real(2.0).
std::string token_name(const Token& token);

// A double as the shortest decimal that reads back to it, with ".0" when integral and in
// exponent form (1e16, 1e-5) when its magnitude is at least 1e16 or below 1e-4 and not zero.
std::string real_text(double value);

}  // namespace vorn::qasm
