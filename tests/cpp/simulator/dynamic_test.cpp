// Dynamic programs: the branch walk against a per-shot reference simulator, exact outcomes of
// deterministic programs, outcome frequencies of random ones, the static path against sim::run,
// and independence from the pool, the blocking and the copies kept.
#include "simulator/dynamic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/gates.h"
#include "core/parallel.h"
#include "random_circuit.h"
#include "simulator/engine.h"
#include "simulator/passes.h"
#include "simulator/rng.h"
#include "simulator/sampling.h"

namespace vorn::sim {
namespace {

using core::Complex;
using Key = std::array<std::uint32_t, 8>;

template <typename T>
constexpr core::Precision precision_of() {
  return std::is_same_v<T, float> ? core::Precision::F32 : core::Precision::F64;
}

// Programs written instruction by instruction; an `if` is a JumpUnless over its body.
class Builder {
 public:
  Builder(std::uint64_t n_qubits, std::uint64_t n_bits) {
    p_.n_qubits = n_qubits;
    p_.n_bits = n_bits;
  }

  Builder& gate(GateKind kind, std::uint64_t q0, std::uint64_t q1 = 0, std::uint64_t q2 = 0,
                double theta = 0.0) {
    p_.instructions.emplace_back(GateOp{Gate{kind, theta}, {q0, q1, q2}});
    return *this;
  }
  Builder& measure(std::uint64_t qubit, std::uint64_t bit) {
    p_.instructions.emplace_back(Measure{qubit, bit});
    return *this;
  }
  Builder& reset(std::uint64_t qubit) {
    p_.instructions.emplace_back(Reset{qubit});
    return *this;
  }
  std::uint32_t condition(const ConditionNode& node) {
    p_.conditions.push_back(node);
    return static_cast<std::uint32_t>(p_.conditions.size() - 1);
  }
  std::uint32_t bit_is_one(std::uint64_t bit) {
    return condition({ConditionKind::Bit, CompareOp::Eq, bit});
  }
  // Opens an `if` on the condition; end_if(returned index) closes it.
  std::size_t begin_if(std::uint32_t condition) {
    p_.instructions.emplace_back(JumpUnless{condition, 0});
    return p_.instructions.size() - 1;
  }
  void end_if(std::size_t at) {
    std::get<JumpUnless>(p_.instructions[at]).target = p_.instructions.size();
  }
  // An `if` on the bit around one X: a trailing one makes every measurement before it
  // mid-circuit.
  Builder& x_if(std::uint64_t bit, std::uint64_t qubit) {
    const std::size_t at = begin_if(bit_is_one(bit));
    gate(GateKind::X, qubit);
    end_if(at);
    return *this;
  }
  Program& program() { return p_; }

