"""vorn: an exact, fast state-vector quantum circuit simulator.

The package's Python API runs dynamic programs (mid-circuit measurement, reset, conditions and
included files) read from OpenQASM or built in Python:

    import vorn
    p = vorn.load("teleport.qasm")
    r = vorn.run(p, shots=1000, seed=7)
    r.counts(), r.memory()

`vorn_python` is the specified module for static circuits; `vorn.run` also accepts its
`Circuit`. The `vorn` shell command (`vorn --help`) runs, inspects and converts files.
"""
from vorn.observable import Observable, expectation
from vorn.program import Bits, Condition, Program, load
from vorn.results import Result, run

__all__ = ["Bits", "Condition", "Observable", "Program", "Result", "expectation", "load", "run"]
