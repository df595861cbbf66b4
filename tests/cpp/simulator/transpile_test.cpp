// The peephole pass: its rules one by one, the pass count, and random circuits whose
// probabilities must survive it.
#include "simulator/transpile.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dense_oracle.h"
#include "random_circuit.h"

namespace vorn::sim {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A compact listing of the operations: "h0 rz(0.75)1 cx0,1 m0>0 mall".
std::string listing(const Circuit& c) {
  static const char* const names[] = {"h",  "x",  "y",  "z",  "s",  "sdg", "t",    "tdg", "rx",
                                      "ry", "rz", "u3", "id", "cx", "cz",  "swap", "ccx", "cswap"};
  std::string out;
  for (const Operation& op : c.ops()) {
    if (!out.empty()) {
      out += ' ';
    }
    if (const auto* g = std::get_if<GateOp>(&op)) {
      out += names[static_cast<int>(g->kind())];
      if (g->kind() == GateKind::Rx || g->kind() == GateKind::Ry || g->kind() == GateKind::Rz) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "(%.17g)", g->gate.theta);
        out += buf;
      }
      for (unsigned k = 0; k < g->arity(); ++k) {
        if (k != 0) {
          out += ',';
        }
        out += std::to_string(g->qubits[k]);
      }
    } else if (const auto* m = std::get_if<Measure>(&op)) {
      out += 'm';
      out += std::to_string(m->qubit);
      out += '>';
      out += std::to_string(m->cbit);
    } else {
      out += "mall";
    }
  }
  return out;
}

TEST(IsTrivialAngle, MultiplesOfTheFullTurn) {
  for (const double theta : {0.0, -0.0, kTwoPi, -kTwoPi, 2 * kTwoPi, -3 * kTwoPi, 1e-13, -1e-13,
                             kTwoPi + 5e-13, kTwoPi - 5e-13, 9.99e-13}) {
    EXPECT_TRUE(is_trivial_angle(theta)) << theta;
  }
  for (const double theta :
       {ANGLE_EPS, kPi, -kPi, 0.5, kTwoPi - 2e-12, kNaN, std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity()}) {
    EXPECT_FALSE(is_trivial_angle(theta)) << theta;
  }
}

struct Case {
  const char* name;
  void (*build)(Circuit&);
  const char* after;
  std::uint64_t passes;
};

class TranspileCase : public ::testing::TestWithParam<Case> {};

TEST_P(TranspileCase, ResultAndPassCount) {
  const Case& c = GetParam();
  Circuit circuit(2);
  c.build(circuit);
  EXPECT_EQ(transpile_pass(circuit, 16), c.passes);
  EXPECT_EQ(listing(circuit), c.after);
}

