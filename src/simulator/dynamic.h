// The engine path of dynamic programs (simulator/program.h): the shots travel in branches that
// share one state until a mid-circuit measurement or reset gives them different outcomes. The
// walk is written over an abstract state (BranchState), so that the single-process state here
// and a distributed one (each rank holding a slice) run the same walk.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "core/precision.h"
#include "core/state_vector.h"
#include "simulator/circuit.h"
#include "simulator/program.h"

namespace vorn::sim {

// What the walk asks of a state of n qubits. Every result is the same bits for any thread
// count, block size or split of the state.
class BranchState {
 public:
  virtual ~BranchState() = default;

  // Applies the gates of ops in order (Measure entries are skipped) in passes over the state,
  // bit for bit as each gate through its kernel in turn; then, when phase is given, multiplies
  // every amplitude by e^{i phase} as the engine does (simulator/passes.h execute_operations).
  virtual void apply_operations(std::span<const Operation> ops, std::optional<double> phase) = 0;

  // p(0) and p(1) of qubit: p(o) is the sum over all indices i, as a complete binary tree in
  // index order (core/reduce.h), of |a_i|^2 = re*re + im*im in double where bit qubit of i is
  // o, and of 0 elsewhere.
  virtual std::array<double, 2> probabilities(std::uint64_t qubit) = 0;

  // Keeps the amplitudes whose bit qubit is outcome, multiplied by 1/sqrt(probability)
  // (computed in double and rounded once to the state's float type), and zeroes the others.
  virtual void project(std::uint64_t qubit, unsigned outcome, double probability) = 0;

  // Exchanges the amplitudes of each pair of indices that differ in bit qubit: X, with no
  // arithmetic.
  virtual void flip(std::uint64_t qubit) = 0;

  // Pushes a copy of the state onto the saved copies; false, with nothing changed, when the
  // copy's memory cannot be obtained.
  virtual bool save() = 0;

  // Replaces the state by the newest saved copy, which leaves the saved copies.
  virtual void restore() = 0;

  // Sets the state to |0...0>.
  virtual void reset() = 0;

  // The whole-register outcome index for each uniform value, as sampling.h draws one: the
  // fixed-shape search over the cumulative probabilities of the state.
  virtual std::vector<std::uint64_t> sample(std::span<const double> uniforms) = 0;
};

struct DynamicOptions {
  // Never keeps a copy of the state where the shots split: every outcome but the first is
  // re-simulated from the start, as when a copy cannot be allocated.
  bool force_replay = false;
  // Saved copies held at once beyond which a split re-simulates instead (a test hook for the
  // mixed case).
  std::uint64_t max_saved_states = ~std::uint64_t{0};
  // 0: every gate runs exactly; 2..5: each stretch of gates between mid-circuit operations is
  // fused with this width (simulator/fused_passes.h).
  unsigned fusion = 0;
  // Rounds one entry into a loop may run (each jump back to its test is one); the next ends
  // the run with LoopLimit. The reading bounds its own loops the same way.
  std::uint64_t max_loop_rounds = 1'000'000;
};

// A loop of the program ran more rounds than DynamicOptions::max_loop_rounds allows: the
// message names it ("the 'while' loop at line 5:1 ran 1000000 rounds without ending").
class LoopLimit : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct DynamicStatistics {
  // Branches simulated: the first, and one more for each further outcome at a split.
  std::uint64_t evolutions = 0;
  // Branches re-simulated from the start because no copy was kept for them.
  std::uint64_t replays = 0;
  // The most states held at once: the working state and the saved copies.
  std::uint64_t peak_states = 0;
  // Mid-circuit measurements and resets performed, over all branches.
  std::uint64_t mid_circuit_events = 0;
};

// What a walk gives besides the state.
struct DynamicOutcome {
  // The distinct final bit arrays (n_bits values of 0 or 1 each), in the order of the first
  // shot that ends with each.
  std::vector<std::vector<std::uint8_t>> bit_arrays;
  // Per shot, in shot order: the index of its bit array.
  std::vector<std::uint32_t> memory;
  bool is_static = false;
  // Exactly one branch reached the end (with shots: every shot ended in it; without: the one
  // path did), and the walked state holds its final state, global phase applied.
  bool single_final_state = false;
  // Why there is no single final state, when there is none.
  std::string no_final_state;
  DynamicStatistics statistics;
};

// Walks a valid program (validate_program) over `state`, which holds |0...0> of
// program.n_qubits qubits, with `shots` shots drawing from streams of `key`:
// - a static program (is_static) runs as sim::run does: its gates in one pass list with the
//   global phase, then shot i takes draw i of stream 0 for its whole-register outcome;
// - otherwise shot s draws from stream s + 1, one draw per mid-circuit measurement or reset on
//   its path and one at the end; branches are walked depth first, outcome 0 first, with one
//   saved copy per open split (or a re-simulation from the start when none can be kept);
// - without shots one path is walked while every outcome is certain; it stops at the first
//   random one.
// At the end of a branch the terminal measurements write bit (index >> qubit) & 1 of the
// shot's drawn index into their bits, in program order.
DynamicOutcome walk_program(const Program& program, BranchState& state, std::uint64_t shots,
                            const std::array<std::uint32_t, 8>& key,
                            const DynamicOptions& options = {});

template <typename T>
struct DynamicRun {
  DynamicOutcome outcome;
  // Present when outcome.single_final_state.
  std::optional<core::StateVector<T>> final_state;
};

// One alternative per precision, F32 first.
using DynamicRunResult = std::variant<DynamicRun<float>, DynamicRun<double>>;

// Checks the program (validate_program), creates the state, then the run's key (from seed, or
// from the operating system's entropy, as sim::run does), and walks the program. For a static
// program the state and the shots' whole-register indices are sim::run's, bit for bit.
// Failures throw core::Abort or core::AllocationFailure (the first state only: a copy that
// cannot be allocated is replaced by re-simulation).
DynamicRunResult run_program(const Program& program, std::uint64_t shots,
                             std::optional<std::uint64_t> seed, core::Precision precision,
                             const DynamicOptions& options = {});

}  // namespace vorn::sim
