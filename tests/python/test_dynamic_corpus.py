"""The corpus programs that vorn_python refuses only for mid-circuit measurement, reset,
conditions, bit initialisers or a missing version line run through the vorn package and the shell tool, with the same
counts for a seed."""
import json
from pathlib import Path

import pytest

import vorn
from cli_support import vorn as vorn_command

REFUSED = Path(__file__).resolve().parents[1] / "data" / "qasm" / "refused"

DYNAMIC_PROGRAMS = [
    "oq2_inverseqft1.qasm",
    "oq2_teleport.qasm",
    "oq2_teleportv2.qasm",
    "oq3_teleport.qasm",
    # OpenQASM 3 programs without a version line
    "oq3_inverseqft2.qasm",
    "oq3_qpt.qasm",
    "oq3_rb.qasm",
    "qb_cc_n12.qasm",
    "qb_inverseqft_n4.qasm",
    "qb_ipea_n2.qasm",
    "qb_ipea_n2_transpiled.qasm",
    "qb_qec_sm_n5.qasm",
    "qb_shor_n5.qasm",
    "qb_square_root_n18.qasm",
    "qk_example_if.qasm",
    "qs_BellPair.qasm",
    "qs_OpenQasmHelloWorld.qasm",
]


@pytest.mark.parametrize("name", DYNAMIC_PROGRAMS)
def test_dynamic_corpus_programs_run(name):
    path = REFUSED / name
    program = vorn.load(path)
    counts = vorn.run(program, shots=300, seed=8).counts()
    assert sum(counts.values()) == 300
    widths = {len(key) for key in counts}
    assert len(widths) == 1
    got = vorn_command("run", path, "--json", "--seed", 8, "--shots", 300)
    assert got.returncode == 0, got.stderr
    assert json.loads(got.stdout)["counts"] == counts


def test_iterative_phase_estimation_finds_its_phase():
    # Each round's correction depends on the bits measured before: the outcome is certain.
    counts = vorn.run(vorn.load(REFUSED / "qb_ipea_n2.qasm"), shots=200, seed=1).counts()
    assert counts == {"0011": 200}
