// The dynamic mode's classical evaluation: an OpenQASM 3 program as the parser read it (typed
// variables, loops, subroutines, gate modifiers, inputs) to the statements the lowering turns
// into instructions (registers, gate calls with literal parameters, measurements, resets,
// branches and loops on measured bits, bit assignments).
#pragma once

#include <functional>
#include <map>
#include <span>
#include <string>

#include "qasm/ast.h"
#include "qasm/gate_library.h"
#include "qasm/result.h"

namespace vorn::qasm {

// The values of a program's `input` declarations, by name.
using InputValues = std::map<std::string, double, std::less<>>;

// A `while` loop evaluated while reading runs at most this many rounds.
inline constexpr std::uint64_t MAX_LOOP_ITERATIONS = 1'000'000;

// Evaluates everything that does not depend on a measurement: declarations, expressions,
// `for` loops, `while` loops whose condition is known, subroutine calls (inlined), user gates
// and modifiers (expanded into the built-in gates), `box` bodies; timing statements and
// pragmas have no effect. What depends on measured bits stays for the run: an `if` on them
// becomes a branch, a `while` on them a loop, an assignment of bits a bit assignment. Physical
// qubits `$n` form one register `q` as large as the highest index used. `files` names the texts
// by FileIndex, as for the lowering.
Result<Program> elaborate_program(const Program& parsed, const InputValues& inputs,
                                  const ReadLimits& limits, std::span<const std::string> files);

}  // namespace vorn::qasm
