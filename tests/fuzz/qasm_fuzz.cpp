// libFuzzer target over the whole OpenQASM reader: any byte string is read, and either a
// circuit or an error comes back. A crash, a sanitizer report, an escaping exception or a
// hang is a fault.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "qasm/lowering.h"

namespace {

// Smaller bounds than the default keep every input fast; the code paths are the same.
constexpr vorn::qasm::ReadLimits FUZZ_LIMITS{std::uint64_t{1} << 16, std::uint64_t{1} << 20};

[[noreturn]] void fail() { __builtin_trap(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vorn::qasm::Result<vorn::sim::Circuit> circuit = vorn::qasm::parse_qasm(text, FUZZ_LIMITS);
  if (!circuit.ok()) {
    // Every error renders, with its kind's fixed prefix.
    if (circuit.error().render().rfind("qasm ", 0) != 0) {
      fail();
    }
    return 0;
  }
  const vorn::sim::Circuit& c = circuit.value();
  if (c.ops().size() > FUZZ_LIMITS.max_operations) {
    fail();
  }
  for (const vorn::sim::Operation& op : c.ops()) {
    if (const auto* gate = std::get_if<vorn::sim::GateOp>(&op)) {
      for (unsigned k = 0; k < gate->arity(); ++k) {
        if (gate->qubits[k] >= c.n_qubits()) {
          fail();
        }
      }
    } else if (const auto* m = std::get_if<vorn::sim::Measure>(&op)) {
      if (m->qubit >= c.n_qubits() || m->cbit >= c.n_cbits()) {
        fail();
      }
    }
  }
  return 0;
}
