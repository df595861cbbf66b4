// The engine: dispatch, global phase, sampling conditions, failures and reproducibility.
#include "simulator/engine.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "../support/abort_message.h"
#include "core/abort.h"
#include "core/gates.h"
#include "core/parallel.h"
#include "random_circuit.h"

namespace vorn::sim {
namespace {

using core::Complex;
using core::Precision;

template <typename T>
constexpr Precision precision_of() {
  return std::is_same_v<T, float> ? Precision::F32 : Precision::F64;
}

template <typename T>
RunResult<T> run_at(const Circuit& c, std::uint64_t shots, std::optional<std::uint64_t> seed) {
  SimulationResult result = run(c, shots, seed, precision_of<T>());
  EXPECT_EQ(result.index(), (std::is_same_v<T, float> ? 0u : 1u));
  return std::get<RunResult<T>>(std::move(result));
}

template <typename T>
std::vector<Complex<T>> amplitudes_of(const RunResult<T>& r) {
  const auto v = r.statevector.amplitudes();
  return {v.begin(), v.end()};
}

template <typename T>
bool same_bits(std::span<const Complex<T>> a, std::span<const Complex<T>> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}

std::map<std::string, std::uint64_t> sorted(const Counts& counts) {
  return {counts.begin(), counts.end()};
}

using vorn::test::abort_message;

// An independent state-vector simulator: each gate written out as the matrix product over the
// full index range, with the same plain complex arithmetic as the kernels, in the same order.
template <typename T>
class ReferenceSimulator {
 public:
  explicit ReferenceSimulator(std::uint64_t n) : v_(std::size_t{1} << n, Complex<T>{0, 0}) {
    v_[0] = {1, 0};
  }

  void apply(const GateOp& op) {
    const auto& q = op.qubits;
    const core::Matrix2<T> x = core::matrix_2x2<T>(core::Gate{core::GateKind::X});
    switch (op.kind()) {
      case core::GateKind::CX:
        pairs(x, q[1], [&](std::size_t i) { return bit(i, q[0]); });
        return;
      case core::GateKind::CCX:
        pairs(x, q[2], [&](std::size_t i) { return bit(i, q[0]) && bit(i, q[1]); });
        return;
      case core::GateKind::CZ:
        quads(core::CZ_MATRIX<T>, q[0], q[1]);
        return;
      case core::GateKind::SWAP:
        quads(core::SWAP_MATRIX<T>, q[0], q[1]);
        return;
      case core::GateKind::CSWAP:
        for (std::size_t i = 0; i < v_.size(); ++i) {
          if (bit(i, q[0]) && bit(i, q[1]) && !bit(i, q[2])) {
            std::swap(v_[i], v_[(i & ~(std::size_t{1} << q[1])) | (std::size_t{1} << q[2])]);
          }
        }
        return;
      default:
        pairs(core::matrix_2x2<T>(op.gate), q[0], [](std::size_t) { return true; });
        return;
    }
  }

  void phase(double phi) {
    const T c = static_cast<T>(std::cos(phi));
    const T s = static_cast<T>(std::sin(phi));
    for (auto& a : v_) {
      a = {a.re * c - a.im * s, a.im * c + a.re * s};
    }
  }

  const std::vector<Complex<T>>& amplitudes() const { return v_; }

 private:
  static bool bit(std::size_t i, std::uint64_t q) { return ((i >> q) & 1) != 0; }

  template <typename Select>
  void pairs(const core::Matrix2<T>& m, std::uint64_t target, Select select) {
    const std::size_t t = std::size_t{1} << target;
    for (std::size_t i = 0; i < v_.size(); ++i) {
      if ((i & t) == 0 && select(i)) {
        const Complex<T> a0 = v_[i];
        const Complex<T> a1 = v_[i | t];
        v_[i] = core::add(core::mul(m[0], a0), core::mul(m[1], a1));
        v_[i | t] = core::add(core::mul(m[2], a0), core::mul(m[3], a1));
      }
    }
  }

