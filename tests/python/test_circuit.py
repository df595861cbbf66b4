"""The Circuit class: constructor, methods, argument binding and conversion, access state."""
import inspect
import math

import numpy as np
import pytest

from vorn_python import Circuit

from conftest import PanicException

ONE_QUBIT = ["h", "x", "y", "z", "s", "sdg", "t", "tdg", "id"]
ROTATIONS = ["rx", "ry", "rz"]

SIGNATURES = {
    "num_qubits": "()",
    **{name: "(qubit)" for name in ONE_QUBIT},
    **{name: "(theta, qubit)" for name in ROTATIONS},
    "cx": "(control, target)",
    "cz": "(qubit0, qubit1)",
    "swap": "(qubit0, qubit1)",
    "ccx": "(ctrl1, ctrl2, target)",
    "cswap": "(control, target1, target2)",
    "measure": "(qubit, cbit)",
    "measure_all": "()",
}

DOCUMENTED = {
    "to_qasm": "(version='2.0')",
    "unitary": "(matrix, qubit, validate=True)",
    "transpile": "(max_iters=16)",
}

D2 = "회로를 OpenQASM 문자열로 export 한다.\n\n`version`: `\"2.0\"` (default) 또는 `\"3.0\"`. 다른 값은 `ValueError`."
D3 = (
    "임의 2×2 unitary 행렬을 회로의 `qubit` 큐비트에 적용한다.\n\n"
    "Z-Y-Z 분해 (Nielsen-Chuang Thm 4.1) 로 native 게이트 시퀀스\n"
    "`Rz(δ); Ry(γ); Rz(β)` 를 추가하고 글로벌 phase α 는 회로의\n"
    "global_phase 에 누적된다.\n\n"
    "`validate=True` (default) 일 때 입력 행렬의 unitarity (`M·M† ≈ I`,\n"
    "1e-10) 를 검증하고 위반 시 `ValueError`. `False` 면 검증 생략."
)


# ---- class attributes ---------------------------------------------------------------------------


def test_class_docstring_and_signature():
    assert Circuit.__doc__ == "Python에서 사용 가능한 양자 회로 클래스."
    assert str(inspect.signature(Circuit)) == "(n_qubits)"
    assert Circuit.__module__ == "builtins"
    assert Circuit.__name__ == "Circuit"


@pytest.mark.parametrize("name,signature", sorted(SIGNATURES.items()))
def test_method_signatures_and_no_docstring(name, signature):
    bound = getattr(Circuit(3), name)
    assert str(inspect.signature(bound)) == signature
    unbound = getattr(Circuit, name)
    assert str(inspect.signature(unbound)).startswith("(self")
    assert unbound.__doc__ is None


@pytest.mark.parametrize("name,signature", sorted(DOCUMENTED.items()))
def test_documented_method_signatures(name, signature):
    assert str(inspect.signature(getattr(Circuit(1), name))) == signature
    assert str(inspect.signature(Circuit.from_qasm)) == "(qasm)"


def test_documented_method_docstrings():
    assert Circuit.to_qasm.__doc__ == D2
    assert Circuit.unitary.__doc__ == D3
    assert "peephole" in Circuit.transpile.__doc__
    assert Circuit.from_qasm.__doc__.startswith("OpenQASM 2.0 또는 3.0 문자열을 파싱해")


def test_method_table_order():
    names = [name for name in vars(Circuit) if not name.startswith("__")]
    expected = ["num_qubits", *ONE_QUBIT, *ROTATIONS, "cx", "cz", "swap", "ccx", "cswap"]
    expected += ["measure", "measure_all", "from_qasm", "to_qasm", "unitary", "transpile"]
    expected += ["global_phase"]
    assert names == expected


def test_global_phase_is_a_read_only_property():
    c = Circuit(1)
    assert c.global_phase == 0.0 and type(c.global_phase) is float
    assert Circuit.global_phase.__doc__ == "회로의 누적된 글로벌 phase (라디안)."
    with pytest.raises(AttributeError):
        c.global_phase = 1.0
    assert c.global_phase == 0.0


