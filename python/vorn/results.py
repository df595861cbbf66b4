"""Running programs: `vorn.run` and its result."""
import operator

from vorn import _native
from vorn.program import Program

PRECISIONS = ("f64", "f32")


def as_native_program(program):
    """The native program of a vorn.Program or of a vorn_python.Circuit."""
    if isinstance(program, Program):
        return program._native
    if type(program).__name__ == "Circuit" and type(program).__module__ == "builtins":
        return _native.from_circuit(program)
    raise TypeError(
        f"expected a vorn.Program or a vorn_python.Circuit, not {type(program).__name__!r}"
    )


def check_precision(precision):
    if not isinstance(precision, str) or precision not in PRECISIONS:
        raise ValueError(f"precision must be 'f32' or 'f64', not {precision!r}")
    return precision


def check_fusion(fusion):
    """0 (exact, the default), a width from 2 to 5, or True (the measured best width for the
    precision); False is taken as 0."""
    if isinstance(fusion, bool):
        return fusion if fusion else 0
    try:
        width = operator.index(fusion)
    except TypeError:
        raise TypeError(
            "fusion must be 0 (exact), an integer from 2 to 5, or True (the best width), not "
            f"{type(fusion).__name__!r}"
        ) from None
    if width != 0 and not 2 <= width <= 5:
        raise ValueError(
            "fusion must be 0 (exact), an integer from 2 to 5, or True (the best width), not "
            f"{width}"
        )
    return width


def _check_shots(shots):
    shots = operator.index(shots)
    if shots < 0:
        raise ValueError(f"shots must not be negative, not {shots}")
    return shots


def _check_seed(seed):
    if seed is None:
        return None
    seed = operator.index(seed)
    if not 0 <= seed < 1 << 64:
        raise ValueError(f"seed must be from 0 to 2**64 - 1, not {seed}")
    return seed


class Result:
    """What a run gives: counts and per-shot memory over the classical bits, and the final
    state when every shot ended in the same one."""

    def __init__(self, native, shots, seed):
        self._native = native
        self.shots = shots
        self.seed = seed

    @property
    def precision(self):
        return self._native.precision

    def counts(self):
        """dict: key over the classical bits (registers right to left, one space apart, bit 0
        of each rightmost) -> number of shots."""
        return self._native.counts()

    def memory(self):
        """The key of every shot, in shot order."""
        return self._native.memory()

    def statevector(self):
        """The final state as a NumPy array (complex128 at f64, complex64 at f32); ValueError
        when the shots ended in different states."""
        return self._native.statevector()

    def probabilities(self):
        """|amplitude|^2 of the final state; ValueError when there is no single final state."""
        return self._native.probabilities()

    def expectation(self, observables):
        """<psi|H|psi> on the final state, for one observable (-> float) or a list (-> list)."""
        from vorn.observable import as_parts

        if isinstance(observables, list):
            return self._native.expectation([as_parts(o) for o in observables])
        return self._native.expectation([as_parts(observables)])[0]

    @property
    def has_statevector(self):
        return self._native.has_state

    @property
    def stats(self):
        """Figures of the run: static, evolutions (branches simulated), replays, peak_states,
        mid_circuit_events."""
        return self._native.stats

    def __repr__(self):
        return f"<vorn.Result: {self.shots} shots, {self.precision}>"


def run(program, shots=1024, seed=None, precision="f64", fusion=0):
    """Runs a vorn.Program (or a vorn_python.Circuit) for `shots` shots.

    A static program (every measurement at the end, no reset, no condition) is simulated once
    and its shots drawn from the final state with the draws `vorn_python.run` makes for the same
    seed. Otherwise shots travel in branches: the state is simulated once up to each
    mid-circuit measurement, and each outcome that occurs continues with its shots.

    `fusion=k` (2 to 5) multiplies consecutive gates into matrices of at most k qubits (and runs
    of diagonal gates into diagonals) before applying them: faster, no longer bit for bit the
    exact run, but still the same bits for any thread count and block size. `fusion=True` picks
    the measured best width for the precision; 0, the default, runs every gate exactly.

    A loop of the program that one entry runs more than 10^6 rounds ends the run with
    RuntimeError naming the loop."""
    native = as_native_program(program)
    shots = _check_shots(shots)
    seed = _check_seed(seed)
    check_precision(precision)
    fusion = check_fusion(fusion)
    return Result(_native.run(native, shots, seed, precision, fusion=fusion), shots, seed)
