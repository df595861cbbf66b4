"""run() and SimulationResult: arguments, results, copies, failures."""
import collections
import inspect
import itertools
import math
import random

import numpy as np
import pytest

import vorn_python
from vorn_python import Circuit, SimulationResult, run

from conftest import PanicException

S = 0.7071067811865476  # 1/sqrt(2) in double precision


def bell(measure=True):
    c = Circuit(2)
    c.h(0)
    c.cx(0, 1)
    if measure:
        c.measure_all()
    return c


def h_measure():
    c = Circuit(1)
    c.h(0)
    c.measure(0, 0)
    return c


# ---- documentation --------------------------------------------------------------------------------


def test_run_signature_and_docstring():
    assert str(inspect.signature(run)) == "(circuit, shots=1024, seed=None, precision='f64')"
    assert run.__doc__ == (
        "회로 실행 함수.\n\n"
        "`precision` 으로 시뮬레이션 정밀도를 선택한다 (\"f64\" default, \"f32\" 옵션).\n"
        "f32 는 메모리 ~50% 절감과 SIMD 친화성을 제공하지만 정확도는 ~1e-6 수준.\n\n"
        "rayon 병렬 게이트 적용이 GIL 을 들고 있으면 Python 멀티스레드 환경에서\n"
        "다른 스레드가 막히므로, 시뮬레이션 동안 GIL 을 해제한다."
    )


def test_result_class_documentation():
    assert SimulationResult.__doc__ == (
        "Python에서 사용 가능한 시뮬레이션 결과 클래스.\n\n"
        "내부 `SimulationResult` 가 정밀도별 enum 이므로 statevector / probabilities 는\n"
        "정밀도에 따라 numpy `complex64`/`float32` (f32) 또는 `complex128`/`float64` (f64) 를 반환한다."
    )
    assert SimulationResult.counts.__doc__ == "측정 결과 counts를 dict로 반환한다."
    assert SimulationResult.statevector.__doc__ == (
        "측정 전 상태 벡터를 numpy 배열로 반환한다.\n\n"
        "dtype 은 시뮬레이션 정밀도를 따른다:\n"
        "- f64 경로 → `numpy.complex128`\n"
        "- f32 경로 → `numpy.complex64`"
    )
    assert SimulationResult.probabilities.__doc__ == (
        "확률 벡터를 numpy 배열로 반환한다.\n\n"
        "dtype 은 시뮬레이션 정밀도를 따른다 (`float64` / `float32`)."
    )
    assert SimulationResult.precision.__doc__ == "시뮬레이션에 사용된 정밀도 (\"f32\" 또는 \"f64\")."
    result = run(bell(), shots=1, seed=1)
    for name in ["counts", "statevector", "probabilities"]:
        assert str(inspect.signature(getattr(result, name))) == "()"
    assert SimulationResult.__module__ == "builtins"


def test_result_has_no_constructor():
    with pytest.raises(TypeError) as info:
        SimulationResult()
    assert str(info.value) == "No constructor defined for SimulationResult"
    with pytest.raises(TypeError):
        SimulationResult(1, x=2)


# ---- the reference run ------------------------------------------------------------------------------


def test_h_measure_seed_0_f64():
    result = run(h_measure(), shots=4, seed=0, precision="f64")
    assert result.counts() == {"1": 3, "0": 1}
    state = result.statevector()
    assert state.dtype == np.complex128
    assert state.tolist() == [complex(S, 0), complex(S, 0)]
    probabilities = result.probabilities()
    assert probabilities.dtype == np.float64
    assert probabilities.tolist() == [0.5000000000000001, 0.5000000000000001]
    assert result.precision == "f64"


def test_h_measure_seed_0_f32():
    result = run(h_measure(), shots=4, seed=0, precision="f32")
    assert result.counts() == {"1": 3, "0": 1}
    state = result.statevector()
    assert state.dtype == np.complex64
    s32 = np.float32(S)
    assert state.view(np.uint32).tolist() == [0x3F3504F3, 0, 0x3F3504F3, 0]
    probabilities = result.probabilities()
    assert probabilities.dtype == np.float32
    expected = np.float32(s32 * s32 + np.float32(0) * np.float32(0))
    assert probabilities.tolist() == [float(expected)] * 2
    assert result.precision == "f32"


def test_bell_counts_only_correlated_outcomes():
    result = run(bell(), shots=1000, seed=7)
    counts = result.counts()
    assert set(counts) <= {"00", "11"}
    assert sum(counts.values()) == 1000
    assert all(type(k) is str and type(v) is int for k, v in counts.items())
    np.testing.assert_array_equal(result.probabilities(), [0.5000000000000001, 0, 0, 0.5000000000000001])


