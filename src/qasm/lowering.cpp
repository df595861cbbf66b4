// The two lowering passes and the reader's entry point, for both modes: the specified mode
// builds a circuit, the dynamic mode a program with measurements, resets and jumps.
#include "qasm/lowering.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "qasm/elaborate.h"
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

// What may still be appended to a list of `used` entries under `limit`.
std::uint64_t room(std::uint64_t limit, std::uint64_t used) {
  return limit - std::min(limit, used);
}

// The condition pool is indexed with 32 bits.
constexpr std::uint64_t MAX_CONDITION_NODES = std::numeric_limits<std::uint32_t>::max();

class Lowering {
 public:
  Lowering(const Program& program, ReaderMode mode, const ReadLimits& limits,
           std::span<const std::string> files)
      : program_(program), mode_(mode), limits_(limits), files_(files) {}

  Result<sim::Circuit> circuit() {
    if (Status s = declarations(); !s.ok()) {
      return std::move(s).take_error();
    }
    sim::Circuit circuit(qubit_count_);
    GateContext context{program_.exprs, qubit_regs_, gate_defs_, circuit, limits_};
    for (const Stmt& stmt : program_.stmts) {
      if (Status s = execute(context, stmt); !s.ok()) {
        return std::move(s).take_error();
      }
    }
    return circuit;
  }

  Result<sim::Program> program() {
    if (Status s = declarations(); !s.ok()) {
      return std::move(s).take_error();
    }
    Dynamic dynamic(*this);
    QASM_TRY(initial_bits(dynamic.out));
    QASM_TRY(dynamic.block(program_.stmts, false));
    dynamic.out.global_phase = dynamic.main.global_phase();
    return std::move(dynamic.out);
  }

