// The Program class of vorn._native. Its methods are the package's private building blocks:
// vorn.Program (pure Python) checks and converts the user's arguments, then calls these, which
// trust their operands only as far as the record's own checks go.
#include "program_type.h"

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "access.h"
#include "args.h"
#include "circuit_type.h"
#include "convert.h"
#include "guard.h"
#include "native_messages.h"
#include "qasm/exporter.h"
#include "qasm/format.h"
#include "qasm/program_reader.h"
#include "ref.h"
#include "simulator/unitary.h"
#include "static_type.h"
#include "unlocked.h"

namespace vorn::py {

PyTypeObject ProgramType{};

namespace {

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_cfunction(FastMethod method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

sim::Program& program_of(PyObject* self) { return as_program(self)->program; }

void check_qubit(const sim::Program& program, std::uint64_t qubit) {
  if (qubit >= program.n_qubits) {
    throw_text(PyExc_ValueError, native_messages::qubit_out_of_range(qubit, program.n_qubits));
  }
}

void check_bit(const sim::Program& program, std::uint64_t bit) {
  if (bit >= program.n_bits) {
    throw_text(PyExc_ValueError, native_messages::bit_out_of_range(bit, program.n_bits));
  }
}

// ---- constructor ------------------------------------------------------------------------------

constexpr Signature<2> kNew{"Program()", {"num_qubits", "num_bits"}};

PyObject* program_new(PyTypeObject* /*type*/, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kNew, args, kwargs);
    sim::Program program;
    program.n_qubits = to_index(bound[0], "num_qubits");
    program.n_bits = to_index(bound[1], "num_bits");
    if (program.n_bits > 0) {
      program.registers.push_back(sim::BitRegister{"c", 0, program.n_bits});
    }
    return new_program_object(std::move(program));
  });
}

void program_dealloc(PyObject* self) {
  std::destroy_at(&as_program(self)->program);
  Py_TYPE(self)->tp_free(self);
}

// ---- appends ------------------------------------------------------------------------------------

// gate(tag, theta, phi, lambda, qubits): a gate of the closed set by its tag, with its operands.
constexpr Signature<5> kGate{"Program.gate()", {"tag", "theta", "phi", "lambda", "qubits"}};

PyObject* program_gate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kGate, args, nargs, kwnames);
    sim::Program& program = program_of(self);
    const std::uint64_t tag = to_index(bound[0], "tag");
    if (tag >= core::GATE_KIND_COUNT) {
      throw_text(PyExc_ValueError, native_messages::unknown_gate_tag(tag));
    }
    sim::GateOp op;
    op.gate = core::Gate{static_cast<core::GateKind>(tag), to_double(bound[1], "theta"),
                         to_double(bound[2], "phi"), to_double(bound[3], "lambda")};
    const Ref qubits = Ref::steal(PySequence_Fast(bound[4], "qubits must be a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(qubits.get());
    if (static_cast<std::uint64_t>(count) != op.arity()) {
      throw_text(PyExc_ValueError, native_messages::wrong_operand_count(op.arity(), count));
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
      const std::uint64_t qubit = to_index(PySequence_Fast_GET_ITEM(qubits.get(), k), "qubits");
      check_qubit(program, qubit);
      for (Py_ssize_t j = 0; j < k; ++j) {
        if (op.qubits[static_cast<std::size_t>(j)] == qubit) {
          throw_text(PyExc_ValueError, native_messages::repeated_operand(qubit));
        }
      }
      op.qubits[static_cast<std::size_t>(k)] = qubit;
    }
    program.instructions.emplace_back(op);
    Py_RETURN_NONE;
  });
}

constexpr Signature<2> kMeasure{"Program.measure()", {"qubit", "bit"}};

PyObject* program_measure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kMeasure, args, nargs, kwnames);
    sim::Program& program = program_of(self);
    const std::uint64_t qubit = to_index(bound[0], "qubit");
    const std::uint64_t bit = to_index(bound[1], "bit");
    check_qubit(program, qubit);
    check_bit(program, bit);
    program.instructions.emplace_back(sim::Measure{qubit, bit});
    Py_RETURN_NONE;
  });
}

constexpr Signature<1> kReset{"Program.reset()", {"qubit"}};

