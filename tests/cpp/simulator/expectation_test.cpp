// Expectation values: against dense Kronecker-product matrices on random states, bit for bit
// against a plain evaluation of the documented sums, and the same bits for every pool size and
// every split of the state into slices.
#include "simulator/expectation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "abort_message.h"
#include "core/parallel.h"
#include "core/reduce.h"
#include "signed_tree.h"
#include "simulator/expectation_kernels.h"
#include "simulator/observable.h"

namespace vorn::sim {
namespace {

using test::double_bits;
using test::signed_tree;

using Dense = std::vector<std::complex<double>>;  // a row-major square matrix

template <typename T>
std::vector<core::Complex<T>> random_state(unsigned n_qubits, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  std::vector<std::complex<double>> v(std::size_t{1} << n_qubits);
  double norm = 0;
  for (auto& a : v) {
    a = {normal(rng), normal(rng)};
    norm += std::norm(a);
  }
  std::vector<core::Complex<T>> state;
  for (const auto& a : v) {
    state.push_back(
        {static_cast<T>(a.real() / std::sqrt(norm)), static_cast<T>(a.imag() / std::sqrt(norm))});
  }
  return state;
}

Dense pauli_matrix(char letter) {
  const std::complex<double> i(0, 1);
  switch (letter) {
    case 'X':
      return {0, 1, 1, 0};
    case 'Y':
      return {0, -i, i, 0};
    case 'Z':
      return {1, 0, 0, -1};
    default:
      return {1, 0, 0, 1};
  }
}

Dense kron(const Dense& a, const Dense& b) {
  const auto da = static_cast<std::size_t>(std::sqrt(static_cast<double>(a.size())));
  const auto db = static_cast<std::size_t>(std::sqrt(static_cast<double>(b.size())));
  const std::size_t d = da * db;
  Dense out(d * d);
  for (std::size_t r = 0; r < d; ++r) {
    for (std::size_t c = 0; c < d; ++c) {
      out[r * d + c] = a[(r / db) * da + c / db] * b[(r % db) * db + c % db];
    }
  }
  return out;
}

// The matrix of a dense label: its leftmost letter is the leftmost factor of the product.
Dense label_matrix(const std::string& label) {
  Dense m = {1};
  for (const char letter : label) {
    m = kron(m, pauli_matrix(letter));
  }
  return m;
}

// vdot(psi, M psi), with the amplitudes widened to double.
template <typename T>
double dense_expectation(const std::vector<core::Complex<T>>& state, const Dense& m) {
  const std::size_t d = state.size();
  std::complex<double> sum = 0;
  for (std::size_t r = 0; r < d; ++r) {
    std::complex<double> row = 0;
    for (std::size_t c = 0; c < d; ++c) {
      row += m[r * d + c] * std::complex<double>(state[c].re, state[c].im);
    }
    sum += std::conj(std::complex<double>(state[r].re, state[r].im)) * row;
  }
  return sum.real();
}

// The sparse text of a dense label ("XIZ" -> "X2 Z0"), identity factors dropped.
std::string sparse_of(const std::string& label) {
  std::string text;
  for (std::size_t k = 0; k < label.size(); ++k) {
    if (label[k] != 'I') {
      text.append(text.empty() ? "" : " ").push_back(label[k]);
      text.append(std::to_string(label.size() - 1 - k));
    }
  }
  return text.empty() ? "I" : text;
}

template <typename T>
double value_of(const std::vector<core::Complex<T>>& state, const std::string& text) {
  const auto n = static_cast<std::uint64_t>(std::countr_zero(state.size()));
  const Parsed<PauliSum> parsed = parse_observable(text, n);
  EXPECT_TRUE(parsed.ok()) << parsed.error();
  return expectation<T>(state, parsed.value());
}

template <typename T>
class ExpectationTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ExpectationTest, Precisions);

// The squared norm is 1, so the error bound is relative to the largest value a string can take.
constexpr double kTolerance = 1e-12;

TYPED_TEST(ExpectationTest, EveryLetterAtEveryPositionMatchesTheDenseMatrix) {
  for (unsigned n = 1; n <= 10; ++n) {
    const auto state = random_state<TypeParam>(n, 100 + n);
    for (unsigned q = 0; q < n; ++q) {
      for (const char letter : std::string("IXYZ")) {
        std::string label(n, 'I');
        label[n - 1 - q] = letter;
        const double expected = dense_expectation(state, label_matrix(label));
        EXPECT_NEAR(value_of(state, label), expected, kTolerance) << label;
        EXPECT_NEAR(value_of(state, std::string(1, letter) + std::to_string(q)), expected,
                    kTolerance)
            << letter << q;
      }
    }
  }
}

TYPED_TEST(ExpectationTest, RandomStringsAndSumsMatchTheDenseMatrix) {
  std::mt19937_64 rng(5);
  for (unsigned n = 1; n <= 10; ++n) {
    const auto state = random_state<TypeParam>(n, 200 + n);
    std::string sum_text;
    double sum_expected = 0;
    for (int trial = 0; trial < (n <= 8 ? 12 : 3); ++trial) {
      std::string label;
      for (unsigned k = 0; k < n; ++k) {
        label += "IXYZ"[rng() % 4];
      }
      const double expected = dense_expectation(state, label_matrix(label));
      EXPECT_NEAR(value_of(state, label), expected, kTolerance) << label;
      EXPECT_NEAR(value_of(state, sparse_of(label)), expected, kTolerance) << sparse_of(label);
      const double coefficient = static_cast<double>(rng() % 2001) / 1000.0 - 1.0;
      sum_text += " + " + std::to_string(coefficient) + "*" + label;
      sum_expected += coefficient * expected;
    }
    EXPECT_NEAR(value_of(state, sum_text.substr(3)), sum_expected, 12 * kTolerance) << sum_text;
  }
}

TYPED_TEST(ExpectationTest, QubitZeroIsTheRightmostLetter) {
  // |01>: qubit 0 is 1, qubit 1 is 0.
  std::vector<core::Complex<TypeParam>> state(4, {0, 0});
  state[1] = {1, 0};
  EXPECT_EQ(value_of(state, "IZ"), -1.0);
  EXPECT_EQ(value_of(state, "Z0"), -1.0);
  EXPECT_EQ(value_of(state, "ZI"), 1.0);
  EXPECT_EQ(value_of(state, "Z1"), 1.0);
  EXPECT_EQ(value_of(state, "0.5*ZZ - 2"), -2.5);
  // (|0> + i|1>) / sqrt 2 on qubit 1, |0> on qubit 0: <Y1> = 1, <Y0> = 0.
  const TypeParam h = static_cast<TypeParam>(std::sqrt(0.5));
  state = {{h, 0}, {0, 0}, {0, h}, {0, 0}};
  EXPECT_NEAR(value_of(state, "YI"), 1.0, 1e-7);
  EXPECT_EQ(value_of(state, "IY"), 0.0);
}

// The documented sums written out plainly: leaves per string, a recursive signed tree, the sign
// of y mod 4, and the coefficients added in order.
template <typename T>
double documented_value(const std::vector<core::Complex<T>>& state, const PauliSum& sum) {
  const auto n = static_cast<unsigned>(std::countr_zero(state.size()));
  double value = 0;
  for (std::size_t t = 0; t < sum.terms.size(); ++t) {
    const PauliTerm& term = sum.terms[t];
    std::vector<double> leaves(state.size());
    for (std::uint64_t i = 0; i < state.size(); ++i) {
      const double ar = state[i].re;
      const double ai = state[i].im;
      const double br = state[i ^ term.x_mask].re;
      const double bi = state[i ^ term.x_mask].im;
      leaves[i] = term.y_count() % 2 == 0 ? ar * br + ai * bi : ar * bi - ai * br;
    }
    const double root = signed_tree(leaves, term.z_mask, n, 0);
    const double string = term.y_count() % 4 >= 2 ? -root : root;
    value = t == 0 ? term.coefficient * string : value + term.coefficient * string;
  }
  return value;
}

// Strings that flip inside a block, inside a unit, across units and the top qubit, with Z-only
// ones beside them, on 17 qubits (eight units of 2^14).
const char* const kWideSum =
    "0.5*Z0 Z1 - 1.25*X2 + Y3 Z16 + 0.75*X5 X6 + 0.75*Y5 Y6 - 0.3*Z9 Z10 + 0.2*X12 Y13 "
    "- 0.1*X15 + 0.9*Y14 Z2 X16 + 0.4*X16 Z0 + 0.6*Y16 - 0.8*Z16 Z15 + 1.5 + 0.01*X0 Y11 Z15";

TYPED_TEST(ExpectationTest, BitsAreThoseOfTheDocumentedSums) {
  const auto state = random_state<TypeParam>(17, 3);
  const PauliSum sum = parse_observable(kWideSum, 17).value();
  EXPECT_EQ(double_bits(expectation<TypeParam>(state, sum)),
            double_bits(documented_value(state, sum)));
  for (const PauliTerm& term : sum.terms) {
    const PauliSum one{{term}};
    EXPECT_EQ(double_bits(expectation<TypeParam>(state, one)),
              double_bits(documented_value(state, one)))
        << pauli_label(term);
  }
}

TYPED_TEST(ExpectationTest, TheIdentityIsTheTreeSumOfTheSquaredNorm) {
  const auto state = random_state<TypeParam>(16, 4);
  const double norm = core::pairwise_sum(0, 16, [&](std::uint64_t i) {
    const double re = state[i].re;
    const double im = state[i].im;
    return re * re + im * im;
  });
  EXPECT_EQ(double_bits(value_of(state, "I")), double_bits(norm));
}

TYPED_TEST(ExpectationTest, SameBitsForEveryPoolSize) {
  const auto state = random_state<TypeParam>(17, 6);
  const PauliSum sum = parse_observable(kWideSum, 17).value();
  std::vector<std::uint64_t> seen;
  for (const std::size_t threads : {1, 2, 3}) {
    core::testing::run_with_pool_size(
        threads, [&] { seen.push_back(double_bits(expectation<TypeParam>(state, sum))); });
  }
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0], seen[2]);
}

