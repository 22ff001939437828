#!/usr/bin/env bash
# Benchmark of the writer at a million nodes, against the floor: a program that
# only writes the same number of bytes from memory, in 1 MiB pieces. Next to
# them run dd copying the identical bytes and a writer that makes one fprintf
# call per line. Not a test; prints a markdown table.
# Usage: bench/run.sh [ROUNDS]   (default 41 timed rounds)
set -euo pipefail

rounds=${1:-41}
root=$(cd "$(dirname "$0")/.." && pwd)

if ! command -v valgrind >/dev/null; then
    [ "$(id -u)" = 0 ] || { echo "bench: please install valgrind" >&2; exit 1; }
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
fi

cmake --preset release >/dev/null
cmake --build --preset release --target nodalwrangler >/dev/null
tool=$root/build/release/nodalwrangler

# On the root file system, where topology files are written, not in memory.
mkdir -p "$root/build"
work=$(mktemp -d -p "$root/build" bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo 1000000 >n1m
echo 200000 >n200k
echo 1 >n1
"$tool" n1m same.txt
bytes=$(stat -c %s same.txt)

# The floor: create or empty the file and write its size in bytes from a
# 1 MiB buffer filled beforehand, one write(2) per MiB. No program that writes
# those bytes through the kernel in 1 MiB pieces can do less. With "huge" the
# buffer asks for a huge page, as the tool's block does.
cat >floor.cpp <<'EOF'
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
constexpr long kBuffer = 1 << 20, kHuge = 2 << 20;
static char arena[2 * kHuge];
int main(int argc, char** argv)
{
    char* buffer = arena + (kHuge - reinterpret_cast<std::uintptr_t>(arena) % kHuge);
    if (argc > 3 && std::strcmp(argv[3], "huge") == 0) madvise(buffer, kHuge, MADV_HUGEPAGE);
    std::memset(buffer, '0', kBuffer);
    long left = std::atol(argv[2]);
    int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    for (long n = 0; fd >= 0 && left > 0; left -= n) {
        n = write(fd, buffer, left < kBuffer ? left : kBuffer);
        if (n <= 0) return 2;
    }
    return fd >= 0 && close(fd) == 0 ? 0 : 2;
}
EOF

# One formatted write per line, the way a plain writer would do it.
cat >fprintf.cpp <<'EOF'
#include <cstdio>
int main(int, char** argv)
{
    int n = 0;
    std::FILE* in = std::fopen(argv[1], "r");
    if (in == nullptr || std::fscanf(in, "%d", &n) != 1) return 2;
    std::fclose(in);
    std::FILE* fp = std::fopen(argv[2], "w");
    if (fp == nullptr) return 2;
    std::fprintf(fp, "%d\n", n);
    for (int i = 0; i < n; ++i) std::fprintf(fp, "%d   0\n", i);
    return std::fclose(fp) == 0 ? 0 : 2;
}
EOF

# Runs ROUNDS rounds of the commands given (each one string, split at blanks),
# in turn, forwards in even rounds and backwards in odd ones, so that no
# command always follows the same one. A sync before each command keeps one
# command's write-back from being charged to the next. Prints one line per
# round: the wall and the CPU (user + system) seconds of each command.
# With "rss" for ROUNDS, runs each command 11 times and prints the least and
# the most peak RSS it had, in KiB, as "LEAST-MOST".
cat >timer.cpp <<'EOF'
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
struct Sample { double wall, cpu; long rss; };
static double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }
static Sample Run(const std::string& command)
{
    std::vector<std::string> words;
    std::istringstream in(command);
    for (std::string word; in >> word;) words.push_back(word);
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    sync();
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: %s failed\n", command.c_str());
        std::exit(1);
    }
    return {double(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9,
            Seconds(usage.ru_utime) + Seconds(usage.ru_stime), usage.ru_maxrss};
}
int main(int argc, char** argv)
{
    const std::vector<std::string> commands(argv + 2, argv + argc);
    if (std::string(argv[1]) == "rss") {
        for (const auto& command : commands) {
            long least = Run(command).rss, most = least;
            for (int i = 1; i < 11; ++i) {
                const long rss = Run(command).rss;
                least = rss < least ? rss : least;
                most = rss > most ? rss : most;
            }
            std::printf("%ld-%ld ", least, most);
        }
        std::printf("\n");
        return 0;
    }
    const int rounds = std::atoi(argv[1]);
    const int n = int(commands.size());
    for (int round = -3; round < rounds; ++round) {  // three rounds to warm up
        std::vector<Sample> samples(n);
        for (int k = 0; k < n; ++k) {
            const int i = round % 2 == 0 ? k : n - 1 - k;
            samples[i] = Run(commands[i]);
        }
        for (int i = 0; round >= 0 && i < n; ++i) std::printf("%.6f %.6f ", samples[i].wall, samples[i].cpu);
        if (round >= 0) std::printf("\n");
    }
}
EOF
g++ -std=c++20 -O2 -o floor floor.cpp
# Like the tool, the floor must load no library but the C library.
ldd ./floor | grep -q 'libstdc++' && { echo "bench: the floor needs the C++ runtime" >&2; exit 1; }
g++ -std=c++20 -O2 -o fprintf-writer fprintf.cpp
g++ -std=c++20 -O2 -o timer timer.cpp
./fprintf-writer n1m check.txt
cmp -s check.txt same.txt || { echo "bench: the fprintf writer disagrees with the tool" >&2; exit 1; }

