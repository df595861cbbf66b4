// Every failure of the OpenQASM reader is one QasmError value, rendered as one line of text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::qasm {

// A place in the program text: line and column, both counting from 1 (columns count bytes).
struct SourcePos {
  std::uint64_t line = 0;
  std::uint64_t col = 0;
};

// "line L:C": how every message that points into the text writes a position.
std::string line_text(SourcePos pos);

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
  // Set by the dynamic reading, which reads several files: the file whose lines the error's
  // positions count (empty: a text read from a string), and, for an error whose text shows no
  // position, the statement it stopped at. Both stay unset in the specified reading, so that its
  // texts are exactly the fixed ones.
  std::optional<std::string> file;
  SourcePos statement;

  // The text that Circuit.from_qasm raises as ValueError.
  std::string render() const;
};

// Whether the error's own text shows where it happened: the kinds with a line and column, and
// Lower and Unsupported errors made with a position.
bool has_position(const QasmError& error);

// Constructors, one per kind, filling exactly the fields that kind renders.
QasmError lex_error(std::string message, std::uint64_t line, std::uint64_t col);
QasmError parse_error(std::string message, std::uint64_t line, std::uint64_t col);
QasmError lower_error(std::string message);
// A Lower error whose message shows the position `pos` (recorded in line and col, which
// the rendering does not show again).
QasmError lower_error(std::string message, SourcePos pos);
QasmError unsupported_error(std::string feature, std::string planned);
// A refusal of the dynamic reading: no planned release, the feature text shows `pos`.
QasmError unsupported_error(std::string feature, SourcePos pos);
QasmError unknown_gate_error(std::string name, std::uint64_t line, std::uint64_t col);
QasmError gate_arity_error(std::string name, std::uint64_t line, std::uint64_t col,
                           std::uint64_t expected, std::uint64_t got);
QasmError qubit_out_of_range_error(std::uint64_t index, std::uint64_t n_qubits);
QasmError cbit_out_of_range_error(std::uint64_t index, std::uint64_t n_cbits);
QasmError recursion_limit_error(std::string name, std::uint64_t limit);

// The quoted form of a text: between double quotes, with \" \\ \t \r \n \0 escapes and
// \u{hex} for every other non-printable character; printable non-ASCII is kept as is.
// A byte that does not belong to a valid UTF-8 sequence is taken as U+FFFD.
std::string quoted(std::string_view utf8);
// Preferred over std::quoted, which argument-dependent lookup would otherwise find for a
// std::string argument.
inline std::string quoted(const std::string& utf8) { return quoted(std::string_view(utf8)); }
inline std::string quoted(const char* utf8) { return quoted(std::string_view(utf8)); }

// The character form of one byte taken as a character code, between single quotes.
std::string char_form(unsigned char byte);

// Whether a code point is printable: every character except those of the general categories
// Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs, the ASCII space being printable.
bool is_printable(char32_t code);

}  // namespace vorn::qasm
