// The amplitude vector of one run: 2^n amplitudes in one owned, contiguous array.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "core/complex.h"

namespace vorn::core {

namespace detail {
struct FreeDeleter {
  void operator()(void* p) const noexcept;
};
}  // namespace detail

template <typename T>
class StateVector {
 public:
  // Creates the state |0...0> of num_qubits qubits.
  // Throws Abort "qubit 수는 1 이상이어야 합니다" for 0 qubits, Abort "capacity overflow" when
  // 2^n amplitudes do not fit a signed 64-bit byte count, and AllocationFailure when the memory
  // of an admissible size cannot be obtained. Nothing is left allocated on failure.
  explicit StateVector(std::uint64_t num_qubits);

  StateVector(StateVector&&) noexcept = default;
  StateVector& operator=(StateVector&&) noexcept = default;
  StateVector(const StateVector&) = delete;
  StateVector& operator=(const StateVector&) = delete;

  std::uint64_t num_qubits() const noexcept { return num_qubits_; }
  std::uint64_t len() const noexcept { return std::uint64_t{1} << num_qubits_; }

  std::span<Complex<T>> amplitudes() noexcept { return {data_.get(), len()}; }
  std::span<const Complex<T>> amplitudes() const noexcept { return {data_.get(), len()}; }

 private:
  std::uint64_t num_qubits_;
  std::unique_ptr<Complex<T>[], detail::FreeDeleter> data_;
};

extern template class StateVector<float>;
extern template class StateVector<double>;

}  // namespace vorn::core
