"""The `vorn` command's results: tables and JSON equal to run(), files equal to the result's
arrays bit for bit, histograms whose bars are the counts, conversions equal to to_qasm."""
import json
import re

import numpy as np
import pytest

import vorn as vorn_package

from cli_support import COMMANDS, EXAMPLES, table_rows, uniform_program, vorn
from vorn_python import Circuit, run

ROTATIONS = """OPENQASM 3.0;
include "stdgates.inc";
qubit[5] q;
h q;
rx(0.3) q[0];
ry(-1.1) q[3];
cx q[0], q[4];
rz(2.5) q[4];
ccx q[1], q[4], q[2];
"""


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize(
    "name, precision, shots, seed",
    [
        ("bell.qasm", "f64", 1024, 7),
        ("ghz.qasm", "f32", 333, 0),
        ("grover.qasm", "f64", 2000, 2**64 - 1),
    ],
)
def test_table_counts_are_runs_counts(command, name, precision, shots, seed):
    path = EXAMPLES / name
    got = vorn("run", path, "--shots", shots, "--seed", seed, "--precision", precision,
               "--all", command=command)
    assert got.returncode == 0, got.stderr
    expected = run(Circuit.from_qasm(path.read_text()), shots, seed, precision).counts()
    rows = table_rows(got.stdout)
    assert dict((key, count) for key, count, _ in rows) == expected
    assert [(k, c) for k, c, _ in rows] == sorted(expected.items(), key=lambda i: (-i[1], i[0]))
    assert all(share == f"{100.0 * count / shots:.2f}%" for _, count, share in rows)
    assert got.stdout.splitlines()[0].startswith(f"{path}: ")
    assert f", {precision}, " in got.stdout.splitlines()[0]
    assert f", seed {seed}, " in got.stdout.splitlines()[0]


def test_table_layout_and_left_out_rows():
    got = vorn("run", "-", "--seed", 11, "--threads", 3, "--shots", 4096,
               stdin=uniform_program(5))
    lines = got.stdout.splitlines()
    counts = run(Circuit.from_qasm(uniform_program(5)), 4096, 11).counts()
    ordered = sorted(counts.items(), key=lambda i: (-i[1], i[0]))
    assert lines[0] == (
        "<stdin>: 5 qubits, 5 classical bits, 5 gates, f64, 3 threads, seed 11, state 512 B"
    )
    assert lines[1] == "outcome  count   share"
    top_key, top_count = ordered[0]
    assert lines[2] == f"{top_key:<7}  {top_count:>5} {100 * top_count / 4096:6.2f}%  " + "█" * 40
    # Eighths of a cell, rounded down: count * 320 // largest.
    key, count = ordered[1]
    eighths = count * 320 // top_count
    assert lines[3].endswith("  " + "█" * (eighths // 8) + " ▏▎▍▌▋▊▉"[eighths % 8].strip())
    assert len(lines) == 2 + 16 + 2
    left = ordered[16:]
    assert lines[-2] == (
        f"… {len(left)} more outcomes, {sum(c for _, c in left)} shots (--all shows every one)"
    )
    assert lines[-1].startswith("read ") and ", run " in lines[-1] and lines[-1].endswith(" ms")


def test_header_singulars():
    program = "OPENQASM 2.0;\nqreg q[1];\ncreg c[1];\nU(0.5, 0, 0) q[0];\nmeasure q -> c;\n"
    got = vorn("run", "-", "--seed", 1, "--threads", 1, "--precision", "f32", stdin=program)
    assert got.returncode == 0, got.stderr
    assert got.stdout.splitlines()[0] == (
        "<stdin>: 1 qubit, 1 classical bit, 1 gate, f32, 1 thread, seed 1, state 16 B"
    )


@pytest.mark.parametrize(
    "env, threads",
    [({"RAYON_NUM_THREADS": "+5"}, "5 threads"), ({"RAYON_RS_NUM_CPUS": "7"}, "7 threads"),
     ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "1"}, "1 thread")],
)
def test_header_threads_follow_the_pool_rule(env, threads):
    clean = {"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": ""}
    got = vorn("run", EXAMPLES / "bell.qasm", env={**clean, **env})
    assert f", {threads}, " in got.stdout.splitlines()[0]


