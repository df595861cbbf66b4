// Dynamic programs: the branch walk over an abstract state, and the single-process state it
// runs on here.
#include "simulator/dynamic.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <unordered_map>
#include <utility>

#include "core/abort.h"
#include "core/kernels.h"
#include "core/parallel.h"
#include "core/reduce.h"
#include "simulator/fused_passes.h"
#include "simulator/messages.h"
#include "simulator/passes.h"
#include "simulator/rng.h"
#include "simulator/sampling.h"
#include "simulator/state_runs.h"

namespace vorn::sim {
namespace {

using core::Complex;

template <typename T>
class LocalState final : public BranchState {
 public:
  // fusion: 0 runs the gates exactly, 2..5 fuses each stretch with that width.
  LocalState(std::uint64_t n_qubits, unsigned fusion)
      : n_(n_qubits), fusion_(fusion), state_(n_qubits) {}

  void apply_operations(std::span<const Operation> ops, std::optional<double> phase) override {
    if (fusion_ != 0) {
      // A stretch is planned once per run, however many branches and loop rounds enter it: the
      // walk hands out the same stretch as the same part of one operation list.
      auto [plan, fresh] = plans_.try_emplace({ops.data(), ops.size()});
      if (fresh) {
        plan->second = plan_operations(ops, fusion_);
      }
      execute_fused_plan(state_.amplitudes(), std::span<const FusedOp>(plan->second), phase);
      return;
    }
    execute_operations(state_.amplitudes(), ops, phase);
  }

  std::array<double, 2> probabilities(std::uint64_t qubit) override {
    const std::span<const Complex<T>> v = state_.amplitudes();
    const auto half_qubits = static_cast<unsigned>(n_ - 1);
    // The tree over all indices with zeros where bit qubit differs from o adds each zero to a
    // sum of the other half (x + 0.0 is x for every square, NaN included): it is the tree over
    // the indices of one half alone, which this reads.
    std::array<double, 2> p{};
    for (std::uint64_t o = 0; o < 2; ++o) {
      p[o] = core::pairwise_sum(0, half_qubits, [v, qubit, o](std::uint64_t j) {
        const Complex<T>& a = v[insert_bit(j, qubit, o)];
        const double re = a.re;
        const double im = a.im;
        return re * re + im * im;
      });
    }
    return p;
  }

  void project(std::uint64_t qubit, unsigned outcome, double probability) override {
    project_onto<T>(state_.amplitudes(), qubit, outcome, projection_scale<T>(probability));
  }

  void flip(std::uint64_t qubit) override { flip_qubit<T>(state_.amplitudes(), qubit); }

