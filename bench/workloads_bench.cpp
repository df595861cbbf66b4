// Whole circuits, blocked against gate by gate: the shared peer-comparison workloads (OpenQASM
// files read through the qasm library) at each width found, f64 and f32, 1 and 2 threads.
// Prints, per configuration, the calibration the planner works with (its costs in nanoseconds
// per amplitude and the blocking it chose, measured on the benchmark's fresh state as a run
// measures it), and per workload: the plan (gates run by their kernels, in-place passes,
// gathered passes) and its planning time, seconds of gate application gate by gate and blocked
// (best of the repeats, the two taking turns, the state already created and touched), the
// arithmetic floor (gates x amplitudes x the in-cache time per amplitude of a single-qubit gate
// over every target of a block, the least of measurements before each workload of the
// configuration, divided by the threads), the memory floor (passes over the state x the time of
// one single-qubit gate on the whole state), and the blocked time over gate by gate and over the
// arithmetic floor; then what the planner expects of its plan on one thread, in seconds from the
// calibration's costs, and over the arithmetic of the plan's gates in the same costs: the least any
// plan of these passes reaches on this machine, by its own measurements.
//
// Usage: workloads_bench [--repeat R] [--threads 1,2] [--precision f64,f32] [--isa NAME]
//                        [--fixed] [--block B L] [--in-place I] [DIR...]
// --isa runs every kernel, both ways, with the implementation of that name (avx512, avx2 or
// scalar; default: the fastest this CPU runs).
// --fixed plans with the fixed model (a gathered pass costs two and a half gates, arithmetic
// free) instead of the calibration's costs.
// --block plans with blocks of 2^B amplitudes and runs of 2^L, --in-place with stretches of
// 2^I amplitudes in place (default: the calibration's; with --block alone, stretches as long
// as the blocks).
// DIR holds the workloads' .qasm files (default: the shared workloads beside the checkout, at
// 24 qubits). bench/workloads.sh also writes and runs the 20-qubit set.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "core/gates.h"
#include "core/kernels.h"
#include "core/kernels/dispatch.h"
#include "core/parallel.h"
#include "core/state_vector.h"
#include "qasm/lowering.h"
#include "simulator/calibration.h"
#include "simulator/circuit.h"
#include "simulator/engine.h"
#include "simulator/passes.h"

namespace {

using vorn::core::Complex;
using vorn::sim::Circuit;
using vorn::sim::Operation;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Workload {
  std::string name;
  Circuit circuit;
};

std::vector<Workload> read_workloads(const std::filesystem::path& dir) {
  std::vector<Workload> out;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == ".qasm") {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    auto parsed = vorn::qasm::parse_qasm(text.str());
    if (!parsed.ok()) {
      std::fprintf(stderr, "%s: %s\n", file.c_str(), parsed.error().render().c_str());
      std::exit(1);
    }
    out.push_back({file.stem().string(), std::move(parsed).value()});
  }
  return out;
}

std::uint64_t gate_count(const Circuit& c) {
  std::uint64_t gates = 0;
  for (const Operation& op : c.ops()) {
    gates += std::holds_alternative<vorn::sim::GateOp>(op) ? 1 : 0;
  }
  return gates;
}

template <typename T>
void reset(std::span<Complex<T>> v) {
  std::fill(v.begin(), v.end(), Complex<T>{0, 0});
  v[0] = {1, 0};
}

