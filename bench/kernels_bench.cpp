// Kernel speed against the memory-bandwidth bound, on Google Benchmark.
//
// For each state size, precision and pool size (a configuration), the program measures the
// machine's in-place read+write bandwidth: an in-place scale over the state's own memory, on the
// same pool. Each kernel's bound is then the time to read and write, once, the bytes it must
// touch. Memory moves 64-byte lines in aligned pairs (a core that touches every other line pays
// for all of them: the adjacent-line prefetcher fetches the partner), so these are the aligned
// 128-byte blocks that hold at least one amplitude the gate changes: all of them for a
// single-qubit or two-qubit gate; for a controlled gate with a control above the block, half;
// for CCX with both controls above it, a quarter. The ratio is the kernel's time over that bound.
//
// Each configuration runs, in this order: three scale loops (bandwidth:scale, plain;
// bandwidth:prefetched, with software prefetching; bandwidth:two_streams, over two halves side by
// side), the kernels, and the three loops once more (bandwidth_after:...). The bandwidth is the
// best of the loops, over all their repetitions, so that it is set by memory and not by the loop.
// The kernels' counters use the bandwidth measured before them; the closing table uses the best
// of before and after, so that a busy moment of the machine during the first measurement does
// not make the kernels look faster than they are.
//
// Every benchmark is repeated (--benchmark_repetitions, 5 by default); a repetition is one batch
// of calls lasting at least --benchmark_min_time seconds (0.06 by default), each call timed on
// its own. The console shows the best repetition of each benchmark (the "_best" line);
// --benchmark_out=FILE writes every repetition and the usual aggregates. The counters of a kernel:
// bytes_per_second (touched bytes over time, G = 10^9), bound_s (the bound in seconds), ratio
// (time over bound) and touched (the touched fraction of the state). A table per configuration
// closes the output: time per gate, bound and ratio of every kernel, from its best repetition.
//
// Usage: kernels_bench [--qubits 20,24] [--threads 1,2] [--precision f64,f32] [--isa NAME]
//                      [Google Benchmark flags]
//   --isa (or --table) picks the kernel implementation (avx512, avx2, scalar; default: the
//   fastest this CPU runs). Benchmark names read
//   n=<qubits>/<precision>/pool=<threads>/<kernel>:<operands>, for example n=24/f32/pool=2/CZ:0,1
//   or n=20/f64/pool=1/bandwidth:scale, so that
//   --benchmark_filter='pool=2/(CZ|SWAP):' selects kernels; the bandwidth benchmarks of every
//   configuration with a selected kernel run as well. Not supported: random interleaving (the
//   kernels need their configuration's bandwidth first) and the aggregates-only flags.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <span>
#include <string>
#include <vector>

#include "core/gates.h"
#include "core/kernels.h"
#include "core/kernels/dispatch.h"
#include "core/parallel.h"
#include "core/state_vector.h"
#include "sweep_options.h"