PyObject* program_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kReset, args, nargs, kwnames);
    sim::Program& program = program_of(self);
    const std::uint64_t qubit = to_index(bound[0], "qubit");
    check_qubit(program, qubit);
    program.instructions.emplace_back(sim::Reset{qubit});
    Py_RETURN_NONE;
  });
}

// unitary(qubit, validate, entries): entries are the 2x2 matrix's (re, im) pairs, row-major.
constexpr Signature<3> kUnitary{"Program.unitary()", {"qubit", "validate", "entries"}};

PyObject* program_unitary(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kUnitary, args, nargs, kwnames);
    sim::Program& program = program_of(self);
    const std::uint64_t qubit = to_index(bound[0], "qubit");
    const bool validate = to_flag(bound[1], "validate");
    const Ref entries = Ref::steal(PySequence_Fast(bound[2], "entries must be a sequence"));
    if (PySequence_Fast_GET_SIZE(entries.get()) != 8) {
      throw_text(PyExc_ValueError, native_messages::UNITARY_ENTRIES);
    }
    core::Matrix2<double> m{};
    for (std::size_t k = 0; k < 4; ++k) {
      m[k] = {to_double(PySequence_Fast_GET_ITEM(entries.get(), 2 * k), "entries"),
              to_double(PySequence_Fast_GET_ITEM(entries.get(), 2 * k + 1), "entries")};
    }
    if (validate) {
      if (const auto violation = sim::check_unitary(m, sim::UNITARY_TOL)) {
        throw_text(PyExc_ValueError, "unitary: " + qasm::violation_text(*violation));
      }
    }
    check_qubit(program, qubit);
    // The circuit record's decomposition, then its gates and phase moved over.
    sim::Circuit rotations(program.n_qubits);
    sim::append_unitary(rotations, m, qubit);
    for (const sim::Operation& op : rotations.ops()) {
      program.instructions.emplace_back(std::get<sim::GateOp>(op));
    }
    program.global_phase = program.global_phase + rotations.global_phase();
    Py_RETURN_NONE;
  });
}

// ---- conditions ---------------------------------------------------------------------------------

// A condition from its nested-tuple form: ("bit", i), ("cmp", op, offset, size, value),
// ("not", c), ("and", a, b), ("or", a, b), ("const", v). Returns its root's pool index.
std::uint32_t add_condition(sim::Program& program, PyObject* form, unsigned depth) {
  if (depth > 256) {
    throw_text(PyExc_ValueError, native_messages::CONDITION_TOO_DEEP);
  }
  if (!PyTuple_Check(form) || PyTuple_GET_SIZE(form) < 2) {
    throw_text(PyExc_TypeError, native_messages::BAD_CONDITION);
  }
  const std::string_view kind = to_text(PyTuple_GET_ITEM(form, 0), "condition");
  const Py_ssize_t size = PyTuple_GET_SIZE(form);
  sim::ConditionNode node;
  if (kind == "bit" && size == 2) {
    node.kind = sim::ConditionKind::Bit;
    node.bit = to_index(PyTuple_GET_ITEM(form, 1), "bit");
    check_bit(program, node.bit);
  } else if (kind == "cmp" && size == 5) {
    node.kind = sim::ConditionKind::Compare;
    const std::string_view op = to_text(PyTuple_GET_ITEM(form, 1), "op");
    if (op == "==") {
      node.compare = sim::CompareOp::Eq;
    } else if (op == "!=") {
      node.compare = sim::CompareOp::Ne;
    } else if (op == "<") {
      node.compare = sim::CompareOp::Lt;
    } else if (op == "<=") {
      node.compare = sim::CompareOp::Le;
    } else if (op == ">") {
      node.compare = sim::CompareOp::Gt;
    } else if (op == ">=") {
      node.compare = sim::CompareOp::Ge;
    } else {
      throw_text(PyExc_ValueError, native_messages::bad_comparison(op));
    }
    node.offset = to_index(PyTuple_GET_ITEM(form, 2), "offset");
    node.size = to_index(PyTuple_GET_ITEM(form, 3), "size");
    if (node.size == 0 || node.offset > program.n_bits ||
        node.size > program.n_bits - node.offset) {
      throw_text(PyExc_ValueError,
                 native_messages::bit_out_of_range(node.offset + node.size - 1, program.n_bits));
    }
    const long long value = PyLong_AsLongLong(PyTuple_GET_ITEM(form, 4));
    if (value == -1 && PyErr_Occurred()) {
      throw ErrorAlreadySet{};
    }
    node.value = value;
  } else if (kind == "not" && size == 2) {
    node.kind = sim::ConditionKind::Not;
    node.left = add_condition(program, PyTuple_GET_ITEM(form, 1), depth + 1);
  } else if ((kind == "and" || kind == "or") && size == 3) {
    node.kind = kind == "and" ? sim::ConditionKind::And : sim::ConditionKind::Or;
    node.left = add_condition(program, PyTuple_GET_ITEM(form, 1), depth + 1);
    node.right = add_condition(program, PyTuple_GET_ITEM(form, 2), depth + 1);
  } else if (kind == "const" && size == 2) {
    node.kind = sim::ConditionKind::Const;
    node.value = PyObject_IsTrue(PyTuple_GET_ITEM(form, 1));
    if (node.value < 0) {
      throw ErrorAlreadySet{};
    }
  } else {
    throw_text(PyExc_TypeError, native_messages::BAD_CONDITION);
  }
  program.conditions.push_back(node);
  return static_cast<std::uint32_t>(program.conditions.size() - 1);
}

