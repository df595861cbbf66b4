// The calibration of the planner: passes timed on a fresh state's zero half, kept per precision,
// kernel table and state size.
#include "simulator/calibration.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "core/gates.h"
#include "core/kernels.h"

namespace vorn::sim {
namespace {

using core::Complex;
using core::kernels::KernelTable;

constexpr std::uint64_t bit(unsigned q) { return std::uint64_t{1} << q; }

// The lowest target of the measured gates: the lanes of a vector register hold the qubits below
// it in every instruction set, and every measurement uses register targets alike, so that the
// differences between them are differences of memory traffic.
constexpr unsigned FIRST_TARGET = 3;

// The repetitions of each measurement (the least counts), and the time after which no further
// repetition starts once two are done.
constexpr int REPETITIONS = 3;
constexpr double BUDGET_SECONDS = 0.015;

// The scratch beyond this many bytes is not used: from twice the last-level cache on, a part of
// the state streams from memory like the whole of it. Without cache information, 64 MiB.
std::uint64_t region_cap_bytes() {
  const std::size_t last = cache_bytes(3) > 0 ? cache_bytes(3) : cache_bytes(2);
  const std::uint64_t cap = last > 0 ? std::uint64_t{1} * last : std::uint64_t{64} << 20;
  return std::bit_ceil(cap);
}

unsigned qubits_of(std::uint64_t bytes, std::size_t amplitude_bytes) {
  const std::uint64_t amplitudes = bytes / amplitude_bytes;
  return amplitudes < 2 ? 0u : static_cast<unsigned>(std::bit_width(amplitudes) - 1);
}

// The calling thread's processor time in seconds.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

template <typename Fn>
double seconds_of(const Fn& fn) {
  const double start = thread_seconds();
  fn();
  return thread_seconds() - start;
}

// Fills v with `value` if v holds zero bits only, and says whether it did; else v is left as it
// was. One pass: a piece is checked, then filled; a piece that is not zero sets the pieces
// filled before it back to zero bits.
template <typename T>
bool fill_if_zero(std::span<Complex<T>> v, Complex<T> value) {
  constexpr std::size_t PIECE = 4096;
  for (std::size_t first = 0; first < v.size(); first += PIECE) {
    const std::span<Complex<T>> piece = v.subspan(first, std::min(PIECE, v.size() - first));
    std::uint64_t any = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(piece.data());
    for (std::size_t i = 0; i < piece.size_bytes(); i += sizeof(any)) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, sizeof(word));
      any |= word;
    }
    if (any != 0) {
      std::fill(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(first), Complex<T>{0, 0});
      return false;
    }
    std::fill(piece.begin(), piece.end(), value);
  }
  return true;
}

// The measurements of one calibration: the least seconds per amplitude of each, over the
// repetitions.
struct Least {
  double arithmetic = 1e300;
  double gate = 1e300;
  double controlled = 1e300;
  std::vector<double> in_place;
  std::vector<double> gathered;
};

template <typename T>
class Measurement {
 public:
  Measurement(const KernelTable<T>& table, std::span<Complex<T>> region, std::uint64_t slice_len,
              unsigned block_qubits)
      : kernels_(table.local),
        cached_(table.in_cache),
        table_(table),
        region_(region),
        slice_len_(slice_len),
        slice_qubits_(static_cast<unsigned>(std::bit_width(slice_len) - 1)),
        block_qubits_(block_qubits),
        ry_(core::matrix_2x2<T>(core::Gate{GateKind::Ry, 0.3})),
        x_(core::matrix_2x2<T>(core::Gate{GateKind::X})),
        next_(region.size() / slice_len > 1 ? 1 : 0) {}

  // Every qubit of a block from FIRST_TARGET on in turn, on the region's first block (in the
  // cache after the first sweep).
  double arithmetic() const {
    const std::span<Complex<T>> block = region_.first(bit(block_qubits_));
    return seconds_of([&] {
             for (unsigned q = FIRST_TARGET; q < block_qubits_; ++q) {
               core::kernels::apply_single_qubit_gate_with(cached_, block, ry_, q);
             }
           }) /
           static_cast<double>((block_qubits_ - FIRST_TARGET) * block.size());
  }

  double gate() {
    const std::span<Complex<T>> slice = next_slice();
    return per_amplitude(seconds_of([&] {
      core::kernels::apply_single_qubit_gate_with(kernels_, slice, ry_, slice_qubits_ / 2);
    }));
  }

  double controlled() {
    const std::span<Complex<T>> slice = next_slice();
    return per_amplitude(seconds_of([&] {
      core::kernels::apply_controlled_gate_with(kernels_, slice, x_, slice_qubits_ - 1,
                                                slice_qubits_ / 2);
    }));
  }

