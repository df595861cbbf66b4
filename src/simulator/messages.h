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
inline std::string program_initial_bits(std::size_t given, std::uint64_t n_bits) {
  return "invalid program: " + std::to_string(given) + " initial bits for " +
         std::to_string(n_bits) + " bits";
}
inline std::string program_initial_bit(std::size_t bit, unsigned value) {
  return "invalid program: initial bit " + std::to_string(bit) + " is " + std::to_string(value) +
         ", not 0 or 1";
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

// An outcome key wider than MAX_KEY_WIDTH characters.
inline constexpr const char KEY_TOO_WIDE[] = "Formatting argument out of range";

}  // namespace vorn::sim::messages
