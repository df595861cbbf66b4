OPENQASM 2.0;
qreg q[1];
	h q[0];
"Ã©ÿ"