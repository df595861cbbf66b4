// The parser: a token list to a Program, by recursive descent with one token of look-ahead
// (five for `c = measure q;`).
#pragma once

#include <cstddef>
#include <vector>

#include "qasm/ast.h"
#include "qasm/lexer.h"
#include "qasm/result.h"

namespace vorn::qasm {

// Parentheses, unary minus signs, `^` chains, function calls and `if` bodies each add a
// level of recursion; deeper nesting than this is refused so that no input exhausts the stack.
inline constexpr std::size_t MAX_NESTING_DEPTH = 256;

// Precondition: the list ends with Eof, as tokenize returns it.
Result<Program> parse_program(std::vector<Token> tokens);

}  // namespace vorn::qasm
