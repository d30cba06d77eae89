#include <cstdio>
int main() { std::puts("vellum-cli"); return 0; }
