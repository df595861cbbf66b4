// The distributed branch state against the single-process one: random dynamic programs walked
// over DistributedState give run_program's shots, bit arrays, statistics and final state, bit
// for bit. The binary runs on any number of ranks (meson runs it alone and under mpirun).
#include "mpi/dynamic_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <variant>
#include <vector>

#include "core/gates.h"
#include "mpi/layout.h"
#include "simulator/dynamic.h"
#include "simulator/program.h"
#include "simulator/rng.h"
#include "world.h"

namespace vorn::mpi {
namespace {

using test::world;

// Gates of every kind with distinct operands, mid-circuit measurements and resets anywhere
// (the top qubits are global on several ranks), gates skipped on a measured bit, a global phase,
// and every qubit measured at the end.
sim::Program random_program(std::uint64_t n, std::mt19937_64& rng) {
  sim::Program p;
  p.n_qubits = n;
  p.n_bits = 2 * n;
  p.registers = {{"m", 0, n}, {"c", n, n}};
  p.global_phase = std::uniform_real_distribution<double>(-3.0, 3.0)(rng);
  std::uniform_int_distribution<std::uint64_t> qubit(0, n - 1);
  std::uniform_int_distribution<int> kind(0, 17);
  std::uniform_int_distribution<int> event(0, 9);
  std::uniform_real_distribution<double> angle(-4.0, 4.0);
  const auto random_gate = [&] {
    const auto k = static_cast<core::GateKind>(kind(rng));
    sim::GateOp op{core::Gate{k, angle(rng), angle(rng), angle(rng)}, {}};
    for (unsigned i = 0; i < op.arity(); ++i) {
      std::uint64_t q = qubit(rng);
      while (std::find(op.qubits.begin(), op.qubits.begin() + i, q) != op.qubits.begin() + i) {
        q = (q + 1) % n;
      }
      op.qubits[i] = q;
    }
    return op;
  };
  for (int g = 0; g < 40; ++g) {
    const int e = event(rng);
    const std::uint64_t q = qubit(rng);
    if (e == 0) {
      p.instructions.emplace_back(sim::Measure{q, q});
    } else if (e == 1) {
      p.instructions.emplace_back(sim::Reset{q});
    } else if (e == 2) {
      sim::ConditionNode node;
      node.kind = sim::ConditionKind::Bit;
      node.bit = q;
      p.conditions.push_back(node);
      const auto condition = static_cast<std::uint32_t>(p.conditions.size() - 1);
      p.instructions.emplace_back(sim::JumpUnless{condition, p.instructions.size() + 2});
      p.instructions.emplace_back(random_gate());
    } else {
      p.instructions.emplace_back(random_gate());
    }
  }
  for (std::uint64_t q = 0; q < n; ++q) {
    p.instructions.emplace_back(sim::Measure{q, n + q});
  }
  return p;
}

template <typename T>
void expect_single_process_bits(const sim::Program& program, std::uint64_t shots,
                                std::uint64_t seed) {
  const core::Precision precision =
      std::is_same_v<T, float> ? core::Precision::F32 : core::Precision::F64;
  const auto expected =
      std::get<sim::DynamicRun<T>>(sim::run_program(program, shots, seed, precision));
  const Ranks ranks = world(program.n_qubits);
  ASSERT_LT(ranks.global_qubits, program.n_qubits);
  DistributedState<T> state(ranks, 0);
  const sim::DynamicOutcome got =
      sim::walk_program(program, state, shots, sim::SampleRng::seed_from_u64(seed).key());

  EXPECT_EQ(got.memory, expected.outcome.memory);
  EXPECT_EQ(got.bit_arrays, expected.outcome.bit_arrays);
  EXPECT_EQ(got.single_final_state, expected.outcome.single_final_state);
  EXPECT_EQ(got.no_final_state, expected.outcome.no_final_state);
  EXPECT_EQ(got.statistics.evolutions, expected.outcome.statistics.evolutions);
  EXPECT_EQ(got.statistics.mid_circuit_events, expected.outcome.statistics.mid_circuit_events);
  if (expected.final_state.has_value()) {
    const auto whole = expected.final_state->amplitudes();
    const auto slice = state.slice();
    EXPECT_EQ(std::memcmp(slice.data(), whole.data() + (ranks.rank << ranks.local_qubits),
                          slice.size_bytes()),
              0);
  }
}

class DynamicState : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(DynamicState, RandomProgramsGiveTheSingleProcessShotsAndState) {
  std::mt19937_64 rng(GetParam());
  for (int round = 0; round < 6; ++round) {
    const sim::Program program = random_program(5 + GetParam() % 3, rng);
    // Many shots split at every random event; none walks the one certain path and keeps the
    // final state (or stops at the first random outcome).
    expect_single_process_bits<double>(program, 400, GetParam() + round);
    expect_single_process_bits<float>(program, 400, GetParam() + round);
    expect_single_process_bits<double>(program, 0, GetParam() + round);
  }
}

TEST_P(DynamicState, ProgramsWithOneFinalStateKeepItWithThePhase) {
  // Measurements of qubits in a basis state: every outcome is certain, one branch ends.
  std::mt19937_64 rng(GetParam());
  sim::Program program = random_program(6, rng);
  std::vector<sim::Instruction> certain;
  for (std::uint64_t q = 0; q < 6; ++q) {
    if (q % 2 == 1) {
      certain.emplace_back(sim::GateOp{core::Gate{core::GateKind::X}, {q, 0, 0}});
    }
    certain.emplace_back(sim::Measure{q, q});
    certain.emplace_back(sim::Reset{q});
  }
  program.instructions.insert(program.instructions.begin(), certain.begin(), certain.end());
  program.instructions.resize(certain.size());
  program.instructions.emplace_back(sim::GateOp{core::Gate{core::GateKind::H}, {5, 0, 0}});
  program.instructions.emplace_back(sim::GateOp{core::Gate{core::GateKind::CX}, {5, 0, 0}});
  program.instructions.emplace_back(sim::Measure{0, 6});
  program.conditions.clear();
  expect_single_process_bits<double>(program, 100, GetParam());
  expect_single_process_bits<float>(program, 100, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Seeds, DynamicState, ::testing::Values(1, 2, 3));

}  // namespace
}  // namespace vorn::mpi