const Case kCases[] = {
    {"Empty", [](Circuit&) {}, "", 1},
    {"NothingToDo",
     [](Circuit& c) {
       c.h(0);
       c.x(1);
       c.cx(0, 1);
       c.u3(0.0, 0.0, 0.0, 0);
       c.measure_all();
     },
     "h0 x1 cx0,1 u30 mall", 1},
    {"HH",
     [](Circuit& c) {
       c.h(0);
       c.h(0);
     },
     "", 2},
    {"FourS",
     [](Circuit& c) {
       for (int k = 0; k < 4; ++k) {
         c.s(0);
       }
     },
     "", 3},
    {"PauliPairs",
     [](Circuit& c) {
       c.x(0);
       c.x(0);
       c.y(1);
       c.y(1);
       c.z(0);
       c.z(0);
     },
     "", 2},
    {"TT",
     [](Circuit& c) {
       c.t(0);
       c.t(0);
     },
     "s0", 2},
    {"TdgTdg",
     [](Circuit& c) {
       c.tdg(0);
       c.tdg(0);
     },
     "sdg0", 2},
    {"SdgSdg",
     [](Circuit& c) {
       c.sdg(1);
       c.sdg(1);
     },
     "z1", 2},
    {"InversePairs",
     [](Circuit& c) {
       c.s(0);
       c.sdg(0);
       c.sdg(0);
       c.s(0);
       c.t(1);
       c.tdg(1);
       c.tdg(1);
       c.t(1);
     },
     "", 2},
    {"HXH",
     [](Circuit& c) {
       c.h(0);
       c.x(0);
       c.h(0);
     },
     "z0", 2},
    {"HZH",
     [](Circuit& c) {
       c.h(0);
       c.z(0);
       c.h(0);
     },
     "x0", 2},
    {"HYHUnchanged",
     [](Circuit& c) {
       c.h(0);
       c.y(0);
       c.h(0);
     },
     "h0 y0 h0", 1},
    {"FuseRz",
     [](Circuit& c) {
       c.rz(0.5, 0);
       c.rz(0.25, 0);
     },
     "rz(0.75)0", 2},
    {"RzPiTwiceCancels",
     [](Circuit& c) {
       c.rz(kPi, 0);
       c.rz(kPi, 0);
     },
     "", 2},
    {"TrivialRotationsDropped",
     [](Circuit& c) {
       c.rx(4 * kPi, 0);
       c.ry(1e-13, 1);
       c.rz(-kTwoPi, 0);
       c.id(1);
     },
     "", 2},
    {"NaNRotationKept", [](Circuit& c) { c.rx(kNaN, 0); }, "rx(nan)0", 1},
    {"DifferentQubits",
     [](Circuit& c) {
       c.rz(0.5, 0);
       c.rz(0.5, 1);
     },
     "rz(0.5)0 rz(0.5)1", 1},
    {"SandwichBrokenByOtherQubit",
     [](Circuit& c) {
       c.h(0);
       c.x(1);
       c.h(0);
     },
     "h0 x1 h0", 1},
    {"SandwichBrokenByTwoQubitGate",
     [](Circuit& c) {
       c.h(0);
       c.cx(0, 1);
       c.h(0);
     },
     "h0 cx0,1 h0", 1},
    {"MeasureSeparates",
     [](Circuit& c) {
       c.h(0);
       c.measure(0, 0);
       c.h(0);
     },
     "h0 m0>0 h0", 1},
    {"MeasureAllSeparates",
     [](Circuit& c) {
       c.x(1);
       c.measure_all();
       c.x(1);
     },
     "x1 mall x1", 1},
    {"U3NeverChanged",
     [](Circuit& c) {
       c.u3(0.0, 0.0, 0.0, 0);
       c.u3(0.0, 0.0, 0.0, 0);
       c.rz(0.5, 0);
     },
     "u30 u30 rz(0.5)0", 1},
    {"MultiQubitPairsKept",
     [](Circuit& c) {
       c.cx(0, 1);
       c.cx(0, 1);
       c.swap(0, 1);
       c.swap(0, 1);
     },
     "cx0,1 cx0,1 swap0,1 swap0,1", 1},
    // Trivial rotations vanish before any pair test, so rx(0.3) meets rx(0.2).
    {"TrivialDroppedBeforeFusing",
     [](Circuit& c) {
       c.rx(0.3, 0);
       c.rx(kTwoPi, 0);
       c.rx(0.2, 0);
     },
     "rx(0.5)0", 2},
    // A replacement takes part in a rule with the next operation of the same pass.
    {"ReplacementMeetsTheNextOperation",
     [](Circuit& c) {
       c.t(0);
       c.t(0);
       c.s(0);
     },
     "z0", 2},
    {"ReplacementFeedsTheSandwich",
     [](Circuit& c) {
       c.h(0);
       c.s(0);
       c.s(0);
       c.h(0);
     },
     "x0", 2},
    // ...but is not compared again with the operation before it: Z, S, S gives Z, Z first.
    {"ReplacementNotComparedBackwards",
     [](Circuit& c) {
       c.z(0);
       c.s(0);
       c.s(0);
     },
     "", 3},
    // Removing a pair exposes the earlier operation to the next one within the same pass.
    {"CancelExposesEarlierOperation",
     [](Circuit& c) {
       c.x(0);
       c.h(0);
       c.h(0);
       c.x(0);
     },
     "", 2},
    // A fused sum is not reduced: 2π + 0.5 stays as written.
    {"FusedSumNotReduced",
     [](Circuit& c) {
       c.ry(kPi, 1);
       c.ry(kPi + 0.5, 1);
     },
     "ry(6.7831853071795862)1", 2},
};

INSTANTIATE_TEST_SUITE_P(Rules, TranspileCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TranspilePass, MaxItersBoundsThePasses) {
  Circuit c(1);
  for (int k = 0; k < 4; ++k) {
    c.s(0);
  }
  Circuit once = c;
  EXPECT_EQ(transpile_pass(once, 1), 1u);
  EXPECT_EQ(listing(once), "z0 z0");

  Circuit none = c;
  EXPECT_EQ(transpile_pass(none, 0), 0u);
  EXPECT_EQ(listing(none), "s0 s0 s0 s0");
}

TEST(TranspilePass, FusedAngleIsThePlainSum) {
  Circuit c(1);
  c.rz(0.1, 0);
  c.rz(0.2, 0);
  transpile_pass(c, 16);
  ASSERT_EQ(c.ops().size(), 1u);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(std::get<GateOp>(c.ops()[0]).gate.theta),
            std::bit_cast<std::uint64_t>(0.1 + 0.2));
}

TEST(TranspilePass, ChangesOnlyTheOperationList) {
  Circuit c(3);
  c.measure(2, 6);
  c.rz(0.0, 1);
  c.add_global_phase(0.375);
  transpile_pass(c, 16);
  EXPECT_EQ(listing(c), "m2>6");
  EXPECT_EQ(c.n_qubits(), 3u);
  EXPECT_EQ(c.n_cbits(), 7u);
  EXPECT_EQ(c.global_phase(), 0.375);
}

