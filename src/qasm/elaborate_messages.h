// The texts of the dynamic mode's classical evaluation of OpenQASM 3, in one place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "qasm/error.h"
#include "qasm/lexer.h"

namespace vorn::qasm::emsg {

inline std::string at(SourcePos pos) { return " at " + line_text(pos); }

inline std::string unknown_input(std::string_view name) {
  return "an input value was given for " + quoted(name) + ", which no 'input' declaration names";
}
inline std::string missing_input(std::string_view name, SourcePos pos) {
  return "input " + quoted(name) + at(pos) + " has no value: the caller gives every input";
}
inline std::string input_not_integer(std::string_view name, double value, SourcePos pos) {
  return "input " + quoted(name) + at(pos) + " is an integer type, given " + real_text(value);
}
inline std::string too_many_operations(SourcePos pos, std::uint64_t limit) {
  return "the program grows past " + std::to_string(limit) + " operations" + at(pos);
}
inline std::string too_much_work(SourcePos pos, std::uint64_t limit) {
  return "evaluating the program takes more than " + std::to_string(limit) + " steps" + at(pos) +
         " (loops, subroutine calls and gate expansions)";
}
inline std::string loop_limit(SourcePos pos, std::uint64_t limit) {
  return "the 'while' loop" + at(pos) + " ran " + std::to_string(limit) + " rounds without ending";
}
inline std::string endless_loop(SourcePos pos) {
  return "the 'while' loop" + at(pos) +
         " tests measured bits that its body neither measures nor assigns: it would never end";
}
inline std::string include_left(std::string_view path) {
  return "include of " + quoted(path) + " was not read";
}
inline std::string physical_and_virtual(SourcePos pos) {
  return "physical qubits ($n) and declared qubits are mixed" + at(pos);
}
inline std::string redeclared(std::string_view name, SourcePos pos) {
  return quoted(name) + " is declared twice" + at(pos);
}
inline std::string too_many_qubits(std::string_view name, std::uint64_t size, SourcePos pos) {
  return "qubits " + quoted(name) + at(pos) + ": " + std::to_string(size) + " is too many";
}
inline std::string too_many_bits(std::string_view name, std::uint64_t size, SourcePos pos) {
  return "bits " + quoted(name) + at(pos) + ": " + std::to_string(size) + " is too many";
}
inline std::string not_read(std::string_view keyword, SourcePos pos) {
  return "'" + std::string(keyword) + "'" + at(pos) + " is not read";
}
inline std::string internal_form(SourcePos pos) {
  return "statement" + at(pos) + " is not one the evaluation reads";
}
inline std::string bad_width(std::string_view name, SourcePos pos) {
  return "the size or width of " + quoted(name) + at(pos) +
         " is not a non-negative integer known while reading";
}
inline std::string type_not_read(std::string_view type, SourcePos pos) {
  if (type == "array") {
    return "'array' declaration" + at(pos) +
           " (arrays are not read; bit[n] registers and the bits of integers are)";
  }
  return "'" + std::string(type) + "' declaration" + at(pos) + " (complex numbers are not read)";
}
inline std::string width_not_read(std::string_view name, std::uint64_t width, SourcePos pos) {
  return "width " + std::to_string(width) + " of " + quoted(name) + at(pos) +
         " (classical values of 1 to 64 bits are read)";
}
inline std::string measure_into_non_bit(std::string_view name, SourcePos pos) {
  return "measurement into " + quoted(name) + at(pos) +
         ", which is no bit variable (only bits take measured values)";
}
inline std::string runtime_value_unsupported(SourcePos pos) {
  return "a value computed from measured bits" + at(pos) +
         " (at run time, integers, angles and bits take shifts, rotations, the bitwise and "
         "logical operators, + and -, products with known integers, comparisons and casts)";
}
inline std::string runtime_variable(std::string_view name, SourcePos pos) {
  return "assignment to " + quoted(name) + at(pos) +
         " depends on measured bits (only bit, bool, int, uint and angle variables take values "
         "at run time)";
}
inline std::string runtime_parameter(std::string_view gate, SourcePos pos) {
  return "a parameter of " + quoted(gate) + at(pos) +
         " depends on measured bits (a run-time angle feeds only the gates additive in their "
         "one angle: rx ry rz p phase u1 cp cphase cu1 crx cry crz rxx ryy rzz rzx gphase)";
}
inline std::string runtime_nonlinear(std::string_view what, SourcePos pos) {
  return "'" + std::string(what) + "' of a value computed from measured bits" + at(pos) +
         " (a run-time value reaches a real only through + and -, and products and quotients "
         "with known numbers)";
}
inline std::string runtime_in_gate(SourcePos pos) {
  return "measurement, reset or condition on measured bits inside a gate definition" + at(pos);
}
inline std::string runtime_control(std::string_view word, SourcePos pos) {
  return "'" + std::string(word) + "'" + at(pos) +
         " inside a body that runs on measured bits (a loop or 'if' decided at run time)";
}
inline std::string bad_cast(std::string_view from, std::string_view to, SourcePos pos) {
  return "no cast from " + std::string(from) + " to " + std::string(to) + at(pos);
}
inline std::string assign_to_qubit(std::string_view name, SourcePos pos) {
  return "assignment to qubits " + quoted(name) + at(pos);
}
inline std::string assign_to_const(std::string_view name, SourcePos pos) {
  return "assignment to the constant " + quoted(name) + at(pos);
}
inline std::string width_mismatch(std::string_view name, std::uint64_t want, std::uint64_t got,
                                  SourcePos pos) {
  return quoted(name) + at(pos) + " has " + std::to_string(want) + " bits, the value " +
         std::to_string(got);
}
inline std::string bad_target(SourcePos pos) {
  return "the left side" + at(pos) + " is not a variable or one element of one";
}
inline std::string undefined(std::string_view name, SourcePos pos) {
  return "undefined name " + quoted(name) + at(pos);
}
inline std::string undefined_function(std::string_view name, SourcePos pos) {
  return "undefined function or subroutine " + quoted(name) + at(pos);
}
inline std::string function_not_read(std::string_view name, SourcePos pos) {
  return "function " + quoted(name) + at(pos) + " is not read";
}
inline std::string function_arguments(std::string_view name, std::size_t want, std::size_t got,
                                      SourcePos pos) {
  return quoted(name) + at(pos) + " takes " + std::to_string(want) + " arguments, got " +
         std::to_string(got);
}
inline std::string index_out_of_range(std::string_view name, std::int64_t index, std::uint64_t size,
                                      SourcePos pos) {
  return "index " + std::to_string(index) + " of " + quoted(name) + at(pos) +
         " is out of range (size " + std::to_string(size) + ")";
}
inline std::string bad_index(SourcePos pos) {
  return "index" + at(pos) + " is not an integer known while reading";
}
inline std::string bad_range(SourcePos pos) {
  return "range" + at(pos) + " has a bound that is not an integer known while reading";
}
inline std::string zero_step(SourcePos pos) { return "range" + at(pos) + " has step 0"; }
inline std::string range_as_value(SourcePos pos) {
  return "a range or set" + at(pos) + " stands where a value is expected";
}
inline std::string outside_loop(std::string_view word, SourcePos pos) {
  return "'" + std::string(word) + "'" + at(pos) + " outside a loop";
}
inline std::string return_outside(SourcePos pos) {
  return "'return'" + at(pos) + " outside a subroutine";
}
inline std::string bad_iterable(SourcePos pos) {
  return "'for' loop" + at(pos) + " runs over a range, a set or a bit register";
}
inline std::string measure_operands(SourcePos pos) {
  return "'measure'" + at(pos) + " takes one qubit operand";
}
inline std::string bad_qubit_operand(SourcePos pos) {
  return "qubit operand" + at(pos) + " is not a register, an element or a range of one";
}
inline std::string qubit_as_value(std::string_view name, SourcePos pos) {
  return "qubits " + quoted(name) + at(pos) + " used as a classical value";
}
inline std::string measure_in_expression(SourcePos pos) {
  return "'measure'" + at(pos) + " inside an expression (a measurement is assigned or declared)";
}
inline std::string bad_control_count(SourcePos pos) {
  return "control count" + at(pos) + " is not a positive integer";
}
inline std::string pow_without_exponent(SourcePos pos) {
  return "'pow' modifier" + at(pos) + " without its exponent";
}
inline std::string too_few_qubits_for_controls(std::string_view gate, std::uint64_t count,
                                               SourcePos pos) {
  return quoted(gate) + at(pos) + " has fewer qubits than its " + std::to_string(count) +
         " controls and target";
}
inline std::string repeated_qubit(std::string_view gate, SourcePos pos) {
  return quoted(gate) + at(pos) + " names one qubit twice";
}
inline std::string fractional_power(std::string_view gate, double k, SourcePos pos) {
  return "pow(" + real_text(k) + ") of " + quoted(gate) + at(pos) +
         ": a fractional power is exact only for rotations (rx ry rz p u1 cp crx cry crz rxx ryy "
         "rzz rzx gphase)";
}
inline std::string bad_bit_string(std::string_view text, SourcePos pos) {
  return "bit string " + quoted(text) + at(pos) + " holds other characters than 0 and 1";
}
inline std::string bad_operand(std::string_view op, SourcePos pos) {
  return "operator '" + std::string(op) + "'" + at(pos) + " does not apply to these values";
}
inline std::string division_by_zero(SourcePos pos) { return "integer division by zero" + at(pos); }
inline std::string recursion(std::string_view name, SourcePos pos) {
  return "recursive call of subroutine " + quoted(name) + at(pos) +
         " (subroutines are inlined, so recursion is not read)";
}
inline std::string missing_return(std::string_view name, SourcePos pos) {
  return "subroutine " + quoted(name) + " ended without returning its value" + at(pos);
}

}  // namespace vorn::qasm::emsg
