// The observable reader: accepted texts and labels with their masks and coefficients, the qubit
// order of dense labels, and every refusal with its message.
#include "simulator/observable.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace vorn::sim {
namespace {

struct Accepted {
  std::string text;
  std::uint64_t n_qubits;
  std::vector<PauliTerm> terms;  // {coefficient, x_mask, z_mask}
};

class AcceptedText : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedText, GivesTheTermsInOrder) {
  const Accepted& c = GetParam();
  const Parsed<PauliSum> parsed = parse_observable(c.text, c.n_qubits);
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  EXPECT_EQ(parsed.value().terms, c.terms);
}

INSTANTIATE_TEST_SUITE_P(
    Observable, AcceptedText,
    ::testing::Values(
        Accepted{"0.5*Z0 Z1 - 1.25*X2 + Y3",
                 4,
                 {{0.5, 0, 0b11}, {-1.25, 0b100, 0}, {1, 0b1000, 0b1000}}},
        Accepted{
            "0.5 Z0 Z1 -1.25 * X2+Y3", 4, {{0.5, 0, 0b11}, {-1.25, 0b100, 0}, {1, 0b1000, 0b1000}}},
        Accepted{"1.5", 1, {{1.5, 0, 0}}}, Accepted{"I", 1, {{1, 0, 0}}},
        Accepted{"2*I0 Z1", 2, {{2, 0, 0b10}}},
        // Dense labels: the rightmost letter is qubit 0.
        Accepted{"ZI", 2, {{1, 0, 0b10}}}, Accepted{"IZ", 2, {{1, 0, 0b01}}},
        Accepted{"0.25*XZI - YIY", 3, {{0.25, 0b100, 0b010}, {-1, 0b101, 0b101}}},
        Accepted{"XZ Y2", 3, {{1, 0b110, 0b101}}},
        // Signs: a leading one, and a coefficient's own after the term's.
        Accepted{"-Z0", 1, {{-1, 0, 1}}},
        Accepted{"Z0 + -0.5*X0 - -2*Y0 - +3", 1, {{1, 0, 1}, {-0.5, 1, 0}, {2, 1, 1}, {-3, 0, 0}}},
        Accepted{"1e-3*X0 - 2.5E+2 + .5*Y0 + 5.*Z0",
                 1,
                 {{1e-3, 1, 0}, {-250, 0, 0}, {0.5, 1, 1}, {5, 0, 1}}},
        Accepted{"0.1*Z0", 1, {{0.1, 0, 1}}},
        Accepted{" \tZ0\n+\r\nX1  ", 2, {{1, 0, 1}, {1, 0b10, 0}}},
        // Equal strings stay apart; a leading zero in an index is read.
        Accepted{"Z0 - Z0 + Z01", 2, {{1, 0, 1}, {-1, 0, 1}, {1, 0, 0b10}}},
        Accepted{"X63", 64, {{1, std::uint64_t{1} << 63, 0}}}));

struct Refused {
  std::string text;
  std::uint64_t n_qubits;
  std::string message;
};

class RefusedText : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedText, NamesTheTermAndPosition) {
  const Refused& c = GetParam();
  const Parsed<PauliSum> parsed = parse_observable(c.text, c.n_qubits);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Observable, RefusedText,
    ::testing::Values(
        Refused{"", 2, "observable: the text holds no term"},
        Refused{" \t ", 2, "observable: the text holds no term"},
        Refused{"Z0 Z0", 2, "observable: qubit 0 appears twice in term 'Z0 Z0' at position 3"},
        Refused{"0.5*Z0 X1 - Y1 X1", 2,
                "observable: qubit 1 appears twice in term 'Y1 X1' at position 15"},
        Refused{"ZZ Z1", 2, "observable: qubit 1 appears twice in term 'ZZ Z1' at position 3"},
        Refused{"Z0 + Q1", 2,
                "observable: unknown Pauli letter 'Q' (the letters are I, X, Y and Z) in term "
                "'Q1' at position 5"},
        Refused{"z0", 2,
                "observable: unknown Pauli letter 'z' (the letters are I, X, Y and Z) in term "
                "'z0' at position 0"},
        Refused{"0.5*ZQ", 2,
                "observable: unknown Pauli letter 'Q' (the letters are I, X, Y and Z) in term "
                "'0.5*ZQ' at position 5"},
        Refused{"1.2.3*Z0", 2,
                "observable: malformed number '1.2.3' in term '1.2.3*Z0' at position 0"},
        Refused{"Z0 + 1e*X1", 2, "observable: malformed number '1e' in term '1e*X1' at position 5"},
        Refused{"0.5Z0", 2, "observable: malformed number '0.5Z0' in term '0.5Z0' at position 0"},
        Refused{"X1 - 1e999*Z0", 2,
                "observable: number '1e999' is out of the range of a double in term '1e999*Z0' at "
                "position 5"},
        Refused{"1j*Z0", 2,
                "observable: complex coefficient '1j' (coefficients are real) in term '1j*Z0' at "
                "position 0"},
        Refused{"Z0 - 2.5e-1J*X1", 2,
                "observable: complex coefficient '2.5e-1J' (coefficients are real) in term "
                "'2.5e-1J*X1' at position 5"},
        Refused{"Z1 + Z5", 5,
                "observable: qubit index 5 is not below the qubit count 5 in term 'Z5' at "
                "position 5"},
        Refused{"III", 2,
                "observable: qubit index 2 is not below the qubit count 2 in term 'III' at "
                "position 0"},
        Refused{"Y99999999999999999999999", 3,
                "observable: qubit index 99999999999999999999999 is not below the qubit count 3 "
                "in term 'Y99999999999999999999999' at position 0"},
        Refused{"Z64", 100,
                "observable: qubit index 64 is above 63, the highest an observable addresses in "
                "term 'Z64' at position 0"},
        Refused{"Z0Z1", 2,
                "observable: malformed factor 'Z0Z1' (a letter with its qubit index, or a dense "
                "label of letters) in term 'Z0Z1' at position 0"},
        Refused{"ZZ0", 2,
                "observable: malformed factor 'ZZ0' (a letter with its qubit index, or a dense "
                "label of letters) in term 'ZZ0' at position 0"},
        Refused{"X0 + 0.5*", 2,
                "observable: expected a factor after '*' in term '0.5*' at position 9"},
        Refused{"0.5 * 0.5", 2,
                "observable: expected a factor after '*' in term '0.5 * 0.5' at position 6"},
        Refused{"Z0 0.5*Z1", 2,
                "observable: expected '+' or '-' before the next term in term 'Z0 0.5*Z1' at "
                "position 3"},
        Refused{"Z0 +", 2, "observable: expected a term at position 4"},
        Refused{"Z0 + + Z1", 2, "observable: expected a term at position 5"},
        Refused{"--Z0", 2, "observable: expected a term at position 1"},
        Refused{"(0.5)*Z0", 2,
                "observable: unexpected character '(' in term '(0.5)*Z0' at position 0"},
        Refused{"Z0*Z1", 2, "observable: unexpected character '*' in term 'Z0*Z1' at position 2"},
        Refused{"X0 + Y1 \u00e4", 2,
                "observable: unexpected character '\u00e4' in term 'Y1 \u00e4' at position 8"}));

