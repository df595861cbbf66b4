// libFuzzer target over the whole OpenQASM reader, in both modes: any byte string is read, and
// either a result or an error comes back. A crash, a sanitizer report, an escaping exception
// or a hang is a fault, and so is a result that breaks its invariants. For the dynamic mode
// the input is split at NUL bytes into the text and the files it may include (f1.inc,
// lib/f2.inc, f3.inc, lib/f4.inc, ...), served from memory, and a program that is read must be
// written back as 3.0 text that reads to the same text again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "qasm/exporter.h"
#include "qasm/lowering.h"
#include "qasm/program_reader.h"

namespace {

using vorn::qasm::ReadLimits;

// Smaller bounds than the default keep every input fast; the code paths are the same.
constexpr ReadLimits FUZZ_LIMITS{std::uint64_t{1} << 16, std::uint64_t{1} << 20,
                                 std::uint64_t{1} << 16};

// A property does not hold: its line goes to stderr, where the fuzzing script looks for it.
[[noreturn]] void fail(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) {
  std::fprintf(stderr, "property failed at %s:%u\n", file, line);
  __builtin_trap();
}

void check_error(const vorn::qasm::QasmError& error) {
  // Every error renders, with its kind's fixed prefix.
  if (error.render().rfind("qasm ", 0) != 0) {
    fail();
  }
}

void check_circuit(std::string_view text) {
  vorn::qasm::Result<vorn::sim::Circuit> circuit = vorn::qasm::parse_qasm(text, FUZZ_LIMITS);
  if (!circuit.ok()) {
    check_error(circuit.error());
    return;
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
}

// What the engine relies on: operands in range, jumps forward within the list, conditions
// over earlier pool entries and existing bits, registers tiling the bits.
void check_program(const vorn::sim::Program& p) {
  using namespace vorn::sim;
  if (p.instructions.size() > FUZZ_LIMITS.max_operations ||
      p.conditions.size() > FUZZ_LIMITS.max_operations) {
    fail();
  }
  // Registers in order and apart; bits in no register are the local bits of blocks and
  // subroutines, which outcome keys do not show.
  std::uint64_t next = 0;
  for (const BitRegister& reg : p.registers) {
    if (reg.offset < next || reg.size > p.n_bits || reg.offset > p.n_bits - reg.size) {
      fail();
    }
    next = reg.offset + reg.size;
  }
  if (!p.initial_bits.empty() && p.initial_bits.size() != p.n_bits) {
    fail();
  }
  for (std::size_t n = 0; n < p.conditions.size(); ++n) {
    const ConditionNode& node = p.conditions[n];
    const bool binary = node.kind == ConditionKind::And || node.kind == ConditionKind::Or;
    if ((node.kind == ConditionKind::Not || binary) && node.left >= n) {
      fail();
    }
    if (binary && node.right >= n) {
      fail();
    }
    if (node.kind == ConditionKind::Bit && node.bit >= p.n_bits) {
      fail();
    }
    if (node.kind == ConditionKind::Compare &&
        (node.offset > p.n_bits || node.size > p.n_bits - node.offset || node.value < 0)) {
      fail();
    }
  }
  for (std::size_t i = 0; i < p.instructions.size(); ++i) {
    const Instruction& instruction = p.instructions[i];
    if (const auto* gate = std::get_if<GateOp>(&instruction)) {
      for (unsigned k = 0; k < gate->arity(); ++k) {
        if (gate->qubits[k] >= p.n_qubits) {
          fail();
        }
      }
    } else if (const auto* c = std::get_if<vorn::sim::ControlledGate>(&instruction)) {
      // The reader makes CX and CCX of X under one or two controls that want 1.
      if (c->controls.empty() || c->controls.size() != c->values.size()) {
        fail();
      }
      for (const std::uint64_t q : c->qubits()) {
        if (q >= p.n_qubits) {
          fail();
        }
      }
    } else if (const auto* m = std::get_if<Measure>(&instruction)) {
      if (m->qubit >= p.n_qubits || m->cbit >= p.n_bits) {
        fail();
      }
    } else if (const auto* r = std::get_if<Reset>(&instruction)) {
      if (r->qubit >= p.n_qubits) {
        fail();
      }
    } else if (const auto* test = std::get_if<JumpUnless>(&instruction)) {
      if (test->condition >= p.conditions.size() || test->target <= i ||
          test->target > p.instructions.size()) {
        fail();
      }
    } else if (const auto* jump = std::get_if<Jump>(&instruction)) {
      // Forward past an else branch, or back to a loop's test.
      if (jump->target == i || jump->target == i + 1 || jump->target > p.instructions.size()) {
        fail();
      }
    } else if (const auto* set = std::get_if<SetBit>(&instruction)) {
      if (set->bit >= p.n_bits || set->condition >= p.conditions.size()) {
        fail();
      }
    }
  }
}

// Whether the registers cover the bits [0, n_bits) in order, as the writer needs.
bool registers_cover_bits(const vorn::sim::Program& p) {
  std::uint64_t next = 0;
  for (const vorn::sim::BitRegister& reg : p.registers) {
    if (reg.offset != next) {
      return false;
    }
    next += reg.size;
  }
  return next == p.n_bits;
}

void check_dynamic(std::string_view input) {
  std::map<std::string, std::string> files;
  std::size_t end = input.find('\0');
  const std::string_view text = input.substr(0, end);
  for (int k = 1; end != std::string_view::npos; ++k) {
    const std::size_t start = end + 1;
    end = input.find('\0', start);
    const std::string name = (k % 2 == 0 ? "lib/f" : "f") + std::to_string(k) + ".inc";
    files[name] =
        std::string(input.substr(start, end == std::string_view::npos ? end : end - start));
  }
  vorn::qasm::ProgramSource source;
  source.limits = FUZZ_LIMITS;
  // An input of odd length is read as the file lib/main.qasm: its includes are then looked up in
  // lib/ first, then from the current directory.
  if (input.size() % 2 == 1) {
    source.file_name = "lib/main.qasm";
  }
  source.read_file = [&files](const std::string& path) -> std::optional<std::string> {
    const auto found = files.find(path);
    return found == files.end() ? std::nullopt : std::optional<std::string>(found->second);
  };
  vorn::qasm::Result<vorn::sim::Program> program = vorn::qasm::read_program(text, source);
  if (!program.ok()) {
    check_error(program.error());
    return;
  }
  check_program(program.value());
  // Every program the reader makes has a 3.0 text, except one with local bits (bits in no
  // register), which the writer refuses.
  vorn::qasm::Result<std::string> written =
      vorn::qasm::export_program(program.value(), vorn::qasm::QasmVersion::V3);
  if (!written.ok()) {
    if (registers_cover_bits(program.value())) {
      fail();
    }
    return;
  }
  // Angles written as NaN or inf, or as whole numbers of 2^63 and more, do not read back;
  // everything that does reads to the same text.
  vorn::qasm::Result<vorn::sim::Program> again =
      vorn::qasm::read_program(written.value(), vorn::qasm::ProgramSource{});
  if (!again.ok()) {
    return;
  }
  vorn::qasm::Result<std::string> rewritten =
      vorn::qasm::export_program(again.value(), vorn::qasm::QasmVersion::V3);
  if (!rewritten.ok() || rewritten.value() != written.value()) {
    fail();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check_circuit(input);
  check_dynamic(input);
  return 0;
}
