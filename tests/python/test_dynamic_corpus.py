"""The corpus programs that vorn_python refuses only for mid-circuit measurement, reset,
conditions, bit initialisers or a missing version line run through the vorn package and the shell tool, with the same
counts for a seed."""
import json
import math
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


# ---- OpenQASM 3 as people write it: the corpus programs the vorn package now reads ----

# Programs whose counts follow from what they compute: every shot gives this key.
CERTAIN = {
    # The inverse QFT undoes the uniform superposition that `h q` makes.
    "oq2_inverseqft1.qasm": "0000",
    "oq3_inverseqft1.qasm": "0000",
    # Phase estimation of the phase 3π/8 = 2π · 3/16 with four bits reads 3.
    "oq2_ipea_3_pi_8.qasm": "0011",
    "oq2_pea_3_pi_8.qasm": "0011",
    "qk_pea_3_pi_8.qasm": "0011",
    # The ripple-carry adder adds a = 1 to b = 15: 16 in five bits.
    "oq3_adder.qasm": "10000",
    # Bernstein-Vazirani finds its secret bit string.
    "qs_BernsteinVazirani.qasm": "10101",
    # Teleportation of rx(0.7)|0>, undone on the receiving side.
    "qs_Teleportation.qasm": "0",
    # Repeat until success ends with both flags clear and the output 0.
    "oq3_rus.qasm": "0 00",
    # Programs without classical bits have the empty key.
    "oq3_alignment.qasm": "",
    "qk_TestBasisTranslator_skip_target.qasm": "",
    "qs_rgqft_multiplier_4q.qasm": "",
}

# Programs read and run whose outcomes are random: checked for their sizes, and against the
# command line with the same seed.
RANDOM = [
    "oq3_qec.qasm",
    "qb_sat_n11.qasm",
    "qk_all_gates.qasm",
    "qs_Grover.qasm",
    "qs_Simple1dIsingOrder1.qasm",
    "qs_self-contained.qasm",
]

# The programs the vorn package refuses, with what it says: broken on purpose, pulse level
# (extern, defcal) or arrays.
STILL_REFUSED = {
    "oq2_invalid_gate_no_found.qasm": "unknown gate 'w'",
    "oq2_invalid_missing_semicolon.qasm": "expected ';', got Qreg",
    "oq3_arrays.qasm": "'array' declaration at line 9:1",
    "oq3_cphase.qasm": 'undefined qreg/qubit register "q"',
    "oq3_dd.qasm": "gate 'u' at line 25:3 expected 3 parameters, got 0",
    "oq3_defcal.qasm": "unexpected character '.'",
    "oq3_gateteleport.qasm": "extern declaration",
    "oq3_scqec.qasm": "extern declaration",
    "oq3_t1.qasm": "extern declaration",
    "oq3_vqe.qasm": "extern declaration",
    "pyzx_shor_2_21.qasm": "unknown gate 'H'",
    "qb_vqe_uccsd_n4.qasm": 'undefined creg/bit register "c"',
    "qb_vqe_uccsd_n6_transpiled.qasm": 'undefined creg/bit register "c"',
    "qk_example_fail.qasm": "expected ';', got Eof",
    "qk_example_minor_version_fail.qasm": "unsupported OPENQASM version 2.6",
    "qs_with_includes.qasm": 'include of "included.qasm": file not found',
}


@pytest.mark.parametrize("name,key", sorted(CERTAIN.items()))
def test_corpus_programs_give_their_certain_outcome(name, key):
    counts = vorn.run(vorn.load(REFUSED / name), shots=200, seed=11).counts()
    assert counts == {key: 200}


@pytest.mark.parametrize("name", RANDOM)
def test_corpus_programs_with_random_outcomes_run(name):
    path = REFUSED / name
    counts = vorn.run(vorn.load(path), shots=300, seed=8).counts()
    assert sum(counts.values()) == 300
    got = vorn_command("run", path, "--json", "--seed", 8, "--shots", 300)
    assert got.returncode == 0, got.stderr
    assert json.loads(got.stdout)["counts"] == counts


def test_corpus_grover_finds_its_marked_state():
    # Four rounds on 32 states: the marked 01010 with probability sin²(9·asin(1/√32)) ≈ 0.9992.
    counts = vorn.run(vorn.load(REFUSED / "qs_Grover.qasm"), shots=2000, seed=3).counts()
    assert counts.get("01010", 0) >= 1980


