#include <cstdio>
int main() { std::puts("NO_FOCUS"); return 0; }
