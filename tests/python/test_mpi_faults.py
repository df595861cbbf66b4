"""vorn-mpi when one rank fails: killed during the run or while writing, out of memory, unable to
write (a full disk, a folder in the way, a missing folder) or to read an included file. Every
rank ends within 30 s with a non-zero status and one message, and no file of the requested name
is left unless it is complete. Faults are injected with VORN_MPI_FAULT="KIND:RANK"."""
import os
import subprocess
import time

import numpy as np
import pytest

from test_mpi import BELL, MPI_ENV, MPIRUN, SEED, VORN_MPI
from vorn_python import Circuit, run

pytestmark = pytest.mark.skipif(
    not (VORN_MPI and os.path.exists(VORN_MPI)),
    reason="vorn-mpi is not built (MPI support off or not found); VORN_MPI names the binary",
)

DEADLINE = 30
# 16 qubits: each rank writes 512 KiB of amplitudes, in one part.
WIDE = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[16];\ncreg c[16];\nh q;\ncx q[0],q[15];\n'
DYNAMIC = (
    'OPENQASM 3.0;\ninclude "stdgates.inc";\nqubit[12] q;\nbit[2] c;\nh q[0];\n'
    "c[0] = measure q[0];\nif (c[0]) { x q[11]; }\nc[1] = measure q[11];\n"
)


def faulty_run(ranks, fault, *args, stdin=None):
    """The finished job and how long it took, with the fault injected."""
    env = dict(MPI_ENV, VORN_MPI_FAULT=fault)
    start = time.monotonic()
    done = subprocess.run(
        MPIRUN + ["-n", str(ranks), VORN_MPI, *map(str, args)],
        env=env,
        input=stdin,
        capture_output=True,
        text=True,
        timeout=4 * DEADLINE,
    )
    return done, time.monotonic() - start


def assert_only_temporary(folder, name):
    """Nothing in folder bears the requested name: at most the temporary file, named as such."""
    assert not (folder / name).exists()
    assert all(entry.startswith(f"{name}.partial-") for entry in os.listdir(folder))


def write_program(tmp_path, text):
    path = tmp_path / "program.qasm"
    path.write_text(text)
    return path


@pytest.mark.parametrize("rank", [0, 1])
@pytest.mark.parametrize(
    "fault, text",
    [("kill-simulate", WIDE), ("kill-simulate", DYNAMIC), ("kill-write", WIDE)],
    ids=["simulating-static", "simulating-dynamic", "writing"],
)
def test_a_killed_rank_ends_the_job_and_leaves_no_file_of_the_name(tmp_path, rank, fault, text):
    out = tmp_path / "out"
    out.mkdir()
    program = write_program(tmp_path, text)
    done, seconds = faulty_run(2, f"{fault}:{rank}", program, "--seed", SEED,
                               "--statevector", out / "s.npy")
    assert seconds < DEADLINE
    assert done.returncode != 0 and "signal 9" in done.stderr
    assert done.stdout == ""
    assert_only_temporary(out, "s.npy")
    if fault == "kill-write":
        # The rank died after writing its part: the temporary file is there, incomplete.
        assert os.listdir(out)


@pytest.mark.parametrize("ranks, rank", [(2, 1), (4, 0), (4, 3)])
@pytest.mark.parametrize("text", [WIDE, DYNAMIC], ids=["static", "dynamic"])
def test_a_rank_out_of_memory_stops_every_rank(tmp_path, ranks, rank, text):
    program = write_program(tmp_path, text)
    done, seconds = faulty_run(ranks, f"alloc:{rank}", program, "--seed", SEED,
                               "--statevector", tmp_path / "s.npy")
    assert seconds < DEADLINE
    assert done.returncode == 1
    message = f"vorn-mpi: rank {rank} of {ranks} cannot hold its part of the state: cannot allocate"
    assert done.stderr.count(message) == 1 and done.stderr.count("vorn-mpi") == 1
    assert done.stdout == ""
    assert not (tmp_path / "s.npy").exists()


@pytest.mark.parametrize("rank", [0, 1])
@pytest.mark.parametrize("option", ["--statevector", "--probabilities"])
def test_a_full_disk_leaves_nothing_behind(tmp_path, rank, option):
    out = tmp_path / "out"
    out.mkdir()
    program = write_program(tmp_path, WIDE)
    done, seconds = faulty_run(2, f"full:{rank}", program, "--seed", SEED, option, out / "x.npy")
    assert seconds < DEADLINE
    assert done.returncode == 1
    assert done.stderr.count(f"cannot write {out / 'x.npy'}: No space left on device") == 1
    assert done.stderr.count("vorn-mpi") == 1
    assert os.listdir(out) == []


def test_an_output_path_that_is_a_folder_is_refused_before_the_run(tmp_path):
    (tmp_path / "s.npy").mkdir()
    done, seconds = faulty_run(2, "", "-", "--statevector", tmp_path / "s.npy", stdin=BELL)
    assert seconds < DEADLINE
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.startswith(f"vorn-mpi: cannot write {tmp_path / 's.npy'}: Is a directory\n")
    assert done.stderr.count("vorn-mpi") == 1
    assert sorted(os.listdir(tmp_path)) == ["s.npy"]


def test_a_written_file_replaces_the_old_one_whole_and_leaves_no_temporary(tmp_path):
    target = tmp_path / "s.npy"
    # A longer file of the same name: nothing of it may survive.
    target.write_bytes(b"x" * (1 << 21))
    program = write_program(tmp_path, WIDE)
    done, _ = faulty_run(2, "", program, "--seed", SEED, "--shots", 0, "--statevector", target)
    assert done.returncode == 0, done.stderr
    expected = run(Circuit.from_qasm(WIDE), shots=0, seed=SEED).statevector()
    assert np.load(target).tobytes() == expected.tobytes()
    assert sorted(os.listdir(tmp_path)) == ["program.qasm", "s.npy"]


@pytest.mark.parametrize("ranks, rank", [(2, 1), (4, 2), (2, 0)])
def test_an_include_only_some_ranks_can_read(tmp_path, ranks, rank):
    (tmp_path / "gates.inc").write_text("gate flip a { x a; }\n")
    program = write_program(
        tmp_path,
        'OPENQASM 3.0;\ninclude "stdgates.inc";\ninclude "gates.inc";\nqubit[4] q;\nbit[4] c;\n'
        "flip q[0];\nc = measure q;\n",
    )
    done, seconds = faulty_run(ranks, f"include:{rank}", program, "--seed", SEED)
    assert seconds < DEADLINE
    assert done.returncode == 2 and done.stdout == ""
    assert 'include of "gates.inc": file not found' in done.stderr
    if rank != 0:
        assert done.stderr.startswith(f"vorn-mpi: rank {rank} of {ranks}: ")
    assert done.stderr.count("file not found") == 1
    # Without the fault every rank reads it.
    done, _ = faulty_run(ranks, "", program, "--seed", SEED)
    assert done.returncode == 0, done.stderr
    assert "0001" in done.stdout
