// The dynamic mode's classical evaluation of OpenQASM 3: values, scopes, loops, subroutines,
// gate modifiers and the extended gate set, down to the statements the lowering reads.
#include "qasm/elaborate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/constants.h"
#include "qasm/elaborate_messages.h"
#include "qasm/lexer.h"
#include "qasm/messages.h"
#include "simulator/unitary.h"

namespace vorn::qasm {

namespace {

using core::PI;
using Cx = std::complex<double>;
using M2 = std::array<Cx, 4>;  // row-major

constexpr double TAU = 2.0 * PI;
constexpr double EULER = 2.718281828459045;

// ---- values ----

enum class VType : std::uint8_t { Bool, Int, UInt, Float, Angle, Bit, Duration, Qubits };

// One bit of a run-time integer: known while reading, or the program bit that holds it.
struct Lane {
  bool known = true;
  std::uint8_t value = 0;  // when known
  std::uint64_t bit = 0;   // when not
};

// A value known while reading, or bits that a run decides.
struct Value {
  VType type = VType::Float;
  unsigned width = 64;     // Int, UInt, Angle, Bit
  std::uint64_t bits = 0;  // Bool (0/1), Int (two's complement), UInt, Angle, Bit (bit k = [k])
  double real = 0.0;       // Float
  std::vector<std::uint64_t> qubits;  // Qubits
  // Run-time bits: the register (or one element) they are, or a condition over them.
  bool runtime = false;
  std::optional<RegRef> reg;                // runtime bits of a register or one element
  std::vector<CondNode> condition;          // a runtime boolean, root last
  std::vector<std::uint64_t> program_bits;  // the flat bits of `reg`
  SourcePos where{};                        // of runtime bits: where they are read
  // A run-time integer, angle or bit array: its bits from the least significant on.
  std::vector<Lane> lanes;
  // A run-time real: `real` plus the weight of each program bit that holds (a gate parameter).
  bool affine = false;
  std::vector<std::pair<std::uint64_t, double>> terms;
};

std::uint64_t mask(unsigned width) {
  return width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
}

std::int64_t as_signed(std::uint64_t bits, unsigned width) {
  if (width >= 64) {
    return static_cast<std::int64_t>(bits);
  }
  const std::uint64_t m = mask(width);
  bits &= m;
  if ((bits >> (width - 1)) & 1) {
    bits |= ~m;
  }
  return static_cast<std::int64_t>(bits);
}

Value make_int(std::int64_t v, unsigned width = 64) {
  Value value;
  value.type = VType::Int;
  value.width = width;
  value.bits = static_cast<std::uint64_t>(v) & mask(width);
  return value;
}
Value make_uint(std::uint64_t v, unsigned width = 64) {
  Value value;
  value.type = VType::UInt;
  value.width = width;
  value.bits = v & mask(width);
  return value;
}
Value make_float(double v) {
  Value value;
  value.type = VType::Float;
  value.real = v;
  return value;
}
Value make_bool(bool v) {
  Value value;
  value.type = VType::Bool;
  value.width = 1;
  value.bits = v ? 1 : 0;
  return value;
}
Value make_bits(std::uint64_t v, unsigned width) {
  Value value;
  value.type = VType::Bit;
  value.width = width;
  value.bits = v & mask(width);
  return value;
}

bool is_integer(const Value& v) {
  return v.type == VType::Int || v.type == VType::UInt || v.type == VType::Bool ||
         v.type == VType::Bit;
}

// An integer, or a real with an integral value (OpenQASM 2 reads every number as a real).
bool integral(const Value& v) {
  return is_integer(v) || (v.type == VType::Float && std::isfinite(v.real) &&
                           v.real == std::trunc(v.real) && std::fabs(v.real) < 9.2e18);
}

// The value as a double: angles in radians, bit arrays as unsigned integers.
double to_real(const Value& v) {
  switch (v.type) {
    case VType::Float:
    case VType::Duration:
      return v.real;
    case VType::Int:
      return static_cast<double>(as_signed(v.bits, v.width));
    case VType::Angle:
      return static_cast<double>(v.bits) / std::ldexp(1.0, static_cast<int>(v.width)) * TAU;
    default:
      return static_cast<double>(v.bits);
  }
}

// A real truncated toward zero, saturated at the ends of int64 (NaN gives 0).
std::int64_t truncated(double x) {
  if (std::isnan(x)) {
    return 0;
  }
  if (x >= 9223372036854775807.0) {
    return std::numeric_limits<std::int64_t>::max();
  }
  if (x <= -9223372036854775808.0) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return static_cast<std::int64_t>(std::trunc(x));
}

std::int64_t to_int(const Value& v) {
  switch (v.type) {
    case VType::Float:
    case VType::Duration:
      return truncated(v.real);
    case VType::Int:
      return as_signed(v.bits, v.width);
    default:
      return static_cast<std::int64_t>(v.bits);
  }
}

bool to_bool(const Value& v) {
  if (v.type == VType::Float || v.type == VType::Duration) {
    return v.real != 0.0;
  }
  return v.bits != 0;
}

// ---- gate operations ----

// One operation of an expanded gate: a gate of the closed set, a global phase, or a 2x2 matrix on
// a target under controls that want 1 or 0 (the controlled kernel's operation).
struct Op {
  bool phase = false;
  double angle = 0.0;
  sim::GateOp gate{};
  std::optional<sim::ControlledGate> controlled;

  // The qubits the operation acts on.
  std::vector<std::uint64_t> qubits() const {
    if (controlled) {
      return controlled->qubits();
    }
    if (phase) {
      return {};
    }
    return {gate.qubits.begin(), gate.qubits.begin() + gate.arity()};
  }
};
using OpList = std::vector<Op>;

Op gate_op(core::GateKind kind, std::initializer_list<std::uint64_t> qubits, double theta = 0.0,
           double phi = 0.0, double lambda = 0.0) {
  Op op;
  op.gate.gate = core::Gate{kind, theta, phi, lambda};
  std::size_t k = 0;
  for (const std::uint64_t q : qubits) {
    op.gate.qubits[k++] = q;
  }
  return op;
}

Op phase_op(double angle) {
  Op op;
  op.phase = true;
  op.angle = angle;
  return op;
}

// The inverse of one operation of the closed set, exactly.
Op inverse(const Op& op) {
  if (op.phase) {
    return phase_op(-op.angle);
  }
  if (op.controlled) {
    // The gate's own inverse, and the opposite phase.
    Op out = op;
    Op gate;
    gate.gate.gate = op.controlled->gate;
    out.controlled->gate = inverse(gate).gate.gate;
    // A phase of zero stays +0.0, which the writer leaves out and a reading gives back.
    out.controlled->phase = op.controlled->phase == 0.0 ? 0.0 : -op.controlled->phase;
    return out;
  }
  Op out = op;
  core::Gate& g = out.gate.gate;
  switch (g.kind) {
    case core::GateKind::S:
      g.kind = core::GateKind::Sdg;
      break;
    case core::GateKind::Sdg:
      g.kind = core::GateKind::S;
      break;
    case core::GateKind::T:
      g.kind = core::GateKind::Tdg;
      break;
    case core::GateKind::Tdg:
      g.kind = core::GateKind::T;
      break;
    case core::GateKind::Rx:
    case core::GateKind::Ry:
    case core::GateKind::Rz:
      g.theta = -g.theta;
      break;
    case core::GateKind::U3: {
      const double phi = g.phi;
      g.theta = -g.theta;
      g.phi = -g.lambda;
      g.lambda = -phi;
      break;
    }
    default:
      break;  // H, X, Y, Z, Id, CX, CZ, SWAP, CCX, CSWAP are their own inverses
  }
  return out;
}

// m = e^{i phase} U3(theta, phi, lambda), from its Z-Y-Z angles.
struct U3Form {
  double theta;
  double phi;
  double lambda;
  double phase;
};

U3Form u3_form(const M2& m) {
  const core::Matrix2<double> c = {core::Complex<double>{m[0].real(), m[0].imag()},
                                   core::Complex<double>{m[1].real(), m[1].imag()},
                                   core::Complex<double>{m[2].real(), m[2].imag()},
                                   core::Complex<double>{m[3].real(), m[3].imag()}};
  const sim::ZyzAngles a = sim::decompose_zyz(c);
  // e^{i alpha} Rz(beta) Ry(gamma) Rz(delta) = e^{i(alpha - (beta + delta)/2)} U3(gamma, beta,
  // delta).
  return {a.gamma, a.beta, a.delta, a.alpha - (a.beta + a.delta) * 0.5};
}

// A single-qubit gate of the set times e^{i phase}: what the controlled kernel's operation
// carries (a phase only with U3).
struct Spelled {
  core::Gate gate;
  double phase = 0.0;
};

M2 spelled_matrix(const Spelled& s) {
  sim::ControlledGate g;
  g.gate = s.gate;
  g.phase = s.phase;
  const core::Matrix2<double> m = g.matrix();
  return {Cx{m[0].re, m[0].im}, Cx{m[1].re, m[1].im}, Cx{m[2].re, m[2].im}, Cx{m[3].re, m[3].im}};
}

// Appends the gate on `target` where every control holds its value (1 or 0). One or two controls
// that want 1 over X are CX and CCX, the kinds the gate set has; everything else is one operation
// of the controlled kernel.
void append_controlled(OpList& out, const std::vector<std::uint64_t>& controls,
                       const std::vector<std::uint8_t>& values, std::uint64_t target,
                       const Spelled& s) {
  const bool all_one = std::all_of(values.begin(), values.end(), [](auto v) { return v == 1; });
  const bool x = s.gate.kind == core::GateKind::X && s.phase == 0.0;
  if (all_one && x && controls.size() == 1) {
    out.push_back(gate_op(core::GateKind::CX, {controls[0], target}));
    return;
  }
  if (all_one && x && controls.size() == 2) {
    out.push_back(gate_op(core::GateKind::CCX, {controls[0], controls[1], target}));
    return;
  }
  if (controls.empty()) {
    // No control left (a phase under one control): the gate and the phase as they are.
    Op op;
    op.gate.gate = s.gate;
    op.gate.qubits = {target, 0, 0};
    out.push_back(op);
    if (s.phase != 0.0) {
      out.push_back(phase_op(s.phase));
    }
    return;
  }
  // A phase of zero is kept as +0.0, which the writer leaves out and a reading gives back.
  Op op;
  op.controlled =
      sim::ControlledGate{s.gate, s.phase == 0.0 ? 0.0 : s.phase, target, controls, values};
  out.push_back(std::move(op));
}

// The gate of `ops` when they all act on one qubit (gates of one target, and global phases), as
// the target and its spelling: a lone gate as it is (with its phase), a lone U3 with one global
// phase as that pair, and anything else as e^{i phase} U3 from the Z-Y-Z angles of the product of
// the matrices in order. nullopt when the operations act on more than one qubit or on none.
std::optional<std::pair<std::uint64_t, Spelled>> single_target(const OpList& ops) {
  std::optional<std::uint64_t> target;
  std::vector<Spelled> gates;
  std::vector<double> phases;
  for (const Op& op : ops) {
    if (op.phase) {
      phases.push_back(op.angle);
      continue;
    }
    std::uint64_t q;
    if (op.controlled) {
      if (!op.controlled->controls.empty()) {
        return std::nullopt;
      }
      gates.push_back({op.controlled->gate, op.controlled->phase});
      q = op.controlled->target;
    } else {
      if (op.gate.arity() != 1) {
        return std::nullopt;
      }
      gates.push_back({op.gate.gate, 0.0});
      q = op.gate.qubits[0];
    }
    if (target && *target != q) {
      return std::nullopt;
    }
    target = q;
  }
  if (!target) {
    return std::nullopt;
  }
  if (gates.size() == 1 && phases.empty()) {
    return std::pair<std::uint64_t, Spelled>{*target, gates[0]};
  }
  if (gates.size() == 1 && phases.size() == 1 && gates[0].gate.kind == core::GateKind::U3 &&
      gates[0].phase == 0.0) {
    return std::pair<std::uint64_t, Spelled>{*target, Spelled{gates[0].gate, phases[0]}};
  }
  M2 product = spelled_matrix(gates[0]);
  for (std::size_t k = 1; k < gates.size(); ++k) {
    const M2 m = spelled_matrix(gates[k]);
    const M2 a = product;
    product = {m[0] * a[0] + m[1] * a[2], m[0] * a[1] + m[1] * a[3], m[2] * a[0] + m[3] * a[2],
               m[2] * a[1] + m[3] * a[3]};
  }
  for (const double angle : phases) {
    const Cx f = std::polar(1.0, angle);
    for (Cx& e : product) {
      e = f * e;
    }
  }
  const U3Form f = u3_form(product);
  const double phase = f.phase == 0.0 ? 0.0 : f.phase;
  return std::pair<std::uint64_t, Spelled>{
      *target, Spelled{core::Gate{core::GateKind::U3, f.theta, f.phi, f.lambda}, phase}};
}

// Every operation of `ops` under the controls, each wanting its value (1: ctrl, 0: negctrl). A
// list that acts on one qubit becomes one operation of its matrix; otherwise each operation is
// controlled on its own: a gate's own controls join the new ones, and a global phase becomes a
// diagonal on the last control (its phase where that control holds its value) under the others.
OpList control_all(const OpList& ops, const std::vector<std::uint64_t>& controls,
                   const std::vector<std::uint8_t>& values) {
  OpList out;
  if (controls.empty()) {
    return ops;
  }
  if (const auto single = single_target(ops)) {
    append_controlled(out, controls, values, single->first, single->second);
    return out;
  }
  const auto with = [&](std::initializer_list<std::uint64_t> extra) {
    std::vector<std::uint64_t> c = controls;
    c.insert(c.end(), extra);
    return c;
  };
  const auto ones = [&](std::size_t extra) {
    std::vector<std::uint8_t> v = values;
    v.insert(v.end(), extra, std::uint8_t{1});
    return v;
  };
  const Spelled x{core::Gate{core::GateKind::X}};
  const Spelled z{core::Gate{core::GateKind::Z}};
  for (const Op& op : ops) {
    if (op.phase) {
      // diag(1, e^{i angle}) = U3(0, 0, angle) where the control wants 1; diag(e^{i angle}, 1) =
      // e^{i angle} U3(0, 0, -angle) where it wants 0.
      const Spelled d =
          values.back() == 1
              ? Spelled{core::Gate{core::GateKind::U3, 0.0, 0.0, op.angle}, 0.0}
              : Spelled{core::Gate{core::GateKind::U3, 0.0, 0.0, -op.angle}, op.angle};
      append_controlled(out, std::vector<std::uint64_t>(controls.begin(), controls.end() - 1),
                        std::vector<std::uint8_t>(values.begin(), values.end() - 1),
                        controls.back(), d);
      continue;
    }
    if (op.controlled) {
      std::vector<std::uint64_t> c = controls;
      std::vector<std::uint8_t> v = values;
      c.insert(c.end(), op.controlled->controls.begin(), op.controlled->controls.end());
      v.insert(v.end(), op.controlled->values.begin(), op.controlled->values.end());
      append_controlled(out, c, v, op.controlled->target,
                        Spelled{op.controlled->gate, op.controlled->phase});
      continue;
    }
    const auto& q = op.gate.qubits;
    switch (op.gate.gate.kind) {
      case core::GateKind::CX:
        append_controlled(out, with({q[0]}), ones(1), q[1], x);
        break;
      case core::GateKind::CZ:
        append_controlled(out, with({q[0]}), ones(1), q[1], z);
        break;
      case core::GateKind::SWAP:
        append_controlled(out, with({q[0]}), ones(1), q[1], x);
        append_controlled(out, with({q[1]}), ones(1), q[0], x);
        append_controlled(out, with({q[0]}), ones(1), q[1], x);
        break;
      case core::GateKind::CCX:
        append_controlled(out, with({q[0], q[1]}), ones(2), q[2], x);
        break;
      case core::GateKind::CSWAP:
        append_controlled(out, with({q[2]}), ones(1), q[1], x);
        append_controlled(out, with({q[0], q[1]}), ones(2), q[2], x);
        append_controlled(out, with({q[2]}), ones(1), q[1], x);
        break;
      default:
        append_controlled(out, controls, values, q[0], Spelled{op.gate.gate, 0.0});
        break;
    }
  }
  return out;
}

// The gates whose fractional powers are exact: their parameter (the first) scales.
bool rotation_family(std::string_view name) {
  static constexpr std::string_view NAMES[] = {
      "rx",  "ry",  "rz",  "p",   "phase", "u1",  "cp",  "cphase", "cu1",
      "crx", "cry", "crz", "rxx", "ryy",   "rzz", "rzx", "gphase",
  };
  return std::find(std::begin(NAMES), std::end(NAMES), name) != std::end(NAMES);
}

// ---- the evaluation ----

struct Variable {
  Value value;
  bool is_const = false;
  bool is_qubit = false;
  // Bit variables kept in the program's bits (a register of 0 bits is one too).
  bool is_bits = false;
  bool is_alias = false;  // qubits named by `let`
  std::vector<std::uint64_t> program_bits;
  std::string reg;  // the bit register that holds them
  // An integer, angle or bool whose value a run decides, kept in `program_bits`.
  bool held_in_bits = false;
  bool output = false;  // declared `output`
  // The run-time depth of its declaration: assigned deeper, its value is the run's.
  std::size_t depth = 0;
};

using Scope = std::unordered_map<std::string, Variable>;

enum class Flow : std::uint8_t { Normal, Break, Continue, Return, End };

struct QubitRegister {
  std::string name;
  std::uint64_t offset;
  std::uint64_t size;
};

struct BitRegister {
  std::string name;
  std::uint64_t offset;
  std::uint64_t size;
  bool hidden;
  bool output;
};

constexpr std::size_t RUNTIME_LOOP = static_cast<std::size_t>(-1);

struct EvaluatedModifier {
  ModifierKind kind;
  std::uint64_t count = 1;  // ctrl, negctrl
  double power = 1.0;       // pow
};

class Elaborator {
 public:
  Elaborator(const Program& program, const InputValues& inputs, const ReadLimits& limits,
             std::span<const std::string> files)
      : in_(program), inputs_(inputs), limits_(limits), files_(files) {
    scopes_.emplace_back();
    frames_.push_back(0);
  }

  Result<Program> run() {
    out_.version = in_.version;
    // Gates and subroutines are known from the start, wherever they are defined.
    for (const Stmt& stmt : in_.stmts) {
      if (const auto* gate = std::get_if<GateDef3Stmt>(&stmt.node)) {
        gates_[gate->name] = &stmt;
      } else if (const auto* def = std::get_if<DefStmt>(&stmt.node)) {
        defs_[def->name] = &stmt;
      }
    }
    // A flat program evaluates to as many statements as it has: room for them from the start
    // spares a program of 10^7 gates the doubled copies of growing.
    std::vector<Stmt> body;
    body.reserve(in_.stmts.size());
    target_ = &body;
    // Registers of a literal size are known from the start too, as OpenQASM 2 reads them.
    for (const Stmt& stmt : in_.stmts) {
      if (!early_declaration(stmt)) {
        continue;
      }
      pos_ = SourcePos{stmt.line, stmt.col};
      file_ = stmt.file;
      declaring_early_ = true;
      Status status = statement(stmt);
      declaring_early_ = false;
      QASM_TRY(std::move(status));
      declared_early_.insert({&stmt, true});
    }
    for (const Stmt& stmt : in_.stmts) {
      if (declared_early_.count(&stmt)) {
        if (const auto* decl = std::get_if<DeclStmt>(&stmt.node); decl != nullptr && decl->init) {
          QASM_TRY(statement(stmt));
        }
        continue;
      }
      QASM_TRY(statement(stmt));
      if (flow_ == Flow::End) {
        break;
      }
    }
    for (const auto& [name, value] : inputs_) {
      if (!used_inputs_.count(name)) {
        return lower_error(emsg::unknown_input(name));
      }
    }
    return finish(std::move(body));
  }

