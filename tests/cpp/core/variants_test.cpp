// Every vectorised kernel table against the scalar reference, bit for bit: random states and
// states full of signed zeros, infinities and subnormals, every operand placement (lane and
// register operands of every width), both paths, pool sizes 1 to 3, both precisions. Each
// table's tests run once per table, and show as skipped on a CPU without its instruction set.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/gates.h"
#include "core/kernels/dispatch.h"
#include "core/parallel.h"
#include "kernel_ops.h"
#include "support.h"

namespace vorn::core {
namespace {

using test::Amplitudes;
using test::Kernel;
using test::Op;

// One vectorised table per test instance: the test body runs for both precisions.
class VariantsTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (kernels::find_table<double>(GetParam()) == nullptr) {
      GTEST_SKIP() << "this CPU cannot run the " << GetParam() << " kernels";
    }
  }

  template <typename T>
  const kernels::KernelTable<T>& table() const {
    return *kernels::find_table<T>(GetParam());
  }
};

INSTANTIATE_TEST_SUITE_P(Tables, VariantsTest, ::testing::Values("avx512", "avx2"),
                         [](const auto& info) { return info.param; });

// Random values with special ones mixed in (no NaN inputs: which NaN an operation passes on is
// not part of the formula).
template <typename T>
Amplitudes<T> special_state(unsigned n, std::uint64_t seed) {
  Amplitudes<T> v = test::random_state<T>(n, seed);
  const T specials[] = {T(0),
                        T(-0.0),
                        std::numeric_limits<T>::infinity(),
                        -std::numeric_limits<T>::infinity(),
                        std::numeric_limits<T>::denorm_min(),
                        -std::numeric_limits<T>::min(),
                        std::numeric_limits<T>::max()};
  std::mt19937_64 rng(seed);
  for (auto& a : v) {
    if (rng() % 4 == 0) {
      a.re = specials[rng() % 7];
    }
    if (rng() % 4 == 0) {
      a.im = specials[rng() % 7];
    }
  }
  return v;
}

// Every kernel on every placement through `table`, its calling-thread and in-cache functions and
// the reference. From PARALLEL_THRESHOLD amplitudes on, the placements take turns on pools of 1, 2
// and 3 threads.
template <typename T>
void compare_with_reference(const kernels::KernelTable<T>& table, unsigned n, bool special,
                            bool allow_coinciding) {
  const auto& reference = kernels::reference_table<T>();
  std::size_t turn = 0;
  for (const Kernel kernel : test::ALL_KERNELS) {
    std::uint64_t seed = 31 * n + static_cast<unsigned>(kernel);
    const Amplitudes<T> before =
        special ? special_state<T>(n, seed) : test::random_state<T>(n, seed);
    test::for_each_placement(
        kernel, test::qubit_range(n), allow_coinciding, [&](const auto& qubits) {
          const Op<T> op = test::make_op<T>(kernel, qubits, ++seed);
          Amplitudes<T> expected = before;
          test::apply_with(reference, expected, op);
          Amplitudes<T> v = before;
          const std::size_t threads = 1 + turn++ % 3;
          testing::run_with_pool_size(threads, [&] { test::apply_with(table, v, op); });
          EXPECT_EQ(test::bit_difference(v, expected), "")
              << table.name << " n=" << n << " " << op.describe() << (special ? " special" : "")
              << " threads " << threads;
          v = before;
          test::apply_with(table.local, v, op);
          EXPECT_EQ(test::bit_difference(v, expected), "")
              << table.name << " on the calling thread, n=" << n << " " << op.describe()
              << (special ? " special" : "");
          v = before;
          test::apply_with(table.in_cache, v, op);
          EXPECT_EQ(test::bit_difference(v, expected), "")
              << table.name << " in the cache, n=" << n << " " << op.describe()
              << (special ? " special" : "");
        });
  }
}

