OPENQASM 2.0; // é comment
include "a\b";
qreg q[9223372036854775808];
x $ # ! < > .x 1e 1e+ 1.2.3 1e5e3 === ->
"unterminated