def test_no_subclassing_no_dict_no_weakref():
    with pytest.raises(TypeError):
        type("Sub", (Circuit,), {})
    c = Circuit(1)
    with pytest.raises(AttributeError):
        c.anything = 1
    assert not hasattr(c, "__dict__")
    import weakref

    with pytest.raises(TypeError):
        weakref.ref(c)


# ---- constructor ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value,expected",
    [(0, 0), (1, 1), (True, 1), (False, 0), (np.int64(5), 5), (np.uint8(3), 3), (2**64 - 1, 2**64 - 1)],
)
def test_constructor_accepts_indices(value, expected):
    assert Circuit(value).num_qubits() == expected
    assert Circuit(n_qubits=value).num_qubits() == expected


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
def test_constructor_overflow(value):
    with pytest.raises(OverflowError) as info:
        Circuit(value)
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("value", [2.0, "2", None, [2], 1 + 0j])
def test_constructor_type_error_names_the_argument(value):
    with pytest.raises(TypeError) as info:
        Circuit(value)
    assert str(info.value).startswith("argument 'n_qubits': ")


def test_index_protocol_is_used_for_other_objects():
    class Index:
        def __index__(self):
            return 4

    class IntSub(int):
        def __index__(self):  # an int subclass is taken directly, not through __index__
            raise AssertionError("not called")

    assert Circuit(Index()).num_qubits() == 4
    assert Circuit(IntSub(6)).num_qubits() == 6


def test_index_hook_errors_propagate():
    class Bad:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError):
        Circuit(Bad())


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: Circuit(), "Circuit.__new__() missing 1 required positional argument: 'n_qubits'"),
        (lambda: Circuit(1, 2), "Circuit.__new__() takes 1 positional argument but 2 were given"),
        (lambda: Circuit(n=1), "Circuit.__new__() got an unexpected keyword argument 'n'"),
        (lambda: Circuit(1, n_qubits=1), "Circuit.__new__() got multiple values for argument 'n_qubits'"),
    ],
)
def test_constructor_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# ---- methods ---------------------------------------------------------------------------------------


def test_methods_return_none_and_accept_keywords():
    c = Circuit(3)
    for name in ONE_QUBIT:
        assert getattr(c, name)(0) is None
        assert getattr(c, name)(qubit=1) is None
    for name in ROTATIONS:
        assert getattr(c, name)(0.5, 0) is None
        assert getattr(c, name)(qubit=2, theta=0.25) is None
    assert c.cx(control=0, target=1) is None
    assert c.cz(qubit1=0, qubit0=2) is None
    assert c.swap(0, qubit1=1) is None
    assert c.ccx(ctrl1=0, ctrl2=1, target=2) is None
    assert c.cswap(control=2, target1=0, target2=1) is None
    assert c.measure(qubit=0, cbit=1) is None
    assert c.measure_all() is None


@pytest.mark.parametrize("name", ONE_QUBIT + ["measure_index"])
@pytest.mark.parametrize(
    "value,error",
    [
        (np.int64(1), None),
        (np.uint64(1), None),
        (True, None),
        (1.0, TypeError),
        (np.float64(1.0), TypeError),
        ("1", TypeError),
        (-1, OverflowError),
        (2**64, OverflowError),
    ],
)
def test_qubit_conversion(name, value, error):
    c = Circuit(2)
    method = (lambda q: c.measure(q, 0)) if name == "measure_index" else getattr(c, name)
    param = "qubit"
    if error is None:
        method(value)
        return
    with pytest.raises(error) as info:
        method(value)
    if error is TypeError:
        assert str(info.value).startswith(f"argument '{param}': ")
    else:
        assert not str(info.value).startswith("argument")


