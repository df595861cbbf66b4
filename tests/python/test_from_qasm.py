"""Circuit.from_qasm: signature, conversion, errors, and the real-world OpenQASM corpus."""
import csv
import inspect
import os
import re
from pathlib import Path

import numpy as np
import pytest

from vorn_python import Circuit, run

BELL_QASM = """OPENQASM 2.0;
include "qelib1.inc";
qreg q[2];
creg c[2];
h q[0];
cx q[0],q[1];
measure q -> c;
"""

D1 = (
    "OpenQASM 2.0 또는 3.0 문자열을 파싱해 [`Circuit`] 으로 만든다.\n\n"
    "헤더 (`OPENQASM 2.0;` 또는 `OPENQASM 3.0;`) 로 버전 자동 감지.\n"
    "미지원 syntax (`if`, `reset`, `for`/`while`/`box`, `sx`/`gphase` 등) 는\n"
    "`ValueError` 로 변환되어 사용자에게 명확한 milestone 정보가 노출된다."
)


def test_signature_and_docstring():
    assert str(inspect.signature(Circuit.from_qasm)) == "(qasm)"
    assert Circuit.from_qasm.__doc__ == D1


def test_parses_and_runs_a_bell_program():
    c = Circuit.from_qasm(BELL_QASM)
    assert type(c) is Circuit
    assert c.num_qubits() == 2
    result = run(c, shots=200, seed=3)
    assert set(result.counts()) <= {"00", "11"}
    assert sum(result.counts().values()) == 200
    np.testing.assert_allclose(result.probabilities(), [0.5, 0, 0, 0.5])


def test_static_and_instance_calls_agree_and_return_new_instances():
    c = Circuit(7)
    a = Circuit.from_qasm(BELL_QASM)
    b = c.from_qasm(BELL_QASM)
    d = Circuit.from_qasm(qasm=BELL_QASM)
    assert a is not b and a is not c
    assert c.num_qubits() == 7
    assert a.num_qubits() == b.num_qubits() == d.num_qubits() == 2
    ra = run(a, shots=50, seed=1)
    rb = run(b, shots=50, seed=1)
    assert ra.counts() == rb.counts()
    # Each instance owns its own record.
    a.h(0)
    assert run(b, shots=0).statevector().tobytes() == rb.statevector().tobytes()


def test_openqasm3_header_and_str_subclass():
    class Text(str):
        pass

    c = Circuit.from_qasm(Text("OPENQASM 3.0;\nqubit[3] q;\nx q[2];\n"))
    assert c.num_qubits() == 3
    assert run(c, shots=0).statevector()[4] == 1


def test_only_a_header_gives_zero_qubits():
    assert Circuit.from_qasm("OPENQASM 3.0;").num_qubits() == 0


@pytest.mark.parametrize("value", [b"OPENQASM 2.0;", None, 2, ["OPENQASM 2.0;"]])
def test_non_text_is_a_type_error(value):
    with pytest.raises(TypeError) as info:
        Circuit.from_qasm(value)
    assert str(info.value).startswith("argument 'qasm': ")


def test_binding_errors():
    with pytest.raises(TypeError) as info:
        Circuit.from_qasm()
    assert str(info.value) == "Circuit.from_qasm() missing 1 required positional argument: 'qasm'"
    with pytest.raises(TypeError) as info:
        Circuit.from_qasm(BELL_QASM, BELL_QASM)
    assert str(info.value) == "Circuit.from_qasm() takes 1 positional argument but 2 were given"
    with pytest.raises(TypeError) as info:
        Circuit.from_qasm(text=BELL_QASM)
    assert str(info.value) == "Circuit.from_qasm() got an unexpected keyword argument 'text'"