  void quads(const core::Matrix4<T>& m, std::uint64_t q0, std::uint64_t q1) {
    const std::size_t b0 = std::size_t{1} << q0;
    const std::size_t b1 = std::size_t{1} << q1;
    for (std::size_t i = 0; i < v_.size(); ++i) {
      if ((i & (b0 | b1)) != 0) {
        continue;
      }
      const std::size_t idx[4] = {i, i | b0, i | b1, i | b0 | b1};
      Complex<T> a[4];
      for (int k = 0; k < 4; ++k) {
        a[k] = v_[idx[k]];
      }
      for (int r = 0; r < 4; ++r) {
        Complex<T> sum = core::mul(m[4 * r], a[0]);
        for (int k = 1; k < 4; ++k) {
          sum = core::add(sum, core::mul(m[4 * r + k], a[k]));
        }
        v_[idx[r]] = sum;
      }
    }
  }

  std::vector<Complex<T>> v_;
};

// A random circuit over every gate kind, with distinct operands for the multi-qubit gates.
Circuit random_circuit(std::uint64_t n, std::size_t gates, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  test::RandomCircuitSpec spec;
  spec.qubits = n;
  spec.operations = gates;
  return test::random_circuit(rng, spec);
}

template <typename T>
class EngineTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(EngineTest, Precisions);

TYPED_TEST(EngineTest, EmptyCircuitGivesTheZeroStateAndNoCounts) {
  using T = TypeParam;
  const RunResult<T> r = run_at<T>(Circuit(3), 100, 1);
  EXPECT_TRUE(r.counts.empty());
  EXPECT_EQ(r.statevector.num_qubits(), 3u);
  std::vector<Complex<T>> expected(8, Complex<T>{0, 0});
  expected[0] = {1, 0};
  EXPECT_EQ(amplitudes_of(r), expected);
}

TYPED_TEST(EngineTest, HadamardMeasuredGivesThreeOnesAndOneZeroForSeedZero) {
  using T = TypeParam;
  Circuit c(1);
  c.h(0);
  c.measure(0, 0);
  const RunResult<T> r = run_at<T>(c, 4, 0);
  EXPECT_EQ(sorted(r.counts), (std::map<std::string, std::uint64_t>{{"0", 1}, {"1", 3}}));
  const std::vector<double> table = cumulative_probabilities(r.statevector);
  const double expected = std::is_same_v<T, float> ? 0.4999999701976776 : 0.5000000000000001;
  EXPECT_EQ(table, (std::vector<double>{expected, 1.0}));
}

TYPED_TEST(EngineTest, NoMeasurementOrNoShotsGivesEmptyCounts) {
  using T = TypeParam;
  Circuit c(1);
  c.h(0);
  const T s = core::matrix_2x2<T>(core::Gate{core::GateKind::H})[0].re;
  for (const std::uint64_t shots : {0u, 1u, 1000u}) {
    const RunResult<T> r = run_at<T>(c, shots, 5);
    EXPECT_TRUE(r.counts.empty());
    EXPECT_EQ(amplitudes_of(r), (std::vector<Complex<T>>{{s, 0}, {s, 0}}));
  }
  c.measure_all();
  EXPECT_TRUE(run_at<T>(c, 0, 5).counts.empty());
  EXPECT_EQ(run_at<T>(c, 1, 5).counts.size(), 1u);
}

TYPED_TEST(EngineTest, MeasurementDoesNotChangeLaterGates) {
  using T = TypeParam;
  Circuit c(1);
  c.measure(0, 0);
  c.x(0);
  const RunResult<T> r = run_at<T>(c, 20, 3);
  EXPECT_EQ(amplitudes_of(r), (std::vector<Complex<T>>{{0, 0}, {1, 0}}));
  EXPECT_EQ(sorted(r.counts), (std::map<std::string, std::uint64_t>{{"1", 20}}));
}

TYPED_TEST(EngineTest, KeysCoverTheWholeRegisterWhateverIsMeasured) {
  using T = TypeParam;
  Circuit partial(3);
  partial.h(0);
  partial.x(2);
  partial.measure(0, 7);
  Circuit whole(3);
  whole.h(0);
  whole.x(2);
  whole.measure_all();
  const RunResult<T> a = run_at<T>(partial, 300, 8);
  const RunResult<T> b = run_at<T>(whole, 300, 8);
  EXPECT_EQ(a.counts, b.counts);
  for (const auto& [key, n] : a.counts) {
    EXPECT_TRUE(key == "100" || key == "101") << key;
  }
}

TYPED_TEST(EngineTest, CountsAreDrawnFromTheFinalStateWithAnUntouchedGenerator) {
  using T = TypeParam;
  Circuit c = random_circuit(6, 80, 4);
  c.measure_all();
  c.add_global_phase(0.75);
  const RunResult<T> r = run_at<T>(c, 500, 42);
  SampleRng rng = SampleRng::seed_from_u64(42);
  EXPECT_EQ(r.counts, sample_counts(r.statevector, 500, rng));
}

TYPED_TEST(EngineTest, EveryGateKindMatchesTheReferenceSimulator) {
  using T = TypeParam;
  for (const std::uint64_t n : {3u, 5u, 14u}) {
    SCOPED_TRACE(n);
    const Circuit c = random_circuit(n, n == 14 ? 150 : 400, n);
    ReferenceSimulator<T> ref(n);
    for (const Operation& op : c.ops()) {
      ref.apply(std::get<GateOp>(op));
    }
    const RunResult<T> r = run_at<T>(c, 0, 0);
    EXPECT_TRUE(same_bits<T>(r.statevector.amplitudes(), ref.amplitudes()));
  }
}

TYPED_TEST(EngineTest, OperandOrderReachesTheKernels) {
  using T = TypeParam;
  const auto basis = [](std::uint64_t n, const std::function<void(Circuit&)>& build) {
    Circuit c(n);
    build(c);
    const RunResult<T> r = run_at<T>(c, 0, 0);
    std::vector<std::uint64_t> nonzero;
    const auto v = r.statevector.amplitudes();
    for (std::uint64_t i = 0; i < v.size(); ++i) {
      if (v[i].re != 0 || v[i].im != 0) {
        nonzero.push_back(i);
      }
    }
    return nonzero;
  };
  using Idx = std::vector<std::uint64_t>;
  // CX: control first.
  EXPECT_EQ(basis(2,
                  [](Circuit& c) {
                    c.x(0);
                    c.cx(0, 1);
                  }),
            Idx{3});
  EXPECT_EQ(basis(2,
                  [](Circuit& c) {
                    c.x(1);
                    c.cx(0, 1);
                  }),
            Idx{2});
  EXPECT_EQ(basis(6,
                  [](Circuit& c) {
                    c.x(5);
                    c.cx(5, 2);
                  }),
            Idx{36});
  // SWAP exchanges the two operand bits.
  EXPECT_EQ(basis(3,
                  [](Circuit& c) {
                    c.x(0);
                    c.swap(0, 2);
                  }),
            Idx{4});
  // CCX: two controls, then the target.
  EXPECT_EQ(basis(3,
                  [](Circuit& c) {
                    c.x(0);
                    c.x(1);
                    c.ccx(0, 1, 2);
                  }),
            Idx{7});
  EXPECT_EQ(basis(3,
                  [](Circuit& c) {
                    c.x(0);
                    c.x(2);
                    c.ccx(0, 1, 2);
                  }),
            Idx{5});
  EXPECT_EQ(basis(3,
                  [](Circuit& c) {
                    c.x(0);
                    c.x(2);
                    c.ccx(0, 2, 1);
                  }),
            Idx{7});
  // CSWAP: control first; index 3 (011) and 5 (101) exchange.
  EXPECT_EQ(basis(3,
                  [](Circuit& c) {
                    c.x(0);
                    c.x(1);
                    c.cswap(0, 1, 2);
                  }),
            Idx{5});
  EXPECT_EQ(basis(3,
                  [](Circuit& c) {
                    c.x(1);
                    c.cswap(0, 1, 2);
                  }),
            Idx{2});
  EXPECT_EQ(basis(3,
                  [](Circuit& c) {
                    c.x(2);
                    c.x(1);
                    c.cswap(2, 1, 0);
                  }),
            Idx{5});
  // Id leaves the state as it is.
  EXPECT_EQ(basis(2,
                  [](Circuit& c) {
                    c.x(1);
                    c.id(1);
                    c.id(0);
                  }),
            Idx{2});
}

TYPED_TEST(EngineTest, CzNegatesOnlyWhenBothBitsAreSet) {
  using T = TypeParam;
  Circuit c(2);
  c.h(0);
  c.h(1);
  c.cz(1, 0);
  const RunResult<T> r = run_at<T>(c, 0, 0);
  const auto v = r.statevector.amplitudes();
  EXPECT_GT(v[0].re, 0);
  EXPECT_GT(v[1].re, 0);
  EXPECT_GT(v[2].re, 0);
  EXPECT_LT(v[3].re, 0);
}

TEST(EngineTest, U3UsesAllThreeAngles) {
  Circuit c(1);
  c.u3(0.7, 0.3, -1.1, 0);
  const RunResult<double> r = run_at<double>(c, 0, 0);
  const auto v = r.statevector.amplitudes();
  EXPECT_EQ(v[0].re, std::cos(0.35));
  EXPECT_EQ(v[0].im, 0.0);
  EXPECT_EQ(v[1].re, std::sin(0.35) * std::cos(0.3));
  EXPECT_EQ(v[1].im, std::sin(0.35) * std::sin(0.3));
}

TEST(EngineTest, GlobalPhasePiFormsTheProducts) {
  Circuit c(1);
  c.add_global_phase(std::numbers::pi);
  const RunResult<double> r = run_at<double>(c, 0, 0);
  const auto v = r.statevector.amplitudes();
  EXPECT_EQ(std::bit_cast<std::uint64_t>(v[0].re), std::bit_cast<std::uint64_t>(-1.0));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(v[0].im),
            std::bit_cast<std::uint64_t>(1.2246467991473532e-16));

