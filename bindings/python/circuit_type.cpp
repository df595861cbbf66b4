// The Circuit class: constructor, gate and measurement methods, num_qubits and global_phase.
// Every entry point binds its arguments, takes the instance's access state, converts the
// arguments in parameter order and calls the circuit record, all inside the entry guard.
#include "circuit_type.h"

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "args.h"
#include "convert.h"
#include "guard.h"
#include "qasm/lowering.h"

namespace vorn::py {

PyTypeObject CircuitType{};

namespace {

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_cfunction(FastMethod method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

CircuitObject* self_of(PyObject* self) { return as_circuit(self); }

// ---- constructor and deallocation -------------------------------------------------------------

constexpr Signature<1> kNew{"Circuit.__new__()", {"n_qubits"}};

PyObject* circuit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kNew, args, kwargs);
    const Ref n_qubits_arg = Ref::borrow(bound[0]);
    const std::uint64_t n_qubits = to_index(n_qubits_arg.get(), "n_qubits");
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
      throw ErrorAlreadySet{};
    }
    CircuitObject* object = as_circuit(self);
    new (&object->access) AccessState();
    new (&object->circuit) sim::Circuit(n_qubits);
    return self;
  });
}

void circuit_dealloc(PyObject* self) {
  CircuitObject* object = as_circuit(self);
  std::destroy_at(&object->circuit);
  std::destroy_at(&object->access);
  Py_TYPE(self)->tp_free(self);
}

// ---- readers ----------------------------------------------------------------------------------

PyObject* circuit_num_qubits(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    SharedAccess access(self_of(self)->access);
    return PyLong_FromUnsignedLongLong(self_of(self)->circuit.n_qubits());
  });
}

PyObject* circuit_global_phase(PyObject* self, void* /*closure*/) {
  return guard([&]() -> PyObject* {
    SharedAccess access(self_of(self)->access);
    return PyFloat_FromDouble(self_of(self)->circuit.global_phase());
  });
}

// ---- gate and measurement methods -------------------------------------------------------------

using OneQubit = void (sim::Circuit::*)(std::uint64_t);
using Rotation = void (sim::Circuit::*)(double, std::uint64_t);
using TwoQubit = void (sim::Circuit::*)(std::uint64_t, std::uint64_t);
using ThreeQubit = void (sim::Circuit::*)(std::uint64_t, std::uint64_t, std::uint64_t);

template <const Signature<1>& kSig, OneQubit kAppend>
PyObject* one_qubit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kSig, args, nargs, kwnames);
    ExclusiveAccess access(self_of(self)->access);
    const std::uint64_t q0 = to_index(bound[0], kSig.parameters[0]);
    (self_of(self)->circuit.*kAppend)(q0);
    Py_RETURN_NONE;
  });
}

template <const Signature<2>& kSig, Rotation kAppend>
PyObject* rotation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kSig, args, nargs, kwnames);
    ExclusiveAccess access(self_of(self)->access);
    const double theta = to_double(bound[0], kSig.parameters[0]);
    const std::uint64_t q0 = to_index(bound[1], kSig.parameters[1]);
    (self_of(self)->circuit.*kAppend)(theta, q0);
    Py_RETURN_NONE;
  });
}

template <const Signature<2>& kSig, TwoQubit kAppend>
PyObject* two_qubit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kSig, args, nargs, kwnames);
    ExclusiveAccess access(self_of(self)->access);
    const std::uint64_t q0 = to_index(bound[0], kSig.parameters[0]);
    const std::uint64_t q1 = to_index(bound[1], kSig.parameters[1]);
    (self_of(self)->circuit.*kAppend)(q0, q1);
    Py_RETURN_NONE;
  });
}