namespace {

using namespace vorn::core;
using Clock = std::chrono::steady_clock;
using benchmark::BenchmarkReporter;

struct Options {
  std::vector<unsigned> qubits = {20, 24};
  std::vector<std::size_t> threads = {1, 2};
  std::vector<std::string> precisions = {"f64", "f32"};
  std::string table;
};

volatile double g_factor = 1.0;

// The scale loops, compiled for the widest vector registers the CPU has (chosen when the
// program starts). (Multi-versioned functions cannot be templates everywhere, hence the macro
// for the two float types.)
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

enum class ScaleLoop { kPlain, kPrefetched, kTwoStreams };
constexpr ScaleLoop kScaleLoops[] = {ScaleLoop::kPlain, ScaleLoop::kPrefetched,
                                     ScaleLoop::kTwoStreams};
const char* loop_name(ScaleLoop loop) {
  switch (loop) {
    case ScaleLoop::kPlain:
      return "scale";
    case ScaleLoop::kPrefetched:
      return "prefetched";
    case ScaleLoop::kTwoStreams:
      return "two_streams";
  }
  return "";
}

// One in-place read+write pass over the buffer, on the current pool.
template <typename T>
void scale_pass(ScaleLoop loop, std::span<Complex<T>> buffer) {
  T* data = reinterpret_cast<T*>(buffer.data());
  const std::uint64_t count = buffer.size() * 2;
  const T factor = static_cast<T>(g_factor);
  parallel_for(0, count, 4096, [&](std::uint64_t b, std::uint64_t e) {
    switch (loop) {
      case ScaleLoop::kPlain:
        scale(data, b, e, factor);
        break;
      case ScaleLoop::kPrefetched:
        scale_prefetched(data, b, e, factor);
        break;
      case ScaleLoop::kTwoStreams:
        scale_two_streams(data, b, e, factor);
        break;
    }
  });
}

enum class Kernel { kSingle, kControlled, kTwoQubit, kDoublyControlled, kControlledSwap };

struct Case {
  std::string label;  // in the closing table, e.g. "CX(0,1)"
  std::string id;     // in the benchmark name, e.g. "CX:0,1"
  Kernel kernel;
  Gate gate;  // the matrix: of the gate for 2x2 kernels, CZ or SWAP for the 4x4 kernel
  unsigned a = 0, b = 0, c = 0;
};

std::vector<Case> cases_for(unsigned n) {
  const unsigned mid = n / 2;
  const unsigned high = n - 1;
  const Gate h{GateKind::H};
  const Gate x{GateKind::X};
  std::vector<Case> cases;
  for (const unsigned q : {0u, 1u, 2u, 3u, mid, high}) {
    cases.push_back({"H q" + std::to_string(q), "H:" + std::to_string(q), Kernel::kSingle, h, q});
  }
  cases.push_back({"U3 q" + std::to_string(mid), "U3:" + std::to_string(mid), Kernel::kSingle,
                   Gate{GateKind::U3, 0.3, 0.7, -1.1}, mid});
  struct Placement {
    unsigned a, b, c;
  };
  for (const Placement& p : {Placement{0, 1, 2}, {mid - 1, mid, high}, {high, 2, mid}}) {
    const std::string a = std::to_string(p.a);
    const std::string ab = a + "," + std::to_string(p.b);
    const std::string abc = ab + "," + std::to_string(p.c);
    cases.push_back({"CX(" + ab + ")", "CX:" + ab, Kernel::kControlled, x, p.a, p.b});
    cases.push_back(
        {"CZ(" + ab + ")", "CZ:" + ab, Kernel::kTwoQubit, Gate{GateKind::CZ}, p.a, p.b});
    cases.push_back(
        {"SWAP(" + ab + ")", "SWAP:" + ab, Kernel::kTwoQubit, Gate{GateKind::SWAP}, p.a, p.b});
    cases.push_back(
        {"CCX(" + abc + ")", "CCX:" + abc, Kernel::kDoublyControlled, x, p.a, p.b, p.c});
    cases.push_back(
        {"CSWAP(" + abc + ")", "CSWAP:" + abc, Kernel::kControlledSwap, Gate{}, p.a, p.b, p.c});
  }
  return cases;
}

constexpr bool bit(std::uint64_t i, unsigned q) { return ((i >> q) & 1) != 0; }

// Whether the gate changes amplitude i (for some state).
bool touches(const Case& c, std::uint64_t i) {
  switch (c.kernel) {
    case Kernel::kSingle:
    case Kernel::kTwoQubit:
      return true;
    case Kernel::kControlled:
      return bit(i, c.a);
    case Kernel::kDoublyControlled:
      return bit(i, c.a) && bit(i, c.b);
    case Kernel::kControlledSwap:
      return bit(i, c.a) && bit(i, c.b) != bit(i, c.c);
  }
  return true;
}

// Bytes a kernel must read and write once: whole aligned 128-byte blocks holding a touched
// amplitude.
double touched_bytes(const Case& c, std::uint64_t len, std::size_t amplitude_bytes) {
  constexpr std::uint64_t kBlock = 128;
  const std::uint64_t per_block = kBlock / amplitude_bytes;
  std::uint64_t blocks = 0;
  for (std::uint64_t block = 0; block < len / per_block; ++block) {
    for (std::uint64_t i = block * per_block; i < (block + 1) * per_block; ++i) {
      if (touches(c, i)) {
        ++blocks;
        break;
      }
    }
  }
  return 2.0 * static_cast<double>(kBlock * blocks);
}

// Returns a call of the case's kernel on v, with its matrix computed beforehand.
template <typename T>
std::function<void()> kernel_call(const kernels::KernelTable<T>& table, std::span<Complex<T>> v,
                                  const Case& c) {
  switch (c.kernel) {
    case Kernel::kSingle:
      return [&table, v, m = matrix_2x2<T>(c.gate), q = c.a] {
        kernels::apply_single_qubit_gate_with<T>(table, v, m, q);
      };
    case Kernel::kControlled:
      return [&table, v, m = matrix_2x2<T>(c.gate), c] {
        kernels::apply_controlled_gate_with<T>(table, v, m, c.a, c.b);
      };
    case Kernel::kTwoQubit:
      return [&table, v, m = c.gate.kind == GateKind::CZ ? CZ_MATRIX<T> : SWAP_MATRIX<T>, c] {
        kernels::apply_two_qubit_gate_with<T>(table, v, m, c.a, c.b);
      };
    case Kernel::kDoublyControlled:
      return [&table, v, m = matrix_2x2<T>(c.gate), c] {
        kernels::apply_doubly_controlled_gate_with<T>(table, v, m, c.a, c.b, c.c);
      };
    case Kernel::kControlledSwap:
      return [&table, v, c] { kernels::apply_controlled_swap_with<T>(table, v, c.a, c.b, c.c); };
  }
  return [] {};
}

struct Row {
  std::string label;
  double bytes = 0;    // touched bytes, read and written
  double seconds = 0;  // per gate, best repetition; 0 until reported
};

// One configuration and what its benchmarks reported so far.
struct Config {
  unsigned n;
  bool f32;
  std::size_t threads;
  double bandwidth = 0;        // bytes per second, best of the scale loops before the kernels
  double bandwidth_after = 0;  // the same, after the kernels
  std::vector<Row> rows;       // the selected kernels, in order