def test_outcome_keys_put_qubit_0_rightmost():
    c = Circuit(3)
    c.x(0)
    c.measure_all()
    result = run(c, shots=5, seed=3)
    assert result.counts() == {"001": 5}
    assert result.statevector()[1] == 1


def test_defaults():
    c = bell()
    result = run(c)
    assert sum(result.counts().values()) == 1024
    assert result.precision == "f64"
    # seed=None is the same as leaving the seed out: a fresh entropy seed each time.
    assert sum(run(c, seed=None).counts().values()) == 1024


def test_positional_and_keyword_arguments_agree():
    c = bell()
    a = run(c, 10, 7, "f32")
    b = run(c, shots=10, seed=7, precision="f32")
    d = run(precision="f32", seed=7, circuit=c, shots=10)
    assert a.counts() == b.counts() == d.counts()
    assert a.statevector().tobytes() == b.statevector().tobytes() == d.statevector().tobytes()


@pytest.mark.parametrize("precision", ["f32", "f64"])
def test_same_seed_same_result(precision):
    c = Circuit(4)
    for q in range(4):
        c.h(q)
        c.rx(0.1 * (q + 1), q)
    c.cx(0, 3)
    c.measure_all()
    a = run(c, shots=500, seed=12345, precision=precision)
    b = run(c, shots=500, seed=12345, precision=precision)
    assert a.counts() == b.counts()
    assert a.statevector().tobytes() == b.statevector().tobytes()


def test_shots_zero_and_no_measurement_give_empty_counts():
    assert run(bell(measure=False), shots=100, seed=1).counts() == {}
    assert run(bell(), shots=0, seed=1).counts() == {}
    result = run(bell(measure=False), seed=1)
    assert result.statevector().shape == (4,)
    assert result.probabilities().shape == (4,)


def test_empty_circuit_gives_ground_state():
    state = run(Circuit(3), shots=10).statevector()
    assert state.tolist() == [1] + [0] * 7


def test_measure_before_gate_does_not_change_it():
    c = Circuit(1)
    c.measure(0, 0)
    c.x(0)
    result = run(c, shots=8, seed=2)
    assert result.counts() == {"1": 8}
    assert result.statevector().tolist() == [0, 1]


# ---- counts against an independent sampler -----------------------------------------------------------

MASK64 = (1 << 64) - 1


def seed_key(seed):
    """The eight ChaCha key words of a seed: PCG32 (XSH-RR 64/32) outputs."""
    key = []
    s = seed
    for _ in range(8):
        s = (s * 6364136223846793005 + 11634580027462260723) & MASK64
        x = (((s >> 18) ^ s) >> 27) & 0xFFFFFFFF
        r = s >> 59
        key.append(((x >> r) | (x << (32 - r))) & 0xFFFFFFFF)
    return key


def chacha12_draws(key, count):
    """The first `count` 64-bit draws: keystream words of ChaCha12 blocks 0, 1, ... (nonce 0),
    two little-endian words a draw. All blocks are computed side by side with NumPy."""
    blocks = (2 * count + 15) // 16
    state = np.zeros((16, blocks), dtype=np.uint32)
    state[0:4] = np.array([0x61707865, 0x3320646E, 0x79622D32, 0x6B206574], dtype=np.uint32)[:, None]
    state[4:12] = np.array(key, dtype=np.uint32)[:, None]
    numbers = np.arange(blocks, dtype=np.uint64)
    state[12] = (numbers & np.uint64(0xFFFFFFFF)).astype(np.uint32)
    state[13] = (numbers >> np.uint64(32)).astype(np.uint32)
    x = state.copy()

    def rotate(v, bits):
        return (v << np.uint32(bits)) | (v >> np.uint32(32 - bits))

    def quarter(a, b, c, d):
        x[a] += x[b]
        x[d] = rotate(x[d] ^ x[a], 16)
        x[c] += x[d]
        x[b] = rotate(x[b] ^ x[c], 12)
        x[a] += x[b]
        x[d] = rotate(x[d] ^ x[a], 8)
        x[c] += x[d]
        x[b] = rotate(x[b] ^ x[c], 7)

    for _ in range(6):  # double rounds: columns, then diagonals
        for a, b, c, d in [(0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15),
                           (0, 5, 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14)]:
            quarter(a, b, c, d)
    words = (x + state).T.reshape(-1).astype(np.uint64)
    return (words[0:2 * count:2] | (words[1:2 * count:2] << np.uint64(32))).tolist()