 private:
  Program p_;
};

// ---------------------------------------------------------------------------------------------
// The reference: one shot at a time on a plain vector, gates through their kernels one by one,
// each measurement and reset done where it stands with the shot's own draws, the terminal
// measurements read from one index drawn at the end by a linear scan of the cumulative table.

std::uint64_t stream_draw(const Key& key, std::uint64_t stream, std::uint64_t d) {
  const std::array<std::uint32_t, 16> block = chacha12_block(key, d / 8, stream);
  return static_cast<std::uint64_t>(block[2 * (d % 8)]) |
         (static_cast<std::uint64_t>(block[2 * (d % 8) + 1]) << 32);
}

// p(o) of qubit: the complete binary tree over every index, in index order, with 0 where the
// qubit's bit is not o.
template <typename T>
double tree_probability(const std::vector<Complex<T>>& v, std::uint64_t first, std::uint64_t count,
                        std::uint64_t qubit, std::uint64_t o) {
  if (count == 1) {
    if (((first >> qubit) & 1) != o) {
      return 0.0;
    }
    const double re = v[first].re;
    const double im = v[first].im;
    return re * re + im * im;
  }
  return tree_probability(v, first, count / 2, qubit, o) +
         tree_probability(v, first + count / 2, count / 2, qubit, o);
}

template <typename T>
struct Shot {
  std::vector<std::uint8_t> bits;
  std::vector<Complex<T>> state;
  // The outcomes of its mid-circuit measurements and resets, in order.
  std::vector<std::uint8_t> path;
};

template <typename T>
Shot<T> reference_shot(const Program& p, const Key& key, std::uint64_t shot) {
  const bool static_program = is_static(p);
  const std::vector<bool> terminal = terminal_measurements(p);
  Shot<T> out;
  std::vector<Complex<T>>& v = out.state;
  v.assign(std::size_t{1} << p.n_qubits, Complex<T>{0, 0});
  v[0] = {1, 0};
  out.bits = p.initial_bits;
  out.bits.resize(p.n_bits, 0);
  std::vector<Measure> at_end;
  std::uint64_t d = 0;
  testing::run_with_blocking({0, 0, 0}, [&] {
    for (std::size_t pc = 0; pc < p.instructions.size();) {
      const Instruction& instruction = p.instructions[pc];
      if (const auto* gate = std::get_if<GateOp>(&instruction)) {
        const Operation op = *gate;
        apply_operations<T>(v, std::span<const Operation>(&op, 1));
        ++pc;
      } else if (const auto* jump = std::get_if<JumpUnless>(&instruction)) {
        pc = condition_holds(p, jump->condition, out.bits) ? pc + 1 : jump->target;
      } else if (const auto* jump = std::get_if<Jump>(&instruction)) {
        pc = jump->target;
      } else if (terminal[pc]) {
        at_end.push_back(std::get<Measure>(instruction));
        ++pc;
      } else {
        const auto* measure = std::get_if<Measure>(&instruction);
        const std::uint64_t q =
            measure != nullptr ? measure->qubit : std::get<Reset>(instruction).qubit;
        const double p0 = tree_probability(v, 0, v.size(), q, 0);
        const double p1 = tree_probability(v, 0, v.size(), q, 1);
        const double u = uniform_from_draw(stream_draw(key, shot + 1, d++));
        std::uint64_t o = u * (p0 + p1) >= p0 ? 1 : 0;
        if ((o == 0 ? p0 : p1) == 0.0) {
          o = 1 - o;
        }
        const T scale = static_cast<T>(1.0 / std::sqrt(o == 0 ? p0 : p1));
        for (std::size_t i = 0; i < v.size(); ++i) {
          if (((i >> q) & 1) == o) {
            v[i] = {v[i].re * scale, v[i].im * scale};
          } else {
            v[i] = {0, 0};
          }
        }
        out.path.push_back(static_cast<std::uint8_t>(o));
        if (measure != nullptr) {
          out.bits[measure->cbit] = static_cast<std::uint8_t>(o);
        } else if (o == 1) {
          for (std::size_t i = 0; i < v.size(); ++i) {
            if (((i >> q) & 1) == 0) {
              std::swap(v[i], v[i | (std::size_t{1} << q)]);
            }
          }
        }
        ++pc;
      }
    }
  });
  if (p.global_phase != 0.0) {
    const T c = static_cast<T>(std::cos(p.global_phase));
    const T s = static_cast<T>(std::sin(p.global_phase));
    for (Complex<T>& a : v) {
      a = {a.re * c - a.im * s, a.im * c + a.re * s};
    }
  }
  if (!at_end.empty()) {
    const double u = uniform_from_draw(static_program ? stream_draw(key, 0, shot)
                                                      : stream_draw(key, shot + 1, d));
    double sum = 0.0;
    std::uint64_t index = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
      const T probability = v[i].re * v[i].re + v[i].im * v[i].im;
      sum = i == 0 ? static_cast<double>(probability) : sum + static_cast<double>(probability);
      // The last entry of the table is 1.0 whatever the sum.
      if ((i + 1 == v.size() ? 1.0 : sum) <= u) {
        ++index;
      }
    }
    index = std::min<std::uint64_t>(index, v.size() - 1);
    for (const Measure& m : at_end) {
      out.bits[m.cbit] = static_cast<std::uint8_t>((index >> m.qubit) & 1);
    }
  }
  return out;
}

template <typename T>
bool same_bits(std::span<const Complex<T>> a, std::span<const Complex<T>> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}

template <typename T>
DynamicRun<T> run_at(const Program& p, std::uint64_t shots, std::optional<std::uint64_t> seed,
                     const DynamicOptions& options = {}) {
  return std::get<DynamicRun<T>>(run_program(p, shots, seed, precision_of<T>(), options));
}

const std::vector<std::uint8_t>& bits_of(const DynamicOutcome& o, std::uint64_t shot) {
  return o.bit_arrays.at(o.memory.at(shot));
}

// Every shot's bits are the reference's; the final state, when there is one, is every shot's
// reference state to the bit, and there is one exactly when every shot took the same path.
template <typename T>
void expect_reference(const Program& p, std::uint64_t shots, std::uint64_t seed,
                      const DynamicRun<T>& run, std::uint64_t shots_checked = ~std::uint64_t{0}) {
  const Key key = SampleRng::seed_from_u64(seed).key();
  ASSERT_EQ(run.outcome.memory.size(), shots);
  EXPECT_EQ(run.outcome.is_static, is_static(p));
  std::vector<std::vector<std::uint8_t>> paths;
  for (std::uint64_t s = 0; s < std::min(shots, shots_checked); ++s) {
    SCOPED_TRACE("shot " + std::to_string(s));
    const Shot<T> expected = reference_shot<T>(p, key, s);
    ASSERT_EQ(bits_of(run.outcome, s), expected.bits);
    if (run.final_state.has_value()) {
      ASSERT_TRUE(same_bits<T>(run.final_state->amplitudes(), expected.state));
    }
    if (std::find(paths.begin(), paths.end(), expected.path) == paths.end()) {
      paths.push_back(expected.path);
    }
  }
  EXPECT_EQ(run.final_state.has_value(), run.outcome.single_final_state);
  if (shots > 0 && shots <= shots_checked) {
    EXPECT_EQ(run.final_state.has_value(), paths.size() == 1) << run.outcome.no_final_state;
    if (paths.size() > 1) {
      EXPECT_EQ(run.outcome.no_final_state,
                "the final state depends on measurement outcomes: the shots ended in " +
                    std::to_string(paths.size()) + " different branches");
    }
  }
  // Each distinct bit array is named by some shot, in the order of its first shot.
  std::uint32_t next = 0;
  for (const std::uint32_t id : run.outcome.memory) {
    ASSERT_LE(id, next);
    next = std::max(next, id + 1);
  }
  EXPECT_EQ(next, run.outcome.bit_arrays.size());
}

// A count of shots with probability p each, within five standard deviations of its mean.
void expect_binomial(std::uint64_t count, std::uint64_t shots, double p) {
  const double mean = static_cast<double>(shots) * p;
  const double sd = std::sqrt(static_cast<double>(shots) * p * (1 - p));
  EXPECT_NEAR(static_cast<double>(count), mean, 5 * sd + 1e-9) << "p = " << p;
}

// ---------------------------------------------------------------------------------------------
// Random programs: every gate kind, measurements anywhere, resets, ifs and if-elses on bits and
// register comparisons, initial bits and a global phase.

GateOp random_gate(std::mt19937_64& rng, std::uint64_t n) {
  const auto kind = static_cast<GateKind>(rng() % 18);
  std::array<std::uint64_t, 3> q{};
  for (unsigned i = 0; i < core::arity(kind); ++i) {
    do {
      q[i] = rng() % n;
    } while (std::find(q.begin(), q.begin() + i, q[i]) != q.begin() + i);
  }
  std::uniform_real_distribution<double> angle(-4.0, 4.0);
  return GateOp{Gate{kind, angle(rng), angle(rng), angle(rng)}, q};
}

ConditionNode random_leaf(std::mt19937_64& rng, const Program& p) {
  if (rng() % 2 == 0) {
    return {ConditionKind::Bit, CompareOp::Eq, rng() % p.n_bits};
  }
  const BitRegister& r = p.registers[rng() % p.registers.size()];
  const auto op = static_cast<CompareOp>(rng() % 6);
  const auto value = static_cast<std::int64_t>(rng() % ((std::uint64_t{1} << r.size) + 1)) - 1;
  return {ConditionKind::Compare, op, 0, r.offset, r.size, value};
}

std::uint32_t random_condition(std::mt19937_64& rng, Builder& b) {
  const std::uint32_t left = b.condition(random_leaf(rng, b.program()));
  switch (rng() % 4) {
    case 0:
      return b.condition({ConditionKind::Not, CompareOp::Eq, 0, 0, 0, 0, left});
    case 1: {
      const std::uint32_t right = b.condition(random_leaf(rng, b.program()));
      const ConditionKind kind = rng() % 2 == 0 ? ConditionKind::And : ConditionKind::Or;
      return b.condition({kind, CompareOp::Eq, 0, 0, 0, 0, left, right});
    }
    default:
      return left;
  }
}

Program random_program(std::mt19937_64& rng, std::uint64_t n_qubits, std::uint64_t n_bits,
                       std::size_t length) {
  Builder b(n_qubits, n_bits);
  Program& p = b.program();
  p.registers = {{"a", 0, n_bits / 2}, {"b", n_bits / 2, n_bits - n_bits / 2}};
  if (rng() % 2 == 0) {
    for (std::uint64_t k = 0; k < n_bits; ++k) {
      p.initial_bits.push_back(static_cast<std::uint8_t>(rng() % 2));
    }
  }
  p.global_phase = rng() % 2 == 0 ? 0.0 : std::uniform_real_distribution<double>(-3, 3)(rng);
  // Open ifs (JumpUnless index) and open elses (Jump index).
  struct Open {
    std::size_t at;
    bool is_else;
  };
  std::vector<Open> open;
  for (std::size_t k = 0; k < length; ++k) {
    switch (rng() % 12) {
      case 0:
      case 1:
      case 2:
      case 3:
        p.instructions.emplace_back(random_gate(rng, n_qubits));
        break;
      case 4:
      case 5:
      case 6:
        b.measure(rng() % n_qubits, rng() % n_bits);
        break;
      case 7:
        b.reset(rng() % n_qubits);
        break;
      case 8:
        open.push_back({b.begin_if(random_condition(rng, b)), false});
        break;
      case 9:
      case 10:
        if (!open.empty()) {
          const Open top = open.back();
          open.pop_back();
          if (!top.is_else && rng() % 2 == 0) {
            // Close the body with a jump over an else branch.
            p.instructions.emplace_back(Jump{0});
            b.end_if(top.at);
            open.push_back({p.instructions.size() - 1, true});
          } else if (top.is_else) {
            std::get<Jump>(p.instructions[top.at]).target = p.instructions.size();
          } else {
            b.end_if(top.at);
          }
        }
        break;
      default:
        p.instructions.emplace_back(GateOp{Gate{GateKind::H}, {rng() % n_qubits, 0, 0}});
        break;
    }
  }
  while (!open.empty()) {
    const Open top = open.back();
    open.pop_back();
    if (top.is_else) {
      std::get<Jump>(p.instructions[top.at]).target = p.instructions.size();
    } else {
      b.end_if(top.at);
    }
  }
  // Some measurements after the last jump: terminal unless a later gate or reset touches them.
  for (std::uint64_t k = rng() % 4; k > 0; --k) {
    if (rng() % 3 == 0) {
      p.instructions.emplace_back(random_gate(rng, n_qubits));
    }
    b.measure(rng() % n_qubits, rng() % n_bits);
  }
  validate_program(p);
  return p;
}

template <typename T>
class DynamicTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(DynamicTest, Precisions);

TYPED_TEST(DynamicTest, RandomProgramsMatchThePerShotReference) {
  using T = TypeParam;
  std::mt19937_64 rng(20240611);
  std::uint64_t dynamic_programs = 0;
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::uint64_t n = 3 + rng() % 3;
    const Program p = random_program(rng, n, 2 + rng() % 4, 10 + rng() % 30);
    const std::uint64_t seed = rng();
    dynamic_programs += is_static(p) ? 0 : 1;
    expect_reference(p, 48, seed, run_at<T>(p, 48, seed));
  }
  EXPECT_GT(dynamic_programs, 40u);
}