  // At f32 the factor is rounded to float once, and the products are formed in float.
  const RunResult<float> f = run_at<float>(c, 0, 0);
  const auto w = f.statevector.amplitudes();
  EXPECT_EQ(std::bit_cast<std::uint32_t>(w[0].re), std::bit_cast<std::uint32_t>(-1.0f));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(w[0].im),
            std::bit_cast<std::uint32_t>(static_cast<float>(1.2246467991473532e-16)));
}

TYPED_TEST(EngineTest, GlobalPhaseMatchesTheReferenceAndZeroIsSkipped) {
  using T = TypeParam;
  for (const double phase : {0.0, -0.0, 1.0, -std::numbers::pi / 2, 1e6, 2.5e-300}) {
    SCOPED_TRACE(phase);
    Circuit c = random_circuit(4, 60, 9);
    ReferenceSimulator<T> ref(4);
    for (const Operation& op : c.ops()) {
      ref.apply(std::get<GateOp>(op));
    }
    if (phase != 0.0) {
      ref.phase(phase);
    }
    c.add_global_phase(phase);
    const RunResult<T> r = run_at<T>(c, 0, 0);
    EXPECT_TRUE(same_bits<T>(r.statevector.amplitudes(), ref.amplitudes()));
  }
  // A negative phase is applied, not skipped: e^{-i pi/2} on |0> is -i up to rounding.
  Circuit c(1);
  c.add_global_phase(-std::numbers::pi / 2);
  const RunResult<T> r = run_at<T>(c, 0, 0);
  EXPECT_EQ(r.statevector.amplitudes()[0].im, T{-1});
}

