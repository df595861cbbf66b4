// The fixed texts of the simulator's aborts, in one place. The Korean text is the system's own
// and reaches Python unchanged (as PanicException's argument); it must stay as it is, byte for
// byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

// A gate given to the fusion planner whose matrix does not match its targets, or too many
// targets (or a fusion width outside 1..5).
inline std::string fusion_gate_shape(std::size_t targets, std::size_t entries) {
  return "fusion: a gate of " + std::to_string(targets) + " targets with " +
         std::to_string(entries) + " matrix entries";
}

// The operating system's random source failed; `description` is its description of errno.
inline std::string entropy_failed(const std::string& description) {
  return "from_entropy failed: " + description;
}

// A program that breaks the rules of program.h; `where` names the instruction, condition node,
// register or initial bit.
inline std::string program_qubit(const std::string& where, std::uint64_t qubit,
                                 std::uint64_t n_qubits) {
  return "invalid program: " + where + ": qubit " + std::to_string(qubit) +
         " out of range (n_qubits=" + std::to_string(n_qubits) + ")";
}
inline std::string program_bits(const std::string& where, std::uint64_t offset, std::uint64_t size,
                                std::uint64_t n_bits) {
  return "invalid program: " + where + ": bits at " + std::to_string(offset) + " (" +
         std::to_string(size) + " of them) out of range (n_bits=" + std::to_string(n_bits) + ")";
}
inline std::string program_target(std::size_t instruction, std::size_t target,
                                  std::size_t instructions) {
  return "invalid program: instruction " + std::to_string(instruction) + ": jump target " +
         std::to_string(target) + " beyond the end (" + std::to_string(instructions) +
         " instructions)";
}
inline std::string program_condition(std::size_t instruction, std::uint32_t condition,
                                     std::size_t nodes) {
  return "invalid program: instruction " + std::to_string(instruction) + ": condition " +
         std::to_string(condition) + " outside the pool (" + std::to_string(nodes) + " nodes)";
}
inline std::string program_operand(std::size_t node, std::uint32_t operand) {
  return "invalid program: condition " + std::to_string(node) + ": operand " +
         std::to_string(operand) + " does not come before it";
}
inline std::string program_condition_tag(std::size_t node, unsigned kind, unsigned compare) {
  return "invalid program: condition " + std::to_string(node) + ": unknown kind " +
         std::to_string(kind) + " or comparison " + std::to_string(compare);
}
inline std::string program_controls(const std::string& where, std::size_t controls,
                                    std::size_t values) {
  return "invalid program: " + where + ": " + std::to_string(controls) + " controls with " +
         std::to_string(values) + " control values of 0 or 1";
}
inline std::string program_controlled_gate(const std::string& where, unsigned kind) {
  return "invalid program: " + where + ": the controlled gate's kind " + std::to_string(kind) +
         " is not a single-qubit kind, or it has a phase and is not U3";
}
inline std::string program_repeated_qubit(const std::string& where, std::uint64_t qubit) {
  return "invalid program: " + where + ": qubit " + std::to_string(qubit) +
         " is more than one operand of the controlled gate";
}
inline std::string program_initial_bits(std::size_t given, std::uint64_t n_bits) {
  return "invalid program: " + std::to_string(given) + " initial bits for " +
         std::to_string(n_bits) + " bits";
}
inline std::string program_initial_bit(std::size_t bit, unsigned value) {
  return "invalid program: initial bit " + std::to_string(bit) + " is " + std::to_string(value) +
         ", not 0 or 1";
}

// A loop of a dynamic program that a run kept going round: `name` is how the program names it,
// or empty for one that has no name.
inline std::string loop_limit(const std::string& name, std::size_t test, std::uint64_t limit) {
  return (name.empty() ? "the loop at instruction " + std::to_string(test) : name) + " ran " +
         std::to_string(limit) + " rounds without ending";
}

// Why a dynamic run reports no final state.
inline std::string final_state_branches(std::uint64_t branches) {
  return "the final state depends on measurement outcomes: the shots ended in " +
         std::to_string(branches) + " different branches";
}
inline std::string final_state_random_outcome(bool reset, std::uint64_t qubit,
                                              std::size_t instruction) {
  return std::string("the final state depends on measurement outcomes: the ") +
         (reset ? "reset" : "measurement") + " of qubit " + std::to_string(qubit) +
         " (instruction " + std::to_string(instruction) + ") has a random outcome";
}