def test_corpus_chain_of_teleportations_keeps_its_state():
    # rz(π/4)|+> teleported along the chain, then h: 0 with probability cos²(π/8). Every
    # teleportation doubles the outcome paths, so the ten of the file run a few shots, and a
    # chain of two (the same text otherwise) the many shots that check the probability.
    text = (REFUSED / "oq3_varteleport.qasm").read_text()
    counts = vorn.run(vorn.load(REFUSED / "oq3_varteleport.qasm"), shots=8, seed=6).counts()
    assert set(counts) <= {"0", "1"} and sum(counts.values()) == 8
    short = text.replace("n_pairs = 10;", "n_pairs = 2;")
    shots = 4000
    counts = vorn.run(vorn.Program.from_qasm(short), shots=shots, seed=6).counts()
    p = math.cos(math.pi / 8) ** 2
    assert set(counts) <= {"0", "1"}
    assert abs(counts.get("0", 0) - p * shots) < 5 * math.sqrt(shots * p * (1 - p))


def test_corpus_qft_of_a_basis_state_is_uniform():
    # The QFT of |0101> has 16 amplitudes of equal magnitude.
    shots = 3200
    counts = vorn.run(vorn.load(REFUSED / "oq3_qft.qasm"), shots=shots, seed=9).counts()
    assert sorted(counts) == [format(k, "04b") for k in range(16)]
    for count in counts.values():
        assert abs(count - shots / 16) < 5 * math.sqrt(shots / 16 * 15 / 16)


@pytest.mark.parametrize("name,message", sorted(STILL_REFUSED.items()))
def test_corpus_programs_the_vorn_package_refuses(name, message):
    with pytest.raises(ValueError) as error:
        vorn.load(REFUSED / name)
    assert message in str(error.value)


def test_the_corpus_is_sorted_completely():
    refused = {p.name for p in REFUSED.glob("*.qasm")}
    read = set(DYNAMIC_PROGRAMS) | set(CERTAIN) | set(RANDOM)
    read |= {"oq3_varteleport.qasm", "oq3_qft.qasm", "oq3_ipe.qasm", "qs_RandomNumber.qasm"}
    assert read.isdisjoint(STILL_REFUSED)
    assert read | set(STILL_REFUSED) == refused
    assert len(read) == 38


# ---- values computed from measured bits ----


def test_corpus_random_number_is_uniform():
    # Five measurements of |+>, shifted into an int: each of 0..31 with probability 1/2^5. The
    # int is 64 bits wide and shown as such.
    shots = 3200
    counts = vorn.run(vorn.load(REFUSED / "qs_RandomNumber.qasm"), shots=shots, seed=12).counts()
    assert all(len(key) == 64 for key in counts)
    values = {int(key, 2): count for key, count in counts.items()}
    assert set(values) <= set(range(32))
    p = 0.5**5
    expected = shots * p
    chi2 = sum((values.get(v, 0) - expected) ** 2 / expected for v in range(32))
    # 31 degrees of freedom: mean 31, standard deviation 7.9; 100 lies beyond 8 of them.
    assert chi2 < 100


def ipe_distribution(n=10, theta=3 * math.pi / 8):
    """The final c of the iterative phase estimation program, by its rounds: the target is
    |+>, half the eigenvector of phase 0 and half that of phase theta; round i kicks back
    phase * 2^i onto the measured qubit, less the angle c holds, and measures 1 with
    probability sin^2(difference / 2); the bit enters c[0] and c shifts left."""
    dist = {}
    full = (1 << n) - 1

    def walk(i, c, prob, phase):
        if prob < 1e-15:
            return
        if i == n:
            key = format(c, f"0{n}b")
            dist[key] = dist.get(key, 0.0) + prob
            return
        difference = phase * 2**i - 2 * math.pi * c / 2**n
        p1 = math.sin(difference / 2) ** 2
        for bit, p in ((0, 1 - p1), (1, p1)):
            walk(i + 1, (((c & ~1) | bit) << 1) & full, prob * p, phase)

    walk(0, 0, 0.5, 0.0)
    walk(0, 0, 0.5, theta)
    return dist


def test_corpus_iterative_phase_estimation_matches_its_distribution():
    # The angle c is measured bit by bit and feeds `inv @ phase(c)` in the next round.
    dist = ipe_distribution()
    assert abs(sum(dist.values()) - 1) < 1e-9
    shots = 4000
    counts = vorn.run(vorn.load(REFUSED / "oq3_ipe.qasm"), shots=shots, seed=5).counts()
    assert sum(counts.values()) == shots
    assert set(counts) <= set(dist)
    for key, p in dist.items():
        sigma = math.sqrt(shots * p * (1 - p))
        assert abs(counts.get(key, 0) - shots * p) < 6 * sigma + 1, key
    # The shell tool reads and runs it the same way.
    got = vorn_command("run", REFUSED / "oq3_ipe.qasm", "--json", "--seed", 5, "--shots", shots)
    assert got.returncode == 0, got.stderr
    assert json.loads(got.stdout)["counts"] == counts
