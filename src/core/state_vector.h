// The amplitude vector of one run: 2^n amplitudes in one owned, contiguous array.
#pragma once

#include <cstdint>
#include <span>

#include "core/complex.h"

namespace vorn::core {

template <typename T>
class StateVector {
 public:
  // Creates the state |0...0> of num_qubits qubits.
  // Throws Abort "qubit 수는 1 이상이어야 합니다" for 0 qubits, Abort "capacity overflow" when
  // 2^n amplitudes do not fit a signed 64-bit byte count, and AllocationFailure when the memory
  // of an admissible size cannot be obtained. Nothing is left allocated on failure.
  explicit StateVector(std::uint64_t num_qubits);

  // From 2 MiB on the amplitudes are an anonymous mapping of their own. When such a vector is
  // released its mapping is kept for the next vector of the same byte size (one mapping at most,
  // process-wide), which zeroes it instead of having the operating system fault in fresh pages.

  // A moved-from vector holds no amplitudes (len() == 0) until it is assigned to.
  StateVector(StateVector&& other) noexcept;
  StateVector& operator=(StateVector&& other) noexcept;
  StateVector(const StateVector&) = delete;
  StateVector& operator=(const StateVector&) = delete;
  ~StateVector();

  std::uint64_t num_qubits() const noexcept { return num_qubits_; }
  std::uint64_t len() const noexcept { return len_; }

  std::span<Complex<T>> amplitudes() noexcept { return {data_, len_}; }
  std::span<const Complex<T>> amplitudes() const noexcept { return {data_, len_}; }

 private:
  void release() noexcept;

  std::uint64_t num_qubits_ = 0;
  std::uint64_t len_ = 0;
  Complex<T>* data_ = nullptr;
  // Non-zero when the array is an anonymous memory mapping of this many bytes.
  std::uint64_t mapped_bytes_ = 0;
};

extern template class StateVector<float>;
extern template class StateVector<double>;

namespace testing {
// The bytes of the released state's mapping kept for the next state of that size (0: none).
std::uint64_t spare_mapping_bytes();
// Releases the kept mapping, if any.
void release_spare_mapping();
}  // namespace testing

}  // namespace vorn::core