  bool save() override {
    try {
      core::StateVector<T> copy = take_spare();
      const Complex<T>* from = state_.amplitudes().data();
      Complex<T>* to = copy.amplitudes().data();
      for_each_index(state_.len(), [from, to](std::uint64_t b, std::uint64_t e) {
        std::memcpy(to + b, from + b, (e - b) * sizeof(Complex<T>));
      });
      saved_.push_back(std::move(copy));
    } catch (const core::AllocationFailure&) {
      return false;
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  // The replaced state is kept as a spare for the next copy.
  void restore() override {
    spares_.push_back(std::move(state_));
    state_ = std::move(saved_.back());
    saved_.pop_back();
  }

  void reset() override {
    const std::span<Complex<T>> v = state_.amplitudes();
    for_each_index(v.size(), [v](std::uint64_t b, std::uint64_t e) {
      std::memset(static_cast<void*>(v.data() + b), 0, (e - b) * sizeof(Complex<T>));
    });
    v[0] = Complex<T>{1, 0};
  }

  std::vector<std::uint64_t> sample(std::span<const double> uniforms) override {
    return search_sorted(cumulative_probabilities(state_), uniforms);
  }

  core::StateVector<T> take() { return std::move(state_); }

 private:
  // A state for a copy: a spare when there is one, which spares the allocation and the zero
  // fill of a new state. Spares are states the walk held before, so the memory held never
  // exceeds the most states held at once.
  core::StateVector<T> take_spare() {
    if (spares_.empty()) {
      return core::StateVector<T>(n_);
    }
    core::StateVector<T> spare = std::move(spares_.back());
    spares_.pop_back();
    return spare;
  }

  // Runs fn(zero, one, len) over the state's pairs of runs: the amplitudes [zero, zero + len)
  // have bit qubit 0, and [one, one + len) are the same indices with it 1. Together the runs
  // cover the state once.

  std::uint64_t n_;
  unsigned fusion_;
  std::map<std::pair<const Operation*, std::size_t>, std::vector<FusedOp>> plans_;
  core::StateVector<T> state_;
  std::vector<core::StateVector<T>> saved_;
  std::vector<core::StateVector<T>> spares_;
};

// Outcome 1 iff u * (p0 + p1) >= p0; an outcome of probability 0 (reached by rounding) gives way
// to the other.
unsigned choose_outcome(const std::array<double, 2>& p, double u) {
  unsigned o = u * (p[0] + p[1]) >= p[0] ? 1 : 0;
  if (p[o] == 0.0) {
    o = 1 - o;
  }
  return o;
}

// The outcome every u gives, when there is one: one probability is 0, or their sum is NaN (no
// comparison with it holds).
std::optional<unsigned> certain_outcome(const std::array<double, 2>& p) {
  if (p[0] == 0.0 || p[1] == 0.0 || std::isnan(p[0] + p[1])) {
    return choose_outcome(p, 0.0);
  }
  return std::nullopt;
}

// Where the walk stops between stretches of gates: at a mid-circuit measurement, a reset, a
// jump, or the end. Terminal measurements ride along in the stretches (the passes skip them).
struct Layout {
  // Per instruction, the operation the passes take: the gate, or the measurement; the other
  // instructions never stand in a stretch.
  std::vector<Operation> operations;
  std::vector<bool> terminal;
  // Per instruction index (and the end), the first index at or after it that is not a gate or
  // a terminal measurement.
  std::vector<std::size_t> stretch_end;
  // Per loop, keyed by where its jumps back land: the last of those jumps. Instructions from
  // the key to that jump are inside the loop.
  std::unordered_map<std::size_t, std::size_t> loop_last;
};

Layout layout_of(const Program& program) {
  const std::size_t size = program.instructions.size();
  Layout layout;
  layout.terminal = terminal_measurements(program);
  layout.operations.reserve(size);
  layout.stretch_end.assign(size + 1, size);
  for (std::size_t i = 0; i < size; ++i) {
    const Instruction& instruction = program.instructions[i];
    const auto* jump = std::get_if<Jump>(&instruction);
    const auto* test = std::get_if<JumpUnless>(&instruction);
    const std::size_t target = jump != nullptr   ? jump->target
                               : test != nullptr ? test->target
                                                 : i + 1;
    if (target <= i) {
      std::size_t& last = layout.loop_last[target];
      last = std::max(last, i);
    }
    if (const auto* gate = std::get_if<GateOp>(&instruction)) {
      layout.operations.emplace_back(*gate);
    } else if (const auto* controlled = std::get_if<ControlledGate>(&instruction)) {
      layout.operations.emplace_back(*controlled);
    } else if (const auto* measure = std::get_if<Measure>(&instruction)) {
      layout.operations.emplace_back(*measure);
    } else {
      layout.operations.emplace_back(MeasureAll{});
    }
  }
  for (std::size_t i = size; i-- > 0;) {
    const bool in_stretch = is_gate(program.instructions[i]) || layout.terminal[i];
    layout.stretch_end[i] = in_stretch ? layout.stretch_end[i + 1] : i;
  }
  return layout;
}

// A group of shots on one path: where it stands, how many draws each of its shots has made,
// its classical bits and the terminal measurements it has passed.
struct Branch {
  std::size_t pc = 0;
  std::uint64_t draws = 0;
  std::vector<std::uint8_t> bits;
  std::vector<std::uint64_t> shots;
  std::vector<std::size_t> terminal;
  // The loops the branch is in, and how many jumps back this entry into each has taken.
  struct Loop {
    std::size_t first = 0;  // where its jumps back land
    std::size_t last = 0;   // the last of them
    std::uint64_t rounds = 0;
  };
  std::vector<Loop> loops;
};

// A branch left for later at a split: it takes outcome 1 of the event at its pc, from the newest
// saved copy (saved), or it is re-simulated from the start with its shots alone.
struct Pending {
  Branch branch;
  bool saved = false;
  double probability = 0.0;
};

class Walker {
 public:
  Walker(const Program& program, BranchState& state, std::uint64_t shots,
         const std::array<std::uint32_t, 8>& key, const DynamicOptions& options)
      : program_(program),
        layout_(layout_of(program)),
        state_(state),
        shots_(shots),
        key_(key),
        options_(options) {
    if (program.global_phase != 0.0) {
      // +0.0 and -0.0 skip the phase; NaN compares unequal and is applied.
      phase_ = program.global_phase;
    }
    initial_bits_ = program.initial_bits;
    initial_bits_.resize(program.n_bits, 0);
    // Static: no mid-circuit measurement, reset or jump, so the first stretch is the whole
    // program (is_static).
    outcome_.is_static = layout_.stretch_end[0] == program.instructions.size();
  }

  DynamicOutcome run() {
    outcome_.memory.assign(shots_, 0);
    Branch current{0, 0, initial_bits_, {}, {}, {}};
    current.shots.resize(shots_);
    for (std::uint64_t s = 0; s < shots_; ++s) {
      current.shots[s] = s;
    }
    statistics().evolutions = 1;
    statistics().peak_states = 1;
    std::vector<Pending> pending;
    std::uint64_t saved = 0;
    std::uint64_t finished = 0;
    while (advance(current, pending, saved)) {
      finish(current);
      ++finished;
      if (pending.empty()) {
        break;
      }
      Pending next = std::move(pending.back());
      pending.pop_back();
      if (next.saved) {
        state_.restore();
        --saved;
        current = std::move(next.branch);
        take_outcome(current, 1, next.probability);
      } else {
        state_.reset();
        ++statistics().replays;
        current = Branch{0, 0, initial_bits_, std::move(next.branch.shots), {}, {}};
      }
    }
    if (outcome_.no_final_state.empty()) {
      outcome_.single_final_state = finished == 1;
      if (finished > 1) {
        outcome_.no_final_state = messages::final_state_branches(finished);
      }
    }
    number_bit_arrays();
    return std::move(outcome_);
  }

 private:
  DynamicStatistics& statistics() { return outcome_.statistics; }

  // Moves the branch from the jump at its pc to `to`. The loops that `to` lies outside of are
  // left; a jump back (the loop's own, or a `continue`) is one more round of its loop, and past
  // the limit the run ends.
  void jump_to(Branch& b, std::size_t to) const {
    const std::size_t from = b.pc;
    b.pc = to;
    if (!b.loops.empty()) {
      std::erase_if(b.loops,
                    [to](const Branch::Loop& loop) { return to < loop.first || to > loop.last; });
    }
    if (to > from) {
      return;
    }
    auto loop = std::find_if(b.loops.begin(), b.loops.end(),
                             [to](const Branch::Loop& l) { return l.first == to; });
    if (loop == b.loops.end()) {
      b.loops.push_back(Branch::Loop{to, layout_.loop_last.at(to), 0});
      loop = b.loops.end() - 1;
    }
    if (++loop->rounds > options_.max_loop_rounds) {
      std::string name;
      for (const auto& [test, text] : program_.loop_names) {
        if (test == to) {
          name = text;
        }
      }
      throw LoopLimit(messages::loop_limit(name, to, options_.max_loop_rounds));
    }
  }

  // Runs the branch to its end (true), splitting off the branches of further outcomes onto
  // `pending`; without shots, stops at the first random outcome instead (false).
  bool advance(Branch& b, std::vector<Pending>& pending, std::uint64_t& saved) {
    const std::size_t size = program_.instructions.size();
    for (;;) {
      if (b.pc == size) {
        // Reached after an event or a jump: the phase comes on its own.
        if (phase_.has_value()) {
          state_.apply_operations({}, phase_);
        }
        return true;
      }
      const std::size_t end = layout_.stretch_end[b.pc];
      if (end > b.pc) {
        for (std::size_t i = b.pc; i < end; ++i) {
          if (layout_.terminal[i]) {
            b.terminal.push_back(i);
          }
        }
        const bool last = end == size;
        state_.apply_operations(
            std::span<const Operation>(layout_.operations).subspan(b.pc, end - b.pc),
            last ? phase_ : std::nullopt);
        b.pc = end;
        if (last) {
          return true;
        }
      }
      const Instruction& instruction = program_.instructions[b.pc];
      if (const auto* jump = std::get_if<JumpUnless>(&instruction)) {
        const std::size_t to =
            condition_holds(program_, jump->condition, b.bits) ? b.pc + 1 : jump->target;
        jump_to(b, to);
        continue;
      }
      if (const auto* jump = std::get_if<Jump>(&instruction)) {
        jump_to(b, jump->target);
        continue;
      }
      if (const auto* set = std::get_if<SetBit>(&instruction)) {
        b.bits[set->bit] = condition_holds(program_, set->condition, b.bits) ? 1 : 0;
        ++b.pc;
        continue;
      }
      const std::uint64_t qubit = event_qubit(instruction);
      ++statistics().mid_circuit_events;
      const std::array<double, 2> p = state_.probabilities(qubit);
      const std::optional<unsigned> certain = certain_outcome(p);
      if (b.shots.empty()) {
        if (!certain.has_value()) {
          outcome_.no_final_state = messages::final_state_random_outcome(
              std::holds_alternative<Reset>(instruction), qubit, b.pc);
          return false;
        }
        take_outcome(b, *certain, p[*certain]);
        continue;
      }
      // Every shot makes this draw; when the outcome is certain its value changes nothing, and
      // since draws are found by position it need not be computed.
      const std::uint64_t d = b.draws++;
      if (certain.has_value()) {
        take_outcome(b, *certain, p[*certain]);
        continue;
      }
      std::vector<std::uint64_t> ones;
      std::size_t zeros = 0;
      for (const std::uint64_t s : b.shots) {
        if (choose_outcome(p, uniform_from_draw(draw_at(key_, s + 1, d))) == 1) {
          ones.push_back(s);
        } else {
          b.shots[zeros++] = s;
        }
      }
      b.shots.resize(zeros);
      if (ones.empty() || zeros == 0) {
        const unsigned o = ones.empty() ? 0 : 1;
        if (o == 1) {
          b.shots = std::move(ones);
        }
        take_outcome(b, o, p[o]);
        continue;
      }
      Pending other{b, false, p[1]};
      other.branch.shots = std::move(ones);
      if (!options_.force_replay && saved < options_.max_saved_states && state_.save()) {
        other.saved = true;
        ++saved;
        statistics().peak_states = std::max(statistics().peak_states, saved + 1);
      }
      ++statistics().evolutions;
      pending.push_back(std::move(other));
      take_outcome(b, 0, p[0]);
    }
  }

  static std::uint64_t event_qubit(const Instruction& instruction) {
    if (const auto* measure = std::get_if<Measure>(&instruction)) {
      return measure->qubit;
    }
    return std::get<Reset>(instruction).qubit;
  }

  // Projects onto the outcome of the event at b.pc, flips a reset qubit back to 0, records a
  // measurement's bit and moves past the event.
  void take_outcome(Branch& b, unsigned outcome, double probability) {
    const Instruction& instruction = program_.instructions[b.pc];
    const std::uint64_t qubit = event_qubit(instruction);
    state_.project(qubit, outcome, probability);
    if (const auto* measure = std::get_if<Measure>(&instruction)) {
      b.bits[measure->cbit] = static_cast<std::uint8_t>(outcome);
    } else if (outcome == 1) {
      state_.flip(qubit);
    }
    ++b.pc;
  }

  // The shots of a branch at the end: one whole-register index each (when the branch passed
  // terminal measurements), their bits written, each shot's bit array recorded.
  void finish(const Branch& b) {
    if (b.shots.empty()) {
      return;
    }
    std::vector<std::uint64_t> indices;
    if (!b.terminal.empty()) {
      std::vector<double> uniforms(b.shots.size());
      if (outcome_.is_static) {
        // The branch holds every shot in order: shot i takes draw i of the run's generator.
        SampleRng rng = SampleRng::from_key(key_);
        for (double& u : uniforms) {
          u = uniform_from_draw(rng.next_u64());
        }
      } else {
        for (std::size_t k = 0; k < b.shots.size(); ++k) {
          uniforms[k] = uniform_from_draw(draw_at(key_, b.shots[k] + 1, b.draws));
        }
      }
      indices = state_.sample(uniforms);
    }
    std::unordered_map<std::uint64_t, std::uint32_t> by_index;
    std::vector<std::uint8_t> bits;
    for (std::size_t k = 0; k < b.shots.size(); ++k) {
      const std::uint64_t index = indices.empty() ? 0 : indices[k];
      auto found = by_index.find(index);
      if (found == by_index.end()) {
        bits = b.bits;
        for (const std::size_t t : b.terminal) {
          const Measure& m = std::get<Measure>(program_.instructions[t]);
          bits[m.cbit] = static_cast<std::uint8_t>((index >> m.qubit) & 1);
        }
        found = by_index.emplace(index, bit_array_id(bits)).first;
      }
      outcome_.memory[b.shots[k]] = found->second;
    }
  }

  std::uint32_t bit_array_id(const std::vector<std::uint8_t>& bits) {
    std::string text(bits.begin(), bits.end());
    const auto found = ids_.find(text);
    if (found != ids_.end()) {
      return found->second;
    }
    if (ids_.size() >= std::numeric_limits<std::uint32_t>::max()) {
      core::abort_with(messages::TOO_MANY_BIT_ARRAYS);
    }
    const auto id = static_cast<std::uint32_t>(ids_.size());
    ids_.emplace(std::move(text), id);
    return id;
  }

  // Numbers the bit arrays in the order of the first shot that ends with each, whatever order
  // the branches ended in.
  void number_bit_arrays() {
    std::vector<const std::string*> by_id(ids_.size());
    for (const auto& [bits, id] : ids_) {
      by_id[id] = &bits;
    }
    constexpr std::uint32_t UNNUMBERED = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> number(ids_.size(), UNNUMBERED);
    for (std::uint32_t& id : outcome_.memory) {
      if (number[id] == UNNUMBERED) {
        number[id] = static_cast<std::uint32_t>(outcome_.bit_arrays.size());
        outcome_.bit_arrays.emplace_back(by_id[id]->begin(), by_id[id]->end());
      }
      id = number[id];
    }
  }

  const Program& program_;
  const Layout layout_;
  BranchState& state_;
  const std::uint64_t shots_;
  const std::array<std::uint32_t, 8> key_;
  const DynamicOptions options_;
  std::optional<double> phase_;
  std::vector<std::uint8_t> initial_bits_;
  // The distinct bit arrays met so far (one char per bit) and their provisional numbers.
  std::unordered_map<std::string, std::uint32_t> ids_;
  DynamicOutcome outcome_;
};

template <typename T>
DynamicRun<T> run_typed(const Program& program, std::uint64_t shots,
                        std::optional<std::uint64_t> seed, const DynamicOptions& options) {
  validate_program(program);
  // The state first, then the key, as sim::run creates them.
  LocalState<T> state(program.n_qubits, options.fusion);
  const SampleRng rng =
      seed.has_value() ? SampleRng::seed_from_u64(*seed) : SampleRng::from_entropy();
  DynamicRun<T> run{walk_program(program, state, shots, rng.key(), options), std::nullopt};
  if (run.outcome.single_final_state) {
    run.final_state = state.take();
  }
  return run;
}

}  // namespace

DynamicOutcome walk_program(const Program& program, BranchState& state, std::uint64_t shots,
                            const std::array<std::uint32_t, 8>& key,
                            const DynamicOptions& options) {
  return Walker(program, state, shots, key, options).run();
}

DynamicRunResult run_program(const Program& program, std::uint64_t shots,
                             std::optional<std::uint64_t> seed, core::Precision precision,
                             const DynamicOptions& options) {
  switch (precision) {
    case core::Precision::F32:
      return DynamicRunResult{std::in_place_index<0>,
                              run_typed<float>(program, shots, seed, options)};
    case core::Precision::F64:
      return DynamicRunResult{std::in_place_index<1>,
                              run_typed<double>(program, shots, seed, options)};
  }
  core::abort_with(messages::unknown_precision(static_cast<unsigned>(precision)));
}

}  // namespace vorn::sim
