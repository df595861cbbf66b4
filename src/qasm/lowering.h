// The reader's entry point and the lowering of a parsed program into a circuit.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "qasm/ast.h"
#include "qasm/elaborate.h"
#include "qasm/gate_library.h"
#include "qasm/result.h"
#include "simulator/circuit.h"
#include "simulator/program.h"

namespace vorn::qasm {

// Tokenizes, parses and lowers; stops at the first error of any stage.
Result<sim::Circuit> parse_qasm(std::string_view text);
Result<sim::Circuit> parse_qasm(std::string_view text, const ReadLimits& limits);

// Two passes over the statements: declarations (registers, gate definitions, refused
// includes and opaque gates), then execution (gate calls, measurements, refused constructs).
Result<sim::Circuit> lower_program(const Program& program, const ReadLimits& limits = {});

// The dynamic mode's lowering of a program that the parser read in that mode: the same two
// passes, with measurements, resets and `if` bodies lowered into the program's instructions
// (an `if` is a JumpUnless over its then-body, an else-body adds a Jump over itself), bit
// registers in declaration order with their initial values, and max_operations bounding the
// instructions and the condition nodes. `files` names the texts by FileIndex (the first one
// the text itself, empty when it was given as a string); errors name the file their position
// counts lines in, and an error whose text has no position gets the statement's.
Result<sim::Program> lower_dynamic_program(const Program& program, const ReadLimits& limits,
                                           std::span<const std::string> files);
// The same after the classical evaluation of OpenQASM 3 (qasm/elaborate.h), with the values of
// the program's `input` declarations.
Result<sim::Program> lower_dynamic_program(const Program& program, const ReadLimits& limits,
                                           std::span<const std::string> files,
                                           const InputValues& inputs);
// The same, freeing the parsed program once it is evaluated: a file of 10^7 gates never holds
// the parsed statements, the evaluated ones and the instructions at once.
Result<sim::Program> lower_dynamic_program(Program&& program, const ReadLimits& limits,
                                           std::span<const std::string> files,
                                           const InputValues& inputs);

}  // namespace vorn::qasm
