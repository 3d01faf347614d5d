#ifndef PELKO_TEST_EMULATION_H
#define PELKO_TEST_EMULATION_H

#include <cstdlib>

// True when the tests run under qemu-user (cross builds set PELKO_EMULATED=1
// for their test runs). The emulator neither translates every termios speed
// nor can a syscall filter installed through it match the target's numbers.
inline bool runningEmulated() {
    const char* value = std::getenv("PELKO_EMULATED");
    return value != nullptr && value[0] == '1';
}

#endif