TYPED_TEST(ExpectationTest, SeveralSumsGiveTheBitsOfEachAlone) {
  const auto state = random_state<TypeParam>(16, 7);
  const std::vector<PauliSum> sums = {parse_observable("Z0 Z1 + 0.5*X3 X15", 16).value(),
                                      parse_observable("-X3 X15 + Y4 Z0", 16).value(), PauliSum{},
                                      parse_observable("0.5*Z0 Z1 - Y15 + 2", 16).value()};
  const std::vector<double> values = expectations<TypeParam>(state, sums);
  ASSERT_EQ(values.size(), sums.size());
  for (std::size_t s = 0; s < sums.size(); ++s) {
    EXPECT_EQ(double_bits(values[s]), double_bits(expectation<TypeParam>(state, sums[s]))) << s;
  }
  EXPECT_EQ(double_bits(values[2]), double_bits(0.0));
}

// Each source set (re and im, re only, im only) under many masks, against flips inside a run,
// across runs and over the whole block.
TYPED_TEST(ExpectationTest, EveryBlockImplementationGivesThePortableBits) {
  std::mt19937_64 rng(21);
  const auto own = random_state<TypeParam>(10, 22);
  const auto partner = random_state<TypeParam>(10, 23);
  for (const std::vector<unsigned>& sources :
       std::vector<std::vector<unsigned>>{{0, 1}, {0}, {1}}) {
    std::vector<core::SignedSum> sums = {{sources[0], 0}, {sources.back(), 0x3ff}};
    for (int k = 0; k < 30; ++k) {
      sums.push_back({sources[rng() % sources.size()], rng() & 0x3ff});
    }
    const core::SignedTrees trees(sums, 10);
    BlockShape shape{10, -1, -1, trees.level_data()};
    for (std::size_t c = 0; c < trees.sources().size(); ++c) {
      (trees.sources()[c] == 0 ? shape.re_row : shape.im_row) = static_cast<int>(c);
    }
    const std::size_t size = trees.buffer_size(0, 10, 1024);
    for (const std::uint64_t flip : {0x0ull, 0x1ull, 0x3ull, 0x4ull, 0x2a0ull, 0x3ffull}) {
      std::vector<double> a(size);
      std::vector<double> b(size);
      const double* expected = portable_block_kernels().get<TypeParam>()(
          shape, own.data(), partner.data(), flip, a.data(), b.data());
      const std::vector<double> portable(expected, expected + trees.classes(10));
      for (const BlockKernels* kernels : available_block_kernels()) {
        std::vector<double> c(size);
        std::vector<double> d(size);
        const double* got =
            kernels->get<TypeParam>()(shape, own.data(), partner.data(), flip, c.data(), d.data());
        EXPECT_EQ(std::memcmp(got, portable.data(), portable.size() * sizeof(double)), 0)
            << kernels->name << ", flip " << flip << ", " << sources.size() << " sources";
      }
    }
  }
  EXPECT_STREQ(available_block_kernels().back()->name, "portable");
}

