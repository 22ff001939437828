// nodalwrangler: read a node count from a node file and write the topology file for that many nodes.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The node count, set once by ReadNodeFile and only read by WriteTopologyFile.
std::int32_t NNodes = 0;

namespace {

constexpr std::int32_t kMaxNodes = 1000000;
constexpr int kRadix = 10;
constexpr int kUsageStatus = 1;
constexpr int kCheckStatus = 2;
// Measured against dd at a million nodes: 64 KiB blocks cost a third more
// time than 1 MiB blocks, in per-write work of the file system.
constexpr std::size_t kBlockSize = std::size_t{1} << 20;
constexpr const char* kUsage = " Usage : \n nodalwrangler  node_file  \n        topology_file_OUT \n";

// Writes one diagnostic line for a failed check to standard error, with the
// path and the system's reason for `error` when `path` is given, and ends the
// process with kCheckStatus. Each line is one call, so one write.
[[noreturn]] void FailCheck(const char* operation, const char* condition, const char* path, int error, const char* file,
                            unsigned line)
{
    if (path == nullptr) {
        (void)std::fprintf(stderr, "nodalwrangler: %s:%u: %s: check failed: %s\n", file, line, operation, condition);
    } else {
        (void)std::fprintf(stderr, "nodalwrangler: %s:%u: %s: check failed: %s: %s: %s\n", file, line, operation,
                           condition, path, std::strerror(error));
    }
    // _Exit, not exit: a failed output stream must not be flushed a second time.
    std::_Exit(kCheckStatus);
}

// Fails the check named `condition` unless `holds`. Give `path` when a
// system call failed. The caller's file and line come from the builtins
// rather than std::source_location, which the lint toolchain cannot parse.
void Check(bool holds, const char* operation, const char* condition, const char* path = nullptr,
           const char* file = __builtin_FILE(), unsigned line = __builtin_LINE())
{
    if (!holds) {
        FailCheck(operation, condition, path, errno, file, line);
    }
}

// Scans a decimal integer as "%d" would: white space, an optional sign, then
// digits up to the first non-digit. Returns 0 when no number is there.
// The value saturates instead of wrapping: the scan stops at the first digit
// that puts the value past a bound, since no later digit can bring it back,
// and so an endless run of digits is not read forever.
std::int32_t ScanCount(std::FILE* fp)
{
    int c = 0;
    do {
        c = std::getc(fp);
    } while (std::isspace(c) != 0);
    const bool negative = c == '-';
    if (c == '-' || c == '+') {
        c = std::getc(fp);
    }
    std::int32_t magnitude = 0;  // at most kRadix * kMaxNodes + 9
    for (; std::isdigit(c) != 0 && (negative ? magnitude == 0 : magnitude <= kMaxNodes); c = std::getc(fp)) {
        magnitude = magnitude * kRadix + (c - '0');
    }
    return negative ? -magnitude : magnitude;
}

// Writes the header line and the lines "i   0" for i from 0 to count - 1 to fp.
// This is the one hot loop: a formatted write per line costs several times
// what the bytes cost to copy. So the index is kept as decimal text, lines go
// out ten at a time on a shared prefix of tens, each copied whole into a block
// with only its last digit patched, and full blocks go to the stream in one
// write. Rewriting the template once per ten lines, not per line, keeps the
// copies from waiting on a store just made. Memory stays fixed whatever the
// count. Write errors are left in fp's error state for the caller to check.
void WriteLines(std::FILE* fp, std::int32_t count)
{
    static char block[kBlockSize];
    char* const blockEnd = block + kBlockSize;
    char* out = std::to_chars(block, blockEnd, count).ptr;
    *out++ = '\n';

    // The index's digits stand right-aligned before "   0\n"; a line starts
    // at its first significant digit. The slack after the template lets every
    // copy have the same fixed length, which compiles to plain moves.
    constexpr std::ptrdiff_t kCopy = 16;
    constexpr std::ptrdiff_t kDigits = 7;  // one more than the largest index needs
    char line[kDigits + kCopy] = "0000000   0\n";
    char* const units = line + kDigits - 1;
    const char* const lineEnd = units + std::strlen("0   0\n");
    char* first = units;
    for (std::int32_t tens = 0; tens < count; tens += kRadix) {
        if (blockEnd - out < kRadix * kCopy) {
            (void)std::fwrite(block, 1, out - block, fp);  // fp's error state keeps a failure
            out = block;
        }
        const std::int32_t lines = std::min(kRadix, count - tens);
        for (std::int32_t unit = 0; unit < lines; ++unit) {
            std::memcpy(out, first, kCopy);
            out[units - first] = static_cast<char>('0' + unit);
            out += lineEnd - first;
        }
        char* digit = units - 1;
        while (*digit == '9') {
            *digit-- = '0';
        }
        ++*digit;
        first = std::min(first, digit);
    }
    (void)std::fwrite(block, 1, out - block, fp);
}

}  // namespace

// Reads the node count, the first value of the node file at `path`, into
// NNodes and checks that it lies in [0, kMaxNodes]. The file is closed again
// before return; nothing but the count is read.
void ReadNodeFile(const char* path)
{
    Check(NNodes == 0, __func__, "NNodes == 0");
    std::FILE* fp = std::fopen(path, "r");
    Check(fp != nullptr, __func__, "fp != ((void *)0)", path);
    NNodes = ScanCount(fp);
    // A read error could have cut the number short, or be a directory.
    Check(std::ferror(fp) == 0, __func__, "ferror(fp) == 0", path);
    Check(0 <= NNodes, __func__, "0 <= NNodes");
    Check(NNodes <= kMaxNodes, __func__, "NNodes <= 1000000");
    (void)std::fclose(fp);  // only read from: closing it cannot lose data
}

// Creates or empties the file at `path` and writes the count, then one line
// "i   0" for each node i from 0. A count of 0 fails before the file is
// opened. The file is complete only if every write and the close succeed.
void WriteTopologyFile(const char* path)
{
    Check(0 < NNodes, __func__, "0 < NNodes");
    std::FILE* fp = std::fopen(path, "w");
    Check(fp != nullptr, __func__, "fp != ((void *)0)", path);
    WriteLines(fp, NNodes);
    Check(std::ferror(fp) == 0, __func__, "ferror(fp) == 0", path);
    Check(std::fclose(fp) == 0, __func__, "fclose(fp) == 0", path);
}

int main(int argc, char* argv[])
{
    if (argc != 3) {
        (void)std::fputs(kUsage, stderr);
        return kUsageStatus;
    }
    ReadNodeFile(argv[1]);
    WriteTopologyFile(argv[2]);
    return EXIT_SUCCESS;
}
