OPENQASM 3.0;
include "stdgates.inc";
gate g(θ) a, b { ctrl @ rz(θ) a, b; inv @ s b; pow(2) @ t a; gphase(θ / 2); }
gate cu(t, p, l) c, d { U(t, p, l) d; }
qubit[4] q;
h q;
ctrl(2) @ x q[0], q[1], q[2];
negctrl @ ctrl @ h q[0], q[1], q[3];
inv @ pow(3) @ g(0.25) q[1], q[2];
pow(0.5) @ rx(pi) q[0];
rzz(0.1) q[0], q[1]; rxx(0.2) q[1], q[2]; ryy(0.3) q[2], q[3]; rzx(0.4) q[0], q[3];
csx q[0], q[1]; cu(0.1, 0.2, 0.3) q[2], q[3]; cp(0.5) q[1], q[0]; crx(0.2) q[3], q[1];
mcx q[0], q[1], q[2], q[3]; ccz q[0], q[1], q[2]; c3x q[0], q[1], q[2], q[3];