// What a distributed run does: every slice adds its local groups and, chunk by chunk, the
// partner slices' amplitudes for the others; the contributions are then combined in order.
template <typename T>
std::vector<double> sliced(const std::vector<core::Complex<T>>& state,
                           const std::vector<PauliSum>& sums, unsigned slice_qubits,
                           unsigned chunk_qubits) {
  const auto n = static_cast<unsigned>(std::countr_zero(state.size()));
  const ExpectationPlan plan(sums, n, slice_qubits);
  const std::uint64_t slice = std::uint64_t{1} << slice_qubits;
  const std::uint64_t chunk = std::uint64_t{1} << chunk_qubits;
  std::vector<double> partials;
  for (std::uint64_t r = 0; r < (std::uint64_t{1} << (n - slice_qubits)); ++r) {
    const std::span<const core::Complex<T>> own(state.data() + r * slice, slice);
    SliceSums sums_of_slice(plan, chunk_qubits);
    sums_of_slice.add_local(own);
    for (std::size_t p = 0; p < sums_of_slice.remote_passes().size(); ++p) {
      const auto pass = sums_of_slice.remote_passes()[p];
      const std::span<const core::Complex<T>> partner(state.data() + (r ^ pass.slice_flip) * slice,
                                                      slice);
      for (std::uint64_t c = 0; c < slice / chunk; ++c) {
        sums_of_slice.add_remote(p, c, own.subspan(c * chunk, chunk),
                                 partner.subspan((c ^ pass.chunk_flip) * chunk, chunk));
      }
    }
    const std::vector<double> mine = sums_of_slice.partials();
    partials.insert(partials.end(), mine.begin(), mine.end());
  }
  return plan.combine(partials);
}

