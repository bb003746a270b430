// The reference of bench/verify_bench.py: a Windows GUI program that does
// nothing, so that its start and end under Wine are all that is measured.
int main() { return 0; }
