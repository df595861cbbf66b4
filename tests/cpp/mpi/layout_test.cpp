// The distributed plan, run on 2^k slices held in one process: exchanges are emulated by
// swapping the traded runs of two slices, so the plan, the exchange indices, the local swaps
// and the rank conditions are checked against the engine bit for bit, without MPI.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <span>
#include <type_traits>
#include <vector>

#include "core/complex.h"
#include "core/gates.h"
#include "core/kernels.h"
#include "core/parallel.h"
#include "mpi/distributed.h"
#include "mpi/layout.h"
#include "simulator/circuit.h"
#include "simulator/engine.h"

namespace vorn::mpi {
namespace {

using sim::Circuit;
using sim::Gate;
using sim::GateKind;

template <typename T>
std::vector<core::Complex<T>> run_on_slices(const Circuit& circuit, std::uint64_t global) {
  const std::uint64_t n = circuit.n_qubits();
  const std::uint64_t local = n - global;
  const std::uint64_t length = std::uint64_t{1} << local;
  std::vector<std::vector<core::Complex<T>>> slices(std::uint64_t{1} << global,
                                                    std::vector<core::Complex<T>>(length));
  slices[0][0] = core::Complex<T>{1, 0};
  const Plan plan = plan_distributed(circuit.ops(), n, global);
  for (const Step& step : plan.steps) {
    for (std::uint64_t r = 0; r < slices.size(); ++r) {
      const std::span<core::Complex<T>> slice(slices[r]);
      if ((step.kind == Step::Kind::Gate || step.kind == Step::Kind::Controlled) &&
          step.applies_on(r)) {
        const sim::Operation op = step.kind == Step::Kind::Gate ? sim::Operation{step.gate}
                                                                : sim::Operation{step.controlled};
        sim::apply_operations<T>(slice, std::span<const sim::Operation>(&op, 1));
      } else if (step.kind == Step::Kind::LocalSwap && step.applies_on(r)) {
        swap_local_positions(slice, step.a, step.b);
      } else if (step.kind == Step::Kind::Exchange) {
        const std::uint64_t bit = std::uint64_t{1} << (step.a - local);
        if ((r & bit) != 0) {
          continue;
        }
        // Rank r (bit 0) trades its runs with bit `b` set for the partner's runs with it clear.
        auto& partner = slices[r | bit];
        const std::uint64_t position = step.b;
        for_each_region_run(std::span<const std::uint64_t>(&position, 1),
                            std::uint64_t{1} << step.b, 0, length / 2,
                            [&](std::uint64_t index, std::uint64_t, std::uint64_t count) {
                              const std::uint64_t other = index ^ (std::uint64_t{1} << step.b);
                              for (std::uint64_t j = 0; j < count; ++j) {
                                std::swap(slice[index + j], partner[other + j]);
                              }
                            });
      }
    }
  }
  std::vector<core::Complex<T>> whole;
  for (auto& slice : slices) {
    if (circuit.global_phase() != 0.0) {
      sim::apply_global_phase<T>(slice, circuit.global_phase());
    }
    whole.insert(whole.end(), slice.begin(), slice.end());
  }
  return whole;
}

// The bits of an amplitude; with `any_nan_sign`, a NaN's sign bit is cleared first.
template <typename T>
std::array<std::uint64_t, 2> bits_of(const core::Complex<T>& a, bool any_nan_sign) {
  std::array<std::uint64_t, 2> out{};
  const T parts[2] = {a.re, a.im};
  for (int i = 0; i < 2; ++i) {
    T part = parts[i];
    if (any_nan_sign && std::isnan(part)) {
      part = std::fabs(part);
    }
    std::memcpy(&out[i], &part, sizeof(T));
  }
  return out;
}

// The vectorised kernels do not always give a NaN result the same sign on vectors of different
// lengths (where two NaNs of opposite signs meet, or a NaN matrix entry meets a lane operand),
// so a slice can hold -NaN where the whole state holds +NaN. States with NaNs are therefore
// compared up to that sign; everything else is compared bit for bit.
template <typename T>
void expect_same_bits(const Circuit& circuit, std::uint64_t global, bool any_nan_sign = false) {
  const sim::SimulationResult result = sim::run(
      circuit, 0, 0, std::is_same_v<T, float> ? core::Precision::F32 : core::Precision::F64);
  const auto& expected = std::get<sim::RunResult<T>>(result).statevector.amplitudes();
  const std::vector<core::Complex<T>> got = run_on_slices<T>(circuit, global);
  ASSERT_EQ(got.size(), expected.size());
  std::uint64_t differing = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    differing += bits_of(got[i], any_nan_sign) != bits_of(expected[i], any_nan_sign) ? 1 : 0;
  }
  EXPECT_EQ(differing, 0u) << "n = " << circuit.n_qubits() << ", global qubits = " << global;
}

struct Mix {
  bool non_finite = false;  // NaN and infinite angles now and then
};

// Random gates of the chosen kinds, operands anywhere (coinciding ones now and then), so that
// every kind meets operands at local and global positions.
Circuit random_circuit(std::uint64_t n, std::uint64_t gates, std::mt19937_64& rng, Mix mix) {
  Circuit c(n);
  std::uniform_int_distribution<std::uint64_t> qubit(0, n - 1);
  std::uniform_int_distribution<int> kind(0, 17);
  std::uniform_real_distribution<double> angle(-4.0, 4.0);
  std::uniform_int_distribution<int> oddity(0, 40);
  const auto some_angle = [&] {
    switch (mix.non_finite ? oddity(rng) : 2) {
      case 0:
        return std::numeric_limits<double>::quiet_NaN();
      case 1:
        return std::numeric_limits<double>::infinity();
      default:
        return angle(rng);
    }
  };
  const auto distinct = [&](std::vector<std::uint64_t> qs) {
    // One gate in twenty keeps whatever the draw gave, coinciding operands included.
    if (oddity(rng) < 2) {
      return qs;
    }
    for (std::size_t i = 1; i < qs.size(); ++i) {
      while (std::find(qs.begin(), qs.begin() + static_cast<std::ptrdiff_t>(i), qs[i]) !=
             qs.begin() + static_cast<std::ptrdiff_t>(i)) {
        qs[i] = (qs[i] + 1) % n;
      }
    }
    return qs;
  };
  for (std::uint64_t g = 0; g < gates; ++g) {
    const auto k = static_cast<GateKind>(kind(rng));
    const std::uint64_t a = qubit(rng);
    const std::uint64_t b = qubit(rng);
    const std::uint64_t d = qubit(rng);
    const unsigned arity = core::arity(k);
    if (arity == 1) {
      c.append_gate(Gate{k, some_angle(), some_angle(), some_angle()}, {a});
    } else if (arity == 2) {
      const auto qs = distinct({a, b});
      c.append_gate(Gate{k}, {qs[0], qs[1]});
    } else {
      const auto qs = distinct({a, b, d});
      c.append_gate(Gate{k}, {qs[0], qs[1], qs[2]});
    }
    if (g == gates / 2) {
      c.measure(a, 0);
    }
  }
  return c;
}

// Gates of the controlled kernel among random gates: up to four controls wanting 1 or 0, any
// matrix of the gate set with a phase, targets and controls at local and global positions.
TEST(DistributedPlan, ControlledKernelGatesGiveTheEngineBitsOnEveryRankCount) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> angle(-4.0, 4.0);
  for (int trial = 0; trial < 40; ++trial) {
    const std::uint64_t n = 4 + static_cast<std::uint64_t>(trial % 5);
    const Circuit mixed = random_circuit(n, 20, rng, Mix{});
    std::vector<sim::Operation> ops;
    for (const sim::Operation& op : mixed.ops()) {
      ops.push_back(op);
      std::vector<std::uint64_t> qubits(n);
      std::iota(qubits.begin(), qubits.end(), std::uint64_t{0});
      std::shuffle(qubits.begin(), qubits.end(), rng);
      sim::ControlledGate g;
      g.gate = Gate{static_cast<GateKind>(rng() % 12), angle(rng), angle(rng), angle(rng)};
      g.phase = g.gate.kind == GateKind::U3 ? angle(rng) : 0.0;
      g.target = qubits[0];
      const std::uint64_t n_controls = rng() % std::min<std::uint64_t>(5, n);
      for (std::uint64_t k = 1; k <= n_controls; ++k) {
        g.controls.push_back(qubits[k]);
        g.values.push_back(static_cast<std::uint8_t>(rng() % 2));
      }
      ops.emplace_back(std::move(g));
    }
    Circuit c(n);
    c.replace_ops(std::move(ops));
    for (std::uint64_t global = 0; n - global >= local_qubits_needed(c.ops()); ++global) {
      expect_same_bits<double>(c, global);
      expect_same_bits<float>(c, global);
    }
  }
}