// begin_if(condition) -> the index of its jump; the body follows until end_block(index).
constexpr Signature<1> kBeginIf{"Program.begin_if()", {"condition"}};

PyObject* program_begin_if(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kBeginIf, args, nargs, kwnames);
    sim::Program& program = program_of(self);
    // Checks come before changes: a refused condition leaves the pool as it was.
    const std::size_t pool_size = program.conditions.size();
    std::uint32_t root = 0;
    try {
      root = add_condition(program, bound[0], 0);
    } catch (...) {
      program.conditions.resize(pool_size);
      throw;
    }
    program.instructions.emplace_back(sim::JumpUnless{root, 0});
    return PyLong_FromSize_t(program.instructions.size() - 1);
  });
}

// end_block(index): the jump at index (an if's or an else's) now skips what came after it.
constexpr Signature<1> kEndBlock{"Program.end_block()", {"index"}};

PyObject* program_end_block(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kEndBlock, args, nargs, kwnames);
    sim::Program& program = program_of(self);
    const std::uint64_t index = to_index(bound[0], "index");
    if (index >= program.instructions.size()) {
      throw_text(PyExc_ValueError, native_messages::NO_SUCH_BLOCK);
    }
    sim::Instruction& jump = program.instructions[index];
    const std::size_t end = program.instructions.size();
    if (auto* unless = std::get_if<sim::JumpUnless>(&jump)) {
      unless->target = end;
    } else if (auto* always = std::get_if<sim::Jump>(&jump)) {
      always->target = end;
    } else {
      throw_text(PyExc_ValueError, native_messages::NO_SUCH_BLOCK);
    }
    Py_RETURN_NONE;
  });
}

// begin_else(index) -> the index of the else's jump: index is an if's jump whose block ended
// just now (nothing came after it).
constexpr Signature<1> kBeginElse{"Program.begin_else()", {"index"}};

PyObject* program_begin_else(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kBeginElse, args, nargs, kwnames);
    sim::Program& program = program_of(self);
    const std::uint64_t index = to_index(bound[0], "index");
    auto* unless = index < program.instructions.size()
                       ? std::get_if<sim::JumpUnless>(&program.instructions[index])
                       : nullptr;
    if (unless == nullptr || unless->target != program.instructions.size()) {
      throw_text(PyExc_ValueError, native_messages::ELSE_WITHOUT_IF);
    }
    program.instructions.emplace_back(sim::Jump{0});
    // The if's jump lands on the else body, behind the jump that ends the if body.
    std::get<sim::JumpUnless>(program.instructions[index]).target = program.instructions.size();
    return PyLong_FromSize_t(program.instructions.size() - 1);
  });
}

// ---- readers ------------------------------------------------------------------------------------

PyObject* program_num_qubits(PyObject* self, void* /*closure*/) {
  return guard(
      [&]() -> PyObject* { return PyLong_FromUnsignedLongLong(program_of(self).n_qubits); });
}