 private:
  // A register declaration whose size is a literal (or absent), at the top level.
  bool early_declaration(const Stmt& stmt) const {
    if (std::holds_alternative<QregStmt>(stmt.node) ||
        std::holds_alternative<CregStmt>(stmt.node)) {
      return true;
    }
    const auto* decl = std::get_if<DeclStmt>(&stmt.node);
    if (decl == nullptr || decl->is_const || decl->io == IoKind::Input ||
        (decl->type.base != TypeBase::Qubit && decl->type.base != TypeBase::Bit)) {
      return false;
    }
    return !decl->type.width.has_value() ||
           in_.exprs[decl->type.width->root()].kind == ExprKind::IntLit;
  }

  // ---- output ----

  Result<Program> finish(std::vector<Stmt> body) {
    out_.stmts.reserve(1 + qubit_regs_.size() + bit_regs_.size() + body.size());
    if (physical_count_ > 0) {
      out_.stmts.push_back(Stmt{QregStmt{"q", physical_count_}});
    }
    for (const QubitRegister& reg : qubit_regs_) {
      out_.stmts.push_back(Stmt{QregStmt{reg.name, reg.size}});
    }
    const bool outputs = std::any_of(bit_regs_.begin(), bit_regs_.end(),
                                     [](const BitRegister& r) { return r.output; });
    for (const BitRegister& reg : bit_regs_) {
      CregStmt creg{reg.name, reg.size, "", reg.hidden || (outputs && !reg.output)};
      bool any = false;
      for (std::uint64_t k = 0; k < reg.size; ++k) {
        any = any || initial_[reg.offset + k] != 0;
      }
      if (any) {
        creg.initial.assign(reg.size, '0');
        for (std::uint64_t k = 0; k < reg.size; ++k) {
          creg.initial[reg.size - 1 - k] = initial_[reg.offset + k] != 0 ? '1' : '0';
        }
      }
      out_.stmts.push_back(Stmt{std::move(creg)});
    }
    for (Stmt& stmt : body) {
      out_.stmts.push_back(std::move(stmt));
    }
    return std::move(out_);
  }

  Stmt placed(Stmt stmt) const {
    stmt.line = pos_.line;
    stmt.col = pos_.col;
    stmt.file = file_;
    return stmt;
  }

  Status count_output(std::uint64_t more) {
    // The lowering bounds the instructions with its own messages; this bound only keeps the
    // evaluation from growing far past it first.
    emitted_ += more;
    if (emitted_ > 2 * limits_.max_operations + 64) {
      return lower_error(emsg::too_many_operations(pos_, limits_.max_operations), pos_);
    }
    return Ok{};
  }

  // Evaluation counts more steps per gate than the circuit reader's expansion does (a call's
  // scope, its operands and the copy into the enclosing gate), so its budget is four times the
  // expansion budget: what the circuit reader expands, this one evaluates too.
  Status spend(std::uint64_t steps) {
    steps_ += steps;
    const std::uint64_t budget =
        limits_.max_expansion_steps > UINT64_MAX / 4 ? UINT64_MAX : 4 * limits_.max_expansion_steps;
    if (steps_ > budget) {
      return lower_error(emsg::too_much_work(pos_, budget), pos_);
    }
    return Ok{};
  }

  RegRef qubit_ref(std::uint64_t flat) const {
    if (physical_count_ > 0) {
      return RegRef{"q", flat};
    }
    for (const QubitRegister& reg : qubit_regs_) {
      if (flat >= reg.offset && flat < reg.offset + reg.size) {
        return RegRef{reg.name, flat - reg.offset};
      }
    }
    return RegRef{"q", flat};
  }

  // Registers are allocated at increasing offsets: the last one that starts at or below `flat`
  // holds it (registers of no bits hold none).
  const BitRegister& bit_register(std::uint64_t flat) const {
    auto it = std::upper_bound(
        bit_regs_.begin(), bit_regs_.end(), flat,
        [](std::uint64_t bit, const BitRegister& reg) { return bit < reg.offset; });
    while (it != bit_regs_.begin()) {
      --it;
      if (flat >= it->offset && flat < it->offset + it->size) {
        return *it;
      }
      if (it->size != 0) {
        break;
      }
    }
    return bit_regs_.front();
  }

  RegRef bit_ref(std::uint64_t flat) const {
    const BitRegister& reg = bit_register(flat);
    return RegRef{reg.name, flat - reg.offset};
  }

  ExprRef literal(double value) {
    ExprNode node{ExprKind::RealLit};
    node.real_value = value;
    out_.exprs.push_back(std::move(node));
    return ExprRef{out_.exprs.size() - 1, out_.exprs.size()};
  }

  // Emits the operations of one gate instance (or adds them to the gate being expanded).
  Status emit_ops(const OpList& ops) {
    if (sink_ != nullptr) {
      QASM_TRY(spend(ops.size()));
      sink_->insert(sink_->end(), ops.begin(), ops.end());
      return Ok{};
    }
    QASM_TRY(count_output(ops.size()));
    for (const Op& op : ops) {
      GateCall call;
      call.line = pos_.line;
      call.col = pos_.col;
      call.file = file_;
      if (op.phase) {
        call.name = "gphase";
        call.params.push_back(literal(op.angle));
      } else if (op.controlled) {
        call.name = "ctrl @ U";
        call.controlled = op.controlled;
      } else {
        const core::Gate& g = op.gate.gate;
        call.name = std::string(core::gate_name(g.kind));
        switch (g.kind) {
          case core::GateKind::Rx:
          case core::GateKind::Ry:
          case core::GateKind::Rz:
            call.params.push_back(literal(g.theta));
            break;
          case core::GateKind::U3:
            call.params.push_back(literal(g.theta));
            call.params.push_back(literal(g.phi));
            call.params.push_back(literal(g.lambda));
            break;
          default:
            break;
        }
        for (unsigned k = 0; k < op.gate.arity(); ++k) {
          call.qargs.push_back(qubit_ref(op.gate.qubits[k]));
        }
      }
      target_->push_back(placed(Stmt{GateCallStmt{std::move(call)}}));
    }
    return Ok{};
  }

  // ---- bits ----

  // New program bits for a bit variable; shown in outcome keys only at the top level.
  std::vector<std::uint64_t> allocate_bits(const std::string& name, std::uint64_t count,
                                           bool output) {
    return allocate_register(name, count, frames_.back() == 0 && scopes_.size() == 1, output);
  }

  std::vector<std::uint64_t> allocate_register(const std::string& name, std::uint64_t count,
                                               bool top, bool output) {
    std::string reg_name = name;
    if (!top || bit_names_.count(name)) {
      // A name of its own, even where the program declared `_b_1` itself.
      std::size_t k = bit_regs_.size();
      do {
        reg_name = "_" + name + "_" + std::to_string(k++);
      } while (bit_names_.count(reg_name));
    }
    bit_names_.insert({reg_name, true});
    const std::uint64_t offset = initial_.size();
    register_offsets_[reg_name] = offset;
    bit_regs_.push_back(BitRegister{reg_name, offset, count, !top, output});
    std::vector<std::uint64_t> bits(count);
    for (std::uint64_t k = 0; k < count; ++k) {
      bits[k] = offset + k;
      initial_.push_back(0);
      known_.push_back(0);
      touched_.push_back(false);
    }
    return bits;
  }

  // The value of program bits: known while reading, else the run's. A condition (of an `if` or
  // a `while`) always reads them as the run's, so that it stays a test of the program.
  Value bits_value(const Variable& var) const {
    Value v = var.value;
    v.runtime = condition_mode_;
    std::uint64_t bits = 0;
    for (std::size_t k = 0; k < var.program_bits.size() && !v.runtime; ++k) {
      const std::optional<std::uint8_t> bit = known_[var.program_bits[k]];
      if (!bit.has_value()) {
        v.runtime = true;
        break;
      }
      if (k < 64) {
        bits |= static_cast<std::uint64_t>(*bit) << k;
      }
    }
    if (v.runtime) {
      v.reg = RegRef{var.reg, std::nullopt};
      v.program_bits = var.program_bits;
      v.where = node_pos_;
      return v;
    }
    v.bits = bits;
    return v;
  }

  // Bit `bit` takes a value (a known one, or a runtime condition).
  Status write_bit(std::uint64_t bit, const Value& value) {
    writes_.push_back(bit);
    if (!value.runtime) {
      const std::uint8_t b = to_bool(value) ? 1 : 0;
      if (!touched_[bit] && runtime_depth_ == 0 && sink_ == nullptr) {
        initial_[bit] = b;
        known_[bit] = b;
        return Ok{};
      }
      known_[bit] = runtime_depth_ == 0 ? std::optional<std::uint8_t>(b) : std::nullopt;
      touched_[bit] = true;
      CondNode node;
      node.kind = CondKind::Const;
      node.value = b;
      node.line = pos_.line;
      node.col = pos_.col;
      return emit_set_bit(bit, {node});
    }
    known_[bit] = std::nullopt;
    touched_[bit] = true;
    QASM_TRY_ASSIGN(std::vector<CondNode> condition, as_condition(value));
    return emit_set_bit(bit, std::move(condition));
  }

  Status emit_set_bit(std::uint64_t bit, std::vector<CondNode> condition) {
    QASM_TRY(count_output(1));
    SetBitStmt stmt;
    stmt.bit = bit;
    stmt.condition = add_condition(std::move(condition));
    target_->push_back(placed(Stmt{stmt}));
    return Ok{};
  }

  CondRef add_condition(std::vector<CondNode> nodes) {
    const std::size_t base = out_.conditions.size();
    for (CondNode& node : nodes) {
      shift_operands(node, base);
      out_.conditions.push_back(std::move(node));
    }
    return CondRef{base, out_.conditions.size()};
  }

  // The condition of an `if` or a `while`: a register alone stands only with one bit.
  Result<std::vector<CondNode>> condition_of(const Value& v) {
    condition_mode_ = true;
    Result<std::vector<CondNode>> nodes = as_condition(v);
    condition_mode_ = false;
    return nodes;
  }

  // A runtime value as a condition tree (root last).
  Result<std::vector<CondNode>> as_condition(const Value& v) const {
    if (!v.condition.empty()) {
      return v.condition;
    }
    if (v.affine) {
      return lower_error(emsg::runtime_value_unsupported(pos_), pos_);
    }
    if (!v.lanes.empty()) {
      // An integer as a condition: not zero.
      std::vector<CondNode> nodes = {const_node(false)};
      for (const Lane& lane : v.lanes) {
        nodes = cond_or(std::move(nodes), cond_lane(lane));
      }
      return nodes;
    }
    CondNode node;
    node.line = v.where.line != 0 ? v.where.line : pos_.line;
    node.col = v.where.line != 0 ? v.where.col : pos_.col;
    if (!v.runtime) {
      node.kind = CondKind::Const;
      node.value = to_bool(v) ? 1 : 0;
      return std::vector<CondNode>{node};
    }
    if (!v.reg.has_value()) {
      return lower_error(emsg::runtime_value_unsupported(pos_), pos_);
    }
    node.operand = *v.reg;
    if (v.program_bits.size() == 1) {
      node.kind = CondKind::Bit;
      if (!node.operand.index.has_value()) {
        node.operand = bit_ref(v.program_bits[0]);
      }
    } else if (condition_mode_) {
      const SourcePos where{node.line, node.col};
      return lower_error(
          messages::condition_register_width(where, node.operand.name, v.program_bits.size()),
          where);
    } else {
      node.kind = CondKind::Compare;
      node.op = sim::CompareOp::Ne;
      node.value = 0;
    }
    for (const std::uint64_t bit : v.program_bits) {
      touched_[bit] = true;
    }
    return std::vector<CondNode>{node};
  }

  // ---- run-time integers ----
  //
  // A value that a run decides is a vector of lanes, its bits from the least significant on,
  // each known while reading or held in a program bit. Operators work lane by lane: shifts and
  // rotations move lanes, the bitwise operators and the carries of + and - become conditions
  // that set new hidden bits. Comparisons are conditions over the lanes. A real computed from
  // lanes (a gate parameter) is a known part plus a weight per program bit.

  static Lane known_lane(bool b) { return Lane{true, static_cast<std::uint8_t>(b ? 1 : 0), 0}; }
  static Lane bit_lane(std::uint64_t bit) { return Lane{false, 0, bit}; }

  static bool holdable(VType type) {
    return type == VType::Int || type == VType::UInt || type == VType::Angle || type == VType::Bool;
  }

  static unsigned width_of(const Value& v) { return v.type == VType::Bool ? 1 : v.width; }

  // A lane as a condition node.
  CondNode lane_node(const Lane& lane) const {
    CondNode node;
    node.line = node_pos_.line != 0 ? node_pos_.line : pos_.line;
    node.col = node_pos_.line != 0 ? node_pos_.col : pos_.col;
    if (lane.known) {
      node.kind = CondKind::Const;
      node.value = lane.value;
      return node;
    }
    node.kind = CondKind::Bit;
    node.operand = bit_ref(lane.bit);
    touched_[lane.bit] = true;
    return node;
  }

  static bool constant(const std::vector<CondNode>& nodes, bool& value) {
    if (nodes.size() == 1 && nodes[0].kind == CondKind::Const) {
      value = nodes[0].value != 0;
      return true;
    }
    return false;
  }

  CondNode const_node(bool b) const { return lane_node(known_lane(b)); }

  std::vector<CondNode> cond_not(std::vector<CondNode> nodes) const {
    bool value = false;
    if (constant(nodes, value)) {
      return {const_node(!value)};
    }
    CondNode node;
    node.kind = CondKind::Not;
    node.left = nodes.size() - 1;
    node.line = nodes.back().line;
    node.col = nodes.back().col;
    nodes.push_back(node);
    return nodes;
  }

  // left && right or left || right, folded where a side is known.
  std::vector<CondNode> cond_join(CondKind kind, std::vector<CondNode> left,
                                  std::vector<CondNode> right) const {
    const bool is_and = kind == CondKind::And;
    bool value = false;
    if (constant(left, value)) {
      return value == is_and ? right : std::vector<CondNode>{const_node(!is_and)};
    }
    if (constant(right, value)) {
      return value == is_and ? left : std::vector<CondNode>{const_node(!is_and)};
    }
    const SourcePos pos{left.back().line, left.back().col};
    return joined(kind, std::move(left), std::move(right), pos);
  }

  // left && right or left || right as it stands: the two trees side by side, the right one's
  // operands moved past the left one, under a new root at `pos`.
  static std::vector<CondNode> joined(CondKind kind, std::vector<CondNode> left,
                                      std::vector<CondNode> right, SourcePos pos) {
    CondNode node;
    node.kind = kind;
    node.left = left.size() - 1;
    node.right = left.size() + right.size() - 1;
    node.line = pos.line;
    node.col = pos.col;
    const std::size_t shift = left.size();
    for (CondNode& moved : right) {
      shift_operands(moved, shift);
      left.push_back(std::move(moved));
    }
    left.push_back(node);
    return left;
  }

  // A node's operands (for !, && and ||) moved by `by` pool entries.
  static void shift_operands(CondNode& node, std::size_t by) {
    if (node.kind == CondKind::Not || node.kind == CondKind::And || node.kind == CondKind::Or) {
      node.left += by;
      node.right += by;
    }
  }

  std::vector<CondNode> cond_and(std::vector<CondNode> l, std::vector<CondNode> r) const {
    return cond_join(CondKind::And, std::move(l), std::move(r));
  }
  std::vector<CondNode> cond_or(std::vector<CondNode> l, std::vector<CondNode> r) const {
    return cond_join(CondKind::Or, std::move(l), std::move(r));
  }
  std::vector<CondNode> cond_lane(const Lane& lane) const { return {lane_node(lane)}; }
  // a == b on one bit.
  std::vector<CondNode> cond_same(const Lane& a, const Lane& b) const {
    if (a.known) {
      return a.value != 0 ? cond_lane(b) : cond_not(cond_lane(b));
    }
    if (b.known) {
      return b.value != 0 ? cond_lane(a) : cond_not(cond_lane(a));
    }
    if (a.bit == b.bit) {
      return {const_node(true)};
    }
    return cond_or(cond_and(cond_lane(a), cond_lane(b)),
                   cond_and(cond_not(cond_lane(a)), cond_not(cond_lane(b))));
  }

  // A hidden bit set to a condition where it stands; a known condition needs none.
  Result<Lane> lane_of(std::vector<CondNode> nodes) {
    bool value = false;
    if (constant(nodes, value)) {
      return known_lane(value);
    }
    if (nodes.size() == 1 && nodes[0].kind == CondKind::Bit && nodes[0].operand.index) {
      const auto found = register_offsets_.find(nodes[0].operand.name);
      if (found != register_offsets_.end()) {
        return bit_lane(found->second + *nodes[0].operand.index);
      }
    }
    const std::uint64_t bit = allocate_register("rt", 1, false, false)[0];
    Value v = make_bool(false);
    v.runtime = true;
    v.condition = std::move(nodes);
    QASM_TRY(write_bit(bit, v));
    return bit_lane(bit);
  }

  Result<Lane> lane_not(const Lane& a) {
    if (a.known) {
      return known_lane(a.value == 0);
    }
    return lane_of(cond_not(cond_lane(a)));
  }
  Result<Lane> lane_and(const Lane& a, const Lane& b) {
    if (!a.known && !b.known && a.bit == b.bit) {
      return a;
    }
    return lane_of(cond_and(cond_lane(a), cond_lane(b)));
  }
  Result<Lane> lane_or(const Lane& a, const Lane& b) {
    if (!a.known && !b.known && a.bit == b.bit) {
      return a;
    }
    return lane_of(cond_or(cond_lane(a), cond_lane(b)));
  }
  Result<Lane> lane_xor(const Lane& a, const Lane& b) { return lane_of(cond_not(cond_same(a, b))); }

  // The lanes of a value: a known one's bits, a run-time one's lanes, the bits of a register
  // (those known while reading as such), or a condition held in a new hidden bit.
  Result<std::vector<Lane>> lanes_of(const Value& v) {
    if (!v.runtime) {
      if (v.type == VType::Float || v.type == VType::Duration || v.type == VType::Qubits) {
        return lower_error(emsg::runtime_value_unsupported(pos_), pos_);
      }
      std::vector<Lane> lanes;
      for (unsigned k = 0; k < width_of(v); ++k) {
        lanes.push_back(known_lane(k < 64 && ((v.bits >> k) & 1) != 0));
      }
      return lanes;
    }
    if (v.affine) {
      return lower_error(emsg::runtime_value_unsupported(pos_), pos_);
    }
    if (!v.lanes.empty()) {
      return v.lanes;
    }
    if (v.condition.empty() && !v.program_bits.empty()) {
      std::vector<Lane> lanes;
      for (const std::uint64_t bit : v.program_bits) {
        lanes.push_back(known_[bit].has_value() ? known_lane(*known_[bit] != 0) : bit_lane(bit));
      }
      return lanes;
    }
    QASM_TRY_ASSIGN(std::vector<CondNode> nodes, as_condition(v));
    QASM_TRY_ASSIGN(const Lane lane, lane_of(std::move(nodes)));
    return std::vector<Lane>{lane};
  }

  // A value of `type` from lanes: known when every lane is.
  Value lanes_value(VType type, std::vector<Lane> lanes) const {
    std::uint64_t bits = 0;
    bool known = true;
    for (std::size_t k = 0; k < lanes.size(); ++k) {
      if (!lanes[k].known) {
        known = false;
      } else if (k < 64) {
        bits |= static_cast<std::uint64_t>(lanes[k].value) << k;
      }
    }
    if (type == VType::Bool) {
      if (known) {
        return make_bool(bits != 0);
      }
    }
    Value v;
    v.type = type;
    v.width = type == VType::Bool ? 1 : static_cast<unsigned>(lanes.size());
    if (known) {
      v.bits = bits;
      return v;
    }
    v.runtime = true;
    v.lanes = std::move(lanes);
    v.where = node_pos_;
    return v;
  }