  // A blockwise pass over the set, of two single-qubit gates: on the set's highest qubit and on
  // FIRST_TARGET.
  double pass(std::uint64_t set) {
    const std::span<Complex<T>> slice = next_slice();
    const std::uint64_t high = static_cast<std::uint64_t>(std::bit_width(set) - 1);
    const Operation ops[2] = {GateOp{core::Gate{GateKind::Ry, 0.3}, {high}},
                              GateOp{core::Gate{GateKind::Ry, 0.7}, {FIRST_TARGET}}};
    return per_amplitude(seconds_of([&] {
      run_blockwise_pass<T>(table_, slice, ops, Pass{0, 2, set});
    }));
  }

  // The set of a gathered pass with blocks of 2^block_qubits amplitudes in runs of
  // 2^low_qubits: the lowest qubits and the highest of the part, as far apart in memory as a
  // pass's runs ever lie.
  std::uint64_t gathered_set(unsigned block_qubits, unsigned low_qubits) const {
    const unsigned spread = block_qubits - low_qubits;
    return (bit(low_qubits) - 1) | ((bit(spread) - 1) << (slice_qubits_ - spread));
  }

 private:
  // The parts of the region in turn: by the time a part comes round again, the others have
  // pushed it out of the caches.
  std::span<Complex<T>> next_slice() {
    const std::uint64_t slices = region_.size() / slice_len_;
    const std::span<Complex<T>> slice = region_.subspan(next_ * slice_len_, slice_len_);
    next_ = (next_ + 1) % slices;
    return slice;
  }

  double per_amplitude(double seconds) const { return seconds / static_cast<double>(slice_len_); }

  const core::kernels::KernelFunctions<T>& kernels_;
  const core::kernels::KernelFunctions<T>& cached_;
  const KernelTable<T>& table_;
  std::span<Complex<T>> region_;
  std::uint64_t slice_len_;
  unsigned slice_qubits_;
  unsigned block_qubits_;
  core::Matrix2<T> ry_;
  core::Matrix2<T> x_;
  std::uint64_t next_;  // the first part holds the arithmetic's block: it comes last
};

// The candidate whose cost per qubit it leaves a pass is least (the first of equals).
std::size_t least_per_qubit(const std::vector<double>& cost, const std::vector<unsigned>& qubits) {
  std::size_t best = 0;
  for (std::size_t i = 1; i < cost.size(); ++i) {
    if (cost[i] * qubits[best] < cost[best] * qubits[i]) {
      best = i;
    }
  }
  return best;
}

struct Kept {
  const void* table;
  std::size_t amplitude_bytes;
  unsigned size_class;
  Calibration calibration;
};

std::mutex kept_mutex;
std::vector<Kept> kept;

}  // namespace

std::size_t cache_bytes(unsigned level) {
  const auto read = [](unsigned wanted) -> std::size_t {
    const int name = wanted == 1   ? _SC_LEVEL1_DCACHE_SIZE
                     : wanted == 2 ? _SC_LEVEL2_CACHE_SIZE
                                   : _SC_LEVEL3_CACHE_SIZE;
    const long from_sysconf = ::sysconf(name);
    if (from_sysconf > 0) {
      return static_cast<std::size_t>(from_sysconf);
    }
    for (int index = 0; index < 8; ++index) {
      const std::string dir = "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index);
      std::ifstream level_file(dir + "/level");
      std::ifstream type_file(dir + "/type");
      unsigned found = 0;
      std::string type;
      if (!(level_file >> found) || !(type_file >> type)) {
        break;
      }
      if (found != wanted || type == "Instruction") {
        continue;
      }
      std::ifstream size_file(dir + "/size");
      std::size_t size = 0;
      std::string unit;
      if (size_file >> size) {
        size_file >> unit;
        return unit.starts_with("M") ? size << 20 : (unit.starts_with("K") ? size << 10 : size);
      }
    }
    return 0;
  };
  // Read once: the machine does not change under a running process.
  static const std::size_t sizes[3] = {read(1), read(2), read(3)};
  return level >= 1 && level <= 3 ? sizes[level - 1] : 0;
}

