// Gate calls to circuit operations: parameter evaluation, operand resolution, broadcasting,
// the built-in gate library and the inline expansion of user-defined gates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qasm/ast.h"
#include "qasm/result.h"
#include "simulator/circuit.h"

namespace vorn::qasm {

// Depth 0 is a top-level call; the calls in the body of a gate expanded at depth d run at
// depth d + 1. A call deeper than this fails with RecursionLimit.
inline constexpr std::size_t MAX_INLINE_DEPTH = 16;

// Bounds on what a short text can ask for. A few lines of nested gate definitions can expand
// into more operations than any memory holds, or into endless work that appends nothing
// (gphase, empty bodies); both are refused with a Lower error long before that.
inline constexpr std::uint64_t MAX_OPERATIONS = std::uint64_t{1} << 24;
// One step per call examined inside a gate body, per operand and expression node of such a
// call, and per expanded instance of a user gate.
inline constexpr std::uint64_t MAX_EXPANSION_STEPS = std::uint64_t{1} << 26;
// The dynamic mode's includes: the bytes of all included texts together, each inclusion
// counted (a file included twice counts twice, so that a few files including each other's
// neighbours twice over cannot multiply into more text than memory holds).
inline constexpr std::uint64_t MAX_INCLUDE_BYTES = std::uint64_t{1} << 26;

// The bounds in force for one reading; smaller ones let a fuzzer or a test reach them cheaply.
// In the dynamic mode max_operations bounds the program's instructions (jumps included) and
// its condition nodes.
struct ReadLimits {
  std::uint64_t max_operations = MAX_OPERATIONS;
  std::uint64_t max_expansion_steps = MAX_EXPANSION_STEPS;
  std::uint64_t max_include_bytes = MAX_INCLUDE_BYTES;
};

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

// A register's flat indices: offset, offset + 1, ..., offset + size - 1.
struct Register {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// Register name (exact text) to its range; qubit and classical registers have one table each.
using RegisterTable = std::unordered_map<std::string, Register, StringHash, std::equal_to<>>;

using GateDefTable = std::unordered_map<std::string_view, const GateDef*>;

// Flat qubit indices first, first + 1, ..., first + count - 1: what an operand resolves to.
// Every operand is such a range (a register, one element of it, or a formal qubit), so a
// whole register is never spelled out index by index.
struct QubitRange {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  std::uint64_t operator[](std::uint64_t k) const { return first + k; }
};

// The bindings seen by the calls of one gate body. When a formal name occurs twice, the later
// binding is the one found.
struct GateEnv {
  std::vector<std::pair<std::string_view, double>> params;
  std::vector<std::pair<std::string_view, std::uint64_t>> qubits;
  // Set by index(): both lists are sorted by name, equal names in binding order.
  bool indexed = false;

  // Sorts the bindings so that lookups take logarithmic time, which keeps a gate with many
  // formals linear to expand; lookups give the same answers either way.
  void index();
  const double* find_param(std::string_view name) const;
  const std::uint64_t* find_qubit(std::string_view name) const;
};

// The working lists of the calls at one expansion depth, reused from call to call.
struct CallScratch {
  std::vector<double> values;
  std::vector<QubitRange> operands;
  std::vector<std::uint64_t> qubits;
  GateEnv env;  // of the user-gate instance being expanded at this depth
};

// The lowering state that gate calls read and append to; the tables and the expression pool
// belong to the caller and outlive it.
struct GateContext {
  const ExprPool& exprs;
  const RegisterTable& qubit_regs;
  const GateDefTable& gate_defs;
  sim::Circuit& circuit;
  ReadLimits limits;
  // Operations that the reading holds outside `circuit` and that count towards
  // limits.max_operations (the dynamic mode moves each statement's operations out).
  std::uint64_t operations_elsewhere = 0;
  std::uint64_t steps = 0;
  std::array<CallScratch, MAX_INLINE_DEPTH + 1> scratch{};
  // The names of the reading's files by FileIndex, when it reads several (the dynamic mode):
  // an error that shows a position then names the file of the call or definition it points at.
  std::span<const std::string> files{};
};

// Appends the operations of one call (broadcast over whole-register operands, user gates
// expanded inline). A call with an operand register of size 0 has no instance and appends
// nothing.
Status expand_gate_call(GateContext& context, const GateCall& call, const GateEnv& env,
                        std::size_t depth);

// A qubit operand to its flat indices: a formal qubit of env, else a declared register.
Result<QubitRange> resolve_qubits(const GateContext& context, const RegRef& ref,
                                  const GateEnv& env);

// Evaluates an expression in double precision; a parameter name not in env fails.
Result<double> eval_expr(const ExprPool& exprs, ExprRef expr, const GateEnv& env);

// Applies a built-in gate and returns true, or returns false for a name that is not built in
// (nothing appended), or the error of a wrong parameter or qubit count, or of a circuit that
// would grow past max_operations (counting `elsewhere` operations held outside the circuit).
Result<bool> apply_builtin_gate(sim::Circuit& circuit, std::string_view name,
                                std::span<const double> values,
                                std::span<const std::uint64_t> qubits, std::uint64_t line,
                                std::uint64_t col, std::uint64_t max_operations = MAX_OPERATIONS,
                                std::uint64_t elsewhere = 0);

}  // namespace vorn::qasm
