// A program that does nothing: the floor for the programs' resident size and
// stripped size.
int main() { return 0; }
