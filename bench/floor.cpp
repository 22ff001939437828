// The write floor: creates or empties the file FILE and writes BYTES bytes to
// it from a 1 MiB buffer filled beforehand, one write(2) per MiB. No program
// that writes those bytes through the kernel in 1 MiB pieces can do less.
// With "huge" the buffer asks for a huge page, as the tool's block does.
// Usage: floor FILE BYTES [huge]

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {
constexpr long kBuffer = 1L << 20U;
constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20U;
char arena[2 * kHuge];
}  // namespace

int main(int argc, char* argv[])
{
    char* const buffer = arena + (kHuge - reinterpret_cast<std::uintptr_t>(arena) % kHuge);
    if (argc > 3 && std::strcmp(argv[3], "huge") == 0) {
        (void)madvise(buffer, kHuge, MADV_HUGEPAGE);
    }
    std::memset(buffer, '0', kBuffer);
    long left = argc > 2 ? std::atol(argv[2]) : 0;
    const int fd = argc > 1 ? open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0666) : -1;
    for (long n = 0; fd >= 0 && left > 0; left -= n) {
        n = write(fd, buffer, left < kBuffer ? left : kBuffer);
        if (n <= 0) {
            return 2;
        }
    }
    return fd >= 0 && close(fd) == 0 ? 0 : 2;
}
