// Rendering of front-end errors and the quoted and character forms that messages use.
#include "qasm/error.h"

#include <algorithm>
#include <array>
#include <utility>

namespace vorn::qasm {

namespace {

struct CodeRange {
  char32_t first;
  char32_t last;
};

constexpr CodeRange PRINTABLE_RANGES[] = {
#include "qasm/printable_table.inc"
};

void append_utf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

void append_hex(std::string& out, char32_t code) {
  constexpr char DIGITS[] = "0123456789abcdef";
  char buffer[8];
  int n = 0;
  do {
    buffer[n++] = DIGITS[code & 0xF];
    code >>= 4;
  } while (code != 0);
  while (n > 0) {
    out += buffer[--n];
  }
}

// Appends one character with the escapes shared by both forms; `quote` is the delimiter that
// gets a backslash ('"' for the quoted form, '\'' for the character form).
void append_escaped(std::string& out, char32_t code, char quote) {
  switch (code) {
    case U'\t':
      out += "\\t";
      return;
    case U'\r':
      out += "\\r";
      return;
    case U'\n':
      out += "\\n";
      return;
    case U'\0':
      out += "\\0";
      return;
    case U'\\':
      out += "\\\\";
      return;
    default:
      break;
  }
  if (code == static_cast<char32_t>(quote)) {
    out += '\\';
    out += quote;
  } else if (is_printable(code)) {
    append_utf8(out, code);
  } else {
    out += "\\u{";
    append_hex(out, code);
    out += '}';
  }
}

// Decodes one UTF-8 sequence at `pos`; an invalid or truncated sequence yields U+FFFD and
// consumes one byte.
char32_t decode_utf8(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char first = byte(pos);
  if (first < 0x80) {
    ++pos;
    return first;
  }
  std::size_t length = 0;
  char32_t code = 0;
  char32_t min_code = 0;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
    code = first & 0x1F;
    min_code = 0x80;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    code = first & 0x0F;
    min_code = 0x800;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    code = first & 0x07;
    min_code = 0x10000;
  }
  if (length == 0 || pos + length > text.size()) {
    ++pos;
    return 0xFFFD;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return 0xFFFD;
    }
    code = (code << 6) | (next & 0x3F);
  }
  if (code < min_code || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    ++pos;
    return 0xFFFD;
  }
  pos += length;
  return code;
}

QasmError with_kind(QasmErrorKind kind) {
  QasmError error;
  error.kind = kind;
  return error;
}

}  // namespace

bool is_printable(char32_t code) {
  // Ranges are sorted: find the first whose end is not below the code.
  const auto* end = std::end(PRINTABLE_RANGES);
  const auto* it = std::lower_bound(std::begin(PRINTABLE_RANGES), end, code,
                                    [](const CodeRange& r, char32_t c) { return r.last < c; });
  return it != end && it->first <= code;
}

std::string quoted(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out += '"';
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    append_escaped(out, decode_utf8(utf8, pos), '"');
  }
  out += '"';
  return out;
}

std::string char_form(unsigned char byte) {
  std::string out = "'";
  append_escaped(out, byte, '\'');
  out += '\'';
  return out;
}

std::string line_text(SourcePos pos) {
  return "line " + std::to_string(pos.line) + ":" + std::to_string(pos.col);
}

namespace {

std::string render_kind(const QasmError& e) {
  using std::to_string;
  switch (e.kind) {
    case QasmErrorKind::Lex:
      return "qasm lex error at " + line_text({e.line, e.col}) + ": " + e.message;
    case QasmErrorKind::Parse:
      return "qasm parse error at " + line_text({e.line, e.col}) + ": " + e.message;
    case QasmErrorKind::Lower:
      return "qasm lower error: " + e.message;
    case QasmErrorKind::Unsupported:
      if (e.planned.empty()) {
        return "qasm unsupported feature: " + e.message;
      }
      return "qasm unsupported feature: " + e.message + " (planned for " + e.planned + ")";
    case QasmErrorKind::UnknownGate:
      return "qasm unknown gate '" + e.name + "' at " + line_text({e.line, e.col});
    case QasmErrorKind::GateArity:
      return "qasm gate '" + e.name + "' at " + line_text({e.line, e.col}) + " expected " +
             to_string(e.expected) + " qubits, got " + to_string(e.got);
    case QasmErrorKind::QubitOutOfRange:
      return "qasm qubit index " + to_string(e.index) +
             " out of range (n_qubits=" + to_string(e.count) + ")";
    case QasmErrorKind::CbitOutOfRange:
      return "qasm cbit index " + to_string(e.index) +
             " out of range (n_cbits=" + to_string(e.count) + ")";
    case QasmErrorKind::RecursionLimit:
      return "qasm gate '" + e.name + "' inline expansion exceeded recursion limit " +
             to_string(e.expected);
  }
  return e.message;
}

}  // namespace