// Repeat until success: a backward jump, a different number of draws for every shot.
TYPED_TEST(DynamicTest, LoopsEndWhenTheirConditionHolds) {
  using T = TypeParam;
  Builder b(2, 1);
  b.gate(GateKind::H, 0).gate(GateKind::Ry, 1, 0, 0, 0.7).measure(0, 0);
  b.program().instructions.emplace_back(JumpUnless{b.bit_is_one(0), 0});
  b.measure(1, 0);
  const Program& p = b.program();
  const DynamicRun<T> run = run_at<T>(p, 64, 5);
  expect_reference(p, 64, 5, run);
  EXPECT_GT(run.outcome.statistics.evolutions, 3u);
}

// A `while` loop as the reader lowers it: the test, the body, the jump back; returns the
// test's index.
template <typename Body>
std::size_t while_loop(Builder& b, std::uint32_t condition, const Body& body) {
  const std::size_t test = b.begin_if(condition);
  body();
  b.program().instructions.emplace_back(Jump{test});
  b.end_if(test);
  return test;
}

// Counts two rounds in bits (done, started): the first round sets `started`, the second `done`.
void count_two_rounds(Builder& b, std::uint64_t done, std::uint64_t started) {
  b.program().instructions.emplace_back(SetBit{done, b.bit_is_one(started)});
  b.program().instructions.emplace_back(
      SetBit{started, b.condition({ConditionKind::Const, CompareOp::Eq, 0, 0, 0, 1})});
}