// More distinct final bit arrays than a shot's index into them can name.
inline constexpr const char TOO_MANY_BIT_ARRAYS[] =
    "dynamic run: more than 4294967294 distinct final bit arrays";

// A search over a cumulative table without entries.
inline constexpr const char EMPTY_CUMULATIVE_TABLE[] = "search over an empty cumulative table";

// An outcome key wider than MAX_KEY_WIDTH characters.
inline constexpr const char KEY_TOO_WIDE[] = "Formatting argument out of range";

// Faults in an observable's text or label. Each names the piece it is in ("term" or "label",
// its text) and the 0-based character position of the fault in the text given.
inline std::string observable_fault(std::string_view fault, std::string_view kind,
                                    std::string_view piece, std::uint64_t position) {
  return "observable: " + std::string(fault) + " in " + std::string(kind) + " '" +
         std::string(piece) + "' at position " + std::to_string(position);
}
inline std::string unknown_pauli_letter(std::string_view letter) {
  return "unknown Pauli letter '" + std::string(letter) + "' (the letters are I, X, Y and Z)";
}
inline std::string unexpected_character(std::string_view character) {
  return "unexpected character '" + std::string(character) + "'";
}
inline std::string malformed_number(std::string_view word) {
  return "malformed number '" + std::string(word) + "'";
}
inline std::string number_out_of_range(std::string_view word) {
  return "number '" + std::string(word) + "' is out of the range of a double";
}
inline std::string complex_coefficient(std::string_view word) {
  return "complex coefficient '" + std::string(word) + "' (coefficients are real)";
}
inline std::string number_in_label(std::string_view word) {
  return "number '" + std::string(word) + "' in a label (the coefficient goes beside it)";
}
inline std::string malformed_factor(std::string_view word) {
  return "malformed factor '" + std::string(word) +
         "' (a letter with its qubit index, or a dense label of letters)";
}
inline std::string observable_qubit_out_of_range(std::string_view index, std::uint64_t n_qubits) {
  return "qubit index " + std::string(index) + " is not below the qubit count " +
         std::to_string(n_qubits);
}
inline std::string observable_qubit_beyond_masks(std::string_view index) {
  return "qubit index " + std::string(index) + " is above 63, the highest an observable addresses";
}
inline std::string repeated_qubit(std::uint64_t qubit) {
  return "qubit " + std::to_string(qubit) + " appears twice";
}
inline constexpr const char FACTOR_AFTER_STAR[] = "expected a factor after '*'";
inline constexpr const char SIGN_BETWEEN_TERMS[] = "expected '+' or '-' before the next term";
// Faults with no piece to name.
inline std::string missing_term(std::uint64_t position) {
  return "observable: expected a term at position " + std::to_string(position);
}
inline constexpr const char EMPTY_OBSERVABLE[] = "observable: the text holds no term";
inline constexpr const char EMPTY_LABEL[] = "observable: the label holds no factor";
inline std::string coefficient_not_finite(std::string_view coefficient, std::string_view label) {
  return "observable: coefficient " + std::string(coefficient) + " of label '" +
         std::string(label) + "' is not finite";
}

// The evaluation's preconditions, checked before it reads the state.
inline std::string observable_wider_than_state(std::uint64_t width, std::uint64_t n_qubits) {
  return "expectation: the observable acts on " + std::to_string(width) +
         " qubits, the state has " + std::to_string(n_qubits);
}
inline std::string state_length_not_power_of_two(std::uint64_t length) {
  return "expectation: the state's length " + std::to_string(length) + " is not a power of two";
}
inline std::string slice_qubits_out_of_range(std::uint64_t slice_qubits, std::uint64_t n_qubits) {
  return "expectation: slices of " + std::to_string(slice_qubits) + " qubits in a state of " +
         std::to_string(n_qubits);
}
inline std::string chunk_qubits_out_of_range(std::uint64_t chunk_qubits, std::uint64_t low,
                                             std::uint64_t high) {
  return "expectation: chunks of " + std::to_string(chunk_qubits) + " qubits, not from " +
         std::to_string(low) + " to " + std::to_string(high);
}
inline std::string wrong_length(std::string_view what, std::uint64_t given, std::uint64_t planned) {
  return "expectation: " + std::string(what) + " of " + std::to_string(given) + " where " +
         std::to_string(planned) + " were planned";
}
inline constexpr const char CONTRIBUTION_INCOMPLETE[] =
    "expectation: a slice's contribution taken before all of its chunks were read";

}  // namespace vorn::sim::messages
