// The plain writer: reads the count from NODE_FILE and writes the topology
// to TOPOLOGY_FILE with one fprintf call per line.
// Usage: fprintf-writer NODE_FILE TOPOLOGY_FILE

#include <cstdio>

int main(int argc, char* argv[])
{
    int n = 0;
    std::FILE* in = argc == 3 ? std::fopen(argv[1], "r") : nullptr;
    if (in == nullptr || std::fscanf(in, "%d", &n) != 1) {
        return 2;
    }
    (void)std::fclose(in);
    std::FILE* fp = std::fopen(argv[2], "w");
    if (fp == nullptr) {
        return 2;
    }
    (void)std::fprintf(fp, "%d\n", n);
    for (int i = 0; i < n; ++i) {
        (void)std::fprintf(fp, "%d   0\n", i);
    }
    return std::fclose(fp) == 0 ? 0 : 2;
}
