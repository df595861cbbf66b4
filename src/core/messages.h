// The fixed texts of the core's aborts and allocation failures, in one place. The Korean texts
// are the system's own and reach Python unchanged (as PanicException's argument); they must stay
// as they are, byte for byte.
#pragma once

#include <cstdint>
#include <string>

namespace vorn::core::messages {

// A state vector of 0 qubits.
inline constexpr const char ZERO_QUBITS[] = "qubit 수는 1 이상이어야 합니다";
// A state vector whose byte size does not fit below 2^63.
inline constexpr const char CAPACITY_OVERFLOW[] = "capacity overflow";
// matrix_2x2 asked for a gate that is not a single-qubit gate.
inline constexpr const char MATRIX_2X2_SINGLE_QUBIT_ONLY[] =
    "matrix_2x2는 단일 큐비트 게이트에만 사용 가능";
// A test pool of 0 threads.
inline constexpr const char POOL_WITHOUT_THREADS[] = "a pool needs at least one thread";

// A state vector larger than the machine's memory (raised in Python as MemoryError).
inline std::string cannot_allocate(std::uint64_t num_qubits, std::uint64_t bytes) {
  return "cannot allocate the state vector of " + std::to_string(num_qubits) + " qubits (" +
         std::to_string(bytes) + " bytes)";
}

// The kernels' operand checks. "mid > len" is the parallel single-qubit path's refusal to split
// the vector at the pair distance; the serial path reports its first pair index instead.
inline constexpr const char MID_PAST_LEN[] = "mid > len";
inline std::string length_not_power_of_two(std::uint64_t len) {
  return "state length " + std::to_string(len) + " is not a power of two";
}
inline std::string block_too_wide(std::uint64_t target) {
  return "block size 2^" + std::to_string(target + 1) + " of target qubit " +
         std::to_string(target) + " does not fit a machine word";
}
inline std::string index_out_of_bounds(std::uint64_t len, std::uint64_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}
inline std::string operand_out_of_range(std::uint64_t qubit, std::uint64_t len) {
  return "qubit operand " + std::to_string(qubit) + " is out of range for a state of " +
         std::to_string(len) + " amplitudes";
}

}  // namespace vorn::core::messages
