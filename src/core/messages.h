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

}  // namespace vorn::core::messages
