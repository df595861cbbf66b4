// The dynamic reading's entry point: OpenQASM text, with the files it includes, to a dynamic
// program; and the figures that reports show about such a program.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "qasm/elaborate.h"
#include "qasm/gate_library.h"
#include "qasm/result.h"
#include "simulator/program.h"

namespace vorn::qasm {

// Reads the file at `path` (a path as the reader resolved it, with forward slashes): its text,
// or nothing when there is no such file.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

struct ProgramSource {
  // The name of the text's file, shown in messages and used to find what it includes; empty
  // when the text was given as a string.
  std::string file_name;
  // Reads the files that `include` names; empty: the file system.
  FileReader read_file;
  ReadLimits limits;
  // The values of the program's `input` declarations.
  InputValues inputs;
};

// Reads `text` in the dynamic mode. An include of a file other than `qelib1.inc` and
// `stdgates.inc` reads that file, in the same mode, in place of the include: the path is
// looked up relative to the including file's folder first, then relative to the current
// directory (a text given as a string has the current directory as its folder). A missing
// file, an include cycle (the error shows the chain, "a.qasm -> b.qasm -> a.qasm") and more
// included text than ReadLimits::max_include_bytes are errors at the include. The program
// lists the included files in the order they were first included.
Result<sim::Program> read_program(std::string_view text, const ProgramSource& source);

// The text of a regular file, or nothing when there is none at `path` or it cannot be read.
std::optional<std::string> read_file_from_disk(const std::string& path);

// What a report says about a program.
struct ProgramSummary {
  // Every gate, those of the controlled kernel (sim::ControlledGate) included.
  std::uint64_t gates = 0;
  std::uint64_t measurements = 0;
  // Measurements whose qubit is used again (by a later gate or reset), or that a later jump
  // may depend on; the others could be sampled from the final state.
  std::uint64_t mid_circuit_measurements = 0;
  std::uint64_t resets = 0;
  // Conditional jumps: one per `if`, and one per round's test of a loop.
  std::uint64_t conditions = 0;
  // Loops that run while the program does: the tests that jumps back to an earlier instruction
  // go to (a loop's end and its `continue`s go to the same test).
  std::uint64_t loops = 0;
  // Bits given the value of a condition while the program runs (`c[1] = c[0];`).
  std::uint64_t bit_assignments = 0;
  std::uint64_t included_files = 0;
};

ProgramSummary summarize_program(const sim::Program& program);

}  // namespace vorn::qasm