def test_conversion_names_the_failing_parameter_in_order():
    c = Circuit(3)
    with pytest.raises(TypeError, match=r"^argument 'target': "):
        c.cx(0, "x")
    with pytest.raises(TypeError, match=r"^argument 'control': "):
        c.cx("x", "y")
    with pytest.raises(TypeError, match=r"^argument 'ctrl2': "):
        c.ccx(0, 0.5, 2**80)
    with pytest.raises(OverflowError):
        c.ccx(0, 2**80, 0.5)
    with pytest.raises(TypeError, match=r"^argument 'target2': "):
        c.cswap(0, 1, None)
    with pytest.raises(TypeError, match=r"^argument 'cbit': "):
        c.measure(0, 1.5)
    with pytest.raises(TypeError, match=r"^argument 'theta': "):
        c.rx("pi", 0)
    with pytest.raises(TypeError, match=r"^argument 'qubit': "):
        c.rz(0.5, 0.5)
    assert c.num_qubits() == 3


def test_theta_conversion():
    c = Circuit(1)

    class Floaty:
        def __float__(self):
            return 0.125

    class Indexy:
        def __index__(self):
            return 2

    for theta in [1, 0.5, np.float32(0.5), Floaty(), Indexy(), math.nan, math.inf, -math.inf, True]:
        c.rx(theta, 0)
    with pytest.raises(OverflowError):
        c.rx(10**400, 0)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda c: c.h(), "Circuit.h() missing 1 required positional argument: 'qubit'"),
        (lambda c: c.h(0, 1), "Circuit.h() takes 1 positional argument but 2 were given"),
        (lambda c: c.h(q=0), "Circuit.h() got an unexpected keyword argument 'q'"),
        (lambda c: c.h(0, qubit=0), "Circuit.h() got multiple values for argument 'qubit'"),
        (lambda c: c.rx(0.5), "Circuit.rx() missing 1 required positional argument: 'qubit'"),
        (lambda c: c.cx(), "Circuit.cx() missing 2 required positional arguments: 'control' and 'target'"),
        (
            lambda c: c.ccx(),
            "Circuit.ccx() missing 3 required positional arguments: 'ctrl1', 'ctrl2', and 'target'",
        ),
        (lambda c: c.cswap(0, 1, 2, 3), "Circuit.cswap() takes 3 positional arguments but 4 were given"),
        (lambda c: c.measure(cbit=0), "Circuit.measure() missing 1 required positional argument: 'qubit'"),
        (lambda c: c.swap(0, 1, qubit0=1), "Circuit.swap() got multiple values for argument 'qubit0'"),
    ],
)
def test_binding_errors(call, message):
    c = Circuit(3)
    with pytest.raises(TypeError) as info:
        call(c)
    assert str(info.value) == message


def test_noarg_methods_refuse_arguments():
    c = Circuit(1)
    with pytest.raises(TypeError):
        c.num_qubits(1)
    with pytest.raises(TypeError):
        c.measure_all(0)


# ---- out-of-range operands ---------------------------------------------------------------------------


def test_zero_qubit_circuit():
    c = Circuit(0)
    with pytest.raises(PanicException) as info:
        c.h(0)
    assert str(info.value) == "큐비트 인덱스 0가 범위를 벗어남 (n_qubits=0)"
    with pytest.raises(PanicException):
        c.measure(0, 0)
    c.measure_all()


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda c: c.cx(5, 7), "큐비트 인덱스 5가 범위를 벗어남 (n_qubits=2)"),
        (lambda c: c.cx(0, 5), "큐비트 인덱스 5가 범위를 벗어남 (n_qubits=2)"),
        (lambda c: c.ccx(0, 9, 4), "큐비트 인덱스 9가 범위를 벗어남 (n_qubits=2)"),
        (lambda c: c.cswap(1, 0, 2), "큐비트 인덱스 2가 범위를 벗어남 (n_qubits=2)"),
        (lambda c: c.measure(3, 0), "큐비트 인덱스 3가 범위를 벗어남 (n_qubits=2)"),
        (lambda c: c.rz(0.1, 2**64 - 1), "큐비트 인덱스 18446744073709551615가 범위를 벗어남 (n_qubits=2)"),
    ],
)
def test_out_of_range_operand_panics(call, message):
    c = Circuit(2)
    with pytest.raises(PanicException) as info:
        call(c)
    assert info.value.args == (message,)
    # The circuit is still usable and unchanged in size.
    assert c.num_qubits() == 2
    c.h(1)


