OPENQASM 2.0;
qreg q[1];
rx(-x^2) q[0];
rz(sin(1) + cos(2) * tan(3) / exp(4) - ln(5) ^ sqrt(6)) q[0];
u3(1.5e-3, .5, 2.) q[0];
ry(((((1))))) q[0];
p(+-+-1e16) q[0];
