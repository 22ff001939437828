#!/usr/bin/env bash
# Benchmark of the writer: a million nodes against copying the same bytes with dd,
# next to a writer that makes one fprintf call per line. Not a test; prints a
# markdown table. Usage: bench/run.sh [PAIRS]   (default 31 timed rounds)
set -euo pipefail

rounds=${1:-31}
root=$(cd "$(dirname "$0")/.." && pwd)

# valgrind and GNU time are needed; hyperfine is used when present.
missing=()
command -v valgrind >/dev/null || missing+=(valgrind)
[ -x /usr/bin/time ] || missing+=(time)
if ((${#missing[@]})); then
    [ "$(id -u)" = 0 ] || { echo "bench: please install: ${missing[*]}" >&2; exit 1; }
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake --preset release >/dev/null
cmake --build --preset release --target nodalwrangler >/dev/null
tool=$root/build/release/nodalwrangler

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo 1000000 >n1m
echo 200000 >n200k
echo 1 >n1
"$tool" n1m same.txt

# The plain writer the tool is measured against: one formatted write per line.
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
g++ -std=c++20 -O3 -o fprintf-writer fprintf.cpp
./fprintf-writer n1m check.txt
cmp -s check.txt same.txt || { echo "the fprintf writer disagrees with the tool" >&2; exit 1; }

tool_cmd="$tool n1m out-tool"
dd_cmd="dd if=same.txt of=out-dd bs=1M status=none"
fprintf_cmd="./fprintf-writer n1m out-fprintf"

# Prints the wall seconds of each command given, run once each in that order.
# A sync before each command keeps one command's write-back from being
# charged to the next; without it the order of the commands decides the ratio.
if command -v hyperfine >/dev/null; then
    timer=hyperfine
    time_each() {
        hyperfine -N --runs 1 --prepare sync --style none --export-csv times.csv "$@" >/dev/null 2>&1
        tail -n +2 times.csv | awk -F, '{ printf "%s ", $(NF-6) } END { print "" }'
    }
else
    timer="paired shell timing"
    time_each() {
        local cmd start
        for cmd in "$@"; do
            sync
            start=$EPOCHREALTIME
            $cmd
            awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.6f ", b - a }'
        done
        echo
    }
fi

for _ in 1 2 3; do time_each "$tool_cmd" "$dd_cmd" "$fprintf_cmd" >/dev/null; done
for _ in $(seq "$rounds"); do time_each "$tool_cmd" "$dd_cmd" "$fprintf_cmd"; done >times.txt
cmp -s out-tool same.txt && cmp -s out-dd same.txt && cmp -s out-fprintf same.txt

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio_tool=$(awk '{ print $1 / $2 }' times.txt | median)
ratio_fprintf=$(awk '{ print $3 / $2 }' times.txt | median)
ms_tool=$(awk '{ print $1 * 1000 }' times.txt | median)
ms_dd=$(awk '{ print $2 * 1000 }' times.txt | median)
ms_fprintf=$(awk '{ print $3 * 1000 }' times.txt | median)

instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 | sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
peak_rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }

cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)
printf '1,000,000 nodes (%s bytes) on %s, %s cores; %s rounds timed with %s.\n\n' \
    "$(stat -c %s same.txt)" "${cpu:-unknown CPU}" "$(nproc)" "$rounds" "$timer"
echo "| figure | nodalwrangler | fprintf per line | target |"
echo "|---|---|---|---|"
printf '| wall time / dd of the same bytes, median of paired rounds | %.2f | %.2f | <= 1.25 |\n' \
    "$ratio_tool" "$ratio_fprintf"
printf '| median wall time (dd: %.1f ms) | %.1f ms | %.1f ms | |\n' "$ms_dd" "$ms_tool" "$ms_fprintf"
printf '| user-space instructions, 1,000,000 nodes | %s | %s | <= 40,000,000 |\n' \
    "$(instructions "$tool" n1m out-tool)" "$(instructions ./fprintf-writer n1m out-fprintf)"
printf '| user-space instructions, 1 node | %s | %s | <= 150,000 |\n' \
    "$(instructions "$tool" n1 out-tool)" "$(instructions ./fprintf-writer n1 out-fprintf)"
printf '| peak RSS, 200,000 / 1,000,000 nodes | %s / %s KiB | %s / %s KiB | equal within 64 KiB, < 4096 KiB |\n' \
    "$(peak_rss "$tool" n200k out-tool)" "$(peak_rss "$tool" n1m out-tool)" \
    "$(peak_rss ./fprintf-writer n200k out-fprintf)" "$(peak_rss ./fprintf-writer n1m out-fprintf)"