// The best time of `repeat` runs of fn, each after reset.
template <typename T, typename Fn>
double best_time(std::span<Complex<T>> v, int repeat, const Fn& fn) {
  double best = 1e300;
  for (int r = 0; r < repeat; ++r) {
    reset(v);
    const auto start = Clock::now();
    fn();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

// Seconds per amplitude of a single-qubit gate on a buffer that stays in the cache: the block
// size of the passes, every target in turn, on the calling thread.
template <typename T>
double in_cache_seconds_per_amplitude(unsigned block_qubits) {
  std::vector<Complex<T>> buffer(std::uint64_t{1} << block_qubits, Complex<T>{0.5, 0.25});
  const auto m = vorn::core::matrix_2x2<T>(vorn::core::Gate{vorn::core::GateKind::Ry, 0.3});
  double best = 1e300;
  for (int round = 0; round < 5; ++round) {
    const auto start = Clock::now();
    for (int sweep = 0; sweep < 8; ++sweep) {
      for (unsigned q = 0; q < block_qubits; ++q) {
        vorn::core::apply_single_qubit_gate<T>(buffer, m, q, vorn::core::Placement::InCache);
      }
    }
    best = std::min(best, seconds_since(start));
  }
  return best / (8.0 * block_qubits * static_cast<double>(buffer.size()));
}

// A blocking given on the command line (block qubits 0: the calibration's), and --fixed.
vorn::sim::Blocking chosen_blocking{0, 0};
bool fixed_costs = false;

// The passes of each kind of a plan.
struct PlanShape {
  std::uint64_t gate_by_gate = 0;  // gates run by their kernels
  std::uint64_t in_place = 0;
  std::uint64_t gathered = 0;

  std::uint64_t passes() const { return gate_by_gate + in_place + gathered; }
};

PlanShape shape_of(const std::vector<vorn::sim::Pass>& passes, const std::vector<Operation>& ops,
                   const vorn::sim::Blocking& blocking) {
  PlanShape shape;
  const unsigned in_place_qubits =
      blocking.in_place_qubits == 0 ? blocking.block_qubits : blocking.in_place_qubits;
  const std::uint64_t in_place_set = (std::uint64_t{1} << in_place_qubits) - 1;
  for (const auto& p : passes) {
    if (p.qubits == 0) {
      for (std::size_t i = p.first; i < p.last; ++i) {
        shape.gate_by_gate += std::holds_alternative<vorn::sim::GateOp>(ops[i]) ? 1 : 0;
      }
    } else if (p.qubits == in_place_set) {
      ++shape.in_place;
    } else {
      ++shape.gathered;
    }
  }
  return shape;
}

template <typename T>
void run_width(unsigned n, const std::vector<Workload>& workloads, std::size_t threads,
               int repeat) {
  vorn::core::StateVector<T> state(n);
  const std::span<Complex<T>> v = state.amplitudes();
  const char* precision = sizeof(T) == 4 ? "f32" : "f64";
  const auto& table = vorn::core::kernels::active_table<T>();

  // The calibration as a run finds it: measured on this fresh state, or kept from before.
  reset(v);
  const auto calibration_start = Clock::now();
  const std::optional<vorn::sim::Calibration> calibration = vorn::sim::calibration_for<T>(v, table);
  const double calibration_seconds = seconds_since(calibration_start);
  vorn::sim::Blocking blocking =
      calibration ? calibration->blocking : vorn::sim::cache_blocking(sizeof(Complex<T>));
  if (chosen_blocking.block_qubits != 0) {
    blocking = chosen_blocking;
  }
  const vorn::sim::PassCosts costs =
      calibration && !fixed_costs ? calibration->costs : vorn::sim::PassCosts{};

  const double amplitudes = static_cast<double>(v.size());
  // Measured again before each workload, the least so far counting: a process's first seconds
  // with a large state can run the same loop at two thirds of its speed.
  double per_amplitude = in_cache_seconds_per_amplitude<T>(blocking.block_qubits);

  vorn::core::testing::run_with_pool_size(threads, [&] {
    // One pass: a single-qubit gate on the whole state, the kernels' memory-bound speed.
    const auto m = vorn::core::matrix_2x2<T>(vorn::core::Gate{vorn::core::GateKind::H});
    const double one_pass =
        best_time<T>(v, 3 + repeat, [&] { vorn::core::apply_single_qubit_gate<T>(v, m, n / 2); });
    std::printf(
        "\nn=%u %s, %zu thread%s, kernels %s: one pass %.1f ms, in-cache %.3f ns/amplitude\n", n,
        precision, threads, threads == 1 ? "" : "s", table.name, one_pass * 1e3,
        per_amplitude * 1e9);
    if (calibration) {
      const vorn::sim::PassCosts& c = calibration->costs;
      std::printf(
          "calibration (%.1f ms): ns/amplitude arithmetic %.3f, gate %.3f, controlled %.3f, "
          "in-place pass %.3f, gathered pass %.3f; runs of 2^%u, stretches of 2^%u\n",
          calibration_seconds * 1e3, c.arithmetic * 1e9, c.gate * 1e9, c.controlled * 1e9,
          c.in_place * 1e9, c.gathered * 1e9, calibration->blocking.low_qubits,
          calibration->blocking.in_place_qubits);
    } else {
      std::printf("no calibration for this size\n");
    }
    std::printf("planned with %s costs, blocks of 2^%u, runs of 2^%u, stretches of 2^%u\n",
                calibration && !fixed_costs ? "the calibration's" : "the fixed model's",
                blocking.block_qubits, blocking.low_qubits,
                blocking.in_place_qubits == 0 ? blocking.block_qubits : blocking.in_place_qubits);
    std::printf("%-9s %5s | %5s %5s %5s %7s | %8s %8s | %8s %8s | %7s %7s | %7s %7s\n", "workload",
                "gates", "g-b-g", "place", "gathr", "plan us", "gate s", "block s", "arith s",
                "memory s", "blk/gbg", "blk/ari", "model s", "mdl/ari");
    for (const Workload& w : workloads) {
      if (w.circuit.n_qubits() != n) {
        continue;
      }
      const std::vector<Operation>& ops = w.circuit.ops();
      const std::span<const Operation> op_span(ops);
      const auto plan_start = Clock::now();
      const vorn::sim::Plan plan = vorn::sim::plan_with_cost(op_span, n, blocking, costs);
      const double plan_seconds = seconds_since(plan_start);
      const auto& passes = plan.passes;
      const PlanShape shape = shape_of(passes, ops, blocking);
      const std::uint64_t gates = gate_count(w.circuit);
      // The two sides take turns, so that a busy moment of the machine weighs on both.
      double gate_by_gate = 1e300;
      double blocked = 1e300;
      for (int r = 0; r < repeat; ++r) {
        gate_by_gate = std::min(gate_by_gate, best_time<T>(v, 1, [&] {
                                  vorn::sim::testing::run_with_blocking(
                                      {0, 0}, [&] { vorn::sim::apply_operations<T>(v, op_span); });
                                }));
        blocked = std::min(blocked, best_time<T>(v, 1, [&] {
                             vorn::sim::testing::run_with_blocking(blocking, [&] {
                               vorn::sim::testing::run_with_costs(
                                   costs, [&] { vorn::sim::apply_operations<T>(v, op_span); });
                             });
                           }));
      }
      per_amplitude =
          std::min(per_amplitude, in_cache_seconds_per_amplitude<T>(blocking.block_qubits));
      const double arithmetic =
          static_cast<double>(gates) * amplitudes * per_amplitude / static_cast<double>(threads);
      const double memory = static_cast<double>(shape.passes()) * one_pass;
      std::printf(
          "%-9s %5llu | %5llu %5llu %5llu %7.1f | %8.3f %8.3f | %8.3f %8.3f | %7.2f %7.2f | ",
          w.name.c_str(), static_cast<unsigned long long>(gates),
          static_cast<unsigned long long>(shape.gate_by_gate),
          static_cast<unsigned long long>(shape.in_place),
          static_cast<unsigned long long>(shape.gathered), plan_seconds * 1e6, gate_by_gate,
          blocked, arithmetic, memory, blocked / gate_by_gate, blocked / arithmetic);
      // What the planner expects of its plan on one thread, and of it over its gates' arithmetic
      // alone: the least any plan reaches in its model (not printed for the fixed model, whose
      // arithmetic is free).
      if (plan.arithmetic > 0.0) {
        std::printf("%7.3f %7.2f\n", plan.cost * amplitudes, plan.cost / plan.arithmetic);
      } else {
        std::printf("%7s %7s\n", "-", "-");
      }
    }
  });
}

std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> out;
  std::stringstream s(list);
  std::string item;
  while (std::getline(s, item, ',')) {
    out.push_back(item);
  }
  return out;
}

// Every workload of every directory, for each precision and pool size.
void run_all(const std::vector<std::string>& dirs, const std::vector<std::string>& precisions,
             const std::vector<std::string>& threads, int repeat) {
  for (const std::string& dir : dirs) {
    const std::vector<Workload> workloads = read_workloads(dir);
    if (workloads.empty()) {
      std::fprintf(stderr, "no .qasm files in %s\n", dir.c_str());
      std::exit(1);
    }
    const auto n = static_cast<unsigned>(workloads.front().circuit.n_qubits());
    std::printf("workloads in %s (%zu)\n", dir.c_str(), workloads.size());
    for (const std::string& p : precisions) {
      for (const std::string& t : threads) {
        const std::size_t count = static_cast<std::size_t>(std::max(1, std::atoi(t.c_str())));
        if (p == "f32") {
          run_width<float>(n, workloads, count, repeat);
        } else {
          run_width<double>(n, workloads, count, repeat);
        }
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Each line as it is printed: a whole run takes minutes.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  int repeat = 2;
  std::vector<std::string> threads = {"1", "2"};
  std::vector<std::string> precisions = {"f64", "f32"};
  std::vector<std::string> dirs;
  std::string isa;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--threads" && i + 1 < argc) {
      threads = split(argv[++i]);
    } else if (arg == "--block" && i + 2 < argc) {
      chosen_blocking.block_qubits = static_cast<unsigned>(std::atoi(argv[++i]));
      chosen_blocking.low_qubits = static_cast<unsigned>(std::atoi(argv[++i]));
    } else if (arg == "--in-place" && i + 1 < argc) {
      chosen_blocking.in_place_qubits = static_cast<unsigned>(std::atoi(argv[++i]));
    } else if (arg == "--precision" && i + 1 < argc) {
      precisions = split(argv[++i]);
    } else if (arg == "--fixed") {
      fixed_costs = true;
    } else if (arg == "--isa" && i + 1 < argc) {
      isa = argv[++i];
    } else if (arg.starts_with("-")) {
      std::fprintf(stderr,
                   "usage: workloads_bench [--repeat R] [--threads 1,2] [--precision f64,f32] "
                   "[--isa NAME] [--fixed] [--block B L] [--in-place I] [DIR...]\n");
      return arg == "--help" || arg == "-h" ? 0 : 2;
    } else {
      dirs.push_back(arg);
    }
  }
  if (dirs.empty()) {
    dirs.push_back(VORN_WORKLOADS_DIR);
  }
  for (const std::string& dir : dirs) {
    if (!std::filesystem::is_directory(dir)) {
      std::fprintf(stderr, "workloads_bench: no directory %s\n", dir.c_str());
      return 2;
    }
  }
  if (isa.empty()) {
    isa = vorn::core::kernels::active_table<double>().name;
  }
  std::printf("kernels: %s\n", isa.c_str());
  const bool ran = vorn::core::testing::run_with_kernel_table(
      isa, [&] { run_all(dirs, precisions, threads, repeat); });
  if (!ran) {
    std::fprintf(stderr, "this CPU cannot run the %s kernels\n", isa.c_str());
    return 2;
  }
  return 0;
}