std::uint32_t bit_is_zero(Builder& b, std::uint64_t bit) {
  const std::uint32_t one = b.bit_is_one(bit);
  return b.condition({ConditionKind::Not, CompareOp::Eq, 0, 0, 0, 0, one});
}

// A loop whose condition never changes ends the run with a message naming it, with or without
// shots; each entry into a loop counts its own rounds, and a loop may run the limit's rounds.
TEST(DynamicLoops, RoundsAreBoundedPerEntry) {
  Builder endless(1, 1);
  const std::size_t test = while_loop(endless, bit_is_zero(endless, 0), [&] {
    endless.gate(GateKind::X, 0).gate(GateKind::X, 0).measure(0, 0);
  });
  DynamicOptions options;
  options.max_loop_rounds = 5;
  for (const std::uint64_t shots : {0, 3}) {
    try {
      run_at<double>(endless.program(), shots, 1, options);
      ADD_FAILURE() << "the endless loop ended";
    } catch (const LoopLimit& e) {
      EXPECT_STREQ(e.what(), "the loop at instruction 0 ran 5 rounds without ending");
    }
  }
  endless.program().loop_names = {{test, "the 'while' loop at line 4:1"}};
  try {
    run_at<float>(endless.program(), 2, 1, options);
    ADD_FAILURE() << "the endless loop ended";
  } catch (const LoopLimit& e) {
    EXPECT_STREQ(e.what(), "the 'while' loop at line 4:1 ran 5 rounds without ending");
  }

  // Two rounds of an outer loop, each entering an inner loop of two rounds: four inner rounds
  // in all, two per entry.
  Builder nested(1, 4);
  while_loop(nested, bit_is_zero(nested, 0), [&] {
    const std::uint32_t zero = nested.condition({ConditionKind::Const, CompareOp::Eq, 0, 0, 0, 0});
    nested.program().instructions.emplace_back(SetBit{2, zero});
    nested.program().instructions.emplace_back(SetBit{3, zero});
    while_loop(nested, bit_is_zero(nested, 2), [&] { count_two_rounds(nested, 2, 3); });
    nested.gate(GateKind::X, 0);
    count_two_rounds(nested, 0, 1);
  });
  validate_program(nested.program());
  options.max_loop_rounds = 2;
  const DynamicRun<double> run = run_at<double>(nested.program(), 4, 1, options);
  ASSERT_TRUE(run.final_state.has_value());
  // X twice: the qubit is back at 0; the bits end 1, 1, 1, 1.
  EXPECT_EQ(run.final_state->amplitudes()[0].re, 1.0);
  EXPECT_EQ(run.outcome.bit_arrays, (std::vector<std::vector<std::uint8_t>>{{1, 1, 1, 1}}));
  options.max_loop_rounds = 1;
  EXPECT_THROW(run_at<double>(nested.program(), 4, 1, options), LoopLimit);
}

