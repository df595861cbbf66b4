"""Module initialisation: contents, identity on re-import, the abort exception, sub-interpreters."""
import importlib
import sys
import textwrap

import pytest

import vorn_python
from vorn_python import Circuit


def test_module_docstring_is_empty():
    assert vorn_python.__doc__ == ""


def test_module_contents_are_exactly_the_three_names():
    public = [name for name in dir(vorn_python) if not name.startswith("__")]
    assert public == ["Circuit", "SimulationResult", "run"]
    # Added in this order.
    names = [name for name in vars(vorn_python) if not name.startswith("__")]
    assert names == ["Circuit", "SimulationResult", "run"]


def test_reimport_gives_the_same_module_and_classes():
    first = sys.modules["vorn_python"]
    circuit_class = first.Circuit
    del sys.modules["vorn_python"]
    try:
        second = importlib.import_module("vorn_python")
        assert second is first
        assert second.Circuit is circuit_class
        assert second.run is first.run
    finally:
        sys.modules["vorn_python"] = first


def test_classes_report_builtins_as_module():
    assert Circuit.__module__ == "builtins"
    assert vorn_python.SimulationResult.__module__ == "builtins"
    assert vorn_python.run.__module__ == "vorn_python"


def _panic():
    c = Circuit(1)
    with pytest.raises(BaseException) as info:
        c.h(1)
    return info


def test_panic_exception_derives_directly_from_base_exception():
    info = _panic()
    panic = info.type
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert not hasattr(vorn_python, "PanicException")
    assert info.value.args == ("큐비트 인덱스 1가 범위를 벗어남 (n_qubits=1)",)
    assert str(info.value) == "큐비트 인덱스 1가 범위를 벗어남 (n_qubits=1)"


def test_panic_exception_is_created_once():
    assert _panic().type is _panic().type


def test_panic_is_not_caught_by_except_exception():
    c = Circuit(1)
    caught_by_exception = False
    try:
        try:
            c.x(3)
        except Exception:
            caught_by_exception = True
    except BaseException:
        pass
    assert not caught_by_exception


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        code = textwrap.dedent(
            f"""
            import sys
            sys.path[:] = {sys.path!r}
            import vorn_python
            """
        )
        with pytest.raises(interpreters.RunFailedError) as info:
            interpreters.run_string(interp, code)
        text = str(info.value)
        assert "ImportError" in text
        assert "sub-interpreters" in text
    finally:
        interpreters.destroy(interp)
    # The first interpreter keeps working.
    c = Circuit(1)
    c.h(0)
    assert c.num_qubits() == 1
