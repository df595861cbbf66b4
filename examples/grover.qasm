// Grover search over three qubits for the marked state 011 (qubits 0 and 1 set, qubit 2 clear;
// qubit 0 is the rightmost character). Two iterations find it with probability 0.945.
OPENQASM 2.0;
include "qelib1.inc";

// Flips the phase of |011>: a controlled-controlled-Z with qubit 2 inverted.
gate oracle a, b, c {
  x c;
  h c;
  ccx a, b, c;
  h c;
  x c;
}

// Reflection about the uniform superposition.
gate diffuse a, b, c {
  h a; h b; h c;
  x a; x b; x c;
  h c;
  ccx a, b, c;
  h c;
  x a; x b; x c;
  h a; h b; h c;
}

qreg q[3];
creg c[3];
h q;
oracle q[0], q[1], q[2];
diffuse q[0], q[1], q[2];
oracle q[0], q[1], q[2];
diffuse q[0], q[1], q[2];
measure q -> c;
