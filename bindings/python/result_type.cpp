// run() and SimulationResult: converts the arguments, copies the circuit, runs the engine with
// the interpreter lock released, and hands the engine's result out as a dict and NumPy arrays.
#include "result_type.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "args.h"
#include "circuit_type.h"
#include "convert.h"
#include "core/precision.h"
#include "guard.h"
#include "numpy_api.h"
#include "qasm/error.h"
#include "simulator/engine.h"

namespace vorn::py {

PyTypeObject ResultType{};

namespace {

struct ResultObject {
  PyObject ob_base;  // PyObject_HEAD
  sim::SimulationResult result;
};

ResultObject* as_result(PyObject* object) { return reinterpret_cast<ResultObject*>(object); }

// Releases the interpreter lock for its lifetime and takes it back on every path out,
// exceptions included. Nothing that touches a Python object may run while it is alive.
class Unlocked {
 public:
  Unlocked() noexcept : thread_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(thread_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* thread_;
};

// ---- arrays over fresh buffers ----------------------------------------------------------------

constexpr const char* kBufferName = "vorn_python.buffer";

void free_buffer(PyObject* capsule) { PyDataMem_FREE(PyCapsule_GetPointer(capsule, kBufferName)); }

// A new one-dimensional, C-contiguous, writeable array of `length` elements of `typenum`, whose
// buffer is filled by `fill` and owned by a private base object.
template <typename Element, typename Fill>
PyObject* new_owned_array(std::uint64_t length, int typenum, Fill&& fill) {
  void* buffer = PyDataMem_NEW(length * sizeof(Element));
  if (buffer == nullptr) {
    return PyErr_NoMemory();
  }
  fill(static_cast<Element*>(buffer));
  PyObject* base = PyCapsule_New(buffer, kBufferName, free_buffer);
  if (base == nullptr) {
    PyDataMem_FREE(buffer);
    return nullptr;
  }
  npy_intp dims[1] = {static_cast<npy_intp>(length)};
  PyObject* array = PyArray_SimpleNewFromData(1, dims, typenum, buffer);
  if (array == nullptr) {
    Py_DECREF(base);
    return nullptr;
  }
  // Steals the reference to base, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), base) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

// The float type of one alternative of the engine's result.
template <typename Run>
struct FloatOf;
template <typename T>
struct FloatOf<sim::RunResult<T>> {
  using type = T;
};
template <typename Run>
using float_of = typename FloatOf<std::remove_cvref_t<Run>>::type;

template <typename T>
constexpr int complex_typenum() {
  return std::is_same_v<T, double> ? NPY_COMPLEX128 : NPY_COMPLEX64;
}

template <typename T>
constexpr int real_typenum() {
  return std::is_same_v<T, double> ? NPY_FLOAT64 : NPY_FLOAT32;
}

// ---- SimulationResult ---------------------------------------------------------------------------

PyObject* result_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
  return nullptr;
}

void result_dealloc(PyObject* self) {
  std::destroy_at(&as_result(self)->result);
  Py_TYPE(self)->tp_free(self);
}

PyObject* result_counts(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    const sim::Counts& counts = std::visit(
        [](const auto& run) -> const sim::Counts& { return run.counts; }, as_result(self)->result);
    Ref dict = Ref::steal(PyDict_New());
    for (const auto& [key, count] : counts) {
      const Ref text = Ref::steal(
          PyUnicode_DecodeASCII(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr));
      const Ref value = Ref::steal(PyLong_FromUnsignedLongLong(count));
      if (PyDict_SetItem(dict.get(), text.get(), value.get()) < 0) {
        throw ErrorAlreadySet{};
      }
    }
    return dict.release();
  });
}

PyObject* result_statevector(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    return std::visit(
        [](const auto& run) -> PyObject* {
          using T = float_of<decltype(run)>;
          using Element = core::Complex<T>;
          const auto amplitudes = run.statevector.amplitudes();
          return new_owned_array<Element>(
              amplitudes.size(), complex_typenum<T>(),
              [&](Element* out) { std::memcpy(out, amplitudes.data(), amplitudes.size_bytes()); });
        },
        as_result(self)->result);
  });
}

PyObject* result_probabilities(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    return std::visit(
        [](const auto& run) -> PyObject* {
          using T = float_of<decltype(run)>;
          const auto amplitudes = run.statevector.amplitudes();
          return new_owned_array<T>(amplitudes.size(), real_typenum<T>(), [&](T* out) {
            for (std::size_t i = 0; i < amplitudes.size(); ++i) {
              const T re = amplitudes[i].re;
              const T im = amplitudes[i].im;
              out[i] = re * re + im * im;
            }
          });
        },
        as_result(self)->result);
  });
}

