// End-to-end tests of the built tool: `nodalwrangler_test BINARY GROUP` runs one group of the table.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string kUsage = " Usage : \n nodalwrangler  node_file  \n        topology_file_OUT \n";
const char* const kRun = R"("$NW" nodes topo)";

// One case. The command runs under sh in a fresh work folder that holds `nodes`
// (unless null), and then `topo` too on a second run, so that every row is
// tried both with and without an existing topology file.
struct Row {
    const char* group;
    std::optional<std::string> nodes;
    const char* command;
    int status;
    const char* err;  // the diagnostic after "nodalwrangler: FILE:LINE: "
    int count = 0;    // status 0: the topology file holds this many nodes
    const char* output = "topo";
    const char* setup = "";
};

std::vector<Row> Table()
{
    std::vector<Row> rows = {
        // Usage: exact bytes, status 1, and no file created or changed.
        {"usage", "5", R"("$NW")", 1, ""},
        {"usage", "5", R"("$NW" nodes)", 1, ""},
        {"usage", "5", R"("$NW" nodes topo extra)", 1, "", 0, "topo", "echo keep >extra"},
        // Bounds, and overflow: a count must never wrap into range.
        {"counts", "1000001", kRun, 2, "ReadNodeFile: check failed: NNodes <= 1000000"},
        {"counts", "-1", kRun, 2, "ReadNodeFile: check failed: 0 <= NNodes"},
        {"counts", "0", kRun, 2, "WriteTopologyFile: check failed: 0 < NNodes"},
        {"counts", "-0", kRun, 2, "WriteTopologyFile: check failed: 0 < NNodes"},
        {"counts", "4294967297", kRun, 2, "ReadNodeFile: check failed: NNodes <= 1000000"},
        {"counts", "4294967296", kRun, 2, "ReadNodeFile: check failed: NNodes <= 1000000"},
        {"counts", "2147483648", kRun, 2, "ReadNodeFile: check failed: NNodes <= 1000000"},
        {"counts", "123456789012345678901234567890", kRun, 2, "ReadNodeFile: check failed: NNodes <= 1000000"},
        {"counts", "-4294967295", kRun, 2, "ReadNodeFile: check failed: 0 <= NNodes"},
        {"counts", "-2147483649", kRun, 2, "ReadNodeFile: check failed: 0 <= NNodes"},
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
        {"files", "5", R"("$NW" nodes missing/topo)", 2,
         "WriteTopologyFile: check failed: fp != ((void *)0): missing/topo: No such file or directory"},
        {"files", "5", R"("$NW" nodes dir)", 2,
         "WriteTopologyFile: check failed: fp != ((void *)0): dir: Is a directory", 0, "topo", "mkdir dir"},
        // The node file is read and closed before the same path is rewritten.
        {"files", "3\nrest", R"("$NW" nodes nodes)", 0, "", 3, "nodes"},
        // A writer that keeps its pipe open after the count must not block the reader.
        {"files", "", R"((printf '4\n'; exec sleep 10) >fifo & timeout 5 "$NW" fifo topo; s=$?; kill $!; exit $s)", 0,
         "", 4, "topo", "mkfifo fifo"},
        // A full disk is a failure, both in the loop and at the final flush.
        {"write-errors", "1000000", R"("$NW" nodes /dev/full)", 2,
         "WriteTopologyFile: check failed: ferror(fp) == 0: /dev/full: No space left on device"},
        {"write-errors", "1", R"("$NW" nodes /dev/full)", 2,
         "WriteTopologyFile: check failed: fclose(fp) == 0: /dev/full: No space left on device"},
    };
    // Every digit-count boundary, where a hand-rolled counter would carry wrong.
    for (int n = 1; n <= 1000000; n *= 10) {
        for (int count : {n - 1, n, n + 1}) {
            if (count > 0 && count <= 1000000) {
                rows.push_back({"counts", std::to_string(count), kRun, 0, "", count});
            }
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
Result Run(const std::vector<const char*>& argv, const fs::path& dir)
{
    const fs::path out = dir.parent_path() / "stdout";
    const fs::path err = dir.parent_path() / "stderr";
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0 || dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1) != 1 ||
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2) != 2) {
            _exit(127);
        }
        std::vector<const char*> args = argv;
        args.push_back(nullptr);
        execv(args[0], const_cast<char* const*>(args.data()));
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus), ReadFile(out), ReadFile(err)};
}

// The diagnostic without its "nodalwrangler: src/nodalwrangler.cpp:LINE: " prefix, or "" if it lacks one.
std::string Condition(const std::string& err)
{
    const std::string prefix = "nodalwrangler: src/nodalwrangler.cpp:";
    const auto end = err.find(": ", prefix.size());
    if (err.rfind(prefix, 0) != 0 || end == std::string::npos || end == prefix.size() || err.back() != '\n' ||
        err.find_first_not_of("0123456789", prefix.size()) != end) {
        return "";
    }
    return err.substr(end + 2, err.size() - end - 3);
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
    const auto before = Snapshot(work);
    const Result result = Run({"/bin/sh", "-c", row.command}, work);
    const std::string err = row.status == 2 ? Condition(result.err) : result.err;
    const std::string wantErr = row.status == 1 ? kUsage : row.err;
    if (result.status != row.status) {
        return "status " + std::to_string(result.status) + ", stderr: " + result.err;
    }
    if (!result.out.empty() || err != wantErr) {
        return "stdout: '" + result.out + "', stderr: '" + result.err + "'";
    }
    if (row.status == 0 && ReadFile(work / row.output) != Reference(row.count)) {
        return "wrong topology file " + std::string(row.output);
    }
    if (row.status != 0 && Snapshot(work) != before) {
        return "a failed run changed the work folder";
    }
    return "";
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::cerr << "usage: nodalwrangler_test BINARY GROUP\n";
        return 2;
    }
    setenv("NW", fs::absolute(argv[1]).c_str(), 1);
    const std::string group = argv[2];
    char scratch[] = "/tmp/nodalwrangler_test.XXXXXX";
    const fs::path root = mkdtemp(scratch);
    int passed = 0;
    int failed = 0;
    for (const Row& row : Table()) {
        for (bool existing : {false, true}) {
            if (row.group != group) {
                continue;
            }
            const std::string problem = Check(row, root / "work", existing);
            if (problem.empty()) {
                ++passed;
                continue;
            }
            ++failed;
            std::cout << "FAIL: " << row.command << " with nodes '" << row.nodes.value_or("(none)") << "'"
                      << (existing ? " and an existing topo" : "") << ": " << problem << "\n";
        }
    }
    fs::remove_all(root);
    std::cout << passed << " passed, " << failed << " failed\n";
    return failed == 0 && passed > 0 ? 0 : 1;
}
