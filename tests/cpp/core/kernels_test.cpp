// The five kernels: the scalar reference against the per-index oracle and its parallel paths
// against its serial scans (variants_test holds every vectorised table to the reference), and,
// through every implementation, the fixed examples, non-finite values and out-of-range operands.
#include "core/kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/abort.h"
#include "core/gates.h"
#include "core/parallel.h"
#include "core/state_vector.h"
#include "kernel_ops.h"
#include "support.h"

namespace vorn::core {
namespace {

using test::Amplitudes;
using test::Kernel;
using test::Op;

template <typename T>
class KernelsTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(KernelsTest, Precisions);

// The reference, every kernel, every operand placement (coinciding ones included), for every
// size up to 6 qubits, against the oracle.
TYPED_TEST(KernelsTest, MatchesOracleForEveryPlacementUpToSixQubits) {
  using T = TypeParam;
  {
    const auto* table = &kernels::reference_table<T>();
    for (unsigned n = 1; n <= 6; ++n) {
      for (const Kernel kernel : test::ALL_KERNELS) {
        std::uint64_t seed = 1000 * n + static_cast<unsigned>(kernel);
        test::for_each_placement(kernel, test::qubit_range(n), true, [&](const auto& qubits) {
          const Op<T> op = test::make_op<T>(kernel, qubits, ++seed);
          const Amplitudes<T> before = test::random_state<T>(n, seed);
          Amplitudes<T> v = before;
          test::apply_with(*table, v, op);
          EXPECT_EQ(test::bit_difference(v, test::oracle(before, op)), "")
              << table->name << " n=" << n << " " << op.describe();
        });
      }
    }
  }
}

// The reference's parallel paths and its calling-thread functions at 13 qubits against the
// oracle on a spread of placements that includes the lowest and the highest qubit.
TYPED_TEST(KernelsTest, ParallelPathMatchesOracle) {
  using T = TypeParam;
  const unsigned n = 13;
  const Amplitudes<T> before = test::random_state<T>(n, 77);
  {
    const auto* table = &kernels::reference_table<T>();
    for (const Kernel kernel : test::ALL_KERNELS) {
      std::uint64_t seed = 500;
      test::for_each_placement(kernel, {0, 1, 6, 11, 12}, true, [&](const auto& qubits) {
        const Op<T> op = test::make_op<T>(kernel, qubits, ++seed);
        const Amplitudes<T> expected = test::oracle(before, op);
        Amplitudes<T> v = before;
        test::apply_with(*table, v, op);
        EXPECT_EQ(test::bit_difference(v, expected), "") << table->name << " " << op.describe();
        // The serial scans on the calling thread, at the parallel path's length.
        v = before;
        test::apply_with(table->local, v, op);
        EXPECT_EQ(test::bit_difference(v, expected), "")
            << table->name << " on the calling thread " << op.describe();
      });
    }
  }
}

// Inserts the bit `value` at position `position` of a 12-qubit index.
std::uint64_t widen(std::uint64_t index, unsigned position, std::uint64_t value) {
  const std::uint64_t low = (std::uint64_t{1} << position) - 1;
  return (index & low) | (value << position) | ((index & ~low) << 1);
}

// A 13-qubit state (parallel path) and two 12-qubit states (serial path) holding its two halves
// split by the qubit at `extra`; the same operation, on qubits other than `extra`, must give
// the same bits on both subspaces, with pools of 1, 2 and 3 threads.
template <typename T>
void check_serial_against_parallel(const kernels::KernelTable<T>& table, Kernel kernel,
                                   unsigned extra) {
  const unsigned n = 12;
  const Amplitudes<T> half0 = test::random_state<T>(n, 11 + extra);
  const Amplitudes<T> half1 = test::random_state<T>(n, 23 + extra);
  Amplitudes<T> wide(std::uint64_t{1} << (n + 1));
  for (std::uint64_t i = 0; i < half0.size(); ++i) {
    wide[widen(i, extra, 0)] = half0[i];
    wide[widen(i, extra, 1)] = half1[i];
  }
  std::uint64_t seed = 900 + extra;
  test::for_each_placement(kernel, test::qubit_range(n), true, [&](const auto& qubits) {
    Op<T> narrow_op = test::make_op<T>(kernel, qubits, ++seed);
    Op<T> wide_op = narrow_op;
    for (auto& q : wide_op.qubits) {
      q = q < extra ? q : q + 1;
    }
    Amplitudes<T> serial0 = half0;
    Amplitudes<T> serial1 = half1;
    test::apply_with(table, serial0, narrow_op);
    test::apply_with(table, serial1, narrow_op);
    for (const std::size_t threads : {1, 2, 3}) {
      Amplitudes<T> parallel = wide;
      testing::run_with_pool_size(threads, [&] { test::apply_with(table, parallel, wide_op); });
      bool same = true;
      for (std::uint64_t i = 0; i < half0.size() && same; ++i) {
        same = std::memcmp(&parallel[widen(i, extra, 0)], &serial0[i], sizeof(Complex<T>)) == 0 &&
               std::memcmp(&parallel[widen(i, extra, 1)], &serial1[i], sizeof(Complex<T>)) == 0;
      }
      EXPECT_TRUE(same) << table.name << " " << narrow_op.describe() << " extra qubit " << extra
                        << " threads " << threads;
    }
  });
}

TYPED_TEST(KernelsTest, SerialAndParallelAgreeOnSharedSubspace) {
  using T = TypeParam;
  {
    const auto* table = &kernels::reference_table<T>();
    for (const Kernel kernel : test::ALL_KERNELS) {
      for (const unsigned extra : {0u, 12u}) {
        check_serial_against_parallel(*table, kernel, extra);
      }
    }
  }
}

// The reference's parallel paths resolve coinciding operands as the serial scans do; the
// scans run here at 13 qubits, directly.
TYPED_TEST(KernelsTest, CoincidingOperandsFollowTheSerialScan) {
  using T = TypeParam;
  const unsigned n = 13;
  const Amplitudes<T> before = test::random_state<T>(n, 5);
  {
    const auto* table = &kernels::reference_table<T>();
    for (const Kernel kernel :
         {Kernel::Controlled, Kernel::DoublyControlled, Kernel::ControlledSwap}) {
      std::uint64_t seed = 40;
      test::for_each_placement(kernel, {0, 3, 12}, true, [&](const auto& qubits) {
        const Op<T> op = test::make_op<T>(kernel, qubits, ++seed);
        Amplitudes<T> expected = before;
        test::apply_serial_scan(expected, op);
        Amplitudes<T> v = before;
        test::apply_with(*table, v, op);
        EXPECT_EQ(test::bit_difference(v, expected), "") << table->name << " " << op.describe();
      });
    }
  }
}

TYPED_TEST(KernelsTest, CoincidingOperandExamples) {
  using T = TypeParam;
  const Matrix2<T> x = matrix_2x2<T>(Gate{GateKind::X});
  for (const unsigned n : {3u, 13u}) {
    const Amplitudes<T> before = test::random_state<T>(n, 3);
    Amplitudes<T> v = before;
    apply_controlled_gate<T>(v, x, 2, 2);
    EXPECT_EQ(test::bit_difference(v, before), "") << "control == target, n=" << n;
    apply_controlled_swap<T>(v, 0, 1, 1);
    EXPECT_EQ(test::bit_difference(v, before), "") << "target1 == target2, n=" << n;
    apply_controlled_swap<T>(v, 1, 1, 2);
    EXPECT_EQ(test::bit_difference(v, before), "") << "control == target1, n=" << n;
    apply_two_qubit_gate<T>(v, CZ_MATRIX<T>, 1, 1);
    EXPECT_EQ(test::bit_difference(v, before), "") << "q0 == q1, n=" << n;
    apply_doubly_controlled_gate<T>(v, x, 0, 2, 2);
    EXPECT_EQ(test::bit_difference(v, before), "") << "control2 == target, n=" << n;

    Amplitudes<T> once = before;
    apply_controlled_gate<T>(once, x, 1, 0);
    v = before;
    apply_doubly_controlled_gate<T>(v, x, 1, 1, 0);
    EXPECT_EQ(test::bit_difference(v, once), "") << "control1 == control2, n=" << n;

    // control == target2: target1 and target2 are exchanged without condition.
    v = before;
    apply_controlled_swap<T>(v, 2, 0, 2);
    for (std::uint64_t i = 0; i < v.size(); ++i) {
      const bool differ = test::is_set(i, 0) != test::is_set(i, 2);
      const std::uint64_t j = differ ? i ^ 0b101 : i;
      EXPECT_EQ(std::memcmp(&v[i], &before[j], sizeof(Complex<T>)), 0) << i;
    }
  }
}

TYPED_TEST(KernelsTest, FixedExamples) {
  using T = TypeParam;
  const Matrix2<T> h = matrix_2x2<T>(Gate{GateKind::H});
  const Matrix2<T> x = matrix_2x2<T>(Gate{GateKind::X});
  const T s = h[0].re;

  StateVector<T> one(1);
  apply_single_qubit_gate<T>(one.amplitudes(), h, 0);
  EXPECT_EQ(one.amplitudes()[0], (Complex<T>{s, 0}));
  EXPECT_EQ(one.amplitudes()[1], (Complex<T>{s, 0}));
  apply_single_qubit_gate<T>(one.amplitudes(), h, 0);
  if constexpr (std::is_same_v<T, double>) {
    EXPECT_EQ(one.amplitudes()[0].re, 1.0000000000000002);
  }
  EXPECT_EQ(one.amplitudes()[0].re, s * s + s * s);
  EXPECT_EQ(one.amplitudes()[1].re, T(0));

  StateVector<T> three(3);
  apply_single_qubit_gate<T>(three.amplitudes(), x, 1);
  for (std::uint64_t i = 0; i < 8; ++i) {
    EXPECT_EQ(three.amplitudes()[i], (Complex<T>{i == 2 ? T(1) : T(0), 0})) << i;
  }

  // X twice restores finite amplitudes exactly.
  Amplitudes<T> v = test::random_state<T>(13, 9);
  const Amplitudes<T> before = v;
  apply_single_qubit_gate<T>(v, x, 12);
  apply_single_qubit_gate<T>(v, x, 12);
  EXPECT_EQ(test::bit_difference(v, before), "");

  // CX(0, 1): index 1 moves to 3; index 2 stays.
  Amplitudes<T> cx(4);
  cx[1] = {1, 0};
  apply_controlled_gate<T>(cx, x, 0, 1);
  EXPECT_EQ(cx[3], (Complex<T>{1, 0}));
  EXPECT_EQ(cx[1], (Complex<T>{0, 0}));
  Amplitudes<T> stay(4);
  stay[2] = {1, 0};
  apply_controlled_gate<T>(stay, x, 0, 1);
  EXPECT_EQ(stay[2], (Complex<T>{1, 0}));

  // CCX(0, 1, 2): index 3 moves to 7. CSWAP(0, 1, 2): 3 and 5 exchange.
  Amplitudes<T> ccx(8);
  ccx[3] = {1, 0};
  apply_doubly_controlled_gate<T>(ccx, x, 0, 1, 2);
  EXPECT_EQ(ccx[7], (Complex<T>{1, 0}));
  EXPECT_EQ(ccx[3], (Complex<T>{0, 0}));
  Amplitudes<T> cs = test::random_state<T>(3, 4);
  const Amplitudes<T> cs_before = cs;
  apply_controlled_swap<T>(cs, 0, 1, 2);
  for (std::uint64_t i = 0; i < 8; ++i) {
    const std::uint64_t j = i == 3 ? 5 : (i == 5 ? 3 : i);
    EXPECT_EQ(std::memcmp(&cs[i], &cs_before[j], sizeof(Complex<T>)), 0) << i;
  }

  // The first operand of the 4x4 kernel is the low bit of the local index.
  Matrix4<T> shift{};
  shift[4 * 2 + 1] = {1, 0};  // local 1 -> local 2
  for (const auto& [q0, q1] : {std::pair{0u, 2u}, std::pair{2u, 0u}}) {
    Amplitudes<T> w(8);
    w[std::uint64_t{1} << q0] = {1, 0};
    apply_two_qubit_gate<T>(w, shift, q0, q1);
    EXPECT_EQ(w[std::uint64_t{1} << q1], (Complex<T>{1, 0})) << q0 << "," << q1;
    EXPECT_EQ(w[std::uint64_t{1} << q0], (Complex<T>{0, 0}));
  }

  // CZ negates both-bits-set amplitudes; SWAP exchanges (1, 0) and (0, 1).
  for (const unsigned n : {3u, 13u}) {
    Amplitudes<T> z = test::random_state<T>(n, 8);
    const Amplitudes<T> z_before = z;
    apply_two_qubit_gate<T>(z, CZ_MATRIX<T>, 2, 0);
    for (std::uint64_t i = 0; i < z.size(); ++i) {
      const bool both = test::is_set(i, 0) && test::is_set(i, 2);
      EXPECT_EQ(z[i].re, both ? -z_before[i].re : z_before[i].re) << i;
      EXPECT_EQ(z[i].im, both ? -z_before[i].im : z_before[i].im) << i;
    }
    Amplitudes<T> sw = z_before;
    apply_two_qubit_gate<T>(sw, SWAP_MATRIX<T>, 0, 2);
    for (std::uint64_t i = 0; i < sw.size(); ++i) {
      const bool differ = test::is_set(i, 0) != test::is_set(i, 2);
      EXPECT_EQ(sw[i], z_before[differ ? i ^ 0b101 : i]) << i;
    }
  }
}

// Id beside an infinite amplitude turns its partner into NaN (0 * inf); CX with an infinite
// amplitude makes both results of the pair non-finite. Both paths, every implementation.
TYPED_TEST(KernelsTest, NonFiniteValuesPropagate) {
  using T = TypeParam;
  const T inf = std::numeric_limits<T>::infinity();
  const Matrix2<T> id = matrix_2x2<T>(Gate{GateKind::Id});
  const Matrix2<T> x = matrix_2x2<T>(Gate{GateKind::X});
  for (const auto* table : kernels::available_tables<T>()) {
    for (const unsigned n : {2u, 13u}) {
      Amplitudes<T> v = test::random_state<T>(n, 12);
      v[0] = {inf, 0};
      kernels::apply_single_qubit_gate_with<T>(*table, v, id, 1);
      EXPECT_TRUE(std::isnan(v[2].re)) << table->name << " n=" << n;
      EXPECT_TRUE(std::isinf(v[0].re)) << table->name << " n=" << n;
      EXPECT_TRUE(std::isfinite(v[1].re) && std::isfinite(v[3].re)) << table->name;

      Amplitudes<T> w = test::random_state<T>(n, 13);
      w[1] = {inf, 0};
      kernels::apply_controlled_gate_with<T>(*table, w, x, 0, 1);
      EXPECT_FALSE(std::isfinite(w[1].re) && std::isfinite(w[1].im)) << table->name;
      EXPECT_FALSE(std::isfinite(w[3].re) && std::isfinite(w[3].im)) << table->name;
      EXPECT_TRUE(std::isfinite(w[0].re) && std::isfinite(w[2].re)) << table->name;
    }
  }
}

// The exchange moves stored values unchanged: negative zeros, infinities and NaN payloads.
TYPED_TEST(KernelsTest, ControlledSwapMovesBitsUnchanged) {
  using T = TypeParam;
  for (const auto* table : kernels::available_tables<T>()) {
    for (const unsigned n : {3u, 13u}) {
      Amplitudes<T> v = test::random_state<T>(n, 21);
      v[3] = {T(-0.0), std::numeric_limits<T>::infinity()};
      v[5] = {std::numeric_limits<T>::quiet_NaN(), -std::numeric_limits<T>::signaling_NaN()};
      const Amplitudes<T> before = v;
      kernels::apply_controlled_swap_with<T>(*table, v, 0, 1, 2);
      EXPECT_EQ(std::memcmp(&v[3], &before[5], sizeof(Complex<T>)), 0) << table->name;
      EXPECT_EQ(std::memcmp(&v[5], &before[3], sizeof(Complex<T>)), 0) << table->name;
    }
  }
}

template <typename T>
void expect_abort(const std::function<void()>& fn, const std::string& message) {
  try {
    fn();
    ADD_FAILURE() << "no abort, expected: " << message;
  } catch (const Abort& e) {
    EXPECT_EQ(e.message(), message);
  }
}

// An operand out of range aborts before any amplitude changes; the parallel single-qubit path
// refuses its split with "mid > len". 8192 amplitudes take the parallel path, 4096 the serial.
TYPED_TEST(KernelsTest, OutOfRangeOperandsAbortWithoutTouchingTheState) {
  using T = TypeParam;
  const Matrix2<T> x = matrix_2x2<T>(Gate{GateKind::X});
  for (const auto* table : kernels::available_tables<T>()) {
    Amplitudes<T> par = test::random_state<T>(13, 1);
    Amplitudes<T> ser = test::random_state<T>(12, 2);
    const Amplitudes<T> par_before = par;
    const Amplitudes<T> ser_before = ser;
    for (const std::uint64_t q : {13ull, 14ull, 40ull}) {
      expect_abort<T>([&] { kernels::apply_single_qubit_gate_with<T>(*table, par, x, q); },
                      "mid > len");
    }
    expect_abort<T>([&] { kernels::apply_single_qubit_gate_with<T>(*table, ser, x, 12); },
                    "index out of bounds: the len is 4096 but the index is 4096");
    for (const std::uint64_t q : {63ull, 64ull, ~0ull}) {
      const std::string m = "block size 2^" + std::to_string(q + 1) + " of target qubit " +
                            std::to_string(q) + " does not fit a machine word";
      expect_abort<T>([&] { kernels::apply_single_qubit_gate_with<T>(*table, par, x, q); }, m);
    }
    const std::string bad13 = "qubit operand 13 is out of range for a state of 8192 amplitudes";
    const std::string bad64 = "qubit operand 64 is out of range for a state of 8192 amplitudes";
    expect_abort<T>([&] { kernels::apply_controlled_gate_with<T>(*table, par, x, 13, 0); }, bad13);
    expect_abort<T>([&] { kernels::apply_controlled_gate_with<T>(*table, par, x, 0, 64); }, bad64);
    expect_abort<T>(
        [&] { kernels::apply_two_qubit_gate_with<T>(*table, par, SWAP_MATRIX<T>, 13, 13); }, bad13);
    expect_abort<T>(
        [&] { kernels::apply_doubly_controlled_gate_with<T>(*table, par, x, 0, 1, 13); }, bad13);
    expect_abort<T>([&] { kernels::apply_controlled_swap_with<T>(*table, par, 13, 1, 1); }, bad13);
    expect_abort<T>([&] { kernels::apply_controlled_swap_with<T>(*table, ser, 0, 1, 12); },
                    "qubit operand 12 is out of range for a state of 4096 amplitudes");
    EXPECT_EQ(test::bit_difference(par, par_before), "");
    EXPECT_EQ(test::bit_difference(ser, ser_before), "");

    Amplitudes<T> odd(6);
    expect_abort<T>([&] { kernels::apply_single_qubit_gate_with<T>(*table, odd, x, 0); },
                    "state length 6 is not a power of two");
  }
}

}  // namespace
}  // namespace vorn::core
