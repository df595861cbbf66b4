// Dynamic programs: what mid-circuit measurements cost on a large state, what walking shots in
// branches saves against one run per shot, and how many states the walk holds.
//
// (a) random20 (an OpenQASM workload, read from the path given) with two mid-circuit
//     measurements and corrections conditioned on them appended, then every qubit measured,
//     against the same circuit measured at the end (a static program, sim::run's path).
// (b) 10 rounds of syndrome extraction of a 13-qubit repetition code (7 data qubits, 6
//     ancillas reset after each measurement, corrections on adjacent syndrome pairs), each
//     round starting with a small X rotation of every data qubit (the error), against one run
//     per shot (the mean of 100 runs of one shot, times the shots).
// (c) the peak number of states held, and the process's peak resident memory.
//
// Usage: dynamic_bench [--shots N] [--precision f64|f32] [--angles A,B,...] [--single-runs N]
//                      [--skip-large] [RANDOM20_QASM]
// --angles: the error rotations of (b) (default 0,0.05,0.1,0.2); --single-runs: the runs of one
// shot (b) measures (default 100, 0: none). Without RANDOM20_QASM, (a) is skipped.
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "core/precision.h"
#include "qasm/lowering.h"
#include "simulator/circuit.h"
#include "simulator/dynamic.h"
#include "simulator/program.h"

namespace {

using vorn::core::Precision;
using vorn::sim::ConditionKind;
using vorn::sim::ConditionNode;
using vorn::sim::DynamicOutcome;
using vorn::sim::GateKind;
using vorn::sim::GateOp;
using vorn::sim::Program;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs the program and returns the outcome with the seconds it took.
struct Timed {
  DynamicOutcome outcome;
  double seconds;
};

Timed timed_run(const Program& p, std::uint64_t shots, std::uint64_t seed, Precision precision) {
  const auto start = Clock::now();
  vorn::sim::DynamicRunResult result = vorn::sim::run_program(p, shots, seed, precision);
  const double seconds = seconds_since(start);
  DynamicOutcome outcome = std::visit([](auto& run) { return std::move(run.outcome); }, result);
  return {std::move(outcome), seconds};
}

double peak_resident_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

std::uint32_t add_condition(Program& p, const ConditionNode& node) {
  p.conditions.push_back(node);
  return static_cast<std::uint32_t>(p.conditions.size() - 1);
}

// if (condition) x qubit;
void x_if(Program& p, std::uint32_t condition, std::uint64_t qubit) {
  p.instructions.emplace_back(vorn::sim::JumpUnless{condition, p.instructions.size() + 2});
  p.instructions.emplace_back(GateOp{{GateKind::X}, {qubit, 0, 0}});
}

std::uint32_t bit_is_one(Program& p, std::uint64_t bit) {
  return add_condition(p, {ConditionKind::Bit, vorn::sim::CompareOp::Eq, bit});
}

void print_statistics(const char* what, const Timed& t, std::uint64_t state_bytes) {
  const auto& s = t.outcome.statistics;
  std::printf(
      "  %-34s %9.3f s   branches %6llu  replays %llu  mid-circuit events %8llu  peak states "
      "%llu (%.0f MiB)  distinct bit arrays %zu\n",
      what, t.seconds, static_cast<unsigned long long>(s.evolutions),
      static_cast<unsigned long long>(s.replays),
      static_cast<unsigned long long>(s.mid_circuit_events),
      static_cast<unsigned long long>(s.peak_states),
      static_cast<double>(s.peak_states * state_bytes) / (1 << 20), t.outcome.bit_arrays.size());
}

void random20(const std::string& path, std::uint64_t shots, Precision precision) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  auto parsed = vorn::qasm::parse_qasm(text.str());
  if (!parsed.ok()) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), parsed.error().render().c_str());
    std::exit(1);
  }
  vorn::sim::Circuit circuit = std::move(parsed).value();
  const std::uint64_t n = circuit.n_qubits();
  const std::uint64_t state_bytes =
      (std::uint64_t{1} << n) * (precision == Precision::F64 ? 16 : 8);

  vorn::sim::Circuit measured = circuit;
  measured.measure_all();
  const Program static_program = vorn::sim::program_from_circuit(measured);

  // Bits 0..n-1: the final measurements (register c); n and n+1: the mid-circuit ones (m).
  Program dynamic = vorn::sim::program_from_circuit(circuit);
  dynamic.n_bits = n + 2;
  dynamic.registers = {{"c", 0, n}, {"m", n, 2}};
  dynamic.instructions.emplace_back(vorn::sim::Measure{0, n});
  x_if(dynamic, bit_is_one(dynamic, n), 1);
  dynamic.instructions.emplace_back(vorn::sim::Measure{2, n + 1});
  x_if(dynamic, bit_is_one(dynamic, n + 1), 3);
  for (std::uint64_t q = 0; q < n; ++q) {
    dynamic.instructions.emplace_back(vorn::sim::Measure{q, q});
  }

  std::printf("(a) random20, %llu qubits, %s, %llu shots\n", static_cast<unsigned long long>(n),
              precision == Precision::F64 ? "f64" : "f32", static_cast<unsigned long long>(shots));
  // The first state of this size pays for the system's first touch of its pages; both runs
  // below then start from a kept mapping.
  timed_run(vorn::sim::program_from_circuit(vorn::sim::Circuit(n)), 0, 1, precision);
  const Timed s = timed_run(static_program, shots, 1, precision);
  print_statistics("static (measured at the end)", s, state_bytes);
  const Timed d = timed_run(dynamic, shots, 1, precision);
  print_statistics("two mid-circuit measurements", d, state_bytes);
  std::printf("  dynamic / static: %.2f (target <= 3)\n\n", d.seconds / s.seconds);
}