template <typename T>
void compare_paths(const kernels::KernelTable<T>& table) {
  for (const unsigned n : {1u, 2u, 3u, 4u, 5u, 6u, 9u}) {
    compare_with_reference(table, n, false, true);
  }
  for (const unsigned n : {3u, 7u}) {
    compare_with_reference(table, n, true, false);
  }
  compare_with_reference(table, 13, false, true);
  compare_with_reference(table, 13, true, false);
}

TEST_P(VariantsTest, SerialAndParallelPathsMatchReference) {
  compare_paths(table<float>());
  compare_paths(table<double>());
}

// The gate set's own matrices (negative zeros in Y and Sdg, exact zeros everywhere) and
// matrices with NaN or infinite entries, on states with special values: the vectorised tables
// keep the reference's bits wherever the reference's bits are defined by a single NaN source.
template <typename T>
void check_gate_and_non_finite_matrices(const kernels::KernelTable<T>& variant) {
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const T inf = std::numeric_limits<T>::infinity();
  std::vector<Matrix2<T>> matrices;
  for (int tag = 0; tag <= 12; ++tag) {
    matrices.push_back(matrix_2x2<T>(Gate{static_cast<GateKind>(tag), 0.3, -1.2, 2.5}));
  }
  // A NaN imaginary part keeps the vectorised product on its addsub path; a negative NaN too.
  Matrix2<T> nan_im = test::random_matrix2<T>(3);
  nan_im[1].im = nan;
  matrices.push_back(nan_im);
  Matrix2<T> neg_nan_im = test::random_matrix2<T>(4);
  neg_nan_im[2].im = -nan;
  matrices.push_back(neg_nan_im);
  Matrix2<T> infinite = test::random_matrix2<T>(5);
  infinite[0].im = -inf;
  infinite[3].re = inf;
  matrices.push_back(infinite);

  const auto& reference = kernels::reference_table<T>();
  {
    const auto* table = &variant;
    for (const unsigned n : {5u, 13u}) {
      // Finite states only where the matrix holds a NaN: a NaN on both sides of a product
      // leaves the choice of NaN to the compiler.
      const Amplitudes<T> specials = special_state<T>(n, 77);
      const Amplitudes<T> finite = test::random_state<T>(n, 78);
      for (std::size_t i = 0; i < matrices.size(); ++i) {
        const Matrix2<T>& m = matrices[i];
        const bool has_nan = std::isnan(m[1].im) || std::isnan(m[2].im);
        const Amplitudes<T>& before = has_nan ? finite : specials;
        for (unsigned target = 0; target < n; ++target) {
          Amplitudes<T> expected = before;
          kernels::apply_single_qubit_gate_with<T>(reference, expected, m, target);
          Amplitudes<T> v = before;
          kernels::apply_single_qubit_gate_with<T>(*table, v, m, target);
          EXPECT_EQ(test::bit_difference(v, expected), "")
              << table->name << " matrix " << i << " target " << target << " n=" << n;
          const std::uint64_t control = (target + 1) % n;
          expected = before;
          kernels::apply_controlled_gate_with<T>(reference, expected, m, control, target);
          v = before;
          kernels::apply_controlled_gate_with<T>(*table, v, m, control, target);
          EXPECT_EQ(test::bit_difference(v, expected), "")
              << table->name << " matrix " << i << " controlled " << control << "," << target;
        }
      }
      for (const Matrix4<T>* m4 : {&CZ_MATRIX<T>, &SWAP_MATRIX<T>}) {
        for (unsigned q0 = 0; q0 < n; q0 += 2) {
          const unsigned q1 = (q0 + 1 + q0 / 2) % n;
          Amplitudes<T> expected = specials;
          kernels::apply_two_qubit_gate_with<T>(reference, expected, *m4, q0, q1);
          Amplitudes<T> v = specials;
          kernels::apply_two_qubit_gate_with<T>(*table, v, *m4, q0, q1);
          EXPECT_EQ(test::bit_difference(v, expected), "")
              << table->name << " 4x4 " << q0 << "," << q1 << " n=" << n;
        }
      }
    }
  }
}