def test_repeated_and_unbounded_operands_are_accepted():
    c = Circuit(2)
    c.cx(1, 1)
    c.ccx(0, 0, 1)
    c.measure(0, 2**64 - 1)
    c.rx(math.nan, 0)


# ---- access state --------------------------------------------------------------------------------------


def test_reentrant_read_during_a_change_is_refused():
    c = Circuit(2)
    seen = []

    class Sneaky:
        def __index__(self):
            try:
                c.num_qubits()
            except RuntimeError as e:
                seen.append(str(e))
            try:
                c.global_phase
            except RuntimeError as e:
                seen.append(str(e))
            return 0

    c.h(Sneaky())
    assert seen == ["Already mutably borrowed", "Already mutably borrowed"]
    # Access was given back: both work again.
    assert c.num_qubits() == 2
    c.x(0)


def test_reentrant_change_during_a_change_is_refused():
    c = Circuit(2)
    seen = []

    class Sneaky:
        def __index__(self):
            try:
                c.x(0)
            except RuntimeError as e:
                seen.append(str(e))
            return 1

    c.cx(0, Sneaky())
    assert seen == ["Already borrowed"]


def test_reentrant_access_from_the_new_methods():
    c = Circuit(2)
    identity = np.eye(2, dtype=complex)
    seen = []

    class Sneaky:
        def __index__(self):
            for attempt in (c.to_qasm, lambda: c.transpile(), lambda: c.unitary(identity, 0)):
                try:
                    attempt()
                except RuntimeError as e:
                    seen.append(str(e))
            return 0

    c.unitary(identity, Sneaky())
    c.transpile(Sneaky())
    expected = ["Already mutably borrowed", "Already borrowed", "Already borrowed"]
    assert seen == expected * 2
    # to_qasm takes shared access: readers nest, a writer is refused.
    c.to_qasm()


def test_access_is_given_back_after_a_failed_conversion():
    c = Circuit(2)

    class Failing:
        def __index__(self):
            raise ValueError("no")

    with pytest.raises(ValueError):
        c.h(Failing())
    with pytest.raises(PanicException):
        c.h(7)
    c.h(0)
    assert c.num_qubits() == 2


def test_other_circuits_are_independent_during_a_change():
    a = Circuit(1)
    b = Circuit(1)

    class Hook:
        def __index__(self):
            b.h(0)  # another instance: no conflict
            assert b.num_qubits() == 1
            return 0

    a.h(Hook())


# ---- argument conversion of unitary, to_qasm and transpile ------------------------------------------

U = np.array([[1, 1j], [1j, 1]], dtype=complex) / np.sqrt(2)


class MatrixView(np.ndarray):
    pass


def appended(matrix, **kwargs):
    c = Circuit(1)
    c.unitary(matrix, 0, **kwargs)
    return c.to_qasm("3.0"), c.global_phase


@pytest.mark.parametrize(
    "view",
    [
        lambda m: m.T.copy().T,  # Fortran order
        lambda m: np.ascontiguousarray(m[::-1, ::-1])[::-1, ::-1],  # negative strides
        lambda m: np.repeat(np.repeat(m, 2, axis=0), 2, axis=1)[::2, ::2],  # strides of 2
        lambda m: np.pad(m, ((0, 1), (0, 1)))[:2, :2],  # non-contiguous rows
        lambda m: m.view(MatrixView),  # an ndarray subclass
        lambda m: m.astype(np.dtype("<c16")),
    ],
)
def test_unitary_reads_any_strided_view(view):
    assert appended(view(U)) == appended(U.copy())


def test_unitary_matrix_element_order_matters():
    # The transpose of U is another matrix: its decomposition differs.
    asymmetric = np.array([[1, 1], [-1, 1]], dtype=complex) / np.sqrt(2)
    assert appended(asymmetric) != appended(asymmetric.T.copy())
    assert appended(asymmetric.T) == appended(asymmetric.T.copy())


