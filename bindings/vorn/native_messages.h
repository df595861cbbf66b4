// The texts vorn._native raises itself. The package's public layer (python/vorn) checks the
// user's arguments first, with its own messages; these are what remains for the module's own
// checks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::py::native_messages {

inline std::string qubit_out_of_range(std::uint64_t qubit, std::uint64_t n_qubits) {
  return "qubit " + std::to_string(qubit) + " is out of range (the program has " +
         std::to_string(n_qubits) + " qubits)";
}
inline std::string bit_out_of_range(std::uint64_t bit, std::uint64_t n_bits) {
  return "bit " + std::to_string(bit) + " is out of range (the program has " +
         std::to_string(n_bits) + " bits)";
}
inline std::string unknown_gate_tag(std::uint64_t tag) {
  return "no gate has the tag " + std::to_string(tag);
}
inline std::string wrong_operand_count(unsigned arity, long count) {
  return "the gate takes " + std::to_string(arity) + " qubits, not " + std::to_string(count);
}
inline std::string repeated_operand(std::uint64_t qubit) {
  return "qubit " + std::to_string(qubit) + " is given twice to one gate";
}
inline std::string bad_comparison(std::string_view op) {
  return "unknown comparison '" + std::string(op) + "'";
}
inline constexpr const char UNITARY_ENTRIES[] = "unitary: the matrix must have 4 entries";
inline constexpr const char BAD_CONDITION[] = "malformed condition";
inline constexpr const char CONDITION_TOO_DEEP[] = "condition nested too deeply";
inline constexpr const char NO_SUCH_BLOCK[] = "no open block at that index";
inline constexpr const char ELSE_WITHOUT_IF[] = "an else block must follow its if block at once";
// A fusion width other than 0, 2..5 or True.
inline constexpr const char BAD_FUSION[] =
    "fusion must be 0 (exact), an integer from 2 to 5, or True (the best width)";

inline std::string bad_precision(std::string_view text) {
  return "precision must be 'f32' or 'f64', not '" + std::string(text) + "'";
}
inline constexpr const char BAD_OBSERVABLE_PART[] =
    "an observable part is a text or a (label, coefficient) pair";
inline constexpr const char NO_SINGLE_FINAL_STATE[] =
    "expectation values need a single final state: this program has mid-circuit measurements, "
    "resets or conditions, so its state depends on measurement outcomes";
inline constexpr const char ZERO_QUBITS[] = "a program needs at least one qubit to run";

}  // namespace vorn::py::native_messages
