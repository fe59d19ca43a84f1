// The empty program that the whole self-check run is measured against.
int main() { return 0; }