def test_json_is_runs_result_and_draws_with_vorn_plot(tmp_path):
    got = vorn("run", EXAMPLES / "grover.qasm", "--json", "--seed", 5, "--shots", 500)
    assert got.returncode == 0, got.stderr
    assert got.stdout.endswith("}\n") and got.stdout.count("\n") == 1
    saved = json.loads(got.stdout)
    assert list(saved) == ["file", "n_qubits", "n_cbits", "gates", "shots", "seed", "precision",
                           "threads", "counts", "times"]
    assert got.stdout == json.dumps(saved) + "\n"
    counts = run(Circuit.from_qasm((EXAMPLES / "grover.qasm").read_text()), 500, 5).counts()
    assert list(saved["counts"].items()) == sorted(counts.items(), key=lambda i: (-i[1], i[0]))
    assert (saved["n_qubits"], saved["n_cbits"], saved["shots"], saved["seed"]) == (3, 3, 500, 5)
    assert list(saved["times"]) == ["read", "run"]

    (tmp_path / "r.json").write_text(got.stdout)
    for suffix, magic in ((".png", b"\x89PNG"), (".svg", b"<?xml"), (".pdf", b"%PDF")):
        drawn = vorn("plot", tmp_path / "r.json", "-o", tmp_path / f"h{suffix}")
        assert drawn.returncode == 0, drawn.stderr
        assert (tmp_path / f"h{suffix}").read_bytes().startswith(magic)


@pytest.mark.parametrize("precision", ["f32", "f64"])
def test_npy_files_are_the_results_arrays_bit_for_bit(precision, tmp_path):
    got = vorn("run", "-", "--precision", precision, "--statevector", tmp_path / "state",
               "--probabilities", tmp_path / "p.npy", stdin=ROTATIONS)
    assert got.returncode == 0, got.stderr
    assert got.stdout.splitlines()[1] == "no measurements: no counts"
    result = run(Circuit.from_qasm(ROTATIONS), precision=precision)
    for name, expected in (("state", result.statevector()), ("p.npy", result.probabilities())):
        saved = np.load(tmp_path / name)  # written as given, with no .npy added
        assert saved.dtype == expected.dtype
        assert saved.tobytes() == expected.tobytes()


def test_histogram_bars_are_the_counts(tmp_path):
    from vorn.commands.plot import Meta, histogram_figure

    got = vorn("run", "-", "--json", "--seed", 3, "--shots", 3000, stdin=uniform_program(5))
    saved = json.loads(got.stdout)
    meta = Meta(saved["file"], saved["shots"], saved["seed"], saved["precision"])
    ordered = list(saved["counts"].items())
    for top in (4, 32):
        ax = histogram_figure(saved["counts"], meta, top).axes[0]
        heights = [patch.get_height() for patch in ax.patches]
        labels = [label.get_text() for label in ax.get_xticklabels()]
        expected = [count for _, count in ordered[:top]]
        if len(ordered) > top:
            expected.append(sum(count for _, count in ordered[top:]))
            assert labels[-1] == "other"
            assert ax.patches[-1].get_facecolor() != ax.patches[0].get_facecolor()
        assert heights == expected
        assert labels[:top] == [key for key, _ in ordered[:top]]
        assert ax.get_title() == "<stdin>: 3000 shots, seed 3, f64"
    empty = histogram_figure({}, meta).axes[0]
    assert not empty.patches


@pytest.mark.parametrize("version", ["2.0", "3.0"])
def test_convert_is_to_qasm(version, tmp_path):
    text = (EXAMPLES / "grover.qasm").read_text()
    got = vorn("convert", EXAMPLES / "grover.qasm", "--to", version)
    assert got.stdout == Circuit.from_qasm(text).to_qasm(version)

    circuit = Circuit.from_qasm(text)
    passes = circuit.transpile()
    got = vorn("convert", EXAMPLES / "grover.qasm", "--to", version, "--transpile",
               "-o", tmp_path / "out.qasm")
    assert got.returncode == 0 and got.stdout == ""
    assert (tmp_path / "out.qasm").read_text() == circuit.to_qasm(version)
    assert got.stderr.startswith("transpile: 43 → ") and f", {passes} passes" in got.stderr


def test_run_transpile_reports_and_runs_the_transpiled_circuit():
    circuit = Circuit.from_qasm((EXAMPLES / "grover.qasm").read_text())
    circuit.transpile()
    got = vorn("run", EXAMPLES / "grover.qasm", "--transpile", "--seed", 9, "--all")
    assert got.stdout.startswith("transpile: 43 → 39 gates, 2 passes\n")
    assert ", 39 gates, " in got.stdout.splitlines()[1]
    assert dict((k, c) for k, c, _ in table_rows(got.stdout)) == run(circuit, seed=9).counts()


def test_info_lists_registers_operations_and_memory():
    program = ('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[3];\ncreg c[2];\nh q[0];\nh q[1];\n'
               "cx q[0],q[1];\nrz(0.5) q[2];\nmeasure q[0] -> c[0];\nmeasure q[2] -> c[1];\n")
    got = vorn("info", "-", stdin=program)
    assert got.returncode == 0, got.stderr
    assert got.stdout.splitlines()[0] == "<stdin>"
    facts = dict(re.split(r"\s{2,}", line.strip()) for line in got.stdout.splitlines()[1:])
    assert facts["qubits"] == "3" and facts["classical bits"] == "2"
    assert (facts["gates"], facts["h"], facts["cx"], facts["rz"]) == ("4", "2", "1", "1")
    assert facts["measurements"] == "2" and facts["global phase"] == "0.0"
    assert (facts["state at f32"], facts["state at f64"]) == ("64 B", "128 B")
    assert facts["available"].endswith("iB")


