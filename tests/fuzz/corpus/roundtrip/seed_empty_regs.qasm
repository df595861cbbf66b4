OPENQASM 2.0;
qreg e[0];
creg z[0];
h e;
measure e -> z;
gate g a { h a; }
g e;