template <const Signature<3>& kSig, ThreeQubit kAppend>
PyObject* three_qubit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kSig, args, nargs, kwnames);
    ExclusiveAccess access(self_of(self)->access);
    const std::uint64_t q0 = to_index(bound[0], kSig.parameters[0]);
    const std::uint64_t q1 = to_index(bound[1], kSig.parameters[1]);
    const std::uint64_t q2 = to_index(bound[2], kSig.parameters[2]);
    (self_of(self)->circuit.*kAppend)(q0, q1, q2);
    Py_RETURN_NONE;
  });
}

PyObject* circuit_measure_all(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    ExclusiveAccess access(self_of(self)->access);
    self_of(self)->circuit.measure_all();
    Py_RETURN_NONE;
  });
}

// ---- OpenQASM --------------------------------------------------------

constexpr Signature<1> kFromQasm{"Circuit.from_qasm()", {"qasm"}};

// A new Circuit instance (always of class Circuit) that owns the given record.
PyObject* new_circuit_object(sim::Circuit&& circuit) {
  PyObject* self = CircuitType.tp_alloc(&CircuitType, 0);
  if (self == nullptr) {
    throw ErrorAlreadySet{};
  }
  CircuitObject* object = as_circuit(self);
  new (&object->access) AccessState();
  new (&object->circuit) sim::Circuit(std::move(circuit));
  return self;
}

PyObject* circuit_from_qasm(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kFromQasm, args, nargs, kwnames);
    const std::string_view text = to_text(bound[0], "qasm");
    auto parsed = qasm::parse_qasm(text);
    if (!parsed.ok()) {
      throw_text(PyExc_ValueError, parsed.error().render());
    }
    return new_circuit_object(std::move(parsed).value());
  });
}

