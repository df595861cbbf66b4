// The two lowering passes and the reader's entry point.
#include "qasm/lowering.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "qasm/gate_library.h"
#include "qasm/lexer.h"
#include "qasm/messages.h"
#include "qasm/parser.h"

namespace vorn::qasm {

namespace {

// Adds a register to its table after the ones declared before it. `kind` and `count_name`
// word the messages ("qreg/qubit", "qubit").
Status declare(RegisterTable& table, std::uint64_t& counter, const std::string& name,
               std::uint64_t size, const char* kind, const char* count_name) {
  if (table.find(name) != table.end()) {
    return lower_error(messages::duplicate_declaration(kind, name));
  }
  if (size > std::numeric_limits<std::uint64_t>::max() - counter) {
    return lower_error(messages::register_count_overflow(kind, name, count_name));
  }
  table.emplace(name, Register{counter, size});
  counter += size;
  return Ok{};
}

class Lowering {
 public:
  Lowering(const Program& program, const ReadLimits& limits) : program_(program), limits_(limits) {}

  Result<sim::Circuit> run() {
    if (Status s = declarations(); !s.ok()) {
      return std::move(s).take_error();
    }
    sim::Circuit circuit(qubit_count_);
    GateContext context{program_.exprs, qubit_regs_, gate_defs_, circuit, limits_};
    const GateEnv top_level;
    for (const Stmt& stmt : program_.stmts) {
      if (Status s = execute(context, top_level, stmt); !s.ok()) {
        return std::move(s).take_error();
      }
    }
    return circuit;
  }

 private:
  // Pass 1, in text order.
  Status declarations() {
    for (const Stmt& stmt : program_.stmts) {
      Status status = std::visit([this](const auto& node) { return declare_one(node); }, stmt.node);
      if (!status.ok()) {
        return status;
      }
    }
    return Ok{};
  }

  Status declare_one(const IncludeStmt& stmt) {
    if (stmt.path == "qelib1.inc" || stmt.path == "stdgates.inc") {
      return Ok{};
    }
    return unsupported_error(messages::include_not_supported(stmt.path, {stmt.line, stmt.col}),
                             messages::PLANNED_INCLUDES);
  }
  Status declare_one(const QregStmt& stmt) {
    return declare(qubit_regs_, qubit_count_, stmt.name, stmt.size, "qreg/qubit", "qubit");
  }
  Status declare_one(const CregStmt& stmt) {
    return declare(cbit_regs_, cbit_count_, stmt.name, stmt.size, "creg/bit", "classical-bit");
  }
  Status declare_one(const GateDefStmt& stmt) {
    if (!gate_defs_.emplace(stmt.def.name, &stmt.def).second) {
      return lower_error(messages::duplicate_gate_definition(stmt.def.name));
    }
    return Ok{};
  }
  Status declare_one(const OpaqueStmt& stmt) {
    return unsupported_error(messages::opaque_not_supported(stmt.name, {stmt.line, stmt.col}),
                             messages::PLANNED_DYNAMIC);
  }
  template <typename Other>
  Status declare_one(const Other&) {
    return Ok{};
  }

  // Pass 2, one statement.
  Status execute(GateContext& context, const GateEnv& top_level, const Stmt& stmt) {
    if (const auto* call = std::get_if<GateCallStmt>(&stmt.node)) {
      return expand_gate_call(context, call->call, top_level, 0);
    }
    if (const auto* measure = std::get_if<MeasureStmt>(&stmt.node)) {
      return lower_measure(context, top_level, *measure);
    }
    if (const auto* reset = std::get_if<ResetStmt>(&stmt.node)) {
      return unsupported_error(messages::reset_not_supported({reset->line, reset->col}),
                               messages::PLANNED_DYNAMIC);
    }
    if (const auto* if_stmt = std::get_if<IfStmt>(&stmt.node)) {
      return unsupported_error(messages::if_not_supported({if_stmt->line, if_stmt->col}),
                               messages::PLANNED_DYNAMIC);
    }
    if (const auto* other = std::get_if<UnsupportedStmt>(&stmt.node)) {
      return unsupported_error(
          messages::dynamic_not_supported(other->keyword, {other->line, other->col}),
          messages::PLANNED_DYNAMIC);
    }
    // Declarations were handled in pass 1; a barrier appends nothing and looks nothing up.
    return Ok{};
  }

  Status lower_measure(GateContext& context, const GateEnv& top_level, const MeasureStmt& stmt) {
    const SourcePos pos{stmt.line, stmt.col};
    Result<QubitRange> qubits = resolve_qubits(context, stmt.qarg, top_level);
    if (!qubits.ok()) {
      QasmError error = std::move(qubits).take_error();
      if (error.kind == QasmErrorKind::Lower) {
        return lower_error(messages::measure_where(pos) + ": " + error.message);
      }
      return error;
    }
    const auto found = cbit_regs_.find(stmt.carg.name);
    if (found == cbit_regs_.end()) {
      return lower_error(messages::measure_where(pos) + ": " +
                         messages::undefined_creg(stmt.carg.name));
    }
    QubitRange cbits{found->second.offset, found->second.size};
    if (stmt.carg.index.has_value()) {
      const std::uint64_t index = *stmt.carg.index;
      if (index >= found->second.size) {
        return cbit_out_of_range_error(index, found->second.size);
      }
      cbits = QubitRange{found->second.offset + index, 1};
    }
    const QubitRange& q = qubits.value();
    if (q.count != cbits.count) {
      return lower_error(messages::measure_size_mismatch(pos, q.count, cbits.count));
    }
    const std::uint64_t max_operations = context.limits.max_operations;
    if (q.count > max_operations - std::min(max_operations, context.circuit.ops().size())) {
      return lower_error(messages::measure_too_many_operations(pos, max_operations));
    }
    for (std::uint64_t k = 0; k < q.count; ++k) {
      context.circuit.measure(q[k], cbits[k]);
    }
    return Ok{};
  }

  const Program& program_;
  const ReadLimits limits_;
  RegisterTable qubit_regs_;
  RegisterTable cbit_regs_;
  GateDefTable gate_defs_;
  std::uint64_t qubit_count_ = 0;
  std::uint64_t cbit_count_ = 0;
};

}  // namespace

Result<sim::Circuit> lower_program(const Program& program, const ReadLimits& limits) {
  return Lowering(program, limits).run();
}

Result<sim::Circuit> parse_qasm(std::string_view text) { return parse_qasm(text, ReadLimits{}); }

Result<sim::Circuit> parse_qasm(std::string_view text, const ReadLimits& limits) {
  Result<std::vector<Token>> tokens = tokenize(text);
  if (!tokens.ok()) {
    return std::move(tokens).take_error();
  }
  Result<Program> program = parse_program(std::move(tokens).value());
  if (!program.ok()) {
    return std::move(program).take_error();
  }
  return lower_program(program.value(), limits);
}

}  // namespace vorn::qasm
