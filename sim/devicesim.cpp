// Device simulator program (being built).
int main() { return 2; }
