// Number formatting: shortest round-trip digits laid out positionally, and the fixed
// three-digit scientific form of the unitarity message.
#include "qasm/format.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <system_error>

#include "core/abort.h"

namespace vorn::qasm {
namespace {

// Splits a std::to_chars scientific text "[-]d[.ddd]e(+|-)xx" into its sign, its digits
// (without the point) and its decimal exponent.
struct Scientific {
  bool negative = false;
  std::string_view digits;  // points into a caller-owned buffer, the point removed in place
  int exponent = 0;
};

Scientific split_scientific(char* first, char* last) {
  Scientific s;
  char* p = first;
  if (*p == '-') {
    s.negative = true;
    ++p;
  }
  // Shift the leading digit right over the point so the digits are contiguous.
  char* digits_begin = p;
  char* e = p;
  while (e != last && *e != 'e') {
    ++e;
  }
  if (e - p >= 2 && p[1] == '.') {
    p[1] = p[0];
    digits_begin = p + 1;
  }
  s.digits = std::string_view(digits_begin, static_cast<std::size_t>(e - digits_begin));
  if (e == last) {
    core::abort_with("format_angle: scientific text without exponent");
  }
  const char* q = e + 1;
  bool exp_negative = false;
  if (q != last && (*q == '+' || *q == '-')) {
    exp_negative = *q == '-';
    ++q;
  }
  int exponent = 0;
  for (; q != last; ++q) {
    exponent = exponent * 10 + (*q - '0');
  }
  s.exponent = exp_negative ? -exponent : exponent;
  return s;
}

bool append_non_finite(std::string& out, double x) {
  if (std::isnan(x)) {
    out += "NaN";
    return true;
  }
  if (std::isinf(x)) {
    out += x < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

}  // namespace

void append_angle(std::string& out, double x) {
  if (append_non_finite(out, x)) {
    return;
  }
  // The shortest scientific form carries the shortest round-trip digits (nearest the exact
  // value among equally short ones) in at most 17 digits with a three-digit exponent.
  char buf[32];
  const std::to_chars_result r =
      std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  if (r.ec != std::errc{}) {
    core::abort_with("format_angle: to_chars failed");
  }
  const Scientific s = split_scientific(buf, r.ptr);
  if (s.negative) {
    out += '-';
  }
  const std::string_view d = s.digits;
  const long k = static_cast<long>(d.size());
  // Number of digits that stand before the decimal point.
  const long point = static_cast<long>(s.exponent) + 1;
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += d;
  } else if (point >= k) {
    out += d;
    out.append(static_cast<std::size_t>(point - k), '0');
  } else {
    out += d.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += d.substr(static_cast<std::size_t>(point));
  }
}

std::string format_angle(double x) {
  std::string out;
  append_angle(out, x);
  return out;
}

std::string format_scientific3(double x) {
  std::string out;
  if (append_non_finite(out, x)) {
    return out;
  }
  char buf[48];
  const std::to_chars_result r =
      std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific, 3);
  if (r.ec != std::errc{}) {
    core::abort_with("format_scientific3: to_chars failed");
  }
  append_bare_exponent(out, std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
  return out;
}

void append_bare_exponent(std::string& out, std::string_view scientific) {
  // The mantissa as written, then the exponent's sign only when negative, then its digits
  // without leading zeros (at least one digit).
  const std::size_t e = scientific.find('e');
  out.append(scientific.substr(0, e + 1));
  std::size_t k = e + 1;
  if (scientific[k] == '-') {
    out += '-';
  }
  if (scientific[k] == '+' || scientific[k] == '-') {
    ++k;
  }
  while (k + 1 < scientific.size() && scientific[k] == '0') {
    ++k;
  }
  out.append(scientific.substr(k));
}

std::string violation_text(const sim::UnitarityViolation& violation) {
  std::string out = "matrix is not unitary: (M·M†)[";
  out += std::to_string(violation.i);
  out += ',';
  out += std::to_string(violation.j);
  out += "] = ";
  append_angle(out, violation.value.re);
  out += '+';
  append_angle(out, violation.value.im);
  out += "i (expected ";
  append_angle(out, violation.expected.re);
  out += '+';
  append_angle(out, violation.expected.im);
  out += "i, |error|=";
  out += format_scientific3(violation.error);
  out += ", tol=";
  out += format_scientific3(violation.tol);
  out += ')';
  return out;
}

}  // namespace vorn::qasm