// ---------------------------------------------------------------------------------------------
// Deterministic programs and frequencies.

// Counts of shots per bit array, each written bit 0 first.
std::map<std::string, std::uint64_t> tally(const DynamicOutcome& o) {
  std::map<std::string, std::uint64_t> counts;
  for (const std::uint32_t id : o.memory) {
    std::string bits;
    for (const std::uint8_t b : o.bit_arrays[id]) {
      bits.push_back(b != 0 ? '1' : '0');
    }
    ++counts[bits];
  }
  return counts;
}

std::uint64_t count_of(const std::map<std::string, std::uint64_t>& counts,
                       const std::string& bits) {
  const auto found = counts.find(bits);
  return found == counts.end() ? 0 : found->second;
}

TYPED_TEST(DynamicTest, MeasuringOneQubitTwiceGivesEqualBits) {
  using T = TypeParam;
  // Mid-circuit (a later if reads the bit) and terminal (nothing follows).
  Builder mid(2, 2);
  mid.gate(GateKind::H, 0).measure(0, 0).gate(GateKind::H, 1).measure(0, 1).x_if(1, 1);
  Builder end(2, 2);
  end.gate(GateKind::H, 0).measure(0, 0).gate(GateKind::H, 1).measure(0, 1);
  ASSERT_FALSE(is_static(mid.program()));
  ASSERT_TRUE(is_static(end.program()));
  for (Program* p : {&mid.program(), &end.program()}) {
    const DynamicRun<T> run = run_at<T>(*p, 2000, 11);
    const auto counts = tally(run.outcome);
    for (const auto& [bits, n] : counts) {
      EXPECT_EQ(bits[0], bits[1]);
    }
    expect_binomial(count_of(counts, "11"), 2000, 0.5);
    expect_reference(*p, 2000, 11, run, 100);
  }
}

// The probabilities of the computational basis states of a small circuit's final state.
std::vector<double> basis_probabilities(const Circuit& c) {
  const SimulationResult result = run(c, 0, std::uint64_t{0}, core::Precision::F64);
  std::vector<double> p;
  for (const Complex<double>& a : std::get<RunResult<double>>(result).statevector.amplitudes()) {
    p.push_back(a.re * a.re + a.im * a.im);
  }
  return p;
}

TYPED_TEST(DynamicTest, MeasuredSubsetThenGatesOnTheOthers) {
  using T = TypeParam;
  // q0 is measured after it is entangled with q1 and q2, which gates then keep changing.
  Circuit gates(3);
  gates.h(0);
  gates.ry(1.1, 1);
  gates.cx(0, 2);
  gates.cx(1, 0);
  gates.ry(0.4, 2);
  gates.cx(2, 1);
  gates.h(2);
  const std::vector<double> exact = basis_probabilities(gates);
  // The measurement of q0 stands after the fourth gate; terminal here, mid-circuit when an empty
  // if follows everything.
  for (const bool mid_circuit : {false, true}) {
    SCOPED_TRACE(mid_circuit);
    Builder b(3, 3);
    Program& p = b.program();
    for (std::size_t k = 0; k < gates.ops().size(); ++k) {
      p.instructions.emplace_back(std::get<GateOp>(gates.ops()[k]));
      if (k == 3) {
        b.measure(0, 0);
      }
    }
    b.measure(1, 1).measure(2, 2);
    if (mid_circuit) {
      b.end_if(b.begin_if(b.bit_is_one(0)));
    }
    EXPECT_EQ(is_static(p), !mid_circuit);
    constexpr std::uint64_t SHOTS = 4000;
    const DynamicRun<T> run = run_at<T>(p, SHOTS, 3);
    const auto counts = tally(run.outcome);
    for (std::uint64_t index = 0; index < 8; ++index) {
      const std::string bits = {static_cast<char>('0' + (index & 1)),
                                static_cast<char>('0' + ((index >> 1) & 1)),
                                static_cast<char>('0' + (index >> 2))};
      expect_binomial(count_of(counts, bits), SHOTS, exact[index]);
    }
    expect_reference(p, SHOTS, 3, run, 200);
  }
}

