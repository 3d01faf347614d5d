#include "RS485.h"

#include "Console.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

RS485::RS485(int fd, const std::string& device, unsigned int delayBeforeMs, unsigned int delayAfterMs,
             bool rtsActiveLow, const IoctlCall& ioctlCall) {
    serial_rs485 mode{};
    // RTS is the driver enable: at its active level while sending, back
    // afterwards so that the line is free for the answer.
    mode.flags = SER_RS485_ENABLED | (rtsActiveLow ? SER_RS485_RTS_AFTER_SEND : SER_RS485_RTS_ON_SEND);
    mode.delay_rts_before_send = delayBeforeMs;
    mode.delay_rts_after_send = delayAfterMs;
    const int r = ioctlCall ? ioctlCall(fd, TIOCSRS485, &mode) : ::ioctl(fd, TIOCSRS485, &mode);
    if (r < 0) {
        const int reason = errno;
        // Drivers without the mode answer ENOTTY (no such ioctl) or EINVAL/EOPNOTSUPP;
        // a user-mode emulator that does not know the request answers ENOSYS.
        const bool unsupported = reason == ENOTTY || reason == EINVAL || reason == EOPNOTSUPP || reason == ENOSYS;
        console::fatal("could not switch " + device + " to RS-485 mode: " +
                       (unsupported ? "no RS-485 support (" + std::string(std::strerror(reason)) + ")"
                                    : std::string(std::strerror(reason))));
    }
}
