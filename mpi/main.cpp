// vorn-mpi: runs an OpenQASM file on 2^k MPI ranks, each holding 1/2^k of the state, and prints
// the counts as `vorn run` does. Counts and written state are bit for bit those of a single
// process with the same seed.
#include <mpi.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/abort.h"
#include "core/messages.h"
#include "core/parallel.h"
#include "core/state_vector.h"
#include "mpi/distributed.h"
#include "mpi/dynamic_state.h"
#include "mpi/expectation.h"
#include "mpi/faults.h"
#include "mpi/fused.h"
#include "mpi/layout.h"
#include "mpi/npy.h"
#include "mpi/report.h"
#include "mpi/sampling.h"
#include "qasm/error.h"
#include "qasm/program_reader.h"
#include "simulator/dynamic.h"
#include "simulator/engine.h"
#include "simulator/fused_passes.h"
#include "simulator/fusion.h"
#include "simulator/observable.h"
#include "simulator/program.h"
#include "simulator/rng.h"
#include "simulator/sampling.h"

namespace vorn::mpi {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitBadInput = 2;

constexpr std::string_view kUsage =
    "usage: mpirun -n P vorn-mpi FILE.qasm [--shots N] [--seed S] [--precision f32|f64] [--json] "
    "[--all] [--statevector OUT.npy] [--probabilities OUT.npy] [--expect OBSERVABLE]... "
    "[--fuse [K]]";

struct Options {
  std::string file;
  std::uint64_t shots = 1024;
  std::optional<std::uint64_t> seed;
  core::Precision precision = core::Precision::F64;
  bool json = false;
  bool all = false;
  std::string statevector;
  std::string probabilities;
  // Observables' texts (simulator/observable.h), each evaluated on the final state.
  std::vector<std::string> expect;
  // 0: exact; 2..5: gates fused with this width (simulator/fused_passes.h); --fuse without a
  // width takes the best one for the precision.
  unsigned fuse = 0;
  bool fuse_best = false;
};

// Messages go to standard error from rank 0 only, so each appears once.
void say(const Ranks& ranks, const std::string& message) {
  if (ranks.rank == 0) {
    std::fputs((message + "\n").c_str(), stderr);
    std::fflush(stderr);
  }
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  std::uint64_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// Returns the options, or the message of the first bad argument.
std::variant<Options, std::string> parse_arguments(int argc, char** argv) {
  Options options;
  bool have_file = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::optional<std::string_view> inline_value;
    if (arg.starts_with("--") && arg.find('=') != std::string_view::npos) {
      inline_value = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
    }
    const auto value = [&]() -> std::optional<std::string_view> {
      if (inline_value) {
        return inline_value;
      }
      if (i + 1 < argc) {
        return std::string_view(argv[++i]);
      }
      return std::nullopt;
    };
    if (arg == "--json" || arg == "--all") {
      if (inline_value) {
        return std::string(arg) + " takes no value";
      }
      (arg == "--json" ? options.json : options.all) = true;
    } else if (arg == "--shots" || arg == "--seed") {
      const auto text = value();
      const auto number = text ? parse_unsigned(*text) : std::nullopt;
      if (!number) {
        return std::string(arg) + " needs an integer from 0 to 18446744073709551615";
      }
      if (arg == "--shots") {
        options.shots = *number;
      } else {
        options.seed = *number;
      }
    } else if (arg == "--precision") {
      const auto text = value();
      if (!text) {
        return "--precision needs f32 or f64";
      }
      if (*text == "f64") {
        options.precision = core::Precision::F64;
      } else if (*text == "f32") {
        options.precision = core::Precision::F32;
      } else {
        return "precision 은 'f32' 또는 'f64' 여야 합니다 (입력: " + qasm::quoted(*text) + ")";
      }
    } else if (arg == "--statevector" || arg == "--probabilities") {
      const auto text = value();
      if (!text || text->empty()) {
        return std::string(arg) + " needs a file name";
      }
      (arg == "--statevector" ? options.statevector : options.probabilities) = std::string(*text);
    } else if (arg == "--expect") {
      const auto text = value();
      if (!text) {
        return "--expect needs an observable, such as \"0.5*Z0 Z1 - X2\"";
      }
      options.expect.emplace_back(*text);
    } else if (arg == "--fuse") {
      // The width is optional: taken from "--fuse=K", or from the next argument when that is
      // a width.
      const auto width = [](std::string_view text) -> unsigned {
        return text.size() == 1 && text[0] >= '2' && text[0] <= '5'
                   ? static_cast<unsigned>(text[0] - '0')
                   : 0;
      };
      if (inline_value) {
        options.fuse = width(*inline_value);
        if (options.fuse == 0) {
          return "the fusion width is an integer from 2 to 5, not " + qasm::quoted(*inline_value);
        }
      } else if (i + 1 < argc && width(argv[i + 1]) != 0) {
        options.fuse = width(argv[++i]);
      } else {
        options.fuse_best = true;
      }
    } else if (arg.starts_with("-") && arg != "-") {
      return "unknown option " + std::string(arg);
    } else if (have_file) {
      return "more than one input file";
    } else {
      options.file = std::string(arg);
      have_file = true;
    }
  }
  if (!have_file) {
    return "no input file";
  }
  if (options.fuse_best) {
    options.fuse = sim::best_fusion(options.precision == core::Precision::F32);
  }
  return options;
}

// Reads the program on rank 0 and hands its text to every rank. Returns the text, or the
// message of a failed read (on every rank).
std::variant<std::string, std::string> read_program(const Options& options, const Ranks& ranks) {
  std::string text;
  std::optional<std::string> error;
  if (ranks.rank == 0) {
    if (options.file == "-") {
      text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
      std::ifstream in(options.file, std::ios::binary);
      if (!in) {
        error = "cannot read " + options.file + ": " + std::strerror(errno);
      } else {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      }
    }
  }
  if (auto failed = agree(error, ranks)) {
    return std::variant<std::string, std::string>(std::in_place_index<1>, failed->message);
  }
  unsigned long long length = text.size();
  MPI_Bcast(&length, 1, MPI_UNSIGNED_LONG_LONG, 0, ranks.comm);
  text.resize(static_cast<std::size_t>(length));
  // Broadcast in pieces: a count is an int.
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  for (std::size_t at = 0; at < text.size(); at += kPiece) {
    MPI_Bcast(text.data() + at, static_cast<int>(std::min(kPiece, text.size() - at)), MPI_CHAR, 0,
              ranks.comm);
  }
  return std::variant<std::string, std::string>(std::in_place_index<0>, std::move(text));
}

// The circuit record of a program's gates and measurements, in order, with its global phase:
// a static program runs from it exactly as a circuit read by the static reader does, and a
// dynamic one is checked against the ranks by its gates.
sim::Circuit circuit_of(const sim::Program& program) {
  sim::Circuit circuit(program.n_qubits);
  std::vector<sim::Operation> ops;
  for (const sim::Instruction& instruction : program.instructions) {
    if (const auto* gate = std::get_if<sim::GateOp>(&instruction)) {
      ops.emplace_back(*gate);
    } else if (const auto* controlled = std::get_if<sim::ControlledGate>(&instruction)) {
      ops.emplace_back(*controlled);
    } else if (const auto* measure = std::get_if<sim::Measure>(&instruction)) {
      ops.emplace_back(*measure);
    }
  }
  circuit.replace_ops(std::move(ops));
  circuit.add_global_phase(program.global_phase);
  return circuit;
}

// A seed from the operating system's random source, drawn on rank 0 and shared.
std::uint64_t shared_seed(const Options& options, const Ranks& ranks) {
  std::uint64_t seed = options.seed.value_or(0);
  if (!options.seed && ranks.rank == 0) {
    std::size_t got = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&seed);
    while (got < sizeof(seed)) {
      const ssize_t n = getrandom(bytes + got, sizeof(seed) - got, 0);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EINTR) {
        // Nothing else can key the generator: a failing random source ends the job.
        std::fprintf(stderr, "vorn-mpi: from_entropy failed: %s\n", std::strerror(errno));
        MPI_Abort(ranks.comm, kExitFailure);
      }
    }
  }
  MPI_Bcast(&seed, 1, MPI_UINT64_T, 0, ranks.comm);
  return seed;
}