TYPED_TEST(DynamicTest, ResetAfterMeasurementKeepsTheRecordedBit) {
  using T = TypeParam;
  Builder b(1, 2);
  b.gate(GateKind::H, 0).measure(0, 0).reset(0).measure(0, 1);
  const DynamicRun<T> run = run_at<T>(b.program(), 1000, 21);
  const auto counts = tally(run.outcome);
  EXPECT_EQ(counts.size(), 2u);
  expect_binomial(count_of(counts, "10"), 1000, 0.5);
  EXPECT_EQ(count_of(counts, "01") + count_of(counts, "11"), 0u);
  EXPECT_FALSE(run.final_state.has_value());
  EXPECT_EQ(run.outcome.no_final_state,
            "the final state depends on measurement outcomes: the shots ended in 2 different "
            "branches");
  expect_reference(b.program(), 1000, 21, run, 50);
}

TYPED_TEST(DynamicTest, ConditionalResetIsHonoured) {
  using T = TypeParam;
  Builder b(2, 2);
  b.gate(GateKind::X, 1).gate(GateKind::H, 0).measure(0, 0);
  const std::size_t at = b.begin_if(b.bit_is_one(0));
  b.reset(1);
  b.end_if(at);
  b.measure(1, 1);
  const DynamicRun<T> run = run_at<T>(b.program(), 500, 8);
  const auto counts = tally(run.outcome);
  EXPECT_EQ(counts.size(), 2u);
  for (const auto& [bits, n] : counts) {
    EXPECT_NE(bits[1], bits[0]);
  }
  expect_reference(b.program(), 500, 8, run, 50);
}

TYPED_TEST(DynamicTest, EmptyIfBody) {
  using T = TypeParam;
  Builder b(2, 2);
  b.gate(GateKind::H, 0).measure(0, 0);
  b.end_if(b.begin_if(b.bit_is_one(0)));
  b.gate(GateKind::X, 1).measure(1, 1);
  const DynamicRun<T> run = run_at<T>(b.program(), 300, 2);
  const auto counts = tally(run.outcome);
  EXPECT_EQ(counts.size(), 2u);
  for (const auto& [bits, n] : counts) {
    EXPECT_EQ(bits[1], '1');
  }
  expect_reference(b.program(), 300, 2, run);
}

TYPED_TEST(DynamicTest, ConditionOnASeventyBitRegister) {
  using T = TypeParam;
  constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
  // Register r is bits [0, 70) with bit 69 set from the start; f is bits 70 and 71.
  Builder b(3, 72);
  Program& p = b.program();
  p.registers = {{"r", 0, 70}, {"f", 70, 2}};
  p.initial_bits.assign(72, 0);
  p.initial_bits[69] = 1;
  b.gate(GateKind::X, 0).measure(0, 0);
  // r = 2^69 + 1: above every int64, equal to 1 in its low 64 bits only.
  std::size_t at = b.begin_if(b.condition({ConditionKind::Compare, CompareOp::Gt, 0, 0, 70, MAX}));
  b.gate(GateKind::X, 1);
  b.end_if(at);
  at = b.begin_if(b.condition({ConditionKind::Compare, CompareOp::Eq, 0, 0, 70, 1}));
  b.gate(GateKind::X, 2);
  b.end_if(at);
  b.measure(1, 70).measure(2, 71);
  for (const std::uint64_t shots : {std::uint64_t{0}, std::uint64_t{20}}) {
    const DynamicRun<T> run = run_at<T>(p, shots, 1);
    ASSERT_TRUE(run.final_state.has_value());
    const auto v = run.final_state->amplitudes();
    for (std::size_t i = 0; i < v.size(); ++i) {
      EXPECT_EQ(v[i], (Complex<T>{i == 3 ? T(1) : T(0), 0})) << i;
    }
    if (shots > 0) {
      ASSERT_EQ(run.outcome.bit_arrays.size(), 1u);
      EXPECT_EQ(outcome_key(p, run.outcome.bit_arrays[0]), "01 1" + std::string(68, '0') + "1");
      expect_reference(p, shots, 1, run);
    }
  }
}

