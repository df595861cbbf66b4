// Teleportation: the state ry(1.1)|0> moves from q[0] to q[2] through two measured bits and the
// corrections they condition.
OPENQASM 3.0;
include "stdgates.inc";
qubit[3] q;
bit m0;
bit m1;
bit out;
ry(1.1) q[0];
h q[1];
cx q[1], q[2];
cx q[0], q[1];
h q[0];
m0 = measure q[0];
m1 = measure q[1];
if (m1) x q[2];
if (m0) z q[2];
out = measure q[2];
reset q[0];
reset q[1];
