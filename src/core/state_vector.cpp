// State-vector creation: size checks, one allocation, |0...0>; the spare mapping that lets the
// next state of the same size skip the operating system's first touch.
#include "core/state_vector.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/sysinfo.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "core/abort.h"
#include "core/messages.h"
#include "core/parallel.h"

namespace vorn::core {
namespace {

// From this size on the array is its own anonymous mapping: a fresh one's pages arrive
// zero-filled (no pass over the memory at creation) and may be huge pages, which the kernels'
// strided walks over large vectors favour; a kept one (SpareMapping) is zeroed in one pass.
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

// The mapping of the last released state, kept for the next state of the same byte size. A
// fresh mapping's first write faults in every page, and the kernel zeroes each one: two to
// three passes over the state on this kind of machine, and twenty or more when the virtual
// machine has handed the freed memory back to its host. A kept mapping is zeroed by the new
// state in one write-only pass instead.
//
// At most one mapping is kept, and only between states: a request of another size releases it
// before mapping its own, so the spare never adds to the memory a run of another size needs.
class SpareMapping {
 public:
  SpareMapping() {
    // The forking thread holds the lock across fork(), so the child's copy is consistent and
    // no thread that does not exist there can hold it.
    pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                   [] { instance().mutex_.unlock(); });
  }

  // Never destroyed: states may still be released while the process exits.
  static SpareMapping& instance() {
    static SpareMapping* const spare = new SpareMapping();
    return *spare;
  }

  // The kept mapping if it has exactly `bytes`, else null; a kept mapping of another size is
  // released.
  void* take(std::uint64_t bytes) {
    void* other = nullptr;
    std::uint64_t other_bytes = 0;
    {
      std::lock_guard lock(mutex_);
      if (data_ == nullptr) {
        return nullptr;
      }
      if (bytes_ == bytes) {
        bytes_ = 0;
        return std::exchange(data_, nullptr);
      }
      other = std::exchange(data_, nullptr);
      other_bytes = std::exchange(bytes_, 0);
    }
    munmap(other, other_bytes);
    return nullptr;
  }

  // Keeps the mapping of a released state; the one kept before, if any, is released.
  void keep(void* data, std::uint64_t bytes) noexcept {
    void* previous = nullptr;
    std::uint64_t previous_bytes = 0;
    {
      std::lock_guard lock(mutex_);
      previous = std::exchange(data_, data);
      previous_bytes = std::exchange(bytes_, bytes);
    }
    if (previous != nullptr) {
      munmap(previous, previous_bytes);
    }
  }

  std::uint64_t kept_bytes() {
    std::lock_guard lock(mutex_);
    return bytes_;
  }

  void release() { keep(nullptr, 0); }

 private:
  std::mutex mutex_;
  void* data_ = nullptr;
  std::uint64_t bytes_ = 0;
};

// Pieces of the zero fill handed to the pool.
constexpr std::uint64_t kZeroPieceBytes = std::uint64_t{1} << 20;

// From this size on a kept mapping is zeroed with stores that bypass the caches. Smaller
// states largely still sit in the caches from their last use, where ordinary stores are the
// faster ones (32 MiB: 0.6-0.7 of a gate's time, against 3 for bypassing stores; 64 MiB: about
// even); larger ones are mostly in memory, where bypassing stores write whole lines without
// reading them first (128-256 MiB: 0.5-0.8 of a gate's time, ordinary stores 1.3-1.7).
constexpr std::uint64_t kStreamingZeroBytes = std::uint64_t{1} << 27;

void zero_piece(char* first, std::uint64_t length, bool streaming) {
#if defined(__SSE2__)
  if (streaming) {
    const __m128i zero = _mm_setzero_si128();
    for (std::uint64_t offset = 0; offset < length; offset += 64) {
      auto* line = reinterpret_cast<__m128i*>(first + offset);
      _mm_stream_si128(line, zero);
      _mm_stream_si128(line + 1, zero);
      _mm_stream_si128(line + 2, zero);
      _mm_stream_si128(line + 3, zero);
    }
    // Orders these weakly ordered stores before the loop's barrier.
    _mm_sfence();
    return;
  }
#endif
  (void)streaming;
  std::memset(first, 0, length);
}

// Writes zeros over a kept mapping (bytes: a multiple of kZeroPieceBytes), spread over the pool.
void zero_fill(void* data, std::uint64_t bytes) {
  char* const base = static_cast<char*>(data);
  const bool streaming = bytes >= kStreamingZeroBytes;
  parallel_for(
      0, bytes / kZeroPieceBytes, 1, [base, streaming](std::uint64_t begin, std::uint64_t end) {
        zero_piece(base + begin * kZeroPieceBytes, (end - begin) * kZeroPieceBytes, streaming);
      });
}

[[noreturn]] void allocation_failed(std::uint64_t num_qubits, std::uint64_t bytes) {
  throw AllocationFailure(num_qubits, bytes, messages::cannot_allocate(num_qubits, bytes));
}

// The zero-filled mapping of a new state: the kept one if it has this size, else a fresh one.
void* map_state(std::uint64_t num_qubits, std::uint64_t bytes) {
  if (void* kept = SpareMapping::instance().take(bytes)) {
    zero_fill(kept, bytes);
    return kept;
  }
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    allocation_failed(num_qubits, bytes);
  }
  // Only advice: without huge pages the vector works the same.
  (void)madvise(p, bytes, MADV_HUGEPAGE);
  return p;
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
    data_ = static_cast<Complex<T>*>(map_state(num_qubits, bytes));
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
      SpareMapping::instance().keep(data_, mapped_bytes_);
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

namespace testing {
std::uint64_t spare_mapping_bytes() { return SpareMapping::instance().kept_bytes(); }
void release_spare_mapping() { SpareMapping::instance().release(); }
}  // namespace testing

}  // namespace vorn::core
