// format_angle, the three-digit scientific form and the unitarity violation text.
#include "qasm/format.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "core/constants.h"

namespace vorn::qasm {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct AngleCase {
  double x;
  const char* text;
};

TEST(FormatAngle, Table) {
  const AngleCase cases[] = {
      {0.5, "0.5"},
      {1.0, "1"},
      {core::PI, "3.141592653589793"},
      {-core::PI / 2, "-1.5707963267948966"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1e-7, "0.0000001"},
      {1e21, "1000000000000000000000"},
      {-0.0, "-0"},
      {0.0, "0"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {-0.25, "-0.25"},
      {100.0, "100"},
      {123.456, "123.456"},
      {1.5e-5, "0.000015"},
      {1e16, "10000000000000000"},
      {1.2345678901234567e19, "12345678901234567000"},
  };
  for (const AngleCase& c : cases) {
    EXPECT_EQ(format_angle(c.x), c.text) << c.text;
  }
  EXPECT_EQ(format_angle(5e-324), "0." + std::string(323, '0') + "5");
  const std::string max = format_angle(std::numeric_limits<double>::max());
  EXPECT_EQ(max, "17976931348623157" + std::string(292, '0'));
}

TEST(FormatAngle, AppendsToExistingText) {
  std::string out = "rz(";
  append_angle(out, -1e-7);
  EXPECT_EQ(out, "rz(-0.0000001");
}

// The significant digits of a positional text: sign, point and surrounding zeros removed.
std::string significant_digits(const std::string& text) {
  std::string digits;
  for (const char ch : text) {
    if (ch >= '0' && ch <= '9') {
      digits += ch;
    }
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    return "0";
  }
  const std::size_t last = digits.find_last_not_of('0');
  return digits.substr(first, last - first + 1);
}

// Digits of the shortest round-trip form as the standard library gives them.
std::string to_chars_digits(double x) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  const std::string text(buf, r.ptr);
  return significant_digits(text.substr(0, text.find('e')));
}

// An independent oracle: the fewest correctly rounded significant digits that read back.
std::string printf_shortest_digits(double x) {
  char buf[64];
  for (int p = 1; p <= 17; ++p) {
    std::snprintf(buf, sizeof buf, "%.*e", p - 1, x);
    if (std::strtod(buf, nullptr) == x) {
      break;
    }
  }
  const std::string text(buf);
  return significant_digits(text.substr(0, text.find('e')));
}

// Positional layout: [-]int[.frac], int without superfluous leading zeros, frac non-empty and
// without trailing zeros, no exponent.
void expect_positional(const std::string& text) {
  std::size_t k = text[0] == '-' ? 1 : 0;
  const std::size_t point = text.find('.');
  const std::string integer = text.substr(k, point == std::string::npos ? point : point - k);
  ASSERT_FALSE(integer.empty()) << text;
  ASSERT_EQ(integer.find_first_not_of("0123456789"), std::string::npos) << text;
  ASSERT_TRUE(integer == "0" || integer[0] != '0') << text;
  if (point != std::string::npos) {
    const std::string frac = text.substr(point + 1);
    ASSERT_FALSE(frac.empty()) << text;
    ASSERT_EQ(frac.find_first_not_of("0123456789"), std::string::npos) << text;
    ASSERT_NE(frac.back(), '0') << text;
  }
}

void check_round_trip(double x) {
  const std::string text = format_angle(x);
  SCOPED_TRACE(text);
  expect_positional(text);
  // Reads back to the same double, bit for bit (the sign of zero included).
  double back = 0.0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), back);
  ASSERT_EQ(r.ec, std::errc{});
  ASSERT_EQ(r.ptr, text.data() + text.size());
  ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(x));
  ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)),
            std::bit_cast<std::uint64_t>(x));

  const std::string digits = significant_digits(text);
  ASSERT_EQ(digits, to_chars_digits(x));
  const std::string oracle = printf_shortest_digits(x);
  ASSERT_LE(digits.size(), oracle.size());
  if (digits.size() == oracle.size()) {
    ASSERT_EQ(digits, oracle);
  }
}

TEST(FormatAngle, RandomBitPatternsRoundTripWithShortestDigits) {
  std::mt19937_64 rng(0x5eed);
  int checked = 0;
  while (checked < 100000) {
    const double x = std::bit_cast<double>(rng());
    if (!std::isfinite(x)) {
      EXPECT_EQ(format_angle(x), std::isnan(x) ? "NaN" : (x < 0 ? "-inf" : "inf"));
      continue;
    }
    check_round_trip(x);
    if (HasFatalFailure()) {
      return;
    }
    ++checked;
  }
}

