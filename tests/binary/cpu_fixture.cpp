// Code for the instruction check's own tests: built for the Pentium Pro, the
// selection below becomes a CMOV, and the arithmetic uses the x87 unit.
int Larger(int a, int b) { return a > b ? a : b; }

double Scaled(double value, int factor) { return value * factor + 0.5; }
