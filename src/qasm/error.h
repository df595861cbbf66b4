// Every failure of the OpenQASM reader is one QasmError value, rendered as one line of text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::qasm {

// Kinds in their fixed order; each uses the fields listed beside it.
enum class QasmErrorKind : std::uint8_t {
  Lex = 0,              // message, line, col
  Parse = 1,            // message, line, col
  Lower = 2,            // message
  Unsupported = 3,      // message (the feature), planned
  UnknownGate = 4,      // name, line, col
  GateArity = 5,        // name, line, col, expected, got
  QubitOutOfRange = 6,  // index, count (n_qubits)
  CbitOutOfRange = 7,   // index, count (n_cbits)
  RecursionLimit = 8,   // name, limit (in `expected`)
};

struct QasmError {
  QasmErrorKind kind;
  std::string message;
  std::string name;
  std::string planned;
  std::uint64_t line = 0;
  std::uint64_t col = 0;
  std::uint64_t expected = 0;
  std::uint64_t got = 0;
  std::uint64_t index = 0;
  std::uint64_t count = 0;

  // The text that Circuit.from_qasm raises as ValueError.
  std::string render() const;
};

// The quoted form of a text: between double quotes, with \" \\ \t \r \n \0 escapes and
// \u{hex} for every other non-printable character; printable non-ASCII is kept as is.
std::string quoted(std::string_view utf8);

// The character form of one byte taken as a character code, between single quotes.
std::string char_form(unsigned char byte);

}  // namespace vorn::qasm
