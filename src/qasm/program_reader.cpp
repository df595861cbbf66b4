// Reading a dynamic program: the three stages in the dynamic mode, with the files that
// `include` names found, read and checked for cycles here.
#include "qasm/program_reader.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "qasm/lexer.h"
#include "qasm/lowering.h"
#include "qasm/messages.h"
#include "qasm/parser.h"

namespace vorn::qasm {

namespace {

namespace fs = std::filesystem;

std::string normal(const fs::path& path) { return path.lexically_normal().generic_string(); }

// The files of one reading: the text's own (index 0) and every inclusion after it.
class Includes final : public IncludeReader {
 public:
  explicit Includes(const ProgramSource& source) : source_(source) {
    names_.push_back(source.file_name);
    keys_.push_back(normal(source.file_name));
    open_.push_back(0);
  }

  Result<IncludedTokens> enter(std::string_view path, SourcePos pos, FileIndex from) override {
    const fs::path written{std::string(path)};
    std::vector<std::string> candidates;
    if (written.is_absolute()) {
      candidates.push_back(normal(written));
    } else {
      candidates.push_back(normal(fs::path(keys_[from]).parent_path() / written));
      if (std::string here = normal(written); here != candidates.front()) {
        candidates.push_back(std::move(here));
      }
    }
    // The first candidate that exists is the file; a file being read exists, and including it
    // again is a cycle.
    std::optional<std::string> text;
    std::string found;
    for (const std::string& candidate : candidates) {
      if (const std::optional<std::size_t> open = open_position(candidate)) {
        std::string chain;
        for (std::size_t j = *open; j < open_.size(); ++j) {
          chain += names_[open_[j]];
          chain += " -> ";
        }
        chain += candidate;
        return parse_error(messages::include_cycle(chain), pos.line, pos.col);
      }
      text = read(candidate);
      if (text.has_value()) {
        found = candidate;
        break;
      }
    }
    if (!text.has_value()) {
      std::string tried;
      for (const std::string& candidate : candidates) {
        tried += tried.empty() ? "" : ", ";
        tried += quoted(candidate);
      }
      return parse_error(messages::include_not_found(path, tried), pos.line, pos.col);
    }
    if (text->size() > source_.limits.max_include_bytes - included_bytes_) {
      return parse_error(messages::include_too_large(path, source_.limits.max_include_bytes),
                         pos.line, pos.col);
    }
    included_bytes_ += text->size();
    Result<TokenList> tokens = tokenize(*text, ReaderMode::Dynamic);
    if (!tokens.ok()) {
      QasmError error = std::move(tokens).take_error();
      error.file = found;
      return error;
    }
    const auto file = static_cast<FileIndex>(names_.size());
    names_.push_back(found);
    keys_.push_back(found);
    open_.push_back(file);
    if (first_seen_.insert(found).second) {
      included_.push_back(found);
    }
    return IncludedTokens{std::move(tokens).value(), file, found};
  }

  void leave(FileIndex) override { open_.pop_back(); }

  const std::vector<std::string>& names() const { return names_; }
  std::vector<std::string> take_included() { return std::move(included_); }

 private:
  // Where in the chain of files being read the file `key` is, if it is.
  std::optional<std::size_t> open_position(const std::string& key) const {
    for (std::size_t k = 0; k < open_.size(); ++k) {
      if (keys_[open_[k]] == key) {
        return k;
      }
    }
    return std::nullopt;
  }

  std::optional<std::string> read(const std::string& path) const {
    return source_.read_file ? source_.read_file(path) : read_file_from_disk(path);
  }

  const ProgramSource& source_;
  // By FileIndex: the name errors show, and the normalised path that identifies the file.
  std::vector<std::string> names_;
  std::vector<std::string> keys_;
  // The files being read, outermost first.
  std::vector<FileIndex> open_;
  std::uint64_t included_bytes_ = 0;
  std::set<std::string> first_seen_;
  std::vector<std::string> included_;
};

}  // namespace

std::optional<std::string> read_file_from_disk(const std::string& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) {
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) {
    return std::nullopt;
  }
  return text;
}

Result<sim::Program> read_program(std::string_view text, const ProgramSource& source) {
  const auto in_text = [&](QasmError error) {
    if (!error.file.has_value()) {
      error.file = source.file_name;
    }
    return error;
  };
  Result<TokenList> tokens = tokenize(text, ReaderMode::Dynamic);
  if (!tokens.ok()) {
    return in_text(std::move(tokens).take_error());
  }
  Includes includes(source);
  Result<Program> program =
      parse_program(std::move(tokens).value(), ParseOptions{ReaderMode::Dynamic, &includes});
  if (!program.ok()) {
    return in_text(std::move(program).take_error());
  }
  Result<sim::Program> lowered = lower_dynamic_program(std::move(program).value(), source.limits,
                                                       includes.names(), source.inputs);
  if (lowered.ok()) {
    lowered.value().included_files = includes.take_included();
  }
  return lowered;
}

ProgramSummary summarize_program(const sim::Program& program) {
  ProgramSummary summary;
  summary.included_files = program.included_files.size();
  const std::vector<bool> terminal = sim::terminal_measurements(program);
  // A loop's jumps back (its end, and each `continue`) all go to its test.
  std::vector<std::size_t> loop_tests;
  for (std::size_t i = 0; i < program.instructions.size(); ++i) {
    const sim::Instruction& instruction = program.instructions[i];
    if (sim::is_gate(instruction)) {
      ++summary.gates;
    } else if (std::holds_alternative<sim::Measure>(instruction)) {
      ++summary.measurements;
      summary.mid_circuit_measurements += terminal[i] ? 0 : 1;
    } else if (std::holds_alternative<sim::Reset>(instruction)) {
      ++summary.resets;
    } else if (std::holds_alternative<sim::JumpUnless>(instruction)) {
      ++summary.conditions;
    } else if (const auto* jump = std::get_if<sim::Jump>(&instruction)) {
      if (jump->target <= i) {
        loop_tests.push_back(jump->target);
      }
    } else if (std::holds_alternative<sim::SetBit>(instruction)) {
      ++summary.bit_assignments;
    }
  }
  std::sort(loop_tests.begin(), loop_tests.end());
  summary.loops = static_cast<std::uint64_t>(std::unique(loop_tests.begin(), loop_tests.end()) -
                                             loop_tests.begin());
  return summary;
}

}  // namespace vorn::qasm
