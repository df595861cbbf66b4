// Writes a circuit as OpenQASM 2.0 or 3.0 text.
#pragma once

#include <string>

#include "simulator/circuit.h"

namespace vorn::qasm {

enum class QasmVersion : unsigned char { V2, V3 };

// Total: every circuit has a text. Only a text too large for memory (a MeasureAll over billions
// of qubits) fails, with std::bad_alloc, before anything is written.
std::string export_qasm(const sim::Circuit& circuit, QasmVersion version);

}  // namespace vorn::qasm