  std::size_t amplitude_bytes() const { return f32 ? 8 : 16; }
  std::uint64_t len() const { return std::uint64_t{1} << n; }
  double state_bytes() const { return static_cast<double>(len() * amplitude_bytes()); }
  std::string prefix() const {
    return "n=" + std::to_string(n) + (f32 ? "/f32" : "/f64") + "/pool=" + std::to_string(threads) +
           "/";
  }
};

// The state of the configuration that runs: allocated when its first benchmark starts, so that
// only one state is held at a time.
class Workspace {
 public:
  template <typename T>
  std::span<Complex<T>> state(const Config* config) {
    if (config != owner_) {
      f32_.reset();
      f64_.reset();
      owner_ = config;
    }
    auto& slot = slot_for<T>();
    if (!slot) {
      slot = std::make_unique<StateVector<T>>(config->n);
      auto v = slot->amplitudes();
      // A spread-out state, so no amplitude is a zero the hardware might treat specially.
      for (std::uint64_t i = 0; i < v.size(); ++i) {
        v[i] = {static_cast<T>(1.0 / (1 + i % 7)), static_cast<T>(0.5 / (1 + i % 5))};
      }
      // Passes over fresh memory run slower at first (the caches and translation buffers settle
      // over the first hundreds of milliseconds), so the first benchmark gets memory in the
      // state the later ones see.
      testing::run_with_pool_size(config->threads, [&] {
        const auto start = Clock::now();
        while (Clock::now() - start < std::chrono::milliseconds(500)) {
          scale_pass<T>(ScaleLoop::kPlain, v);
        }
      });
    }
    return slot->amplitudes();
  }

 private:
  template <typename T>
  std::unique_ptr<StateVector<T>>& slot_for() {
    if constexpr (sizeof(T) == 4) {
      return f32_;
    } else {
      return f64_;
    }
  }

