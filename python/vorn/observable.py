"""Observables (real-weighted sums of Pauli strings) and their expectation values."""
import numbers

from vorn import _native
from vorn.results import as_native_program, check_fusion, check_precision

# Labels are read for this many qubits when an observable is made; the program's own count is
# checked when it is evaluated.
_MOST_QUBITS = 64


class Observable:
    """A Hermitian observable: a sum of Pauli strings with real coefficients.

    - sparse text: `Observable("0.5*Z0 Z1 - 1.25*X2 + Y3")` (letter + qubit index; terms joined
      by + or -; a number alone is a multiple of the identity, as is "I");
    - a dense label: `Observable("XZI")`, the rightmost letter on qubit 0;
    - a dict or a list of (label, coefficient): `Observable({"ZZ": 0.5, "XI": -1.0})`.

    Complex coefficients are refused."""

    def __init__(self, spec):
        if isinstance(spec, Observable):
            self._parts = list(spec._parts)
        elif isinstance(spec, str):
            self._parts = [spec]
        else:
            items = spec.items() if isinstance(spec, dict) else spec
            parts = []
            for item in items:
                try:
                    label, coefficient = item
                except (TypeError, ValueError):
                    raise TypeError(
                        "an observable is a text, a dict of label: coefficient, or a list of "
                        f"(label, coefficient) pairs; got the item {item!r}"
                    ) from None
                if not isinstance(label, str):
                    raise TypeError(f"a label is a str, not {type(label).__name__!r}")
                parts.append((label, _real(coefficient, label)))
            self._parts = parts
        # Read now, so that a malformed text fails where it is written.
        self._terms = _native.check_observable(self._parts, _MOST_QUBITS)

    @property
    def terms(self):
        """[(dense label, coefficient)] in the order given."""
        return list(self._terms)

    def __repr__(self):
        return f"Observable({self._parts!r})"


def _real(coefficient, label):
    if isinstance(coefficient, numbers.Complex) and not isinstance(coefficient, numbers.Real):
        if complex(coefficient).imag != 0:
            raise ValueError(
                f"the coefficient of {label!r} is complex ({coefficient!r}): an observable must "
                "be Hermitian, so its coefficients are real"
            )
        coefficient = complex(coefficient).real
    if not isinstance(coefficient, numbers.Real):
        raise TypeError(
            f"the coefficient of {label!r} must be a real number, not "
            f"{type(coefficient).__name__!r}"
        )
    return float(coefficient)


def as_parts(observable):
    """The parts of an observable given as an Observable, a text, a dict, a list of pairs, or
    one (label, coefficient) pair."""
    if isinstance(observable, tuple) and len(observable) == 2 and isinstance(observable[0], str):
        observable = [observable]
    if not isinstance(observable, Observable):
        observable = Observable(observable)
    return observable._parts


def expectation(program, observables, precision="f64", fusion=0):
    """<psi|H|psi> on the final state of a static program (or vorn_python.Circuit), computed in
    place without copying the state. `observables` is one observable (an Observable, or what
    Observable accepts) -> float, or a list of them -> list of floats, from one evolution.

    Every value is accumulated in double precision in a fixed order, so it is the same bits for
    any thread count, block size and number of MPI ranks. `fusion` evolves the state with gate
    fusion, as `vorn.run` does."""
    native = as_native_program(program)
    check_precision(precision)
    fusion = check_fusion(fusion)
    if isinstance(observables, list):
        return _native.expectation(native, [as_parts(o) for o in observables], precision, fusion)
    return _native.expectation(native, [as_parts(observables)], precision, fusion)[0]
