#ifndef PELKO_RS485_H
#define PELKO_RS485_H

#include <string>

#include "Direction.h"

// The serial driver's own RS-485 mode: the kernel raises RTS (the
// transceiver's driver enable) for each transmission and drops it on the
// last stop bit, which no user-space switch can time as well. Switching on
// and off is therefore nothing to do here.
class RS485 : public Direction {
public:
    // Puts the open serial port `fd` into RS-485 mode; `device` names it in
    // messages. A port without RS-485 support ends the process (status 1).
    RS485(int fd, const std::string& device, unsigned int delayBeforeMs, unsigned int delayAfterMs,
          bool rtsActiveLow, const IoctlCall& ioctlCall = {});

    void driverOn() override {}
    void driverOff() override {}
};

#endif