constexpr Signature<1> kH{"Circuit.h()", {"qubit"}};
constexpr Signature<1> kX{"Circuit.x()", {"qubit"}};
constexpr Signature<1> kY{"Circuit.y()", {"qubit"}};
constexpr Signature<1> kZ{"Circuit.z()", {"qubit"}};
constexpr Signature<1> kS{"Circuit.s()", {"qubit"}};
constexpr Signature<1> kSdg{"Circuit.sdg()", {"qubit"}};
constexpr Signature<1> kT{"Circuit.t()", {"qubit"}};
constexpr Signature<1> kTdg{"Circuit.tdg()", {"qubit"}};
constexpr Signature<1> kId{"Circuit.id()", {"qubit"}};
constexpr Signature<2> kRx{"Circuit.rx()", {"theta", "qubit"}};
constexpr Signature<2> kRy{"Circuit.ry()", {"theta", "qubit"}};
constexpr Signature<2> kRz{"Circuit.rz()", {"theta", "qubit"}};
constexpr Signature<2> kCx{"Circuit.cx()", {"control", "target"}};
constexpr Signature<2> kCz{"Circuit.cz()", {"qubit0", "qubit1"}};
constexpr Signature<2> kSwap{"Circuit.swap()", {"qubit0", "qubit1"}};
constexpr Signature<3> kCcx{"Circuit.ccx()", {"ctrl1", "ctrl2", "target"}};
constexpr Signature<3> kCswap{"Circuit.cswap()", {"control", "target1", "target2"}};
constexpr Signature<2> kMeasure{"Circuit.measure()", {"qubit", "cbit"}};

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef circuit_methods[] = {
    {"num_qubits", circuit_num_qubits, METH_NOARGS, "num_qubits($self)\n--\n\n"},
    {"h", as_cfunction(one_qubit<kH, &sim::Circuit::h>), kFast, "h($self, qubit)\n--\n\n"},
    {"x", as_cfunction(one_qubit<kX, &sim::Circuit::x>), kFast, "x($self, qubit)\n--\n\n"},
    {"y", as_cfunction(one_qubit<kY, &sim::Circuit::y>), kFast, "y($self, qubit)\n--\n\n"},
    {"z", as_cfunction(one_qubit<kZ, &sim::Circuit::z>), kFast, "z($self, qubit)\n--\n\n"},
    {"s", as_cfunction(one_qubit<kS, &sim::Circuit::s>), kFast, "s($self, qubit)\n--\n\n"},
    {"sdg", as_cfunction(one_qubit<kSdg, &sim::Circuit::sdg>), kFast, "sdg($self, qubit)\n--\n\n"},
    {"t", as_cfunction(one_qubit<kT, &sim::Circuit::t>), kFast, "t($self, qubit)\n--\n\n"},
    {"tdg", as_cfunction(one_qubit<kTdg, &sim::Circuit::tdg>), kFast, "tdg($self, qubit)\n--\n\n"},
    {"id", as_cfunction(one_qubit<kId, &sim::Circuit::id>), kFast, "id($self, qubit)\n--\n\n"},
    {"rx", as_cfunction(rotation<kRx, &sim::Circuit::rx>), kFast,
     "rx($self, theta, qubit)\n--\n\n"},
    {"ry", as_cfunction(rotation<kRy, &sim::Circuit::ry>), kFast,
     "ry($self, theta, qubit)\n--\n\n"},
    {"rz", as_cfunction(rotation<kRz, &sim::Circuit::rz>), kFast,
     "rz($self, theta, qubit)\n--\n\n"},
    {"cx", as_cfunction(two_qubit<kCx, &sim::Circuit::cx>), kFast,
     "cx($self, control, target)\n--\n\n"},
    {"cz", as_cfunction(two_qubit<kCz, &sim::Circuit::cz>), kFast,
     "cz($self, qubit0, qubit1)\n--\n\n"},
    {"swap", as_cfunction(two_qubit<kSwap, &sim::Circuit::swap>), kFast,
     "swap($self, qubit0, qubit1)\n--\n\n"},
    {"ccx", as_cfunction(three_qubit<kCcx, &sim::Circuit::ccx>), kFast,
     "ccx($self, ctrl1, ctrl2, target)\n--\n\n"},
    {"cswap", as_cfunction(three_qubit<kCswap, &sim::Circuit::cswap>), kFast,
     "cswap($self, control, target1, target2)\n--\n\n"},
    {"measure", as_cfunction(two_qubit<kMeasure, &sim::Circuit::measure>), kFast,
     "measure($self, qubit, cbit)\n--\n\n"},
    {"measure_all", circuit_measure_all, METH_NOARGS, "measure_all($self)\n--\n\n"},
    {"from_qasm", as_cfunction(circuit_from_qasm), kFast | METH_STATIC,
     "from_qasm(qasm)\n--\n\n"
     "OpenQASM 2.0 또는 3.0 문자열을 파싱해 [`Circuit`] 으로 만든다.\n\n"
     "헤더 (`OPENQASM 2.0;` 또는 `OPENQASM 3.0;`) 로 버전 자동 감지.\n"
     "미지원 syntax (`if`, `reset`, `for`/`while`/`box`, `sx`/`gphase` 등) 는\n"
     "`ValueError` 로 변환되어 사용자에게 명확한 milestone 정보가 노출된다."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef circuit_getset[] = {
    {"global_phase", circuit_global_phase, nullptr, "회로의 누적된 글로벌 phase (라디안).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool ready_circuit_type() noexcept {
  if (CircuitType.tp_flags & Py_TPFLAGS_READY) {
    return true;
  }
  // A static type object: one reference held by the process for ever (ob_type is set by
  // PyType_Ready).
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&CircuitType), 1);
  CircuitType.tp_name = "Circuit";
  CircuitType.tp_basicsize = sizeof(CircuitObject);
  CircuitType.tp_itemsize = 0;
  CircuitType.tp_dealloc = circuit_dealloc;
  CircuitType.tp_flags = Py_TPFLAGS_DEFAULT;
  CircuitType.tp_doc = "Circuit(n_qubits)\n--\n\nPython에서 사용 가능한 양자 회로 클래스.";
  CircuitType.tp_methods = circuit_methods;
  CircuitType.tp_getset = circuit_getset;
  CircuitType.tp_new = circuit_new;
  return PyType_Ready(&CircuitType) == 0;
}

}  // namespace vorn::py
