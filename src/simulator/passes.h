// Executing an operation list on a state: the gates cut into passes over the state. A pass
// either applies one gate through its kernel (gate by gate), or runs a whole run of consecutive
// gates block by block: the amplitudes that share the values of every qubit outside the pass's
// qubit set are gathered into a buffer that stays in a core's cache, every gate of the run is
// applied to it in order with the same kernels, and the buffer is scattered back. Every
// amplitude goes through exactly the operations of gate-by-gate execution, in the same order,
// so the results are the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.h"
#include "core/kernels/dispatch.h"
#include "simulator/circuit.h"

namespace vorn::sim {

// The block size of the passes: blocks of 2^block_qubits amplitudes, of which the lowest
// low_qubits qubits are always part, so that a block reads memory in runs of 2^low_qubits
// consecutive amplitudes; a pass whose gates need only the lowest in_place_qubits qubits (0:
// block_qubits) runs on whole stretches of 2^in_place_qubits amplitudes of the state, in place.
// block_qubits == 0: every gate is a pass of its own.
struct Blocking {
  unsigned block_qubits = 0;
  unsigned low_qubits = 0;
  unsigned in_place_qubits = 0;
};

// The blocking for amplitudes of amplitude_bytes bytes on this machine before it is measured
// (simulator/calibration.h chooses the runs and stretches by measurement), from the size of a
// core's level-2 cache (read once from the system): a block fills a quarter of it, so that a
// gathered block and the state's lines it was gathered from both stay in that cache until the
// block is scattered back; stretches in place are as long as blocks; runs are 2 KiB long.
Blocking cache_blocking(std::size_t amplitude_bytes);

// Operations [first, last) of a list, run as one pass: gate by gate when qubits is 0 (then the
// range holds one gate, or measurements only), else blockwise over the qubit set `qubits` (bit q
// set: qubit q is in the set).
struct Pass {
  std::size_t first = 0;
  std::size_t last = 0;
  std::uint64_t qubits = 0;
};

// What the planner weighs, in one unit of time per amplitude of the state (seconds, or trips
// through the state's memory: only the ratios count). The defaults are the fixed model in trips
// used before the machine is measured (simulator/calibration.h): a gate through its kernel and
// a pass in place cost one trip, a pass that gathers its blocks two and a half (its runs lie
// apart in memory), and the arithmetic is taken as free.
struct PassCosts {
  // A single-qubit gate through its kernel over the whole state (gate by gate).
  double gate = 1.0;
  // CX through its kernel with its control from qubit 4 on, which leaves the half of the state
  // where the control is 0 untouched (CCX with such controls is counted the same).
  double controlled = 1.0;
  // A blockwise pass in place (its blocks are whole stretches of the state) of one
  // single-qubit gate.
  double in_place = 1.0;
  // A blockwise pass that gathers its blocks and scatters them back, of one single-qubit gate.
  double gathered = 2.5;
  // A single-qubit gate on a block in the cache: what each further gate of a blockwise pass
  // adds. The other kinds weigh as their kernels compute: CX a half, CCX and CSWAP a quarter,
  // CZ and SWAP (the 4x4 kernel) two; a control left outside a pass's set halves it again.
  double arithmetic = 0.0;
};

// Cuts ops into passes of consecutive operations, at the least total cost: each gate run by its
// kernel costs its trip through the state beyond its arithmetic, plus its arithmetic; a
// blockwise pass costs its trip beyond the arithmetic of one gate, plus the arithmetic of its
// gates. Where the arithmetic dominates (a machine whose kernels run at nearly memory speed),
// the cheapest plan runs every gate by its kernel. A pass in place holds gates that need only
// the lowest in_place_qubits qubits. A gathered pass holds gates while the union of the low
// qubits and the qubits the gates need fits in a block; its set is then filled up with the
// lowest qubits not in it, to block_qubits qubits, which lengthens the runs of consecutive
// amplitudes. A gate needs its operands, except that the controls of CX and CCX (with distinct
// operands) and of a controlled gate (ControlledGate) may stay outside: each block has one value
// of them, which runs the gate there or leaves it out. A blockwise pass holds at least two gates
// (blocking one saves nothing); on equal costs a blockwise pass is preferred, an in-place one to a
// gathered one. Measurements go with the pass they fall in. A state that fits in a block or a
// stretch (it fits in the cache) is run gate by gate. The plan is a function of ops, num_qubits,
// blocking and costs alone.
std::vector<Pass> plan_passes(std::span<const Operation> ops, unsigned num_qubits,
                              Blocking blocking, const PassCosts& costs);

// A plan with what the planner expects of it, in the units of its costs: the least total cost it
// found, and the arithmetic of its gates alone (each in a pass that holds all its operands), the
// floor no plan goes below.
struct Plan {
  std::vector<Pass> passes;
  double cost = 0.0;
  double arithmetic = 0.0;
};

// plan_passes, with the plan's cost.
Plan plan_with_cost(std::span<const Operation> ops, unsigned num_qubits, Blocking blocking,
                    const PassCosts& costs);

// plan_passes with the fixed model (PassCosts{}).
std::vector<Pass> plan_passes(std::span<const Operation> ops, unsigned num_qubits,
                              Blocking blocking);

// Applies every gate of ops in order by the passes of plan_passes, then, when phase is given,
// multiplies every amplitude by e^{i phase} (in the last pass when that pass is blockwise).
// The plan follows the calibration for v's size (simulator/calibration.h), which the first run
// of a size with at least two gates measures on v when v's upper half holds zero bits (a fresh
// state); without one, the caches' blocking and the fixed model. v.size() must be 2^m with every
// gate operand below m. Returns whether ops holds a measurement.
template <typename T>
bool execute_operations(std::span<core::Complex<T>> v, std::span<const Operation> ops,
                        std::optional<double> phase);

// Runs one blockwise pass (pass.qubits != 0) of ops over v with the kernels of `table`, every
// block on the calling thread: what the calibration (simulator/calibration.h) times.
template <typename T>
void run_blockwise_pass(const core::kernels::KernelTable<T>& table, std::span<core::Complex<T>> v,
                        std::span<const Operation> ops, const Pass& pass);

// e^{i phase} as the products need it: cos and sin in double, rounded once to T.
template <typename T>
struct PhaseFactor {
  T c;
  T s;
  explicit PhaseFactor(double phase);
};

// (re, im) <- (re*c - im*s, im*c + re*s) for every amplitude of v, on the calling thread.
template <typename T>
void multiply_by_phase(std::span<core::Complex<T>> v, const PhaseFactor<T>& factor);

namespace testing {
// Runs fn so that every execution of operations started from fn on this thread uses the given
// blocking instead of the one found from the caches, for states of any size above
// 2^blocking.block_qubits amplitudes; a block_qubits of 0 runs every gate as a pass of its own.
// Calls may nest; the innermost wins.
void run_with_blocking(Blocking blocking, const std::function<void()>& fn);

// Runs fn so that every execution of operations started from fn on this thread plans with the
// given costs instead of the calibration's (with run_with_blocking: instead of the fixed
// model). Calls may nest; the innermost wins.
void run_with_costs(const PassCosts& costs, const std::function<void()>& fn);
}  // namespace testing

}  // namespace vorn::sim
