OPENQASM 2.0;
gate g(theta, phi) a, b { rx(theta) a; cu3(theta, phi, -phi/2) a, b; barrier a, b; }
gate f a { g(pi/2, 2^-1) a, a; }
qreg q[3];
g(0.1, -pi/4) q[0], q[1];
f q;
u2(0, pi) q[2];
cu(1, 2, 3, 4) q[0], q[2];
gphase(0.25);
sx q; sxdg q[1];
toffoli q[0], q[1], q[2];
fredkin q[2], q[1], q[0];
