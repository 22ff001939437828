// End-to-end tests of the built tool: `nodalwrangler_test BINARY GROUP` runs one group of the table.

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const char* const kUsage = " Usage : \n nodalwrangler  node_file  \n        topology_file_OUT \n";
const char* const kRun = R"("$NW" nodes topo)";
constexpr int kSkipped = 77;  // CTest's SKIP_RETURN_CODE

// What a failed run leaves at the output path.
enum Left {
    kAsBefore,  // nothing: every file is as it was
    kPrefix,    // a true prefix of the topology for `count`, shorter than it
    kWhole,     // the whole topology for `count`
};

// One case. The command runs under sh in a fresh work folder that holds `nodes`
// (unless null), and then `topo` too on a second run, so that every row is
// tried both with and without an existing topology file.
struct Row {
    const char* group;
    std::optional<std::string> nodes;
    std::string command;
    int status;
    std::string err;  // stderr; for status 2, the diagnostic after "nodalwrangler: FILE:LINE: "
    int count = 0;    // status 0, or what is left: the topology file holds this many nodes
    const char* output = "topo";
    const char* setup = "";
    Left left = kAsBefore;  // status other than 0: what is left at `output`
};

// Runs the tool under strace with the K-th call of `syscall` on the topology
// file failing with `error`.
std::string Inject(const char* syscall, const char* error, int k, const char* redirect = "")
{
    return std::string("strace -o /dev/null -P \"$PWD/topo\" -e trace=") + syscall + " -e inject=" + syscall +
           ":error=" + error + ":when=" + std::to_string(k) + R"( "$NW" nodes topo)" + redirect;
}

// Runs the tool on the node file `path` under strace, and fails unless its
// diagnostic went out in exactly one write.
std::string InOneWrite(const std::string& path)
{
    return R"(strace -o trace -e trace=write "$NW" ")" + path +
           R"(" topo; s=$?; n=$(grep -c '^write(2,' trace); rm trace; [ "$n" = 1 ] && exit $s)";
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

