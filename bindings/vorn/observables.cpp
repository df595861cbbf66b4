// Reading observables and evaluating them on a program's final state.
#include "observables.h"

#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "args.h"
#include "convert.h"
#include "guard.h"
#include "native_messages.h"
#include "program_type.h"
#include "ref.h"
#include "run_result.h"
#include "simulator/dynamic.h"
#include "simulator/expectation.h"
#include "unlocked.h"

namespace vorn::py {

namespace {

template <typename T>
T parsed_or_raise(sim::Parsed<T>&& parsed) {
  if (!parsed.ok()) {
    throw_text(PyExc_ValueError, parsed.error());
  }
  return std::move(parsed).value();
}

sim::PauliSum to_pauli_sum(PyObject* parts, std::uint64_t n_qubits) {
  const Ref items = Ref::steal(PySequence_Fast(parts, "an observable is a sequence of parts"));
  sim::PauliSum sum;
  for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
    PyObject* part = PySequence_Fast_GET_ITEM(items.get(), k);
    if (PyUnicode_Check(part)) {
      sim::PauliSum read =
          parsed_or_raise(sim::parse_observable(to_text(part, "observable"), n_qubits));
      sum.terms.insert(sum.terms.end(), read.terms.begin(), read.terms.end());
    } else if (PyTuple_Check(part) && PyTuple_GET_SIZE(part) == 2) {
      const std::string_view label = to_text(PyTuple_GET_ITEM(part, 0), "label");
      const double coefficient = to_double(PyTuple_GET_ITEM(part, 1), "coefficient");
      sum.terms.push_back(parsed_or_raise(sim::parse_label(label, coefficient, n_qubits)));
    } else {
      throw_text(PyExc_TypeError, native_messages::BAD_OBSERVABLE_PART);
    }
  }
  return sum;
}

constexpr Signature<2> kCheck{"check_observable()", {"parts", "n_qubits"}};

PyObject* check_observable_function(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kCheck, args, nargs, kwnames);
    const sim::PauliSum sum = to_pauli_sum(bound[0], to_index(bound[1], "n_qubits"));
    Ref list = Ref::steal(PyList_New(0));
    for (const sim::PauliTerm& term : sum.terms) {
      const std::string label = sim::pauli_label(term);
      const Ref item = Ref::steal(Py_BuildValue(
          "(s#d)", label.data(), static_cast<Py_ssize_t>(label.size()), term.coefficient));
      if (PyList_Append(list.get(), item.get()) < 0) {
        throw ErrorAlreadySet{};
      }
    }
    return list.release();
  });
}

constexpr Signature<4> kExpectation{
    "expectation()", {"program", "observables", "precision", "fusion"}, 3};

PyObject* expectation_function(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = bind(kExpectation, args, nargs, kwnames);
    if (!is_program(bound[0])) {
      throw_conversion_error(bound[0], "program", "Program");
    }
    const sim::Program& program = as_program(bound[0])->program;
    const core::Precision precision = to_precision(bound[2]);
    sim::DynamicOptions options;
    options.fusion = bound[3] != nullptr ? to_fusion(bound[3], precision) : 0;
    if (!sim::is_static(program)) {
      throw_text(PyExc_ValueError, native_messages::NO_SINGLE_FINAL_STATE);
    }
    if (program.n_qubits == 0) {
      throw_text(PyExc_ValueError, native_messages::ZERO_QUBITS);
    }
    const std::vector<sim::PauliSum> sums = to_pauli_sums(bound[1], program.n_qubits);
    sim::Program copy(program);
    std::vector<double> values;
    {
      const Unlocked unlocked;
      sim::DynamicRunResult run = sim::run_program(copy, 0, 0, precision, options);
      values = std::visit(
          [&](const auto& result) { return expectations_on_final_state(result, sums); }, run);
    }
    return new_float_list(values);
  });
}

}  // namespace

std::vector<sim::PauliSum> to_pauli_sums(PyObject* observables, std::uint64_t n_qubits) {
  const Ref items = Ref::steal(PySequence_Fast(observables, "observables must be a sequence"));
  std::vector<sim::PauliSum> sums;
  for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
    sums.push_back(to_pauli_sum(PySequence_Fast_GET_ITEM(items.get(), k), n_qubits));
  }
  return sums;
}

PyMethodDef check_observable_definition = {
    "check_observable",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_observable_function)),
    METH_FASTCALL | METH_KEYWORDS, nullptr};

PyMethodDef expectation_definition = {
    "expectation",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(expectation_function)),
    METH_FASTCALL | METH_KEYWORDS, nullptr};

}  // namespace vorn::py