TYPED_TEST(EngineTest, NanPhaseTurnsTheStateToNanAndEveryShotToZeros) {
  using T = TypeParam;
  Circuit c(3);
  c.h(0);
  c.h(2);
  c.measure_all();
  c.add_global_phase(std::numeric_limits<double>::quiet_NaN());
  const RunResult<T> r = run_at<T>(c, 25, 1);
  for (const auto& a : r.statevector.amplitudes()) {
    EXPECT_TRUE(std::isnan(a.re) && std::isnan(a.im));
  }
  EXPECT_EQ(sorted(r.counts), (std::map<std::string, std::uint64_t>{{"000", 25}}));
}

TYPED_TEST(EngineTest, NanAngleStateSamplesTheAllZerosKey) {
  using T = TypeParam;
  Circuit c(1);
  c.rx(std::numeric_limits<double>::quiet_NaN(), 0);
  c.measure(0, 0);
  EXPECT_EQ(sorted(run_at<T>(c, 9, 2).counts), (std::map<std::string, std::uint64_t>{{"0", 9}}));
}

TYPED_TEST(EngineTest, RefusesZeroQubitsAndOversizedRegisters) {
  using T = TypeParam;
  EXPECT_EQ(abort_message([] { run_at<T>(Circuit(0), 10, 1); }), "qubit 수는 1 이상이어야 합니다");
  EXPECT_EQ(abort_message([] { run_at<T>(Circuit(0), 10, std::nullopt); }),
            "qubit 수는 1 이상이어야 합니다");
  const std::uint64_t too_big = std::is_same_v<T, float> ? 60 : 59;
  EXPECT_EQ(abort_message([&] { run_at<T>(Circuit(too_big), 10, 1); }), "capacity overflow");
  EXPECT_EQ(abort_message([] { run_at<T>(Circuit(64), 10, 1); }), "capacity overflow");
  EXPECT_EQ(abort_message([] { run_at<T>(Circuit(1000), 10, 1); }), "capacity overflow");
}

