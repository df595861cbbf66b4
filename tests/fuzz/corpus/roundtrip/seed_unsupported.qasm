OPENQASM 3.0;
qubit[2] q;
bit[2] c;
for i in [0:1] { h q[i]; }
while (c == 0) { x q[0]; }
def f(qubit a) { if (true) { h a; } }
box { h q; }
if (c == 1) x q[0];
reset q[0];
opaque og(a) b;
include "other.inc";
