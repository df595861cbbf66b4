// run(): converts the arguments, copies the program, runs the engine's dynamic path with the
// interpreter lock released, and wraps what it returns.
#include "run_result.h"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "args.h"
#include "arrays.h"
#include "convert.h"
#include "guard.h"
#include "native_messages.h"
#include "observables.h"
#include "program_type.h"
#include "ref.h"
#include "simulator/dynamic.h"
#include "simulator/fused_passes.h"
#include "static_type.h"
#include "unlocked.h"

namespace vorn::py {

PyTypeObject RunResultType{};

namespace {

struct RunResultObject {
  PyObject ob_base;  // PyObject_HEAD
  sim::DynamicRunResult result;
  // The key of each distinct outcome, made once when the run ends.
  std::vector<std::string> keys;
};

RunResultObject* as_run_result(PyObject* object) {
  return reinterpret_cast<RunResultObject*>(object);
}

template <typename Run>
struct FloatOf;
template <typename T>
struct FloatOf<sim::DynamicRun<T>> {
  using type = T;
};
template <typename Run>
using float_of = typename FloatOf<std::remove_cvref_t<Run>>::type;

template <typename Fn>
decltype(auto) visit_run(PyObject* self, Fn&& fn) {
  return std::visit(std::forward<Fn>(fn), as_run_result(self)->result);
}

void result_dealloc(PyObject* self) {
  std::destroy_at(&as_run_result(self)->keys);
  std::destroy_at(&as_run_result(self)->result);
  Py_TYPE(self)->tp_free(self);
}

std::vector<Ref> key_objects(const std::vector<std::string>& keys) {
  std::vector<Ref> objects;
  objects.reserve(keys.size());
  for (const std::string& key : keys) {
    objects.push_back(Ref::steal(
        PyUnicode_DecodeASCII(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr)));
  }
  return objects;
}

PyObject* result_counts(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    const std::vector<std::string>& keys = as_run_result(self)->keys;
    const std::vector<std::uint64_t> per_outcome = visit_run(self, [&](const auto& run) {
      std::vector<std::uint64_t> counts(keys.size(), 0);
      for (const auto outcome : run.outcome.memory) {
        ++counts[outcome];
      }
      return counts;
    });
    const std::vector<Ref> objects = key_objects(keys);
    Ref dict = Ref::steal(PyDict_New());
    for (std::size_t k = 0; k < objects.size(); ++k) {
      if (per_outcome[k] == 0) {
        continue;
      }
      // Two bit arrays that differ only outside the registers share a key.
      std::uint64_t count = per_outcome[k];
      if (PyObject* earlier = PyDict_GetItemWithError(dict.get(), objects[k].get())) {
        count += PyLong_AsUnsignedLongLong(earlier);
      } else if (PyErr_Occurred()) {
        throw ErrorAlreadySet{};
      }
      const Ref value = Ref::steal(PyLong_FromUnsignedLongLong(count));
      if (PyDict_SetItem(dict.get(), objects[k].get(), value.get()) < 0) {
        throw ErrorAlreadySet{};
      }
    }
    return dict.release();
  });
}

PyObject* result_memory(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    const std::vector<Ref> objects = key_objects(as_run_result(self)->keys);
    return visit_run(self, [&](const auto& run) -> PyObject* {
      const auto& memory = run.outcome.memory;
      Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(memory.size())));
      for (std::size_t s = 0; s < memory.size(); ++s) {
        PyObject* key = objects[memory[s]].get();
        Py_INCREF(key);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(s), key);
      }
      return list.release();
    });
  });
}

template <typename Run>
void require_state(const Run& run) {
  if (!run.final_state.has_value()) {
    throw_text(PyExc_ValueError, run.outcome.no_final_state);
  }
}

PyObject* result_statevector(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    return visit_run(self, [](const auto& run) -> PyObject* {
      using T = float_of<decltype(run)>;
      require_state(run);
      return new_state_array<T>(run.final_state->amplitudes());
    });
  });
}

PyObject* result_probabilities(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    return visit_run(self, [](const auto& run) -> PyObject* {
      using T = float_of<decltype(run)>;
      require_state(run);
      return new_probability_array<T>(run.final_state->amplitudes());
    });
  });
}

// has_state -> bool; state_reason -> str ("" when there is a state).
PyObject* result_has_state(PyObject* self, void* /*closure*/) {
  return guard([&]() -> PyObject* {
    return PyBool_FromLong(
        visit_run(self, [](const auto& run) { return run.final_state.has_value(); }));
  });
}

PyObject* result_state_reason(PyObject* self, void* /*closure*/) {
  return guard([&]() -> PyObject* {
    return visit_run(self, [](const auto& run) -> PyObject* {
      const std::string& reason = run.outcome.no_final_state;
      return PyUnicode_FromStringAndSize(reason.data(), static_cast<Py_ssize_t>(reason.size()));
    });
  });
}

PyObject* result_precision(PyObject* self, void* /*closure*/) {
  return guard([&]() -> PyObject* {
    return PyUnicode_FromString(as_run_result(self)->result.index() == 0 ? "f32" : "f64");
  });
}