  // Lanes widened (by the sign lane or by zeros) or cut to `width`.
  static std::vector<Lane> resized(std::vector<Lane> lanes, unsigned width, bool sign) {
    const Lane fill = sign && !lanes.empty() ? lanes.back() : known_lane(false);
    lanes.resize(width, fill);
    return lanes;
  }

  // a + b + carry, as wide as a (b as wide or wider).
  Result<std::vector<Lane>> lanes_add(const std::vector<Lane>& a, const std::vector<Lane>& b,
                                      Lane carry) {
    std::vector<Lane> out(a.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
      QASM_TRY(spend(1));
      QASM_TRY_ASSIGN(const Lane half, lane_xor(a[k], b[k]));
      QASM_TRY_ASSIGN(out[k], lane_xor(half, carry));
      if (k + 1 < a.size()) {
        QASM_TRY_ASSIGN(const Lane both, lane_and(a[k], b[k]));
        QASM_TRY_ASSIGN(const Lane passed, lane_and(half, carry));
        QASM_TRY_ASSIGN(carry, lane_or(both, passed));
      }
    }
    return out;
  }

  Result<std::vector<Lane>> lanes_negated(const std::vector<Lane>& a) {
    std::vector<Lane> inverted(a.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
      QASM_TRY_ASSIGN(inverted[k], lane_not(a[k]));
    }
    return lanes_add(inverted, std::vector<Lane>(a.size(), known_lane(false)), known_lane(true));
  }

  // a * k for a known k, wrapping at a's width: shifted copies of a added.
  Result<std::vector<Lane>> lanes_times(const std::vector<Lane>& a, std::uint64_t k) {
    std::vector<Lane> sum(a.size(), known_lane(false));
    for (std::size_t j = 0; j < a.size() && j < 64; ++j) {
      if (((k >> j) & 1) == 0) {
        continue;
      }
      std::vector<Lane> shifted(a.size(), known_lane(false));
      for (std::size_t i = j; i < a.size(); ++i) {
        shifted[i] = a[i - j];
      }
      QASM_TRY_ASSIGN(sum, lanes_add(sum, shifted, known_lane(false)));
    }
    return sum;
  }

  // The type of integer arithmetic on two values, as for known ones.
  static VType integer_type(const Value& left, const Value& right) {
    if (left.type == VType::Int || right.type == VType::Int) {
      return VType::Int;
    }
    if (left.type == VType::Bit && right.type == VType::Bit) {
      return VType::Bit;
    }
    if (left.type == VType::Angle && right.type == VType::Angle) {
      return VType::Angle;
    }
    return VType::UInt;
  }

  static bool real_valued(const Value& v) {
    return v.affine || v.type == VType::Float || v.type == VType::Duration;
  }

  // An operator with a run-time operand, other than the logical ones and comparisons.
  Result<Value> runtime_arithmetic(Op3 op, const Value& left, const Value& right) {
    const bool left_angle = left.type == VType::Angle;
    const bool right_angle = right.type == VType::Angle;
    if (op == Op3::Shl || op == Op3::Shr) {
      if (right.runtime || !integral(right) || real_valued(left)) {
        return lower_error(emsg::runtime_value_unsupported(pos_), pos_);
      }
      QASM_TRY_ASSIGN(const std::vector<Lane> lanes, lanes_of(left));
      const std::int64_t k = to_int(right);
      const std::size_t w = lanes.size();
      std::vector<Lane> out(w, known_lane(false));
      for (std::size_t j = 0; j < w; ++j) {
        if (op == Op3::Shl) {
          if (k >= 0 && static_cast<std::uint64_t>(k) <= j) {
            out[j] = lanes[j - static_cast<std::size_t>(k)];
          }
        } else if (k >= 0 && static_cast<std::uint64_t>(k) < w - j) {
          out[j] = lanes[j + static_cast<std::size_t>(k)];
        } else if (left.type == VType::Int) {
          out[j] = lanes.back();
        }
      }
      return lanes_value(left.type == VType::Bool ? VType::UInt : left.type, std::move(out));
    }
    // An angle times a known unsigned integer stays an angle, wrapping.
    if (op == Op3::Mul && left_angle != right_angle) {
      const Value& angle = left_angle ? left : right;
      const Value& other = left_angle ? right : left;
      if (!other.runtime && is_integer(other)) {
        QASM_TRY_ASSIGN(const std::vector<Lane> lanes, lanes_of(angle));
        QASM_TRY_ASSIGN(std::vector<Lane> out,
                        lanes_times(lanes, static_cast<std::uint64_t>(to_int(other))));
        return lanes_value(VType::Angle, std::move(out));
      }
    }
    if (real_valued(left) || real_valued(right) || (op == Op3::Div && real_literals_) ||
        left_angle != right_angle || (left_angle && left.width != right.width)) {
      return affine_arithmetic(op, left, right);
    }
    const VType type = integer_type(left, right);
    const unsigned width = std::max(width_of(left), width_of(right));
    QASM_TRY_ASSIGN(std::vector<Lane> a, lanes_of(left));
    QASM_TRY_ASSIGN(std::vector<Lane> b, lanes_of(right));
    a = resized(std::move(a), width, left.type == VType::Int);
    b = resized(std::move(b), width, right.type == VType::Int);
    std::vector<Lane> out(width);
    switch (op) {
      case Op3::BitAnd:
      case Op3::BitOr:
      case Op3::BitXor: {
        for (unsigned k = 0; k < width; ++k) {
          QASM_TRY(spend(1));
          if (op == Op3::BitAnd) {
            QASM_TRY_ASSIGN(out[k], lane_and(a[k], b[k]));
          } else if (op == Op3::BitOr) {
            QASM_TRY_ASSIGN(out[k], lane_or(a[k], b[k]));
          } else {
            QASM_TRY_ASSIGN(out[k], lane_xor(a[k], b[k]));
          }
        }
        break;
      }
      case Op3::Add: {
        QASM_TRY_ASSIGN(out, lanes_add(a, b, known_lane(false)));
        break;
      }
      case Op3::Sub: {
        std::vector<Lane> inverted(width);
        for (unsigned k = 0; k < width; ++k) {
          QASM_TRY_ASSIGN(inverted[k], lane_not(b[k]));
        }
        QASM_TRY_ASSIGN(out, lanes_add(a, inverted, known_lane(true)));
        break;
      }
      case Op3::Mul: {
        if (left.runtime && right.runtime) {
          return lower_error(emsg::runtime_nonlinear(op_text(op), pos_), pos_);
        }
        QASM_TRY_ASSIGN(
            out, lanes_times(left.runtime ? a : b,
                             static_cast<std::uint64_t>(to_int(left.runtime ? right : left))));
        break;
      }
      default:
        return lower_error(emsg::runtime_value_unsupported(pos_), pos_);
    }
    return lanes_value(type, std::move(out));
  }

  // A comparison with a run-time side, over the lanes of both: from the least significant
  // bit up, a < b holds where a's bit is below b's, or the bits agree and it held below.
  Result<Value> lanes_compare(Op3 op, const Value& left, const Value& right) {
    if (left.affine || right.affine) {
      return lower_error(emsg::runtime_nonlinear(op_text(op), pos_), pos_);
    }
    Value l = left;
    Value r = right;
    for (Value* side : {&l, &r}) {
      if (!side->runtime && !is_integer(*side) && side->type != VType::Angle) {
        if (!integral(*side)) {
          return lower_error(emsg::runtime_nonlinear(op_text(op), pos_), pos_);
        }
        *side = make_int(to_int(*side));
      }
    }
    const bool is_signed = l.type == VType::Int || r.type == VType::Int;
    const unsigned width = std::max(width_of(l), width_of(r));
    QASM_TRY_ASSIGN(std::vector<Lane> a, lanes_of(l));
    QASM_TRY_ASSIGN(std::vector<Lane> b, lanes_of(r));
    a = resized(std::move(a), width, l.type == VType::Int);
    b = resized(std::move(b), width, r.type == VType::Int);
    // The sign bit of a signed comparison counts negatively: flipped, the order is unsigned.
    const auto bit = [&](const std::vector<Lane>& lanes, unsigned k) {
      return is_signed && k + 1 == width ? cond_not(cond_lane(lanes[k])) : cond_lane(lanes[k]);
    };
    const auto less = [&](const std::vector<Lane>& x, const std::vector<Lane>& y) {
      std::vector<CondNode> below = {const_node(false)};
      for (unsigned k = 0; k < width; ++k) {
        const std::vector<CondNode> xk = bit(x, k);
        const std::vector<CondNode> yk = bit(y, k);
        std::vector<CondNode> same =
            cond_or(cond_and(xk, yk), cond_and(cond_not(xk), cond_not(yk)));
        below = cond_or(cond_and(cond_not(xk), yk), cond_and(std::move(same), std::move(below)));
      }
      return below;
    };
    std::vector<CondNode> nodes;
    switch (op) {
      case Op3::Eq:
      case Op3::Ne: {
        nodes = {const_node(true)};
        for (unsigned k = 0; k < width; ++k) {
          nodes = cond_and(std::move(nodes), cond_same(a[k], b[k]));
        }
        if (op == Op3::Ne) {
          nodes = cond_not(std::move(nodes));
        }
        break;
      }
      case Op3::Lt:
        nodes = less(a, b);
        break;
      case Op3::Gt:
        nodes = less(b, a);
        break;
      case Op3::Le:
        nodes = cond_not(less(b, a));
        break;
      default:
        nodes = cond_not(less(a, b));
        break;
    }
    bool value = false;
    if (constant(nodes, value)) {
      return make_bool(value);
    }
    Value out = make_bool(false);
    out.runtime = true;
    out.condition = std::move(nodes);
    return out;
  }

  // A run-time value read as a real: its known part, and a weight per program bit (an angle
  // of n bits weighs 2π·2^k/2^n per bit k, an integer 2^k, the sign bit of an int -2^(n-1)).
  Result<Value> affine_of(const Value& v) {
    if (v.affine) {
      return v;
    }
    Value out = make_float(0.0);
    out.runtime = true;
    out.affine = true;
    if (!v.runtime) {
      out.real = to_real(v);
      return out;
    }
    QASM_TRY_ASSIGN(const std::vector<Lane> lanes, lanes_of(v));
    const int n = static_cast<int>(lanes.size());
    for (int k = 0; k < n; ++k) {
      double weight = std::ldexp(1.0, k);
      if (v.type == VType::Angle) {
        weight = std::ldexp(TAU, k - n);
      } else if (v.type == VType::Int && k + 1 == n) {
        weight = -weight;
      }
      if (lanes[static_cast<std::size_t>(k)].known) {
        out.real += lanes[static_cast<std::size_t>(k)].value != 0 ? weight : 0.0;
      } else {
        add_term(out, lanes[static_cast<std::size_t>(k)].bit, weight);
      }
    }
    return out;
  }

  static void add_term(Value& v, std::uint64_t bit, double weight) {
    for (auto& [b, w] : v.terms) {
      if (b == bit) {
        w += weight;
        return;
      }
    }
    v.terms.emplace_back(bit, weight);
  }

  // + and - of run-time reals, and their products and quotients with known numbers.
  Result<Value> affine_arithmetic(Op3 op, const Value& left, const Value& right) {
    if (op == Op3::Add || op == Op3::Sub) {
      QASM_TRY_ASSIGN(Value out, affine_of(left));
      QASM_TRY_ASSIGN(const Value other, affine_of(right));
      const double sign = op == Op3::Add ? 1.0 : -1.0;
      out.real = op == Op3::Add ? out.real + other.real : out.real - other.real;
      for (const auto& [bit, weight] : other.terms) {
        add_term(out, bit, sign * weight);
      }
      return out;
    }
    if ((op == Op3::Mul && (!left.runtime || !right.runtime)) ||
        (op == Op3::Div && !right.runtime)) {
      const bool left_runtime = left.runtime;
      QASM_TRY_ASSIGN(Value out, affine_of(left_runtime ? left : right));
      const double k = to_real(left_runtime ? right : left);
      const auto scaled = [&](double x) { return op == Op3::Mul ? x * k : x / k; };
      out.real = scaled(out.real);
      for (auto& term : out.terms) {
        term.second = scaled(term.second);
      }
      return out;
    }
    return lower_error(emsg::runtime_nonlinear(op_text(op), pos_), pos_);
  }

  // Lanes written into program bits. A lane may read a bit that the same write changes (c <<=
  // 1): the bits are written in the order that reads each before it changes, or through copies.
  Status write_lanes(const std::vector<std::uint64_t>& bits, std::vector<Lane> lanes) {
    std::unordered_map<std::uint64_t, std::size_t> position;
    for (std::size_t k = 0; k < bits.size(); ++k) {
      position[bits[k]] = k;
    }
    bool reads_below = false;
    bool reads_above = false;
    for (std::size_t k = 0; k < lanes.size(); ++k) {
      if (lanes[k].known) {
        continue;
      }
      const auto found = position.find(lanes[k].bit);
      if (found != position.end() && found->second != k) {
        (found->second < k ? reads_below : reads_above) = true;
      }
    }
    if (reads_below && reads_above) {
      std::unordered_map<std::uint64_t, Lane> copies;
      for (std::size_t k = 0; k < lanes.size(); ++k) {
        if (lanes[k].known || !position.count(lanes[k].bit) || position[lanes[k].bit] == k) {
          continue;
        }
        if (!copies.count(lanes[k].bit)) {
          const std::uint64_t copy = allocate_register("rt", 1, false, false)[0];
          QASM_TRY(write_bit(copy, single_bit(lanes[k].bit)));
          copies[lanes[k].bit] = bit_lane(copy);
        }
        lanes[k] = copies[lanes[k].bit];
      }
      reads_below = false;
    }
    for (std::size_t j = 0; j < bits.size(); ++j) {
      const std::size_t k = reads_below ? bits.size() - 1 - j : j;
      const Lane lane = k < lanes.size() ? lanes[k] : known_lane(false);
      if (!lane.known && lane.bit == bits[k]) {
        continue;
      }
      QASM_TRY(write_bit(bits[k], lane.known ? make_bool(lane.value != 0) : single_bit(lane.bit)));
    }
    return Ok{};
  }

  // From here on the variable lives in program bits, shown in outcome keys like a bit register
  // when it is a top-level one; `init` writes its value so far into them.
  Status hold_in_bits(Variable& var, const std::string& name, bool init) {
    const Value before = var.value;
    const bool top = scopes_[0].count(name) != 0 && &scopes_[0].at(name) == &var;
    var.program_bits = allocate_register(name, width_of(var.value), top, var.output);
    var.reg = bit_regs_.back().name;
    var.held_in_bits = true;
    var.value.runtime = false;
    var.value.lanes.clear();
    var.value.condition.clear();
    var.value.program_bits.clear();
    var.value.reg.reset();
    if (!init) {
      return Ok{};
    }
    QASM_TRY_ASSIGN(std::vector<Lane> lanes, lanes_of(before));
    return write_lanes(var.program_bits, resized(std::move(lanes), width_of(var.value), false));
  }

  // The value of a variable held in bits: known while reading where its bits are.
  Value held_value(const Variable& var) const {
    std::vector<Lane> lanes;
    for (const std::uint64_t bit : var.program_bits) {
      lanes.push_back(known_[bit].has_value() ? known_lane(*known_[bit] != 0) : bit_lane(bit));
    }
    Value v = lanes_value(var.value.type, std::move(lanes));
    if (!v.runtime && var.value.type != VType::Bool) {
      v.width = var.value.width;
    }
    return v;
  }

  // Before a body that a run decides: the variables it assigns or measures into live in bits
  // from here on, so that every path through it starts from their value and leaves theirs.
  Status hold_assigned(const std::vector<Stmt>& stmts) {
    for (const Stmt& stmt : stmts) {
      const ExprPool& exprs = in_.exprs;
      std::optional<std::size_t> target;
      if (const auto* assign = std::get_if<AssignStmt>(&stmt.node)) {
        target = assign->target.root();
      } else if (const auto* quantum = std::get_if<QuantumStmt>(&stmt.node);
                 quantum != nullptr && quantum->target.has_value()) {
        target = quantum->target->root();
      } else if (const auto* branch = std::get_if<IfElseStmt>(&stmt.node)) {
        QASM_TRY(hold_assigned(branch->then_body));
        QASM_TRY(hold_assigned(branch->else_body));
      } else if (const auto* loop = std::get_if<WhileStmt>(&stmt.node)) {
        QASM_TRY(hold_assigned(loop->body));
      } else if (const auto* for_loop = std::get_if<ForStmt>(&stmt.node)) {
        QASM_TRY(hold_assigned(for_loop->body));
      } else if (const auto* box = std::get_if<BoxStmt>(&stmt.node)) {
        QASM_TRY(hold_assigned(box->body));
      }
      if (!target.has_value()) {
        continue;
      }
      std::size_t node = *target;
      if (exprs[node].kind == ExprKind::Index) {
        node = exprs[node].left;
      }
      if (exprs[node].kind != ExprKind::ParamRef) {
        continue;
      }
      Variable* var = find(exprs[node].name);
      if (var == nullptr || var->is_bits || var->is_qubit || var->is_const || var->is_alias ||
          var->held_in_bits || !holdable(var->value.type)) {
        continue;
      }
      QASM_TRY(hold_in_bits(*var, exprs[node].name, true));
    }
    return Ok{};
  }

  // ---- statements ----

  Status statement(const Stmt& stmt) {
    const SourcePos saved = pos_;
    const FileIndex saved_file = file_;
    pos_ = SourcePos{stmt.line, stmt.col};
    file_ = stmt.file;
    Status status = std::visit([this](const auto& node) { return run_stmt(node); }, stmt.node);
    pos_ = saved;
    file_ = saved_file;
    if (!status.ok()) {
      QasmError error = std::move(status).take_error();
      if (!error.file.has_value()) {
        error.file = stmt.file < files_.size() ? files_[stmt.file] : std::string();
        if (!has_position(error)) {
          error.statement = SourcePos{stmt.line, stmt.col};
        }
      }
      return error;
    }
    return Ok{};
  }

  Status block(const std::vector<Stmt>& stmts, bool scoped) {
    if (scoped) {
      scopes_.emplace_back();
    }
    Status status = Ok{};
    for (const Stmt& stmt : stmts) {
      status = statement(stmt);
      if (!status.ok() || flow_ != Flow::Normal) {
        break;
      }
    }
    if (scoped) {
      scopes_.pop_back();
    }
    return status;
  }

  Status run_stmt(const IncludeStmt& stmt) {
    if (stmt.path == "qelib1.inc" || stmt.path == "stdgates.inc") {
      return Ok{};
    }
    return lower_error(emsg::include_left(stmt.path), pos_);
  }

  Status run_stmt(const QregStmt& stmt) {
    if (physical_count_ > 0) {
      return lower_error(emsg::physical_and_virtual(pos_), pos_);
    }
    return declare_qubits(stmt.name, stmt.size);
  }

  Status declare_qubits(const std::string& name, std::uint64_t size) {
    if (scopes_[0].count(name)) {
      return lower_error(messages::duplicate_declaration("qreg/qubit", name));
    }
    Variable var;
    var.is_qubit = true;
    var.value.type = VType::Qubits;
    if (size > limits_.max_operations) {
      return lower_error(emsg::too_many_qubits(name, size, pos_), pos_);
    }
    for (std::uint64_t k = 0; k < size; ++k) {
      var.value.qubits.push_back(qubit_count_ + k);
    }
    qubit_regs_.push_back(QubitRegister{name, qubit_count_, size});
    qubit_count_ += size;
    scopes_[0][name] = std::move(var);
    return Ok{};
  }

