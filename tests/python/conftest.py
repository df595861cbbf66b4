"""What the Python tests share: the module's abort exception, which it does not export."""
from vorn_python import Circuit


def panic_type():
    """The module's abort exception, which it does not export: taken from a real abort."""
    try:
        Circuit(0).h(0)
    except BaseException as e:  # noqa: B902 - the abort exception is a BaseException
        return type(e)
    raise AssertionError("no abort")


PanicException = panic_type()
