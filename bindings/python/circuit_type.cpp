// The Circuit class: constructor, gate and measurement methods, num_qubits and global_phase.
// Every entry point binds its arguments, takes the instance's access state, converts the
// arguments in parameter order and calls the circuit record, all inside the entry guard.
#include "circuit_type.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "args.h"
#include "convert.h"
#include "guard.h"
#include "messages.h"
#include "numpy_api.h"
#include "qasm/error.h"
#include "qasm/exporter.h"
#include "qasm/format.h"
#include "qasm/lowering.h"
#include "simulator/transpile.h"
#include "simulator/unitary.h"
#include "static_type.h"

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

// A new instance of `type` (the class cannot be subclassed, so always Circuit) that owns the
// given record: the one way every Circuit object is made.
PyObject* new_circuit_object(PyTypeObject* type, sim::Circuit&& circuit) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    throw ErrorAlreadySet{};
  }
  CircuitObject* object = as_circuit(self);
  new (&object->access) AccessState();
  new (&object->circuit) sim::Circuit(std::move(circuit));
  return self;
}

PyObject* circuit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kNew, args, kwargs);
    const Ref n_qubits_arg = Ref::borrow(bound[0]);
    const std::uint64_t n_qubits = to_index(n_qubits_arg.get(), "n_qubits");
    return new_circuit_object(type, sim::Circuit(n_qubits));
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

// ---- OpenQASM, unitary and transpile --------------------------------------------------------

constexpr Signature<1> kFromQasm{"Circuit.from_qasm()", {"qasm"}};
constexpr Signature<1> kToQasm{"Circuit.to_qasm()", {"version"}, 0};
constexpr Signature<3> kUnitary{"Circuit.unitary()", {"matrix", "qubit", "validate"}, 2};
constexpr Signature<1> kTranspile{"Circuit.transpile()", {"max_iters"}, 0};

constexpr std::uint64_t kDefaultMaxIters = 16;

PyObject* circuit_from_qasm(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kFromQasm, args, nargs, kwnames);
    const std::string_view text = to_text(bound[0], "qasm");
    auto parsed = qasm::parse_qasm(text);
    if (!parsed.ok()) {
      throw_text(PyExc_ValueError, parsed.error().render());
    }
    return new_circuit_object(&CircuitType, std::move(parsed).value());
  });
}

PyObject* circuit_to_qasm(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kToQasm, args, nargs, kwnames);
    SharedAccess access(self_of(self)->access);
    qasm::QasmVersion version = qasm::QasmVersion::V2;
    if (bound[0] != nullptr) {
      const std::string_view text = to_text(bound[0], "version");
      if (text == "2.0" || text == "2") {
        version = qasm::QasmVersion::V2;
      } else if (text == "3.0" || text == "3") {
        version = qasm::QasmVersion::V3;
      } else {
        throw_text(PyExc_ValueError, messages::bad_version(text));
      }
    }
    const std::string exported = qasm::export_qasm(self_of(self)->circuit, version);
    return PyUnicode_DecodeUTF8(exported.data(), static_cast<Py_ssize_t>(exported.size()), nullptr);
  });
}

// The matrix argument of unitary(): an ndarray (or subclass) with exactly two dimensions whose
// dtype is equivalent to complex128; any strides.
PyArrayObject* to_complex_matrix(PyObject* value, const char* name) {
  if (!PyArray_Check(value)) {
    throw_conversion_error(value, name, "numpy.ndarray");
  }
  auto* array = reinterpret_cast<PyArrayObject*>(value);
  if (PyArray_NDIM(array) != 2) {
    PyErr_Format(PyExc_TypeError, messages::DIMENSIONALITY_MISMATCH, name, PyArray_NDIM(array));
    throw ErrorAlreadySet{};
  }
  PyArray_Descr* complex128 = PyArray_DescrFromType(NPY_COMPLEX128);
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), complex128) != 0;
  Py_DECREF(complex128);
  if (!equivalent) {
    const Ref dtype = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    PyErr_Format(PyExc_TypeError, messages::TYPE_MISMATCH, name, dtype.get());
    throw ErrorAlreadySet{};
  }
  return array;
}

PyObject* circuit_unitary(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kUnitary, args, nargs, kwnames);
    ExclusiveAccess access(self_of(self)->access);
    PyArrayObject* matrix = to_complex_matrix(bound[0], "matrix");
    const std::uint64_t qubit = to_index(bound[1], "qubit");
    const bool validate = bound[2] == nullptr ? true : to_flag(bound[2], "validate");

    const npy_intp* shape = PyArray_DIMS(matrix);
    if (shape[0] != 2 || shape[1] != 2) {
      throw_text(PyExc_ValueError, messages::bad_matrix_shape(shape[0], shape[1]));
    }
    // Entry [r][c] is element (r, c) of the array, whatever its strides (negative included).
    core::Matrix2<double> m{};
    const npy_intp* strides = PyArray_STRIDES(matrix);
    const char* data = PyArray_BYTES(matrix);
    for (npy_intp r = 0; r < 2; ++r) {
      for (npy_intp c = 0; c < 2; ++c) {
        std::memcpy(&m[static_cast<std::size_t>(2 * r + c)], data + r * strides[0] + c * strides[1],
                    sizeof(core::Complex<double>));
      }
    }
    if (validate) {
      if (const auto violation = sim::check_unitary(m, sim::UNITARY_TOL)) {
        throw_text(PyExc_ValueError, messages::not_unitary(qasm::violation_text(*violation)));
      }
    }
    sim::Circuit& circuit = self_of(self)->circuit;
    if (qubit >= circuit.n_qubits()) {
      throw_text(PyExc_ValueError, messages::unitary_qubit_out_of_range(qubit, circuit.n_qubits()));
    }
    sim::append_unitary(circuit, m, qubit);
    Py_RETURN_NONE;
  });
}

PyObject* circuit_transpile(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kTranspile, args, nargs, kwnames);
    ExclusiveAccess access(self_of(self)->access);
    const std::uint64_t max_iters =
        bound[0] == nullptr ? kDefaultMaxIters : to_index(bound[0], "max_iters");
    return PyLong_FromUnsignedLongLong(sim::transpile_pass(self_of(self)->circuit, max_iters));
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
    {"from_qasm", as_cfunction(circuit_from_qasm), kFast | METH_STATIC, messages::DOC_FROM_QASM},
    {"to_qasm", as_cfunction(circuit_to_qasm), kFast, messages::DOC_TO_QASM},
    {"unitary", as_cfunction(circuit_unitary), kFast, messages::DOC_UNITARY},
    {"transpile", as_cfunction(circuit_transpile), kFast, messages::DOC_TRANSPILE},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef circuit_getset[] = {
    {"global_phase", circuit_global_phase, nullptr, messages::DOC_GLOBAL_PHASE, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool ready_circuit_type() noexcept {
  return ready_static_type(
      CircuitType, {"Circuit", sizeof(CircuitObject), circuit_dealloc, messages::DOC_CIRCUIT,
                    circuit_methods, circuit_getset, circuit_new});
}

}  // namespace vorn::py