tool_cmd="$tool n1m out-tool"
floor_cmd="./floor out-floor $bytes"
huge_cmd="./floor out-huge $bytes huge"
dd_cmd="/bin/dd if=same.txt of=out-dd bs=1M status=none"
fprintf_cmd="./fprintf-writer n1m out-fprintf"
./timer "$rounds" "$tool_cmd" "$floor_cmd" "$huge_cmd" "$dd_cmd" "$fprintf_cmd" >times.txt
cmp -s out-tool same.txt && cmp -s out-dd same.txt && cmp -s out-fprintf same.txt
[ "$(stat -c %s out-floor)" = "$bytes" ] && [ "$(stat -c %s out-huge)" = "$bytes" ]

# Columns of times.txt: wall and CPU of the tool (1, 2), the floor (3, 4), the
# floor on a huge page (5, 6), dd (7, 8) and the fprintf writer (9, 10).
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { awk -v c="$1" '{ print $c * 1000 }' times.txt | median; }
ratio() { awk -v a="$1" -v b="$2" '{ print $a / $b }' times.txt | median; }

instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 | sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
read -r rss_tool_200k rss_tool_1m rss_floor rss_huge rss_fprintf_200k rss_fprintf_1m < <(./timer rss \
    "$tool n200k out-tool" "$tool_cmd" "$floor_cmd" "$huge_cmd" "./fprintf-writer n200k out-fprintf" "$fprintf_cmd")

cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)
printf '1,000,000 nodes (%s bytes) on %s, %s cores, kernel %s; %s paired rounds on %s.\n\n' \
    "$bytes" "${cpu:-unknown CPU}" "$(nproc)" "$(uname -r)" "$rounds" "$(df --output=source "$work" | tail -n 1)"
echo "| figure | nodalwrangler | write floor | floor, huge page | dd | fprintf per line | target |"
echo "|---|---|---|---|---|---|---|"
printf '| wall time, median | %.2f ms | %.2f ms | %.2f ms | %.2f ms | %.2f ms | |\n' \
    "$(column 1)" "$(column 3)" "$(column 5)" "$(column 7)" "$(column 9)"
printf '| CPU time (user + system), median | %.2f ms | %.2f ms | %.2f ms | %.2f ms | %.2f ms | |\n' \
    "$(column 2)" "$(column 4)" "$(column 6)" "$(column 8)" "$(column 10)"
printf '| wall / floor, median of paired rounds | %.3f | 1 | %.3f | %.3f | %.3f | <= 1.08 |\n' \
    "$(ratio 1 3)" "$(ratio 5 3)" "$(ratio 7 3)" "$(ratio 9 3)"
printf '| CPU / floor, median of paired rounds | %.3f | 1 | %.3f | %.3f | %.3f | <= 1.05 |\n' \
    "$(ratio 2 4)" "$(ratio 6 4)" "$(ratio 8 4)" "$(ratio 10 4)"
printf '| wall / floor on a huge page, median of paired rounds | %.3f | | 1 | | | |\n' "$(ratio 1 5)"
printf '| CPU / floor on a huge page, median of paired rounds | %.3f | | 1 | | | |\n' "$(ratio 2 6)"
printf '| user-space instructions, 1,000,000 nodes | %s | %s | %s | | %s | <= 5,000,000 |\n' \
    "$(instructions $tool_cmd)" "$(instructions $floor_cmd)" "$(instructions $huge_cmd)" \
    "$(instructions $fprintf_cmd)"
printf '| user-space instructions, 1 node | %s | | | | %s | <= 150,000 |\n' \
    "$(instructions "$tool" n1 out-tool)" "$(instructions ./fprintf-writer n1 out-fprintf)"
printf '| peak RSS in KiB, least-most of 11 runs, 200,000 / 1,000,000 nodes | %s / %s | %s | %s | | %s / %s | equal, <= 4096 |\n' \
    "$rss_tool_200k" "$rss_tool_1m" "$rss_floor" "$rss_huge" "$rss_fprintf_200k" "$rss_fprintf_1m"