  Status run_stmt(const CregStmt& stmt) {
    if (current_scope().count(stmt.name)) {
      return lower_error(messages::duplicate_declaration("creg/bit", stmt.name));
    }
    if (stmt.size > limits_.max_operations) {
      return lower_error(emsg::too_many_bits(stmt.name, stmt.size, pos_), pos_);
    }
    Variable var;
    var.value = make_bits(0, static_cast<unsigned>(std::min<std::uint64_t>(stmt.size, 64)));
    var.value.width = static_cast<unsigned>(std::min<std::uint64_t>(stmt.size, 64));
    var.is_bits = true;
    var.program_bits = allocate_bits(stmt.name, stmt.size, false);
    var.reg = bit_regs_.back().name;
    current_scope()[stmt.name] = std::move(var);
    return Ok{};
  }

  Status run_stmt(const GateDefStmt&) { return Ok{}; }
  Status run_stmt(const GateDef3Stmt&) { return Ok{}; }
  Status run_stmt(const DefStmt&) { return Ok{}; }
  Status run_stmt(const NoOpStmt&) { return Ok{}; }
  Status run_stmt(const BarrierStmt&) { return Ok{}; }
  Status run_stmt(const OpaqueStmt& stmt) {
    return unsupported_error(messages::opaque_not_supported(stmt.name, pos_), pos_);
  }
  Status run_stmt(const UnsupportedStmt& stmt) {
    return unsupported_error(emsg::not_read(stmt.keyword, pos_), pos_);
  }
  // The forms only the specified parser makes, and those only this stage makes.
  Status run_stmt(const GateCallStmt&) { return lower_error(emsg::internal_form(pos_), pos_); }
  Status run_stmt(const MeasureStmt&) { return lower_error(emsg::internal_form(pos_), pos_); }
  Status run_stmt(const ResetStmt&) { return lower_error(emsg::internal_form(pos_), pos_); }
  Status run_stmt(const IfStmt&) { return lower_error(emsg::internal_form(pos_), pos_); }
  Status run_stmt(const BranchStmt&) { return lower_error(emsg::internal_form(pos_), pos_); }
  Status run_stmt(const SetBitStmt&) { return lower_error(emsg::internal_form(pos_), pos_); }
  Status run_stmt(const LoopStmt&) { return lower_error(emsg::internal_form(pos_), pos_); }

  Status run_stmt(const BoxStmt& stmt) { return block(stmt.body, true); }

  Status run_stmt(const AliasStmt& stmt) {
    QASM_TRY_ASSIGN(std::vector<std::uint64_t> qubits, qubit_operand(stmt.value));
    // A `let` of a name that already is an alias moves that alias (a loop that walks `io` along
    // a chain of qubits); otherwise it makes one in the current scope.
    if (Variable* existing = find(stmt.name); existing != nullptr && existing->is_alias) {
      existing->value.qubits = std::move(qubits);
      return Ok{};
    }
    Variable var;
    var.is_alias = true;
    var.is_qubit = true;
    var.value.type = VType::Qubits;
    var.value.qubits = std::move(qubits);
    current_scope()[stmt.name] = std::move(var);
    return Ok{};
  }

  Status run_stmt(const DeclStmt& stmt) {
    if (const auto found = early_.find(&stmt); found != early_.end()) {
      return initialise(stmt, stmt.name);
    }
    if (current_scope().count(stmt.name) != 0) {
      return lower_error(messages::duplicate_declaration(
          stmt.type.base == TypeBase::Qubit ? "qreg/qubit" : "creg/bit", stmt.name));
    }
    const TypeSpec& type = stmt.type;
    std::optional<std::uint64_t> width;
    if (type.width.has_value()) {
      QASM_TRY_ASSIGN(const Value w, evaluate(*type.width));
      if (w.runtime || !is_integer(w) || to_int(w) < 0) {
        return lower_error(emsg::bad_width(stmt.name, pos_), pos_);
      }
      width = static_cast<std::uint64_t>(to_int(w));
    }
    switch (type.base) {
      case TypeBase::Qubit:
        if (frames_.back() != 0 || scopes_.size() != 1) {
          return unsupported_error(messages::declaration_in_block("qubit", pos_), pos_);
        }
        if (physical_count_ > 0) {
          return lower_error(emsg::physical_and_virtual(pos_), pos_);
        }
        return declare_qubits(stmt.name, width.value_or(1));
      case TypeBase::Complex:
      case TypeBase::Array:
        return unsupported_error(
            emsg::type_not_read(type.base == TypeBase::Array ? "array" : "complex", pos_), pos_);
      case TypeBase::Duration:
      case TypeBase::Stretch:
        return Ok{};
      default:
        break;
    }
    if (width.has_value() && (*width == 0 || *width > 64) && type.base != TypeBase::Bit) {
      return unsupported_error(emsg::width_not_read(stmt.name, *width, pos_), pos_);
    }
    Variable var;
    var.is_const = stmt.is_const;
    var.value = zero_of(type.base, width);
    var.depth = runtime_depth_;
    var.output = stmt.io == IoKind::Output;
    if (type.base == TypeBase::Bit && !stmt.is_const) {
      const std::uint64_t count = width.value_or(1);
      if (count > limits_.max_operations) {
        return lower_error(emsg::too_many_bits(stmt.name, count, pos_), pos_);
      }
      var.is_bits = true;
      var.program_bits = allocate_bits(stmt.name, count, stmt.io == IoKind::Output);
      var.reg = bit_regs_.back().name;
    }
    if (stmt.io == IoKind::Input) {
      const auto found = inputs_.find(stmt.name);
      if (found == inputs_.end()) {
        return lower_error(emsg::missing_input(stmt.name, pos_), pos_);
      }
      used_inputs_.insert({stmt.name, true});
      QASM_TRY_ASSIGN(var.value, convert(make_float(found->second), var.value, true));
      if (type.base == TypeBase::Int || type.base == TypeBase::UInt || type.base == TypeBase::Bit ||
          type.base == TypeBase::Bool) {
        if (found->second != std::trunc(found->second)) {
          return lower_error(emsg::input_not_integer(stmt.name, found->second, pos_), pos_);
        }
        QASM_TRY_ASSIGN(var.value, convert(make_int(truncated(found->second)), var.value, true));
      }
    }
    const std::string name = stmt.name;
    current_scope()[name] = var;
    if (declaring_early_) {
      early_.insert({&stmt, true});
      return Ok{};
    }
    return initialise(stmt, name);
  }

  // A bit string given to bits of any width, each character one bit (the rightmost bit 0).
  Status assign_bit_string(const Variable& var, const ExprNode& text, const std::string& name) {
    std::string digits;
    for (const char c : text.name) {
      if (c != '_') {
        digits += c;
      }
    }
    if (digits.find_first_not_of("01") != std::string::npos) {
      return lower_error(emsg::bad_bit_string(text.name, pos_), pos_);
    }
    if (digits.size() != var.program_bits.size()) {
      return lower_error(emsg::width_mismatch(name, var.program_bits.size(), digits.size(), pos_),
                         pos_);
    }
    for (std::size_t k = 0; k < digits.size(); ++k) {
      QASM_TRY(write_bit(var.program_bits[k], make_bool(digits[digits.size() - 1 - k] == '1')));
    }
    return Ok{};
  }

  Status initialise(const DeclStmt& stmt, const std::string& name) {
    Variable& declared = *find(name);
    if (stmt.init.has_value()) {
      const ExprNode& root = in_.exprs[stmt.init->root()];
      if (root.kind == ExprKind::BitString && declared.is_bits) {
        return assign_bit_string(declared, root, name);
      }
      if (root.kind == ExprKind::Measure) {
        if (!declared.is_bits && !declared.is_const && holdable(declared.value.type) &&
            declared.value.type != VType::Bool) {
          QASM_TRY(hold_in_bits(declared, name, false));
          return measure_into(root.left, declared.program_bits);
        }
        if (!declared.is_bits) {
          return lower_error(emsg::measure_into_non_bit(name, pos_), pos_);
        }
        return measure_into(root.left, declared.program_bits);
      }
      QASM_TRY_ASSIGN(Value value, evaluate(*stmt.init));
      return assign_whole(declared, value, name);
    }
    return Ok{};
  }

  static Value zero_of(TypeBase base, std::optional<std::uint64_t> width) {
    const unsigned w = static_cast<unsigned>(std::min<std::uint64_t>(width.value_or(64), 64));
    switch (base) {
      case TypeBase::Bool:
        return make_bool(false);
      case TypeBase::Int:
        return make_int(0, w);
      case TypeBase::UInt:
        return make_uint(0, w);
      case TypeBase::Angle: {
        Value v;
        v.type = VType::Angle;
        v.width = w;
        return v;
      }
      case TypeBase::Bit:
        return make_bits(0, static_cast<unsigned>(std::min<std::uint64_t>(width.value_or(1), 64)));
      default:
        return make_float(0.0);
    }
  }

  // A value converted to the type of `like` (its width included), as a cast or an assignment
  // does.
  Result<Value> convert(const Value& v, const Value& like, bool cast) {
    if (v.runtime &&
        (!v.lanes.empty() || v.affine || like.type == VType::Float || like.type == VType::Angle ||
         (!cast && like.type != VType::Bit && like.type != VType::Bool))) {
      return convert_runtime(v, like);
    }
    if (v.runtime) {
      if (like.type == VType::Bit || like.type == VType::Bool ||
          (cast && (like.type == VType::UInt || like.type == VType::Int))) {
        Value out = v;
        out.type = like.type == VType::Bool ? VType::Bool : like.type;
        out.width = like.width;
        if (like.type == VType::Bool && v.condition.empty()) {
          QASM_TRY_ASSIGN(out.condition, as_condition(v));
        }
        return out;
      }
      return lower_error(emsg::runtime_value_unsupported(pos_), pos_);
    }
    switch (like.type) {
      case VType::Bool:
        return make_bool(to_bool(v));
      case VType::Int:
        if (v.type == VType::Angle) {
          return lower_error(emsg::bad_cast("angle", "int", pos_), pos_);
        }
        return make_int(to_int(v), like.width);
      case VType::UInt:
        if (v.type == VType::Angle) {
          return lower_error(emsg::bad_cast("angle", "uint", pos_), pos_);
        }
        return make_uint(static_cast<std::uint64_t>(to_int(v)), like.width);
      case VType::Bit:
        if (v.type == VType::Float) {
          return lower_error(emsg::bad_cast("float", "bit", pos_), pos_);
        }
        return make_bits(v.type == VType::Bool ? v.bits : static_cast<std::uint64_t>(v.bits),
                         like.width);
      case VType::Angle: {
        Value out;
        out.type = VType::Angle;
        out.width = like.width;
        if (v.type == VType::Angle) {
          // A wider angle keeps its value; a narrower one rounds away the low bits.
          if (v.width >= like.width) {
            const unsigned drop = v.width - like.width;
            out.bits = drop >= 64
                           ? 0
                           : ((v.bits >> drop) + (drop > 0 ? (v.bits >> (drop - 1)) & 1 : 0)) &
                                 mask(like.width);
          } else {
            out.bits = (v.bits << (like.width - v.width)) & mask(like.width);
          }
          return out;
        }
        if (v.type == VType::Bit) {
          out.bits = v.bits & mask(like.width);
          return out;
        }
        // Rounded to the nearest multiple of 2π / 2^width, modulo 2π.
        const double turns = to_real(v) / TAU;
        const double scaled = std::nearbyint((turns - std::floor(turns)) *
                                             std::ldexp(1.0, static_cast<int>(like.width)));
        // A full turn (2^width after rounding) is 0; NaN and infinities give 0 too.
        const double turn = std::ldexp(1.0, static_cast<int>(like.width));
        out.bits = std::isfinite(scaled) && scaled >= 0.0 && scaled < turn
                       ? static_cast<std::uint64_t>(scaled) & mask(like.width)
                       : 0;
        return out;
      }
      case VType::Float:
        return make_float(to_real(v));
      default:
        return v;
    }
  }

  // A run-time value converted: lanes cut or widened (by the sign of an int), an angle's lanes
  // moved to the new width (rounded to the nearest when narrower), a real kept as weights.
  Result<Value> convert_runtime(const Value& v, const Value& like) {
    if (like.type == VType::Float) {
      return affine_of(v);
    }
    if (v.affine || (!holdable(like.type) && like.type != VType::Bit)) {
      return lower_error(emsg::runtime_value_unsupported(pos_), pos_);
    }
    if (like.type == VType::Bool) {
      Value out = make_bool(false);
      out.runtime = true;
      QASM_TRY_ASSIGN(out.condition, as_condition(v));
      return out;
    }
    QASM_TRY_ASSIGN(std::vector<Lane> lanes, lanes_of(v));
    if (like.type == VType::Angle && v.type == VType::Angle && like.width != lanes.size()) {
      const std::size_t from = lanes.size();
      if (like.width > from) {
        lanes.insert(lanes.begin(), like.width - from, known_lane(false));
        return lanes_value(VType::Angle, std::move(lanes));
      }
      const std::size_t drop = from - like.width;
      std::vector<Lane> kept(lanes.begin() + static_cast<std::ptrdiff_t>(drop), lanes.end());
      QASM_TRY_ASSIGN(
          std::vector<Lane> rounded,
          lanes_add(kept, std::vector<Lane>(kept.size(), known_lane(false)), lanes[drop - 1]));
      return lanes_value(VType::Angle, std::move(rounded));
    }
    if (like.type == VType::Angle && v.type != VType::Bit && v.type != VType::Angle) {
      // An integer becomes an angle through its value in radians, rounded: not at run time.
      return lower_error(emsg::runtime_value_unsupported(pos_), pos_);
    }
    return lanes_value(like.type, resized(std::move(lanes), like.width, v.type == VType::Int));
  }

  Status assign_whole(Variable& var, const Value& value, const std::string& name) {
    if (var.is_qubit) {
      return lower_error(emsg::assign_to_qubit(name, pos_), pos_);
    }
    if (var.is_bits) {
      // Bits: each takes its bit of the value (a runtime register's bit, or a known one).
      if (value.type == VType::Float) {
        return lower_error(emsg::bad_cast("float", "bit", pos_), pos_);
      }
      if (value.runtime && (!value.lanes.empty() || value.affine)) {
        // An integer or angle a run decides: its bits, cut or widened to the register's.
        QASM_TRY_ASSIGN(std::vector<Lane> lanes, lanes_of(value));
        const auto count = static_cast<unsigned>(var.program_bits.size());
        return write_lanes(var.program_bits,
                           resized(std::move(lanes), count, value.type == VType::Int));
      }
      if (value.runtime && !value.program_bits.empty()) {
        if (value.program_bits.size() != var.program_bits.size()) {
          return lower_error(
              emsg::width_mismatch(name, var.program_bits.size(), value.program_bits.size(), pos_),
              pos_);
        }
        for (std::size_t k = 0; k < var.program_bits.size(); ++k) {
          QASM_TRY(write_bit(var.program_bits[k], single_bit(value.program_bits[k])));
        }
        return Ok{};
      }
      if (value.runtime) {
        if (var.program_bits.size() != 1) {
          return lower_error(emsg::runtime_value_unsupported(pos_), pos_);
        }
        return write_bit(var.program_bits[0], value);
      }
      if (value.type == VType::Bit && value.width != var.program_bits.size() &&
          !(value.width == 1 && var.program_bits.size() == 1)) {
        return lower_error(emsg::width_mismatch(name, var.program_bits.size(), value.width, pos_),
                           pos_);
      }
      for (std::size_t k = 0; k < var.program_bits.size(); ++k) {
        const bool bit = k < 64 && ((value.bits >> k) & 1) != 0;
        QASM_TRY(write_bit(var.program_bits[k], make_bool(bit)));
      }
      return Ok{};
    }
    if (value.runtime || var.held_in_bits || runtime_depth_ > var.depth) {
      if (!holdable(var.value.type) || var.is_const) {
        return lower_error(emsg::runtime_variable(name, pos_), pos_);
      }
      if (!var.held_in_bits) {
        if (runtime_depth_ > var.depth) {
          return lower_error(emsg::runtime_variable(name, pos_), pos_);
        }
        QASM_TRY(hold_in_bits(var, name, false));
      }
      if (value.runtime && value.affine) {
        return lower_error(emsg::runtime_variable(name, pos_), pos_);
      }
      Value converted;
      if (value.runtime) {
        QASM_TRY_ASSIGN(converted, convert_runtime(value, var.value));
      } else {
        QASM_TRY_ASSIGN(converted, convert(value, var.value, false));
      }
      QASM_TRY_ASSIGN(std::vector<Lane> lanes, lanes_of(converted));
      return write_lanes(var.program_bits, resized(std::move(lanes), width_of(var.value), false));
    }
    if (value.type == VType::Bit && var.value.type == VType::Bit &&
        value.width != var.value.width) {
      return lower_error(emsg::width_mismatch(name, var.value.width, value.width, pos_), pos_);
    }
    QASM_TRY_ASSIGN(var.value, convert(value, var.value, false));
    return Ok{};
  }

  // One runtime bit as a value.
  Value single_bit(std::uint64_t bit) const {
    Value v = make_bits(0, 1);
    v.runtime = true;
    v.reg = bit_ref(bit);
    v.program_bits = {bit};
    v.where = node_pos_;
    return v;
  }

  Status run_stmt(const AssignStmt& stmt) {
    const ExprNode& target = in_.exprs[stmt.target.root()];
    const ExprNode& value_root = in_.exprs[stmt.value.root()];
    std::string name;
    std::optional<std::size_t> index_node;
    if (target.kind == ExprKind::ParamRef) {
      name = target.name;
    } else if (target.kind == ExprKind::Index &&
               in_.exprs[target.left].kind == ExprKind::ParamRef && target.args.size() == 1) {
      name = in_.exprs[target.left].name;
      index_node = stmt.target.root();
    } else {
      return lower_error(emsg::bad_target(pos_), pos_);
    }
    Variable* var = find(name);
    if (var == nullptr) {
      return lower_error(emsg::undefined(name, pos_), pos_);
    }
    if (var->is_const) {
      return lower_error(emsg::assign_to_const(name, pos_), pos_);
    }
    if (value_root.kind == ExprKind::Measure) {
      if (stmt.op == "=" && !var->is_bits && !var->held_in_bits && !var->is_qubit &&
          holdable(var->value.type) && var->value.type != VType::Bool) {
        // Measured bits of an integer or an angle: the variable's value is the run's.
        if (runtime_depth_ > var->depth) {
          return lower_error(emsg::runtime_variable(name, pos_), pos_);
        }
        QASM_TRY(hold_in_bits(*var, name, index_node.has_value()));
      }
      if (stmt.op != "=" || (!var->is_bits && !var->held_in_bits)) {
        return lower_error(emsg::measure_into_non_bit(name, pos_), pos_);
      }
      std::vector<std::uint64_t> bits = var->program_bits;
      if (index_node.has_value()) {
        QASM_TRY_ASSIGN(bits, select(bits, in_.exprs[*index_node].args[0], name));
      }
      return measure_into(value_root.left, bits);
    }
    if (value_root.kind == ExprKind::BitString && var->is_bits && !index_node.has_value() &&
        stmt.op == "=") {
      return assign_bit_string(*var, value_root, name);
    }
    QASM_TRY_ASSIGN(Value value, evaluate(stmt.value));
    if (stmt.op != "=") {
      const std::string_view op(stmt.op.data(), stmt.op.size() - 1);
      QASM_TRY_ASSIGN(Value current, evaluate(stmt.target));
      QASM_TRY_ASSIGN(value, binary(compound_op(op), current, value));
    }
    if (!index_node.has_value()) {
      return assign_whole(*var, value, name);
    }
    // One element (or a slice) of a bit array, or one bit of an integer.
    const std::size_t arg = in_.exprs[*index_node].args[0];
    if (!var->is_bits && !var->held_in_bits && (value.runtime || runtime_depth_ > var->depth)) {
      if (!holdable(var->value.type) || runtime_depth_ > var->depth) {
        return lower_error(emsg::runtime_variable(name, pos_), pos_);
      }
      QASM_TRY(hold_in_bits(*var, name, true));
    }
    if (var->is_bits || var->held_in_bits) {
      QASM_TRY_ASSIGN(const std::vector<std::uint64_t> bits, select(var->program_bits, arg, name));
      if (bits.size() == 1) {
        if (value.runtime && value.program_bits.size() == 1) {
          return write_bit(bits[0], single_bit(value.program_bits[0]));
        }
        return write_bit(bits[0], value);
      }
      Variable slice;
      slice.is_bits = true;
      slice.program_bits = bits;
      return assign_whole(slice, value, name);
    }
    if (value.runtime) {
      return lower_error(emsg::runtime_variable(name, pos_), pos_);
    }
    QASM_TRY_ASSIGN(const Value index, evaluate_node(arg));
    const std::int64_t k = to_int(index);
    if (k < 0 || k >= static_cast<std::int64_t>(var->value.width)) {
      return lower_error(emsg::index_out_of_range(name, k, var->value.width, pos_), pos_);
    }
    const std::uint64_t bit = std::uint64_t{1} << k;
    var->value.bits = to_bool(value) ? (var->value.bits | bit) : (var->value.bits & ~bit);
    return Ok{};
  }

