/* typed classical values */
OPENQASM 3.0;
include "stdgates.inc";
const int[32] n = 3;
uint[4] a = 0x0F;
int[8] b = -128;
float[64] t = 3 * π / 8 + tau - euler;
angle[8] phi = pi / 4;
bool flag = (a >> 1) == 7 && !(b > 0) || false;
bit[4] mask = "1010";
qubit[n] q;
b -= 1;
a <<= 2;
phi += phi;
rx(sin(t) ** 2 + arccos(0.5) - floor(2.7) + ceiling(0.2) + mod(7, 3) + pow(2, 3)) q[0];
rz(float(phi) + popcount(mask) + rotl(mask, 1)[0] + sqrt(exp(log(4.0)))) q[1];
if (bool(a[2]) && flag) x q[2];