// The repetition code: data qubits 0..6, ancilla i (qubit 7 + i) holds the parity of data
// qubits i and i + 1. Bits 0..6: the data at the end (register "data"); then 6 syndrome bits
// per round (register "syndrome").
Program repetition_code(unsigned rounds, double error_angle) {
  constexpr std::uint64_t DATA = 7;
  constexpr std::uint64_t ANCILLAS = 6;
  Program p;
  p.n_qubits = DATA + ANCILLAS;
  p.n_bits = DATA + rounds * ANCILLAS;
  p.registers = {{"data", 0, DATA}, {"syndrome", DATA, rounds * ANCILLAS}};
  const auto gate = [&p](GateKind kind, std::uint64_t q0, std::uint64_t q1 = 0, double theta = 0) {
    p.instructions.emplace_back(GateOp{{kind, theta}, {q0, q1, 0}});
  };
  // The logical |+>: (|0000000> + |1111111>) / sqrt(2).
  gate(GateKind::H, 0);
  for (std::uint64_t d = 1; d < DATA; ++d) {
    gate(GateKind::CX, d - 1, d);
  }
  for (unsigned r = 0; r < rounds; ++r) {
    if (error_angle != 0.0) {
      for (std::uint64_t d = 0; d < DATA; ++d) {
        gate(GateKind::Rx, d, 0, error_angle);
      }
    }
    const std::uint64_t first_bit = DATA + r * ANCILLAS;
    for (std::uint64_t a = 0; a < ANCILLAS; ++a) {
      gate(GateKind::CX, a, DATA + a);
      gate(GateKind::CX, a + 1, DATA + a);
      p.instructions.emplace_back(vorn::sim::Measure{DATA + a, first_bit + a});
      p.instructions.emplace_back(vorn::sim::Reset{DATA + a});
    }
    // A flipped data qubit lights the ancillas on both sides of it (one at the ends).
    for (std::uint64_t d = 0; d < DATA; ++d) {
      const auto lit = [&](std::uint64_t a) { return bit_is_one(p, first_bit + a); };
      const auto dark = [&](std::uint64_t a) {
        return add_condition(p, {ConditionKind::Not, vorn::sim::CompareOp::Eq, 0, 0, 0, 0,
                                 bit_is_one(p, first_bit + a)});
      };
      std::uint32_t condition = 0;
      if (d == 0) {
        condition = add_condition(
            p, {ConditionKind::And, vorn::sim::CompareOp::Eq, 0, 0, 0, 0, lit(0), dark(1)});
      } else if (d == DATA - 1) {
        condition = add_condition(p, {ConditionKind::And, vorn::sim::CompareOp::Eq, 0, 0, 0, 0,
                                      lit(ANCILLAS - 1), dark(ANCILLAS - 2)});
      } else {
        condition = add_condition(
            p, {ConditionKind::And, vorn::sim::CompareOp::Eq, 0, 0, 0, 0, lit(d - 1), lit(d)});
      }
      x_if(p, condition, d);
    }
  }
  for (std::uint64_t d = 0; d < DATA; ++d) {
    p.instructions.emplace_back(vorn::sim::Measure{d, d});
  }
  vorn::sim::validate_program(p);
  return p;
}