@pytest.mark.parametrize(
    "text,message",
    [
        ('OPENQASM 2.0;\nqreg q[2];\nh q[2];\n', "qasm qubit index 2 out of range (n_qubits=2)"),
        (
            'OPENQASM 2.0;\ninclude "lib.inc";\n',
            'qasm unsupported feature: include of "lib.inc" at line 2:1 not supported '
            "(only qelib1.inc / stdgates.inc) (planned for v0.4+)",
        ),
        (
            "OPENQASM 3.0;\nqubit[1] q;\nfor i in [0:1] { x q[i]; }\n",
            "qasm unsupported feature: OpenQASM 3.0 'for' (dynamic circuits) at line 3:1 (planned for v0.5)",
        ),
        (
            'OPENQASM 2.0;\nqreg q[1];\nrx() q[0];\n',
            "qasm lower error: qasm gate 'rx' at line 3:1 expected 1 parameters, got 0",
        ),
    ],
)
def test_refusals_raise_value_error_with_exactly_the_rendered_text(text, message):
    with pytest.raises(ValueError) as info:
        Circuit.from_qasm(text)
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_unterminated_string_position():
    text = 'OPENQASM 2.0;\n\n\ninclude "qelib1.inc;\n'
    with pytest.raises(ValueError) as info:
        Circuit.from_qasm(text)
    assert str(info.value) == "qasm lex error at line 4:9: unterminated string literal"


# ---- the real-world corpus ----------------------------------------------------------------------


# The corpus in the repository, unless VORN_QASM_CORPUS names another folder.
def corpus_dir():
    override = os.environ.get("VORN_QASM_CORPUS")
    if override:
        return Path(override)
    return (Path(__file__).parent / "../data/qasm").resolve()


def corpus_rows():
    manifest = corpus_dir() / "MANIFEST.tsv"
    if not manifest.is_file():
        return []
    with open(manifest, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f, delimiter="\t"))


ROWS = corpus_rows()

# The rendered form of each error kind.
KIND_PATTERNS = {
    "Lex": r"qasm lex error at line \d+:\d+: .+",
    "Parse": r"qasm parse error at line \d+:\d+: .+",
    "Lower": r"qasm lower error: .+",
    "Unsupported": r"qasm unsupported feature: .+ \(planned for (v0\.4\+|v0\.5)\)",
    "UnknownGate": r"qasm unknown gate '[^']*' at line \d+:\d+",
    "GateArity": r"qasm gate '[^']*' at line \d+:\d+ expected \d+ qubits, got \d+",
    "QubitOutOfRange": r"qasm qubit index \d+ out of range \(n_qubits=\d+\)",
    "CbitOutOfRange": r"qasm cbit index \d+ out of range \(n_cbits=\d+\)",
    "RecursionLimit": r"qasm gate '[^']*' inline expansion exceeded recursion limit \d+",
}


def read_program(row):
    return (corpus_dir() / row["class"] / row["file"]).read_bytes().decode("utf-8")


def ids(rows):
    return [row["file"] for row in rows]


ACCEPTED = [row for row in ROWS if row["class"] == "accepted"]
REFUSED = [row for row in ROWS if row["class"] == "refused"]


def test_manifest_matches_the_files():
    assert ROWS, f"no corpus at {corpus_dir()}"
    for row in ROWS:
        assert (corpus_dir() / row["class"] / row["file"]).is_file()
    assert len(ACCEPTED) > 0 and len(REFUSED) > 0


@pytest.mark.parametrize("row", ACCEPTED, ids=ids(ACCEPTED))
def test_accepted_program_parses_and_runs(row):
    circuit = Circuit.from_qasm(read_program(row))
    assert circuit.num_qubits() == int(row["qubits"])
    if circuit.num_qubits() == 0 or circuit.num_qubits() > 20:
        return
    result = run(circuit, shots=16, seed=1, precision="f64")
    probabilities = result.probabilities()
    assert probabilities.shape == (2 ** circuit.num_qubits(),)
    assert abs(float(probabilities.sum()) - 1.0) <= 1e-9
    counts = result.counts()
    if counts:
        assert sum(counts.values()) == 16
        assert all(len(key) == circuit.num_qubits() for key in counts)


@pytest.mark.parametrize("row", REFUSED, ids=ids(REFUSED))
def test_refused_program_raises_its_kind_of_error(row):
    with pytest.raises(ValueError) as info:
        Circuit.from_qasm(read_program(row))
    text = str(info.value)
    pattern = KIND_PATTERNS[row["error_kind"]]
    assert re.fullmatch(pattern, text), f"{row['reason']}: {text}"
    reason = row["reason"]
    if row["error_kind"] == "UnknownGate" and reason.startswith("unknown gate "):
        assert text.startswith(f"qasm unknown gate '{reason[len('unknown gate '):]}'")
    if row["error_kind"] == "Unsupported" and reason in ("reset", "if"):
        assert f"'{reason}" in text
