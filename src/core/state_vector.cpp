// State-vector creation: size checks, one allocation, |0...0>.
#include "core/state_vector.h"

#include <sys/mman.h>
#include <sys/sysinfo.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "core/abort.h"
#include "core/messages.h"

namespace vorn::core {
namespace {

// From this size on the array is its own anonymous mapping: its pages arrive zero-filled (no
// pass over the memory at creation) and may be huge pages, which the kernels' strided walks
// over large vectors favour.
constexpr std::uint64_t kMappingThreshold = std::uint64_t{1} << 21;

// True when the request exceeds all memory of the machine (RAM and swap): such a vector could
// never be filled, and with overcommitting kernels the mapping itself might still succeed.
bool exceeds_machine_memory(std::uint64_t bytes) {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) {
    return false;
  }
  // Compared in units of mem_unit, so that nothing can overflow.
  const std::uint64_t unit = info.mem_unit == 0 ? 1 : info.mem_unit;
  const std::uint64_t ram = info.totalram;
  const std::uint64_t swap = info.totalswap;
  const std::uint64_t units = ram + swap < ram ? ~std::uint64_t{0} : ram + swap;
  const std::uint64_t needed = bytes / unit + (bytes % unit != 0 ? 1 : 0);
  return needed > units;
}

[[noreturn]] void allocation_failed(std::uint64_t num_qubits, std::uint64_t bytes) {
  throw AllocationFailure(num_qubits, bytes, messages::cannot_allocate(num_qubits, bytes));
}

}  // namespace

template <typename T>
StateVector<T>::StateVector(std::uint64_t num_qubits) {
  if (num_qubits == 0) {
    abort_with(messages::ZERO_QUBITS);
  }
  // The byte size must stay below 2^63: at most 58 qubits at f64, 59 at f32.
  constexpr unsigned kLog2Size = sizeof(Complex<T>) == 16 ? 4 : 3;
  if (num_qubits >= 64 || num_qubits + kLog2Size >= 63) {
    abort_with(messages::CAPACITY_OVERFLOW);
  }
  const std::uint64_t len = std::uint64_t{1} << num_qubits;
  const std::uint64_t bytes = len * sizeof(Complex<T>);
  if (exceeds_machine_memory(bytes)) {
    allocation_failed(num_qubits, bytes);
  }
  if (bytes >= kMappingThreshold) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      allocation_failed(num_qubits, bytes);
    }
    // Only advice: without huge pages the vector works the same.
    (void)madvise(p, bytes, MADV_HUGEPAGE);
    data_ = static_cast<Complex<T>*>(p);
    mapped_bytes_ = bytes;
  } else {
    // 64-byte alignment for the vector kernels; aligned_alloc wants a multiple of it.
    void* p = std::aligned_alloc(64, bytes < 64 ? 64 : bytes);
    if (p == nullptr) {
      allocation_failed(num_qubits, bytes);
    }
    std::memset(p, 0, bytes);
    data_ = static_cast<Complex<T>*>(p);
  }
  num_qubits_ = num_qubits;
  len_ = len;
  data_[0] = Complex<T>{1, 0};
}

template <typename T>
StateVector<T>::StateVector(StateVector&& other) noexcept
    : num_qubits_(std::exchange(other.num_qubits_, 0)),
      len_(std::exchange(other.len_, 0)),
      data_(std::exchange(other.data_, nullptr)),
      mapped_bytes_(std::exchange(other.mapped_bytes_, 0)) {}

template <typename T>
StateVector<T>& StateVector<T>::operator=(StateVector&& other) noexcept {
  if (this != &other) {
    release();
    num_qubits_ = std::exchange(other.num_qubits_, 0);
    len_ = std::exchange(other.len_, 0);
    data_ = std::exchange(other.data_, nullptr);
    mapped_bytes_ = std::exchange(other.mapped_bytes_, 0);
  }
  return *this;
}

template <typename T>
StateVector<T>::~StateVector() {
  release();
}

template <typename T>
void StateVector<T>::release() noexcept {
  if (data_ != nullptr) {
    if (mapped_bytes_ != 0) {
      munmap(data_, mapped_bytes_);
    } else {
      std::free(data_);
    }
  }
  num_qubits_ = 0;
  len_ = 0;
  data_ = nullptr;
  mapped_bytes_ = 0;
}

template class StateVector<float>;
template class StateVector<double>;

}  // namespace vorn::core