  static Op3 compound_op(std::string_view op) {
    static constexpr std::pair<std::string_view, Op3> OPS[] = {
        {"+", Op3::Add},    {"-", Op3::Sub},   {"*", Op3::Mul},    {"/", Op3::Div},
        {"%", Op3::Mod},    {"**", Op3::Pow},  {"<<", Op3::Shl},   {">>", Op3::Shr},
        {"&", Op3::BitAnd}, {"|", Op3::BitOr}, {"^", Op3::BitXor},
    };
    for (const auto& [text, value] : OPS) {
      if (text == op) {
        return value;
      }
    }
    return Op3::Add;
  }

  // The elements of `bits` that an index (an integer, a range or a set) selects.
  Result<std::vector<std::uint64_t>> select(const std::vector<std::uint64_t>& bits, std::size_t arg,
                                            const std::string& name) {
    QASM_TRY_ASSIGN(const std::vector<std::int64_t> indices, index_list(arg, bits.size()));
    std::vector<std::uint64_t> out;
    for (std::int64_t k : indices) {
      if (k < 0) {
        k += static_cast<std::int64_t>(bits.size());
      }
      if (k < 0 || k >= static_cast<std::int64_t>(bits.size())) {
        return lower_error(emsg::index_out_of_range(name, k, bits.size(), pos_), pos_);
      }
      out.push_back(bits[static_cast<std::size_t>(k)]);
    }
    return out;
  }

  // An index argument's positions: one integer, a range (inclusive ends, negative ends count
  // from `size`) or a set.
  Result<std::vector<std::int64_t>> index_list(std::size_t arg, std::uint64_t size) {
    const ExprNode& node = in_.exprs[arg];
    if (node.kind == ExprKind::Range) {
      return range_values(node, static_cast<std::int64_t>(size));
    }
    if (node.kind == ExprKind::Set) {
      std::vector<std::int64_t> out;
      for (const std::size_t element : node.args) {
        QASM_TRY_ASSIGN(const Value v, evaluate_node(element));
        out.push_back(to_int(v));
      }
      return out;
    }
    QASM_TRY_ASSIGN(const Value v, evaluate_node(arg));
    if (v.runtime || !integral(v)) {
      return lower_error(emsg::bad_index(pos_), pos_);
    }
    return std::vector<std::int64_t>{to_int(v)};
  }

  Result<std::vector<std::int64_t>> range_values(const ExprNode& node, std::int64_t size) {
    std::int64_t start = 0;
    std::int64_t step = 1;
    std::int64_t end = size - 1;
    std::array<std::int64_t*, 3> slots = {&start, &step, &end};
    for (std::size_t k = 0; k < 3; ++k) {
      if (node.args[k] != NO_OPERAND) {
        QASM_TRY_ASSIGN(const Value v, evaluate_node(node.args[k]));
        if (v.runtime || !integral(v)) {
          return lower_error(emsg::bad_range(pos_), pos_);
        }
        *slots[k] = to_int(v);
      }
    }
    if (size >= 0) {
      start = start < 0 ? start + size : start;
      end = end < 0 ? end + size : end;
    }
    if (step == 0) {
      return lower_error(emsg::zero_step(pos_), pos_);
    }
    std::vector<std::int64_t> out;
    for (std::int64_t k = start; step > 0 ? k <= end : k >= end;) {
      QASM_TRY(spend(1));
      out.push_back(k);
      // Stops before the next value would leave int64.
      if (step > 0 ? k > std::numeric_limits<std::int64_t>::max() - step
                   : k < std::numeric_limits<std::int64_t>::min() - step) {
        break;
      }
      k += step;
    }
    return out;
  }

  // ---- control flow ----

  Status run_stmt(const ControlStmt& stmt) {
    if (stmt.kind == ControlKind::End) {
      if (runtime_depth_ > 0) {
        return unsupported_error(emsg::runtime_control("end", pos_), pos_);
      }
      flow_ = Flow::End;
      return Ok{};
    }
    if (loops_.empty()) {
      return lower_error(
          emsg::outside_loop(stmt.kind == ControlKind::Break ? "break" : "continue", pos_), pos_);
    }
    if (loops_.back() != runtime_depth_) {
      return unsupported_error(
          emsg::runtime_control(stmt.kind == ControlKind::Break ? "break" : "continue", pos_),
          pos_);
    }
    flow_ = stmt.kind == ControlKind::Break ? Flow::Break : Flow::Continue;
    return Ok{};
  }

  Status run_stmt(const ReturnStmt& stmt) {
    if (call_stack_.empty()) {
      return lower_error(emsg::return_outside(pos_), pos_);
    }
    if (runtime_depth_ > call_runtime_base_) {
      return unsupported_error(emsg::runtime_control("return", pos_), pos_);
    }
    if (stmt.value.has_value()) {
      const ExprNode& root = in_.exprs[stmt.value->root()];
      if (root.kind == ExprKind::Measure) {
        QASM_TRY_ASSIGN(const std::vector<std::uint64_t> qubits, qubit_operand_node(root.left));
        const std::vector<std::uint64_t> bits = allocate_bits("measured", qubits.size(), false);
        QASM_TRY(measure_into(root.left, bits));
        Variable temp;
        temp.is_bits = true;
        temp.value = make_bits(0, static_cast<unsigned>(bits.size()));
        temp.program_bits = bits;
        temp.reg = bit_regs_.back().name;
        return_value_ = bits_value(temp);
      } else {
        QASM_TRY_ASSIGN(return_value_, evaluate(*stmt.value));
      }
    }
    flow_ = Flow::Return;
    return Ok{};
  }

  Status run_stmt(const ForStmt& stmt) {
    const ExprNode& iterable = in_.exprs[stmt.iterable.root()];
    std::vector<Value> values;
    if (iterable.kind == ExprKind::Range) {
      QASM_TRY_ASSIGN(const std::vector<std::int64_t> range, range_values(iterable, -1));
      for (const std::int64_t k : range) {
        values.push_back(make_int(k));
      }
    } else if (iterable.kind == ExprKind::Set) {
      for (const std::size_t element : iterable.args) {
        QASM_TRY_ASSIGN(Value v, evaluate_node(element));
        values.push_back(std::move(v));
      }
    } else {
      QASM_TRY_ASSIGN(const Value v, evaluate(stmt.iterable));
      if (v.runtime || v.type != VType::Bit) {
        return lower_error(emsg::bad_iterable(pos_), pos_);
      }
      for (unsigned k = 0; k < v.width; ++k) {
        values.push_back(make_bits((v.bits >> k) & 1, 1));
      }
    }
    std::optional<std::uint64_t> width;
    if (stmt.type.width.has_value()) {
      QASM_TRY_ASSIGN(const Value w, evaluate(*stmt.type.width));
      width = static_cast<std::uint64_t>(to_int(w));
    }
    const Value like =
        stmt.type.base == TypeBase::None ? make_int(0) : zero_of(stmt.type.base, width);
    loops_.push_back(runtime_depth_);
    for (const Value& v : values) {
      QASM_TRY(spend(1));
      scopes_.emplace_back();
      Variable var;
      Result<Value> converted = convert(v, like, true);
      if (!converted.ok()) {
        loops_.pop_back();
        scopes_.pop_back();
        return std::move(converted).take_error();
      }
      var.value = converted.value();
      var.depth = runtime_depth_;
      current_scope()[stmt.variable] = std::move(var);
      Status status = block(stmt.body, true);
      scopes_.pop_back();
      if (!status.ok()) {
        loops_.pop_back();
        return status;
      }
      if (round_ends()) {
        break;
      }
    }
    loops_.pop_back();
    return Ok{};
  }

  // After a round of a loop: whether the loop ends there (a `break`, or a `return` or `end`
  // passing through); a `continue` has done its work.
  bool round_ends() {
    if (flow_ == Flow::Continue) {
      flow_ = Flow::Normal;
    }
    if (flow_ == Flow::Break) {
      flow_ = Flow::Normal;
      return true;
    }
    return flow_ != Flow::Normal;
  }

  Status run_stmt(const WhileStmt& stmt) {
    const SourcePos loop_pos = pos_;
    loops_.push_back(runtime_depth_);
    std::uint64_t rounds = 0;
    Status status = Ok{};
    for (;;) {
      // Hidden bits the test computes are set again by the loop of the program, if it is one.
      std::vector<Stmt> scratch;
      std::vector<Stmt>* saved_target = target_;
      target_ = &scratch;
      Result<Value> condition = evaluate_condition(stmt.condition);
      target_ = saved_target;
      if (!condition.ok()) {
        status = std::move(condition).take_error();
        break;
      }
      if (condition.value().runtime) {
        status = runtime_loop(stmt, condition.value());
        break;
      }
      if (!to_bool(condition.value())) {
        break;
      }
      if (++rounds > MAX_LOOP_ITERATIONS) {
        status = lower_error(emsg::loop_limit(loop_pos, MAX_LOOP_ITERATIONS), loop_pos);
        break;
      }
      status = spend(1);
      if (!status.ok()) {
        break;
      }
      status = block(stmt.body, true);
      if (!status.ok() || round_ends()) {
        break;
      }
    }
    loops_.pop_back();
    return status;
  }

  // A copy of a statement the evaluation emitted, bodies included.
  Result<Stmt> copy_emitted(const Stmt& stmt) {
    const auto copy_body = [this](const std::vector<Stmt>& body) -> Result<std::vector<Stmt>> {
      std::vector<Stmt> out;
      out.reserve(body.size());
      for (const Stmt& inner : body) {
        QASM_TRY_ASSIGN(Stmt copy, copy_emitted(inner));
        out.push_back(std::move(copy));
      }
      return out;
    };
    Stmt copy{NoOpStmt{}};
    if (const auto* branch = std::get_if<BranchStmt>(&stmt.node)) {
      BranchStmt b;
      b.condition = branch->condition;
      b.line = branch->line;
      b.col = branch->col;
      QASM_TRY_ASSIGN(b.then_body, copy_body(branch->then_body));
      QASM_TRY_ASSIGN(b.else_body, copy_body(branch->else_body));
      copy.node = std::move(b);
    } else if (const auto* loop = std::get_if<LoopStmt>(&stmt.node)) {
      LoopStmt l;
      l.condition = loop->condition;
      QASM_TRY_ASSIGN(l.body, copy_body(loop->body));
      copy.node = std::move(l);
    } else if (const auto* gate = std::get_if<GateCallStmt>(&stmt.node)) {
      copy.node = *gate;
    } else if (const auto* measure = std::get_if<MeasureStmt>(&stmt.node)) {
      copy.node = *measure;
    } else if (const auto* reset = std::get_if<ResetStmt>(&stmt.node)) {
      copy.node = *reset;
    } else if (const auto* set = std::get_if<SetBitStmt>(&stmt.node)) {
      copy.node = *set;
    } else if (const auto* barrier = std::get_if<BarrierStmt>(&stmt.node)) {
      copy.node = *barrier;
    } else {
      return lower_error(emsg::internal_form(pos_), pos_);
    }
    copy.line = stmt.line;
    copy.col = stmt.col;
    copy.file = stmt.file;
    return copy;
  }

  // Whether a statement (or one in its bodies) measures a qubit.
  static bool measures(const Stmt& stmt) {
    const auto any = [](const std::vector<Stmt>& body) {
      return std::any_of(body.begin(), body.end(), [](const Stmt& s) { return measures(s); });
    };
    if (const auto* branch = std::get_if<BranchStmt>(&stmt.node)) {
      return any(branch->then_body) || any(branch->else_body);
    }
    if (const auto* loop = std::get_if<LoopStmt>(&stmt.node)) {
      return any(loop->body);
    }
    return std::holds_alternative<MeasureStmt>(stmt.node);
  }

  // A `while` whose condition a run decides: a loop of the program. Bits the body writes are
  // unknown from its first round on, so every bit counts as unknown inside.
  Status runtime_loop(const WhileStmt& stmt, const Value& first) {
    if (sink_ != nullptr) {
      return unsupported_error(emsg::runtime_in_gate(pos_), pos_);
    }
    (void)first;
    QASM_TRY(hold_assigned(stmt.body));
    for (auto& bit : known_) {
      bit = std::nullopt;
    }
    // The hidden bits of the test are computed before the loop and again at the end of each
    // round.
    std::vector<Stmt> test;
    std::vector<Stmt>* saved_target = target_;
    target_ = &test;
    Result<Value> evaluated = evaluate_condition(stmt.condition);
    if (!evaluated.ok()) {
      target_ = saved_target;
      return std::move(evaluated).take_error();
    }
    Result<std::vector<CondNode>> converted = condition_of(evaluated.value());
    target_ = saved_target;
    QASM_TRY_ASSIGN(std::vector<CondNode> nodes, std::move(converted));
    // Everything the test emits runs again at the end of each round: its hidden bits, and the
    // measurements and gates of a subroutine it calls (`while (random_bit(q)) { ... }`).
    std::vector<Stmt> again;
    bool test_measures = false;
    for (const Stmt& emitted : test) {
      QASM_TRY_ASSIGN(Stmt copy, copy_emitted(emitted));
      test_measures = test_measures || measures(copy);
      again.push_back(std::move(copy));
    }
    for (Stmt& set : test) {
      target_->push_back(std::move(set));
    }
    QASM_TRY(count_output(2 + test.size() + again.size()));
    LoopStmt loop;
    loop.condition = add_condition(std::move(nodes));
    loops_.push_back(RUNTIME_LOOP);
    const std::size_t writes = writes_.size();
    Status status = runtime_body(stmt.body, loop.body);
    loops_.pop_back();
    QASM_TRY(std::move(status));
    // A body that measures nothing and assigns no bit leaves its test as it was: the loop would
    // never end.
    if (writes_.size() == writes && !test_measures) {
      return lower_error(emsg::endless_loop(pos_), pos_);
    }
    for (Stmt& set : again) {
      loop.body.push_back(std::move(set));
    }
    target_->push_back(placed(Stmt{std::move(loop)}));
    return Ok{};
  }

  // Elaborates a body that runs only when a run says so, into `into`; the bits it writes are
  // unknown afterwards.
  Status runtime_body(const std::vector<Stmt>& stmts, std::vector<Stmt>& into) {
    std::vector<Stmt>* saved_target = target_;
    const std::size_t writes = writes_.size();
    target_ = &into;
    ++runtime_depth_;
    Status status = block(stmts, true);
    --runtime_depth_;
    target_ = saved_target;
    for (std::size_t k = writes; k < writes_.size(); ++k) {
      known_[writes_[k]] = std::nullopt;
    }
    if (status.ok() && flow_ != Flow::Normal) {
      return unsupported_error(emsg::runtime_control("break", pos_), pos_);
    }
    return status;
  }

  Status run_stmt(const IfElseStmt& stmt) {
    literal_conditions_ = true;
    Result<Value> evaluated = evaluate_condition(stmt.condition);
    literal_conditions_ = false;
    QASM_TRY_ASSIGN(const Value condition, std::move(evaluated));
    if (!condition.runtime) {
      return block(to_bool(condition) ? stmt.then_body : stmt.else_body, true);
    }
    if (sink_ != nullptr) {
      return unsupported_error(emsg::runtime_in_gate(pos_), pos_);
    }
    QASM_TRY_ASSIGN(std::vector<CondNode> nodes, condition_of(condition));
    QASM_TRY(hold_assigned(stmt.then_body));
    QASM_TRY(hold_assigned(stmt.else_body));
    QASM_TRY(count_output(2));
    BranchStmt branch;
    branch.condition = add_condition(std::move(nodes));
    branch.line = pos_.line;
    branch.col = pos_.col;
    // Both bodies start from the bits known before the `if`.
    const std::vector<std::optional<std::uint8_t>> before = known_;
    QASM_TRY(runtime_body(stmt.then_body, branch.then_body));
    const std::vector<std::optional<std::uint8_t>> after_then = known_;
    for (std::size_t k = 0; k < before.size(); ++k) {
      known_[k] = after_then[k].has_value() ? before[k] : std::nullopt;
    }
    QASM_TRY(runtime_body(stmt.else_body, branch.else_body));
    for (std::size_t k = 0; k < after_then.size(); ++k) {
      if (!after_then[k].has_value()) {
        known_[k] = std::nullopt;
      }
    }
    target_->push_back(placed(Stmt{std::move(branch)}));
    return Ok{};
  }

  Status run_stmt(const ExprStmt& stmt) {
    QASM_TRY_ASSIGN(const Value ignored, evaluate(stmt.expr));
    (void)ignored;
    return Ok{};
  }

  // ---- quantum statements ----

  Status run_stmt(const QuantumStmt& stmt) {
    switch (stmt.kind) {
      case QuantumKind::Barrier:
        for (const ExprRef& operand : stmt.operands) {
          QASM_TRY_ASSIGN(const std::vector<std::uint64_t> ignored, qubit_operand(operand));
          (void)ignored;
        }
        return Ok{};
      case QuantumKind::Reset: {
        if (sink_ != nullptr) {
          return unsupported_error(emsg::runtime_in_gate(pos_), pos_);
        }
        for (const ExprRef& operand : stmt.operands) {
          QASM_TRY_ASSIGN(const std::vector<std::uint64_t> qubits, qubit_operand(operand));
          QASM_TRY(count_output(qubits.size()));
          for (const std::uint64_t q : qubits) {
            ResetStmt reset;
            reset.qarg = qubit_ref(q);
            reset.line = pos_.line;
            reset.col = pos_.col;
            target_->push_back(placed(Stmt{std::move(reset)}));
          }
        }
        return Ok{};
      }
      case QuantumKind::Measure: {
        if (stmt.operands.size() != 1) {
          return lower_error(emsg::measure_operands(pos_), pos_);
        }
        if (!stmt.target.has_value()) {
          // A measurement whose outcome goes nowhere still collapses its qubits.
          QASM_TRY_ASSIGN(const std::vector<std::uint64_t> qubits, qubit_operand(stmt.operands[0]));
          const std::vector<std::uint64_t> bits = allocate_bits("discarded", qubits.size(), false);
          bit_regs_.back().hidden = true;
          return measure_into(stmt.operands[0].root(), bits);
        }
        QASM_TRY_ASSIGN(const std::vector<std::uint64_t> bits, bit_operand(*stmt.target));
        return measure_into(stmt.operands[0].root(), bits);
      }
      case QuantumKind::Gate:
        return gate_statement(stmt);
    }
    return Ok{};
  }

