// End-to-end tests: `nodalwrangler_test BINARY GROUP SOURCE` runs one group of the table against BINARY, whose
// diagnostics must name lines of SOURCE that hold their conditions. Rows run `nodalwrangler_test --full-stderr
// COMMAND...` to give COMMAND a full, non-blocking standard error, or `--shut-stderr COMMAND...` for one whose
// reader shuts down.

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const char* const kUsage = " Usage : \n nodalwrangler  node_file  \n        topology_file_OUT \n";
const char* const kPlain = R"("$NW" nodes topo)";
const char* const kWrites = "write,writev";  // the C library writes with one or the other
constexpr int kSkipped = 77;                 // CTest's SKIP_RETURN_CODE

// What a failed run leaves at the output path.
enum Left {
    kAsBefore,  // nothing: every file is as it was
    kPrefix,    // a true prefix of the topology for `count`, shorter than it
    kWhole,     // the whole topology for `count`
};

// What a row needs of the machine besides a shell. Each need of a group is
// probed once, and the rows whose need is missing are skipped.
enum Need : unsigned {
    kTrace = 1U << 0U,   // strace can trace a program and inject faults
    kLayout = 1U << 1U,  // a fixed address layout, so that a stack limit is exact
    kClosed = 1U << 2U,  // a descriptor closed at exec is still closed at main
    kProc = 1U << 3U,    // /proc, for /dev/stdin and for strace's path filter
    kLarge = 1U << 4U,   // a sparse file past 4 GiB
    kUser = 1U << 5U,    // a user whom file permissions bind
};

struct Probe {
    Need need;
    const char* name;     // in the line that tells a skip, for CI to match
    const char* command;  // run under sh in the work folder; status 0 if the need is met
    const char* missing;
};
const std::array<Probe, 6> kProbes = {{
    {kTrace, "trace", "strace -o /dev/null true", "strace cannot trace a program here"},
    {kLayout, "layout", "setarch -R prlimit true", "setarch -R cannot fix the address layout here, or prlimit is missing"},
    // A preload (libfaketime, say) can open a descriptor before main.
    {kClosed, "closed", "sh -c 'exec 3<&0' <&- 2>/dev/null; [ $? != 0 ]", "a program started with standard input closed has it open"},
    {kProc, "proc", "[ -e /proc/self/fd/0 ]", "/proc is not mounted"},
    {kLarge, "large", "truncate -s 5G probe && rm probe", "the file system cannot hold a sparse file of 5 GiB"},
    {kUser, "user", R"(: >probe && chmod 000 probe && $AS_USER sh -c '! [ -r probe ]')", "no user here is bound by permissions"},
}};

// One case. Its command runs under sh in a fresh work folder that holds `nodes`
// (unless nullopt), once without and once with an existing topology file.
struct Row {
    std::string name{};
    std::optional<std::string> nodes{};
    std::string cmd = kPlain;
    int status = 0;
    std::string err{};  // stderr; for status 2, the diagnostic after "nodalwrangler: FILE:LINE: "
    int count = 0;      // status 0, or what is left: the topology file holds this many nodes
    const char* output = "topo";
    std::string setup{};
    Left left = kAsBefore;  // status other than 0: what is left at `output`
    unsigned needs = 0;     // Need bits, besides its group's
};
using Table = std::map<std::string, std::vector<Row>>;  // the rows of each group

// What every row of `group` needs.
unsigned GroupNeeds(const std::string& group)
{
    return group == "stack" ? kLayout : group == "permissions" ? kUser : group == "faults" ? kTrace | kProc : 0U;
}

// ": " and the C library's own text for the error `error`.
std::string Why(int error)
{
    return std::string(": ") + std::strerror(error);
}

// Runs the tool under strace with the calls of `syscalls` on the file `path`
// that strace's `when` picks (the K-th, or "K+" from the K-th on) answered by
// `fault` ("error=ENOSPC", or "retval=0").
std::string Inject(const char* syscalls, const char* fault, const std::string& when, const char* redirect = "", const char* path = "topo")
{
    return std::string("strace -o /dev/null -P \"$PWD/") + path + "\" -e trace=" + syscalls + " -e inject=" + syscalls + ":" + fault +
           ":when=" + when + R"( "$NW" nodes topo)" + redirect;
}

// Runs the tool with `args` under strace, tracing `syscalls`, after `runner`,
// and fails unless the traced calls that match `calls` number as `bound` says of "$n".
std::string CountCalls(const std::string& runner, const char* syscalls, const std::string& args, const char* calls, const char* bound)
{
    return runner + "strace -o trace -e trace=" + syscalls + R"( "$NW" )" + args + "; s=$?; n=$(grep -c -E '" + calls + "' trace); rm trace; [ " +
           bound + " ] && exit $s";
}

// Runs the tool on the node file `path`, and fails unless its diagnostic went out in exactly one write.
std::string InOneWrite(const std::string& path)
{
    return CountCalls("", kWrites, '"' + path + "\" topo", R"(^writev?\(2,)", R"("$n" = 1)");
}

