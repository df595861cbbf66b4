include "stdgates.inc";
const float theta = 0.3;
output bit[2] result;
def layer(qubit[3] r, float x) -> int {
  for int i in [0:2] { ry(x * i) r[i]; }
  for uint k in {2, 0} { h r[k]; }
  return 3;
}
def bad(int k) { bad(k); }
qubit[3] q;
bit[2] b = "11";
int count = 0;
while (count < 4) { count += layer(q, theta); if (count > 5) break; else continue; }
for int j in [2:-1:0] { cx q[j], q[(j + 1) % 3]; }
while (int[2](b) != 0) { reset q[0]; h q[0]; b[0] = measure q[0]; b[1] = b[0] && !b[1]; }
result = measure q[0:1];
end;