TEST(ObservableTest, WidthIsOneMoreThanTheHighestActingQubit) {
  EXPECT_EQ(parse_observable("Z3 + X1", 5).value().width(), 4u);
  EXPECT_EQ(parse_observable("IIZI", 5).value().width(), 2u);
  EXPECT_EQ(parse_observable("1.5 + I4", 5).value().width(), 0u);
}

TEST(ObservableTest, LabelsDenseOrSparseWithTheirCoefficient) {
  const PauliTerm expected{0.5, 0b100, 0b010};
  EXPECT_EQ(parse_label("XZI", 0.5, 3).value(), expected);
  EXPECT_EQ(parse_label(" X2 Z1 ", 0.5, 3).value(), expected);
  EXPECT_EQ(parse_label("Z1 X2", 0.5, 3).value(), expected);
  EXPECT_EQ(parse_label("I", -3.0, 1).value(), (PauliTerm{-3.0, 0, 0}));
  EXPECT_EQ(parse_label("Y0", -2.0, 1).value(), (PauliTerm{-2.0, 1, 1}));
}

TEST(ObservableTest, LabelRefusals) {
  const auto error = [](std::string_view label, double coefficient, std::uint64_t n) {
    const Parsed<PauliTerm> parsed = parse_label(label, coefficient, n);
    return parsed.ok() ? std::string("<accepted>") : parsed.error();
  };
  EXPECT_EQ(error("", 1, 2), "observable: the label holds no factor");
  EXPECT_EQ(error("0.5*Z0", 1, 2),
            "observable: number '0.5' in a label (the coefficient goes beside it) in label "
            "'0.5*Z0' at position 0");
  EXPECT_EQ(error("Z0 + Z1", 1, 2),
            "observable: unexpected character '+' in label 'Z0 + Z1' at position 3");
  EXPECT_EQ(error("-Z0", 1, 2),
            "observable: unexpected character '-' in label '-Z0' at position 0");
  EXPECT_EQ(error("Z0 Z0", 1, 2),
            "observable: qubit 0 appears twice in label 'Z0 Z0' at position 3");
  EXPECT_EQ(
      error("ZZZ", 1, 2),
      "observable: qubit index 2 is not below the qubit count 2 in label 'ZZZ' at position 0");
  EXPECT_EQ(error("XA", 1, 2),
            "observable: unknown Pauli letter 'A' (the letters are I, X, Y and Z) in label 'XA' "
            "at position 1");
  EXPECT_EQ(error("Z0", std::numeric_limits<double>::quiet_NaN(), 2),
            "observable: coefficient nan of label 'Z0' is not finite");
  EXPECT_EQ(error("Z0", -std::numeric_limits<double>::infinity(), 2),
            "observable: coefficient -inf of label 'Z0' is not finite");
}

TEST(ObservableTest, PauliLabelReadsBackToTheSameString) {
  EXPECT_EQ(pauli_label(parse_label("XZIY", 1, 4).value()), "Y0 Z2 X3");
  EXPECT_EQ(pauli_label(PauliTerm{}), "I");
  std::mt19937_64 rng(17);
  for (int trial = 0; trial < 200; ++trial) {
    const std::uint64_t x = rng();
    const PauliTerm term{0.75, x, rng() & (x | rng())};
    EXPECT_EQ(parse_label(pauli_label(term), 0.75, 64).value(), term) << pauli_label(term);
  }
}

}  // namespace
}  // namespace vorn::sim
