// Number formatting: angles for the exporter, the three-digit scientific form of the unitarity
// message, and the exponent form that the lexer's real_text shares with it.
#pragma once

#include <string>
#include <string_view>

#include "simulator/unitary.h"

namespace vorn::qasm {

// The shortest decimal that reads back to the same double, written positionally without
// exponent: 1.0 -> "1", 1e-7 -> "0.0000001", -0.0 -> "-0", NaN -> "NaN", inf -> "inf".
std::string format_angle(double x);

// format_angle(x) appended to out, without a temporary string (the exporter's hot path).
void append_angle(std::string& out, double x);

// Scientific notation with three digits after the point, correctly rounded, a lowercase "e"
// and a bare decimal exponent: 1e-10 -> "1.000e-10", 3 -> "3.000e0", 0.5 -> "5.000e-1".
std::string format_scientific3(double x);

// Appends a std::to_chars scientific text with its exponent rewritten bare: no plus sign and no
// leading zeros ("1.5e+16" -> "1.5e16", "1.000e-05" -> "1.000e-5", "3.000e+00" -> "3.000e0").
void append_bare_exponent(std::string& out, std::string_view scientific);

// "matrix is not unitary: (M·M†)[i,j] = ...": the text of a failed unitarity check.
std::string violation_text(const sim::UnitarityViolation& violation);

}  // namespace vorn::qasm