// Dense 4x4 matrices with a NaN imaginary part (the products' addsub path) or infinite
// entries, on every ordered pair of operands: lane and register operands, both paths.
template <typename T>
void check_non_finite_four_by_four_matrices(const kernels::KernelTable<T>& variant) {
  Matrix4<T> nan_im = test::random_matrix4<T>(11);
  nan_im[6].im = -std::numeric_limits<T>::quiet_NaN();
  Matrix4<T> infinite = test::random_matrix4<T>(12);
  infinite[1].re = std::numeric_limits<T>::infinity();
  infinite[14].im = -std::numeric_limits<T>::infinity();
  const auto& reference = kernels::reference_table<T>();
  {
    const auto* table = &variant;
    for (const unsigned n : {5u, 13u}) {
      const Amplitudes<T> finite = test::random_state<T>(n, 90 + n);
      const Amplitudes<T> specials = special_state<T>(n, 91 + n);
      for (unsigned q0 = 0; q0 < n; ++q0) {
        for (unsigned q1 = 0; q1 < n; ++q1) {
          if (q0 == q1) {
            continue;
          }
          for (const bool with_nan : {true, false}) {
            const Matrix4<T>& m = with_nan ? nan_im : infinite;
            Amplitudes<T> expected = with_nan ? finite : specials;
            Amplitudes<T> v = expected;
            kernels::apply_two_qubit_gate_with<T>(reference, expected, m, q0, q1);
            kernels::apply_two_qubit_gate_with<T>(*table, v, m, q0, q1);
            EXPECT_EQ(test::bit_difference(v, expected), "")
                << table->name << " n=" << n << " " << q0 << "," << q1
                << (with_nan ? " NaN" : " infinite");
          }
        }
      }
    }
  }
}

TEST_P(VariantsTest, GateAndNonFiniteMatricesMatchReference) {
  check_gate_and_non_finite_matrices(table<float>());
  check_gate_and_non_finite_matrices(table<double>());
}

TEST_P(VariantsTest, NonFiniteFourByFourMatricesMatchReference) {
  check_non_finite_four_by_four_matrices(table<float>());
  check_non_finite_four_by_four_matrices(table<double>());
}

// Matrices with zero parts (real, diagonal, a real diagonal with imaginary entries off it, with
// negative zeros among their parts and entries small enough for products to underflow), on
// states built to meet every case where a dropped product could change a bit: zeros of both
// signs alone and in pairs, subnormals, values whose products underflow or overflow,
// infinities, and pairs that cancel exactly. Every operand placement, with lane and register
// controls.
template <typename T>
std::vector<Matrix2<T>> shaped_matrices() {
  const T nz = T(-0.0);
  const T tiny = std::numeric_limits<T>::min() * T(4);
  std::vector<Matrix2<T>> out;
  for (const GateKind kind :
       {GateKind::H, GateKind::X, GateKind::Y, GateKind::Z, GateKind::S, GateKind::Tdg,
        GateKind::Rx, GateKind::Ry, GateKind::Rz, GateKind::Id}) {
    out.push_back(matrix_2x2<T>(Gate{kind, 0.9}));
  }
  out.push_back({{{1, nz}, {nz, 0}, {0, nz}, {-1, 0}}});             // real diagonal, signed zeros
  out.push_back({{{T(0.6), 0}, {T(-0.8), nz}, {tiny, 0}, {0, 0}}});  // real, a zero entry
  out.push_back({{{nz, T(0.5)}, {0, 0}, {nz, nz}, {T(0.25), T(-2)}}});  // diagonal
  out.push_back({{{T(0.3), nz}, {nz, T(-0.7)}, {0, tiny}, {nz, 0}}});   // imaginary off it
  return out;
}

