/* timing, boxes, physical qubits, pragmas */
pragma vorn anything
include "stdgates.inc";
stretch g;
duration d = 100ns + 2 * durationof({x $0;});
@annotation value
box [10us] {
  delay[g] $0;
  x $1;
  delay[2 * g] $0, $1;
}
barrier $0, $2;
let pair = $1;
U(pi / 4, 0, pi / 2) $2;
