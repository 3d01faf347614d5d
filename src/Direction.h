#ifndef PELKO_DIRECTION_H
#define PELKO_DIRECTION_H

#include <functional>
#include <memory>
#include <string>

// The kernel's ioctl(), replaceable so that tests can check what a backend
// asks of the kernel.
using IoctlCall = std::function<int(int fd, unsigned long request, void* arg)>;

// How the half-duplex line's driver is switched, as pelko.conf chooses it.
struct DirectionSettings {
    enum class Mode { sysfs, gpiochip, rs485, none };

    Mode mode = Mode::sysfs;
    std::string gpio;      // sysfs: global pin number; gpiochip: line offset or line name
    std::string gpioRoot;  // sysfs: where the GPIO class lives
    std::string gpioChip;  // gpiochip: device path or chip label (empty: search every chip)
    unsigned int rtsDelayBeforeMs = 0;  // rs485: RTS raised this long before the first bit
    unsigned int rtsDelayAfterMs = 0;   // rs485: and held this long after the last one
    bool rtsActiveLow = false;          // rs485: the driver is on while RTS is low
    std::string serialDevice;           // rs485: the serial device's name, for messages

    // The driver can only be set up once the serial port is open.
    bool needsOpenPort() const { return mode == Mode::rs485; }
};

// The bus master's one view of the line driver: on before a frame, off after
// its echo. A backend that cannot do its job ends the process with status 1
// after a line naming the device and the reason.
class Direction {
public:
    virtual ~Direction() = default;
    virtual void driverOn() = 0;
    virtual void driverOff() = 0;

    // Sets up the backend `settings` choose, the driver off. `serialFd` is
    // the open serial port (only the rs485 mode uses it).
    static std::unique_ptr<Direction> open(const DirectionSettings& settings, int serialFd);
};

#endif