PyObject* result_precision(PyObject* self, void* /*closure*/) {
  return guard([&]() -> PyObject* {
    const auto precision =
        as_result(self)->result.index() == 0 ? core::Precision::F32 : core::Precision::F64;
    const std::string_view name = core::precision_name(precision);
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}

PyMethodDef result_methods[] = {
    {"counts", result_counts, METH_NOARGS,
     "counts($self)\n--\n\n측정 결과 counts를 dict로 반환한다."},
    {"statevector", result_statevector, METH_NOARGS,
     "statevector($self)\n--\n\n측정 전 상태 벡터를 numpy 배열로 반환한다.\n\n"
     "dtype 은 시뮬레이션 정밀도를 따른다:\n"
     "- f64 경로 → `numpy.complex128`\n"
     "- f32 경로 → `numpy.complex64`"},
    {"probabilities", result_probabilities, METH_NOARGS,
     "probabilities($self)\n--\n\n확률 벡터를 numpy 배열로 반환한다.\n\n"
     "dtype 은 시뮬레이션 정밀도를 따른다 (`float64` / `float32`)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef result_getset[] = {
    {"precision", result_precision, nullptr, "시뮬레이션에 사용된 정밀도 (\"f32\" 또는 \"f64\").",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- run() --------------------------------------------------------------------------------------

constexpr Signature<4> kRun{"run()", {"circuit", "shots", "seed", "precision"}, 1};
constexpr std::uint64_t kDefaultShots = 1024;

PyObject* run_function(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kRun, args, nargs, kwnames);
    if (!is_circuit(bound[0])) {
      throw_conversion_error(bound[0], "circuit", "Circuit");
    }
    CircuitObject* circuit = as_circuit(bound[0]);
    // Held until run() returns or raises, the simulation included.
    SharedAccess access(circuit->access);
    const std::uint64_t shots = bound[1] == nullptr ? kDefaultShots : to_index(bound[1], "shots");
    std::optional<std::uint64_t> seed;
    if (bound[2] != nullptr && bound[2] != Py_None) {
      seed = to_index(bound[2], "seed");
    }
    core::Precision precision = core::Precision::F64;
    if (bound[3] != nullptr) {
      const std::string_view text = to_text(bound[3], "precision");
      if (text == "f64") {
        precision = core::Precision::F64;
      } else if (text == "f32") {
        precision = core::Precision::F32;
      } else {
        throw_text(PyExc_ValueError,
                   "precision 은 'f32' 또는 'f64' 여야 합니다 (입력: " + qasm::quoted(text) + ")");
      }
    }
    // The engine works on a private copy, made while the lock is held.
    std::optional<sim::Circuit> copy(circuit->circuit);
    std::optional<sim::SimulationResult> result;
    {
      const Unlocked unlocked;
      result.emplace(sim::run(*copy, shots, seed, precision));
      copy.reset();
    }
    PyObject* self = ResultType.tp_alloc(&ResultType, 0);
    if (self == nullptr) {
      throw ErrorAlreadySet{};
    }
    new (&as_result(self)->result) sim::SimulationResult(std::move(*result));
    return self;
  });
}

}  // namespace

PyMethodDef run_definition = {
    "run",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "run(circuit, shots=1024, seed=None, precision=\"f64\")\n--\n\n"
    "회로 실행 함수.\n\n"
    "`precision` 으로 시뮬레이션 정밀도를 선택한다 (\"f64\" default, \"f32\" 옵션).\n"
    "f32 는 메모리 ~50% 절감과 SIMD 친화성을 제공하지만 정확도는 ~1e-6 수준.\n\n"
    "rayon 병렬 게이트 적용이 GIL 을 들고 있으면 Python 멀티스레드 환경에서\n"
    "다른 스레드가 막히므로, 시뮬레이션 동안 GIL 을 해제한다.",
};

bool ready_result_type() noexcept {
  if (ResultType.tp_flags & Py_TPFLAGS_READY) {
    return true;
  }
  // A static type object: one reference held by the process for ever (ob_type is set by
  // PyType_Ready).
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&ResultType), 1);
  ResultType.tp_name = "SimulationResult";
  ResultType.tp_basicsize = sizeof(ResultObject);
  ResultType.tp_itemsize = 0;
  ResultType.tp_dealloc = result_dealloc;
  ResultType.tp_flags = Py_TPFLAGS_DEFAULT;
  ResultType.tp_doc =
      "Python에서 사용 가능한 시뮬레이션 결과 클래스.\n\n"
      "내부 `SimulationResult` 가 정밀도별 enum 이므로 statevector / probabilities 는\n"
      "정밀도에 따라 numpy `complex64`/`float32` (f32) 또는 `complex128`/`float64` (f64) 를 "
      "반환한다.";
  ResultType.tp_methods = result_methods;
  ResultType.tp_getset = result_getset;
  ResultType.tp_new = result_new;
  return PyType_Ready(&ResultType) == 0;
}

}  // namespace vorn::py