  // The program bits a measurement target names.
  Result<std::vector<std::uint64_t>> bit_operand(const ExprRef& ref) {
    const ExprNode& node = in_.exprs[ref.root()];
    std::string name;
    std::optional<std::size_t> arg;
    if (node.kind == ExprKind::ParamRef) {
      name = node.name;
    } else if (node.kind == ExprKind::Index && in_.exprs[node.left].kind == ExprKind::ParamRef &&
               node.args.size() == 1) {
      name = in_.exprs[node.left].name;
      arg = node.args[0];
    } else {
      return lower_error(emsg::bad_target(pos_), pos_);
    }
    Variable* var = find(name);
    if (var == nullptr) {
      return lower_error(messages::undefined_creg(name));
    }
    if (!var->is_bits && !var->held_in_bits && !var->is_const && !var->is_qubit &&
        holdable(var->value.type) && var->value.type != VType::Bool) {
      // A measured bit of an integer or an angle: the variable's value is the run's.
      if (runtime_depth_ > var->depth) {
        return lower_error(emsg::runtime_variable(name, pos_), pos_);
      }
      QASM_TRY(hold_in_bits(*var, name, true));
    }
    if (!var->is_bits && !var->held_in_bits) {
      return lower_error(emsg::measure_into_non_bit(name, pos_), pos_);
    }
    if (!arg.has_value()) {
      return var->program_bits;
    }
    if (const ExprNode& index = in_.exprs[*arg];
        index.kind == ExprKind::IntLit &&
        (index.int_value < 0 ||
         static_cast<std::uint64_t>(index.int_value) >= var->program_bits.size())) {
      return cbit_out_of_range_error(static_cast<std::uint64_t>(index.int_value),
                                     var->program_bits.size());
    }
    const std::vector<std::uint64_t> bits = var->program_bits;
    return select(bits, *arg, name);
  }

  Status measure_into(std::size_t qubit_node, const std::vector<std::uint64_t>& bits) {
    if (sink_ != nullptr) {
      return unsupported_error(emsg::runtime_in_gate(pos_), pos_);
    }
    QASM_TRY_ASSIGN(const std::vector<std::uint64_t> qubits, qubit_operand_node(qubit_node));
    if (qubits.size() != bits.size()) {
      return lower_error(messages::measure_size_mismatch(pos_, qubits.size(), bits.size()), pos_);
    }
    QASM_TRY(count_output(qubits.size()));
    for (std::size_t k = 0; k < qubits.size(); ++k) {
      MeasureStmt measure;
      measure.qarg = qubit_ref(qubits[k]);
      measure.carg = bit_ref(bits[k]);
      measure.line = pos_.line;
      measure.col = pos_.col;
      target_->push_back(placed(Stmt{std::move(measure)}));
      known_[bits[k]] = std::nullopt;
      touched_[bits[k]] = true;
      writes_.push_back(bits[k]);
    }
    return Ok{};
  }

  Result<std::vector<std::uint64_t>> qubit_operand(const ExprRef& ref) {
    return qubit_operand_node(ref.root());
  }

  // A qubit operand: a register, an alias, a formal, `$n`, or an element, range or set of one.
  Result<std::vector<std::uint64_t>> qubit_operand_node(std::size_t index) {
    const ExprNode& node = in_.exprs[index];
    if (node.kind == ExprKind::ParamRef) {
      if (!node.name.empty() && node.name[0] == '$') {
        if (!qubit_regs_.empty()) {
          return lower_error(emsg::physical_and_virtual(pos_), pos_);
        }
        std::uint64_t q = 0;
        for (std::size_t k = 1; k < node.name.size(); ++k) {
          q = q * 10 + static_cast<std::uint64_t>(node.name[k] - '0');
          if (q > limits_.max_operations) {
            return lower_error(emsg::too_many_qubits(node.name, q, pos_), pos_);
          }
        }
        physical_count_ = std::max(physical_count_, q + 1);
        return std::vector<std::uint64_t>{q};
      }
      const Variable* var = find(node.name);
      if (var == nullptr || !var->is_qubit) {
        return lower_error(messages::undefined_qreg(node.name));
      }
      return var->value.qubits;
    }
    if (node.kind == ExprKind::Index) {
      QASM_TRY_ASSIGN(std::vector<std::uint64_t> qubits, qubit_operand_node(node.left));
      for (const std::size_t arg : node.args) {
        QASM_TRY_ASSIGN(const std::vector<std::int64_t> indices, index_list(arg, qubits.size()));
        std::vector<std::uint64_t> picked;
        for (std::int64_t k : indices) {
          if (k < 0) {
            k += static_cast<std::int64_t>(qubits.size());
          }
          if (k < 0 || k >= static_cast<std::int64_t>(qubits.size())) {
            return qubit_out_of_range_error(static_cast<std::uint64_t>(k), qubits.size());
          }
          picked.push_back(qubits[static_cast<std::size_t>(k)]);
        }
        qubits = std::move(picked);
      }
      return qubits;
    }
    return lower_error(emsg::bad_qubit_operand(pos_), pos_);
  }

  Status gate_statement(const QuantumStmt& stmt) {
    if (const auto def = defs_.find(stmt.name);
        def != defs_.end() && stmt.modifiers.empty() && find_gate(stmt.name) == nullptr) {
      // A subroutine called as a gate (`bellprep bp;`): its parameters, then its operands.
      ExprNode call{ExprKind::Call};
      call.name = stmt.name;
      for (const ExprRef& param : stmt.params) {
        call.args.push_back(param.root());
      }
      for (const ExprRef& operand : stmt.operands) {
        call.args.push_back(operand.root());
      }
      QASM_TRY_ASSIGN(const Value ignored, subroutine_call(*def->second, call));
      (void)ignored;
      return Ok{};
    }
    std::vector<double> params;
    std::optional<Value> runtime_angle;
    for (const ExprRef& param : stmt.params) {
      real_literals_ = true;
      Result<Value> evaluated = evaluate(param);
      real_literals_ = false;
      QASM_TRY_ASSIGN(const Value v, std::move(evaluated));
      if (v.runtime) {
        if (stmt.params.size() != 1 || !rotation_family(stmt.name) ||
            find_gate(stmt.name) != nullptr || sink_ != nullptr) {
          return unsupported_error(emsg::runtime_parameter(stmt.name, pos_), pos_);
        }
        QASM_TRY_ASSIGN(runtime_angle, affine_of(v));
        params.push_back(runtime_angle->real);
        continue;
      }
      params.push_back(to_real(v));
    }
    std::vector<EvaluatedModifier> modifiers;
    for (const Modifier& modifier : stmt.modifiers) {
      EvaluatedModifier m{modifier.kind};
      if (modifier.arg.has_value()) {
        QASM_TRY_ASSIGN(const Value v, evaluate(*modifier.arg));
        if (v.runtime) {
          return unsupported_error(emsg::runtime_parameter(stmt.name, pos_), pos_);
        }
        if (modifier.kind == ModifierKind::Pow) {
          m.power = to_real(v);
        } else {
          if (!is_integer(v) || to_int(v) < 1) {
            return lower_error(emsg::bad_control_count(pos_), pos_);
          }
          m.count = static_cast<std::uint64_t>(to_int(v));
        }
      } else if (modifier.kind == ModifierKind::Pow) {
        return lower_error(emsg::pow_without_exponent(pos_), pos_);
      }
      modifiers.push_back(m);
    }
    std::vector<std::vector<std::uint64_t>> operands;
    std::uint64_t width = 1;
    for (const ExprRef& operand : stmt.operands) {
      QASM_TRY_ASSIGN(std::vector<std::uint64_t> qubits, qubit_operand(operand));
      if (qubits.size() > 1) {
        if (width > 1 && width != qubits.size()) {
          return lower_error(
              messages::broadcast_size_mismatch(stmt.name, pos_, width, qubits.size()), pos_);
        }
        width = qubits.size();
      }
      if (qubits.empty()) {
        return Ok{};
      }
      operands.push_back(std::move(qubits));
    }
    if (runtime_angle.has_value()) {
      return runtime_angle_gate(stmt, *runtime_angle, modifiers, operands, width);
    }
    return gate_instances(stmt, params, modifiers, operands, width);
  }

  // A gate whose one angle a run decides, θ = c + Σ w_k·b_k: the gates of these families are
  // exp(iθ·G) for a fixed G (and their modified forms are too), so the gate of θ is the gate of
  // c followed by the gate of w_k for each bit b_k that holds. Exact to rounding, not bit for
  // bit: the gates of the parts multiply to the gate of the sum.
  Status runtime_angle_gate(const QuantumStmt& stmt, const Value& angle,
                            const std::vector<EvaluatedModifier>& modifiers,
                            const std::vector<std::vector<std::uint64_t>>& operands,
                            std::uint64_t width) {
    if (angle.real != 0.0) {
      QASM_TRY(gate_instances(stmt, {angle.real}, modifiers, operands, width));
    }
    for (const auto& [bit, weight] : angle.terms) {
      if (weight == 0.0) {
        continue;
      }
      QASM_TRY(count_output(1));
      BranchStmt branch;
      branch.condition = add_condition({lane_node(bit_lane(bit))});
      branch.line = pos_.line;
      branch.col = pos_.col;
      std::vector<Stmt>* saved_target = target_;
      target_ = &branch.then_body;
      ++runtime_depth_;
      Status status = gate_instances(stmt, {weight}, modifiers, operands, width);
      --runtime_depth_;
      target_ = saved_target;
      QASM_TRY(std::move(status));
      target_->push_back(placed(Stmt{std::move(branch)}));
    }
    return Ok{};
  }

  // Each instance of a gate statement (one per position of its register operands).
  Status gate_instances(const QuantumStmt& stmt, const std::vector<double>& params,
                        const std::vector<EvaluatedModifier>& modifiers,
                        const std::vector<std::vector<std::uint64_t>>& operands,
                        std::uint64_t width) {
    std::vector<std::uint64_t> qubits(operands.size());
    for (std::uint64_t k = 0; k < width; ++k) {
      for (std::size_t j = 0; j < operands.size(); ++j) {
        qubits[j] = operands[j].size() == 1 ? operands[j][0] : operands[j][k];
      }
      if (modifiers.empty() && sink_ == nullptr && find_gate(stmt.name) == nullptr) {
        QASM_TRY_ASSIGN(const bool done, library_call(stmt.name, params, qubits));
        if (done) {
          continue;
        }
      }
      OpList ops;
      QASM_TRY(modified_gate(stmt.name, params, qubits, modifiers, 0, ops));
      QASM_TRY(emit_ops(ops));
    }
    return Ok{};
  }

  // The operations of `modifiers[first..] @ name(params) qubits`: the outermost modifier
  // takes the first qubits as its controls.
  Status modified_gate(const std::string& name, const std::vector<double>& params,
                       std::span<const std::uint64_t> qubits,
                       std::span<const EvaluatedModifier> modifiers, std::size_t first,
                       OpList& out) {
    if (first == modifiers.size()) {
      return plain_gate(name, params, qubits, out);
    }
    const EvaluatedModifier& m = modifiers[first];
    switch (m.kind) {
      case ModifierKind::Ctrl:
      case ModifierKind::NegCtrl: {
        if (m.count >= qubits.size() + 1 || m.count > qubits.size()) {
          return lower_error(emsg::too_few_qubits_for_controls(name, m.count, pos_), pos_);
        }
        const std::vector<std::uint64_t> controls(qubits.begin(), qubits.begin() + m.count);
        std::vector<std::uint64_t> sorted = controls;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
          return lower_error(emsg::repeated_qubit(name, pos_), pos_);
        }
        OpList inner;
        QASM_TRY(modified_gate(name, params, qubits.subspan(m.count), modifiers, first + 1, inner));
        for (const Op& op : inner) {
          for (const std::uint64_t q : op.qubits()) {
            if (std::binary_search(sorted.begin(), sorted.end(), q)) {
              return lower_error(emsg::repeated_qubit(name, pos_), pos_);
            }
          }
        }
        QASM_TRY(spend(inner.size() * (1 + controls.size())));
        const std::vector<std::uint8_t> values(controls.size(),
                                               m.kind == ModifierKind::NegCtrl ? 0 : 1);
        OpList controlled_ops = control_all(inner, controls, values);
        out.insert(out.end(), controlled_ops.begin(), controlled_ops.end());
        return Ok{};
      }
      case ModifierKind::Inv: {
        OpList inner;
        QASM_TRY(modified_gate(name, params, qubits, modifiers, first + 1, inner));
        for (auto it = inner.rbegin(); it != inner.rend(); ++it) {
          out.push_back(inverse(*it));
        }
        return Ok{};
      }
      case ModifierKind::Pow: {
        const double k = m.power;
        if (k != std::trunc(k)) {
          // Exact only where the gate's power is its parameter scaled.
          if (first + 1 != modifiers.size() || !rotation_family(name) || params.empty() ||
              find_gate(name) != nullptr) {
            return unsupported_error(emsg::fractional_power(name, k, pos_), pos_);
          }
          std::vector<double> scaled = params;
          scaled[0] = params[0] * k;
          return plain_gate(name, scaled, qubits, out);
        }
        OpList inner;
        QASM_TRY(modified_gate(name, params, qubits, modifiers, first + 1, inner));
        const double count = std::fabs(k);
        QASM_TRY(spend(static_cast<std::uint64_t>(std::min(count, 1e18)) * (inner.size() + 1)));
        for (double r = 0; r < count; ++r) {
          if (k > 0) {
            out.insert(out.end(), inner.begin(), inner.end());
          } else {
            for (auto it = inner.rbegin(); it != inner.rend(); ++it) {
              out.push_back(inverse(*it));
            }
          }
        }
        return Ok{};
      }
    }
    return Ok{};
  }

  const GateDef3Stmt* find_gate(const std::string& name) const {
    const auto found = gates_.find(name);
    return found == gates_.end() ? nullptr : &std::get<GateDef3Stmt>(found->second->node);
  }

  // A gate without modifiers: a user gate (which may shadow a built-in one), then the
  // extended built-in set.
  Status plain_gate(const std::string& name, const std::vector<double>& params,
                    std::span<const std::uint64_t> qubits, OpList& out) {
    std::vector<std::uint64_t> sorted(qubits.begin(), qubits.end());
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
      return lower_error(emsg::repeated_qubit(name, pos_), pos_);
    }
    if (const GateDef3Stmt* def = find_gate(name)) {
      return user_gate(*def, params, qubits, out);
    }
    return builtin_gate(name, params, qubits, out);
  }

  Status user_gate(const GateDef3Stmt& def, const std::vector<double>& params,
                   std::span<const std::uint64_t> qubits, OpList& out) {
    if (def.params.size() != params.size()) {
      return lower_error(
          messages::user_gate_parameter_count(def.name, def.params.size(), params.size()));
    }
    if (def.qubits.size() != qubits.size()) {
      // Shown at the definition, in its file.
      const Stmt& where = *gates_.at(def.name);
      QasmError error =
          gate_arity_error(def.name, where.line, where.col, def.qubits.size(), qubits.size());
      error.file = where.file < files_.size() ? files_[where.file] : std::string();
      return error;
    }
    if (std::find(gate_stack_.begin(), gate_stack_.end(), def.name) != gate_stack_.end() ||
        gate_stack_.size() >= MAX_INLINE_DEPTH) {
      return recursion_limit_error(def.name, MAX_INLINE_DEPTH);
    }
    QASM_TRY(spend(1 + params.size() + qubits.size()));
    // A fresh scope that sees the global constants and the gate's formals.
    Scope scope;
    for (std::size_t k = 0; k < params.size(); ++k) {
      Variable var;
      var.value = make_float(params[k]);
      var.is_const = true;
      scope[def.params[k]] = std::move(var);
    }
    for (std::size_t k = 0; k < qubits.size(); ++k) {
      Variable var;
      var.is_qubit = true;
      var.value.type = VType::Qubits;
      var.value.qubits = {qubits[k]};
      scope[def.qubits[k]] = std::move(var);
    }
    OpList* saved_sink = sink_;
    sink_ = &out;
    gate_stack_.push_back(def.name);
    frames_.push_back(scopes_.size());
    scopes_.push_back(std::move(scope));
    std::vector<std::size_t> saved_loops = std::move(loops_);
    loops_.clear();
    const Flow saved_flow = flow_;
    Status status = block(def.body, false);
    flow_ = saved_flow;
    loops_ = std::move(saved_loops);
    scopes_.pop_back();
    frames_.pop_back();
    gate_stack_.pop_back();
    sink_ = saved_sink;
    return status;
  }

  // A plain call of a gate of the library's table, left for the lowering to expand as the
  // specified reading does (the same operations, and its phase placed as there).
  Result<bool> library_call(const std::string& name, const std::vector<double>& params,
                            std::span<const std::uint64_t> qubits) {
    OpList ops;
    QASM_TRY_ASSIGN(const bool known, library_gate(name, params, qubits, ops));
    if (!known) {
      return false;
    }
    QASM_TRY(count_output(ops.size()));
    GateCall call;
    call.name = name;
    call.line = pos_.line;
    call.col = pos_.col;
    call.file = file_;
    for (const double value : params) {
      call.params.push_back(literal(value));
    }
    for (const std::uint64_t q : qubits) {
      call.qargs.push_back(qubit_ref(q));
    }
    target_->push_back(placed(Stmt{GateCallStmt{std::move(call)}}));
    return true;
  }

  // Appends a built-in gate through the gate library's table (the specified reading's own
  // sequences), for the names it knows.
  Result<bool> library_gate(const std::string& name, const std::vector<double>& params,
                            std::span<const std::uint64_t> qubits, OpList& out) {
    sim::Circuit scratch(std::numeric_limits<std::uint64_t>::max());
    QASM_TRY_ASSIGN(const bool known,
                    apply_builtin_gate(scratch, name, params, qubits, pos_.line, pos_.col));
    if (!known) {
      return false;
    }
    for (const sim::Operation& op : scratch.ops()) {
      Op o;
      o.gate = std::get<sim::GateOp>(op);
      out.push_back(o);
    }
    if (scratch.global_phase() != 0.0 || std::isnan(scratch.global_phase())) {
      out.push_back(phase_op(scratch.global_phase()));
    }
    return true;
  }

  Status arity(const std::string& name, std::size_t want_params, std::size_t want_qubits,
               const std::vector<double>& params, std::span<const std::uint64_t> qubits) const {
    if (params.size() != want_params) {
      return lower_error(messages::builtin_parameter_count(
                             name, pos_, static_cast<int>(want_params), params.size()),
                         pos_);
    }
    if (qubits.size() != want_qubits) {
      return gate_arity_error(name, pos_.line, pos_.col, want_qubits, qubits.size());
    }
    return Ok{};
  }