TEST(FormatAngle, ShortDecimalsAndIntegersRoundTrip) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> mantissa(-99999, 99999);
  std::uniform_int_distribution<int> exponent(-30, 30);
  for (int n = 0; n < 20000; ++n) {
    const double x = std::strtod(
        (std::to_string(mantissa(rng)) + "e" + std::to_string(exponent(rng))).c_str(), nullptr);
    check_round_trip(x);
    if (HasFatalFailure()) {
      return;
    }
  }
}

TEST(FormatScientific3, Table) {
  const AngleCase cases[] = {
      {1e-10, "1.000e-10"},   {3.0, "3.000e0"},       {0.5, "5.000e-1"},   {0.0, "0.000e0"},
      {-2.5e-3, "-2.500e-3"}, {1e100, "1.000e100"},   {9.9996, "1.000e1"}, {1.0625, "1.062e0"},
      {1.1875, "1.188e0"},    {5e-324, "4.941e-324"}, {kInf, "inf"},
  };
  for (const AngleCase& c : cases) {
    EXPECT_EQ(format_scientific3(c.x), c.text) << c.text;
  }
}

// C's printf rounds correctly too; only its exponent layout ("e+00", "e-05") differs.
TEST(FormatScientific3, MatchesPrintfRoundingOnRandomDoubles) {
  std::mt19937_64 rng(11);
  for (int n = 0; n < 20000; ++n) {
    const double x = std::bit_cast<double>(rng());
    if (!std::isfinite(x)) {
      continue;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3e", x);
    std::string expected(buf);
    const std::size_t e = expected.find('e');
    const int exponent = std::atoi(expected.c_str() + e + 1);
    expected = expected.substr(0, e + 1) + std::to_string(exponent);
    ASSERT_EQ(format_scientific3(x), expected);
  }
}

TEST(ViolationText, DiagonalTwoOne) {
  const sim::UnitarityViolation v{0, 0, {4.0, 0.0}, {1.0, 0.0}, 3.0, 1e-10};
  EXPECT_EQ(violation_text(v),
            "matrix is not unitary: (M·M†)[0,0] = 4+0i (expected 1+0i, |error|=3.000e0, "
            "tol=1.000e-10)");
}

TEST(ViolationText, NegativeImaginaryPartAndOffDiagonal) {
  const sim::UnitarityViolation v{1, 0, {0.5, -0.25}, {0.0, 0.0}, 0.5590169943749475, 0.5};
  EXPECT_EQ(violation_text(v),
            "matrix is not unitary: (M·M†)[1,0] = 0.5+-0.25i (expected 0+0i, |error|=5.590e-1, "
            "tol=5.000e-1)");
}

TEST(ViolationText, MessagesOfFailedChecks) {
  using C = core::Complex<double>;
  const auto diag21 = sim::check_unitary({C{2, 0}, C{0, 0}, C{0, 0}, C{1, 0}}, sim::UNITARY_TOL);
  ASSERT_TRUE(diag21);
  EXPECT_EQ(violation_text(*diag21),
            "matrix is not unitary: (M·M†)[0,0] = 4+0i (expected 1+0i, |error|=3.000e0, "
            "tol=1.000e-10)");
  const auto skew = sim::check_unitary({C{1, 0}, C{0, 0}, C{0, 0.6}, C{0.8, 0}}, sim::UNITARY_TOL);
  ASSERT_TRUE(skew);
  EXPECT_EQ(violation_text(*skew),
            "matrix is not unitary: (M·M†)[0,1] = 0+-0.6i (expected 0+0i, |error|=6.000e-1, "
            "tol=1.000e-10)");
  const auto scaled =
      sim::check_unitary({C{0, 0}, C{1.5, 0}, C{0.5, 0}, C{0, 0}}, sim::UNITARY_TOL);
  ASSERT_TRUE(scaled);
  EXPECT_EQ(violation_text(*scaled),
            "matrix is not unitary: (M·M†)[0,0] = 2.25+0i (expected 1+0i, |error|=1.250e0, "
            "tol=1.000e-10)");
}

}  // namespace
}  // namespace vorn::qasm
