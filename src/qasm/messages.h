// The fixed texts of the OpenQASM reader, in one place: the messages its errors carry (the
// QasmError renderings themselves are in error.cpp) and its internal aborts. Every text here is
// part of what from_qasm raises and must stay as it is, byte for byte.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "qasm/error.h"

namespace vorn::qasm::messages {

// The releases named in Unsupported errors.
inline constexpr const char PLANNED_INCLUDES[] = "v0.4+";
inline constexpr const char PLANNED_DYNAMIC[] = "v0.5";

// ---- lexer ----

inline std::string unexpected_character(unsigned char byte) {
  return "unexpected character " + char_form(byte);
}
inline std::string integer_too_large(std::string_view text) {
  return "invalid integer " + quoted(text) + ": number too large to fit in target type";
}
inline std::string invalid_real(std::string_view text) {
  return "invalid real " + quoted(text) + ": invalid float literal";
}
inline constexpr const char UNTERMINATED_STRING_AT_EOF[] = "unterminated string literal at EOF";
inline constexpr const char UNTERMINATED_STRING[] = "unterminated string literal";
inline constexpr const char UNTERMINATED_BLOCK_COMMENT[] = "unterminated block comment";
inline std::string non_utf8_string(const std::string& fault) { return "non-utf8 string: " + fault; }
inline std::string non_utf8_name(const std::string& fault) { return "non-utf8 name: " + fault; }
inline std::string invalid_utf8_sequence(std::size_t length, std::size_t start) {
  return "invalid utf-8 sequence of " + std::to_string(length) + " bytes from index " +
         std::to_string(start);
}
inline std::string incomplete_utf8_sequence(std::size_t start) {
  return "incomplete utf-8 byte sequence from index " + std::to_string(start);
}

// ---- parser ----

inline std::string unsupported_version(const std::string& version) {
  return "unsupported OPENQASM version " + version;
}
inline std::string expected_version(const std::string& got) {
  return "expected version number after OPENQASM, got " + got;
}
inline std::string nesting_too_deep(std::size_t max_depth) {
  return "nesting too deep (more than " + std::to_string(max_depth) +
         " levels of parentheses, signs, '^', function calls or 'if')";
}
inline std::string expected(std::string_view what, const std::string& got) {
  return "expected " + std::string(what) + ", got " + got;
}
inline std::string expected_identifier(std::string_view what, const std::string& got) {
  return "expected " + std::string(what) + " identifier, got " + got;
}
inline std::string expected_integer(std::string_view what, const std::string& got) {
  return "expected " + std::string(what) + " integer, got " + got;
}
inline std::string negative_size(std::string_view what, std::int64_t value) {
  return std::string(what) + ": size must be non-negative, got " + std::to_string(value);
}
inline std::string unexpected_statement_start(const std::string& got) {
  return "unexpected token " + got + " at start of statement";
}
inline std::string expected_include_string(const std::string& got) {
  return "expected string after 'include', got " + got;
}
inline std::string expected_body_gate_call(const std::string& got) {
  return "expected gate call inside gate definition body, got " + got;
}
inline std::string expected_atom(const std::string& got) {
  return "expected expression atom, got " + got;
}

// ---- lowering and the gate library ----

inline std::string include_not_supported(std::string_view path, SourcePos pos) {
  return "include of " + quoted(path) + " at " + line_text(pos) +
         " not supported (only qelib1.inc / stdgates.inc)";
}
inline std::string opaque_not_supported(std::string_view name, SourcePos pos) {
  return "opaque gate declaration " + quoted(name) + " at " + line_text(pos) + " not supported";
}
inline std::string reset_not_supported(SourcePos pos) {
  return "'reset' at " + line_text(pos) + " requires mid-circuit measurement";
}
inline std::string if_not_supported(SourcePos pos) {
  return "classical control flow 'if (c == N) ...' at " + line_text(pos) +
         " requires mid-circuit measurement";
}
inline std::string dynamic_not_supported(std::string_view keyword, SourcePos pos) {
  return "OpenQASM 3.0 '" + std::string(keyword) + "' (dynamic circuits) at " + line_text(pos);
}
// `kind` and `count_name` word the register: ("qreg/qubit", "qubit") or ("creg/bit",
// "classical-bit").
inline std::string duplicate_declaration(std::string_view kind, std::string_view name) {
  return "duplicate " + std::string(kind) + " declaration " + quoted(name);
}
inline std::string register_count_overflow(std::string_view kind, std::string_view name,
                                           std::string_view count_name) {
  return std::string(kind) + " declaration " + quoted(name) + " makes the " +
         std::string(count_name) + " count exceed " +
         std::to_string(std::numeric_limits<std::uint64_t>::max());
}
inline std::string duplicate_gate_definition(std::string_view name) {
  return "duplicate gate definition " + quoted(name);
}
inline std::string measure_where(SourcePos pos) { return "at " + line_text(pos); }
inline std::string undefined_creg(std::string_view name) {
  return "undefined creg/bit register " + quoted(name);
}
inline std::string measure_size_mismatch(SourcePos pos, std::uint64_t qubits, std::uint64_t cbits) {
  return "measure at " + line_text(pos) + ": qubit/cbit broadcast size mismatch (" +
         std::to_string(qubits) + " vs " + std::to_string(cbits) + ")";
}
inline std::string measure_too_many_operations(SourcePos pos, std::uint64_t max_operations) {
  return "measure at " + line_text(pos) + ": the circuit would exceed " +
         std::to_string(max_operations) + " operations";
}
inline std::string expansion_budget_exceeded(std::string_view gate, SourcePos pos,
                                             std::uint64_t limit) {
  return "gate '" + std::string(gate) + "' at " + line_text(pos) + ": inline expansion exceeds " +
         std::to_string(limit) + " steps";
}
inline std::string user_gate_parameter_count(std::string_view gate, std::size_t expected,
                                             std::size_t got) {
  return "gate " + quoted(gate) + " expected " + std::to_string(expected) + " parameters, got " +
         std::to_string(got);
}
inline std::string undefined_parameter(std::string_view name) {
  return "undefined parameter " + quoted(name) + " in expression";
}
inline std::string undefined_qreg(std::string_view name) {
  return "undefined qreg/qubit register " + quoted(name);
}
inline std::string indexed_formal(std::string_view name, std::uint64_t index) {
  return "indexed qubit '" + std::string(name) + "[" + std::to_string(index) +
         "]' inside gate body not allowed";
}
inline std::string builtin_parameter_count(std::string_view gate, SourcePos pos, int expected,
                                           std::size_t got) {
  return "qasm gate '" + std::string(gate) + "' at " + line_text(pos) + " expected " +
         std::to_string(expected) + " parameters, got " + std::to_string(got);
}
inline std::string gate_too_many_operations(std::string_view gate, SourcePos pos,
                                            std::uint64_t max_operations) {
  return "gate '" + std::string(gate) + "' at " + line_text(pos) + ": the circuit would exceed " +
         std::to_string(max_operations) + " operations";
}
inline std::string broadcast_size_mismatch(std::string_view gate, SourcePos pos,
                                           std::uint64_t width, std::uint64_t other) {
  return "gate '" + std::string(gate) + "' at " + line_text(pos) + ": broadcast size mismatch (" +
         std::to_string(width) + " vs " + std::to_string(other) + ")";
}

// ---- the dynamic mode (texts of the vorn package's reader; the specified mode never shows
// them) ----

inline constexpr const char ELSE_WITHOUT_IF[] = "'else' without a preceding 'if' body";
inline std::string construct_not_supported(std::string_view keyword, std::string_view construct,
                                           SourcePos pos) {
  return "OpenQASM 3.0 " + std::string(construct) + " '" + std::string(keyword) + "' at " +
         line_text(pos);
}
inline std::string declaration_in_block(std::string_view keyword, SourcePos pos) {
  // Appended piece by piece: "'" + std::string trips a false -Wrestrict in GCC 12.
  std::string text = "'";
  text += keyword;
  text += "' inside an 'if' body at ";
  text += line_text(pos);
  text += " (declarations and includes belong at the top level)";
  return text;
}
inline std::string classical_assignment(std::string_view name, SourcePos pos) {
  return "classical assignment to " + quoted(name) + " at " + line_text(pos) +
         " (only measurements are assigned to bits)";
}
inline std::string include_without_files(std::string_view path) {
  return "include of " + quoted(path) + ": no file source to read it from";
}
inline std::string bit_string_length(std::string_view name, std::uint64_t size,
                                     std::size_t length) {
  return "bit-string initialiser of " + quoted(name) + " has " + std::to_string(length) +
         " bits, the register " + std::to_string(size);
}
inline std::string bit_string_digits(std::string_view name, std::string_view text) {
  return "bit-string initialiser of " + quoted(name) + " may hold only 0 and 1, got " +
         quoted(text);
}
inline std::string include_not_found(std::string_view path, std::string_view tried) {
  return "include of " + quoted(path) + ": file not found (tried " + std::string(tried) + ")";
}
inline std::string include_cycle(std::string_view chain) {
  return "include cycle: " + std::string(chain);
}
inline std::string include_too_large(std::string_view path, std::uint64_t limit) {
  return "include of " + quoted(path) + ": the included files exceed " + std::to_string(limit) +
         " bytes in all";
}
inline std::string undefined_creg_at(std::string_view what, SourcePos pos, std::string_view name) {
  return std::string(what) + " at " + line_text(pos) + ": undefined creg/bit register " +
         quoted(name);
}
inline std::string bit_index_out_of_range(SourcePos pos, std::string_view name, std::uint64_t index,
                                          std::uint64_t size) {
  return "condition at " + line_text(pos) + ": bit index " + std::to_string(index) +
         " out of range for " + quoted(name) + " of " + std::to_string(size) + " bits";
}
inline std::string condition_register_width(SourcePos pos, std::string_view name,
                                            std::uint64_t size) {
  return "condition at " + line_text(pos) + ": " + quoted(name) + " has " + std::to_string(size) +
         " bits; a register alone is a condition only with 1 bit (compare it with a value, or "
         "name one bit)";
}
inline std::string condition_negative_value(SourcePos pos, std::int64_t value) {
  return "condition at " + line_text(pos) + ": value " + std::to_string(value) +
         " is negative; registers compare as unsigned integers";
}
inline std::string condition_value_too_wide(SourcePos pos, std::string_view name,
                                            std::uint64_t size, std::int64_t value,
                                            std::uint64_t max) {
  return "condition at " + line_text(pos) + ": value " + std::to_string(value) +
         " does not fit the " + std::to_string(size) + "-bit " + quoted(name) + " (at most " +
         std::to_string(max) + ")";
}
inline std::string program_too_many_instructions(std::string_view what, SourcePos pos,
                                                 std::uint64_t max_operations) {
  return std::string(what) + " at " + line_text(pos) + ": the program would exceed " +
         std::to_string(max_operations) + " instructions";
}
inline std::string branch_phase_without_qubit(SourcePos pos) {
  return "global phase inside an 'if' body at " + line_text(pos) + " in a program without qubits";
}
inline std::string initial_bits_too_many(std::string_view name, std::uint64_t n_bits,
                                         std::uint64_t limit) {
  return "bit-string initialiser of " + quoted(name) + ": the program's " + std::to_string(n_bits) +
         " bits exceed the " + std::to_string(limit) + " that can be given initial values";
}

// The exporter of dynamic programs.
inline std::string export_v2_cannot(std::string_view what, std::uint64_t instruction) {
  return "OpenQASM 2.0 cannot express " + std::string(what) + " (instruction " +
         std::to_string(instruction) + ")";
}
inline std::string export_v2_initial_bits(std::string_view name) {
  return "OpenQASM 2.0 cannot express the initial bit values of " + quoted(name);
}
inline std::string export_bad_jump(std::uint64_t instruction) {
  return "writing a program whose jump at instruction " + std::to_string(instruction) +
         " does not delimit an if/else block";
}
inline std::string export_bad_condition(std::uint64_t instruction) {
  return "writing a program whose condition at instruction " + std::to_string(instruction) +
         " is not a tree of earlier pool entries over its registers";
}
inline std::string export_bad_registers() {
  return "writing a program whose bit registers do not cover its bits in order";
}
inline std::string export_bad_register_name(std::string_view name) {
  return "writing a bit register named " + quoted(name) + ", which is not an identifier";
}
inline std::string export_bad_bit(std::uint64_t instruction) {
  return "writing a program whose measurement at instruction " + std::to_string(instruction) +
         " names a bit outside its registers";
}
inline std::string export_too_deep(std::uint64_t instruction, std::size_t max_depth) {
  return "writing 'if' blocks nested more than " + std::to_string(max_depth) +
         " deep (instruction " + std::to_string(instruction) + ")";
}

// ---- internal aborts (a broken invariant, never bad input) ----

inline std::string not_a_keyword(std::string_view kind) {
  return "qasm: token kind " + std::string(kind) + " has no keyword spelling";
}
inline std::string not_a_function(std::string_view kind) {
  return "qasm: token kind " + std::string(kind) + " is not a function name";
}

}  // namespace vorn::qasm::messages