void repetition(std::uint64_t shots, Precision precision, const std::vector<double>& angles,
                std::uint64_t single_runs) {
  constexpr unsigned ROUNDS = 10;
  const std::uint64_t state_bytes =
      (std::uint64_t{1} << 13) * (precision == Precision::F64 ? 16 : 8);
  std::printf("(b) repetition code, 7 data + 6 ancillas, %u rounds with resets, %s, %llu shots\n",
              ROUNDS, precision == Precision::F64 ? "f64" : "f32",
              static_cast<unsigned long long>(shots));
  for (const double angle : angles) {
    const Program p = repetition_code(ROUNDS, angle);
    const Timed branches = timed_run(p, shots, 7, precision);
    char label[64];
    std::snprintf(label, sizeof label, "error Rx(%.2f) per data qubit", angle);
    print_statistics(label, branches, state_bytes);
    if (single_runs == 0) {
      continue;
    }
    double single = 0.0;
    for (std::uint64_t s = 0; s < single_runs; ++s) {
      single += timed_run(p, 1, 1000 + s, precision).seconds;
    }
    const double per_shot = single / static_cast<double>(single_runs) * static_cast<double>(shots);
    std::printf(
        "  %-34s %9.3f s   (%.3f ms a shot, from %llu runs)   speed-up %.0fx (target >= "
        "20)\n",
        "one run per shot", per_shot, single / static_cast<double>(single_runs) * 1e3,
        static_cast<unsigned long long>(single_runs), per_shot / branches.seconds);
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t shots = 10000;
  Precision precision = Precision::F64;
  bool skip_large = false;
  std::vector<double> angles = {0.0, 0.05, 0.1, 0.2};
  std::uint64_t single_runs = 100;
  std::optional<std::string> random20_path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--shots" && i + 1 < argc) {
      shots = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--precision" && i + 1 < argc) {
      precision = std::strcmp(argv[++i], "f32") == 0 ? Precision::F32 : Precision::F64;
    } else if (arg == "--angles" && i + 1 < argc) {
      angles.clear();
      std::stringstream list(argv[++i]);
      for (std::string item; std::getline(list, item, ',');) {
        angles.push_back(std::strtod(item.c_str(), nullptr));
      }
    } else if (arg == "--single-runs" && i + 1 < argc) {
      single_runs = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--skip-large") {
      skip_large = true;
    } else {
      random20_path = arg;
    }
  }
  repetition(shots, precision, angles, single_runs);
  if (random20_path.has_value() && !skip_large) {
    random20(*random20_path, shots, precision);
  } else {
    std::printf("(a) skipped: no random20 path given\n\n");
  }
  std::printf("(c) peak resident memory of this process: %.0f MiB\n", peak_resident_mib());
  return 0;
}