TYPED_TEST(ExpectationTest, SlicesCombineToTheBitsOfTheWhole) {
  const auto state = random_state<TypeParam>(17, 8);
  const std::vector<PauliSum> sums = {parse_observable(kWideSum, 17).value(),
                                      parse_observable("X16 X15 + Y16 Y15 + Z16 Z15", 17).value()};
  const std::vector<double> whole = expectations<TypeParam>(state, sums);
  for (const unsigned slice_qubits : {16u, 15u, 14u, 12u}) {
    const unsigned unit = std::min(14u, slice_qubits);
    for (unsigned chunk_qubits = unit; chunk_qubits <= slice_qubits; ++chunk_qubits) {
      const std::vector<double> parts = sliced(state, sums, slice_qubits, chunk_qubits);
      for (std::size_t s = 0; s < sums.size(); ++s) {
        EXPECT_EQ(double_bits(parts[s]), double_bits(whole[s]))
            << "slices of " << slice_qubits << " qubits, chunks of " << chunk_qubits;
      }
    }
  }
  // Small states: slices of a few amplitudes, down to one.
  const auto small = random_state<TypeParam>(5, 9);
  const std::vector<PauliSum> small_sums = {
      parse_observable("X4 Y0 - 0.5*Z4 Z3 + Y3 X1 + 0.25*Z0 + I", 5).value()};
  const double small_whole = expectations<TypeParam>(small, small_sums)[0];
  for (unsigned slice_qubits = 0; slice_qubits <= 5; ++slice_qubits) {
    EXPECT_EQ(double_bits(sliced(small, small_sums, slice_qubits, slice_qubits)[0]),
              double_bits(small_whole))
        << slice_qubits;
  }
}

TEST(ExpectationAbortTest, BrokenPreconditions) {
  const std::vector<core::Complex<double>> state(4, {0.5, 0});
  const PauliSum wide = parse_observable("Z2", 3).value();
  EXPECT_EQ(test::abort_message([&] { (void)expectation<double>(state, wide); }),
            "expectation: the observable acts on 3 qubits, the state has 2");
  const std::vector<core::Complex<double>> odd(3, {0.5, 0});
  EXPECT_EQ(test::abort_message([&] { (void)expectation<double>(odd, PauliSum{}); }),
            "expectation: the state's length 3 is not a power of two");
  const std::vector<PauliSum> sums = {parse_observable("X1 Z0", 2).value()};
  const ExpectationPlan plan(sums, 2, 1);
  EXPECT_EQ(test::abort_message([&] {
              SliceSums slice(plan, 1);
              slice.add_local(std::span<const core::Complex<double>>(state.data(), 2));
              (void)slice.partials();
            }),
            "expectation: a slice's contribution taken before all of its chunks were read");
  EXPECT_EQ(test::abort_message([&] { SliceSums slice(plan, 2); }),
            "expectation: chunks of 2 qubits, not from 1 to 1");
  EXPECT_EQ(test::abort_message([&] {
              SliceSums slice(plan, 1);
              slice.add_local(std::span<const core::Complex<double>>(state));
            }),
            "expectation: a slice of 4 where 2 were planned");
  EXPECT_EQ(test::abort_message([&] { (void)plan.combine(std::vector<double>(1)); }),
            "expectation: contributions of 1 where 2 were planned");
}

}  // namespace
}  // namespace vorn::sim