std::vector<Row> Table()
{
    const std::string slashes(3993, '/');  // for paths of about 4,000 bytes
    std::vector<Row> rows = {
        // Usage: exact bytes, status 1, and no file created or changed.
        {"usage", "5", R"("$NW")", 1, kUsage},
        {"usage", "5", R"("$NW" nodes)", 1, kUsage},
        {"usage", "5", R"("$NW" nodes topo extra)", 1, kUsage, 0, "topo", "echo keep >extra"},
        // Bounds, and overflow: a count must never wrap into range.
        {"counts", "1000001", kRun, 2, "ReadNodeFile: check failed: NNodes <= 1000000: nodes: 1000001"},
        {"counts", "-1", kRun, 2, "ReadNodeFile: check failed: 0 <= NNodes: nodes: -1"},
        // A count of eight digits or more that starts like the bound.
        {"counts", "10000000", kRun, 2, "ReadNodeFile: check failed: NNodes <= 1000000: nodes: 10000000"},
        {"counts", "10000009", kRun, 2, "ReadNodeFile: check failed: NNodes <= 1000000: nodes: 10000009"},
        {"counts", "100000000", kRun, 2, "ReadNodeFile: check failed: NNodes <= 1000000: nodes: above 1000000"},
        {"counts", "-10000009", kRun, 2, "ReadNodeFile: check failed: 0 <= NNodes: nodes: -10000009"},
        {"counts", "-10000010", kRun, 2, "ReadNodeFile: check failed: 0 <= NNodes: nodes: below 0"},
        {"counts", "-0001000000x", kRun, 2, "ReadNodeFile: check failed: 0 <= NNodes: nodes: -1000000"},
        {"counts", "0", kRun, 2, "WriteTopologyFile: check failed: 0 < NNodes"},
        {"counts", "-0", kRun, 2, "WriteTopologyFile: check failed: 0 < NNodes"},
        {"counts", "4294967297", kRun, 2, "ReadNodeFile: check failed: NNodes <= 1000000: nodes: above 1000000"},
        {"counts", "4294967296", kRun, 2, "ReadNodeFile: check failed: NNodes <= 1000000: nodes: above 1000000"},
        {"counts", "2147483648", kRun, 2, "ReadNodeFile: check failed: NNodes <= 1000000: nodes: above 1000000"},
        {"counts", "123456789012345678901234567890", kRun, 2,
         "ReadNodeFile: check failed: NNodes <= 1000000: nodes: above 1000000"},
        {"counts", "-4294967295", kRun, 2, "ReadNodeFile: check failed: 0 <= NNodes: nodes: below 0"},
        {"counts", "-2147483649", kRun, 2, "ReadNodeFile: check failed: 0 <= NNodes: nodes: below 0"},
        {"counts", "000000000000000000000000000012", kRun, 0, "", 12},
        // The count's grammar: only the first decimal integer counts.
        {"grammar", "\n\n+12", kRun, 0, "", 12},
        {"grammar", " \t\r\n\v\f7", kRun, 0, "", 7},
        {"grammar", "12abc", kRun, 0, "", 12},
        {"grammar", "12\n99\nnot read", kRun, 0, "", 12},
        {"grammar", "3.9", kRun, 0, "", 3},
        {"grammar", "1e6", kRun, 0, "", 1},
        {"grammar", "010", kRun, 0, "", 10},
        {"grammar", "0x10", kRun, 2, "WriteTopologyFile: check failed: 0 < NNodes"},
        {"grammar", "", kRun, 2, "WriteTopologyFile: check failed: 0 < NNodes"},
        {"grammar", "nodes 5", kRun, 2, "WriteTopologyFile: check failed: 0 < NNodes"},
        {"grammar", "+-3", kRun, 2, "WriteTopologyFile: check failed: 0 < NNodes"},
        {"grammar", "- 3", kRun, 2, "WriteTopologyFile: check failed: 0 < NNodes"},
        // Paths: failures name the path and the system's reason.
        {"files", std::nullopt, kRun, 2,
         "ReadNodeFile: check failed: fp != ((void *)0): nodes: No such file or directory"},
        {"files", "5", R"("$NW" "" topo)", 2,
         "ReadNodeFile: check failed: fp != ((void *)0): : No such file or directory"},
        // A read error must not pass for an empty file.
        {"files", "5", R"("$NW" dir topo)", 2, "ReadNodeFile: check failed: ferror(fp) == 0: dir: Is a directory", 0,
         "topo", "mkdir dir"},
        // A hyphen or an empty argument is an ordinary path, never a standard stream.
        {"files", "5", R"("$NW" - topo)", 2,
         "ReadNodeFile: check failed: fp != ((void *)0): -: No such file or directory"},
        {"files", "5", R"("$NW" nodes -)", 0, "", 5, "-"},
        {"files", "5", R"("$NW" nodes "")", 2,
         "WriteTopologyFile: check failed: fp != ((void *)0): : No such file or directory"},
        {"files", "5", R"("$NW" nodes missing/topo)", 2,
         "WriteTopologyFile: check failed: fp != ((void *)0): missing/topo: No such file or directory"},
        {"files", "5", R"("$NW" nodes dir)", 2,
         "WriteTopologyFile: check failed: fp != ((void *)0): dir: Is a directory", 0, "topo", "mkdir dir"},
        // A path can neither break the diagnostic's one line nor reach the terminal raw.
        {"files", "5", R"sh("$NW" "$(printf 'no\nsuch\033[2J\\')" topo)sh", 2,
         R"(ReadNodeFile: check failed: fp != ((void *)0): no\nsuch\033[2J\\: No such file or directory)"},
        // A diagnostic too long for one write goes out whole, in pieces.
        {"files", "5", R"("$NW" ")" + LongPath(60).first + R"(" topo)", 2,
         "ReadNodeFile: check failed: fp != ((void *)0): " + LongPath(60).second + ": File name too long"},
        // A failed check is told under a stack limit as small as a successful
        // run with as long an argument needs (here a path of 4,000 bytes),
        // laid out the same way every time.
        {"files", "1000000", R"(setarch -R env -i prlimit --stack=12288 "$NW" nodes topo)", 0, "", 1000000},
        {"files", std::nullopt, R"(setarch -R env -i prlimit --stack=12288 "$NW" nodes topo)", 2,
         "ReadNodeFile: check failed: fp != ((void *)0): nodes: No such file or directory"},
        {"files", "5", R"(setarch -R env -i prlimit --stack=16384 "$NW" nodes .)" + slashes + "topo", 0, "", 5},
        {"files", "5", R"(setarch -R env -i prlimit --stack=16384 "$NW" missing)" + slashes + " topo", 2,
         "ReadNodeFile: check failed: fp != ((void *)0): missing" + slashes + ": No such file or directory"},
        // The node file is read and closed before the same path is rewritten.
        {"files", "3\nrest", R"("$NW" nodes nodes)", 0, "", 3, "nodes"},
        // Streams: a writer that keeps its pipe open after the count must not
        // block the reader, nor an endless count keep it reading.
        {"streams", "", R"((printf '4\n'; exec sleep 10) >fifo & timeout 5 "$NW" fifo topo; s=$?; kill $!; exit $s)", 0,
         "", 4, "topo", "mkfifo fifo"},
        {"streams", "", R"(yes 1 | tr -d '\n' | timeout 5 "$NW" /dev/stdin topo)", 2,
         "ReadNodeFile: check failed: NNodes <= 1000000: /dev/stdin: above 1000000"},
        {"streams", "", R"({ printf ' -'; yes 1 | tr -d '\n'; } | timeout 5 "$NW" /dev/stdin topo)", 2,
         "ReadNodeFile: check failed: 0 <= NNodes: /dev/stdin: below 0"},
        // Closed standard streams change nothing but what can be seen.
        {"streams", "5", R"("$NW" nodes topo >&- 2>&- <&-)", 0, "", 5},
        {"streams", "5", R"("$NW" nodes >&- 2>&- <&-)", 1, ""},
        {"streams", "5", R"("$NW" nodes /dev/full >&- 2>&- <&-)", 2, ""},
        // Permissions, as a user whom they bind.
        {"permissions", "5", R"($AS_USER "$NW" nodes topo)", 2,
         "ReadNodeFile: check failed: fp != ((void *)0): nodes: Permission denied", 0, "topo", "chmod 000 nodes"},
        {"permissions", "5", R"($AS_USER "$NW" nodes ro/topo)", 2,
         "WriteTopologyFile: check failed: fp != ((void *)0): ro/topo: Permission denied", 0, "topo",
         "mkdir ro && chmod 555 ro"},
        {"permissions", "5", R"($AS_USER "$NW" nodes ro.txt)", 2,
         "WriteTopologyFile: check failed: fp != ((void *)0): ro.txt: Permission denied", 0, "topo",
         "echo keep >ro.txt && chmod 444 ro.txt"},
        // A failed write ends the writing, so the file left is a prefix of the
        // topology, never spliced, and no diagnostic lands in it when
        // standard error is closed. A failed close is a failure too.
        {"faults", "1", Inject("write", "ENOSPC", 1), 2,
         "WriteTopologyFile: check failed: ferror(fp) == 0: topo: No space left on device", 1, "topo", "", kPrefix},
        {"faults", "1000000", Inject("write", "EIO", 6), 2,
         "WriteTopologyFile: check failed: ferror(fp) == 0: topo: Input/output error", 1000000, "topo", "", kPrefix},
        {"faults", "1000000", Inject("write", "ENOSPC", 3, " 2>&-"), 2, "", 1000000, "topo", "", kPrefix},
        {"faults", "1", Inject("write", "ENOSPC", 1, " 2>&- >&- <&-"), 2, "", 1, "topo", "", kPrefix},
        {"faults", "1000000", Inject("close", "EIO", 1), 2,
         "WriteTopologyFile: check failed: fclose(fp) == 0: topo: Input/output error", 1000000, "topo", "", kWhole},
        {"faults", "1", Inject("close", "EIO", 1, " 2>&-"), 2, "", 1, "topo", "", kWhole},
        // A closed standard stream that cannot be given /dev/null is a failure.
        {"faults", "5",
         R"(strace -o /dev/null -P /dev/null -e trace=openat -e inject=openat:error=EMFILE "$NW" nodes topo <&-)", 2,
         R"(main: check failed: open("/dev/null", O_RDWR) == fd: /dev/null: Too many open files)"},
        // A diagnostic for any path the system accepts goes out in one write,
        // up to the longest, PATH_MAX - 1 bytes.
        {"faults", "5", InOneWrite(LongPath(19).first), 2,
         "ReadNodeFile: check failed: fp != ((void *)0): " + LongPath(19).second + ": No such file or directory"},
        {"faults", "5", InOneWrite(LongPath(1, PATH_MAX - 2).first), 2,
         "ReadNodeFile: check failed: fp != ((void *)0): " + LongPath(1, PATH_MAX - 2).second + ": File name too long"},
        // A full disk is a failure, both at a full block and at the last, short write.
        {"write-errors", "1000000", R"("$NW" nodes /dev/full)", 2,
         "WriteTopologyFile: check failed: ferror(fp) == 0: /dev/full: No space left on device"},
        {"write-errors", "1", R"("$NW" nodes /dev/full)", 2,
         "WriteTopologyFile: check failed: ferror(fp) == 0: /dev/full: No space left on device"},
    };
    for (int k = 1; k <= 11; ++k) {  // a million nodes take 11 writes
        rows.push_back({"faults", "1000000", Inject("write", "ENOSPC", k), 2,
                        "WriteTopologyFile: check failed: ferror(fp) == 0: topo: No space left on device", 1000000,
                        "topo", "", kPrefix});
    }
    // Each rule for showing a path: what could drive a terminal is escaped,
    // and printable text is kept. A path is given as printf writes it; one
    // that is escaped whole is shown just so.
    const auto escaped = [](const char* bytes) { return std::pair<std::string, std::string>{bytes, bytes}; };
    const std::vector<std::pair<std::string, std::string>> paths = {
        {" ~", " ~"},                                                        // blank, and the last printable ASCII
        {R"(a\tb)", R"(a\tb)"},                                              // tab
        escaped(R"(\001\037\177)"),                                          // C0 controls and DEL
        escaped(R"(\302\200\302\205\302\233\302\237)"),                      // C1 controls as UTF-8
        escaped(R"(\200\233\237\277\300\257\301\277\351\365\200\200\200)"),  // bytes that start no character
        // Each form's first and last lead byte, with its lowest and highest second byte.
        {R"(\302\240\302\277\303\200\337\277)", "\u00a0\u00bf\u00c0\u07ff"},
        {R"(\340\240\200\340\277\277\341\200\200\354\277\277\355\200\200\355\237\277\356\200\200\357\277\277)",
         "\u0800\u0fff\u1000\ucfff\ud000\ud7ff\ue000\uffff"},
        {R"(\356\237\277\356\240\200\356\277\277\357\200\200)", "\ue7ff\ue800\uefff\uf000"},
        // Characters that reorder the line or break it: each one's bytes in
        // octal, and the characters just outside each range kept.
        escaped(
            R"(\330\234\342\200\216\342\200\217\342\200\250\342\200\251\342\200\252\342\200\256\342\201\246\342\201\251)"),
        {R"(\330\233\330\235\342\200\215\342\200\220\342\200\247\342\200\257\342\201\245\342\201\252)",
         "\u061b\u061d\u200d\u2010\u2027\u202f\u2065\u206a"},
        {R"(\360\220\200\200\360\277\277\277\361\200\200\200\363\277\277\277\364\200\200\200\364\217\277\277)",
         "\U00010000\U0003ffff\U00040000\U000fffff\U00100000\U0010ffff"},
        // A second byte just past each form's range: overlong, surrogate, past U+10FFFF.
        escaped(R"(\302\300\303\177\303\300\340\237\277\340\300\200\341\177\200\341\300\200\354\300\200)"),
        escaped(R"(\355\177\200\355\240\200\356\177\200\356\300\200)"),
        escaped(R"(\360\217\277\277\360\300\200\200\361\177\200\200\361\300\200\200\364\177\200\200\364\220\200\200)"),
        // A later byte that is no continuation, or missing.
        escaped(R"(\341\200\177\341\200\300\361\200\177\200\361\200\200\300\361\200\300\200)"),
        {R"(\346\227.\360\237\230.\346\227)", R"(\346\227.\360\237\230.\346\227)"},
    };
    for (const auto& [bytes, shown] : paths) {
        rows.push_back({"escapes", "5", R"("$NW" "$(printf ')" + bytes + R"sh(')" topo)sh", 2,
                        "ReadNodeFile: check failed: fp != ((void *)0): " + shown + ": No such file or directory"});
    }
    // Every digit-count boundary, where a hand-rolled counter would carry wrong.
    for (int n = 1; n <= 1000000; n *= 10) {
        for (int count : {n - 1, n, n + 1}) {
            if (count > 0 && count <= 1000000) {
                rows.push_back({"counts", std::to_string(count), kRun, 0, "", count});
            }
        }
    }
    // Each of the writer's 1 MiB block edges: the last file that fits below
    // it, the first whose last line is carried over it, and one line more.
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    int fits = 0;          // the largest count whose file fits below the edge
    std::size_t body = 0;  // the bytes of the lines 0 to fits - 1
    for (std::size_t edge = kBlock; edge <= 10 * kBlock; edge += kBlock) {
        while (std::to_string(fits + 1).size() + 1 + body + std::to_string(fits).size() + 5 <= edge) {
            body += std::to_string(fits).size() + 5;
            ++fits;
        }
        for (int count : {fits, fits + 1, fits + 2}) {
            rows.push_back({"edges", std::to_string(count), kRun, 0, "", count});
        }
    }
    return rows;
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

// Every entry below `dir` with its content, to see that a failure left all as it was.
std::map<std::string, std::string> Snapshot(const fs::path& dir)
{
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        entries[entry.path()] = entry.is_regular_file() ? ReadFile(entry.path()) : "(not a file)";
    }
    return entries;
}