double elapsed_since(double start, const Ranks& ranks) {
  MPI_Barrier(ranks.comm);
  return MPI_Wtime() - start;
}

// Runs allocate() on every rank and agrees on the outcome: false, with the message said once,
// when some rank could not get its memory. Every large allocation is made this way before any
// work, so a rank that cannot get its memory stops the job cleanly instead of leaving the others
// waiting in an exchange.
template <typename Allocate>
bool allocated_everywhere(const Allocate& allocate, const Ranks& ranks) {
  std::optional<std::string> failure;
  try {
    if (fault_strikes(Fault::Alloc, ranks.rank)) {
      const std::uint64_t bytes = std::uint64_t{16} << ranks.local_qubits;
      throw core::AllocationFailure(ranks.local_qubits, bytes,
                                    core::messages::cannot_allocate(ranks.local_qubits, bytes));
    }
    allocate();
  } catch (const core::AllocationFailure& e) {
    failure = e.what();
  } catch (const core::Abort& e) {
    failure = e.what();
  } catch (const std::bad_alloc&) {
    failure = "out of memory";
  }
  if (auto failed = agree(failure, ranks)) {
    say(ranks, "vorn-mpi: rank " + std::to_string(failed->rank) + " of " +
                   std::to_string(ranks.size) +
                   " cannot hold its part of the state: " + failed->message);
    return false;
  }
  return true;
}

