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

# The tool, and the programs under bench/ built with its flags: the floor,
# the fprintf writer and the timer (each file says what it does).
cmake --preset release >/dev/null
cmake --build --preset release --target nodalwrangler bench-floor bench-fprintf-writer bench-timer >/dev/null
build=$root/build/release
tool=$build/nodalwrangler
# Like the tool, the floor must load no library but the C library.
ldd "$build/bench-floor" | grep -q 'libstdc++' && { echo "bench: the floor needs the C++ runtime" >&2; exit 1; }

# In a folder under build/, on whatever file system holds the checkout, not in memory.
mkdir -p "$root/build"
work=$(mktemp -d -p "$root/build" bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo 1000000 >n1m
echo 200000 >n200k
echo 1 >n1
"$tool" n1m same.txt
bytes=$(stat -c %s same.txt)

"$build/bench-fprintf-writer" n1m check.txt
cmp -s check.txt same.txt || { echo "bench: the fprintf writer disagrees with the tool" >&2; exit 1; }

tool_cmd="$tool n1m out-tool"
floor_cmd="$build/bench-floor out-floor $bytes"
huge_cmd="$build/bench-floor out-huge $bytes huge"
dd_cmd="/bin/dd if=same.txt of=out-dd bs=1M status=none"
fprintf_cmd="$build/bench-fprintf-writer n1m out-fprintf"
"$build/bench-timer" "$rounds" "$tool_cmd" "$floor_cmd" "$huge_cmd" "$dd_cmd" "$fprintf_cmd" >times.txt
cmp -s out-tool same.txt && cmp -s out-dd same.txt && cmp -s out-fprintf same.txt
[ "$(stat -c %s out-floor)" = "$bytes" ] && [ "$(stat -c %s out-huge)" = "$bytes" ]

# Columns of times.txt: wall and CPU of the tool (1, 2), the floor (3, 4), the
# floor on a huge page (5, 6), dd (7, 8) and the fprintf writer (9, 10).
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { awk -v c="$1" '{ print $c * 1000 }' times.txt | median; }
ratio() { awk -v a="$1" -v b="$2" '{ print $a / $b }' times.txt | median; }

# Under an empty environment, since the C library's start-up work grows with its size.
instructions() {
    env -i "$(command -v valgrind)" --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 | sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
read -r rss_tool_200k rss_tool_1m rss_floor rss_huge rss_fprintf_200k rss_fprintf_1m < <("$build/bench-timer" rss \
    "$tool n200k out-tool" "$tool_cmd" "$floor_cmd" "$huge_cmd" "$build/bench-fprintf-writer n200k out-fprintf" "$fprintf_cmd")

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
    "$(instructions "$tool" n1 out-tool)" "$(instructions "$build/bench-fprintf-writer" n1 out-fprintf)"
printf '| peak RSS in KiB, least-most of 11 runs, 200,000 / 1,000,000 nodes | %s / %s | %s | %s | | %s / %s | equal, <= 4096 |\n' \
    "$rss_tool_200k" "$rss_tool_1m" "$rss_floor" "$rss_huge" "$rss_fprintf_200k" "$rss_fprintf_1m"