  // The gates of the extended set that the gate library does not have, with the matrices of
  // Qiskit's gate classes (rzz(θ) = exp(-iθ/2 Z⊗Z), ...).
  Status builtin_gate(const std::string& name, const std::vector<double>& params,
                      std::span<const std::uint64_t> qubits, OpList& out) {
    using core::GateKind;
    const auto q = [&](std::size_t k) { return qubits[k]; };
    if (name == "rzz" || name == "rxx" || name == "ryy" || name == "rzx") {
      QASM_TRY(arity(name, 1, 2, params, qubits));
      const double t = params[0];
      // exp(-iθ/2 P⊗Q) as a basis change onto Z⊗Z, CX · Rz(θ) · CX, and back.
      const auto to_z = [&](bool back) {
        if (name == "rxx") {
          out.push_back(gate_op(GateKind::H, {q(0)}));
          out.push_back(gate_op(GateKind::H, {q(1)}));
        } else if (name == "ryy") {
          const double a = back ? -core::HALF_PI : core::HALF_PI;
          out.push_back(gate_op(GateKind::Rx, {q(0)}, a));
          out.push_back(gate_op(GateKind::Rx, {q(1)}, a));
        } else if (name == "rzx") {
          out.push_back(gate_op(GateKind::H, {q(1)}));
        }
      };
      to_z(false);
      out.push_back(gate_op(GateKind::CX, {q(0), q(1)}));
      out.push_back(gate_op(GateKind::Rz, {q(1)}, t));
      out.push_back(gate_op(GateKind::CX, {q(0), q(1)}));
      to_z(true);
      return Ok{};
    }
    if (name == "cnot") {
      QASM_TRY(arity(name, 0, 2, params, qubits));
      out.push_back(gate_op(GateKind::CX, {q(0), q(1)}));
      return Ok{};
    }
    if (name == "ccz") {
      QASM_TRY(arity(name, 0, 3, params, qubits));
      out.push_back(gate_op(GateKind::H, {q(2)}));
      out.push_back(gate_op(GateKind::CCX, {q(0), q(1), q(2)}));
      out.push_back(gate_op(GateKind::H, {q(2)}));
      return Ok{};
    }
    if (name == "dcx") {
      QASM_TRY(arity(name, 0, 2, params, qubits));
      out.push_back(gate_op(GateKind::CX, {q(0), q(1)}));
      out.push_back(gate_op(GateKind::CX, {q(1), q(0)}));
      return Ok{};
    }
    if (name == "iswap") {
      QASM_TRY(arity(name, 0, 2, params, qubits));
      out.push_back(gate_op(GateKind::S, {q(0)}));
      out.push_back(gate_op(GateKind::S, {q(1)}));
      out.push_back(gate_op(GateKind::H, {q(0)}));
      out.push_back(gate_op(GateKind::CX, {q(0), q(1)}));
      out.push_back(gate_op(GateKind::CX, {q(1), q(0)}));
      out.push_back(gate_op(GateKind::H, {q(1)}));
      return Ok{};
    }
    if (name == "r") {
      QASM_TRY(arity(name, 2, 1, params, qubits));
      out.push_back(gate_op(GateKind::U3, {q(0)}, params[0], params[1] - core::HALF_PI,
                            core::HALF_PI - params[1]));
      return Ok{};
    }
    // Controlled forms: the gate under its first qubits.
    struct ControlledForm {
      std::string_view name;
      std::string_view base;
      std::size_t controls;
    };
    static constexpr ControlledForm FORMS[] = {
        {"csx", "sx", 1}, {"cs", "s", 1},     {"csdg", "sdg", 1},
        {"ct", "t", 1},   {"ctdg", "tdg", 1}, {"c3x", "x", 3},
        {"c4x", "x", 4},  {"c3sx", "sx", 3},  {"c3sqrtx", "sx", 3},
    };
    for (const ControlledForm& form : FORMS) {
      if (form.name == name) {
        QASM_TRY(arity(name, 0, form.controls + 1, params, qubits));
        return controlled_form(std::string(form.base), {}, qubits, form.controls, out);
      }
    }
    if (name == "mcx" || name == "mcx_gray" || name == "mcx_recursive" || name == "mcx_vchain") {
      if (qubits.size() < 2 || !params.empty()) {
        return gate_arity_error(name, pos_.line, pos_.col, 2, qubits.size());
      }
      return controlled_form("x", {}, qubits, qubits.size() - 1, out);
    }
    if (name == "mcphase" || name == "mcp") {
      if (qubits.size() < 2 || params.size() != 1) {
        return lower_error(messages::builtin_parameter_count(name, pos_, 1, params.size()), pos_);
      }
      return controlled_form("p", params, qubits, qubits.size() - 1, out);
    }
    if (name == "cphase") {
      return builtin_gate("cp", params, qubits, out);
    }
    if (name == "U" && params.size() == 3 && qubits.size() == 1) {
      out.push_back(gate_op(GateKind::U3, {q(0)}, params[0], params[1], params[2]));
      return Ok{};
    }
    if (name == "cu" && params.size() == 3) {
      // The older three-parameter form: controlled U3.
      return controlled_form("u3", params, qubits, 1, out);
    }
    QASM_TRY_ASSIGN(const bool known, library_gate(name, params, qubits, out));
    if (!known) {
      return unknown_gate_error(name, pos_.line, pos_.col);
    }
    return Ok{};
  }

  Status controlled_form(const std::string& base, const std::vector<double>& params,
                         std::span<const std::uint64_t> qubits, std::size_t controls, OpList& out) {
    OpList inner;
    QASM_TRY(plain_gate(base, params, qubits.subspan(controls), inner));
    const std::vector<std::uint64_t> c(qubits.begin(), qubits.begin() + controls);
    OpList ops = control_all(inner, c, std::vector<std::uint8_t>(controls, 1));
    out.insert(out.end(), ops.begin(), ops.end());
    return Ok{};
  }

  // ---- expressions ----

  Scope& current_scope() { return scopes_.back(); }

  // The innermost binding of a name: the scopes of the current subroutine or gate, then the
  // global scope.
  Variable* find(const std::string& name) {
    for (std::size_t k = scopes_.size(); k-- > frames_.back();) {
      const auto found = scopes_[k].find(name);
      if (found != scopes_[k].end()) {
        return &found->second;
      }
    }
    if (frames_.back() > 0) {
      const auto found = scopes_[0].find(name);
      if (found != scopes_[0].end()) {
        return &found->second;
      }
    }
    return nullptr;
  }

  Result<Value> evaluate(const ExprRef& ref) { return evaluate_node(ref.root()); }

  Result<Value> evaluate_condition(const ExprRef& ref) {
    condition_mode_ = true;
    Result<Value> value = evaluate_node(ref.root());
    condition_mode_ = false;
    return value;
  }

  Result<Value> evaluate_node(std::size_t index) {
    const ExprNode& node = in_.exprs[index];
    if (node.line != 0) {
      node_pos_ = SourcePos{node.line, node.col};
    }
    switch (node.kind) {
      case ExprKind::IntLit:
        return make_int(node.int_value);
      case ExprKind::RealLit:
        return make_float(node.real_value);
      case ExprKind::Duration: {
        Value v = make_float(node.real_value);
        v.type = VType::Duration;
        return v;
      }
      case ExprKind::PiLit:
        return make_float(PI);
      case ExprKind::BoolLit:
        if (literal_conditions_) {
          // `if (true)` stays a test of the program, as it is written.
          Value v = make_bool(node.int_value != 0);
          CondNode constant;
          constant.kind = CondKind::Const;
          constant.value = node.int_value != 0 ? 1 : 0;
          constant.line = node.line;
          constant.col = node.col;
          v.runtime = true;
          v.condition = {constant};
          return v;
        }
        return make_bool(node.int_value != 0);
      case ExprKind::BitString: {
        if (node.name.size() > 64 || node.name.find_first_not_of("01_") != std::string::npos) {
          return lower_error(emsg::bad_bit_string(node.name, pos_), pos_);
        }
        std::uint64_t bits = 0;
        unsigned width = 0;
        for (auto it = node.name.rbegin(); it != node.name.rend(); ++it) {
          if (*it == '_') {
            continue;
          }
          bits |= static_cast<std::uint64_t>(*it == '1') << width;
          ++width;
        }
        return make_bits(bits, width);
      }
      case ExprKind::ParamRef:
        return name_value(node.name);
      case ExprKind::Neg: {
        QASM_TRY_ASSIGN(const Value v, evaluate_node(node.left));
        return unary(UnaryOp::Neg, v);
      }
      case ExprKind::Unary: {
        QASM_TRY_ASSIGN(const Value v, evaluate_node(node.left));
        node_pos_ = SourcePos{node.line, node.col};
        // A parameter written `-0` (as the exporter writes -0.0) keeps its sign; so does every
        // number of an OpenQASM 2 text, which computes in reals.
        if (node.unary == UnaryOp::Neg && (real_literals_ || in_.version == 2) &&
            v.type == VType::Int && v.bits == 0 && !v.runtime) {
          return make_float(-0.0);
        }
        return unary(node.unary, v);
      }
      case ExprKind::Binary:
      case ExprKind::BinExpr:
        return binary_chain(index);
      case ExprKind::FuncCall:
      case ExprKind::Call:
        return call(node);
      case ExprKind::Index:
        return index_value(node);
      case ExprKind::Cast: {
        QASM_TRY_ASSIGN(const Value v, evaluate_node(node.left));
        std::optional<std::uint64_t> width;
        const TypeSpec& type = in_.types[node.type];
        if (type.width.has_value()) {
          QASM_TRY_ASSIGN(const Value w, evaluate(*type.width));
          if (w.runtime || !is_integer(w) || to_int(w) < 1 || to_int(w) > 64) {
            return lower_error(emsg::bad_width("cast", pos_), pos_);
          }
          width = static_cast<std::uint64_t>(to_int(w));
        }
        if (type.base == TypeBase::Bit && !width.has_value() && v.type == VType::Bit) {
          width = v.width;
        }
        return convert(v, zero_of(type.base, width), true);
      }
      case ExprKind::Range:
      case ExprKind::Set:
        return lower_error(emsg::range_as_value(pos_), pos_);
      case ExprKind::Measure:
        return lower_error(emsg::measure_in_expression(pos_), pos_);
    }
    return lower_error(emsg::internal_form(pos_), pos_);
  }

  // A chain of binary operators, walked along its left operands without recursion: a sum of
  // 10^5 terms is long, not deep. Right operands are evaluated as nodes of their own.
  Result<Value> binary_chain(std::size_t index) {
    std::vector<std::size_t> spine;
    while (in_.exprs[index].kind == ExprKind::Binary ||
           in_.exprs[index].kind == ExprKind::BinExpr) {
      const ExprNode& node = in_.exprs[index];
      if (node.line != 0) {
        node_pos_ = SourcePos{node.line, node.col};
      }
      spine.push_back(index);
      index = node.left;
    }
    QASM_TRY_ASSIGN(Value left, evaluate_node(index));
    for (auto it = spine.rbegin(); it != spine.rend(); ++it) {
      const ExprNode& node = in_.exprs[*it];
      if (node.kind == ExprKind::BinExpr) {
        QASM_TRY_ASSIGN(const Value right, evaluate_node(node.right));
        static constexpr Op3 OPS[] = {Op3::Add, Op3::Sub, Op3::Mul, Op3::Div, Op3::Pow};
        QASM_TRY_ASSIGN(left, binary(OPS[static_cast<unsigned>(node.op)], left, right));
        continue;
      }
      // && and || look at their right side only when they need it.
      if ((node.op3 == Op3::And || node.op3 == Op3::Or) && !left.runtime &&
          to_bool(left) == (node.op3 == Op3::Or)) {
        left = make_bool(node.op3 == Op3::Or);
        continue;
      }
      QASM_TRY_ASSIGN(const Value right, evaluate_node(node.right));
      // A comparison is placed where it starts, an operator of logic where it stands.
      const bool comparison = node.op3 >= Op3::Eq;
      const ExprNode& first = in_.exprs[node.left];
      node_pos_ = comparison && first.line != 0 ? SourcePos{first.line, first.col}
                                                : SourcePos{node.line, node.col};
      QASM_TRY_ASSIGN(left, binary(node.op3, left, right));
    }
    return left;
  }

  Result<Value> name_value(const std::string& name) {
    if (Variable* var = find(name)) {
      if (var->is_qubit) {
        return lower_error(emsg::qubit_as_value(name, pos_), pos_);
      }
      if (var->is_bits) {
        return bits_value(*var);
      }
      if (var->held_in_bits) {
        return held_value(*var);
      }
      return var->value;
    }
    if (name == "pi" || name == "π") {
      return make_float(PI);
    }
    if (name == "tau" || name == "τ") {
      return make_float(TAU);
    }
    if (name == "euler" || name == "ℇ") {
      return make_float(EULER);
    }
    if (condition_mode_) {
      return lower_error(messages::undefined_creg_at("condition", node_pos_, name), node_pos_);
    }
    return lower_error(emsg::undefined(name, pos_), pos_);
  }

  Result<Value> index_value(const ExprNode& node) {
    const ExprNode& base = in_.exprs[node.left];
    if (node.args.size() != 1) {
      return lower_error(emsg::bad_index(pos_), pos_);
    }
    if (base.kind == ExprKind::ParamRef) {
      if (Variable* held = find(base.name); held != nullptr && held->held_in_bits) {
        QASM_TRY_ASSIGN(const std::vector<std::uint64_t> bits,
                        select(held->program_bits, node.args[0], base.name));
        std::vector<Lane> lanes;
        for (const std::uint64_t bit : bits) {
          lanes.push_back(known_[bit].has_value() ? known_lane(*known_[bit] != 0) : bit_lane(bit));
        }
        if (lanes.size() == 1 && !lanes[0].known) {
          return single_bit(bits[0]);
        }
        return lanes_value(VType::Bit, std::move(lanes));
      }
      if (Variable* var = find(base.name); var != nullptr && var->is_bits) {
        const std::vector<std::uint64_t> all = var->program_bits;
        const std::string reg = var->reg;
        if (const ExprNode& index = in_.exprs[node.args[0]];
            condition_mode_ && index.kind == ExprKind::IntLit &&
            (index.int_value < 0 || static_cast<std::uint64_t>(index.int_value) >= all.size())) {
          const SourcePos where{base.line, base.col};
          return lower_error(
              messages::bit_index_out_of_range(
                  where, base.name, static_cast<std::uint64_t>(index.int_value), all.size()),
              where);
        }
        QASM_TRY_ASSIGN(const std::vector<std::uint64_t> bits,
                        select(all, node.args[0], base.name));
        Variable part;
        part.is_bits = true;
        part.value = make_bits(0, static_cast<unsigned>(std::min<std::size_t>(bits.size(), 64)));
        part.program_bits = bits;
        part.reg = reg;
        Value v = bits_value(part);
        if (v.runtime) {
          if (bits.size() == 1) {
            return single_bit(bits[0]);
          }
          v.reg.reset();  // a slice is no register a condition can name
        }
        return v;
      }
    }
    QASM_TRY_ASSIGN(const Value v, evaluate_node(node.left));
    if (v.runtime) {
      QASM_TRY_ASSIGN(const std::vector<Lane> lanes, lanes_of(v));
      QASM_TRY_ASSIGN(const std::vector<std::int64_t> indices,
                      index_list(node.args[0], lanes.size()));
      std::vector<Lane> picked;
      for (std::int64_t k : indices) {
        if (k < 0) {
          k += static_cast<std::int64_t>(lanes.size());
        }
        if (k < 0 || k >= static_cast<std::int64_t>(lanes.size())) {
          return lower_error(emsg::index_out_of_range(base.name, k, lanes.size(), pos_), pos_);
        }
        picked.push_back(lanes[static_cast<std::size_t>(k)]);
      }
      return lanes_value(VType::Bit, std::move(picked));
    }
    if (v.type == VType::Float || v.type == VType::Duration) {
      return lower_error(emsg::bad_index(pos_), pos_);
    }
    QASM_TRY_ASSIGN(const std::vector<std::int64_t> indices, index_list(node.args[0], v.width));
    std::uint64_t bits = 0;
    unsigned width = 0;
    for (std::int64_t k : indices) {
      if (k < 0) {
        k += v.width;
      }
      if (k < 0 || k >= static_cast<std::int64_t>(v.width)) {
        return lower_error(emsg::index_out_of_range(base.name, k, v.width, pos_), pos_);
      }
      if (width == 64) {
        return lower_error(emsg::bad_index(pos_), pos_);
      }
      bits |= ((v.bits >> k) & 1) << width;
      ++width;
    }
    return make_bits(bits, width);
  }

  Result<Value> unary(UnaryOp op, const Value& v) {
    if (v.runtime && op == UnaryOp::Neg) {
      if (v.affine) {
        Value out = v;
        out.real = -v.real;
        for (auto& term : out.terms) {
          term.second = -term.second;
        }
        return out;
      }
      QASM_TRY_ASSIGN(std::vector<Lane> lanes, lanes_of(v));
      const bool keeps = v.type == VType::Int || v.type == VType::Angle;
      lanes = resized(std::move(lanes), keeps ? width_of(v) : 64, false);
      QASM_TRY_ASSIGN(std::vector<Lane> negated, lanes_negated(lanes));
      return lanes_value(keeps ? v.type : VType::Int, std::move(negated));
    }
    if (v.runtime && op == UnaryOp::BitNot && !(v.lanes.empty() && v.program_bits.size() == 1)) {
      if (v.type == VType::Angle || v.affine) {
        return lower_error(emsg::bad_operand("~", pos_), pos_);
      }
      QASM_TRY_ASSIGN(const std::vector<Lane> lanes, lanes_of(v));
      std::vector<Lane> inverted(lanes.size());
      for (std::size_t k = 0; k < lanes.size(); ++k) {
        QASM_TRY_ASSIGN(inverted[k], lane_not(lanes[k]));
      }
      return lanes_value(v.type == VType::Bool ? VType::Bit : v.type, std::move(inverted));
    }
    if (v.runtime) {
      if (op != UnaryOp::Not && !(op == UnaryOp::BitNot && v.program_bits.size() == 1)) {
        return lower_error(emsg::runtime_value_unsupported(pos_), pos_);
      }
      QASM_TRY_ASSIGN(std::vector<CondNode> nodes, as_condition(v));
      CondNode node;
      node.kind = CondKind::Not;
      node.left = nodes.size() - 1;
      node.line = node_pos_.line;
      node.col = node_pos_.col;
      nodes.push_back(node);
      Value out = make_bool(false);
      out.runtime = true;
      out.condition = std::move(nodes);
      return out;
    }
    switch (op) {
      case UnaryOp::Not:
        return make_bool(!to_bool(v));
      case UnaryOp::BitNot:
        if (v.type == VType::Float || v.type == VType::Angle) {
          return lower_error(emsg::bad_operand("~", pos_), pos_);
        }
        {
          Value out = v;
          out.bits = ~v.bits & mask(v.width);
          return out;
        }
      case UnaryOp::Neg:
        switch (v.type) {
          case VType::Float:
          case VType::Duration: {
            Value out = v;
            out.real = -v.real;
            return out;
          }
          case VType::Angle: {
            Value out = v;
            out.bits = (~v.bits + 1) & mask(v.width);
            return out;
          }
          case VType::UInt:
          case VType::Bit:
          case VType::Bool:
            return make_int(static_cast<std::int64_t>(~v.bits + 1));
          default:
            // Negated in unsigned arithmetic, so that the most negative value wraps.
            return make_int(static_cast<std::int64_t>(~v.bits + 1), v.width);
        }
    }
    return v;
  }

  // A runtime comparison: a register (or bit) against a known integer.
  Result<Value> runtime_compare(Op3 op, const Value& left, const Value& right) {
    const bool left_runtime = left.runtime;
    const Value& reg = left_runtime ? left : right;
    const Value& other = left_runtime ? right : left;
    if (other.runtime || !reg.condition.empty() || !reg.reg.has_value() || !integral(other) ||
        !reg.lanes.empty() || reg.affine) {
      return lanes_compare(op, left, right);
    }
    sim::CompareOp compare = sim::CompareOp::Eq;
    switch (op) {
      case Op3::Eq:
        compare = sim::CompareOp::Eq;
        break;
      case Op3::Ne:
        compare = sim::CompareOp::Ne;
        break;
      case Op3::Lt:
        compare = left_runtime ? sim::CompareOp::Lt : sim::CompareOp::Gt;
        break;
      case Op3::Le:
        compare = left_runtime ? sim::CompareOp::Le : sim::CompareOp::Ge;
        break;
      case Op3::Gt:
        compare = left_runtime ? sim::CompareOp::Gt : sim::CompareOp::Lt;
        break;
      case Op3::Ge:
        compare = left_runtime ? sim::CompareOp::Ge : sim::CompareOp::Le;
        break;
      default:
        break;
    }
    CondNode node;
    node.kind = CondKind::Compare;
    node.op = compare;
    node.operand = *reg.reg;
    node.value = to_int(other);
    node.line = node_pos_.line;
    node.col = node_pos_.col;
    for (const std::uint64_t bit : reg.program_bits) {
      touched_[bit] = true;
    }
    Value out = make_bool(false);
    out.runtime = true;
    out.condition = {node};
    return out;
  }

  Result<Value> runtime_logic(Op3 op, const Value& left, const Value& right) {
    QASM_TRY_ASSIGN(std::vector<CondNode> l, as_condition(left));
    QASM_TRY_ASSIGN(std::vector<CondNode> r, as_condition(right));
    Value out = make_bool(false);
    out.runtime = true;
    out.condition = joined(op == Op3::And ? CondKind::And : CondKind::Or, std::move(l),
                           std::move(r), node_pos_);
    return out;
  }