def test_info_counts_loops_and_bit_assignments_of_a_dynamic_program():
    # Two loops that run while the program does (their tests are conditions too), an `if`, and
    # two bit assignments; a read-time `for` loop leaves its gates only.
    program = """OPENQASM 3.0;
include "stdgates.inc";
qubit[2] q;
bit[2] c;
bit flag;
for int i in [0:2] { h q[0]; }
c[0] = measure q[0];
while (c[0]) { reset q[0]; h q[0]; c[0] = measure q[0]; }
flag = c[0] || c[1];
if (flag) { x q[1]; }
c[1] = !flag;
while (!c[1]) { c[1] = measure q[1]; }
"""
    got = vorn("info", "-", stdin=program)
    assert got.returncode == 0, got.stderr
    facts = dict(re.split(r"\s{2,}", line.strip()) for line in got.stdout.splitlines()[1:])
    assert (facts["loops"], facts["bit assignments"], facts["conditions"]) == ("2", "2", "3")
    assert facts["h"] == "4" and facts["resets"] == "1"
    summary = vorn_package.Program.from_qasm(program).summary()
    assert (summary["loops"], summary["bit_assignments"]) == (2, 2)


@pytest.mark.parametrize(
    "n_bytes, text",
    [(64, "64 B"), (1023, "1023 B"), (1024, "1.0 KiB"), (3 << 27, "384.0 MiB"),
     (16 << 30, "16.0 GiB"), (1 << 70, "1.0 ZiB")],
)
def test_state_sizes_in_binary_units(n_bytes, text):
    from vorn.machine import format_bytes

    assert format_bytes(n_bytes) == text


@pytest.mark.parametrize("seconds, text", [(0.00021, "0.21 ms"), (0.5, "500.00 ms"),
                                           (1.0, "1.00 s"), (75.125, "75.12 s")])
def test_times(seconds, text):
    from vorn.report import format_seconds

    assert format_seconds(seconds) == text


CORPUS = EXAMPLES.parent / "tests" / "data" / "qasm"


@pytest.mark.parametrize(
    "name",
    ["oq2_rb.qasm", "pyzx_011_3_qubit_grover_50_.qasm", "pyzx_W3test.qasm", "oq2_qpt.qasm"],
)
def test_corpus_programs_give_runs_counts(name):
    """The shell tool's counts are run()'s, each whole-register outcome read into the classical
    bits through the program's measurements."""
    path = CORPUS / "accepted" / name
    got = vorn("run", path, "--json", "--seed", 5, "--shots", 500)
    assert got.returncode == 0, got.stderr
    circuit = Circuit.from_qasm(path.read_text())
    measured = {}
    for line in circuit.to_qasm("2.0").splitlines():
        found = re.fullmatch(r"measure q\[(\d+)\] -> c\[(\d+)\];", line)
        if found:
            measured[int(found.group(2))] = int(found.group(1))
    n_cbits = json.loads(got.stdout)["n_cbits"]
    expected = {}
    for key, count in run(circuit, 500, 5).counts().items():
        bits = ["0"] * n_cbits
        for cbit, qubit in measured.items():
            bits[n_cbits - 1 - cbit] = key[len(key) - 1 - qubit]
        expected["".join(bits)] = expected.get("".join(bits), 0) + count
    assert json.loads(got.stdout)["counts"] == expected


def test_expect_prints_values_in_the_table_and_the_json():
    import vorn as api

    path = EXAMPLES / "ghz.qasm"
    table = vorn("run", path, "--seed", 1, "--expect", "Z0 Z4", "--expect", "0.5*XXXXX - 1")
    assert table.returncode == 0, table.stderr
    program = api.load(path)
    z = api.expectation(program, "Z0 Z4")
    x = api.expectation(program, "0.5*XXXXX - 1")
    assert f"<Z0 Z4> = {z!r}\n<0.5*XXXXX - 1> = {x!r}\n" in table.stdout
    got = json.loads(vorn("run", path, "--seed", 1, "--json", "--expect", "Z0 Z4").stdout)
    assert got["expectations"] == [{"observable": "Z0 Z4", "value": z}]


@pytest.mark.parametrize("args, words", [
    (["--expect", "Z0 Q1"], "Q"),
    (["--expect", "Z9"], "9"),
])
def test_expect_refuses_bad_observables_before_the_run(args, words):
    got = vorn("run", EXAMPLES / "ghz.qasm", *args)
    assert got.returncode == 2 and got.stdout == ""
    assert got.stderr.startswith("vorn: --expect") and words in got.stderr


def test_expect_refuses_dynamic_programs():
    got = vorn("run", EXAMPLES / "teleport.qasm", "--expect", "Z2")
    assert got.returncode == 2 and "single final state" in got.stderr