template <typename T>
std::optional<Calibration> measure_calibration(std::span<Complex<T>> v,
                                               const KernelTable<T>& table) {
  constexpr std::size_t BYTES = sizeof(Complex<T>);
  const Blocking base = cache_blocking(BYTES);
  const unsigned b = base.block_qubits;
  const std::uint64_t half = v.size() / 2;
  if (!std::has_single_bit(v.size()) || b <= 3 || half < 4 * bit(b)) {
    return std::nullopt;
  }
  const std::uint64_t region_len = std::min(half, region_cap_bytes() / BYTES);
  const std::span<Complex<T>> region = v.subspan(half, region_len);
  // Ordinary values while measuring: the kernels' speed must not depend on zeros.
  if (!fill_if_zero<T>(region, Complex<T>{T(0.5), T(-0.25)})) {
    return std::nullopt;
  }

  // Parts of at least four blocks, sixteen of them where the region allows.
  const std::uint64_t slice_len = std::max(region_len / 16, 4 * bit(b));
  Measurement<T> measure(table, region, slice_len, b);

  // Gathered blocks of a quarter and of half the level-2 cache, in runs of 1, 2 and 4 KiB (at
  // most an eighth of the level-1 cache, and leaving a block at least one qubit outside the
  // lanes); stretches in place of one and two quarters of the level-2 cache.
  const std::size_t level1 = cache_bytes(1) > 0 ? cache_bytes(1) : std::size_t{32} << 10;
  std::vector<unsigned> sizes = {b};
  if (4 * bit(b + 1) <= slice_len) {
    sizes.push_back(b + 1);
  }
  std::vector<Blocking> gathered;  // block and low qubits of each candidate
  for (const unsigned block : sizes) {
    unsigned previous = 0;
    for (const std::uint64_t run_bytes : {1024u, 2048u, 4096u}) {
      const unsigned low = std::max(qubits_of(run_bytes, BYTES), 3u);
      if ((run_bytes <= level1 / 8 || previous == 0) && low < block && low != previous) {
        gathered.push_back({block, low, 0});
        previous = low;
      }
    }
  }
  const std::vector<unsigned>& stretches = sizes;

  Least least;
  least.in_place.assign(stretches.size(), 1e300);
  least.gathered.assign(gathered.size(), 1e300);
  const auto started = std::chrono::steady_clock::now();
  (void)measure.arithmetic();  // brings the block into the cache
  for (int rep = 0; rep < REPETITIONS; ++rep) {
    if (rep >= 2 &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() >
            BUDGET_SECONDS) {
      break;
    }
    least.arithmetic = std::min(least.arithmetic, measure.arithmetic());
    least.gate = std::min(least.gate, measure.gate());
    least.controlled = std::min(least.controlled, measure.controlled());
    for (std::size_t i = 0; i < stretches.size(); ++i) {
      least.in_place[i] = std::min(least.in_place[i], measure.pass(bit(stretches[i]) - 1));
    }
    for (std::size_t i = 0; i < gathered.size(); ++i) {
      const Blocking& g = gathered[i];
      least.gathered[i] = std::min(
          least.gathered[i], measure.pass(measure.gathered_set(g.block_qubits, g.low_qubits)));
    }
  }
  std::fill(region.begin(), region.end(), Complex<T>{T(0), T(0)});

  // Each pass measured two gates; the costs count one.
  const double a = least.arithmetic;
  std::vector<unsigned> free_qubits;
  for (const Blocking& g : gathered) {
    free_qubits.push_back(g.block_qubits - g.low_qubits);
  }
  const std::size_t run = least_per_qubit(least.gathered, free_qubits);
  const std::size_t stretch = least_per_qubit(least.in_place, stretches);
  Calibration c;
  c.blocking = {gathered[run].block_qubits, gathered[run].low_qubits, stretches[stretch]};
  c.costs.arithmetic = a;
  c.costs.gate = least.gate;
  c.costs.controlled = least.controlled;
  c.costs.in_place = least.in_place[stretch] - a;
  c.costs.gathered = least.gathered[run] - a;
  return c;
}

template <typename T>
std::optional<Calibration> calibration_for(std::span<Complex<T>> v, const KernelTable<T>& table) {
  if (!std::has_single_bit(v.size())) {
    return std::nullopt;
  }
  // States whose upper half reaches the cap are measured alike: one class.
  const unsigned n = static_cast<unsigned>(std::bit_width(v.size()) - 1);
  const unsigned cap = qubits_of(region_cap_bytes(), sizeof(Complex<T>)) + 1;
  const unsigned size_class = std::min(n, cap);
  const std::lock_guard<std::mutex> lock(kept_mutex);
  for (const Kept& k : kept) {
    if (k.table == &table && k.amplitude_bytes == sizeof(Complex<T>) &&
        k.size_class == size_class) {
      return k.calibration;
    }
  }
  const std::optional<Calibration> measured = measure_calibration(v, table);
  if (measured.has_value()) {
    kept.push_back({&table, sizeof(Complex<T>), size_class, *measured});
  }
  return measured;
}

template std::optional<Calibration> calibration_for<float>(std::span<Complex<float>>,
                                                           const KernelTable<float>&);
template std::optional<Calibration> calibration_for<double>(std::span<Complex<double>>,
                                                            const KernelTable<double>&);
template std::optional<Calibration> measure_calibration<float>(std::span<Complex<float>>,
                                                               const KernelTable<float>&);
template std::optional<Calibration> measure_calibration<double>(std::span<Complex<double>>,
                                                                const KernelTable<double>&);

}  // namespace vorn::sim