TEST(DistributedPlan, RandomCircuitsGiveTheEngineBitsOnEveryRankCount) {
  std::mt19937_64 rng(20261208);
  for (int trial = 0; trial < 60; ++trial) {
    const std::uint64_t n = 3 + static_cast<std::uint64_t>(trial % 7);
    Circuit c = random_circuit(n, 40, rng, Mix{});
    if (trial % 5 == 0) {
      c.add_global_phase(0.7);
    }
    for (std::uint64_t global = 0; n - global >= local_qubits_needed(c.ops()); ++global) {
      expect_same_bits<double>(c, global);
      expect_same_bits<float>(c, global);
    }
  }
}

TEST(DistributedPlan, NonFiniteAmplitudesThroughEveryKindUpToTheNanSign) {
  std::mt19937_64 rng(5);
  for (int trial = 0; trial < 40; ++trial) {
    const std::uint64_t n = 3 + static_cast<std::uint64_t>(trial % 7);
    const Circuit c = random_circuit(n, 40, rng, Mix{true});
    for (std::uint64_t global = 0; n - global >= local_qubits_needed(c.ops()); ++global) {
      expect_same_bits<double>(c, global, true);
      expect_same_bits<float>(c, global, true);
    }
  }
}

TEST(DistributedPlan, LargeSlicesTakeTheKernelsParallelPath) {
  std::mt19937_64 rng(7);
  const Circuit c = random_circuit(15, 30, rng, Mix{});
  expect_same_bits<double>(c, 1);
  expect_same_bits<float>(c, 2);
}