  Result<Value> binary(Op3 op, const Value& left, const Value& right) {
    if (left.runtime || right.runtime) {
      switch (op) {
        case Op3::And:
        case Op3::Or:
          if (!left.runtime && to_bool(left) == (op == Op3::And)) {
            return right.condition.empty() && right.program_bits.size() != 1
                       ? runtime_compare(Op3::Ne, right, make_int(0))
                       : right;
          }
          if (!right.runtime && to_bool(right) != (op == Op3::And)) {
            return make_bool(op == Op3::Or);
          }
          if (!right.runtime) {
            return left;
          }
          return runtime_logic(op, left, right);
        case Op3::Eq:
        case Op3::Ne:
        case Op3::Lt:
        case Op3::Le:
        case Op3::Gt:
        case Op3::Ge:
          return runtime_compare(op, left, right);
        default:
          return runtime_arithmetic(op, left, right);
      }
    }
    // OpenQASM 2 computes in reals only; a gate parameter divides as reals (`arccos(3 / 5)`
    // means 0.6 there).
    const bool real = in_.version == 2 || (op == Op3::Div && real_literals_) ||
                      left.type == VType::Float || right.type == VType::Float ||
                      left.type == VType::Duration || right.type == VType::Duration;
    const bool angle = left.type == VType::Angle || right.type == VType::Angle;
    switch (op) {
      case Op3::And:
        return make_bool(to_bool(left) && to_bool(right));
      case Op3::Or:
        return make_bool(to_bool(left) || to_bool(right));
      case Op3::Eq:
      case Op3::Ne:
      case Op3::Lt:
      case Op3::Le:
      case Op3::Gt:
      case Op3::Ge: {
        int order = 0;
        if (real || angle) {
          const double a = to_real(left);
          const double b = to_real(right);
          if (op == Op3::Ne) {
            return make_bool(a != b);
          }
          if (std::isnan(a) || std::isnan(b)) {
            return make_bool(false);
          }
          order = a < b ? -1 : (a > b ? 1 : 0);
        } else {
          const bool left_signed = left.type == VType::Int;
          const bool right_signed = right.type == VType::Int;
          const std::int64_t a = to_int(left);
          const std::int64_t b = to_int(right);
          if (!left_signed && !right_signed) {
            order = left.bits < right.bits ? -1 : (left.bits > right.bits ? 1 : 0);
          } else {
            order = a < b ? -1 : (a > b ? 1 : 0);
          }
        }
        switch (op) {
          case Op3::Eq:
            return make_bool(order == 0);
          case Op3::Ne:
            return make_bool(order != 0);
          case Op3::Lt:
            return make_bool(order < 0);
          case Op3::Le:
            return make_bool(order <= 0);
          case Op3::Gt:
            return make_bool(order > 0);
          default:
            return make_bool(order >= 0);
        }
      }
      default:
        break;
    }
    if (angle) {
      return angle_arithmetic(op, left, right);
    }
    if (real) {
      const double a = to_real(left);
      const double b = to_real(right);
      switch (op) {
        case Op3::Add:
          return make_float(a + b);
        case Op3::Sub:
          return make_float(a - b);
        case Op3::Mul:
          return make_float(a * b);
        case Op3::Div:
          return make_float(a / b);
        case Op3::Mod:
          return make_float(std::fmod(a, b));
        case Op3::Pow:
        case Op3::BitXor:  // `^` between reals: the power of OpenQASM 2 texts
          return make_float(std::pow(a, b));
        default:
          return lower_error(emsg::bad_operand(op_text(op), pos_), pos_);
      }
    }
    return integer_arithmetic(op, left, right);
  }

  static std::string_view op_text(Op3 op) {
    static constexpr std::string_view TEXTS[] = {
        "+", "-",  "*",  "/",  "%",  "**", "<<", ">>", "&", "|",
        "^", "&&", "||", "==", "!=", "<",  "<=", ">",  ">="};
    const auto k = static_cast<std::size_t>(op);
    return k < std::size(TEXTS) ? TEXTS[k] : std::string_view("?");
  }

  // Integer arithmetic: signed when either side is a signed int, in the wider width; division
  // truncates toward zero, and the result wraps as the type declares.
  Result<Value> integer_arithmetic(Op3 op, const Value& left, const Value& right) {
    const bool is_signed = left.type == VType::Int || right.type == VType::Int;
    const unsigned width = std::max(left.type == VType::Bool ? 1u : left.width,
                                    right.type == VType::Bool ? 1u : right.width);
    const bool bits = left.type == VType::Bit && right.type == VType::Bit;
    const std::uint64_t a = is_signed ? static_cast<std::uint64_t>(to_int(left)) : left.bits;
    const std::uint64_t b = is_signed ? static_cast<std::uint64_t>(to_int(right)) : right.bits;
    const auto result = [&](std::uint64_t v) {
      if (bits) {
        return make_bits(v, width);
      }
      return is_signed ? make_int(static_cast<std::int64_t>(v), width) : make_uint(v, width);
    };
    // Shifts keep the left operand's type and width.
    const auto shifted = [&](std::uint64_t v) {
      Value out = left;
      out.bits = v & mask(left.width);
      return out;
    };
    switch (op) {
      case Op3::Add:
        return result(a + b);
      case Op3::Sub:
        return result(a - b);
      case Op3::Mul:
        return result(a * b);
      case Op3::Div:
      case Op3::Mod:
        if (b == 0) {
          return lower_error(emsg::division_by_zero(pos_), pos_);
        }
        if (is_signed) {
          const auto sa = static_cast<std::int64_t>(a);
          const auto sb = static_cast<std::int64_t>(b);
          if (sa == std::numeric_limits<std::int64_t>::min() && sb == -1) {
            return result(op == Op3::Div ? a : 0);
          }
          return result(static_cast<std::uint64_t>(op == Op3::Div ? sa / sb : sa % sb));
        }
        return result(op == Op3::Div ? a / b : a % b);
      case Op3::Pow: {
        if (is_signed && static_cast<std::int64_t>(b) < 0) {
          return make_float(std::pow(static_cast<double>(static_cast<std::int64_t>(a)),
                                     static_cast<double>(static_cast<std::int64_t>(b))));
        }
        std::uint64_t power = 1;
        std::uint64_t base = a;
        for (std::uint64_t e = b; e > 0; e >>= 1) {
          if (e & 1) {
            power *= base;
          }
          base *= base;
        }
        return result(power);
      }
      case Op3::Shl:
        return shifted(b >= 64 ? 0 : left.bits << b);
      case Op3::Shr:
        if (left.type == VType::Int) {
          const std::int64_t s = as_signed(left.bits, left.width);
          return shifted(static_cast<std::uint64_t>(b >= 64 ? (s < 0 ? -1 : 0) : s >> b));
        }
        return shifted(b >= 64 ? 0 : (left.bits & mask(left.width)) >> b);
      case Op3::BitAnd:
        return result(a & b);
      case Op3::BitOr:
        return result(a | b);
      case Op3::BitXor:
        return result(a ^ b);
      default:
        return lower_error(emsg::bad_operand(op_text(op), pos_), pos_);
    }
  }

  // angle ± angle, -angle, angle * or / an unsigned integer, angle / angle, shifts: exact on
  // the angle's bits; anything else with an angle is computed in radians.
  Result<Value> angle_arithmetic(Op3 op, const Value& left, const Value& right) {
    const bool both = left.type == VType::Angle && right.type == VType::Angle;
    const Value& a = left.type == VType::Angle ? left : right;
    const Value& other = left.type == VType::Angle ? right : left;
    Value out = a;
    const std::uint64_t m = mask(a.width);
    if (both && left.width == right.width && (op == Op3::Add || op == Op3::Sub)) {
      out.bits = (op == Op3::Add ? left.bits + right.bits : left.bits - right.bits) & m;
      return out;
    }
    if (both && op == Op3::Div && right.bits != 0) {
      return make_uint(left.bits / right.bits, left.width);
    }
    if (!both && is_integer(other)) {
      const std::uint64_t k = static_cast<std::uint64_t>(to_int(other));
      if (op == Op3::Mul) {
        out.bits = (a.bits * k) & m;
        return out;
      }
      if (op == Op3::Div && left.type == VType::Angle && k != 0) {
        out.bits = (a.bits / k) & m;
        return out;
      }
      if ((op == Op3::Shl || op == Op3::Shr) && left.type == VType::Angle) {
        out.bits = k >= 64 ? 0 : ((op == Op3::Shl ? a.bits << k : a.bits >> k) & m);
        return out;
      }
    }
    return binary(op, make_float(to_real(left)), make_float(to_real(right)));
  }

  Result<Value> call(const ExprNode& node) {
    std::string name = node.name;
    if (node.kind == ExprKind::FuncCall) {
      static constexpr std::string_view NAMES[] = {"sin", "cos", "tan", "exp", "ln", "sqrt"};
      name = std::string(NAMES[static_cast<unsigned>(node.func)]);
    }
    if (const auto found = defs_.find(name); found != defs_.end()) {
      return subroutine_call(*found->second, node);
    }
    std::vector<Value> args;
    const std::vector<std::size_t> arg_nodes =
        node.kind == ExprKind::FuncCall ? std::vector<std::size_t>{node.left} : node.args;
    bool runtime = false;
    for (const std::size_t arg : arg_nodes) {
      QASM_TRY_ASSIGN(Value v, evaluate_node(arg));
      runtime = runtime || v.runtime;
      args.push_back(std::move(v));
    }
    if (runtime && name != "sizeof") {
      if ((name == "rotl" || name == "rotr") && args.size() == 2 && args[0].runtime &&
          !args[1].runtime && is_integer(args[1]) && !args[0].affine) {
        // A rotation moves lanes.
        QASM_TRY_ASSIGN(const std::vector<Lane> lanes, lanes_of(args[0]));
        const auto w = static_cast<std::int64_t>(lanes.size());
        std::int64_t k = to_int(args[1]) % w;
        k = ((name == "rotr" ? -k : k) + w) % w;
        std::vector<Lane> out(lanes.size());
        for (std::int64_t j = 0; j < w; ++j) {
          out[static_cast<std::size_t>((j + k) % w)] = lanes[static_cast<std::size_t>(j)];
        }
        return lanes_value(args[0].type, std::move(out));
      }
      return lower_error(emsg::runtime_nonlinear(name, pos_), pos_);
    }
    return builtin_function(name, args);
  }

  Result<Value> builtin_function(const std::string& name, const std::vector<Value>& args) {
    const auto want = [&](std::size_t n) -> Status {
      if (args.size() != n) {
        return lower_error(emsg::function_arguments(name, n, args.size(), pos_), pos_);
      }
      return Ok{};
    };
    struct Real1 {
      std::string_view name;
      double (*f)(double);
    };
    static constexpr Real1 REAL1[] = {
        {"sin", [](double x) { return std::sin(x); }},
        {"cos", [](double x) { return std::cos(x); }},
        {"tan", [](double x) { return std::tan(x); }},
        {"arcsin", [](double x) { return std::asin(x); }},
        {"arccos", [](double x) { return std::acos(x); }},
        {"arctan", [](double x) { return std::atan(x); }},
        {"exp", [](double x) { return std::exp(x); }},
        {"log", [](double x) { return std::log(x); }},
        {"ln", [](double x) { return std::log(x); }},
        {"sqrt", [](double x) { return std::sqrt(x); }},
    };
    for (const Real1& f : REAL1) {
      if (f.name == name) {
        QASM_TRY(want(1));
        return make_float(f.f(to_real(args[0])));
      }
    }
    if (name == "floor" || name == "ceiling") {
      QASM_TRY(want(1));
      if (is_integer(args[0])) {
        return args[0];
      }
      return make_float(name == "floor" ? std::floor(to_real(args[0]))
                                        : std::ceil(to_real(args[0])));
    }
    if (name == "pow") {
      QASM_TRY(want(2));
      return binary(Op3::Pow, args[0], args[1]);
    }
    if (name == "mod") {
      QASM_TRY(want(2));
      if (is_integer(args[0]) && is_integer(args[1])) {
        return binary(Op3::Mod, args[0], args[1]);
      }
      // The float remainder takes the divisor's sign, as the language reference defines mod.
      const double a = to_real(args[0]);
      const double b = to_real(args[1]);
      return make_float(a - b * std::floor(a / b));
    }
    if (name == "popcount") {
      QASM_TRY(want(1));
      if (!is_integer(args[0])) {
        return lower_error(emsg::bad_operand("popcount", pos_), pos_);
      }
      return make_uint(
          static_cast<std::uint64_t>(std::popcount(args[0].bits & mask(args[0].width))));
    }
    if (name == "rotl" || name == "rotr") {
      QASM_TRY(want(2));
      const Value& v = args[0];
      if (!is_integer(v) || !is_integer(args[1])) {
        return lower_error(emsg::bad_operand(name, pos_), pos_);
      }
      const unsigned w = v.width == 0 ? 64 : v.width;
      std::int64_t k = to_int(args[1]) % static_cast<std::int64_t>(w);
      if (name == "rotr") {
        k = -k;
      }
      k = (k + w) % w;
      const std::uint64_t bits = v.bits & mask(w);
      Value out = v;
      out.bits = k == 0 ? bits : ((bits << k) | (bits >> (w - k))) & mask(w);
      return out;
    }
    if (name == "sizeof") {
      if (args.empty()) {
        return lower_error(emsg::function_arguments(name, 1, 0, pos_), pos_);
      }
      return make_uint(args[0].width);
    }
    if (name == "real" || name == "imag" || name == "durationof") {
      return lower_error(emsg::function_not_read(name, pos_), pos_);
    }
    return lower_error(emsg::undefined_function(name, pos_), pos_);
  }

  // Inlines a subroutine: arguments bound in a fresh scope that sees the global names, the
  // body run, the returned value converted to the declared type.
  Result<Value> subroutine_call(const Stmt& def_stmt, const ExprNode& node) {
    const DefStmt& def = std::get<DefStmt>(def_stmt.node);
    if (std::find(call_stack_.begin(), call_stack_.end(), def.name) != call_stack_.end()) {
      return unsupported_error(emsg::recursion(def.name, pos_), pos_);
    }
    if (node.args.size() != def.params.size()) {
      return lower_error(
          emsg::function_arguments(def.name, def.params.size(), node.args.size(), pos_), pos_);
    }
    QASM_TRY(spend(1 + node.args.size()));
    Scope scope;
    for (std::size_t k = 0; k < def.params.size(); ++k) {
      const Parameter& param = def.params[k];
      Variable var;
      if (param.type.base == TypeBase::Qubit) {
        QASM_TRY_ASSIGN(std::vector<std::uint64_t> qubits, qubit_operand_node(node.args[k]));
        var.is_qubit = true;
        var.value.type = VType::Qubits;
        var.value.qubits = std::move(qubits);
      } else {
        QASM_TRY_ASSIGN(const Value v, evaluate_node(node.args[k]));
        std::optional<std::uint64_t> width;
        if (param.type.width.has_value()) {
          QASM_TRY_ASSIGN(const Value w, evaluate(*param.type.width));
          width = static_cast<std::uint64_t>(to_int(w));
        }
        if (v.runtime && !v.program_bits.empty() && param.type.base == TypeBase::Bit) {
          // Bits a run decides are passed as the bits themselves.
          var.is_bits = true;
          var.program_bits = v.program_bits;
          var.reg = v.reg.has_value() ? v.reg->name : std::string();
          var.value = make_bits(0, static_cast<unsigned>(v.program_bits.size()));
        } else {
          QASM_TRY_ASSIGN(var.value, convert(v, zero_of(param.type.base, width), true));
        }
      }
      var.depth = runtime_depth_;
      scope[param.name] = std::move(var);
    }
    call_stack_.push_back(def.name);
    frames_.push_back(scopes_.size());
    scopes_.push_back(std::move(scope));
    std::vector<std::size_t> saved_loops = std::move(loops_);
    loops_.clear();
    const std::size_t saved_base = call_runtime_base_;
    call_runtime_base_ = runtime_depth_;
    return_value_.reset();
    const SourcePos saved_pos = pos_;
    const FileIndex saved_file = file_;
    const bool saved_mode = condition_mode_;
    const bool saved_literals = literal_conditions_;
    const bool saved_reals = real_literals_;
    condition_mode_ = false;
    literal_conditions_ = false;
    real_literals_ = false;
    Status status = block(def.body, false);
    condition_mode_ = saved_mode;
    literal_conditions_ = saved_literals;
    real_literals_ = saved_reals;
    pos_ = saved_pos;
    file_ = saved_file;
    loops_ = std::move(saved_loops);
    call_runtime_base_ = saved_base;
    scopes_.pop_back();
    frames_.pop_back();
    call_stack_.pop_back();
    const Flow flow = flow_;
    flow_ = flow == Flow::End ? Flow::End : Flow::Normal;
    QASM_TRY(std::move(status));
    std::optional<Value> result = std::move(return_value_);
    return_value_.reset();
    if (!def.result.has_value()) {
      return make_bool(false);
    }
    if (!result.has_value()) {
      return lower_error(emsg::missing_return(def.name, pos_), pos_);
    }
    if (result->runtime && def.result->base != TypeBase::Int &&
        def.result->base != TypeBase::UInt && def.result->base != TypeBase::Angle) {
      return *result;
    }
    std::optional<std::uint64_t> width;
    if (def.result->width.has_value()) {
      QASM_TRY_ASSIGN(const Value w, evaluate(*def.result->width));
      width = static_cast<std::uint64_t>(to_int(w));
    }
    return convert(*result, zero_of(def.result->base, width), true);
  }

  const Program& in_;
  const InputValues& inputs_;
  const ReadLimits limits_;
  const std::span<const std::string> files_;
  Program out_;
  std::vector<Stmt>* target_ = nullptr;
  OpList* sink_ = nullptr;
  SourcePos pos_{};
  FileIndex file_ = 0;

  std::vector<Scope> scopes_;
  // Where the scopes of the subroutine or gate being expanded begin (0: the top level).
  std::vector<std::size_t> frames_;
  std::unordered_map<std::string, const Stmt*> gates_;
  std::unordered_map<std::string, const Stmt*> defs_;
  std::vector<std::string> gate_stack_;
  std::vector<std::string> call_stack_;
  std::optional<Value> return_value_;
  Flow flow_ = Flow::Normal;
  bool condition_mode_ = false;
  bool literal_conditions_ = false;
  bool real_literals_ = false;
  // The position of the expression node being evaluated, which runtime conditions record.
  SourcePos node_pos_{};
  // Per enclosing loop: the runtime depth it runs at (RUNTIME_LOOP for a loop a run decides).
  std::vector<std::size_t> loops_;
  std::size_t runtime_depth_ = 0;
  std::size_t call_runtime_base_ = 0;

  std::vector<QubitRegister> qubit_regs_;
  std::uint64_t qubit_count_ = 0;
  std::uint64_t physical_count_ = 0;
  std::vector<BitRegister> bit_regs_;
  std::unordered_map<std::string, bool> bit_names_;
  std::unordered_map<std::string, std::uint64_t> register_offsets_;
  // Per program bit: its value before the first instruction, its value while reading when
  // known, and whether an instruction already wrote or read it.
  std::vector<std::uint8_t> initial_;
  mutable std::vector<std::optional<std::uint8_t>> known_;
  mutable std::vector<bool> touched_;
  std::vector<std::uint64_t> writes_;
  std::unordered_map<std::string, bool> used_inputs_;
  std::unordered_map<const Stmt*, bool> declared_early_;
  std::unordered_map<const DeclStmt*, bool> early_;
  bool declaring_early_ = false;
  std::uint64_t emitted_ = 0;
  std::uint64_t steps_ = 0;
};

}  // namespace

Result<Program> elaborate_program(const Program& parsed, const InputValues& inputs,
                                  const ReadLimits& limits, std::span<const std::string> files) {
  return Elaborator(parsed, inputs, limits, files).run();
}

}  // namespace vorn::qasm