PyObject* program_num_bits(PyObject* self, void* /*closure*/) {
  return guard([&]() -> PyObject* { return PyLong_FromUnsignedLongLong(program_of(self).n_bits); });
}

PyObject* program_global_phase(PyObject* self, void* /*closure*/) {
  return guard([&]() -> PyObject* { return PyFloat_FromDouble(program_of(self).global_phase); });
}

// to_qasm(version) -> str: "2.0"/"2" or "3.0"/"3"; a program 2.0 cannot express raises
// ValueError saying what.
constexpr Signature<1> kToQasm{"Program.to_qasm()", {"version"}};

PyObject* program_to_qasm(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kToQasm, args, nargs, kwnames);
    const std::string_view version = to_text(bound[0], "version");
    const qasm::QasmVersion v =
        version == "2.0" || version == "2" ? qasm::QasmVersion::V2 : qasm::QasmVersion::V3;
    qasm::Result<std::string> text = qasm::export_program(program_of(self), v);
    if (!text.ok()) {
      throw_text(PyExc_ValueError, text.error().render());
    }
    const std::string& out = text.value();
    return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "replace");
  });
}

// registers -> [(name, offset, size)] in declaration order.
PyObject* program_registers(PyObject* self, void* /*closure*/) {
  return guard([&]() -> PyObject* {
    const sim::Program& program = program_of(self);
    Ref list = Ref::steal(PyList_New(0));
    for (const sim::BitRegister& r : program.registers) {
      const Ref item = Ref::steal(Py_BuildValue(
          "(s#KK)", r.name.data(), static_cast<Py_ssize_t>(r.name.size()),
          static_cast<unsigned long long>(r.offset), static_cast<unsigned long long>(r.size)));
      if (PyList_Append(list.get(), item.get()) < 0) {
        throw ErrorAlreadySet{};
      }
    }
    return list.release();
  });
}

// summary() -> dict: gates (name -> count), measurements, mid_circuit_measurements, resets,
// conditions, loops, bit_assignments, included_files.
PyObject* program_summary(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    const sim::Program& program = program_of(self);
    const qasm::ProgramSummary summary = qasm::summarize_program(program);
    std::uint64_t gate_counts[core::GATE_KIND_COUNT] = {};
    std::uint64_t controlled = 0;
    for (const sim::Instruction& instruction : program.instructions) {
      if (const auto* gate = std::get_if<sim::GateOp>(&instruction)) {
        ++gate_counts[static_cast<std::uint8_t>(gate->kind())];
      }
      controlled += std::holds_alternative<sim::ControlledGate>(instruction) ? 1 : 0;
    }
    Ref gates = Ref::steal(PyDict_New());
    // The gates of the controlled kernel (a gate under ctrl or negctrl modifiers) count as one
    // kind, "mcu", whatever their gate.
    if (controlled != 0) {
      const Ref count = Ref::steal(PyLong_FromUnsignedLongLong(controlled));
      if (PyDict_SetItemString(gates.get(), "mcu", count.get()) < 0) {
        throw ErrorAlreadySet{};
      }
    }
    for (std::uint8_t tag = 0; tag < core::GATE_KIND_COUNT; ++tag) {
      if (gate_counts[tag] == 0) {
        continue;
      }
      const std::string_view name = core::gate_name(static_cast<core::GateKind>(tag));
      const Ref count = Ref::steal(PyLong_FromUnsignedLongLong(gate_counts[tag]));
      const Ref key = Ref::steal(
          PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
      if (PyDict_SetItem(gates.get(), key.get(), count.get()) < 0) {
        throw ErrorAlreadySet{};
      }
    }
    Ref files = Ref::steal(PyList_New(0));
    for (const std::string& file : program.included_files) {
      const Ref text = Ref::steal(
          PyUnicode_DecodeUTF8(file.data(), static_cast<Py_ssize_t>(file.size()), "replace"));
      if (PyList_Append(files.get(), text.get()) < 0) {
        throw ErrorAlreadySet{};
      }
    }
    return Py_BuildValue(
        "{s:O,s:K,s:K,s:K,s:K,s:K,s:K,s:O}", "gates", gates.get(), "measurements",
        static_cast<unsigned long long>(summary.measurements), "mid_circuit_measurements",
        static_cast<unsigned long long>(summary.mid_circuit_measurements), "resets",
        static_cast<unsigned long long>(summary.resets), "conditions",
        static_cast<unsigned long long>(summary.conditions), "loops",
        static_cast<unsigned long long>(summary.loops), "bit_assignments",
        static_cast<unsigned long long>(summary.bit_assignments), "included_files", files.get());
  });
}

