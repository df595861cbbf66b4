// The built-in gate table and the expansion of gate calls into circuit operations.
#include "qasm/gate_library.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <optional>

#include "core/constants.h"
#include "qasm/messages.h"

namespace vorn::qasm {

namespace {

using core::HALF_PI;
using core::PI;
using core::QUARTER_PI;

enum class Builtin : std::uint8_t {
  H,
  X,
  Y,
  Z,
  S,
  Sdg,
  T,
  Tdg,
  Id,
  Rx,
  Ry,
  Rz,
  U3,
  U2,
  Phase,
  Sx,
  Sxdg,
  GPhase,
  CX,
  CZ,
  Swap,
  CY,
  CH,
  CRX,
  CRY,
  CRZ,
  CPhase,
  CU3,
  CU,
  CCX,
  CSwap,
};

// One row of the built-in table: the parameter count (-1: not looked at, values ignored), the
// qubit count, the name shown in messages (empty: as written) and the number of operations
// appended.
struct BuiltinRow {
  Builtin gate;
  int params;
  unsigned qubits;
  std::string_view shown;
  unsigned ops;
};

const std::unordered_map<std::string_view, BuiltinRow>& builtin_table() {
  static const std::unordered_map<std::string_view, BuiltinRow> table = {
      {"h", {Builtin::H, -1, 1, "", 1}},
      {"x", {Builtin::X, -1, 1, "", 1}},
      {"y", {Builtin::Y, -1, 1, "", 1}},
      {"z", {Builtin::Z, -1, 1, "", 1}},
      {"s", {Builtin::S, -1, 1, "", 1}},
      {"sdg", {Builtin::Sdg, -1, 1, "", 1}},
      {"t", {Builtin::T, -1, 1, "", 1}},
      {"tdg", {Builtin::Tdg, -1, 1, "", 1}},
      {"id", {Builtin::Id, -1, 1, "", 1}},
      {"u0", {Builtin::Id, -1, 1, "", 1}},
      {"rx", {Builtin::Rx, 1, 1, "", 1}},
      {"ry", {Builtin::Ry, 1, 1, "", 1}},
      {"rz", {Builtin::Rz, 1, 1, "", 1}},
      {"U", {Builtin::U3, 3, 1, "", 1}},
      {"u", {Builtin::U3, 3, 1, "", 1}},
      {"u3", {Builtin::U3, 3, 1, "", 1}},
      {"u2", {Builtin::U2, 2, 1, "u2", 1}},
      {"p", {Builtin::Phase, 1, 1, "", 1}},
      {"phase", {Builtin::Phase, 1, 1, "", 1}},
      {"u1", {Builtin::Phase, 1, 1, "", 1}},
      {"sx", {Builtin::Sx, 0, 1, "sx", 1}},
      {"sxdg", {Builtin::Sxdg, 0, 1, "sxdg", 1}},
      {"gphase", {Builtin::GPhase, 1, 0, "gphase", 0}},
      {"cx", {Builtin::CX, 0, 2, "cx", 1}},
      {"CX", {Builtin::CX, 0, 2, "cx", 1}},
      {"cz", {Builtin::CZ, 0, 2, "cz", 1}},
      {"swap", {Builtin::Swap, 0, 2, "swap", 1}},
      {"cy", {Builtin::CY, 0, 2, "cy", 3}},
      {"ch", {Builtin::CH, 0, 2, "ch", 7}},
      {"crx", {Builtin::CRX, 1, 2, "crx", 5}},
      {"cry", {Builtin::CRY, 1, 2, "cry", 4}},
      {"crz", {Builtin::CRZ, 1, 2, "crz", 4}},
      {"cp", {Builtin::CPhase, 1, 2, "", 5}},
      {"cu1", {Builtin::CPhase, 1, 2, "", 5}},
      {"cu3", {Builtin::CU3, 3, 2, "cu3", 6}},
      {"cu", {Builtin::CU, 4, 2, "cu", 7}},
      {"ccx", {Builtin::CCX, 0, 3, "ccx", 1}},
      {"toffoli", {Builtin::CCX, 0, 3, "ccx", 1}},
      {"cswap", {Builtin::CSwap, 0, 3, "cswap", 1}},
      {"fredkin", {Builtin::CSwap, 0, 3, "cswap", 1}},
  };
  return table;
}

// The controlled-U3 sequence on (control, target).
void append_cu3(sim::Circuit& circuit, double theta, double phi, double lambda,
                std::uint64_t control, std::uint64_t target) {
  circuit.u3(0.0, 0.0, (phi + lambda) * 0.5, control);
  circuit.u3(0.0, 0.0, (lambda - phi) * 0.5, target);
  circuit.cx(control, target);
  circuit.u3(theta * -0.5, 0.0, (phi + lambda) * -0.5, target);
  circuit.cx(control, target);
  circuit.u3(theta * 0.5, phi, 0.0, target);
}

void append_builtin(sim::Circuit& circuit, Builtin gate, std::span<const double> v,
                    std::span<const std::uint64_t> q) {
  switch (gate) {
    case Builtin::H:
      return circuit.h(q[0]);
    case Builtin::X:
      return circuit.x(q[0]);
    case Builtin::Y:
      return circuit.y(q[0]);
    case Builtin::Z:
      return circuit.z(q[0]);
    case Builtin::S:
      return circuit.s(q[0]);
    case Builtin::Sdg:
      return circuit.sdg(q[0]);
    case Builtin::T:
      return circuit.t(q[0]);
    case Builtin::Tdg:
      return circuit.tdg(q[0]);
    case Builtin::Id:
      return circuit.id(q[0]);
    case Builtin::Rx:
      return circuit.rx(v[0], q[0]);
    case Builtin::Ry:
      return circuit.ry(v[0], q[0]);
    case Builtin::Rz:
      return circuit.rz(v[0], q[0]);
    case Builtin::U3:
      return circuit.u3(v[0], v[1], v[2], q[0]);
    case Builtin::U2:
      return circuit.u3(HALF_PI, v[0], v[1], q[0]);
    case Builtin::Phase:
      return circuit.u3(0.0, 0.0, v[0], q[0]);
    case Builtin::Sx:
      circuit.rx(HALF_PI, q[0]);
      return circuit.add_global_phase(QUARTER_PI);
    case Builtin::Sxdg:
      circuit.rx(-HALF_PI, q[0]);
      return circuit.add_global_phase(-QUARTER_PI);
    case Builtin::GPhase:
      return circuit.add_global_phase(v[0]);
    case Builtin::CX:
      return circuit.cx(q[0], q[1]);
    case Builtin::CZ:
      return circuit.cz(q[0], q[1]);
    case Builtin::Swap:
      return circuit.swap(q[0], q[1]);
    case Builtin::CY:
      circuit.sdg(q[1]);
      circuit.cx(q[0], q[1]);
      return circuit.s(q[1]);
    case Builtin::CH:
      circuit.s(q[1]);
      circuit.h(q[1]);
      circuit.t(q[1]);
      circuit.cx(q[0], q[1]);
      circuit.tdg(q[1]);
      circuit.h(q[1]);
      return circuit.sdg(q[1]);
    case Builtin::CRX:
      circuit.u3(0.0, 0.0, HALF_PI, q[1]);
      circuit.cx(q[0], q[1]);
      circuit.u3(v[0] * -0.5, 0.0, 0.0, q[1]);
      circuit.cx(q[0], q[1]);
      return circuit.u3(v[0] * 0.5, -HALF_PI, 0.0, q[1]);
    case Builtin::CRY:
      circuit.ry(v[0] * 0.5, q[1]);
      circuit.cx(q[0], q[1]);
      circuit.ry(v[0] * -0.5, q[1]);
      return circuit.cx(q[0], q[1]);
    case Builtin::CRZ:
      circuit.rz(v[0] * 0.5, q[1]);
      circuit.cx(q[0], q[1]);
      circuit.rz(v[0] * -0.5, q[1]);
      return circuit.cx(q[0], q[1]);
    case Builtin::CPhase:
      circuit.u3(0.0, 0.0, v[0] * 0.5, q[0]);
      circuit.cx(q[0], q[1]);
      circuit.u3(0.0, 0.0, v[0] * -0.5, q[1]);
      circuit.cx(q[0], q[1]);
      return circuit.u3(0.0, 0.0, v[0] * 0.5, q[1]);
    case Builtin::CU3:
      return append_cu3(circuit, v[0], v[1], v[2], q[0], q[1]);
    case Builtin::CU:
      circuit.u3(0.0, 0.0, v[3], q[0]);
      return append_cu3(circuit, v[0], v[1], v[2], q[0], q[1]);
    case Builtin::CCX:
      return circuit.ccx(q[0], q[1], q[2]);
    case Builtin::CSwap:
      return circuit.cswap(q[0], q[1], q[2]);
  }
}

// The later binding of a name: the last equal entry of a sorted list, else the last one
// found scanning backwards.
template <typename T>
const T* find_last(const std::vector<std::pair<std::string_view, T>>& bindings,
                   std::string_view name, bool sorted) {
  if (sorted) {
    const auto after = std::upper_bound(
        bindings.begin(), bindings.end(), name,
        [](std::string_view key, const auto& binding) { return key < binding.first; });
    if (after == bindings.begin() || std::prev(after)->first != name) {
      return nullptr;
    }
    return &std::prev(after)->second;
  }
  for (auto it = bindings.rbegin(); it != bindings.rend(); ++it) {
    if (it->first == name) {
      return &it->second;
    }
  }
  return nullptr;
}

double apply_func(MathFunc func, double x) {
  switch (func) {
    case MathFunc::Sin:
      return std::sin(x);
    case MathFunc::Cos:
      return std::cos(x);
    case MathFunc::Tan:
      return std::tan(x);
    case MathFunc::Exp:
      return std::exp(x);
    case MathFunc::Ln:
      return std::log(x);
    case MathFunc::Sqrt:
      return std::sqrt(x);
  }
  return x;
}

double apply_op(BinOp op, double left, double right) {
  switch (op) {
    case BinOp::Add:
      return left + right;
    case BinOp::Sub:
      return left - right;
    case BinOp::Mul:
      return left * right;
    case BinOp::Div:
      return left / right;
    case BinOp::Pow:
      return std::pow(left, right);
  }
  return left;
}

// Names the file that a positioned error points into, when the reading has several.
QasmError in_file(const GateContext& context, QasmError error, FileIndex file) {
  if (!context.files.empty() && !error.file.has_value() && has_position(error)) {
    error.file = context.files[file];
  }
  return error;
}

QasmError budget_error(const GateCall& call, std::uint64_t limit) {
  const SourcePos pos{call.line, call.col};
  return lower_error(messages::expansion_budget_exceeded(call.name, pos, limit), pos);
}

Status spend(GateContext& context, const GateCall& call, std::uint64_t steps) {
  context.steps += steps;
  if (context.steps > context.limits.max_expansion_steps) {
    return in_file(context, budget_error(call, context.limits.max_expansion_steps), call.file);
  }
  return Ok{};
}

// Expands one instance of a user gate: checks the counts, binds the formals in a fresh
// environment and expands the body one level deeper.
Status expand_user_gate(GateContext& context, const GateCall& call, std::span<const double> values,
                        std::span<const std::uint64_t> qubits, std::size_t depth) {
  const auto found = context.gate_defs.find(call.name);
  if (found == context.gate_defs.end()) {
    return in_file(context, unknown_gate_error(call.name, call.line, call.col), call.file);
  }
  const GateDef& def = *found->second;
  if (def.params.size() != values.size()) {
    return lower_error(
        messages::user_gate_parameter_count(def.name, def.params.size(), values.size()));
  }
  if (def.qubits.size() != qubits.size()) {
    return in_file(context,
                   gate_arity_error(def.name, def.line, def.col, def.qubits.size(), qubits.size()),
                   def.file);
  }
  // Binding the formals costs one step each.
  if (Status s = spend(context, call, 1 + values.size() + qubits.size()); !s.ok()) {
    return s;
  }
  // A fresh environment holding the definition's own formals only; its storage is this
  // depth's scratch, which the body's calls (one level deeper) never touch.
  GateEnv& env = context.scratch[depth].env;
  env.params.clear();
  env.qubits.clear();
  env.indexed = false;
  for (std::size_t j = 0; j < values.size(); ++j) {
    env.params.emplace_back(def.params[j], values[j]);
  }
  for (std::size_t j = 0; j < qubits.size(); ++j) {
    env.qubits.emplace_back(def.qubits[j], qubits[j]);
  }
  if (env.params.size() + env.qubits.size() > 8) {
    env.index();
  }
  for (const GateCall& inner : def.body) {
    if (Status s = expand_gate_call(context, inner, env, depth + 1); !s.ok()) {
      return s;
    }
  }
  return Ok{};
}

}  // namespace

void GateEnv::index() {
  const auto by_name = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::stable_sort(params.begin(), params.end(), by_name);
  std::stable_sort(qubits.begin(), qubits.end(), by_name);
  indexed = true;
}

const double* GateEnv::find_param(std::string_view name) const {
  return find_last(params, name, indexed);
}

const std::uint64_t* GateEnv::find_qubit(std::string_view name) const {
  return find_last(qubits, name, indexed);
}

Result<double> eval_expr(const ExprPool& exprs, ExprRef expr, const GateEnv& env) {
  // Operands come before their users in the pool, so one forward walk evaluates the tree.
  constexpr std::size_t INLINE = 16;
  std::array<double, INLINE> inline_values;
  std::vector<double> heap_values;
  double* values = inline_values.data();
  if (expr.size() > INLINE) {
    heap_values.resize(expr.size());
    values = heap_values.data();
  }
  const auto value_of = [&](std::size_t index) { return values[index - expr.begin]; };
  for (std::size_t i = expr.begin; i < expr.end; ++i) {
    const ExprNode& node = exprs[i];
    double value = 0.0;
    switch (node.kind) {
      case ExprKind::IntLit:
        value = static_cast<double>(node.int_value);
        break;
      case ExprKind::RealLit:
        value = node.real_value;
        break;
      case ExprKind::PiLit:
        value = PI;
        break;
      case ExprKind::ParamRef: {
        const double* bound = env.find_param(node.name);
        if (bound == nullptr) {
          return lower_error(messages::undefined_parameter(node.name));
        }
        value = *bound;
        break;
      }
      case ExprKind::Neg:
        value = -value_of(node.left);
        break;
      case ExprKind::BinExpr:
        value = apply_op(node.op, value_of(node.left), value_of(node.right));
        break;
      case ExprKind::FuncCall:
        value = apply_func(node.func, value_of(node.left));
        break;
      default:
        // The dynamic mode's OpenQASM 3 expressions are evaluated by its elaboration.
        return lower_error(messages::undefined_parameter(node.name));
    }
    values[i - expr.begin] = value;
  }
  return values[expr.root() - expr.begin];
}

Result<QubitRange> resolve_qubits(const GateContext& context, const RegRef& ref,
                                  const GateEnv& env) {
  const std::uint64_t* formal = env.find_qubit(ref.name);
  if (!ref.index.has_value()) {
    if (formal != nullptr) {
      return QubitRange{*formal, 1};
    }
    const auto found = context.qubit_regs.find(ref.name);
    if (found == context.qubit_regs.end()) {
      return lower_error(messages::undefined_qreg(ref.name));
    }
    return QubitRange{found->second.offset, found->second.size};
  }
  const std::uint64_t index = *ref.index;
  if (formal != nullptr) {
    return lower_error(messages::indexed_formal(ref.name, index));
  }
  const auto found = context.qubit_regs.find(ref.name);
  if (found == context.qubit_regs.end()) {
    return lower_error(messages::undefined_qreg(ref.name));
  }
  if (index >= found->second.size) {
    return qubit_out_of_range_error(index, found->second.size);
  }
  return QubitRange{found->second.offset + index, 1};
}

Result<bool> apply_builtin_gate(sim::Circuit& circuit, std::string_view name,
                                std::span<const double> values,
                                std::span<const std::uint64_t> qubits, std::uint64_t line,
                                std::uint64_t col, std::uint64_t max_operations,
                                std::uint64_t elsewhere) {
  const auto& table = builtin_table();
  const auto found = table.find(name);
  if (found == table.end()) {
    return false;
  }
  const BuiltinRow& row = found->second;
  const std::string shown(row.shown.empty() ? name : row.shown);
  if (row.params >= 0 && values.size() != static_cast<std::size_t>(row.params)) {
    return lower_error(
        messages::builtin_parameter_count(shown, {line, col}, row.params, values.size()),
        {line, col});
  }
  if (qubits.size() != row.qubits) {
    return gate_arity_error(shown, line, col, row.qubits, qubits.size());
  }
  const std::uint64_t used = circuit.ops().size() + std::min(elsewhere, max_operations);
  if (row.ops > max_operations || used > max_operations - row.ops) {
    return lower_error(messages::gate_too_many_operations(name, {line, col}, max_operations),
                       {line, col});
  }
  append_builtin(circuit, row.gate, values, qubits);
  return true;
}

Status expand_gate_call(GateContext& context, const GateCall& call, const GateEnv& env,
                        std::size_t depth) {
  if (depth > MAX_INLINE_DEPTH) {
    return recursion_limit_error(call.name, MAX_INLINE_DEPTH);
  }
  if (depth > 0) {
    std::uint64_t steps = 1 + call.qargs.size();
    for (const ExprRef& param : call.params) {
      steps += param.size();
    }
    if (Status s = spend(context, call, steps); !s.ok()) {
      return s;
    }
  }
  CallScratch& scratch = context.scratch[depth];

  std::vector<double>& values = scratch.values;
  values.clear();
  for (const ExprRef& param : call.params) {
    Result<double> value = eval_expr(context.exprs, param, env);
    if (!value.ok()) {
      return std::move(value).take_error();
    }
    values.push_back(value.value());
  }

  std::vector<QubitRange>& operands = scratch.operands;
  operands.clear();
  for (const RegRef& ref : call.qargs) {
    Result<QubitRange> range = resolve_qubits(context, ref, env);
    if (!range.ok()) {
      return std::move(range).take_error();
    }
    operands.push_back(range.value());
  }

  // Whole-register operands are broadcast: every operand longer than 1 must have one length.
  std::uint64_t width = 1;
  bool empty_operand = false;
  for (const QubitRange& operand : operands) {
    if (operand.count > 1) {
      if (width > 1 && width != operand.count) {
        const SourcePos pos{call.line, call.col};
        return in_file(
            context,
            lower_error(messages::broadcast_size_mismatch(call.name, pos, width, operand.count),
                        pos),
            call.file);
      }
      width = operand.count;
    }
    empty_operand = empty_operand || operand.count == 0;
  }
  // A register of size 0 has no element to give any instance: the call has none.
  if (empty_operand) {
    return Ok{};
  }

  std::vector<std::uint64_t>& qubits = scratch.qubits;
  qubits.resize(operands.size());
  for (std::uint64_t k = 0; k < width; ++k) {
    for (std::size_t j = 0; j < operands.size(); ++j) {
      qubits[j] = operands[j].count == 1 ? operands[j].first : operands[j][k];
    }
    Result<bool> handled =
        apply_builtin_gate(context.circuit, call.name, values, qubits, call.line, call.col,
                           context.limits.max_operations, context.operations_elsewhere);
    if (!handled.ok()) {
      return in_file(context, std::move(handled).take_error(), call.file);
    }
    if (handled.value()) {
      continue;
    }
    if (Status s = expand_user_gate(context, call, values, qubits, depth); !s.ok()) {
      return s;
    }
  }
  return Ok{};
}

}  // namespace vorn::qasm
