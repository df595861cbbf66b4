"""What a program holds: registers, operations per gate kind, measurements (and which of them
happen mid-circuit), resets, conditions, loops, bit assignments, included files, global phase."""
from collections import Counter
from dataclasses import dataclass, field


@dataclass
class ProgramFacts:
    n_qubits: int
    n_cbits: int
    gates: Counter  # gate name as OpenQASM writes it ("h", "cx", "u3", ...) -> operations
    measurements: int  # measured qubits (a whole-register measurement counts once per qubit)
    global_phase: float
    mid_circuit_measurements: int = 0
    resets: int = 0
    conditions: int = 0
    loops: int = 0
    bit_assignments: int = 0
    included_files: list = field(default_factory=list)

    @property
    def gate_count(self):
        return sum(self.gates.values())

    @property
    def is_dynamic(self):
        return bool(self.mid_circuit_measurements or self.resets or self.conditions)


def describe(program):
    """The facts of a vorn.Program."""
    s = program.summary()
    return ProgramFacts(
        n_qubits=program.num_qubits,
        n_cbits=program.num_bits,
        gates=Counter(s["gates"]),
        measurements=s["measurements"],
        global_phase=program.global_phase,
        mid_circuit_measurements=s["mid_circuit_measurements"],
        resets=s["resets"],
        conditions=s["conditions"],
        loops=s["loops"],
        bit_assignments=s["bit_assignments"],
        included_files=list(s["included_files"]),
    )
