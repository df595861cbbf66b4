OPENQASM 2.0;
qreg q[2];
qreg q[1];
creg c[1];
measure q -> c[0];
measure q[5] -> c[9];
cx q, r;
foo q[0];
rx q[0];
gate loop a { loop a; }
loop q[0];
h q[3];
