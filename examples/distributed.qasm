// A small circuit for vorn-mpi: on 2 or 4 ranks its top qubits are global, so the H, the CX
// chain, the CZ and the SWAP on them go through exchanges or rank conditions.
OPENQASM 2.0;
include "qelib1.inc";
qreg q[20];
creg c[20];
h q[19];
ry(0.4) q[0];
cx q[19], q[18];
cx q[18], q[17];
cx q[17], q[0];
cz q[19], q[1];
swap q[18], q[2];
measure q -> c;