TEST(DistributedPlan, GatesOnLocalQubitsNeedNoExchange) {
  Circuit c(6);
  c.h(0);
  c.cx(1, 2);
  c.cz(3, 0);
  c.ccx(0, 1, 3);
  const Plan plan = plan_distributed(c.ops(), 6, 2);
  EXPECT_EQ(plan.exchanges, 0u);
  EXPECT_EQ(plan.global_qubits_needed, 0u);
  EXPECT_EQ(plan.steps.size(), 4u);
}

TEST(DistributedPlan, GlobalControlsBecomeRankConditionsWithoutExchange) {
  Circuit c(6);
  c.cx(5, 0);
  c.ccx(4, 5, 1);
  c.ccx(4, 2, 1);
  c.cswap(5, 0, 1);
  const Plan plan = plan_distributed(c.ops(), 6, 2);
  EXPECT_EQ(plan.exchanges, 0u);
  ASSERT_EQ(plan.steps.size(), 4u);
  EXPECT_EQ(plan.steps[0].gate.kind(), GateKind::X);
  EXPECT_EQ(plan.steps[0].rank_mask, 0b10u);
  EXPECT_EQ(plan.steps[1].gate.kind(), GateKind::X);
  EXPECT_EQ(plan.steps[1].rank_mask, 0b11u);
  EXPECT_EQ(plan.steps[2].gate.kind(), GateKind::CX);
  EXPECT_EQ(plan.steps[2].gate.qubits[0], 2u);
  EXPECT_EQ(plan.steps[2].rank_mask, 0b01u);
  EXPECT_EQ(plan.steps[3].kind, Step::Kind::LocalSwap);
  EXPECT_EQ(plan.steps[3].rank_mask, 0b10u);
}

TEST(DistributedPlan, ARunOfGatesOnOneGlobalQubitCostsOneExchangeOutAndOneBack) {
  Circuit c(8);
  for (int i = 0; i < 10; ++i) {
    c.h(7);
    c.rz(0.1, 7);
    c.cz(7, 3);
  }
  const Plan plan = plan_distributed(c.ops(), 8, 2);
  EXPECT_EQ(plan.global_qubits_needed, 1u);
  EXPECT_EQ(plan.gates_touching_global, 30u);
  EXPECT_EQ(plan.exchanges, 2u);
}

TEST(DistributedPlan, TwoTargetGatesNeedTwoLocalQubits) {
  Circuit c(3);
  c.h(0);
  c.cx(2, 1);
  EXPECT_EQ(local_qubits_needed(c.ops()), 1u);
  c.cswap(0, 1, 1);
  EXPECT_EQ(local_qubits_needed(c.ops()), 1u);
  c.swap(0, 2);
  EXPECT_EQ(local_qubits_needed(c.ops()), 2u);
}

TEST(QubitMap, SwapsKeepBothDirectionsInStep) {
  QubitMap map(4);
  map.swap_positions(0, 3);
  map.swap_positions(3, 1);
  EXPECT_EQ(map.position(0), 1u);
  EXPECT_EQ(map.position(1), 3u);
  EXPECT_EQ(map.position(3), 0u);
  EXPECT_EQ(map.logical_at(1), 0u);
  EXPECT_FALSE(map.is_identity());
  map.swap_positions(3, 1);
  map.swap_positions(0, 3);
  EXPECT_TRUE(map.is_identity());
}

}  // namespace
}  // namespace vorn::mpi
