// Headless production runner (being built).
int main() { return 2; }
