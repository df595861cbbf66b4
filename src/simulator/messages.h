// The fixed texts of the simulator's aborts, in one place. The Korean text is the system's own
// and reaches Python unchanged (as PanicException's argument); it must stay as it is, byte for
// byte.
#pragma once

#include <cstdint>
#include <string>

namespace vorn::sim::messages {

// A qubit operand at or above the circuit's qubit count.
inline std::string qubit_out_of_range(std::uint64_t qubit, std::uint64_t n_qubits) {
  return "큐비트 인덱스 " + std::to_string(qubit) +
         "가 범위를 벗어남 (n_qubits=" + std::to_string(n_qubits) + ")";
}

// An operand list whose length is not the gate kind's arity.
inline std::string operand_count(std::size_t given, std::size_t arity) {
  return "append_gate: " + std::to_string(given) + " operands for a gate of " +
         std::to_string(arity);
}

// Tags outside their enumerations: a corrupted record.
inline std::string unknown_gate_kind(unsigned kind) {
  return "unknown gate kind " + std::to_string(kind);
}
inline std::string unknown_precision(unsigned precision) {
  return "unknown precision " + std::to_string(precision);
}

// The operating system's random source failed; `description` is its description of errno.
inline std::string entropy_failed(const std::string& description) {
  return "from_entropy failed: " + description;
}

// A search over a cumulative table without entries.
inline constexpr const char EMPTY_CUMULATIVE_TABLE[] = "search over an empty cumulative table";

// An outcome key wider than MAX_KEY_WIDTH characters.
inline constexpr const char KEY_TOO_WIDE[] = "Formatting argument out of range";

}  // namespace vorn::sim::messages