@pytest.mark.parametrize(
    "matrix,fragment",
    [
        ([[1, 0], [0, 1]], "'list' object"),
        (np.eye(2, dtype=np.complex64), "complex64"),
        (np.eye(2), "float64"),
        (np.eye(2, dtype=np.dtype(">c16")), None),
        (np.ones(4, dtype=complex), None),
        (np.ones((2, 2, 1), dtype=complex), None),
        (np.complex128(1), None),
    ],
)
def test_unitary_matrix_type_errors(matrix, fragment):
    c = Circuit(1)
    with pytest.raises(TypeError) as info:
        c.unitary(matrix, 0)
    assert str(info.value).startswith("argument 'matrix': ")
    if fragment:
        assert fragment in str(info.value)
    assert c.to_qasm() == Circuit(1).to_qasm()


@pytest.mark.parametrize("flag", [True, False, np.True_, np.False_, np.bool_(1)])
def test_unitary_validate_flags(flag):
    c = Circuit(1)
    c.unitary(U, 0, validate=flag)
    assert c.global_phase == appended(U)[1]


@pytest.mark.parametrize("flag", [1, 0, None, "yes", 1.0, np.int64(1)])
def test_unitary_validate_must_be_a_bool(flag):
    with pytest.raises(TypeError) as info:
        Circuit(1).unitary(U, 0, validate=flag)
    assert str(info.value).startswith("argument 'validate': ")


def test_unitary_argument_order_and_binding():
    c = Circuit(1)
    with pytest.raises(TypeError, match="^argument 'matrix': "):
        c.unitary([[1]], -1, validate=3)
    with pytest.raises(OverflowError):
        c.unitary(U, -1, validate=3)
    with pytest.raises(TypeError, match="^argument 'validate': "):
        c.unitary(np.eye(3, dtype=complex), 5, validate=3)
    with pytest.raises(TypeError) as info:
        c.unitary(U)
    assert str(info.value) == "Circuit.unitary() missing 1 required positional argument: 'qubit'"
    with pytest.raises(TypeError) as info:
        c.unitary(U, 0, True, 1)
    assert str(info.value) == "Circuit.unitary() takes from 2 to 3 positional arguments but 4 were given"
    c.unitary(qubit=0, matrix=U)


@pytest.mark.parametrize("version", [2, None, b"2.0", 2.0])
def test_to_qasm_version_must_be_text(version):
    with pytest.raises(TypeError) as info:
        Circuit(1).to_qasm(version)
    assert str(info.value).startswith("argument 'version': ")


@pytest.mark.parametrize(
    "version,shown",
    [("2.0 ", '"2.0 "'), ("", '""'), ("2.00", '"2.00"'), ("3.1", '"3.1"'), ("v2", '"v2"'), ("2\n", '"2\\n"')],
)
def test_to_qasm_version_refusals(version, shown):
    with pytest.raises(ValueError) as info:
        Circuit(1).to_qasm(version)
    assert str(info.value) == f"to_qasm: version 은 '2.0' 또는 '3.0' 이어야 합니다 (입력: {shown})"


def test_to_qasm_version_aliases():
    c = Circuit(2)
    c.h(0)
    c.measure(0, 7)
    assert c.to_qasm() == c.to_qasm("2") == c.to_qasm("2.0") == c.to_qasm(version="2.0")
    assert c.to_qasm("3") == c.to_qasm("3.0")
    assert c.to_qasm() != c.to_qasm("3")
    assert "creg c[8];" in c.to_qasm()


@pytest.mark.parametrize("value,error", [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), ("1", TypeError)])
def test_transpile_max_iters_conversion(value, error):
    c = Circuit(1)
    c.h(0)
    c.h(0)
    with pytest.raises(error) as info:
        c.transpile(value)
    if error is TypeError:
        assert str(info.value).startswith("argument 'max_iters': ")
    assert c.transpile(0) == 0
    assert c.transpile(max_iters=np.uint8(5)) == 2
