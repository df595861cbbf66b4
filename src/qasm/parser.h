// The parser: a token list to a Program, by recursive descent with one token of look-ahead
// (five for `c = measure q;`).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qasm/ast.h"
#include "qasm/lexer.h"
#include "qasm/result.h"

namespace vorn::qasm {

// Parentheses, unary minus signs, `^` chains, function calls and `if` bodies each add a
// level of recursion; deeper nesting than this is refused so that no input exhausts the stack.
inline constexpr std::size_t MAX_NESTING_DEPTH = 256;

// Precondition: the list ends with Eof, as tokenize returns it.
Result<Program> parse_program(TokenList tokens);

// A file that the dynamic mode's `include` brought in: its tokens (ending in Eof), its index
// among the reading's files and the name its errors show.
struct IncludedTokens {
  TokenList tokens;
  FileIndex file = 0;
  std::string name;
};

// Reads the files that `include` names, for the parser of the dynamic mode; `qelib1.inc` and
// `stdgates.inc` are built in and never asked for.
class IncludeReader {
 public:
  virtual ~IncludeReader() = default;
  // The tokens of the file that `include "path";` at `pos` in file `from` names, or why it
  // cannot be read (missing, a cycle, too much text, a lexical error).
  virtual Result<IncludedTokens> enter(std::string_view path, SourcePos pos, FileIndex from) = 0;
  // The parser has read the file to its end.
  virtual void leave(FileIndex file) = 0;
};

struct ParseOptions {
  ReaderMode mode = ReaderMode::Specified;
  // Dynamic mode: where included files come from; without one, including a file other than the
  // built-in ones fails.
  IncludeReader* includes = nullptr;
};

// The dynamic mode reads, besides the specified grammar: `if (condition) body [else body]`
// with blocks, `bit[n] c = "0101";`, `bit[n] c = measure q;`, and includes in place (their
// statements take the include's place, numbered with their file). It refuses what it does not
// read as soon as it meets it: for, while, box, def, opaque, OpenQASM 3.0 classical
// declarations and the other reserved words of 3.0, declarations and includes inside blocks,
// and classical assignments other than measurements.
Result<Program> parse_program(TokenList tokens, const ParseOptions& options);

// The construct that a reserved word of OpenQASM 3.0 starts ("classical declaration" for
// `int`, "delay instruction" for `delay`), when `word` is one that the dynamic mode refuses at
// the start of a statement of a 3.0 program.
std::optional<std::string_view> reserved_construct(std::string_view word);

}  // namespace vorn::qasm