struct Result {
    int status;
    std::string out;
    std::string err;
};

// Runs argv in `dir`, with standard output and error caught in files beside it.
Result Run(std::vector<const char*> argv, const fs::path& dir)
{
    const fs::path out = dir.parent_path() / "stdout";
    const fs::path err = dir.parent_path() / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    argv.push_back(nullptr);
    pid_t pid = 0;
    int wstatus = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv.data()), environ) != 0 ||
        waitpid(pid, &wstatus, 0) != pid) {
        wstatus = 127 << 8;
    }
    posix_spawn_file_actions_destroy(&actions);
    return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus), ReadFile(out), ReadFile(err)};
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
    if (err.rfind(prefix, 0) != 0 || end == std::string::npos || end == prefix.size() ||
        err.find_first_not_of("0123456789", prefix.size()) != end || err.find('\n') != err.size() - 1) {
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

// Checks one run of `row` and returns what went wrong, or "" if nothing did.
std::string Check(const Row& row, const fs::path& work, bool existing)
{
    fs::remove_all(work);
    fs::create_directories(work);
    if (row.nodes) {
        WriteFile(work / "nodes", *row.nodes);
    }
    if (existing && !fs::exists(work / "topo")) {
        WriteFile(work / "topo", "an existing file\nof two lines\n");
    }
    Run({"/bin/sh", "-c", row.setup}, work);
    if (geteuid() == 0) {
        Run({"/bin/chown", "-R", "65534:65534", "."}, work);  // for $AS_USER
    }
    auto before = Snapshot(work);
    const Result result = Run({"/bin/sh", "-c", row.command.c_str()}, work);
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
        return std::string(row.output) + " is not a true prefix of the topology, at " + std::to_string(output.size()) +
               " bytes";
    }
    auto after = Snapshot(work);
    if (row.status != 0 && row.left != kAsBefore) {
        before.erase(work / row.output);
        after.erase(work / row.output);
    }
    if (row.status != 0 && after != before) {
        return "a failed run changed the work folder";
    }
    return "";
}