TYPED_TEST(DynamicTest, OutcomeFrequenciesFollowTheState) {
  using T = TypeParam;
  for (const double theta : {0.3, 1.9, 2.8}) {
    Builder b(2, 2);
    b.gate(GateKind::Rx, 0, 0, 0, theta).measure(0, 0).gate(GateKind::H, 1).reset(1).x_if(0, 1);
    constexpr std::uint64_t SHOTS = 5000;
    const DynamicRun<T> run = run_at<T>(b.program(), SHOTS, 77);
    const auto counts = tally(run.outcome);
    expect_binomial(count_of(counts, "10"), SHOTS, std::sin(theta / 2) * std::sin(theta / 2));
  }
}

// ---------------------------------------------------------------------------------------------
// Static programs are sim::run.

TYPED_TEST(DynamicTest, StaticProgramFromACircuitIsSimRunBitForBit) {
  using T = TypeParam;
  std::mt19937_64 rng(99);
  for (const std::uint64_t n : {std::uint64_t{1}, std::uint64_t{4}, std::uint64_t{15}}) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(std::to_string(n) + " qubits, round " + std::to_string(round));
      test::RandomCircuitSpec spec;
      spec.qubits = n;
      spec.operations = n == 15 ? 120 : 30;
      spec.choices.push_back({test::Draw::GlobalPhase});
      Circuit c = test::random_circuit(rng, spec);
      if (round < 2) {
        c.measure_all();
      }
      const Program p = program_from_circuit(c);
      ASSERT_TRUE(is_static(p));
      const std::uint64_t seed = rng();
      const std::uint64_t shots = 3000;
      const SimulationResult expected_result = run(c, shots, seed, precision_of<T>());
      const auto& expected = std::get<RunResult<T>>(expected_result);
      const DynamicRun<T> got = run_at<T>(p, shots, seed);
      EXPECT_TRUE(got.outcome.is_static);
      ASSERT_TRUE(got.final_state.has_value());
      EXPECT_TRUE(same_bits<T>(got.final_state->amplitudes(), expected.statevector.amplitudes()));
      std::map<std::string, std::uint64_t> counts;
      for (const std::uint32_t id : got.outcome.memory) {
        ++counts[outcome_key(p, got.outcome.bit_arrays[id])];
      }
      if (round < 2) {
        EXPECT_EQ(counts, (std::map<std::string, std::uint64_t>(expected.counts.begin(),
                                                                expected.counts.end())));
      } else {
        // Without measurements every shot keeps the empty bit array.
        EXPECT_EQ(counts, (std::map<std::string, std::uint64_t>{{"", shots}}));
      }
      EXPECT_EQ(got.outcome.statistics.evolutions, 1u);
      EXPECT_EQ(got.outcome.statistics.mid_circuit_events, 0u);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The walk: the same bits for any pool, blocking and copies kept; its states; no shots.

// Random gates on 14 qubits (past the pool's threshold and over several blocks) around
// mid-circuit measurements with random outcomes, resets and conditions; `certain` makes every
// outcome certain instead (the measured qubit holds a basis state).
Program wide_program(bool certain) {
  std::mt19937_64 rng(certain ? 5 : 6);
  constexpr std::uint64_t N = 14;
  Builder b(N, 4);
  Program& p = b.program();
  p.global_phase = 0.75;
  const auto gates = [&](int count) {
    for (int k = 0; k < count; ++k) {
      GateOp g = random_gate(rng, N - 1);
      p.instructions.emplace_back(g);
    }
  };
  gates(40);
  for (std::uint64_t round = 0; round < 3; ++round) {
    if (certain) {
      b.gate(GateKind::X, N - 1).measure(N - 1, round).reset(N - 1);
    } else {
      b.measure(round * 4, round).reset(round * 4 + 1);
    }
    b.x_if(round, (round * 5 + 2) % N);
    gates(15);
  }
  b.measure(N - 1, 3).measure(2, 0);
  validate_program(p);
  return p;
}

struct Configuration {
  const char* name;
  std::size_t pool;
  std::optional<Blocking> blocking;
  DynamicOptions options;
};

template <typename T>
DynamicRun<T> run_configured(const Program& p, std::uint64_t shots, const Configuration& c) {
  DynamicRun<T> out;
  core::testing::run_with_pool_size(c.pool, [&] {
    if (c.blocking.has_value()) {
      testing::run_with_blocking(*c.blocking, [&] { out = run_at<T>(p, shots, 4, c.options); });
    } else {
      out = run_at<T>(p, shots, 4, c.options);
    }
  });
  return out;
}

TYPED_TEST(DynamicTest, SameMemoryForEveryPoolBlockingAndReplay) {
  using T = TypeParam;
  const std::vector<Configuration> configurations = {
      {"pool 1", 1, std::nullopt, {}},
      {"pool 2", 2, std::nullopt, {}},
      {"pool 3", 3, std::nullopt, {}},
      {"gate by gate", 2, Blocking{0, 0, 0}, {}},
      {"blocks of 2^5", 3, Blocking{5, 2, 8}, {}},
      {"blocks of 2^9", 2, Blocking{9, 4, 11}, {}},
      {"forced replay", 2, std::nullopt, {true}},
      {"one copy at most", 1, Blocking{7, 3, 0}, {false, 1}},
  };
  constexpr std::uint64_t SHOTS = 96;
  for (const bool certain : {false, true}) {
    SCOPED_TRACE(certain ? "certain outcomes" : "random outcomes");
    const Program p = wide_program(certain);
    const DynamicRun<T> base = run_configured<T>(p, SHOTS, configurations[0]);
    EXPECT_EQ(base.final_state.has_value(), certain);
    if (!certain) {
      EXPECT_GT(base.outcome.statistics.evolutions, 3u);
    }
    expect_reference(p, SHOTS, 4, base, 6);
    for (const Configuration& c : configurations) {
      SCOPED_TRACE(c.name);
      const DynamicRun<T> got = run_configured<T>(p, SHOTS, c);
      EXPECT_EQ(got.outcome.memory, base.outcome.memory);
      EXPECT_EQ(got.outcome.bit_arrays, base.outcome.bit_arrays);
      EXPECT_EQ(got.outcome.statistics.evolutions, base.outcome.statistics.evolutions);
      ASSERT_EQ(got.final_state.has_value(), base.final_state.has_value());
      if (got.final_state.has_value()) {
        EXPECT_TRUE(same_bits<T>(got.final_state->amplitudes(), base.final_state->amplitudes()));
      }
      if (c.options.force_replay) {
        EXPECT_EQ(got.outcome.statistics.peak_states, 1u);
        EXPECT_EQ(got.outcome.statistics.replays, got.outcome.statistics.evolutions - 1);
      }
    }
  }
}

TYPED_TEST(DynamicTest, PeakStatesAtMostOpenLevelsPlusOne) {
  using T = TypeParam;
  // Four levels of random outcomes: sixteen branches, at most four copies open at once.
  Builder b(4, 4);
  for (std::uint64_t q = 0; q < 4; ++q) {
    b.gate(GateKind::H, q).measure(q, q);
  }
  b.x_if(0, 0);
  struct Row {
    DynamicOptions options;
    std::uint64_t peak;
  };
  const DynamicRun<T> saved = run_at<T>(b.program(), 400, 31);
  ASSERT_EQ(saved.outcome.bit_arrays.size(), 16u);
  for (const Row& row : {Row{{}, 5}, Row{{false, 2}, 3}, Row{{false, 0}, 1}, Row{{true}, 1}}) {
    const DynamicRun<T> run = run_at<T>(b.program(), 400, 31, row.options);
    const DynamicStatistics& s = run.outcome.statistics;
    EXPECT_EQ(s.peak_states, row.peak);
    EXPECT_EQ(s.evolutions, 16u);
    EXPECT_EQ(run.outcome.memory, saved.outcome.memory);
    if (row.peak == 5) {
      // Level k is measured once per branch reaching it: 1 + 2 + 4 + 8 times.
      EXPECT_EQ(s.mid_circuit_events, 15u);
      EXPECT_EQ(s.replays, 0u);
    } else {
      EXPECT_GT(s.replays, 0u);
      EXPECT_GT(s.mid_circuit_events, 15u);
    }
  }
  expect_reference(b.program(), 400, 31, saved, 40);
}

TYPED_TEST(DynamicTest, WithoutShotsOnePathWhileOutcomesAreCertain) {
  using T = TypeParam;
  // Certain outcomes, a reset that flips, a condition on a measured bit, a phase.
  Builder certain(2, 1);
  certain.gate(GateKind::X, 0).measure(0, 0).reset(0).x_if(0, 1).gate(GateKind::H, 0);
  certain.program().global_phase = 0.5;
  const DynamicRun<T> none = run_at<T>(certain.program(), 0, std::nullopt);
  const DynamicRun<T> some = run_at<T>(certain.program(), 10, 3);
  ASSERT_TRUE(none.final_state.has_value());
  ASSERT_TRUE(some.final_state.has_value());
  EXPECT_TRUE(none.outcome.memory.empty());
  EXPECT_TRUE(none.outcome.bit_arrays.empty());
  EXPECT_TRUE(same_bits<T>(none.final_state->amplitudes(), some.final_state->amplitudes()));
  expect_reference(certain.program(), 10, 3, some);
  // A random outcome stops the path.
  Builder random(2, 1);
  random.gate(GateKind::X, 1).gate(GateKind::H, 1).reset(1);
  const DynamicRun<T> stopped = run_at<T>(random.program(), 0, 1);
  EXPECT_FALSE(stopped.final_state.has_value());
  EXPECT_FALSE(stopped.outcome.single_final_state);
  EXPECT_EQ(stopped.outcome.no_final_state,
            "the final state depends on measurement outcomes: the reset of qubit 1 (instruction "
            "2) has a random outcome");
}

}  // namespace
}  // namespace vorn::sim
