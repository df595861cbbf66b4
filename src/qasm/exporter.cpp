// The OpenQASM writer: a flat list of statements on the registers q and c, one line per gate,
// one line per measured qubit, and a global-phase line when the phase is not zero.
#include "qasm/exporter.h"

#include <charconv>
#include <cstdint>
#include <new>
#include <string_view>
#include <variant>

#include "qasm/format.h"

namespace vorn::qasm {
namespace {

using sim::GateOp;
using sim::Measure;
using sim::MeasureAll;

// Gate names in tag order; both dialects use the same names.
constexpr std::string_view kGateNames[core::GATE_KIND_COUNT] = {
    "h",  "x",  "y",  "z",  "s",  "sdg", "t",    "tdg", "rx",
    "ry", "rz", "u3", "id", "cx", "cz",  "swap", "ccx", "cswap",
};

// A typical line ("cx q[12],q[13];\n", "rz(0.7853981633974483) q[3];\n") is under 40 bytes;
// this only sizes the first allocation, appends grow the text as needed.
constexpr std::size_t kBytesPerOp = 24;

// The size of the first allocation: every MeasureAll writes n_qubits lines, so a register of
// billions of qubits asks for more text than memory holds. Such a request fails here, at once,
// with std::bad_alloc rather than after filling the memory line by line.
std::size_t initial_capacity(const sim::Circuit& circuit) {
  std::uint64_t measure_all = 0;
  for (const sim::Operation& op : circuit.ops()) {
    measure_all += std::holds_alternative<MeasureAll>(op) ? 1 : 0;
  }
  const std::size_t limit = std::string().max_size();
  std::size_t bytes = 96 + circuit.ops().size() * kBytesPerOp;
  if (measure_all != 0) {
    const std::uint64_t per_line = kBytesPerOp;
    const std::uint64_t n = circuit.n_qubits();
    if (n > limit / per_line / measure_all || bytes > limit - n * per_line * measure_all) {
      throw std::bad_alloc();
    }
    bytes += n * per_line * measure_all;
  }
  return bytes;
}

class Writer {
 public:
  Writer(std::string& out, QasmVersion version) : out_(out), version_(version) {}

  void number(std::uint64_t value) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    out_.append(buf, static_cast<std::size_t>(r.ptr - buf));
  }

  void qubit(std::uint64_t q) {
    out_ += "q[";
    number(q);
    out_ += ']';
  }

  void measure(std::uint64_t q, std::uint64_t cbit) {
    if (version_ == QasmVersion::V2) {
      out_ += "measure ";
      qubit(q);
      out_ += " -> c[";
      number(cbit);
      out_ += "];\n";
    } else {
      out_ += "c[";
      number(cbit);
      out_ += "] = measure ";
      qubit(q);
      out_ += ";\n";
    }
  }

  void gate(const GateOp& op) {
    const core::Gate& g = op.gate;
    out_ += kGateNames[static_cast<std::uint8_t>(g.kind)];
    switch (g.kind) {
      case core::GateKind::Rx:
      case core::GateKind::Ry:
      case core::GateKind::Rz:
        out_ += '(';
        append_angle(out_, g.theta);
        out_ += ')';
        break;
      case core::GateKind::U3:
        out_ += '(';
        append_angle(out_, g.theta);
        out_ += ',';
        append_angle(out_, g.phi);
        out_ += ',';
        append_angle(out_, g.lambda);
        out_ += ')';
        break;
      case core::GateKind::H:
      case core::GateKind::X:
      case core::GateKind::Y:
      case core::GateKind::Z:
      case core::GateKind::S:
      case core::GateKind::Sdg:
      case core::GateKind::T:
      case core::GateKind::Tdg:
      case core::GateKind::Id:
      case core::GateKind::CX:
      case core::GateKind::CZ:
      case core::GateKind::SWAP:
      case core::GateKind::CCX:
      case core::GateKind::CSWAP:
        break;
    }
    out_ += ' ';
    const unsigned n = op.arity();
    for (unsigned k = 0; k < n; ++k) {
      if (k != 0) {
        out_ += ',';
      }
      qubit(op.qubits[k]);
    }
    out_ += ";\n";
  }

 private:
  std::string& out_;
  QasmVersion version_;
};

}  // namespace

std::string export_qasm(const sim::Circuit& circuit, QasmVersion version) {
  const bool v2 = version == QasmVersion::V2;
  std::string out;
  out.reserve(initial_capacity(circuit));
  Writer w(out, version);

  out += v2 ? "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q["
            : "OPENQASM 3.0;\ninclude \"stdgates.inc\";\nqubit[";
  w.number(circuit.n_qubits());
  out += v2 ? "];\n" : "] q;\n";

  if (circuit.n_cbits() != 0) {
    out += v2 ? "creg c[" : "bit[";
    w.number(circuit.n_cbits());
    out += v2 ? "];\n" : "] c;\n";
  }

  // -0.0 compares equal to 0.0 and writes no line; NaN compares unequal and is written.
  const double phase = circuit.global_phase();
  if (phase != 0.0) {
    out += v2 ? "// global_phase: " : "gphase(";
    append_angle(out, phase);
    out += v2 ? "\n" : ");\n";
  }

  for (const sim::Operation& op : circuit.ops()) {
    if (const auto* gate = std::get_if<GateOp>(&op)) {
      w.gate(*gate);
    } else if (const auto* m = std::get_if<Measure>(&op)) {
      w.measure(m->qubit, m->cbit);
    } else {
      for (std::uint64_t q = 0; q < circuit.n_qubits(); ++q) {
        w.measure(q, q);
      }
    }
  }
  return out;
}

}  // namespace vorn::qasm
