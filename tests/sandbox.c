/* sandbox COMMAND...: runs COMMAND where ptrace and turning off address
 * randomisation are refused, as the seccomp profiles of containers do. Like
 * them, it covers 32-bit programs too, which a filter of the native
 * architecture alone would kill. */
#include <errno.h>
#include <seccomp.h>
#include <stdio.h>
#include <sys/personality.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 2) {
        fputs("usage: sandbox COMMAND...\n", stderr);
        return 125;
    }
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (filter == NULL || seccomp_arch_add(filter, SCMP_ARCH_X86) != 0 || seccomp_arch_add(filter, SCMP_ARCH_X32) != 0 ||
        seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(ptrace), 0) != 0 ||
        seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(personality), 1,
                         SCMP_A0(SCMP_CMP_MASKED_EQ, ADDR_NO_RANDOMIZE | 0xffff0000U, ADDR_NO_RANDOMIZE)) != 0 ||
        seccomp_load(filter) != 0) {
        fputs("sandbox: cannot load the seccomp filter\n", stderr);
        return 125;
    }
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