std::string QasmError::render() const {
  std::string text = render_kind(*this);
  const bool named = file.has_value() && !file->empty();
  if (statement.line != 0) {
    text += " (at " + line_text(statement);
    if (named) {
      text += " of " + quoted(*file);
    }
    text += ")";
  } else if (named) {
    text += " (in " + quoted(*file) + ")";
  }
  return text;
}

bool has_position(const QasmError& error) {
  switch (error.kind) {
    case QasmErrorKind::Lex:
    case QasmErrorKind::Parse:
    case QasmErrorKind::UnknownGate:
    case QasmErrorKind::GateArity:
      return true;
    case QasmErrorKind::Lower:
    case QasmErrorKind::Unsupported:
      return error.line != 0;
    case QasmErrorKind::QubitOutOfRange:
    case QasmErrorKind::CbitOutOfRange:
    case QasmErrorKind::RecursionLimit:
      return false;
  }
  return false;
}

QasmError lex_error(std::string message, std::uint64_t line, std::uint64_t col) {
  QasmError error = with_kind(QasmErrorKind::Lex);
  error.message = std::move(message);
  error.line = line;
  error.col = col;
  return error;
}

QasmError parse_error(std::string message, std::uint64_t line, std::uint64_t col) {
  QasmError error = with_kind(QasmErrorKind::Parse);
  error.message = std::move(message);
  error.line = line;
  error.col = col;
  return error;
}

QasmError lower_error(std::string message) {
  QasmError error = with_kind(QasmErrorKind::Lower);
  error.message = std::move(message);
  return error;
}

QasmError lower_error(std::string message, SourcePos pos) {
  QasmError error = lower_error(std::move(message));
  error.line = pos.line;
  error.col = pos.col;
  return error;
}

QasmError unsupported_error(std::string feature, std::string planned) {
  QasmError error = with_kind(QasmErrorKind::Unsupported);
  error.message = std::move(feature);
  error.planned = std::move(planned);
  return error;
}

QasmError unsupported_error(std::string feature, SourcePos pos) {
  QasmError error = unsupported_error(std::move(feature), std::string());
  error.line = pos.line;
  error.col = pos.col;
  return error;
}

QasmError unknown_gate_error(std::string name, std::uint64_t line, std::uint64_t col) {
  QasmError error = with_kind(QasmErrorKind::UnknownGate);
  error.name = std::move(name);
  error.line = line;
  error.col = col;
  return error;
}

QasmError gate_arity_error(std::string name, std::uint64_t line, std::uint64_t col,
                           std::uint64_t expected, std::uint64_t got) {
  QasmError error = with_kind(QasmErrorKind::GateArity);
  error.name = std::move(name);
  error.line = line;
  error.col = col;
  error.expected = expected;
  error.got = got;
  return error;
}

QasmError qubit_out_of_range_error(std::uint64_t index, std::uint64_t n_qubits) {
  QasmError error = with_kind(QasmErrorKind::QubitOutOfRange);
  error.index = index;
  error.count = n_qubits;
  return error;
}

QasmError cbit_out_of_range_error(std::uint64_t index, std::uint64_t n_cbits) {
  QasmError error = with_kind(QasmErrorKind::CbitOutOfRange);
  error.index = index;
  error.count = n_cbits;
  return error;
}

QasmError recursion_limit_error(std::string name, std::uint64_t limit) {
  QasmError error = with_kind(QasmErrorKind::RecursionLimit);
  error.name = std::move(name);
  error.expected = limit;
  return error;
}

}  // namespace vorn::qasm
