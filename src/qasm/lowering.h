// The reader's entry point and the lowering of a parsed program into a circuit.
#pragma once

#include <string_view>

#include "qasm/ast.h"
#include "qasm/gate_library.h"
#include "qasm/result.h"
#include "simulator/circuit.h"

namespace vorn::qasm {

// Tokenizes, parses and lowers; stops at the first error of any stage.
Result<sim::Circuit> parse_qasm(std::string_view text);
Result<sim::Circuit> parse_qasm(std::string_view text, const ReadLimits& limits);

// Two passes over the statements: declarations (registers, gate definitions, refused
// includes and opaque gates), then execution (gate calls, measurements, refused constructs).
Result<sim::Circuit> lower_program(const Program& program, const ReadLimits& limits = {});

}  // namespace vorn::qasm
