// Gate fusion against exact execution on the shared workloads: per workload, precision and
// thread count, the seconds of gate application exactly (blocked passes) and fused with each
// width (best of the repeats, every variant taking its turn in each repeat, the state created
// and touched before), the fused plan's operations and its planning time.
//
// Usage: fusion_bench [--repeat R] [--threads 1,2] [--precision f64,f32] [--widths 2,3,4,5]
//                     [--isa NAME] [--blocks B] [--overhead H] [DIR]
// --blocks runs the fused passes with blocks of 2^B amplitudes (0: one operation per pass over
// the state); --overhead plans with that cost per operation (FusionOptions::overhead).
// DIR holds the workloads' .qasm files (default: the shared workloads beside the checkout).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "core/kernels.h"
#include "core/parallel.h"
#include "core/state_vector.h"
#include "qasm/lowering.h"
#include "simulator/circuit.h"
#include "simulator/engine.h"
#include "simulator/fused_passes.h"
#include "simulator/fusion.h"
#include "sweep_options.h"

namespace {

using vorn::sim::Circuit;
using vorn::sim::Operation;
using Clock = std::chrono::steady_clock;

double seconds_of(const std::function<void()>& fn) {
  const Clock::time_point start = Clock::now();
  fn();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<unsigned> numbers(const std::string& text) {
  std::vector<unsigned> out;
  for (const std::string& item : vorn::bench::split_list(text)) {
    out.push_back(static_cast<unsigned>(std::stoul(item)));
  }
  return out;
}

struct Options {
  unsigned repeat = 3;
  std::vector<unsigned> threads{1, 2};
  std::vector<std::string> precisions{"f64", "f32"};
  std::vector<unsigned> widths{2, 3, 4, 5};
  std::string isa;
  int blocks = -1;
  double overhead = vorn::sim::FusionOptions{}.overhead;
  std::string dir = VORN_WORKLOADS_DIR;
};

template <typename T>
void run_workload(const std::string& name, const Circuit& c, const Options& o, unsigned threads) {
  const std::span<const Operation> ops(c.ops());
  vorn::core::StateVector<T> state(c.n_qubits());
  // Touch the state and let the exact engine measure its calibration before any clock runs.
  vorn::sim::apply_operations(state.amplitudes(), ops);
  const std::vector<vorn::sim::FusionGate> gates = vorn::sim::fusion_gates(ops);
  std::vector<std::vector<vorn::sim::FusedOp>> plans;
  std::vector<double> planning(o.widths.size(), std::numeric_limits<double>::infinity());
  for (std::size_t w = 0; w < o.widths.size(); ++w) {
    vorn::sim::FusionOptions options;
    options.max_qubits = o.widths[w];
    options.overhead = o.overhead;
    for (unsigned r = 0; r < 3; ++r) {
      std::vector<vorn::sim::FusedOp> plan;
      planning[w] = std::min(planning[w], seconds_of([&] { plan = plan_fusion(gates, options); }));
      if (r == 0) {
        plans.push_back(std::move(plan));
      }
    }
  }
  double exact = std::numeric_limits<double>::infinity();
  std::vector<double> fused(o.widths.size(), std::numeric_limits<double>::infinity());
  for (unsigned r = 0; r < o.repeat; ++r) {
    exact =
        std::min(exact, seconds_of([&] { vorn::sim::apply_operations(state.amplitudes(), ops); }));
    for (std::size_t w = 0; w < o.widths.size(); ++w) {
      const auto go = [&] {
        vorn::sim::execute_fused_plan<T>(state.amplitudes(), plans[w], std::nullopt);
      };
      fused[w] = std::min(fused[w], seconds_of([&] {
                            if (o.blocks >= 0) {
                              vorn::sim::testing::run_with_fused_blocks(
                                  static_cast<unsigned>(o.blocks), go);
                            } else {
                              go();
                            }
                          }));
    }
  }
  std::printf("%-10s %3u thr  exact %8.3f s", name.c_str(), threads, exact);
  for (std::size_t w = 0; w < o.widths.size(); ++w) {
    std::printf(" | k=%u %7.3f s %5.2fx %4zu ops %6.2f ms", o.widths[w], fused[w], fused[w] / exact,
                plans[w].size(), planning[w] * 1e3);
  }
  std::printf("\n");
  std::fflush(stdout);
}

void run_all(const Options& o) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(o.dir)) {
    if (entry.path().extension() == ".qasm") {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  for (const std::string& precision : o.precisions) {
    for (const unsigned threads : o.threads) {
      std::printf("== %s, %u thread(s), %s kernels\n", precision.c_str(), threads,
                  o.isa.empty() ? "fastest" : o.isa.c_str());
      for (const auto& file : files) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        auto parsed = vorn::qasm::parse_qasm(text.str());
        if (!parsed.ok()) {
          std::fprintf(stderr, "%s: %s\n", file.c_str(), parsed.error().render().c_str());
          std::exit(1);
        }
        const Circuit c = std::move(parsed).value();
        vorn::core::testing::run_with_pool_size(threads, [&] {
          if (precision == "f32") {
            run_workload<float>(file.stem().string(), c, o, threads);
          } else {
            run_workload<double>(file.stem().string(), c, o, threads);
          }
        });
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--repeat") {
      o.repeat = static_cast<unsigned>(std::stoul(next()));
    } else if (arg == "--threads") {
      o.threads = numbers(next());
    } else if (arg == "--precision") {
      o.precisions = vorn::bench::split_list(next());
    } else if (arg == "--widths") {
      o.widths = numbers(next());
    } else if (arg == "--isa") {
      o.isa = next();
    } else if (arg == "--blocks") {
      o.blocks = std::stoi(next());
    } else if (arg == "--overhead") {
      o.overhead = std::stod(next());
    } else {
      o.dir = arg;
    }
  }
  if (o.isa.empty()) {
    run_all(o);
    return 0;
  }
  if (!vorn::core::testing::run_with_kernel_table(o.isa, [&] { run_all(o); })) {
    std::fprintf(stderr, "this CPU cannot run the %s kernels\n", o.isa.c_str());
    return 2;
  }
  return 0;
}
