"""What the Python tests share: the module's abort exception (which it does not export) and
random unitaries."""
import numpy as np

from vorn_python import Circuit


def panic_type():
    """The module's abort exception, which it does not export: taken from a real abort."""
    try:
        Circuit(0).h(0)
    except BaseException as e:  # noqa: B902 - the abort exception is a BaseException
        return type(e)
    raise AssertionError("no abort")


PanicException = panic_type()


def random_unitary(rng):
    """A Haar-random 2×2 unitary (complex128) from a NumPy generator."""
    z = rng.normal(size=(2, 2)) + 1j * rng.normal(size=(2, 2))
    q, r = np.linalg.qr(z)
    d = np.diag(r)
    return (q * (d / abs(d))).astype(np.complex128)
