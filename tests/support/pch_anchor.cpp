// Owns the precompiled header shared by the torch-using test programs.
int main() { return 0; }
