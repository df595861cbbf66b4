// State-vector creation: size checks, one aligned allocation, |0...0>.
#include "core/state_vector.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/abort.h"

namespace vorn::core {

void detail::FreeDeleter::operator()(void* p) const noexcept { std::free(p); }

template <typename T>
StateVector<T>::StateVector(std::uint64_t num_qubits) : num_qubits_(num_qubits) {
  if (num_qubits == 0) {
    abort_with("qubit 수는 1 이상이어야 합니다");
  }
  // The byte size must fit a signed 64-bit value: at most 58 qubits at f64, 59 at f32.
  constexpr unsigned kLog2Size = sizeof(Complex<T>) == 16 ? 4 : 3;
  if (num_qubits >= 64 || num_qubits + kLog2Size >= 63) {
    abort_with("capacity overflow");
  }
  const std::uint64_t bytes = std::uint64_t{1} << (num_qubits + kLog2Size);
  // 64-byte alignment for the vector kernels; aligned_alloc wants a multiple of the alignment.
  const std::uint64_t alloc_bytes = bytes < 64 ? 64 : bytes;
  void* p = std::aligned_alloc(64, alloc_bytes);
  if (p == nullptr) {
    throw AllocationFailure(num_qubits, bytes,
                            "cannot allocate the state vector of " + std::to_string(num_qubits) +
                                " qubits (" + std::to_string(bytes) + " bytes)");
  }
  std::memset(p, 0, bytes);
  data_.reset(static_cast<Complex<T>*>(p));
  data_[0] = Complex<T>{1, 0};
}

template class StateVector<float>;
template class StateVector<double>;

}  // namespace vorn::core
