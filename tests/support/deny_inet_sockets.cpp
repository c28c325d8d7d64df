// Runs a program in a process where the system refuses IPv4 sockets:
// installs a seccomp filter under which socket(AF_INET, ...) fails with
// EACCES (every other call, other socket families included, is allowed),
// then executes argv[1] with the arguments that follow.
// Exit 77, with the reason on stderr, when this system cannot install the
// filter; 70 when the filter does not bite; 127 when the program cannot be
// executed.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kUnavailable = 77;

#if defined(__x86_64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr unsigned kAuditArch = 0;
#endif

// The low 32 bits of the first argument (the address family).
constexpr unsigned kFamilyOffset = offsetof(seccomp_data, args[0]) +
                                   (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <program> [arguments...]\n", argv[0]);
        return 2;
    }
    if (kAuditArch == 0) {
        std::fprintf(stderr, "no seccomp filter written for this architecture\n");
        return kUnavailable;
    }
    sock_filter filter[] = {
        // System call numbers mean something else under another ABI.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kFamilyOffset),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        std::fprintf(stderr, "prctl(PR_SET_NO_NEW_PRIVS): %s\n", std::strerror(errno));
        return kUnavailable;
    }
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::fprintf(stderr, "prctl(PR_SET_SECCOMP): %s\n", std::strerror(errno));
        return kUnavailable;
    }
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    if (probe >= 0 || errno != EACCES) {
        std::fprintf(stderr, "the filter let an IPv4 socket through (%s)\n",
                     probe >= 0 ? "opened" : std::strerror(errno));
        return 70;
    }
    execv(argv[1], argv + 1);
    std::fprintf(stderr, "execv %s: %s\n", argv[1], std::strerror(errno));
    return 127;
}