  const Config* owner_ = nullptr;
  std::unique_ptr<StateVector<float>> f32_;
  std::unique_ptr<StateVector<double>> f64_;
};

enum class Role { kBandwidth, kBandwidthAfter, kKernel };

struct Entry {
  Config* config;
  Role role;
  std::size_t row;  // for a kernel
};

// Everything the benchmarks and the reporter share, by benchmark name.
struct Registry {
  std::vector<std::unique_ptr<Config>> configs;
  std::map<std::string, Entry> entries;
  Workspace workspace;
};

// Bytes per second as a counter, shown with decimal prefixes (G = 10^9) like the closing table.
benchmark::Counter decimal_rate(double bytes_per_iteration, const benchmark::State& state) {
  return benchmark::Counter(bytes_per_iteration * static_cast<double>(state.iterations()),
                            benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
}

// Seconds of one call.
template <typename F>
double timed(const F& fn) {
  const auto start = Clock::now();
  fn();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename T>
void bandwidth_benchmark(benchmark::State& state, Registry& registry, Config* config,
                         ScaleLoop loop) {
  // The loops scale the state itself by 1 (which leaves every value as it is), so that they and
  // the kernels work on the same memory with the same history in the caches.
  const auto v = registry.workspace.state<T>(config);
  testing::run_with_pool_size(config->threads, [&] {
    for (auto _ : state) {
      state.SetIterationTime(timed([&] { scale_pass<T>(loop, v); }));
    }
  });
  state.counters["bytes_per_second"] = decimal_rate(2 * config->state_bytes(), state);
}

template <typename T>
void kernel_benchmark(benchmark::State& state, Registry& registry, Config* config,
                      const kernels::KernelTable<T>& table, const Case& c, std::size_t row) {
  if (config->bandwidth <= 0) {
    state.SkipWithError("the bandwidth of this configuration was not measured before");
    return;
  }
  const auto v = registry.workspace.state<T>(config);
  const auto call = kernel_call<T>(table, v, c);
  double total = 0;
  testing::run_with_pool_size(config->threads, [&] {
    for (auto _ : state) {
      const double seconds = timed(call);
      state.SetIterationTime(seconds);
      total += seconds;
    }
  });
  const double bytes = config->rows[row].bytes;
  const double bound = bytes / config->bandwidth;
  state.counters["bytes_per_second"] = decimal_rate(bytes, state);
  state.counters["bound_s"] = bound;
  state.counters["ratio"] = total / static_cast<double>(state.iterations()) / bound;
  state.counters["touched"] = bytes / (2 * config->state_bytes());
}

// Shows the best repetition of each benchmark through the display reporter (the aggregates stay
// out: the file reporter has them), and records the figures the other benchmarks and the
// closing table read: the bandwidths and the kernels' best times.
class BestRepetitionReporter : public BenchmarkReporter {
 public:
  BestRepetitionReporter(BenchmarkReporter* display, Registry& registry)
      : display_(display), registry_(registry) {}

  bool ReportContext(const Context& context) override { return display_->ReportContext(context); }

  void ReportRuns(const std::vector<Run>& runs) override {
    const Run* best = nullptr;
    std::vector<Run> shown;
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) {
        continue;
      }
      if (run.error_occurred) {
        shown.push_back(run);
      } else if (best == nullptr || seconds_per_iteration(run) < seconds_per_iteration(*best)) {
        best = &run;
      }
    }
    if (best != nullptr) {
      record(*best);
      shown.push_back(*best);
      if (best->repetitions > 1) {
        shown.back().run_type = Run::RT_Aggregate;
        shown.back().aggregate_name = "best";
      }
    }
    if (!shown.empty()) {
      display_->ReportRuns(shown);
    }
  }

  void Finalize() override { display_->Finalize(); }

 private:
  static double seconds_per_iteration(const Run& run) {
    return run.real_accumulated_time / static_cast<double>(run.iterations);
  }

  void record(const Run& run) {
    const auto it = registry_.entries.find(run.run_name.function_name);
    if (it == registry_.entries.end()) {
      return;
    }
    const Entry& entry = it->second;
    const double seconds = seconds_per_iteration(run);
    const double bandwidth = 2 * entry.config->state_bytes() / seconds;
    switch (entry.role) {
      case Role::kBandwidth:
        entry.config->bandwidth = std::max(entry.config->bandwidth, bandwidth);
        break;
      case Role::kBandwidthAfter:
        entry.config->bandwidth_after = std::max(entry.config->bandwidth_after, bandwidth);
        break;
      case Role::kKernel:
        entry.config->rows[entry.row].seconds = seconds;
        break;
    }
  }

  BenchmarkReporter* display_;
  Registry& registry_;
};

// The closing table of one configuration. Its bound uses the best bandwidth measured before or
// after the kernels, so that a busy moment of the machine during the first measurement does not
// make the kernels look faster than they are.
void print_table(std::FILE* out, const Config& config, const char* table_name) {
  const double bandwidth = std::max(config.bandwidth, config.bandwidth_after);
  std::fprintf(out,
               "\nn=%u %s, %zu thread%s, table %s: in-place read+write bandwidth %.2f GB/s "
               "(before the kernels %.2f, after %.2f; state %.1f MiB)\n",
               config.n, config.f32 ? "f32" : "f64", config.threads, config.threads == 1 ? "" : "s",
               table_name, bandwidth / 1e9, config.bandwidth / 1e9, config.bandwidth_after / 1e9,
               config.state_bytes() / (1 << 20));
  std::fprintf(out, "  %-18s %12s %12s %10s %8s\n", "kernel", "ms/gate", "bound ms", "touched",
               "ratio");
  for (const Row& row : config.rows) {
    if (row.seconds <= 0 || bandwidth <= 0) {
      std::fprintf(out, "  %-18s %12s\n", row.label.c_str(), "-");
      continue;
    }
    const double bound = row.bytes / bandwidth;
    std::fprintf(out, "  %-18s %12.3f %12.3f %9.0f%% %8.2f\n", row.label.c_str(), row.seconds * 1e3,
                 bound * 1e3, 100.0 * row.bytes / (2 * config.state_bytes()), row.seconds / bound);
  }
}

// The table of this name, or the fastest this CPU runs when the name is empty.
template <typename T>
const kernels::KernelTable<T>* find_table(const std::string& name) {
  return name.empty() ? &kernels::active_table<T>() : kernels::find_table<T>(name);
}

// Whether --benchmark_filter selects the benchmark (its full name ends in /manual_time).
class Filter {
 public:
  explicit Filter(std::string text) {
    if (text.empty() || text == "all") {
      return;
    }
    negative_ = text[0] == '-';
    regex_.emplace(negative_ ? text.substr(1) : text, std::regex::extended);
  }
  bool selects(const std::string& name) const {
    return !regex_ || std::regex_search(name + "/manual_time", *regex_) != negative_;
  }

