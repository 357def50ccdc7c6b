#include <cstdio>
int main() { std::puts("1.10.4"); return 0; }
