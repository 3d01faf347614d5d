#include "BusThreadTuning.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Console.h"

void tuneBusThread(int realtimePriority) {
    // With the default slack every sleep of a pass ends 50 us or more late,
    // and a pass has dozens of them.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (realtimePriority <= 0) return;
    // A page fault in the middle of a frame would cost more than the sleep.
    // On fault: pages stay locked once touched, untouched stack reserves
    // are not pulled into memory.
    if (mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) != 0) {
        console::err(std::string("warning: memory not locked: ") + std::strerror(errno), console::Priority::warning);
    }
    sched_param param{};
    param.sched_priority = realtimePriority;
    const int failed = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (failed != 0) {
        console::err("warning: bus thread left at normal priority, real-time priority " +
                         std::to_string(realtimePriority) + " refused: " + std::strerror(failed),
                     console::Priority::warning);
    }
}