// The --statevector and --probabilities files. Each step is collective and returns false, with
// the message said once, when it fails.
struct StateFiles {
  std::optional<NpyWriter> statevector;
  std::optional<NpyWriter> probabilities;

  bool open(const Options& options, const Ranks& ranks) {
    for (auto [path, file] : {std::pair{&options.statevector, &statevector},
                              std::pair{&options.probabilities, &probabilities}}) {
      if (!path->empty()) {
        file->emplace();
        if (auto error = NpyWriter::open(*path, ranks, **file)) {
          say(ranks, "vorn-mpi: " + *error);
          return false;
        }
      }
    }
    return true;
  }

  template <typename T>
  bool write(std::span<const core::Complex<T>> slice, const Ranks& ranks) {
    std::optional<std::string> error;
    if (statevector) {
      error = statevector->write_amplitudes<T>(slice);
    }
    if (!error && probabilities) {
      error = probabilities->write_probabilities<T>(slice);
    }
    if (error) {
      say(ranks, "vorn-mpi: " + *error);
      return false;
    }
    return true;
  }
};

// Prints the counts on rank 0, sorted, as a table or JSON.
void print_report(const Options& options, Report& report) {
  sort_counts(report.counts);
  const std::string out = options.json ? format_json(report) : format_table(report, options.all);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

// The classical bits of a static program for a whole-register outcome: its initial bits, then
// each measurement's bit set from its qubit's digit of the index, in program order.
std::vector<std::uint8_t> bits_of_outcome(const sim::Program& program, std::uint64_t index) {
  std::vector<std::uint8_t> bits = program.initial_bits;
  bits.resize(program.n_bits, 0);
  for (const sim::Instruction& instruction : program.instructions) {
    if (const auto* measure = std::get_if<sim::Measure>(&instruction)) {
      bits[measure->cbit] = static_cast<std::uint8_t>((index >> measure->qubit) & 1);
    }
  }
  return bits;
}

// The fusion plan of a gate list with width k: the same on every rank and for any rank count.
std::vector<sim::FusedOp> fusion_plan(std::span<const sim::Operation> ops, unsigned k) {
  sim::FusionOptions fusion;
  fusion.max_qubits = k;
  return sim::plan_fusion(sim::fusion_gates(ops), fusion);
}

template <typename T>
int simulate(const Options& options, const sim::Program& program, const sim::Circuit& circuit,
             std::span<const sim::PauliSum> observables, Report report, const Ranks& ranks) {
  const std::span<const sim::Operation> ops(circuit.ops());
  const Plan plan = plan_distributed(ops, circuit.n_qubits(), ranks.global_qubits);
  const bool sampling = plan.measured && options.shots > 0;
  const std::vector<sim::FusedOp> fused =
      options.fuse != 0 ? fusion_plan(ops, options.fuse) : std::vector<sim::FusedOp>{};

  std::optional<core::StateVector<T>> state;
  std::unique_ptr<double[]> table;
  std::optional<Exchanger> exchanger;
  const bool allocated = allocated_everywhere(
      [&] {
        state.emplace(ranks.local_qubits);
        if (sampling) {
          table.reset(new double[std::size_t{1} << ranks.local_qubits]);
        }
        exchanger.emplace(ranks);
      },
      ranks);
  if (!allocated) {
    return kExitFailure;
  }
  const std::span<core::Complex<T>> slice = state->amplitudes();
  if (ranks.rank != 0) {
    // The state |0...0>: amplitude 1 lives on rank 0 only.
    slice[0] = core::Complex<T>{T{0}, T{0}};
  }

  StateFiles files;
  if (!files.open(options, ranks)) {
    return kExitFailure;
  }

  MPI_Barrier(ranks.comm);
  if (fault_strikes(Fault::KillSimulate, ranks.rank)) {
    die_now();
  }
  double start = MPI_Wtime();
  if (options.fuse != 0) {
    run_fused_plan(slice, std::span<const sim::FusedOp>(fused), ranks, *exchanger);
  } else {
    run_plan(slice, plan, ranks, *exchanger);
  }
  // +0.0 and -0.0 skip the pass; NaN compares unequal and is applied.
  if (circuit.global_phase() != 0.0) {
    sim::apply_global_phase(slice, circuit.global_phase());
  }
  report.simulate_seconds = elapsed_since(start, ranks);

  start = MPI_Wtime();
  std::vector<std::pair<std::uint64_t, std::uint64_t>> drawn;
  if (sampling) {
    const std::span<double> cumulative(table.get(), slice.size());
    cumulative_slice<T>(slice, cumulative, ranks);
    drawn = draw_distributed(cumulative, options.shots, report.seed, ranks);
    table.reset();
  }
  report.sample_seconds = elapsed_since(start, ranks);

  if (!observables.empty()) {
    const std::vector<double> values =
        distributed_expectations<T>(slice, observables, ranks, *exchanger);
    for (std::size_t i = 0; i < values.size(); ++i) {
      report.expectations.emplace_back(options.expect[i], values[i]);
    }
  }

  if (!files.write<T>(slice, ranks)) {
    return kExitFailure;
  }

  std::uint64_t sent = exchanger->bytes_sent();
  std::uint64_t most_sent = 0;
  MPI_Reduce(&sent, &most_sent, 1, MPI_UINT64_T, MPI_MAX, 0, ranks.comm);
  if (ranks.rank != 0) {
    return 0;
  }
  report.measured = plan.measured;
  // Keys over the classical bits, as `vorn run` writes them; outcomes that differ only in
  // unmeasured qubits share a key.
  std::map<std::string, std::uint64_t> counts;
  for (const auto& [index, count] : drawn) {
    counts[sim::outcome_key(program, bits_of_outcome(program, index))] += count;
  }
  report.counts.assign(counts.begin(), counts.end());
  print_report(options, report);
  if (const char* stats = std::getenv("VORN_MPI_STATS"); stats != nullptr && *stats != '\0') {
    // For benchmarks: what the exchanges cost, against the least the gate list needs.
    const std::uint64_t half_slice = (slice.size() / 2) * sizeof(core::Complex<T>);
    std::fprintf(
        stderr,
        "exchange: %llu exchanges, %llu bytes sent per rank (most), minimum %llu bytes "
        "(%llu global qubits used), %llu gates touch global qubits, %.3f s in exchanges on rank "
        "0\n",
        static_cast<unsigned long long>(exchanger->exchanges()),
        static_cast<unsigned long long>(most_sent),
        static_cast<unsigned long long>(2 * plan.global_qubits_needed * half_slice),
        static_cast<unsigned long long>(plan.global_qubits_needed),
        static_cast<unsigned long long>(plan.gates_touching_global), exchanger->seconds());
  }
  return 0;
}

// A dynamic program: the shots walk the program in branches over the distributed state, as
// `vorn run` walks it in one process, with the same draws and the same outcome keys.
template <typename T>
int simulate_dynamic(const Options& options, const sim::Program& program, Report report,
                     const Ranks& ranks) {
  std::optional<DistributedState<T>> state;
  if (!allocated_everywhere([&] { state.emplace(ranks, options.fuse); }, ranks)) {
    return kExitFailure;
  }
  MPI_Barrier(ranks.comm);
  if (fault_strikes(Fault::KillSimulate, ranks.rank)) {
    die_now();
  }
  const double start = MPI_Wtime();
  std::optional<sim::DynamicOutcome> walked;
  try {
    walked.emplace(sim::walk_program(program, *state, options.shots,
                                     sim::SampleRng::seed_from_u64(report.seed).key()));
  } catch (const sim::LoopLimit& e) {
    // Every rank walks the same branches with the same draws, so all of them stop here.
    say(ranks, "vorn-mpi: " + options.file + ": " + e.what());
    return kExitFailure;
  }
  const sim::DynamicOutcome& outcome = *walked;
  report.simulate_seconds = elapsed_since(start, ranks);

  if (ranks.rank == 0) {
    std::vector<std::uint64_t> tally(outcome.bit_arrays.size());
    for (const std::uint32_t id : outcome.memory) {
      ++tally[id];
    }
    for (std::size_t id = 0; id < tally.size(); ++id) {
      report.counts.emplace_back(sim::outcome_key(program, outcome.bit_arrays[id]), tally[id]);
    }
    print_report(options, report);
  }
  if (options.statevector.empty() && options.probabilities.empty()) {
    return 0;
  }
  if (!outcome.single_final_state) {
    const std::string& path =
        options.statevector.empty() ? options.probabilities : options.statevector;
    say(ranks, "vorn-mpi: cannot write " + path + ": " + outcome.no_final_state);
    return kExitFailure;
  }
  StateFiles files;
  if (!files.open(options, ranks) || !files.write<T>(state->slice(), ranks)) {
    return kExitFailure;
  }
  return 0;
}

int run(int argc, char** argv, Ranks ranks) {
  auto parsed = parse_arguments(argc, argv);
  if (const auto* message = std::get_if<std::string>(&parsed)) {
    say(ranks, "vorn-mpi: " + *message + "\n" + std::string(kUsage));
    return kExitBadInput;
  }
  const Options& options = std::get<Options>(parsed);
  if ((ranks.size & (ranks.size - 1)) != 0) {
    say(ranks, "vorn-mpi: the number of ranks must be a power of two (got " +
                   std::to_string(ranks.size) + ")");
    return kExitBadInput;
  }
  while ((std::uint64_t{1} << ranks.global_qubits) < ranks.size) {
    ++ranks.global_qubits;
  }

  const double read_start = MPI_Wtime();
  auto text = read_program(options, ranks);
  if (text.index() == 1) {
    say(ranks, "vorn-mpi: " + std::get<1>(text));
    return kExitBadInput;
  }
  // Includes are found from the file's folder; a program on standard input has none.
  qasm::ProgramSource source;
  source.file_name = options.file == "-" ? "" : options.file;
  const std::uint64_t rank = ranks.rank;
  source.read_file = [rank](const std::string& path) -> std::optional<std::string> {
    if (fault_strikes(Fault::Include, rank)) {
      return std::nullopt;
    }
    return qasm::read_file_from_disk(path);
  };
  // Every rank reads the included files itself, and one may fail where the others succeed (a
  // file that only some nodes can see): the ranks agree before going on, and rank 0 says why.
  auto parsed_program = qasm::read_program(std::get<0>(text), source);
  std::optional<std::string> read_error;
  if (!parsed_program.ok()) {
    read_error = parsed_program.error().render();
  }
  if (auto failed = agree(read_error, ranks)) {
    say(ranks, read_error ? *read_error
                          : "vorn-mpi: rank " + std::to_string(failed->rank) + " of " +
                                std::to_string(ranks.size) + ": " + failed->message);
    return kExitBadInput;
  }
  const sim::Program& program = parsed_program.value();
  const sim::Circuit circuit = circuit_of(program);
  const double read_seconds = elapsed_since(read_start, ranks);

  const std::uint64_t n = circuit.n_qubits();
  if (n == 0) {
    say(ranks, core::messages::ZERO_QUBITS);
    return kExitBadInput;
  }
  if (ranks.global_qubits >= n) {
    say(ranks, "vorn-mpi: " + std::to_string(ranks.size) + " ranks need more than " +
                   std::to_string(ranks.global_qubits) + " qubits; this circuit has " +
                   std::to_string(n) + " (each rank holds 2^(n-k) amplitudes of 2^k ranks, k < n)");
    return kExitBadInput;
  }
  ranks.local_qubits = n - ranks.global_qubits;
  if (options.fuse != 0 && ranks.local_qubits < options.fuse) {
    say(ranks, "vorn-mpi: " + std::to_string(ranks.size) + " ranks leave " +
                   std::to_string(ranks.local_qubits) + " local qubits per rank; --fuse " +
                   std::to_string(options.fuse) + " needs " + std::to_string(options.fuse) +
                   " (use a smaller width or at most " +
                   std::to_string(std::uint64_t{1} << (n - options.fuse)) + " ranks)");
    return kExitBadInput;
  }
  const unsigned needed = local_qubits_needed(circuit.ops());
  if (ranks.local_qubits < needed) {
    say(ranks, "vorn-mpi: " + std::to_string(ranks.size) + " ranks leave " +
                   std::to_string(ranks.local_qubits) +
                   " local qubit per rank; this circuit's "
                   "two-target gates need " +
                   std::to_string(needed) + " (use at most " +
                   std::to_string(std::uint64_t{1} << (n - needed)) + " ranks)");
    return kExitBadInput;
  }

  // Observables are read before anything is allocated; the first fault ends the job.
  std::vector<sim::PauliSum> observables;
  for (const std::string& text : options.expect) {
    auto observable = sim::parse_observable(text, n);
    if (!observable.ok()) {
      say(ranks, "vorn-mpi: " + observable.error());
      return kExitBadInput;
    }
    observables.push_back(std::move(observable).value());
  }
  if (!observables.empty() && !sim::is_static(program)) {
    say(ranks,
        "vorn-mpi: expectation values need a single final state: this program has mid-circuit "
        "measurements, resets or conditions, so its state depends on measurement outcomes");
    return kExitBadInput;
  }

  Report report;
  report.file = options.file == "-" ? "<stdin>" : options.file;
  report.n_qubits = n;
  report.n_cbits = program.n_bits;
  for (const sim::Operation& op : circuit.ops()) {
    report.gates += std::holds_alternative<sim::GateOp>(op) ? 1 : 0;
  }
  report.shots = options.shots;
  report.seed = shared_seed(options, ranks);
  report.precision = options.precision == core::Precision::F32 ? "f32" : "f64";
  report.threads = core::pool_size();
  report.ranks = ranks.size;
  report.read_seconds = read_seconds;
  if (!sim::is_static(program)) {
    report.measured = std::any_of(
        program.instructions.begin(), program.instructions.end(),
        [](const sim::Instruction& i) { return std::holds_alternative<sim::Measure>(i); });
    return options.precision == core::Precision::F32
               ? simulate_dynamic<float>(options, program, std::move(report), ranks)
               : simulate_dynamic<double>(options, program, std::move(report), ranks);
  }
  return options.precision == core::Precision::F32
             ? simulate<float>(options, program, circuit, observables, std::move(report), ranks)
             : simulate<double>(options, program, circuit, observables, std::move(report), ranks);
}

}  // namespace
}  // namespace vorn::mpi

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  vorn::mpi::Ranks ranks;
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  ranks.rank = static_cast<std::uint64_t>(rank);
  ranks.size = static_cast<std::uint64_t>(size);
  int status = 0;
  try {
    status = vorn::mpi::run(argc, argv, ranks);
  } catch (const std::exception& e) {
    // A broken invariant on one rank: the others may be waiting for it, so the job ends here.
    std::fprintf(stderr, "vorn-mpi: rank %d: %s\n", rank, e.what());
    MPI_Abort(MPI_COMM_WORLD, 1);
  }
  MPI_Finalize();
  return status;
}