PyMethodDef program_methods[] = {
    {"summary", program_summary, METH_NOARGS, nullptr},
    {"to_qasm", as_cfunction(program_to_qasm), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"gate", as_cfunction(program_gate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"measure", as_cfunction(program_measure), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"reset", as_cfunction(program_reset), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"unitary", as_cfunction(program_unitary), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"begin_if", as_cfunction(program_begin_if), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"begin_else", as_cfunction(program_begin_else), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"end_block", as_cfunction(program_end_block), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef program_getset[] = {
    {"num_qubits", program_num_qubits, nullptr, nullptr, nullptr},
    {"num_bits", program_num_bits, nullptr, nullptr, nullptr},
    {"global_phase", program_global_phase, nullptr, nullptr, nullptr},
    {"registers", program_registers, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- from_circuit -------------------------------------------------------------------------------

// vorn_python.Circuit, looked up once: the circuit objects it makes share the record layout
// this module was compiled with (the same header, compiler and flags).
PyObject* circuit_class() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    const Ref module = Ref::steal(PyImport_ImportModule("vorn_python"));
    type = Ref::steal(PyObject_GetAttrString(module.get(), "Circuit")).release();
  }
  return type;
}

PyObject* from_circuit_function(PyObject* /*module*/, PyObject* circuit) {
  return guard([&]() -> PyObject* {
    if (reinterpret_cast<PyObject*>(Py_TYPE(circuit)) != circuit_class()) {
      throw_conversion_error(circuit, "circuit", "Circuit");
    }
    CircuitObject* object = reinterpret_cast<CircuitObject*>(circuit);
    SharedAccess access(object->access);
    return new_program_object(sim::program_from_circuit(object->circuit));
  });
}

// read(text, name, inputs=None): the program of OpenQASM text in the package's reading mode;
// name is the file it came from ("" for text from a string), which includes resolve against;
// inputs a dict of the `input` declarations' values (str to float, checked by the package).
constexpr Signature<3> kRead{"read()", {"text", "name", "inputs"}, 2};

// The input values of a dict {str: float}.
qasm::InputValues input_values(PyObject* inputs) {
  qasm::InputValues values;
  if (inputs == nullptr || inputs == Py_None) {
    return values;
  }
  if (!PyDict_Check(inputs)) {
    throw_conversion_error(inputs, "inputs", "dict");
  }
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(inputs, &position, &key, &value)) {
    const std::string_view name = to_text(key, "inputs");
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) {
      throw ErrorAlreadySet{};
    }
    values.emplace(std::string(name), number);
  }
  return values;
}

PyObject* read_function(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kRead, args, nargs, kwnames);
    const std::string_view text = to_text(bound[0], "text");
    qasm::ProgramSource source;
    source.file_name = std::string(to_text(bound[1], "name"));
    source.inputs = input_values(bound[2]);
    std::optional<qasm::Result<sim::Program>> read;
    {
      // Reading (and the files it includes) touches no Python object.
      const Unlocked unlocked;
      read.emplace(qasm::read_program(text, source));
    }
    if (!read->ok()) {
      throw_text(PyExc_ValueError, read->error().render());
    }
    return new_program_object(std::move(*read).value());
  });
}

}  // namespace

PyMethodDef read_definition = {
    "read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_function)),
    METH_FASTCALL | METH_KEYWORDS, nullptr};

PyObject* new_program_object(sim::Program&& program) {
  PyObject* self = ProgramType.tp_alloc(&ProgramType, 0);
  if (self == nullptr) {
    throw ErrorAlreadySet{};
  }
  new (&as_program(self)->program) sim::Program(std::move(program));
  return self;
}

bool ready_program_type() noexcept {
  return ready_static_type(ProgramType,
                           {"vorn._native.Program", sizeof(ProgramObject), program_dealloc, nullptr,
                            program_methods, program_getset, program_new});
}

PyMethodDef from_circuit_definition = {"from_circuit", from_circuit_function, METH_O, nullptr};

}  // namespace vorn::py
