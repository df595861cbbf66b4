// SimulationResult: hands the engine's result out as a dict and NumPy arrays, each a fresh copy.
#include "result_type.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "arrays.h"
#include "core/precision.h"
#include "guard.h"
#include "messages.h"
#include "numpy_api.h"
#include "simulator/engine.h"
#include "static_type.h"

namespace vorn::py {

PyTypeObject ResultType{};

namespace {

struct ResultObject {
  PyObject ob_base;  // PyObject_HEAD
  sim::SimulationResult result;
};

ResultObject* as_result(PyObject* object) { return reinterpret_cast<ResultObject*>(object); }

// The float type of one alternative of the engine's result.
template <typename Run>
struct FloatOf;
template <typename T>
struct FloatOf<sim::RunResult<T>> {
  using type = T;
};
template <typename Run>
using float_of = typename FloatOf<std::remove_cvref_t<Run>>::type;

// ---- SimulationResult ---------------------------------------------------------------------------

PyObject* result_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyErr_Format(PyExc_TypeError, messages::NO_CONSTRUCTOR, type->tp_name);
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
    // Sized for every key from the start: a dict filled from empty moves all its entries to a
    // new table at each doubling.
    Ref dict = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(counts.size())));
    for (const auto& [key, count] : counts) {
      // Keys hold only '0' and '1': each str is made at its size as ASCII and the characters
      // are copied in, with nothing to decode.
      const Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(key.size()), 127));
      std::memcpy(PyUnicode_1BYTE_DATA(text.get()), key.data(), key.size());
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
          return new_state_array<T>(run.statevector.amplitudes());
        },
        as_result(self)->result);
  });
}

PyObject* result_probabilities(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    return std::visit(
        [](const auto& run) -> PyObject* {
          using T = float_of<decltype(run)>;
          return new_probability_array<T>(run.statevector.amplitudes());
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
    {"counts", result_counts, METH_NOARGS, messages::DOC_COUNTS},
    {"statevector", result_statevector, METH_NOARGS, messages::DOC_STATEVECTOR},
    {"probabilities", result_probabilities, METH_NOARGS, messages::DOC_PROBABILITIES},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef result_getset[] = {
    {"precision", result_precision, nullptr, messages::DOC_PRECISION, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* new_result_object(sim::SimulationResult&& result) {
  PyObject* self = ResultType.tp_alloc(&ResultType, 0);
  if (self == nullptr) {
    throw ErrorAlreadySet{};
  }
  new (&as_result(self)->result) sim::SimulationResult(std::move(result));
  return self;
}

bool ready_result_type() noexcept {
  return ready_static_type(
      ResultType, {"SimulationResult", sizeof(ResultObject), result_dealloc,
                   messages::DOC_SIMULATION_RESULT, result_methods, result_getset, result_new});
}

}  // namespace vorn::py
