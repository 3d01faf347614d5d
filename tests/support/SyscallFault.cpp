#include "SyscallFault.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstddef>
#include <vector>

namespace {

#if defined(__x86_64__)
constexpr unsigned int ARCH = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned int ARCH = AUDIT_ARCH_AARCH64;
#else
constexpr unsigned int ARCH = 0;
#endif

// Offset of the low 32 bits of a 64-bit syscall argument.
unsigned int argLow(int index) {
    unsigned int offset = static_cast<unsigned int>(offsetof(seccomp_data, args)) + 8u * static_cast<unsigned int>(index);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    offset += 4;
#endif
    return offset;
}

}  // namespace

bool failSyscallOn(long nr, int fd, int err, long request) {
    if (ARCH == 0) return false;
    const sock_filter allow = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    std::vector<sock_filter> prog = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARCH, 1, 0),
        allow,
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(nr), 1, 0),
        allow,
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argLow(0)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(fd), 1, 0),
        allow,
    };
    if (request >= 0) {
        prog.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argLow(1)));
        prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(request), 1, 0));
        prog.push_back(allow);
    }
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned int>(err) & SECCOMP_RET_DATA)));

    sock_fprog fprog{};
    fprog.len = static_cast<unsigned short>(prog.size());
    fprog.filter = prog.data();
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

int nextDescriptor() {
    const int probe = open("/dev/null", O_RDONLY);
    if (probe >= 0) close(probe);
    return probe;
}