// The count reader against an independent model, strtoll clamped to 32 bits,
// over node files drawn from a fixed seed. Returns the number of failures.
int CheckRandomCounts(const fs::path& work, int cases, unsigned seed)
{
    const std::vector<std::string> pieces = {" ", "\t", "\n", "+", "-", "a", "x", ".", "0"};
    std::mt19937 random(seed);
    const auto below = [&random](unsigned n) { return static_cast<int>(random() % n); };
    int failures = 0;
    for (int i = 0; i < cases; ++i) {
        std::string text;
        for (int piece = below(7); piece > 0; --piece) {
            if (below(3) != 0) {
                text += pieces[below(pieces.size())];
                continue;
            }
            // Mostly short numbers, so that most successes write small files;
            // now and then a run past every integer type.
            const int digits = below(10) == 0 ? 20 + below(20) : below(10) == 0 ? 7 : 1 + below(4);
            for (int k = 0; k < digits; ++k) {
                text += static_cast<char>('0' + below(10));
            }
        }
        const long long value = std::clamp<long long>(std::strtoll(text.c_str(), nullptr, 10), INT32_MIN, INT32_MAX);
        // A count is shown as read, unless its reading stopped at a bound.
        const std::string read = value > 10000009    ? "above 1000000"
                                 : value < -10000009 ? "below 0"
                                                     : std::to_string(value);
        const std::string want = value < 0         ? "ReadNodeFile: check failed: 0 <= NNodes: nodes: " + read
                                 : value > 1000000 ? "ReadNodeFile: check failed: NNodes <= 1000000: nodes: " + read
                                 : value == 0      ? "WriteTopologyFile: check failed: 0 < NNodes"
                                                   : "";
        fs::remove(work / "topo");
        WriteFile(work / "nodes", text);
        const Result result = Run({std::getenv("NW"), "nodes", "topo"}, work);
        const std::string topo = ReadFile(work / "topo");
        const std::string got = result.status == 2 ? Condition(result.err) : result.err;
        const bool ok = want.empty()
                            ? result.status == 0 && got.empty() && topo.rfind(std::to_string(value) + "\n", 0) == 0 &&
                                  std::count(topo.begin(), topo.end(), '\n') == value + 1
                            : result.status == 2 && got == want && !fs::exists(work / "topo");
        if (!ok) {
            ++failures;
            std::cout << "FAIL: random case " << i << " of seed " << seed << ", node file " << Quoted(text)
                      << ": status " << result.status << ", stderr '" << result.err << "', expected "
                      << (want.empty() ? std::to_string(value) + " nodes" : want) << "\n";
        }
    }
    return failures;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 4) {
        std::cerr << "usage: nodalwrangler_test BINARY GROUP SOURCE\n";
        return 2;
    }
    setenv("NW", fs::absolute(argv[1]).c_str(), 1);
    setenv("NW_SOURCE", argv[3], 1);
    setenv("AS_USER", geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "", 1);
    const std::string group = argv[2];
    // In memory where there is room: the random group makes thousands of runs.
    std::string scratch = fs::is_directory("/dev/shm") ? "/dev/shm/nwtest.XXXXXX" : "/tmp/nwtest.XXXXXX";
    const fs::path root = mkdtemp(scratch.data());
    const fs::path work = root / "work";
    fs::create_directories(work);
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    int passed = 0;
    int failed = 0;
    if (group == "random") {
        constexpr int kCases = 3000;
        failed = CheckRandomCounts(work, kCases, 20261208);
        passed = kCases - failed;
    }
    if (group == "permissions" && Run({"/bin/sh", "-c", R"($AS_USER "$NW")"}, work).status != 1) {
        std::cout << "skipped: the tool cannot be run as a user whom file permissions bind\n";
        fs::remove_all(root);
        return kSkipped;
    }
    if (group == "faults" && Run({"/bin/sh", "-c", R"(strace -o /dev/null "$NW")"}, work).status != 1) {
        std::cout << "skipped: strace cannot trace the tool here, so no fault can be injected\n";
        fs::remove_all(root);
        return kSkipped;
    }
    for (const Row& row : Table()) {
        if (row.group != group) {
            continue;
        }
        for (bool existing : {false, true}) {
            const std::string problem = Check(row, work, existing);
            if (problem.empty()) {
                ++passed;
                continue;
            }
            ++failed;
            std::cout << "FAIL: " << row.command << " with nodes " << (row.nodes ? Quoted(*row.nodes) : "(none)")
                      << (existing ? " and an existing topo" : "") << ": " << problem << "\n";
        }
    }
    fs::remove_all(root);
    std::cout << passed << " passed, " << failed << " failed\n";
    return failed == 0 && passed > 0 ? 0 : 1;
}