// stats -> dict of the run's figures (static, evolutions, replays, peak states, events).
PyObject* result_stats(PyObject* self, void* /*closure*/) {
  return guard([&]() -> PyObject* {
    return visit_run(self, [](const auto& run) -> PyObject* {
      Ref dict = Ref::steal(PyDict_New());
      const auto put = [&](const char* name, PyObject* value) {
        const Ref owned = Ref::steal(value);
        if (PyDict_SetItemString(dict.get(), name, owned.get()) < 0) {
          throw ErrorAlreadySet{};
        }
      };
      const sim::DynamicStatistics& stats = run.outcome.statistics;
      put("static", PyBool_FromLong(run.outcome.is_static));
      put("evolutions", PyLong_FromUnsignedLongLong(stats.evolutions));
      put("replays", PyLong_FromUnsignedLongLong(stats.replays));
      put("peak_states", PyLong_FromUnsignedLongLong(stats.peak_states));
      put("mid_circuit_events", PyLong_FromUnsignedLongLong(stats.mid_circuit_events));
      return dict.release();
    });
  });
}

// expectation(observables) -> [float]: each observable's value on the final state.
PyObject* result_expectation(PyObject* self, PyObject* observables) {
  return guard([&]() -> PyObject* {
    return visit_run(self, [&](const auto& run) -> PyObject* {
      require_state(run);
      const std::vector<sim::PauliSum> sums =
          to_pauli_sums(observables, run.final_state->num_qubits());
      std::vector<double> values;
      {
        const Unlocked unlocked;
        values = expectations_on_final_state(run, sums);
      }
      return new_float_list(values);
    });
  });
}

PyMethodDef result_methods[] = {
    {"expectation", result_expectation, METH_O, nullptr},
    {"counts", result_counts, METH_NOARGS, nullptr},
    {"memory", result_memory, METH_NOARGS, nullptr},
    {"statevector", result_statevector, METH_NOARGS, nullptr},
    {"probabilities", result_probabilities, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef result_getset[] = {
    {"has_state", result_has_state, nullptr, nullptr, nullptr},
    {"state_reason", result_state_reason, nullptr, nullptr, nullptr},
    {"precision", result_precision, nullptr, nullptr, nullptr},
    {"stats", result_stats, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* result_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
  return nullptr;
}

// ---- run
// ------------------------------------------------------------------------------------------

constexpr Signature<6> kRun{
    "run()", {"program", "shots", "seed", "precision", "force_replay", "fusion"}, 4};

PyObject* run_function(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kRun, args, nargs, kwnames);
    if (!is_program(bound[0])) {
      throw_conversion_error(bound[0], "program", "Program");
    }
    const std::uint64_t shots = to_index(bound[1], "shots");
    std::optional<std::uint64_t> seed;
    if (bound[2] != Py_None) {
      seed = to_index(bound[2], "seed");
    }
    const core::Precision precision = to_precision(bound[3]);
    sim::DynamicOptions options;
    options.force_replay = bound[4] != nullptr && to_flag(bound[4], "force_replay");
    options.fusion = bound[5] != nullptr ? to_fusion(bound[5], precision) : 0;
    const sim::Program& program = as_program(bound[0])->program;
    if (program.n_qubits == 0) {
      throw_text(PyExc_ValueError, native_messages::ZERO_QUBITS);
    }

    // The engine works on a private copy, made while the lock is held.
    auto copy = std::make_unique<sim::Program>(program);
    std::optional<sim::DynamicRunResult> result;
    std::vector<std::string> keys;
    // A loop that a run keeps going round ends it with RuntimeError, raised once the lock is
    // held again.
    std::optional<std::string> endless;
    {
      const Unlocked unlocked;
      try {
        result.emplace(sim::run_program(*copy, shots, seed, precision, options));
        keys = std::visit(
            [&](const auto& run) {
              std::vector<std::string> made;
              made.reserve(run.outcome.bit_arrays.size());
              for (const auto& bits : run.outcome.bit_arrays) {
                made.push_back(sim::outcome_key(*copy, bits));
              }
              return made;
            },
            *result);
      } catch (const sim::LoopLimit& e) {
        endless = e.what();
      }
      copy.reset();
    }
    if (endless.has_value()) {
      throw_text(PyExc_RuntimeError, *endless);
    }
    PyObject* self = RunResultType.tp_alloc(&RunResultType, 0);
    if (self == nullptr) {
      throw ErrorAlreadySet{};
    }
    new (&as_run_result(self)->result) sim::DynamicRunResult(std::move(*result));
    new (&as_run_result(self)->keys) std::vector<std::string>(std::move(keys));
    return self;
  });
}

}  // namespace

core::Precision to_precision(PyObject* value) {
  const std::string_view text = to_text(value, "precision");
  if (text == "f32") {
    return core::Precision::F32;
  }
  if (text != "f64") {
    throw_text(PyExc_ValueError, native_messages::bad_precision(text));
  }
  return core::Precision::F64;
}

unsigned to_fusion(PyObject* value, core::Precision precision) {
  if (value == Py_True) {
    return sim::best_fusion(precision == core::Precision::F32);
  }
  if (value == Py_False) {
    return 0;
  }
  const std::uint64_t k = to_index(value, "fusion");
  if (k != 0 && (k < sim::MIN_FUSION || k > sim::MAX_FUSION)) {
    throw_text(PyExc_ValueError, native_messages::BAD_FUSION);
  }
  return static_cast<unsigned>(k);
}

PyObject* new_float_list(std::span<const double> values) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t k = 0; k < values.size(); ++k) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k),
                    Ref::steal(PyFloat_FromDouble(values[k])).release());
  }
  return list.release();
}

bool ready_run_result_type() noexcept {
  return ready_static_type(RunResultType,
                           {"vorn._native.Result", sizeof(RunResultObject), result_dealloc, nullptr,
                            result_methods, result_getset, result_new});
}

PyMethodDef run_definition = {
    "run",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_function)),
    METH_FASTCALL | METH_KEYWORDS,
    nullptr,
};

}  // namespace vorn::py
