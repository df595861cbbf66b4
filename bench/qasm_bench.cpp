// Not yet written.
int main() { return 0; }
