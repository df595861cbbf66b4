// Kernel speed against the memory-bandwidth bound.
//
// For each state size, precision and pool size, the program measures the machine's in-place
// read+write bandwidth: an in-place scale over the state's own memory, on the same pool. Each
// kernel's bound is then the time to read and write, once, the bytes it must touch. Memory moves
// 64-byte lines in aligned pairs (a core that touches every other line pays for all of them:
// the adjacent-line prefetcher fetches the partner), so these are the aligned 128-byte blocks
// that hold at least one amplitude the gate changes: all of them for a single-qubit or
// two-qubit gate; for a controlled gate with a control above the block, half; for CCX with both
// controls above it, a quarter. The ratio is the kernel's time over that bound.
//
// Usage: kernels_bench [--qubits 20,24] [--threads 1,2] [--precision f64,f32]
//                      [--table NAME] [--seconds S] [--rounds R]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/gates.h"
#include "core/kernels.h"
#include "core/kernels/table.h"
#include "core/parallel.h"
#include "core/state_vector.h"

namespace {

using namespace vorn::core;
using Clock = std::chrono::steady_clock;

struct Options {
  std::vector<unsigned> qubits = {20, 24};
  std::vector<std::size_t> threads = {1, 2};
  std::vector<std::string> precisions = {"f64", "f32"};
  std::string table;
  double seconds = 0.5;  // per kernel, over all rounds
  int rounds = 5;
};

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= s.size()) {
    const std::size_t comma = std::min(s.find(',', start), s.size());
    out.push_back(s.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

// Seconds per call of one batch of `reps` calls.
double batch_time(const std::function<void()>& fn, int reps) {
  const auto start = Clock::now();
  for (int r = 0; r < reps; ++r) {
    fn();
  }
  return std::chrono::duration<double>(Clock::now() - start).count() / reps;
}

// Calls per batch so that a batch lasts about `seconds`, after one untimed call.
int batch_size(const std::function<void()>& fn, double seconds) {
  fn();
  const double once = batch_time(fn, 1);
  return std::max(2, static_cast<int>(seconds / std::max(once, 1e-7)));
}

volatile double g_factor = 1.0;

// The scale loops, compiled for the widest vector registers the CPU has (chosen when the
// program starts): plain, with software prefetching, and over two streams. The best of them
// sets the bound, so that it is set by memory and not by the loop. (Multi-versioned functions
// cannot be templates everywhere, hence the macro for the two float types.)
#define VORN_SCALE_LOOPS(T)                                                               \
  __attribute__((target_clones("avx512f", "avx2", "default"))) void scale(                \
      T* data, std::uint64_t b, std::uint64_t e, T factor) {                              \
    for (std::uint64_t i = b; i < e; ++i) {                                               \
      data[i] *= factor;                                                                  \
    }                                                                                     \
  }                                                                                       \
  __attribute__((target_clones("avx512f", "avx2", "default"))) void scale_prefetched(     \
      T* data, std::uint64_t b, std::uint64_t e, T factor) {                              \
    constexpr std::uint64_t kLine = 64 / sizeof(T);                                       \
    constexpr std::uint64_t kAhead = 8192 / sizeof(T);                                    \
    for (std::uint64_t i = b; i < e; i += kLine) {                                        \
      __builtin_prefetch(data + i + kAhead, 1, 3);                                        \
      const std::uint64_t stop = std::min(i + kLine, e);                                  \
      for (std::uint64_t j = i; j < stop; ++j) {                                          \
        data[j] *= factor;                                                                \
      }                                                                                   \
    }                                                                                     \
  }                                                                                       \
  /* Two halves of the range side by side: one core moves two streams faster than one. */ \
  __attribute__((target_clones("avx512f", "avx2", "default"))) void scale_two_streams(    \
      T* data, std::uint64_t b, std::uint64_t e, T factor) {                              \
    constexpr std::uint64_t kLine = 64 / sizeof(T);                                       \
    constexpr std::uint64_t kAhead = 4096 / sizeof(T);                                    \
    const std::uint64_t half = (e - b) / 2 / kLine * kLine;                               \
    T* x = data + b;                                                                      \
    T* y = data + b + half;                                                               \
    for (std::uint64_t i = 0; i < half; i += kLine) {                                     \
      __builtin_prefetch(x + i + kAhead, 1, 3);                                           \
      __builtin_prefetch(y + i + kAhead, 1, 3);                                           \
      for (std::uint64_t j = i; j < i + kLine; ++j) {                                     \
        x[j] *= factor;                                                                   \
      }                                                                                   \
      for (std::uint64_t j = i; j < i + kLine; ++j) {                                     \
        y[j] *= factor;                                                                   \
      }                                                                                   \
    }                                                                                     \
    for (std::uint64_t j = b + 2 * half; j < e; ++j) {                                    \
      data[j] *= factor;                                                                  \
    }                                                                                     \
  }

VORN_SCALE_LOOPS(float)
VORN_SCALE_LOOPS(double)
#undef VORN_SCALE_LOOPS

// The in-place read+write loops over the buffer, on the current pool.
template <typename T>
std::vector<std::function<void()>> bandwidth_loops(std::span<Complex<T>> buffer) {
  T* data = reinterpret_cast<T*>(buffer.data());
  const std::uint64_t count = buffer.size() * 2;
  const T factor = static_cast<T>(g_factor);
  return {[=] {
            parallel_for(0, count, 4096,
                         [&](std::uint64_t b, std::uint64_t e) { scale(data, b, e, factor); });
          },
          [=] {
            parallel_for(0, count, 4096, [&](std::uint64_t b, std::uint64_t e) {
              scale_prefetched(data, b, e, factor);
            });
          },
          [=] {
            parallel_for(0, count, 4096, [&](std::uint64_t b, std::uint64_t e) {
              scale_two_streams(data, b, e, factor);
            });
          }};
}

// Bytes a kernel must read and write once: whole aligned 128-byte blocks holding a touched
// amplitude.
template <typename T>
double touched_bytes(std::uint64_t len, const std::function<bool(std::uint64_t)>& touched) {
  constexpr std::uint64_t kBlock = 128;
  constexpr std::uint64_t per_block = kBlock / sizeof(Complex<T>);
  std::uint64_t blocks = 0;
  for (std::uint64_t block = 0; block < len / per_block; ++block) {
    for (std::uint64_t i = block * per_block; i < (block + 1) * per_block; ++i) {
      if (touched(i)) {
        ++blocks;
        break;
      }
    }
  }
  return 2.0 * static_cast<double>(kBlock * blocks);
}

constexpr bool bit(std::uint64_t i, unsigned q) { return ((i >> q) & 1) != 0; }

struct Case {
  std::string name;
  std::function<void()> run;
  std::function<bool(std::uint64_t)> touched;
};

template <typename T>
void bench(unsigned n, std::size_t threads, const kernels::KernelTable<T>& table,
           const Options& options) {
  StateVector<T> state(n);
  auto v = state.amplitudes();
  // A spread-out state, so no amplitude is a zero the hardware might treat specially.
  for (std::uint64_t i = 0; i < v.size(); ++i) {
    v[i] = {static_cast<T>(1.0 / (1 + i % 7)), static_cast<T>(0.5 / (1 + i % 5))};
  }

  const Matrix2<T> h = matrix_2x2<T>(Gate{GateKind::H});
  const Matrix2<T> u3 = matrix_2x2<T>(Gate{GateKind::U3, 0.3, 0.7, -1.1});
  const Matrix2<T> x = matrix_2x2<T>(Gate{GateKind::X});
  const unsigned mid = n / 2;
  const unsigned high = n - 1;
  const auto all = [](std::uint64_t) { return true; };

  std::vector<Case> cases;
  for (const unsigned q : {0u, 1u, 2u, 3u, mid, high}) {
    char name[16];
    std::snprintf(name, sizeof name, "H q%u", q);
    cases.push_back(
        {name, [&, q] { kernels::apply_single_qubit_gate_with<T>(table, v, h, q); }, all});
  }
  char u3_name[16];
  std::snprintf(u3_name, sizeof u3_name, "U3 q%u", mid);
  cases.push_back(
      {u3_name, [&] { kernels::apply_single_qubit_gate_with<T>(table, v, u3, mid); }, all});
  struct Placement {
    unsigned a, b, c;
  };
  const Placement placements[] = {{0, 1, 2}, {mid - 1, mid, high}, {high, 2, mid}};
  for (const Placement& p : placements) {
    char two[32];
    char three[48];
    std::snprintf(two, sizeof two, "(%u,%u)", p.a, p.b);
    std::snprintf(three, sizeof three, "(%u,%u,%u)", p.a, p.b, p.c);
    cases.push_back({std::string("CX") + two,
                     [&, p] { kernels::apply_controlled_gate_with<T>(table, v, x, p.a, p.b); },
                     [p](std::uint64_t i) { return bit(i, p.a); }});
    cases.push_back(
        {std::string("CZ") + two,
         [&, p] { kernels::apply_two_qubit_gate_with<T>(table, v, CZ_MATRIX<T>, p.a, p.b); }, all});
    cases.push_back(
        {std::string("SWAP") + two,
         [&, p] { kernels::apply_two_qubit_gate_with<T>(table, v, SWAP_MATRIX<T>, p.a, p.b); },
         all});
    cases.push_back(
        {std::string("CCX") + three,
         [&, p] { kernels::apply_doubly_controlled_gate_with<T>(table, v, x, p.a, p.b, p.c); },
         [p](std::uint64_t i) { return bit(i, p.a) && bit(i, p.b); }});
    cases.push_back({std::string("CSWAP") + three,
                     [&, p] { kernels::apply_controlled_swap_with<T>(table, v, p.a, p.b, p.c); },
                     [p](std::uint64_t i) { return bit(i, p.a) && bit(i, p.b) != bit(i, p.c); }});
  }

  // Rounds alternate the bandwidth loops with every kernel, so that both see the same machine
  // (other work on it comes and goes); each keeps its best batch. The bound uses the best
  // bandwidth of the whole configuration.
  testing::run_with_pool_size(threads, [&] {
    // The loops scale the state itself by 1 (which leaves every value as it is), so that they
    // and the kernels work on the same memory with the same history in the caches.
    const auto loops = bandwidth_loops<T>(v);
    const double state_bytes = 2.0 * static_cast<double>(v.size_bytes());
    const double batch_seconds = options.seconds / options.rounds;
    std::vector<int> loop_reps;
    for (const auto& loop : loops) {
      loop_reps.push_back(batch_size(loop, batch_seconds));
    }
    std::vector<int> case_reps;
    for (const Case& c : cases) {
      case_reps.push_back(batch_size(c.run, batch_seconds));
    }
    double best_bandwidth = 0;
    std::vector<double> best(cases.size(), 1e300);
    for (int round = 0; round < options.rounds; ++round) {
      for (std::size_t i = 0; i < cases.size(); ++i) {
        for (std::size_t l = 0; l < loops.size(); ++l) {
          best_bandwidth =
              std::max(best_bandwidth, state_bytes / batch_time(loops[l], loop_reps[l]));
        }
        best[i] = std::min(best[i], batch_time(cases[i].run, case_reps[i]));
      }
    }
    std::printf(
        "\nn=%u %s, %zu thread%s, table %s: in-place read+write bandwidth %.2f GB/s "
        "(state %.1f MiB)\n",
        n, sizeof(T) == 8 ? "f64" : "f32", threads, threads == 1 ? "" : "s", table.name,
        best_bandwidth / 1e9, static_cast<double>(v.size_bytes()) / (1 << 20));
    std::printf("  %-18s %12s %12s %10s %8s\n", "kernel", "ms/gate", "bound ms", "touched",
                "ratio");
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const double bytes = touched_bytes<T>(v.size(), cases[i].touched);
      const double bound = bytes / best_bandwidth;
      std::printf("  %-18s %12.3f %12.3f %9.0f%% %8.2f\n", cases[i].name.c_str(), best[i] * 1e3,
                  bound * 1e3, 100.0 * bytes / state_bytes, best[i] / bound);
    }
    std::fflush(stdout);
  });
}

template <typename T>
const kernels::KernelTable<T>* find_table(const std::string& name) {
  for (const auto* t : kernels::available_tables<T>()) {
    if (name.empty() || name == t->name) {
      return t;
    }
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--qubits") {
      options.qubits.clear();
      for (const auto& s : split(value)) {
        options.qubits.push_back(static_cast<unsigned>(std::stoul(s)));
      }
    } else if (key == "--threads") {
      options.threads.clear();
      for (const auto& s : split(value)) {
        options.threads.push_back(std::stoul(s));
      }
    } else if (key == "--precision") {
      options.precisions = split(value);
    } else if (key == "--table") {
      options.table = value;
    } else if (key == "--rounds") {
      options.rounds = std::max(1, std::stoi(value));
    } else if (key == "--seconds") {
      options.seconds = std::stod(value);
    } else {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      return 2;
    }
  }
  std::printf(
      "Kernel time per gate against the bandwidth bound: bound = bytes the gate must read and "
      "write once\n(aligned 128-byte blocks holding a touched amplitude, shown as 'touched' in "
      "%% of the state) / measured\nin-place read+write bandwidth (best of three scale loops "
      "over the state's memory, interleaved with the kernels).\n");
  for (const unsigned n : options.qubits) {
    for (const std::string& precision : options.precisions) {
      for (const std::size_t threads : options.threads) {
        if (precision == "f64") {
          const auto* table = find_table<double>(options.table);
          if (table == nullptr) {
            std::fprintf(stderr, "no table %s\n", options.table.c_str());
            return 2;
          }
          bench<double>(n, threads, *table, options);
        } else {
          const auto* table = find_table<float>(options.table);
          if (table == nullptr) {
            std::fprintf(stderr, "no table %s\n", options.table.c_str());
            return 2;
          }
          bench<float>(n, threads, *table, options);
        }
      }
    }
  }
  return 0;
}
