OPENQASM 3.0;
include "stdgates.inc";
qubit[3] q;
bit b;
bit[3] c = "101";
bit[70] wide;
/* block
   comment */
c[0] = measure q[0];
bit r = measure q[1];
c = measure q;
if (!b && (c[0] || c[2]) && !(c >= 3) || wide == 9223372036854775807) {
  if (b) rx(0.25) q[0]; else { u3(1,2,3) q[1]; c[1] = measure q[1]; }
} else if (3 > c) { swap q[0], q[1]; }
if (true) { } else { reset q; }
if (false || b != 1 && c < 2 && c <= 1 && r > 0) { }
if (c == 8) x q;
int x = 1;
c[0] = 1;
