"""A short tour of vorn_python and the vorn package: build circuits gate by gate, run them,
read out the results; then a dynamic program (mid-circuit measurement, conditions, reset) and an
expectation value.

    python examples/tour.py
"""
import math

import numpy as np

import vorn
from vorn_python import Circuit, run


def show_amplitudes(state, n, limit=8):
    shown = 0
    for index, amplitude in enumerate(state):
        if abs(amplitude) > 1e-12:
            print(f"    |{index:0{n}b}>  {amplitude.real:+.6f} {amplitude.imag:+.6f}i")
            shown += 1
            if shown == limit:
                print("    ...")
                break


def ghz(n):
    """(|0...0> + |1...1>) / sqrt(2): H on qubit 0, then a chain of CX."""
    c = Circuit(n)
    c.h(0)
    for q in range(n - 1):
        c.cx(q, q + 1)
    c.measure_all()
    return c


def qft(n, basis_state):
    """The quantum Fourier transform of |basis_state>, from native gates only.

    The controlled phase CP(angle) is built from rz and cx; it equals CP up to a global phase,
    which changes no probability."""
    c = Circuit(n)
    for q in range(n):
        if (basis_state >> q) & 1:
            c.x(q)
    for target in reversed(range(n)):
        c.h(target)
        for control in reversed(range(target)):
            angle = math.pi / 2 ** (target - control)
            c.rz(angle / 2, control)
            c.cx(control, target)
            c.rz(-angle / 2, target)
            c.cx(control, target)
            c.rz(angle / 2, target)
    for q in range(n // 2):
        c.swap(q, n - 1 - q)
    return c


def main():
    print("GHZ state on 5 qubits, 1000 shots, seed 7")
    result = run(ghz(5), shots=1000, seed=7)
    print("  counts:", dict(sorted(result.counts().items())))
    print("  amplitudes:")
    show_amplitudes(result.statevector(), 5)

    print()
    print("The same circuit in single precision")
    result32 = run(ghz(5), shots=1000, seed=7, precision="f32")
    print("  precision:", result32.precision, "dtype:", result32.statevector().dtype)
    print("  counts:", dict(sorted(result32.counts().items())))

    print()
    n, x = 4, 5
    print(f"QFT of |{x:0{n}b}> on {n} qubits: every outcome equally likely, phases 2*pi*x*k/16")
    result = run(qft(n, x), shots=0)
    state = result.statevector()
    probabilities = result.probabilities()
    print(f"  probabilities: min {probabilities.min():.6f}, max {probabilities.max():.6f}, "
          f"sum {probabilities.sum():.12f}")
    # Up to one global phase, amplitude k is exp(2*pi*i*x*k/2^n)/sqrt(2^n).
    expected = np.exp(2j * np.pi * x * np.arange(2**n) / 2**n) / math.sqrt(2**n)
    phase = state[0] / expected[0]
    print(f"  largest deviation from the textbook amplitudes: "
          f"{np.abs(state - phase * expected).max():.2e}")
    print("  amplitudes:")
    show_amplitudes(state, n, limit=4)

    print()
    print("Reading OpenQASM 2.0, writing OpenQASM 3.0")
    bell = Circuit.from_qasm(BELL_QASM)
    result = run(bell, shots=500, seed=1)
    print("  qubits:", bell.num_qubits(), " counts:", dict(sorted(result.counts().items())))
    print(indent(bell.to_qasm("3.0")))

    print("Any 2x2 unitary, decomposed into rz, ry, rz with its phase in global_phase")
    c = Circuit(1)
    sqrt_x = np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]]) / 2
    c.unitary(sqrt_x, 0)
    c.unitary(sqrt_x, 0)
    print(f"  global_phase: {c.global_phase:.6f}")
    print("  sqrt(X) twice acts as X on |0>:")
    show_amplitudes(run(c, shots=0).statevector(), 1)
    passes = c.transpile()
    print(f"  transpile ran {passes} passes; the circuit is now:")
    print(indent(c.to_qasm()))

    try:
        Circuit.from_qasm("OPENQASM 2.0;\nqreg q[1];\nreset q[0];\n")
    except ValueError as error:
        print("Refused program:", error)

    print()
    print("A dynamic program with the vorn package: teleport ry(1.1)|0> from qubit 0 to 2")
    p = vorn.Program(3, 3)
    p.ry(1.1, 0)
    p.h(1)
    p.cx(1, 2)
    p.cx(0, 1)
    p.h(0)
    p.measure(0, 0)
    p.measure(1, 1)
    with p.if_test(p.bit(1)):
        p.x(2)
    with p.if_test(p.bit(0)):
        p.z(2)
    p.measure(2, 2)
    result = vorn.run(p, shots=4000, seed=3)
    ones = sum(count for key, count in result.counts().items() if key[0] == "1")
    print(f"  bit 2 was 1 in {ones / 4000:.3f} of the shots; sin(0.55)^2 = {math.sin(0.55) ** 2:.3f}")
    print(f"  {result.stats['evolutions']} branches simulated for 4000 shots")
    print("  the same program as OpenQASM 3.0:")
    print(indent(p.to_qasm("3.0")))

    print("Expectation values on a static program's final state, without copying it")
    print(f"  GHZ(5): <Z0 Z4> = {vorn.expectation(ghz(5), 'Z0 Z4'):+.6f}, "
          f"<XXXXX> = {vorn.expectation(ghz(5), 'XXXXX'):+.6f}")


BELL_QASM = """OPENQASM 2.0;
include "qelib1.inc";
qreg q[2];
creg c[2];
h q[0];
cx q[0], q[1];
measure q -> c;
"""


def indent(text):
    return "\n".join("    " + line for line in text.rstrip().splitlines()) + "\n"


if __name__ == "__main__":
    main()