def reference_counts(result, shots, seed):
    """counts() rebuilt from the result's probabilities, shot by shot, as the sampling is
    described: a table summed left to right with its last entry 1.0, the fixed-shape search."""
    table = [float(p) for p in itertools.accumulate(float(p) for p in result.probabilities())]
    table[-1] = 1.0
    n = len(table).bit_length() - 1
    counts = collections.Counter()
    for draw in chacha12_draws(seed_key(seed), shots):
        u = (draw >> 11) * 2.0**-53
        base, size = 0, len(table)
        while size > 1:
            half = size // 2
            if u >= table[base + half]:
                base += half
            size -= half
        k = min(base + 1 if u >= table[base] else base, len(table) - 1)
        counts[format(k, f"0{n}b")] += 1
    return dict(counts)


def test_reference_sampler_matches_the_described_draws():
    assert chacha12_draws(seed_key(0), 4) == [
        0xBB2A3FB2CD2C6F7F, 0xC6017C948E27697B, 0x069DC102CF310A16, 0x958B761DABE5F6D0]


def layered(n, layers, seed):
    rng = random.Random(seed)
    c = Circuit(n)
    for _ in range(layers):
        for q in range(n):
            c.h(q) if rng.random() < 0.3 else c.ry(rng.uniform(0, math.pi), q)
            c.rz(rng.uniform(-math.pi, math.pi), q)
        for q in range(rng.randrange(2), n - 1, 2):
            c.cx(q, q + 1)
    c.measure_all()
    return c


@pytest.mark.parametrize("precision", ["f32", "f64"])
@pytest.mark.parametrize(
    "n, shots",
    [
        (12, 30000),  # many shots for the outcomes: about 4000 distinct keys
        (16, 3000),   # fewer shots than a sixteenth of the outcomes
    ],
)
def test_counts_of_a_large_run_match_an_independent_sampler(n, shots, precision):
    result = run(layered(n, 3, seed=n), shots=shots, seed=2024, precision=precision)
    counts = result.counts()
    expected = reference_counts(result, shots, 2024)
    assert len(counts) > min(shots, 2**n) // 4
    assert counts == expected
    assert all(type(k) is str and type(v) is int for k, v in counts.items())
    assert result.counts() == counts


# ---- fresh objects ------------------------------------------------------------------------------------


@pytest.mark.parametrize("precision", ["f32", "f64"])
def test_arrays_are_fresh_contiguous_writeable_and_own_their_buffer(precision):
    result = run(bell(), shots=10, seed=1, precision=precision)
    for method in (result.statevector, result.probabilities):
        first = method()
        second = method()
        assert first is not second
        assert first.ndim == 1
        assert first.flags.c_contiguous and first.flags.writeable and first.flags.aligned
        assert not np.shares_memory(first, second)
        before = second.copy()
        first[:] = 42
        np.testing.assert_array_equal(method(), before)
        np.testing.assert_array_equal(second, before)
        # The buffer outlives the result object.
        kept = method()
        del first
        assert kept.base is not None


def test_arrays_outlive_the_result():
    result = run(bell(), seed=1)
    state = result.statevector()
    probabilities = result.probabilities()
    del result
    import gc

    gc.collect()
    assert state.tolist() == [S, 0, 0, S]
    assert probabilities.sum() == pytest.approx(1.0)


def test_counts_returns_a_new_dict_each_time():
    result = run(bell(), shots=100, seed=5)
    first = result.counts()
    first["bogus"] = 1
    second = result.counts()
    assert "bogus" not in second
    assert first is not second


def test_run_copies_the_circuit():
    c = Circuit(1)
    c.x(0)
    result = run(c, shots=0, seed=0)
    c.h(0)  # changes to the circuit after the run do not reach the result
    assert result.statevector().tolist() == [0, 1]
    assert run(c, shots=0).statevector().tolist() == pytest.approx([S, -S])


def test_run_leaves_the_circuit_usable():
    c = bell()
    run(c, shots=1)
    c.h(0)
    assert c.num_qubits() == 2


# ---- argument errors ------------------------------------------------------------------------------------

PRECISION_MESSAGE = "precision 은 'f32' 또는 'f64' 여야 합니다 (입력: {})"


@pytest.mark.parametrize(
    "text,shown",
    [
        ("F64", '"F64"'),
        ("", '""'),
        ("f64 ", '"f64 "'),
        ("f16", '"f16"'),
        ('f"6\\4', '"f\\"6\\\\4"'),
        ("f64\n", '"f64\\n"'),
        ("\t\r\0", '"\\t\\r\\0"'),
        ("\x01\x7f", '"\\u{1}\\u{7f}"'),
        ("정밀도", '"정밀도"'),
    ],
)
def test_precision_is_checked_exactly(text, shown):
    with pytest.raises(ValueError) as info:
        run(bell(), precision=text)
    assert str(info.value) == PRECISION_MESSAGE.format(shown)