 private:
  // Pass 1, in text order.
  Status declarations() {
    for (const Stmt& stmt : program_.stmts) {
      Status status = std::visit([this](const auto& node) { return declare_one(node); }, stmt.node);
      if (!status.ok()) {
        return attributed(std::move(status).take_error(), stmt);
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
    const std::uint64_t offset = cbit_count_;
    QASM_TRY(declare(cbit_regs_, cbit_count_, stmt.name, stmt.size, "creg/bit", "classical-bit"));
    if (!stmt.hidden) {
      bit_registers_.push_back(sim::BitRegister{stmt.name, offset, stmt.size});
    }
    if (stmt.initial.find('1') != std::string::npos) {
      initialised_.push_back(&stmt);
    }
    return Ok{};
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

  // In the dynamic mode an error names the file its position counts lines in, and an error
  // without a position of its own gets the statement's. The specified mode's texts stay as
  // they are.
  QasmError attributed(QasmError error, const Stmt& stmt) const {
    if (mode_ != ReaderMode::Dynamic || error.file.has_value()) {
      return error;
    }
    error.file = stmt.file < files_.size() ? files_[stmt.file] : std::string();
    if (!has_position(error)) {
      error.statement = SourcePos{stmt.line, stmt.col};
    }
    return error;
  }

  // Pass 2 of the specified mode, one statement.
  Status execute(GateContext& context, const Stmt& stmt) {
    if (const auto* call = std::get_if<GateCallStmt>(&stmt.node)) {
      return expand_gate_call(context, call->call, top_level_, 0);
    }
    if (const auto* measure = std::get_if<MeasureStmt>(&stmt.node)) {
      return lower_measure(context, *measure);
    }
    return refused(stmt);
  }

  // The statements the specified mode refuses in pass 2; nothing for the others (declarations
  // were handled in pass 1; a barrier appends nothing and looks nothing up).
  static Status refused(const Stmt& stmt) {
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
    return Ok{};
  }

  // A classical operand to its flat bit indices: a whole register or one element.
  Result<QubitRange> resolve_cbits(const RegRef& ref) const {
    const auto found = cbit_regs_.find(ref.name);
    if (found == cbit_regs_.end()) {
      return lower_error(messages::undefined_creg(ref.name));
    }
    const Register& reg = found->second;
    if (!ref.index.has_value()) {
      return QubitRange{reg.offset, reg.size};
    }
    if (*ref.index >= reg.size) {
      return cbit_out_of_range_error(*ref.index, reg.size);
    }
    return QubitRange{reg.offset + *ref.index, 1};
  }

  Status lower_measure(GateContext& context, const MeasureStmt& stmt) {
    const SourcePos pos{stmt.line, stmt.col};
    Result<QubitRange> qubits = resolve_qubits(context, stmt.qarg, top_level_);
    if (!qubits.ok()) {
      return located(std::move(qubits).take_error(), pos);
    }
    Result<QubitRange> cbits = resolve_cbits(stmt.carg);
    if (!cbits.ok()) {
      return located(std::move(cbits).take_error(), pos);
    }
    const QubitRange& q = qubits.value();
    const QubitRange& c = cbits.value();
    if (q.count != c.count) {
      return lower_error(messages::measure_size_mismatch(pos, q.count, c.count));
    }
    const std::uint64_t max_operations = context.limits.max_operations;
    if (q.count > room(max_operations, context.circuit.ops().size())) {
      return lower_error(messages::measure_too_many_operations(pos, max_operations));
    }
    for (std::uint64_t k = 0; k < q.count; ++k) {
      context.circuit.measure(q[k], c[k]);
    }
    return Ok{};
  }

  // The specified mode words a refused measurement operand "at line L:C: ...".
  static QasmError located(QasmError error, SourcePos pos) {
    if (error.kind == QasmErrorKind::Lower) {
      return lower_error(messages::measure_where(pos) + ": " + error.message);
    }
    return error;
  }

  // The register values that `bit[n] c = "..."` gave, as the program's initial bits.
  Status initial_bits(sim::Program& out) const {
    if (initialised_.empty()) {
      return Ok{};
    }
    if (cbit_count_ > limits_.max_operations) {
      const CregStmt& first = *initialised_.front();
      return lower_error(
          messages::initial_bits_too_many(first.name, cbit_count_, limits_.max_operations));
    }
    out.initial_bits.assign(cbit_count_, 0);
    for (const CregStmt* stmt : initialised_) {
      const std::uint64_t offset = cbit_regs_.find(stmt->name)->second.offset;
      // The rightmost character is bit 0.
      for (std::uint64_t i = 0; i < stmt->size; ++i) {
        out.initial_bits[offset + i] = stmt->initial[stmt->size - 1 - i] == '1' ? 1 : 0;
      }
    }
    return Ok{};
  }

  // Pass 2 of the dynamic mode. Gate calls expand into a scratch circuit whose operations move
  // to the program after each statement: outside `if` bodies into `main`, whose global phase
  // is the program's (summed in text order, as the specified mode sums it); inside them into a
  // fresh `branch`, whose phase belongs to that body alone and is applied there by gates.
  struct Dynamic {
    explicit Dynamic(Lowering& lowering)
        : self(lowering),
          main(lowering.qubit_count_),
          branch(lowering.qubit_count_),
          main_context{lowering.program_.exprs, lowering.qubit_regs_, lowering.gate_defs_, main,
                       lowering.limits_},
          branch_context{lowering.program_.exprs, lowering.qubit_regs_, lowering.gate_defs_, branch,
                         lowering.limits_} {
      main_context.files = lowering.files_;
      branch_context.files = lowering.files_;
      out.n_qubits = lowering.qubit_count_;
      out.n_bits = lowering.cbit_count_;
      out.registers = lowering.bit_registers_;
    }

    Status block(const std::vector<Stmt>& stmts, bool conditional) {
      for (const Stmt& stmt : stmts) {
        if (Status s = statement(stmt, conditional); !s.ok()) {
          return self.attributed(std::move(s).take_error(), stmt);
        }
      }
      return Ok{};
    }

    Status statement(const Stmt& stmt, bool conditional) {
      if (const auto* call = std::get_if<GateCallStmt>(&stmt.node)) {
        return gate_call(call->call, conditional, {stmt.line, stmt.col});
      }
      if (const auto* measure = std::get_if<MeasureStmt>(&stmt.node)) {
        return this->measure(*measure);
      }
      if (const auto* reset = std::get_if<ResetStmt>(&stmt.node)) {
        return this->reset(*reset);
      }
      if (const auto* branch_stmt = std::get_if<BranchStmt>(&stmt.node)) {
        return this->branch_stmt(*branch_stmt);
      }
      if (const auto* loop = std::get_if<LoopStmt>(&stmt.node)) {
        return this->loop(*loop, stmt);
      }
      if (const auto* set = std::get_if<SetBitStmt>(&stmt.node)) {
        return this->set_bit(*set, {stmt.line, stmt.col});
      }
      return refused(stmt);
    }

    std::uint64_t instruction_room() const {
      return room(self.limits_.max_operations, out.instructions.size());
    }

    // Refuses `what` when the program has no room for `need` more instructions.
    Status make_room(std::uint64_t need, std::string_view what, SourcePos pos) const {
      if (need > instruction_room()) {
        return lower_error(
            messages::program_too_many_instructions(what, pos, self.limits_.max_operations), pos);
      }
      return Ok{};
    }

    Status gate_call(const GateCall& call, bool conditional, SourcePos pos) {
      if (call.controlled) {
        QASM_TRY(make_room(1, call.name, pos));
        out.instructions.emplace_back(*call.controlled);
        return Ok{};
      }
      if (conditional) {
        branch = sim::Circuit(self.qubit_count_);
      }
      sim::Circuit& circuit = conditional ? branch : main;
      GateContext& context = conditional ? branch_context : main_context;
      context.steps = steps;
      context.operations_elsewhere = out.instructions.size();
      Status status = expand_gate_call(context, call, self.top_level_, 0);
      steps = context.steps;
      QASM_TRY(std::move(status));
      std::optional<std::uint64_t> last_qubit;
      for (sim::Operation& op : circuit.take_ops()) {
        const sim::GateOp& gate = std::get<sim::GateOp>(op);
        last_qubit = gate.qubits[0];
        out.instructions.emplace_back(gate);
      }
      // NaN compares unequal too, and is applied as it is.
      if (conditional && branch.global_phase() != 0.0) {
        return branch_phase(branch.global_phase(), last_qubit, call, pos);
      }
      return Ok{};
    }

    // e^{i phase} on the whole state, inside an `if` body: diag(1, e^{2i phase}) followed by
    // Rz(-2 phase) = diag(e^{i phase}, e^{-i phase}) multiply every amplitude by e^{i phase}.
    // They act on the qubit of the body's last gate, or on qubit 0 after a bare gphase.
    Status branch_phase(double phase, std::optional<std::uint64_t> qubit, const GateCall& call,
                        SourcePos pos) {
      if (!qubit.has_value() && self.qubit_count_ == 0) {
        return lower_error(messages::branch_phase_without_qubit(pos), pos);
      }
      QASM_TRY(make_room(2, call.name, pos));
      const std::uint64_t q = qubit.value_or(0);
      out.instructions.emplace_back(
          sim::GateOp{core::Gate{core::GateKind::U3, 0.0, 0.0, phase * 2.0}, {q, 0, 0}});
      out.instructions.emplace_back(
          sim::GateOp{core::Gate{core::GateKind::Rz, phase * -2.0}, {q, 0, 0}});
      return Ok{};
    }

    Status measure(const MeasureStmt& stmt) {
      const SourcePos pos{stmt.line, stmt.col};
      QASM_TRY_ASSIGN(const QubitRange q, resolve_qubits(main_context, stmt.qarg, self.top_level_));
      QASM_TRY_ASSIGN(const QubitRange c, self.resolve_cbits(stmt.carg));
      if (q.count != c.count) {
        return lower_error(messages::measure_size_mismatch(pos, q.count, c.count), pos);
      }
      QASM_TRY(make_room(q.count, "measure", pos));
      for (std::uint64_t k = 0; k < q.count; ++k) {
        out.instructions.emplace_back(sim::Measure{q[k], c[k]});
      }
      return Ok{};
    }

    Status reset(const ResetStmt& stmt) {
      const SourcePos pos{stmt.line, stmt.col};
      QASM_TRY_ASSIGN(const QubitRange q, resolve_qubits(main_context, stmt.qarg, self.top_level_));
      QASM_TRY(make_room(q.count, "reset", pos));
      for (std::uint64_t k = 0; k < q.count; ++k) {
        out.instructions.emplace_back(sim::Reset{q[k]});
      }
      return Ok{};
    }

    // JumpUnless over the then-body; with an else-body that appends something, a Jump over it
    // ends the then-body. An else-body that appends nothing leaves no jump, so that every Jump
    // the reader writes skips at least one instruction.
    Status branch_stmt(const BranchStmt& stmt) {
      const SourcePos pos{stmt.line, stmt.col};
      QASM_TRY_ASSIGN(const std::uint32_t condition, this->condition(stmt.condition));
      const auto jump_room = [&] { return make_room(1, "if", pos); };
      QASM_TRY(jump_room());
      const std::size_t test = out.instructions.size();
      out.instructions.emplace_back(sim::JumpUnless{condition, 0});
      QASM_TRY(block(stmt.then_body, true));
      std::size_t else_start = out.instructions.size();
      if (!stmt.else_body.empty()) {
        QASM_TRY(jump_room());
        const std::size_t jump = out.instructions.size();
        out.instructions.emplace_back(sim::Jump{0});
        QASM_TRY(block(stmt.else_body, true));
        if (out.instructions.size() == jump + 1) {
          out.instructions.pop_back();
        } else {
          std::get<sim::Jump>(out.instructions[jump]).target = out.instructions.size();
          else_start = jump + 1;
        }
      }
      std::get<sim::JumpUnless>(out.instructions[test]).target = else_start;
      return Ok{};
    }

    // A JumpUnless past the body, the body, and a Jump back to the test.
    // The loop's name in the message of a run that keeps going round it.
    Status loop(const LoopStmt& stmt, const Stmt& where) {
      const SourcePos pos{where.line, where.col};
      QASM_TRY_ASSIGN(const std::uint32_t condition, this->condition(stmt.condition));
      QASM_TRY(make_room(2, "while", pos));
      const std::size_t test = out.instructions.size();
      std::string name = "the 'while' loop at " + line_text(pos);
      if (where.file != 0 && where.file < self.files_.size() && !self.files_[where.file].empty()) {
        name += " of " + quoted(self.files_[where.file]);
      }
      out.loop_names.emplace_back(test, std::move(name));
      out.instructions.emplace_back(sim::JumpUnless{condition, 0});
      QASM_TRY(block(stmt.body, true));
      QASM_TRY(make_room(1, "while", pos));
      out.instructions.emplace_back(sim::Jump{test});
      std::get<sim::JumpUnless>(out.instructions[test]).target = out.instructions.size();
      return Ok{};
    }

    Status set_bit(const SetBitStmt& stmt, SourcePos pos) {
      QASM_TRY_ASSIGN(const std::uint32_t condition, this->condition(stmt.condition));
      QASM_TRY(make_room(1, "assignment", pos));
      out.instructions.emplace_back(sim::SetBit{stmt.bit, condition});
      return Ok{};
    }

    // Copies the condition's nodes into the program's pool, checked against the registers;
    // returns the pool index of its root.
    Result<std::uint32_t> condition(const CondRef& ref) {
      const std::uint64_t base = out.conditions.size();
      const std::uint64_t count = ref.end - ref.begin;
      const std::uint64_t limit = std::min(self.limits_.max_operations, MAX_CONDITION_NODES);
      if (count > room(limit, base)) {
        const CondNode& root = self.program_.conditions[ref.root()];
        const SourcePos pos{root.line, root.col};
        return lower_error(messages::program_too_many_instructions("condition", pos, limit), pos);
      }
      const auto mapped = [&](std::size_t index) {
        return static_cast<std::uint32_t>(base + (index - ref.begin));
      };
      for (std::size_t i = ref.begin; i < ref.end; ++i) {
        const CondNode& node = self.program_.conditions[i];
        sim::ConditionNode copy;
        switch (node.kind) {
          case CondKind::Bit: {
            QASM_TRY_ASSIGN(const Register bits, operand(node));
            copy.kind = sim::ConditionKind::Bit;
            copy.bit = bits.offset;
            break;
          }
          case CondKind::Compare: {
            QASM_TRY_ASSIGN(const Register bits, operand(node));
            QASM_TRY(fits(node, bits.size));
            copy.kind = sim::ConditionKind::Compare;
            copy.compare = node.op;
            copy.offset = bits.offset;
            copy.size = bits.size;
            copy.value = node.value;
            break;
          }
          case CondKind::Not:
            copy.kind = sim::ConditionKind::Not;
            copy.left = mapped(node.left);
            break;
          case CondKind::And:
          case CondKind::Or:
            copy.kind =
                node.kind == CondKind::And ? sim::ConditionKind::And : sim::ConditionKind::Or;
            copy.left = mapped(node.left);
            copy.right = mapped(node.right);
            break;
          case CondKind::Const:
            copy.kind = sim::ConditionKind::Const;
            copy.value = node.value;
            break;
        }
        out.conditions.push_back(copy);
      }
      return mapped(ref.root());
    }

    // The bits a condition's operand reads: one element, or a whole register, which stands
    // alone only when it has one bit.
    Result<Register> operand(const CondNode& node) const {
      const SourcePos pos{node.line, node.col};
      const auto found = self.cbit_regs_.find(node.operand.name);
      if (found == self.cbit_regs_.end()) {
        return lower_error(messages::undefined_creg_at("condition", pos, node.operand.name), pos);
      }
      const Register& reg = found->second;
      if (node.operand.index.has_value()) {
        const std::uint64_t index = *node.operand.index;
        if (index >= reg.size) {
          return lower_error(
              messages::bit_index_out_of_range(pos, node.operand.name, index, reg.size), pos);
        }
        return Register{reg.offset + index, 1};
      }
      if (node.kind == CondKind::Bit && reg.size != 1) {
        return lower_error(messages::condition_register_width(pos, node.operand.name, reg.size),
                           pos);
      }
      return reg;
    }

    // A compared value lies in [0, 2^size - 1].
    static Status fits(const CondNode& node, std::uint64_t size) {
      const SourcePos pos{node.line, node.col};
      if (node.value < 0) {
        return lower_error(messages::condition_negative_value(pos, node.value), pos);
      }
      if (size < 63) {
        const std::uint64_t max = (std::uint64_t{1} << size) - 1;
        if (static_cast<std::uint64_t>(node.value) > max) {
          return lower_error(
              messages::condition_value_too_wide(pos, node.operand.name, size, node.value, max),
              pos);
        }
      }
      return Ok{};
    }

    Lowering& self;
    sim::Program out;
    sim::Circuit main;
    sim::Circuit branch;
    GateContext main_context;
    GateContext branch_context;
    // Expansion steps spent so far, over both contexts.
    std::uint64_t steps = 0;
  };

  const Program& program_;
  const ReaderMode mode_;
  const ReadLimits limits_;
  const std::span<const std::string> files_;
  const GateEnv top_level_;
  RegisterTable qubit_regs_;
  RegisterTable cbit_regs_;
  GateDefTable gate_defs_;
  std::uint64_t qubit_count_ = 0;
  std::uint64_t cbit_count_ = 0;
  // Dynamic mode: the bit registers in declaration order, and those with an initialiser
  // holding a 1.
  std::vector<sim::BitRegister> bit_registers_;
  std::vector<const CregStmt*> initialised_;
};

}  // namespace

Result<sim::Circuit> lower_program(const Program& program, const ReadLimits& limits) {
  return Lowering(program, ReaderMode::Specified, limits, {}).circuit();
}

Result<sim::Program> lower_dynamic_program(const Program& program, const ReadLimits& limits,
                                           std::span<const std::string> files) {
  return lower_dynamic_program(program, limits, files, InputValues{});
}

Result<sim::Program> lower_dynamic_program(const Program& program, const ReadLimits& limits,
                                           std::span<const std::string> files,
                                           const InputValues& inputs) {
  Result<Program> elaborated = elaborate_program(program, inputs, limits, files);
  if (!elaborated.ok()) {
    return std::move(elaborated).take_error();
  }
  return Lowering(elaborated.value(), ReaderMode::Dynamic, limits, files).program();
}

Result<sim::Program> lower_dynamic_program(Program&& program, const ReadLimits& limits,
                                           std::span<const std::string> files,
                                           const InputValues& inputs) {
  Result<Program> elaborated = elaborate_program(program, inputs, limits, files);
  program = Program{};
  if (!elaborated.ok()) {
    return std::move(elaborated).take_error();
  }
  return Lowering(elaborated.value(), ReaderMode::Dynamic, limits, files).program();
}

Result<sim::Circuit> parse_qasm(std::string_view text) { return parse_qasm(text, ReadLimits{}); }

Result<sim::Circuit> parse_qasm(std::string_view text, const ReadLimits& limits) {
  Result<TokenList> tokens = tokenize(text);
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