template <typename T>
Amplitudes<T> awkward_state(unsigned n, std::uint64_t seed) {
  const T inf = std::numeric_limits<T>::infinity();
  const T values[] = {T(0),
                      T(-0.0),
                      std::numeric_limits<T>::denorm_min(),
                      -std::numeric_limits<T>::denorm_min(),
                      std::numeric_limits<T>::min(),
                      T(-1.5) * std::numeric_limits<T>::min(),
                      std::numeric_limits<T>::max(),
                      -std::numeric_limits<T>::max(),
                      inf,
                      -inf,
                      T(1),
                      T(-0.75)};
  constexpr unsigned COUNT = sizeof(values) / sizeof(values[0]);
  Amplitudes<T> v = test::random_state<T>(n, seed);
  std::mt19937_64 rng(seed);
  for (std::size_t i = 0; i < v.size(); ++i) {
    switch (rng() % 6) {
      case 0:  // an awkward value in one part
        (rng() % 2 == 0 ? v[i].re : v[i].im) = values[rng() % COUNT];
        break;
      case 1:  // zero bits, or zeros of mixed signs
        v[i] = {values[rng() % 2], values[rng() % 2]};
        break;
      case 2:  // the same as, or the opposite of, the amplitude just before
        if (i > 0) {
          v[i] = rng() % 2 == 0 ? v[i - 1] : Complex<T>{-v[i - 1].re, -v[i - 1].im};
        }
        break;
      default:
        break;
    }
  }
  // Whole registers of zero bits, and of the opposites of their partners.
  for (std::size_t i = 0; i + 16 <= v.size(); i += 64) {
    for (std::size_t k = 0; k < 16; ++k) {
      v[i + k] = {0, 0};
    }
  }
  return v;
}

// The awkward state with a long middle stretch whose amplitudes are each real or imaginary (a
// zero of either sign in the other part), as after H or RX on |0...0>: there the shaped runners
// find most groups failing their check and run whole chunks through the full products, and
// return to the shaped ones after it.
template <typename T>
Amplitudes<T> split_parts_state(unsigned n, std::uint64_t seed) {
  Amplitudes<T> v = awkward_state<T>(n, seed);
  std::mt19937_64 rng(seed);
  for (std::size_t i = v.size() / 8; i < v.size() * 5 / 8; ++i) {
    (rng() % 2 == 0 ? v[i].re : v[i].im) = rng() % 4 == 0 ? T(-0.0) : T(0);
  }
  return v;
}

