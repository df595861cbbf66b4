// Text helpers shared by the reader's tests.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "qasm/error.h"

namespace vorn::qasm::test {

// Concatenation by appending (operator+ on temporaries trips a false -Wrestrict in GCC 12).
inline std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) {
    out += part;
  }
  return out;
}

// The name of an error kind as the corpus manifest writes it ("Lex", ..., "RecursionLimit").
inline std::string_view kind_name(QasmErrorKind kind) {
  switch (kind) {
    case QasmErrorKind::Lex:
      return "Lex";
    case QasmErrorKind::Parse:
      return "Parse";
    case QasmErrorKind::Lower:
      return "Lower";
    case QasmErrorKind::Unsupported:
      return "Unsupported";
    case QasmErrorKind::UnknownGate:
      return "UnknownGate";
    case QasmErrorKind::GateArity:
      return "GateArity";
    case QasmErrorKind::QubitOutOfRange:
      return "QubitOutOfRange";
    case QasmErrorKind::CbitOutOfRange:
      return "CbitOutOfRange";
    case QasmErrorKind::RecursionLimit:
      return "RecursionLimit";
  }
  return "?";
}

}  // namespace vorn::qasm::test
