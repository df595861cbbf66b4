// A dynamic program: the circuit record's gates plus what a run decides while it goes:
// measurements whose outcome later operations see, resets, and jumps on conditions over the
// classical bits. Control flow is a flat instruction list with jumps (an `if` is a JumpUnless
// over its body, an `else` a Jump over the other branch), so that an engine walks it with a
// program counter and a branch of a run is (state, counter, classical bits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "simulator/circuit.h"

namespace vorn::sim {

// Returns qubit to |0>: its outcome is drawn as a measurement's would be (and recorded
// nowhere), the state is projected onto it and the qubit flipped when the outcome was 1.
struct Reset {
  std::uint64_t qubit;
};

// The nodes of a condition, kept in the program's condition pool; a node's operands come
// before it in the pool.
enum class ConditionKind : std::uint8_t {
  Bit,      // bit `bit` is 1
  Compare,  // bits [offset, offset + size) as an unsigned integer (bit offset least
            // significant, any width) `compare` `value`
  Not,      // !left
  And,      // left && right
  Or,       // left || right
  Const,    // `value` != 0
};

enum class CompareOp : std::uint8_t { Eq, Ne, Lt, Le, Gt, Ge };

struct ConditionNode {
  ConditionKind kind = ConditionKind::Const;
  CompareOp compare = CompareOp::Eq;
  std::uint64_t bit = 0;  // Bit
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::int64_t value = 0;  // Compare (may be negative: every register value is then greater), Const
  std::uint32_t left = 0;
  std::uint32_t right = 0;
};

// Continues at `target` when the condition rooted at pool index `condition` is false.
struct JumpUnless {
  std::uint32_t condition;
  std::size_t target;
};

struct Jump {
  std::size_t target;
};

// Bit `bit` takes the value of the condition rooted at pool index `condition` (1 when it holds):
// the bit assignments of OpenQASM 3 (`c[0] = 1;`, `flags = b;`) that a run carries out.
struct SetBit {
  std::uint64_t bit;
  std::uint32_t condition;
};

// Gates (GateOp, and ControlledGate for a matrix under any controls), measurements of one qubit
// into one bit (Measure), resets, jumps (a Jump back to an earlier JumpUnless makes a loop) and
// bit assignments.
using Instruction = std::variant<GateOp, Measure, Reset, JumpUnless, Jump, SetBit, ControlledGate>;

// Whether an instruction acts on the state as a gate.
inline bool is_gate(const Instruction& instruction) {
  return std::holds_alternative<GateOp>(instruction) ||
         std::holds_alternative<ControlledGate>(instruction);
}

// A named classical register: bits [offset, offset + size) of the program's bits.
struct BitRegister {
  std::string name;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

struct Program {
  std::uint64_t n_qubits = 0;
  std::uint64_t n_bits = 0;
  std::vector<Instruction> instructions;
  std::vector<ConditionNode> conditions;
  // In declaration order; together they cover the bits [0, n_bits) once. Outcome keys write
  // them right to left, one space apart, bit 0 of each register rightmost.
  std::vector<BitRegister> registers;
  // The bits' values before the first instruction (empty: all 0; otherwise n_bits entries).
  std::vector<std::uint8_t> initial_bits;
  // Multiplies the final state, as the circuit record's global phase does.
  double global_phase = 0.0;
  // The files the program was read from besides its own text, in the order they were first
  // included (for reports; the instructions already hold their contents).
  std::vector<std::string> included_files;
  // Where each loop of the program comes from, for the message of a loop that does not end:
  // the index of its test (the JumpUnless its Jump back returns to) and how the text names it
  // ("the 'while' loop at line 5:1"). A loop without an entry is named by its instruction.
  std::vector<std::pair<std::size_t, std::string>> loop_names;
};

// The program of a circuit record: its gates as GateOp and its measurements as Measure in list
// order (MeasureAll as Measure q -> bit q for every qubit), n_cbits bits in one register "c"
// (none when there are no bits) and the global phase. A measurement into a bit at or above
// n_cbits (possible when a later measure_all lowered the count) keeps its bit: n_bits grows to
// hold it, outside the register, so that keys stay n_cbits wide.
Program program_from_circuit(const Circuit& circuit);

// Per instruction, whether it is a terminal measurement: a Measure after the last jump or bit
// assignment (every one when there is none) whose qubit no later gate or reset touches. A terminal
// measurement does not act on the state: its bit is written from the whole-register outcome a
// shot draws at the end. The other measurements (and resets) act where they stand.
std::vector<bool> terminal_measurements(const Program& program);

// A program runs as a circuit does (one simulation, then whole-register samples) when every
// measurement is terminal and it has no reset and no jump.
bool is_static(const Program& program);

// Checks every operand against the program's sizes: qubits below n_qubits, bits below n_bits,
// gate kinds known, jump targets at most the instruction count, condition indices inside the
// pool and a node's operands before it, registers inside the bits, initial_bits empty or
// n_bits values of 0 or 1. The first violation throws core::Abort: the reader and the Python
// layer build only valid programs, so a violation is a broken invariant.
void validate_program(const Program& program);

// The value of the condition rooted at pool index `root` over the bits (n_bits values of 0 or
// 1). Precondition: the program is valid.
bool condition_holds(const Program& program, std::uint32_t root,
                     std::span<const std::uint8_t> bits);

// The outcome key of a bit array (n_bits values): the registers in declaration order written
// right to left, one space apart, each with its bit 0 rightmost; bits in no register are not
// shown. A program without registers shows the whole array as one register.
std::string outcome_key(const Program& program, std::span<const std::uint8_t> bits);

}  // namespace vorn::sim