template <typename T>
void check_shaped_matrices(const kernels::KernelTable<T>& table) {
  const auto& reference = kernels::reference_table<T>();
  for (const unsigned n : {4u, 7u, 13u, 15u}) {
    const Amplitudes<T> before =
        n == 15 ? split_parts_state<T>(n, 500 + n) : awkward_state<T>(n, 500 + n);
    std::size_t i = 0;
    for (const Matrix2<T>& m : shaped_matrices<T>()) {
      ++i;
      for (unsigned target = 0; target < n; ++target) {
        Amplitudes<T> expected = before;
        kernels::apply_single_qubit_gate_with<T>(reference, expected, m, target);
        Amplitudes<T> v = before;
        kernels::apply_single_qubit_gate_with<T>(table, v, m, target);
        EXPECT_EQ(test::bit_difference(v, expected), "")
            << table.name << " matrix " << i << " target " << target << " n=" << n;
        for (const unsigned control : {0u, 2u, n - 1}) {
          if (control == target) {
            continue;
          }
          expected = before;
          kernels::apply_controlled_gate_with<T>(reference, expected, m, control, target);
          v = before;
          kernels::apply_controlled_gate_with<T>(table, v, m, control, target);
          EXPECT_EQ(test::bit_difference(v, expected), "")
              << table.name << " matrix " << i << " controlled " << control << "," << target
              << " n=" << n;
        }
      }
    }
    // Diagonal 4x4 matrices: CZ and one with complex entries and signed zeros off the diagonal.
    Matrix4<T> diagonal_entries{};
    for (unsigned k = 0; k < 16; ++k) {
      diagonal_entries[k] = {k % 3 == 0 ? T(-0.0) : T(0), k % 2 == 0 ? T(-0.0) : T(0)};
    }
    diagonal_entries[0] = {T(0.5), T(-0.5)};
    diagonal_entries[5] = {0, 1};
    diagonal_entries[10] = {T(-1), T(-0.0)};
    diagonal_entries[15] = {T(0.25), T(2)};
    const Matrix4<T>& diagonal = diagonal_entries;
    for (const Matrix4<T>* m4 : {&CZ_MATRIX<T>, &diagonal}) {
      for (unsigned q0 = 0; q0 < n; ++q0) {
        for (unsigned q1 = 0; q1 < n; ++q1) {
          if (q0 == q1) {
            continue;
          }
          Amplitudes<T> expected = before;
          kernels::apply_two_qubit_gate_with<T>(reference, expected, *m4, q0, q1);
          Amplitudes<T> v = before;
          kernels::apply_two_qubit_gate_with<T>(table, v, *m4, q0, q1);
          EXPECT_EQ(test::bit_difference(v, expected), "")
              << table.name << " 4x4 " << q0 << "," << q1 << " n=" << n;
        }
      }
    }
  }
}

TEST_P(VariantsTest, ShapedMatricesMatchReferenceOnAwkwardValues) {
  check_shaped_matrices(table<float>());
  check_shaped_matrices(table<double>());
}

// The forced table: the public kernels' choice on this thread for the length of the call, the
// innermost of nested calls, restored after the call returns or throws; a table this CPU cannot
// run is refused without running anything.
TEST(Variants, RunWithKernelTableChoosesTheTableOfTheCall) {
  const std::string fastest = kernels::active_table<double>().name;
  for (const auto* table : kernels::available_tables<double>()) {
    const std::string name = table->name;
    bool ran = false;
    EXPECT_TRUE(testing::run_with_kernel_table(name, [&] {
      ran = true;
      EXPECT_EQ(kernels::active_table<double>().name, name);
      EXPECT_EQ(kernels::active_table<float>().name, name);
      EXPECT_TRUE(testing::run_with_kernel_table("scalar", [&] {
        EXPECT_EQ(std::string(kernels::active_table<float>().name), "reference");
      }));
      EXPECT_EQ(kernels::active_table<float>().name, name);
      EXPECT_THROW(
          testing::run_with_kernel_table("reference", [] { throw std::runtime_error("x"); }),
          std::runtime_error);
      EXPECT_EQ(kernels::active_table<double>().name, name);
    }));
    EXPECT_TRUE(ran) << name;
    EXPECT_EQ(kernels::active_table<double>().name, fastest);
  }
  bool ran = false;
  EXPECT_FALSE(testing::run_with_kernel_table("sse9", [&] { ran = true; }));
  if (kernels::find_table<double>("avx512") == nullptr) {
    EXPECT_FALSE(testing::run_with_kernel_table("avx512", [&] { ran = true; }));
  }
  EXPECT_FALSE(ran);
  EXPECT_EQ(kernels::find_table<float>("scalar"), &kernels::reference_table<float>());
}

TEST(Variants, ReferenceIsAlwaysAvailableAndLast) {
  const auto f64 = kernels::available_tables<double>();
  const auto f32 = kernels::available_tables<float>();
  ASSERT_FALSE(f64.empty());
  ASSERT_EQ(f64.size(), f32.size());
  EXPECT_EQ(std::string(f64.back()->name), "reference");
  EXPECT_EQ(&kernels::active_table<double>(), f64.front());
  EXPECT_EQ(&kernels::active_table<float>(), f32.front());
}

}  // namespace
}  // namespace vorn::core
