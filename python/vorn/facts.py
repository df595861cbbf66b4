"""What a circuit holds: registers, operations per gate kind, measurements, global phase.

`vorn_python.Circuit` does not list its operations, but `to_qasm` writes exactly one line per gate
operation and one per measured qubit, so the facts are read from the exported text."""
from collections import Counter
from dataclasses import dataclass


@dataclass
class CircuitFacts:
    n_qubits: int
    n_cbits: int
    gates: Counter  # gate name as written by to_qasm ("h", "cx", "u3", ...) -> operations
    measurements: int  # measured qubits (a measure_all counts once per qubit)
    global_phase: float

    @property
    def gate_count(self):
        return sum(self.gates.values())


def describe(circuit):
    n_cbits = 0
    gates = Counter()
    measurements = 0
    # The first three lines are the version, the include and the quantum register.
    for line in circuit.to_qasm("2.0").splitlines()[3:]:
        if line.startswith("creg c["):
            n_cbits = int(line[len("creg c[") : -2])
        elif line.startswith("measure "):
            measurements += 1
        elif not line.startswith("//"):
            end = len(line)
            for stop in ("(", " "):
                found = line.find(stop)
                if found != -1:
                    end = min(end, found)
            gates[line[:end]] += 1
    return CircuitFacts(circuit.num_qubits(), n_cbits, gates, measurements, circuit.global_phase)