@pytest.mark.parametrize(
    "kwargs,error,prefix",
    [
        ({"precision": 64}, TypeError, "argument 'precision': "),
        ({"precision": b"f64"}, TypeError, "argument 'precision': "),
        ({"shots": -1}, OverflowError, None),
        ({"shots": 2**64}, OverflowError, None),
        ({"shots": 1.0}, TypeError, "argument 'shots': "),
        ({"shots": "1"}, TypeError, "argument 'shots': "),
        ({"seed": 2**64}, OverflowError, None),
        ({"seed": -5}, OverflowError, None),
        ({"seed": 0.5}, TypeError, "argument 'seed': "),
    ],
)
def test_argument_errors(kwargs, error, prefix):
    with pytest.raises(error) as info:
        run(bell(), **kwargs)
    if prefix is None:
        assert not str(info.value).startswith("argument")
    else:
        assert str(info.value).startswith(prefix)


def test_numpy_integers_for_shots_and_seed():
    a = run(bell(), shots=np.uint16(10), seed=np.int64(3))
    b = run(bell(), shots=10, seed=3)
    assert a.counts() == b.counts()
    assert sum(run(bell(), shots=True, seed=1).counts().values()) == 1


@pytest.mark.parametrize("value", [None, 1, "circuit", Circuit])
def test_circuit_must_be_a_circuit(value):
    with pytest.raises(TypeError) as info:
        run(value)
    assert str(info.value).startswith("argument 'circuit': ")


def test_conversion_order():
    c = bell()
    with pytest.raises(TypeError, match="^argument 'circuit': "):
        run(1, shots="x", precision=1)
    with pytest.raises(TypeError, match="^argument 'shots': "):
        run(c, shots="x", seed="y", precision=1)
    with pytest.raises(OverflowError):
        run(c, seed=-1, precision=1)
    with pytest.raises(TypeError, match="^argument 'precision': "):
        run(c, precision=1)
    # Conversion failures come before the precision check.
    with pytest.raises(OverflowError):
        run(c, shots=-1, precision="bad")


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: run(), "run() missing 1 required positional argument: 'circuit'"),
        (lambda: run(bell(), 1, 2, "f64", 5), "run() takes from 1 to 4 positional arguments but 5 were given"),
        (lambda: run(bell(), shot=1), "run() got an unexpected keyword argument 'shot'"),
        (lambda: run(bell(), 1, shots=1), "run() got multiple values for argument 'shots'"),
        (lambda: run(shots=1), "run() missing 1 required positional argument: 'circuit'"),
    ],
)
def test_run_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# ---- engine failures ---------------------------------------------------------------------------------------


def test_zero_qubits_panics():
    with pytest.raises(PanicException) as info:
        run(Circuit(0))
    assert info.value.args == ("qubit 수는 1 이상이어야 합니다",)


@pytest.mark.parametrize("n,precision", [(59, "f64"), (60, "f32"), (64, "f32"), (2**64 - 1, "f64")])
def test_capacity_overflow_panics(n, precision):
    with pytest.raises(PanicException) as info:
        run(Circuit(n), precision=precision)
    assert info.value.args == ("capacity overflow",)


def overcommit_always():
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            return f.read().strip() == "1"
    except OSError:
        return False


@pytest.mark.skipif(overcommit_always(), reason="the kernel grants any allocation")
@pytest.mark.parametrize("precision,bytes_asked", [("f64", 16 * 2**40), ("f32", 8 * 2**40)])
def test_impossible_allocation_raises_memory_error(precision, bytes_asked):
    c = Circuit(40)
    c.h(0)
    for _ in range(3):
        with pytest.raises(MemoryError) as info:
            run(c, precision=precision)
        text = str(info.value)
        assert "40" in text and str(bytes_asked) in text
    # The process and the circuit are fine afterwards.
    c.x(1)
    counts = run(bell(), shots=3, seed=1).counts()
    assert set(counts) <= {"00", "11"} and sum(counts.values()) == 3


def test_global_phase_after_run_is_unchanged():
    c = bell()
    run(c)
    assert c.global_phase == 0.0
    assert math.copysign(1.0, c.global_phase) == 1.0


def test_module_run_is_the_function():
    assert vorn_python.run is run