// A path of `parts` folders of `bytes` bytes of 0x01 each, and how a diagnostic shows it.
std::pair<std::string, std::string> LongPath(int parts, int bytes = 200)
{
    std::string path;
    std::string shown;
    for (int part = 0; part < parts; ++part) {
        path += std::string(bytes, '\001') + "/";
        for (int i = 0; i < bytes; ++i) {
            shown += "\\001";
        }
        shown += "/";
    }
    return {path, shown};
}

Table MakeTable()
{
    const std::string slashes(3993, '/');  // for paths of about 4,000 bytes
    const std::string readOpen = "ReadNodeFile: check failed: fp != ((void *)0): ";
    const std::string writeOpen = "WriteTopologyFile: check failed: fp != ((void *)0): ";
    const std::string writeFailed = "WriteTopologyFile: check failed: WriteLines(fileno(fp), NNodes): ";
    const std::string above = "ReadNodeFile: check failed: NNodes <= 1000000: nodes: ";
    const std::string below = "ReadNodeFile: check failed: 0 <= NNodes: nodes: ";
    const std::string none = "WriteTopologyFile: check failed: 0 < NNodes";
    // A fixed layout, an empty environment and a stack limit, with prlimit found through PATH.
    const std::string stack = R"sh(setarch -R env -i "$(command -v prlimit)" --stack=)sh";
    // Standard input closed, and /dev/null refused in its place.
    const std::string noNull = R"(strace -o /dev/null -P /dev/null -e trace=open,openat -e inject=open,openat:error=EMFILE "$NW" nodes topo <&-)";
    // One row a line, however long.
    // clang-format off
    Table table;
    // Exact bytes, status 1, and no file created or changed.
    table["usage"] = {
        {.name = "none", .nodes = "5", .cmd = R"("$NW")", .status = 1, .err = kUsage},
        {.name = "one", .nodes = "5", .cmd = R"("$NW" nodes)", .status = 1, .err = kUsage},
        {.name = "three", .nodes = "5", .cmd = R"("$NW" nodes topo extra)", .status = 1, .err = kUsage, .setup = "echo keep >extra"},
    };
    // Bounds, and overflow: a count must never wrap into range.
    table["counts"] = {
        {.name = "above", .nodes = "1000001", .status = 2, .err = above + "1000001"},
        {.name = "minus-one", .nodes = "-1", .status = 2, .err = below + "-1"},
        // A count of eight digits or more that starts like the bound.
        {.name = "eight-digits", .nodes = "10000000", .status = 2, .err = above + "10000000"},
        {.name = "eight-nines", .nodes = "10000009", .status = 2, .err = above + "10000009"},
        {.name = "nine-digits", .nodes = "100000000", .status = 2, .err = above + "above 1000000"},
        {.name = "minus-eight", .nodes = "-10000009", .status = 2, .err = below + "-10000009"},
        {.name = "minus-past", .nodes = "-10000010", .status = 2, .err = below + "below 0"},
        {.name = "minus-zeros", .nodes = "-0001000000x", .status = 2, .err = below + "-1000000"},
        {.name = "zero", .nodes = "0", .status = 2, .err = none},
        {.name = "minus-zero", .nodes = "-0", .status = 2, .err = none},
        {.name = "wrap-1", .nodes = "4294967297", .status = 2, .err = above + "above 1000000"},
        {.name = "wrap-0", .nodes = "4294967296", .status = 2, .err = above + "above 1000000"},
        {.name = "int-max-1", .nodes = "2147483648", .status = 2, .err = above + "above 1000000"},
        {.name = "thirty-digits", .nodes = "123456789012345678901234567890", .status = 2, .err = above + "above 1000000"},
        {.name = "minus-wrap", .nodes = "-4294967295", .status = 2, .err = below + "below 0"},
        {.name = "int-min-1", .nodes = "-2147483649", .status = 2, .err = below + "below 0"},
        {.name = "zeros", .nodes = "000000000000000000000000000012", .count = 12},
    };
    // The count's grammar: only the first decimal integer counts.
    table["grammar"] = {
        {.name = "plus", .nodes = "\n\n+12", .count = 12},
        {.name = "blanks", .nodes = " \t\r\n\v\f7", .count = 7},
        {.name = "letters", .nodes = "12abc", .count = 12},
        {.name = "lines", .nodes = "12\n99\nnot read", .count = 12},
        {.name = "point", .nodes = "3.9", .count = 3},
        {.name = "exponent", .nodes = "1e6", .count = 1},
        {.name = "not-octal", .nodes = "010", .count = 10},
        {.name = "not-hex", .nodes = "0x10", .status = 2, .err = none},
        {.name = "empty", .nodes = "", .status = 2, .err = none},
        {.name = "word", .nodes = "nodes 5", .status = 2, .err = none},
        {.name = "two-signs", .nodes = "+-3", .status = 2, .err = none},
        {.name = "sign-blank", .nodes = "- 3", .status = 2, .err = none},
    };
    // Paths: failures name the path and the C library's reason.
    table["files"] = {
        {.name = "missing", .status = 2, .err = readOpen + "nodes" + Why(ENOENT)},
        {.name = "empty-in", .nodes = "5", .cmd = R"("$NW" "" topo)", .status = 2, .err = readOpen + Why(ENOENT)},
        // A read error must not pass for an empty file.
        {.name = "dir-in", .nodes = "5", .cmd = R"("$NW" dir topo)", .status = 2, .err = "ReadNodeFile: check failed: ferror(fp) == 0: dir" + Why(EISDIR), .setup = "mkdir dir"},
        // A hyphen or an empty argument is an ordinary path, never a standard stream.
        {.name = "hyphen-in", .nodes = "5", .cmd = R"("$NW" - topo)", .status = 2, .err = readOpen + "-" + Why(ENOENT)},
        {.name = "hyphen-out", .nodes = "5", .cmd = R"("$NW" nodes -)", .count = 5, .output = "-"},
        {.name = "empty-out", .nodes = "5", .cmd = R"("$NW" nodes "")", .status = 2, .err = writeOpen + Why(ENOENT)},
        {.name = "no-folder", .nodes = "5", .cmd = R"("$NW" nodes missing/topo)", .status = 2, .err = writeOpen + "missing/topo" + Why(ENOENT)},
        {.name = "dir-out", .nodes = "5", .cmd = R"("$NW" nodes dir)", .status = 2, .err = writeOpen + "dir" + Why(EISDIR), .setup = "mkdir dir"},
        // A path can neither break the diagnostic's one line nor reach the terminal raw.
        {.name = "controls", .nodes = "5", .cmd = R"sh("$NW" "$(printf 'no\nsuch\033[2J\\')" topo)sh", .status = 2, .err = readOpen + R"(no\nsuch\033[2J\\)" + Why(ENOENT)},
        // A diagnostic too long for one write goes out whole, in pieces.
        {.name = "too-long", .nodes = "5", .cmd = R"("$NW" ")" + LongPath(60).first + R"(" topo)", .status = 2, .err = readOpen + LongPath(60).second + Why(ENAMETOOLONG)},
        // The node file is read and closed before the same path is rewritten.
        {.name = "same-path", .nodes = "3\nrest", .cmd = R"("$NW" nodes nodes)", .count = 3, .output = "nodes"},
        // Files past 4 GiB, which need 64-bit offsets on a 32-bit system.
        {.name = "large-in", .nodes = "5\n", .count = 5, .setup = "truncate -s 5G nodes", .needs = kLarge},
        {.name = "large-out", .nodes = "5", .count = 5, .setup = "truncate -s 5G topo", .needs = kLarge},
    };
    // A failed check is told under a stack limit as small as a successful
    // run with as long an argument needs (here a path of 4,000 bytes).
    table["stack"] = {
        {.name = "million", .nodes = "1000000", .cmd = stack + R"(12288 "$NW" nodes topo)", .count = 1000000},
        {.name = "missing", .cmd = stack + R"(12288 "$NW" nodes topo)", .status = 2, .err = readOpen + "nodes" + Why(ENOENT)},
        {.name = "long-out", .nodes = "5", .cmd = stack + R"(16384 "$NW" nodes .)" + slashes + "topo", .count = 5},
        {.name = "long-in", .nodes = "5", .cmd = stack + R"(16384 "$NW" missing)" + slashes + " topo", .status = 2, .err = readOpen + "missing" + slashes + Why(ENOENT)},
    };
    // A writer that keeps its pipe open after the count must not block the
    // reader, nor an endless count keep it reading. Closed standard streams
    // change nothing but what can be seen.
    table["streams"] = {
        {.name = "open-pipe", .nodes = "", .cmd = R"((printf '4\n'; exec sleep 10) >fifo & timeout 5 "$NW" fifo topo; s=$?; kill $!; exit $s)", .count = 4, .setup = "mkfifo fifo"},
        {.name = "endless", .nodes = "", .cmd = R"(yes 1 | tr -d '\n' | timeout 5 "$NW" /dev/stdin topo)", .status = 2, .err = "ReadNodeFile: check failed: NNodes <= 1000000: /dev/stdin: above 1000000", .needs = kProc},
        {.name = "endless-minus", .nodes = "", .cmd = R"({ printf ' -'; yes 1 | tr -d '\n'; } | timeout 5 "$NW" /dev/stdin topo)", .status = 2, .err = "ReadNodeFile: check failed: 0 <= NNodes: /dev/stdin: below 0", .needs = kProc},
        {.name = "closed", .nodes = "5", .cmd = R"("$NW" nodes topo >&- 2>&- <&-)", .count = 5},
        {.name = "closed-usage", .nodes = "5", .cmd = R"("$NW" nodes >&- 2>&- <&-)", .status = 1},
        {.name = "closed-full", .nodes = "5", .cmd = R"("$NW" nodes /dev/full >&- 2>&- <&-)", .status = 2},
        // A full, non-blocking standard error still gets the whole message, in one line or past the pipe's size.
        {.name = "full-usage", .cmd = R"("$NW_TEST" --full-stderr "$NW")", .status = 1, .err = kUsage},
        {.name = "full-short", .cmd = R"("$NW_TEST" --full-stderr "$NW" nodes topo)", .status = 2, .err = readOpen + "nodes" + Why(ENOENT)},
        {.name = "full-long", .cmd = R"("$NW_TEST" --full-stderr "$NW" ")" + LongPath(15).first + R"(" topo)", .status = 2, .err = readOpen + LongPath(15).second + Why(ENOENT)},
        {.name = "full-past-pipe", .cmd = R"("$NW_TEST" --full-stderr "$NW" ")" + LongPath(100).first + R"(" topo)", .status = 2, .err = readOpen + LongPath(100).second + Why(ENAMETOOLONG)},
        // A full socket whose reader shuts down wakes no poll: the wait ends, and the write finds the reader gone.
        {.name = "full-shut", .cmd = R"(timeout 5 "$NW_TEST" --shut-stderr "$NW" nodes topo)", .status = 2},
    };
    // As a user whom permissions bind.
    table["permissions"] = {
        {.name = "in", .nodes = "5", .cmd = R"($AS_USER "$NW" nodes topo)", .status = 2, .err = readOpen + "nodes" + Why(EACCES), .setup = "chmod 000 nodes"},
        {.name = "folder", .nodes = "5", .cmd = R"($AS_USER "$NW" nodes ro/topo)", .status = 2, .err = writeOpen + "ro/topo" + Why(EACCES), .setup = "mkdir ro && chmod 555 ro"},
        {.name = "out", .nodes = "5", .cmd = R"($AS_USER "$NW" nodes ro.txt)", .status = 2, .err = writeOpen + "ro.txt" + Why(EACCES), .setup = "echo keep >ro.txt && chmod 444 ro.txt"},
    };
    // A failed write ends the writing, so the file left is a prefix of the
    // topology, never spliced, and no diagnostic lands in it when
    // standard error is closed. A failed close is a failure too.
    table["faults"] = {
        {.name = "first", .nodes = "1", .cmd = Inject(kWrites, "error=ENOSPC", "1"), .status = 2, .err = writeFailed + "topo" + Why(ENOSPC), .count = 1, .left = kPrefix},
        {.name = "eio", .nodes = "1000000", .cmd = Inject(kWrites, "error=EIO", "6"), .status = 2, .err = writeFailed + "topo" + Why(EIO), .count = 1000000, .left = kPrefix},
        {.name = "no-stderr", .nodes = "1000000", .cmd = Inject(kWrites, "error=ENOSPC", "3", " 2>&-"), .status = 2, .count = 1000000, .left = kPrefix},
        {.name = "none-open", .nodes = "1", .cmd = Inject(kWrites, "error=ENOSPC", "1", " 2>&- >&- <&-"), .status = 2, .count = 1, .left = kPrefix},
        // A write that takes nothing, as from a full FUSE server, fails as a full disk does, where a retry would spin forever.
        {.name = "takes-none", .nodes = "1000000", .cmd = "timeout 10 " + Inject(kWrites, "retval=0", "3+"), .status = 2, .err = writeFailed + "topo" + Why(ENOSPC), .count = 1000000, .left = kPrefix},
        // EAGAIN from a file, where poll is always ready, fails at once instead of spinning.
        {.name = "again", .nodes = "1000000", .cmd = "timeout 10 " + Inject(kWrites, "error=EAGAIN", "3+"), .status = 2, .err = writeFailed + "topo" + Why(EAGAIN), .count = 1000000, .left = kPrefix},
        {.name = "again-stderr", .cmd = "timeout 10 " + Inject(kWrites, "error=EAGAIN", "1+", " 2>err", "err"), .status = 2, .setup = ": >err"},
        {.name = "close", .nodes = "1000000", .cmd = Inject("close", "error=EIO", "1"), .status = 2, .err = "WriteTopologyFile: check failed: fclose(fp) == 0: topo" + Why(EIO), .count = 1000000, .left = kWhole},
        {.name = "close-no-stderr", .nodes = "1", .cmd = Inject("close", "error=EIO", "1", " 2>&-"), .status = 2, .count = 1, .left = kWhole},
        // A closed standard stream that cannot be given /dev/null is a failure.
        {.name = "no-null", .nodes = "5", .cmd = noNull, .status = 2, .err = R"(main: check failed: open("/dev/null", O_RDWR) == fd: /dev/null)" + Why(EMFILE), .needs = kClosed},
        // A diagnostic for any path the system accepts goes out in one
        // write, up to the longest, PATH_MAX - 1 bytes.
        {.name = "one-write", .nodes = "5", .cmd = InOneWrite(LongPath(19).first), .status = 2, .err = readOpen + LongPath(19).second + Why(ENOENT)},
        {.name = "one-write-max", .nodes = "5", .cmd = InOneWrite(LongPath(1, PATH_MAX - 2).first), .status = 2, .err = readOpen + LongPath(1, PATH_MAX - 2).second + Why(ENAMETOOLONG)},
        // While a full pipe has no room, the diagnostic waits: one write refused, one poll (a ppoll under
        // qemu-user), one write that goes through, where a tool that spins makes thousands.
        {.name = "full-waits", .cmd = CountCalls(R"("$NW_TEST" --full-stderr )", "poll,ppoll,write", "nodes topo", R"(^(p?poll\(\[\{fd=2|write\(2),)", R"("$n" -le 5)"), .status = 2, .err = readOpen + "nodes" + Why(ENOENT)},
    };
    // A full disk is a failure, both at a full block and at the last, short write.
    table["write-errors"] = {
        {.name = "full-block", .nodes = "1000000", .cmd = R"("$NW" nodes /dev/full)", .status = 2, .err = writeFailed + "/dev/full" + Why(ENOSPC)},
        {.name = "full-short", .nodes = "1", .cmd = R"("$NW" nodes /dev/full)", .status = 2, .err = writeFailed + "/dev/full" + Why(ENOSPC)},
    };
    // clang-format on
    // Each write of a million nodes fails in turn; the writer's 1 MiB blocks make 11.
    for (int k = 1; k <= 11; ++k) {
        table["faults"].push_back({.name = "write-" + std::to_string(k),
                                   .nodes = "1000000",
                                   .cmd = Inject(kWrites, "error=ENOSPC", std::to_string(k)),
                                   .status = 2,
                                   .err = writeFailed + "topo" + Why(ENOSPC),
                                   .count = 1000000,
                                   .left = kPrefix});
    }
    // Each rule for showing a path: what could drive a terminal is escaped,
    // and printable text is kept. A path is given as printf writes it; one
    // that is escaped whole is shown just so.
    struct Shown {
        const char* name;
        std::string bytes;
        std::string shown;
    };
    const auto escaped = [](const char* name, const char* bytes) { return Shown{name, bytes, bytes}; };
    const std::vector<Shown> paths = {
        {"ascii-ends", " ~", " ~"},  // blank, and the last printable ASCII
        {"tab", R"(a\tb)", R"(a\tb)"},
        escaped("c0-del", R"(\001\037\177)"),
        escaped("c1", R"(\302\200\302\205\302\233\302\237)"),  // C1 controls as UTF-8
        escaped("no-start", R"(\200\233\237\277\300\257\301\277\351\365\200\200\200)"),
        // Each form's first and last lead byte, with its lowest and highest second byte.
        {"two-bytes", R"(\302\240\302\277\303\200\337\277)", "\u00a0\u00bf\u00c0\u07ff"},
        {"three-bytes", R"(\340\240\200\340\277\277\341\200\200\354\277\277\355\200\200\355\237\277\356\200\200\357\277\277)",
         "\u0800\u0fff\u1000\ucfff\ud000\ud7ff\ue000\uffff"},
        {"private-use", R"(\356\237\277\356\240\200\356\277\277\357\200\200)", "\ue7ff\ue800\uefff\uf000"},
        // Characters that reorder the line or break it: each one's bytes in
        // octal, and the characters just outside each range kept.
        escaped("layout", R"(\330\234\342\200\216\342\200\217\342\200\250\342\200\251\342\200\252\342\200\256\342\201\246)"
                          R"(\342\201\251)"),
        {"near-layout", R"(\330\233\330\235\342\200\215\342\200\220\342\200\247\342\200\257\342\201\245\342\201\252)",
         "\u061b\u061d\u200d\u2010\u2027\u202f\u2065\u206a"},
        {"four-bytes", R"(\360\220\200\200\360\277\277\277\361\200\200\200\363\277\277\277\364\200\200\200\364\217\277\277)",
         "\U00010000\U0003ffff\U00040000\U000fffff\U00100000\U0010ffff"},
        // A second byte just past each form's range: overlong, surrogate, past U+10FFFF.
        escaped("past-2-3", R"(\302\300\303\177\303\300\340\237\277\340\300\200\341\177\200\341\300\200\354\300\200)"),
        escaped("past-ed-ee", R"(\355\177\200\355\240\200\356\177\200\356\300\200)"),
        escaped("past-4", R"(\360\217\277\277\360\300\200\200\361\177\200\200\361\300\200\200\364\177\200\200\364\220\200\200)"),
        // A later byte that is no continuation, or missing.
        escaped("bad-later", R"(\341\200\177\341\200\300\361\200\177\200\361\200\200\300\361\200\300\200)"),
        escaped("cut-short", R"(\346\227.\360\237\230.\346\227)"),
    };
    for (const auto& [name, bytes, shown] : paths) {
        table["escapes"].push_back({.name = name,
                                    .nodes = "5",
                                    .cmd = R"("$NW" "$(printf ')" + bytes + R"sh(')" topo)sh",
                                    .status = 2,
                                    .err = readOpen + shown + Why(ENOENT)});
    }
    // Every digit-count boundary, where a hand-rolled counter would carry wrong.
    for (int n = 1; n <= 1000000; n *= 10) {
        for (int count : {n - 1, n, n + 1}) {
            if (count > 0 && count <= 1000000) {
                table["counts"].push_back({.name = "digits-" + std::to_string(count), .nodes = std::to_string(count), .count = count});
            }
        }
    }
    // Each edge of the writer's 1 MiB blocks: the last file that fits below
    // it, the first whose last line is carried over it, and one line more.
    constexpr std::size_t kBlock = std::size_t{1} << 20U;
    int fits = 0;          // the largest count whose file fits below the edge
    std::size_t body = 0;  // the bytes of the lines 0 to fits - 1
    for (std::size_t edge = kBlock; edge <= 10 * kBlock; edge += kBlock) {
        while (std::to_string(fits + 1).size() + 1 + body + std::to_string(fits).size() + 5 <= edge) {
            body += std::to_string(fits).size() + 5;
            ++fits;
        }
        for (int count : {fits, fits + 1, fits + 2}) {
            table["edges"].push_back({.name = "edge-" + std::to_string(count), .nodes = std::to_string(count), .count = count});
        }
    }
    return table;
}

