include "stdgates.inc";
qubit[2] q;
angle[4] c;
uint[4] n = 0;
output int[5] total;
def flip(qubit a) -> bit { h a; bit b = measure a; return b; }
for int i in [0:2] {
  reset q[0];
  h q[0];
  inv @ phase(c) q[0];
  measure q[0] -> c[0];
  c <<= 1;
  n = rotl(n, 1) ^ flip(q[1]);
}
total = -n + 3 * n - (n >> 1);
if (total >= 4 && n != 0) { rz(pi / 4 * n - c) q[1]; } else { ctrl @ rx(2 * c) q[0], q[1]; }
while (n < 12) { n += flip(q[1]); }