// Rotations by zero left behind by a unitary decomposition of the identity.
TEST(TranspilePass, IdentityDecompositionVanishes) {
  Circuit c(1);
  c.rz(0.0, 0);
  c.ry(0.0, 0);
  c.rz(0.0, 0);
  EXPECT_EQ(transpile_pass(c, 16), 2u);
  EXPECT_TRUE(c.ops().empty());
}

// Random circuits of the reducible kinds, with separators: the pass never adds operations,
// converges (a second run changes nothing) and keeps the state up to a global sign, both as
// the engine runs it and in the dense reference.
TEST(TranspilePass, RandomCircuitsKeepTheirStateUpToSign) {
  std::mt19937_64 rng(2024);
  const double angles[] = {0.0,   kPi,    -kPi, kTwoPi, 2 * kTwoPi, kPi / 2, -kPi / 2,
                           1e-13, -1e-13, 0.25, -0.25,  kPi / 4,    1.0,     kTwoPi - 0.25};
  std::uniform_int_distribution<int> pick_angle(0, std::size(angles) - 1);
  std::uniform_real_distribution<double> free_angle(-10.0, 10.0);
  const auto angle = [&](std::mt19937_64& r) {
    return r() % 4 == 0 ? free_angle(r) : angles[pick_angle(r)];
  };
  // The single-qubit kinds four times each, and in the last twelve draws a CX, a measurement
  // and a U3 one time in four (H, X and Z otherwise).
  std::vector<test::Choice> reducible;
  for (unsigned tag = 0; tag <= static_cast<unsigned>(GateKind::Id); ++tag) {
    for (int copy = 0; copy < 4; ++copy) {
      reducible.push_back({test::Draw::Gate, static_cast<GateKind>(tag)});
    }
  }
  using test::Choice;
  using test::Draw;
  const std::pair<Choice, GateKind> rare_or_common[] = {
      {Choice{Draw::Gate, GateKind::CX}, GateKind::H},
      {Choice{Draw::Measure}, GateKind::X},
      {Choice{Draw::Gate, GateKind::U3}, GateKind::Z}};
  for (const auto& [rare, common] : rare_or_common) {
    reducible.push_back(rare);
    for (int copy = 0; copy < 3; ++copy) {
      reducible.push_back({Draw::Gate, common});
    }
  }
  constexpr std::uint64_t kQubits = 3;
  int sign_flips = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    // Few qubits and many single-qubit gates, so that neighbours often share a qubit; every
    // third circuit acts on one qubit only.
    test::RandomCircuitSpec spec;
    spec.qubits = kQubits;
    spec.operations = 1 + rng() % 40;
    spec.choices = reducible;
    spec.first_operands =
        trial % 3 == 0 ? std::vector<std::uint64_t>{0} : std::vector<std::uint64_t>{0, 1, 2};
    spec.angle = angle;
    Circuit c = test::random_circuit(rng, spec);
    const testing::Amplitudes before = testing::engine_state(c);
    const testing::Amplitudes dense_before = testing::simulate(c);
    const std::size_t n_before = c.ops().size();
    const std::string original = listing(c);
    SCOPED_TRACE(original);

    const std::uint64_t passes = transpile_pass(c, 64);
    ASSERT_GE(passes, 1u);
    ASSERT_LT(passes, 64u);
    ASSERT_LE(c.ops().size(), n_before);
    const std::string reduced = listing(c);
    ASSERT_EQ(transpile_pass(c, 64), 1u);
    ASSERT_EQ(listing(c), reduced);

    const testing::Amplitudes after = testing::engine_state(c);
    const testing::Amplitudes dense_after = testing::simulate(c);
    // The sign is fixed by the largest amplitude; dropped full turns may flip it.
    std::size_t largest = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
      if (std::abs(before[i]) > std::abs(before[largest])) {
        largest = i;
      }
    }
    const double sign = std::real(after[largest] / before[largest]) < 0 ? -1.0 : 1.0;
    sign_flips += sign < 0 ? 1 : 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
      ASSERT_NEAR(std::norm(after[i]), std::norm(before[i]), 1e-12) << "probability " << i;
      ASSERT_LT(std::abs(after[i] - sign * before[i]), 1e-12) << "amplitude " << i;
      ASSERT_LT(std::abs(dense_after[i] - sign * dense_before[i]), 1e-12) << "reference " << i;
    }
  }
  // The angle pool makes full turns common, so both signs must have been seen.
  EXPECT_GT(sign_flips, 0);
}

TEST(TranspilePass, LongCircuitCollapsesWithoutRecursion) {
  // One million operations in adjacent pairs: all cancel in the first pass.
  Circuit c(2);
  for (int k = 0; k < 500000; ++k) {
    c.h(k % 2);
    c.h(k % 2);
  }
  EXPECT_EQ(transpile_pass(c, 16), 2u);
  EXPECT_TRUE(c.ops().empty());
}

}  // namespace
}  // namespace vorn::sim
