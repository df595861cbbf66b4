// run(): converts the arguments, copies the circuit, runs the engine with the interpreter lock
// released, and wraps the engine's result in a SimulationResult object.
#include "run.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "args.h"
#include "circuit_type.h"
#include "convert.h"
#include "core/precision.h"
#include "guard.h"
#include "messages.h"
#include "result_type.h"
#include "simulator/engine.h"
#include "unlocked.h"

namespace vorn::py {

namespace {

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
        throw_text(PyExc_ValueError, messages::bad_precision(text));
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
    return new_result_object(std::move(*result));
  });
}

}  // namespace

PyMethodDef run_definition = {
    "run",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_function)),
    METH_FASTCALL | METH_KEYWORDS,
    messages::DOC_RUN,
};

}  // namespace vorn::py
