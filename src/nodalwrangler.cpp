// nodalwrangler: read a node count from a node file and write the topology file for that many nodes.

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// The node count, set once by ReadNodeFile and only read by WriteTopologyFile.
std::int32_t NNodes = 0;

namespace {

constexpr std::int32_t kMaxNodes = 1000000;
constexpr std::size_t kCountText = 16;  // room for any count and its end
constexpr int kUsageStatus = 1;
constexpr int kCheckStatus = 2;
constexpr unsigned char kDelete = 0x7f;
constexpr std::size_t kEscapeWidth = 4;  // the longest escape of a byte: "\\233"
// The buffer for a message on standard error. It holds the whole line for any
// path the system accepts (PATH_MAX bytes, each escaped to at most
// kEscapeWidth), so such a line goes out in one write; a longer line goes out
// in pieces.
constexpr std::size_t kMessageBytes = kEscapeWidth * PATH_MAX + 1024;
// The file a diagnostic names: always this one, as the project lays it out,
// whatever path and path maps the build compiled it under.
constexpr const char* kSourceFile = "src/nodalwrangler.cpp";
constexpr const char* kUsage = " Usage : \n nodalwrangler  node_file  \n        topology_file_OUT \n";

// The message being built for standard error. In static storage, on neither
// the heap nor the stack, so that a failure is still told when memory has run
// out or the stack limit is small.
std::array<char, kMessageBytes> message;
std::size_t messageLength = 0;

// How long one wait for room on a full descriptor lasts before the write is
// tried again. Room ends a wait at once, but a peer that shuts down reading on
// a socket and keeps it open wakes no poll, and only a write finds that out; a
// second finds it soon, and costs nothing next to a reader that is not reading.
constexpr int kWaitMilliseconds = 1000;

// Returns whether `fd` is a pipe, a socket or a character device such as a
// terminal, where poll tells when a full descriptor has room again. Elsewhere,
// as on a regular file whose file system refuses a write with EAGAIN, poll is
// always ready and no wait helps.
bool CanWaitForRoom(int fd)
{
    struct stat status {};
    return fstat(fd, &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || S_ISCHR(status.st_mode));
}

// Writes all of `bytes` to `fd` and returns true, or returns false with errno
// set once the descriptor fails for good. A write that takes no bytes is such
// a failure, with ENOSPC as its reason: a full device or a misbehaving file
// system answers so, and trying again would never end. The C library's
// streams retry it, so every write of the tool goes through here. A write
// refused with EAGAIN is tried again only where a wait can bring room, and
// only after a wait, so the loop never spins; the descriptor's flags are
// shared with whoever opened it, so they are left as they are.
bool WriteAll(int fd, std::string_view bytes)
{
    const char* roomAt = nullptr;  // where a wait last reported room
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
        } else if (written == 0) {
            errno = ENOSPC;
            return false;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!CanWaitForRoom(fd)) {
                errno = EAGAIN;
                return false;
            }
            // Room reported where the write then found none shows that poll
            // is no guide here: until a byte goes through, a wait only sleeps.
            pollfd room = {.fd = fd, .events = POLLOUT, .revents = 0};
            if (poll(&room, roomAt == bytes.data() ? 0 : 1, kWaitMilliseconds) > 0) {
                roomAt = bytes.data();
            }
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Writes the message built so far to standard error, all of it unless the
// descriptor fails for good (closed, a reader gone, or full where no wait
// helps), and empties it. The C library's stream would drop the rest of the
// line at a full non-blocking pipe.
void Flush()
{
    (void)WriteAll(STDERR_FILENO, {message.data(), messageLength});  // nowhere left to report a failure
    messageLength = 0;
}

// Adds `bytes` to the message, flushing it whenever the buffer is full.
void Put(std::string_view bytes)
{
    while (!bytes.empty()) {
        if (messageLength == message.size()) {
            Flush();
        }
        const std::size_t piece = std::min(bytes.size(), message.size() - messageLength);
        std::copy_n(bytes.begin(), piece, message.begin() + static_cast<std::ptrdiff_t>(messageLength));
        messageLength += piece;
        bytes.remove_prefix(piece);
    }
}

// The forms of a UTF-8 character fit to print, from the Unicode standard's
// table of well-formed sequences: for a lead byte from `first` to `last`, the
// character's length and the range of its second byte. That range refuses
// overlong forms, surrogates, code points past U+10FFFF and, for the lead
// byte 0xc2, the C1 controls (U+0080 to U+009F), which a terminal obeys.
struct Utf8Form {
    unsigned first;
    unsigned last;
    std::size_t length;
    unsigned low;
    unsigned high;
};
constexpr unsigned kContinuationLow = 0x80;  // also the first byte past ASCII
constexpr unsigned kContinuationHigh = 0xbf;
constexpr unsigned kContinuationBits = 6;
constexpr unsigned kLeadBits = 0x7f;  // a lead byte's value bits, shifted right by the form's length
constexpr std::array<Utf8Form, 9> kUtf8Forms = {{
    {0xc2, 0xc2, 2, 0xa0, 0xbf},
    {0xc3, 0xdf, 2, 0x80, 0xbf},
    {0xe0, 0xe0, 3, 0xa0, 0xbf},
    {0xe1, 0xec, 3, 0x80, 0xbf},
    {0xed, 0xed, 3, 0x80, 0x9f},
    {0xee, 0xef, 3, 0x80, 0xbf},
    {0xf0, 0xf0, 4, 0x90, 0xbf},
    {0xf1, 0xf3, 4, 0x80, 0xbf},
    {0xf4, 0xf4, 4, 0x80, 0x8f},
}};

// Characters that show as nothing but change how a line reads: the
// bidirectional marks, embeddings, overrides and isolates, which reorder the
// text after them, and the line and paragraph separators, at which many
// viewers break the line.
struct CodeRange {
    char32_t first;
    char32_t last;
};
constexpr std::array<CodeRange, 4> kLayoutControls = {{
    {0x061c, 0x061c},  // arabic letter mark
    {0x200e, 0x200f},  // left-to-right and right-to-left marks
    {0x2028, 0x202e},  // the separators, then the embeddings and overrides
    {0x2066, 0x2069},  // the isolates
}};

// Returns how many bytes at the start of the non-empty `text` make one
// character fit to print raw on a terminal: printable ASCII, or one of
// kUtf8Forms that is not in kLayoutControls. Returns 0 for a control, and for
// a byte that does not start such a character, which an 8-bit terminal may
// obey as a C1 control.
std::size_t PrintableLength(std::string_view text)
{
    const auto at = [text](std::size_t i) { return unsigned{static_cast<unsigned char>(text[i])}; };
    const unsigned lead = at(0);
    if (lead < kContinuationLow) {
        return lead >= ' ' && lead != kDelete ? 1 : 0;
    }
    for (const Utf8Form& form : kUtf8Forms) {
        if (lead < form.first || lead > form.last) {
            continue;
        }
        if (text.size() < form.length || at(1) < form.low || at(1) > form.high) {
            return 0;
        }
        char32_t code = lead & (kLeadBits >> form.length);
        for (std::size_t i = 1; i < form.length; ++i) {
            if (at(i) < kContinuationLow || at(i) > kContinuationHigh) {
                return 0;
            }
            code = code << kContinuationBits | (at(i) - kContinuationLow);
        }
        const auto hides = [code](CodeRange range) { return code >= range.first && code <= range.last; };
        return std::any_of(kLayoutControls.begin(), kLayoutControls.end(), hides) ? 0 : form.length;
    }
    return 0;
}

// Adds `path` to the diagnostic fit to print on one line: each byte that could end
// the line or drive a terminal becomes an escape (\n, \t, or octal such as
// \033), and so does each byte of a character that would change how the line
// reads; a backslash is doubled so that no escape is ambiguous. Every other
// printable character, UTF-8 text included, is kept as it was given.
void PutPath(std::string_view path)
{
    while (!path.empty()) {
        const char c = path.front();
        const std::size_t length = PrintableLength(path);
        if (c == '\\' || c == '\n' || c == '\t') {
            Put(c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\\\");
        } else if (length == 0) {
            const auto byte = static_cast<unsigned char>(c);
            const std::array<char, kEscapeWidth> octal = {'\\', static_cast<char>('0' + byte / 8 / 8),
                                                          static_cast<char>('0' + byte / 8 % 8),
                                                          static_cast<char>('0' + byte % 8)};
            Put({octal.data(), octal.size()});
        } else {
            Put(path.substr(0, length));
        }
        path.remove_prefix(std::max<std::size_t>(length, 1));
    }
}

// Writes one diagnostic line for the check at `sourceLine` that failed to
// standard error, with the path and `reason` when `path` is given, and ends
// the process with kCheckStatus.
[[noreturn]] void FailCheck(const char* operation, const char* condition, const char* path, const char* reason,
                            unsigned sourceLine)
{
    std::array<char, std::numeric_limits<unsigned>::digits10 + 1> number{};
    const std::string_view sourceLineText(number.data(), std::to_chars(number.begin(), number.end(), sourceLine).ptr);
    for (const std::string_view piece : std::initializer_list<std::string_view>{
             "nodalwrangler: ", kSourceFile, ":", sourceLineText, ": ", operation, ": check failed: ", condition}) {
        Put(piece);
    }
    if (path != nullptr) {
        Put(": ");
        PutPath(path);
        Put(": ");
        Put(reason);
    }
    Put("\n");
    Flush();
    // Nothing is left to flush or destroy: end here, running nothing more.
    std::_Exit(kCheckStatus);
}

// Fails the check named `condition` unless `holds`. Give `path` with the
// file that the check is about, and `reason` to say what is wrong with it;
// without `reason` the system's reason for the last failed call is given.
// The caller's source line comes from the builtin rather than std::source_location,
// which the lint toolchain cannot parse.
void Check(bool holds, const char* operation, const char* condition, const char* path = nullptr,
           const char* reason = nullptr, unsigned sourceLine = __builtin_LINE())
{
    if (!holds) {
        FailCheck(operation, condition, path, reason != nullptr ? reason : std::strerror(errno), sourceLine);
    }
}

// A count as read from the node file. `exact` tells whether `value` is the
// number the file holds; when the scan stopped at a bound before the number's
// last digit, it is not, and `value` is only known to be past that bound.
struct Count {
    std::int32_t value;
    bool exact;
};

// Scans a decimal integer as "%d" would: white space, an optional sign, then
// digits up to the first non-digit. Gives 0 when no number is there.
// The value saturates instead of wrapping: the scan stops at the first digit
// that puts the value past a bound, since no later digit can bring it back,
// so an endless number ends as soon as it is out of range. Leading white
// space and leading zeros are read until they end, however long they are,
// because a digit after them could still make a valid count.
Count ScanCount(std::FILE* fp)
{
    int c = 0;
    do {
        c = std::getc(fp);
    } while (std::isspace(c) != 0);
    const bool negative = c == '-';
    if (c == '-' || c == '+') {
        c = std::getc(fp);
    }
    std::int32_t magnitude = 0;  // at most 10 * kMaxNodes + 9
    for (; std::isdigit(c) != 0 && magnitude <= kMaxNodes; c = std::getc(fp)) {
        magnitude = magnitude * 10 + (c - '0');
    }
    return {negative ? -magnitude : magnitude, std::isdigit(c) == 0};
}

// Returns what the node file holds, as a diagnostic's reason: the count,
// written into `text`, or, when its scan stopped early, which bound it is past.
const char* Describe(Count count, std::array<char, kCountText>& text)
{
    if (!count.exact) {
        return count.value < 0 ? "below 0" : "above 1000000";
    }
    *std::to_chars(text.begin(), text.end() - 1, count.value).ptr = '\0';
    return text.data();
}

// Opens /dev/null on each standard descriptor, 0 to 2, that is closed, so
// that neither file the tool opens can take one: a diagnostic meant for
// standard error must never land in the topology file. One poll of all three
// marks each closed one with POLLNVAL, in one call where a test of each
// descriptor would make three.
void KeepStandardStreams()
{
    std::array<pollfd, 3> streams = {{{STDIN_FILENO, 0, 0}, {STDOUT_FILENO, 0, 0}, {STDERR_FILENO, 0, 0}}};
    // It only looks, and fails only under a limit of fewer than three descriptors, where no file can take 2.
    (void)poll(streams.data(), streams.size(), 0);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if ((streams.at(fd).revents & POLLNVAL) != 0) {
            Check(open("/dev/null", O_RDWR) == fd, "main", "open(\"/dev/null\", O_RDWR) == fd", "/dev/null");
        }
    }
}

// Output goes out in pieces of exactly kBlockSize bytes at offsets that are
// multiples of it, each one write(2) of whole pages; fewer, larger writes
// cost less CPU time per byte.
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
constexpr std::array<Suffix, kRunLines> MakeSuffixes()
{
    std::array<Suffix, kRunLines> suffixes{};
    for (std::size_t i = 0; i < suffixes.size(); ++i) {
        std::size_t rest = i;
        for (std::ptrdiff_t digit = kRunDigits - 1; digit >= 0; --digit, rest /= 10) {
            suffixes[i].at(digit) = static_cast<char>('0' + rest % 10);
        }
        std::copy(kLineEnd.begin(), kLineEnd.end(), suffixes[i].begin() + kRunDigits);
    }
    return suffixes;
}
constexpr auto kSuffixes = MakeSuffixes();
// A huge page, and the count from which the block is backed by one. A first
// touch of a small page costs as much as a tenth of a huge one, so the huge
// page pays once the output spans a few dozen small pages, from about 10,000
// nodes, and costs more than it saves below that.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::int32_t kHugePageCount = 10 * kRunLines;
static_assert(kBlockSize + kRunBytes <= std::ptrdiff_t{kHugePage}, "the block and its slack fit in one huge page");

// Writes the kRunLines lines whose index starts with the kWidth digits at
// `prefix` to `out`, and returns their end. Each line is two 8-byte stores:
// the prefix, then the suffix over the prefix's slack, which takes far fewer
// instructions than copying each line whole. The inner loop unrolls, so that
// every store has a fixed offset.
template <std::ptrdiff_t kWidth>
char* WriteRun(char* out, const char* prefix)
{
    constexpr std::ptrdiff_t kLine = kWidth + sizeof(Suffix);
    std::uint64_t head = 0;
    std::memcpy(&head, prefix, sizeof head);
    for (std::size_t tens = 0; tens < kSuffixes.size(); tens += 10) {
        for (std::ptrdiff_t unit = 0; unit < 10; ++unit) {
            std::memcpy(out + unit * kLine, &head, sizeof head);
            std::memcpy(out + unit * kLine + kWidth, &kSuffixes[tens + unit], sizeof(Suffix));
        }
        out += 10 * kLine;
    }
    return out;
}

// Returns a block of kBlockSize + kRunBytes bytes inside one 2 MiB-aligned
// span of static memory, and asks for a huge page behind it when `count`
// lines make that pay. Whether the kernel gives one changes the cost of the
// first touch, never the output.
char* PrepareBlock(std::int32_t count)
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
// `fd`, and returns whether every write went through. This is the one hot
// loop. Lines are made into the block a run at a time (see WriteRun); each
// full block is written whole and the tail that ran past it is carried to the
// front. Memory does not grow with the count. The first failed write ends the
// writing, with errno set, so the file left is a prefix of the topology.
bool WriteLines(int fd, std::int32_t count)
{
    char* const block = PrepareBlock(count);
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
            if (!WriteAll(fd, {block, kBlockSize})) {
                return false;
            }
            out = std::copy(block + kBlockSize, out, block);
        }
    }
    return WriteAll(fd, {block, static_cast<std::size_t>(out - block)});
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
    const Count count = ScanCount(fp);
    NNodes = count.value;
    // A read error could have cut the number short, or be a directory.
    Check(std::ferror(fp) == 0, __func__, "ferror(fp) == 0", path);
    std::array<char, kCountText> text{};
    const char* const read = Describe(count, text);
    Check(0 <= NNodes, __func__, "0 <= NNodes", path, read);
    Check(NNodes <= kMaxNodes, __func__, "NNodes <= 1000000", path, read);
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
    // The lines go to fp's descriptor whole: its buffer would only split the
    // blocks, and its write loop never gives up on a write that takes nothing.
    Check(WriteLines(fileno(fp), NNodes), __func__, "WriteLines(fileno(fp), NNodes)", path);
    Check(std::fclose(fp) == 0, __func__, "fclose(fp) == 0", path);
}

int main(int argc, char* argv[])
{
    if (argc != 3) {
        Put(kUsage);
        Flush();
        return kUsageStatus;
    }
    KeepStandardStreams();
    ReadNodeFile(argv[1]);
    WriteTopologyFile(argv[2]);
    return EXIT_SUCCESS;
}