TYPED_TEST(EngineTest, UnseededRunsDrawFreshEntropy) {
  using T = TypeParam;
  Circuit c(10);
  for (std::uint64_t q = 0; q < 10; ++q) {
    c.h(q);
  }
  c.measure_all();
  // 1024 equally likely outcomes: two runs agreeing on 200 shots is practically impossible.
  const RunResult<T> a = run_at<T>(c, 200, std::nullopt);
  const RunResult<T> b = run_at<T>(c, 200, std::nullopt);
  EXPECT_NE(a.counts, b.counts);
  EXPECT_TRUE(same_bits<T>(a.statevector.amplitudes(), b.statevector.amplitudes()));
}

TYPED_TEST(EngineTest, SeededRunsAreBitIdenticalAcrossRunsAndPoolSizes) {
  using T = TypeParam;
  Circuit c = random_circuit(14, 200, 14);
  c.measure(3, 0);
  c.add_global_phase(0.3);

  const RunResult<T> first = run_at<T>(c, 2000, 77);
  EXPECT_EQ(first.statevector.num_qubits(), 14u);
  std::uint64_t total = 0;
  for (const auto& [key, n] : first.counts) {
    EXPECT_EQ(key.size(), 14u);
    total += n;
  }
  EXPECT_EQ(total, 2000u);
  EXPECT_GT(first.counts.size(), 100u);  // a spread-out state, not a basis state

  const RunResult<T> again = run_at<T>(c, 2000, 77);
  EXPECT_TRUE(same_bits<T>(first.statevector.amplitudes(), again.statevector.amplitudes()));
  EXPECT_EQ(first.counts, again.counts);

  for (const std::size_t threads : {1u, 2u, 3u}) {
    SCOPED_TRACE(threads);
    core::testing::run_with_pool_size(threads, [&] {
      const RunResult<T> r = run_at<T>(c, 2000, 77);
      EXPECT_TRUE(same_bits<T>(first.statevector.amplitudes(), r.statevector.amplitudes()));
      EXPECT_EQ(first.counts, r.counts);
    });
  }
}

TEST(EngineTest, PrecisionsDifferOnlyByRounding) {
  const Circuit c = random_circuit(8, 120, 21);
  const RunResult<float> f = run_at<float>(c, 0, 0);
  const RunResult<double> d = run_at<double>(c, 0, 0);
  const auto vf = f.statevector.amplitudes();
  const auto vd = d.statevector.amplitudes();
  for (std::size_t i = 0; i < vd.size(); ++i) {
    EXPECT_NEAR(vf[i].re, vd[i].re, 1e-5);
    EXPECT_NEAR(vf[i].im, vd[i].im, 1e-5);
  }
}

}  // namespace
}  // namespace vorn::sim
