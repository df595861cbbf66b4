// Writes a circuit as OpenQASM 2.0 or 3.0 text.
#pragma once

#include <string>

#include "qasm/result.h"
#include "simulator/circuit.h"
#include "simulator/program.h"

namespace vorn::qasm {

enum class QasmVersion : unsigned char { V2, V3 };

// Total: every circuit has a text. Only a text too large for memory (a MeasureAll over billions
// of qubits) fails, with std::bad_alloc, before anything is written.
std::string export_qasm(const sim::Circuit& circuit, QasmVersion version);

// Writes a dynamic program: the qubits as the register q, the bit registers by their names (a
// program without registers gets one named c), gates as export_qasm writes them, measurements
// into register elements, resets, and `if`/`else` blocks rebuilt from the jumps. The 3.0 text
// says everything (`bit[n] name = "0101";` for initial values, conditions with ! && || and the
// six comparisons); the 2.0 text only conditions `if (name==value)` on a whole register with
// one operation as body and no else, and no initial values, and fails with what it cannot say.
// Reading the text back in the dynamic mode gives the same program, except that a 2.0 text
// keeps the global phase in a comment only. Programs the reader did not write may fail: jumps
// that do not delimit blocks, conditions over bits that are no register or register element,
// registers that do not tile the bits, names that are no identifiers.
Result<std::string> export_program(const sim::Program& program, QasmVersion version);

}  // namespace vorn::qasm
