// Headless EEPROM image tool (being built).
int main() { return 2; }