 private:
  bool negative_ = false;
  std::optional<std::regex> regex_;
};

// Registers the benchmarks of one configuration: its bandwidth benchmarks, its selected kernels
// and its bandwidth benchmarks after them.
template <typename T>
void register_config(Registry& registry, Config* config, const kernels::KernelTable<T>& table,
                     const Filter& filter) {
  const std::vector<Case> cases = cases_for(config->n);
  std::vector<std::size_t> selected;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (filter.selects(config->prefix() + cases[i].id)) {
      selected.push_back(i);
    }
  }
  const auto add_bandwidth = [&](Role role, const char* group) {
    for (const ScaleLoop loop : kScaleLoops) {
      const std::string name = config->prefix() + group + ":" + loop_name(loop);
      if (selected.empty() && !filter.selects(name)) {
        continue;
      }
      registry.entries[name] = {config, role, 0};
      benchmark::RegisterBenchmark(name.c_str(),
                                   [&registry, config, loop](benchmark::State& state) {
                                     bandwidth_benchmark<T>(state, registry, config, loop);
                                   })
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    }
  };
  add_bandwidth(Role::kBandwidth, "bandwidth");
  for (const std::size_t i : selected) {
    const Case& c = cases[i];
    const std::size_t row = config->rows.size();
    config->rows.push_back({c.label, touched_bytes(c, config->len(), config->amplitude_bytes())});
    const std::string name = config->prefix() + c.id;
    registry.entries[name] = {config, Role::kKernel, row};
    benchmark::RegisterBenchmark(name.c_str(),
                                 [&registry, config, &table, c, row](benchmark::State& state) {
                                   kernel_benchmark<T>(state, registry, config, table, c, row);
                                 })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  add_bandwidth(Role::kBandwidthAfter, "bandwidth_after");
}

void print_usage() {
  std::printf(
      "kernels_bench [--qubits 20,24] [--threads 1,2] [--precision f64,f32] [--isa NAME]\n"
      "              [Google Benchmark flags]\n"
      "Defaults: --benchmark_repetitions=5 --benchmark_min_time=0.06; names read\n"
      "n=<qubits>/<precision>/pool=<threads>/<kernel>:<operands>.\n\n");
  benchmark::PrintDefaultHelp();
}

// Parses the options left over by benchmark::Initialize; false on an unknown or malformed one.
bool parse_options(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string key = argv[i];
    std::string value;
    if (const std::size_t eq = key.find('='); eq != std::string::npos) {
      value = key.substr(eq + 1);
      key.resize(eq);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      std::fprintf(stderr, "option %s needs a value\n", key.c_str());
      return false;
    }
    try {
      if (key == "--qubits") {
        options.qubits.clear();
        for (const auto& s : vorn::bench::split_list(value)) {
          options.qubits.push_back(static_cast<unsigned>(std::stoul(s)));
        }
      } else if (key == "--threads") {
        options.threads.clear();
        for (const auto& s : vorn::bench::split_list(value)) {
          options.threads.push_back(std::stoul(s));
        }
      } else if (key == "--precision") {
        options.precisions = vorn::bench::split_list(value);
      } else if (key == "--isa" || key == "--table") {
        options.table = value;
      } else {
        std::fprintf(stderr, "unknown option %s\n", key.c_str());
        return false;
      }
    } catch (const std::exception&) {
      std::fprintf(stderr, "bad value %s for %s\n", value.c_str(), key.c_str());
      return false;
    }
  }
  for (const unsigned n : options.qubits) {
    // The placements need qubits 0 to 3 and the middle ones distinct from them; the kernels
    // run their parallel path from 13 qubits on.
    if (n < 8 || n > 34) {
      std::fprintf(stderr, "--qubits: %u is outside 8 .. 34\n", n);
      return false;
    }
  }
  for (const std::size_t t : options.threads) {
    if (t == 0) {
      std::fprintf(stderr, "--threads: a pool has at least one thread\n");
      return false;
    }
  }
  for (const std::string& p : options.precisions) {
    if (p != "f64" && p != "f32") {
      std::fprintf(stderr, "--precision: %s is neither f64 nor f32\n", p.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Defaults first, so that the same flags given on the command line win.
  std::vector<char*> args = {argv[0]};
  std::string repetitions = "--benchmark_repetitions=5";
  std::string min_time = "--benchmark_min_time=0.06";
  args.push_back(repetitions.data());
  args.push_back(min_time.data());
  args.insert(args.end(), argv + 1, argv + argc);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data(), print_usage);
  Options options;
  if (!parse_options(count, args.data(), options)) {
    return 2;
  }

  std::optional<Filter> filter;
  try {
    filter.emplace(benchmark::GetBenchmarkFilter());
  } catch (const std::regex_error&) {
    std::fprintf(stderr, "--benchmark_filter: not a regular expression\n");
    return 2;
  }
  const auto* table64 = find_table<double>(options.table);
  const auto* table32 = find_table<float>(options.table);
  if (table64 == nullptr || table32 == nullptr) {
    std::fprintf(stderr, "no kernel table %s\n", options.table.c_str());
    return 2;
  }

  Registry registry;
  for (const unsigned n : options.qubits) {
    for (const std::string& precision : options.precisions) {
      for (const std::size_t threads : options.threads) {
        registry.configs.push_back(
            std::make_unique<Config>(Config{n, precision == "f32", threads, 0, 0, {}}));
        Config* config = registry.configs.back().get();
        if (config->f32) {
          register_config<float>(registry, config, *table32, *filter);
        } else {
          register_config<double>(registry, config, *table64, *filter);
        }
      }
    }
  }
  if (registry.entries.empty()) {
    std::fprintf(stderr, "no benchmark matches the filter\n");
    return 1;
  }
  // The selection is made: every registered benchmark runs.
  benchmark::SetBenchmarkFilter(".");
  benchmark::AddCustomContext("kernel table", table64->name);

  std::unique_ptr<BenchmarkReporter> display(benchmark::CreateDefaultDisplayReporter());
  BestRepetitionReporter reporter(display.get(), registry);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const bool any_kernel = std::any_of(registry.configs.begin(), registry.configs.end(),
                                      [](const auto& config) { return !config->rows.empty(); });
  if (!any_kernel) {
    return 0;
  }
  // After JSON or CSV on the standard output, the table goes to the standard error.
  std::FILE* out = dynamic_cast<benchmark::ConsoleReporter*>(display.get()) ? stdout : stderr;
  std::fprintf(
      out,
      "\nKernel time per gate against the bandwidth bound: bound = bytes the gate must read and "
      "write once\n(aligned 128-byte blocks holding a touched amplitude, shown as 'touched' in "
      "%% of the state) / measured\nin-place read+write bandwidth (best of three scale loops "
      "over the state's memory, run before\nand after the kernels).\n");
  for (const auto& config : registry.configs) {
    if (!config->rows.empty()) {
      print_table(out, *config, table64->name);
    }
  }
  return 0;
}