std::string Reference(int count)
{
    std::string text = std::to_string(count) + "\n";
    for (int i = 0; i < count; ++i) {
        text += std::to_string(i) + "   0\n";
    }
    return text;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Every entry below `dir` with its content (or, past 64 MiB, its size), to
// see that a failure left all as it was.
std::map<std::string, std::string> Snapshot(const fs::path& dir)
{
    constexpr std::uintmax_t kLargest = std::uintmax_t{64} << 20U;
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const bool file = entry.is_regular_file();
        entries[entry.path()] = !file                          ? "(not a file)"
                                : entry.file_size() > kLargest ? std::to_string(entry.file_size()) + " bytes"
                                                               : ReadFile(entry.path());
    }
    return entries;
}

struct Result {
    int status;
    std::string out;
    std::string err;
};

// Starts argv, found through PATH, with `actions`; returns its pid, or -1.
pid_t Spawn(std::vector<const char*> argv, const posix_spawn_file_actions_t* actions)
{
    argv.push_back(nullptr);
    pid_t pid = 0;
    return posix_spawnp(&pid, argv[0], actions, nullptr, const_cast<char* const*>(argv.data()), environ) == 0 ? pid : -1;
}

// Waits for `pid` and returns its status as a shell gives it: 127 if it never started.
int Wait(pid_t pid)
{
    int wstatus = 0;
    if (pid == -1 || waitpid(pid, &wstatus, 0) != pid) {
        return 127;
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

// Runs argv, found through PATH, in `dir`, with standard output and error
// caught in files beside it.
Result Run(const std::vector<const char*>& argv, const fs::path& dir)
{
    const fs::path out = dir.parent_path() / "stdout";
    const fs::path err = dir.parent_path() / "stderr";
    fs::current_path(dir);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int status = Wait(Spawn(argv, &actions));
    posix_spawn_file_actions_destroy(&actions);
    return {status, ReadFile(out), ReadFile(err)};
}

// Runs argv with standard error a non-blocking pipe that is full, as a parent
// that polls its pipes can leave it, and that is drained only after a pause.
// Passes on to standard error what argv wrote, and returns its status. With
// `shut`, standard error is a full non-blocking Unix socket instead, SIGPIPE
// is ignored, and after the pause its peer shuts down reading and keeps it open.
int RunWithFullStderr(const std::vector<const char*>& argv, bool shut)
{
    std::array<int, 2> ends{};
    const int made = shut ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) : pipe2(ends.data(), O_CLOEXEC);
    if (made != 0 || fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0 || (shut && signal(SIGPIPE, SIG_IGN) == SIG_ERR)) {
        return 127;
    }
    std::array<char, PIPE_BUF> buffer{};
    std::size_t filled = 0;
    for (const std::size_t piece : {buffer.size(), std::size_t{1}}) {
        for (ssize_t n = 0; (n = write(ends[1], buffer.data(), piece)) > 0;) {
            filled += n;
        }
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
    const pid_t pid = Spawn(argv, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    usleep(300000);
    if (shut) {
        shutdown(ends[0], SHUT_RD);
        return Wait(pid);
    }
    std::string got;
    for (ssize_t n = 0; (n = read(ends[0], buffer.data(), buffer.size())) > 0;) {
        got.append(buffer.data(), n);
    }
    std::cerr << got.substr(std::min(filled, got.size()));
    return Wait(pid);
}

// The tool's source, one string a line, to see that a diagnostic names the line of its check.
std::vector<std::string> Source()
{
    std::vector<std::string> lines = {""};  // lines count from 1
    std::ifstream in(std::getenv("NW_SOURCE"));
    for (std::string line; std::getline(in, line);) {
        for (auto quote = line.find("\\\""); quote != std::string::npos; quote = line.find("\\\"", quote)) {
            line.erase(quote, 1);  // a condition text may quote, as C does
        }
        lines.push_back(line);
    }
    return lines;
}

// The diagnostic without its "nodalwrangler: src/nodalwrangler.cpp:LINE: " prefix, or "" if it is not one such
// line, or if LINE of the source does not hold the check's condition text, quoted.
// (Hand-parsed: std::regex draws a false maybe-uninitialized error from g++ 12 under the sanitizers.)
std::string Condition(const std::string& err)
{
    static const std::vector<std::string> source = Source();
    const std::string prefix = "nodalwrangler: src/nodalwrangler.cpp:";
    const auto end = err.find(": ", prefix.size());
    if (err.rfind(prefix, 0) != 0 || end == std::string::npos || end == prefix.size() || err.find_first_not_of("0123456789", prefix.size()) != end ||
        err.find('\n') != err.size() - 1) {
        return "";
    }
    const std::string rest = err.substr(end + 2, err.size() - end - 3);
    const std::string failed = "check failed: ";
    const auto condition = rest.find(failed) + failed.size();
    const std::string quoted = '"' + rest.substr(condition, rest.find(": ", condition) - condition) + '"';
    const auto line = std::stoul(err.substr(prefix.size(), end - prefix.size()));
    return line < source.size() && source[line].find(quoted) != std::string::npos ? rest : "";
}

// Escapes a node file's text for a failure message.
std::string Quoted(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '\n' ? "\\n" : c == '\t' ? "\\t" : std::string(1, c);
    }
    return quoted + "\"";
}

// Runs `row` once and returns what went wrong, or "" if nothing did.
std::string TryRow(const Row& row, const fs::path& work, bool existing)
{
    fs::remove_all(work);
    fs::create_directories(work);
    if (row.nodes) {
        WriteFile(work / "nodes", *row.nodes);
    }
    if (existing && !fs::exists(work / "topo")) {
        WriteFile(work / "topo", "an existing file\nof two lines\n");
    }
    Run({"sh", "-c", row.setup.c_str()}, work);
    if (geteuid() == 0) {
        Run({"chown", "-R", "65534:65534", "."}, work);  // for $AS_USER
    }
    auto before = Snapshot(work);
    const Result result = Run({"sh", "-c", row.cmd.c_str()}, work);
    const std::string err = row.status == 2 ? Condition(result.err) : result.err;
    if (result.status != row.status) {
        return "status " + std::to_string(result.status) + ", stderr: " + result.err;
    }
    if (!result.out.empty() || err != row.err) {
        return "stdout: '" + result.out + "', stderr: '" + result.err + "'";
    }
    const std::string output = ReadFile(work / row.output);
    const std::string reference = Reference(row.count);
    if ((row.status == 0 || row.left == kWhole) && output != reference) {
        return "wrong topology file " + std::string(row.output);
    }
    if (row.left == kPrefix && (output.size() >= reference.size() || reference.rfind(output, 0) != 0)) {
        return std::string(row.output) + " is not a true prefix of the topology, at " + std::to_string(output.size()) + " bytes";
    }
    auto after = Snapshot(work);
    if (row.status == 0 || row.left != kAsBefore) {  // the output, checked above
        before.erase(work / row.output);
        after.erase(work / row.output);
    }
    if (after != before) {
        return "the run changed a file that it may not change";
    }
    return "";
}

// A node file's text drawn from `random`: blanks, signs, letters and digits,
// mostly short numbers so that most successes write small files, and now and
// then a run of digits past every integer type.
std::string RandomNodeText(std::mt19937& random)
{
    const std::vector<std::string> pieces = {" ", "\t", "\n", "+", "-", "a", "x", ".", "0"};
    const auto below = [&random](unsigned n) { return static_cast<int>(random() % n); };
    std::string text;
    for (int piece = below(7); piece > 0; --piece) {
        if (below(3) != 0) {
            text += pieces[below(pieces.size())];
            continue;
        }
        const int digits = below(10) == 0 ? 20 + below(20) : below(10) == 0 ? 7 : 1 + below(4);
        for (int k = 0; k < digits; ++k) {
            text += static_cast<char>('0' + below(10));
        }
    }
    return text;
}

// The diagnostic for the count `value`, or "" where it is written.
std::string Expected(long long value)
{
    // A count is shown as read, unless its reading stopped at a bound.
    const std::string read = value > 10000009 ? "above 1000000" : value < -10000009 ? "below 0" : std::to_string(value);
    return value < 0         ? "ReadNodeFile: check failed: 0 <= NNodes: nodes: " + read
           : value > 1000000 ? "ReadNodeFile: check failed: NNodes <= 1000000: nodes: " + read
           : value == 0      ? "WriteTopologyFile: check failed: 0 < NNodes"
                             : "";
}

// The count reader against an independent model, strtoll clamped to 32 bits,
// over node files drawn from a fixed seed. Returns the number of failures.
int TryRandomCounts(const fs::path& work, int cases, unsigned seed)
{
    std::mt19937 random(seed);
    int failures = 0;
    for (int i = 0; i < cases; ++i) {
        const std::string text = RandomNodeText(random);
        const long long value = std::clamp<long long>(std::strtoll(text.c_str(), nullptr, 10), INT32_MIN, INT32_MAX);
        const std::string want = Expected(value);
        fs::remove(work / "topo");
        WriteFile(work / "nodes", text);
        const Result result = Run({std::getenv("NW"), "nodes", "topo"}, work);
        const std::string topo = ReadFile(work / "topo");
        const std::string got = result.status == 2 ? Condition(result.err) : result.err;
        const bool ok = result.out.empty() && (want.empty() ? result.status == 0 && got.empty() && topo.rfind(std::to_string(value) + "\n", 0) == 0 &&
                                                                  std::count(topo.begin(), topo.end(), '\n') == value + 1
                                                            : result.status == 2 && got == want && !fs::exists(work / "topo"));
        if (!ok) {
            ++failures;
            std::cout << "FAIL: random case " << i << " of seed " << seed << ", node file " << Quoted(text) << ": status " << result.status
                      << ", stdout '" << result.out << "', stderr '" << result.err << "', expected "
                      << (want.empty() ? std::to_string(value) + " nodes" : want) << "\n";
        }
    }
    return failures;
}

// Runs the rows of a group whose needs the machine meets, and prints one line
// for each need it lacks. Returns the runs that passed, failed and were skipped.
std::array<int, 3> TryGroup(const std::string& group, const std::vector<Row>& rows, const fs::path& work)
{
    const unsigned shared = GroupNeeds(group);
    const auto needs = [shared](const Row& row) { return shared | row.needs; };
    unsigned missing = 0;
    for (const Probe& probe : kProbes) {
        const auto lacks = [&](const Row& row) { return (needs(row) & probe.need) != 0; };
        if (std::any_of(rows.begin(), rows.end(), lacks) && Run({"sh", "-c", probe.command}, work).status != 0) {
            missing |= probe.need;
            std::cout << "skipped " << std::count_if(rows.begin(), rows.end(), lacks) << " rows (" << probe.name << "): " << probe.missing << "\n";
        }
    }
    std::array<int, 3> runs = {0, 0, 0};
    for (const Row& row : rows) {
        for (bool existing : {false, true}) {
            if ((needs(row) & missing) != 0) {
                ++runs[2];
                continue;
            }
            const std::string problem = TryRow(row, work, existing);
            ++runs.at(problem.empty() ? 0 : 1);
            if (!problem.empty()) {
                std::cout << "FAIL: " << row.name << (existing ? ", with an existing topo" : "") << ": " << row.cmd << " with nodes "
                          << (row.nodes ? Quoted(*row.nodes) : "(none)") << ": " << problem << "\n";
            }
        }
    }
    return runs;
}

}  // namespace

int main(int argc, char* argv[])
{
    const std::string mode = argc > 2 ? argv[1] : "";
    if (mode == "--full-stderr" || mode == "--shut-stderr") {
        return RunWithFullStderr({argv + 2, argv + argc}, mode == "--shut-stderr");
    }
    if (argc != 4) {
        std::cerr << "usage: nodalwrangler_test BINARY GROUP SOURCE | --full-stderr COMMAND... | --shut-stderr COMMAND...\n";
        return 2;
    }
    setenv("NW", fs::absolute(argv[1]).c_str(), 1);
    setenv("NW_SOURCE", fs::absolute(argv[3]).c_str(), 1);
    setenv("NW_TEST", std::strchr(argv[0], '/') != nullptr ? fs::absolute(argv[0]).c_str() : argv[0], 1);
    setenv("AS_USER", geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "", 1);
    const std::string group = argv[2];
    const Table table = MakeTable();
    if (group != "random" && !table.contains(group)) {
        std::cerr << "nodalwrangler_test: no group " << group << "\n";
        return 2;
    }
    // In memory where there is room: the random group makes thousands of runs.
    std::string scratch = fs::is_directory("/dev/shm") ? "/dev/shm/nwtest.XXXXXX" : "/tmp/nwtest.XXXXXX";
    const fs::path root = mkdtemp(scratch.data());
    const fs::path work = root / "work";
    fs::create_directories(work);
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    std::array<int, 3> runs = {0, 0, 0};
    if (group == "random") {
        constexpr int kCases = 3000;
        runs[1] = TryRandomCounts(work, kCases, 20261208);
        runs[0] = kCases - runs[1];
    } else {
        runs = TryGroup(group, table.at(group), work);
    }
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(root);
    const auto [passed, failed, skipped] = runs;
    std::cout << passed << " passed, " << failed << " failed, " << skipped << " skipped\n";
    return failed != 0 ? 1 : passed == 0 ? kSkipped : 0;
}
