#include "Direction.h"

#include <unistd.h>

#include "GPIO.h"
#include "GPIOChip.h"
#include "RS485.h"

namespace {

// A USB adapter that switches its driver by itself.
class SelfSwitching : public Direction {
public:
    void driverOn() override {}
    void driverOff() override {}
};

// A sysfs pin, exported and made an output ("out" starts it at 0).
class SysfsPin : public Direction {
public:
    SysfsPin(const std::string& number, const std::string& root) : pin(number, root) { pin.setdirGpio("out"); }
    void driverOn() override { pin.setvalGpio("1"); }
    void driverOff() override { pin.setvalGpio("0"); }

private:
    GPIO pin;
};

}  // namespace

std::unique_ptr<Direction> Direction::open(const DirectionSettings& settings, int serialFd) {
    switch (settings.mode) {
        case DirectionSettings::Mode::none:
            return std::make_unique<SelfSwitching>();
        case DirectionSettings::Mode::gpiochip:
            return std::make_unique<GPIOChip>(settings.gpioChip, settings.gpio);
        case DirectionSettings::Mode::rs485: {
            std::string device = settings.serialDevice;
            if (device.empty()) {
                const char* name = ttyname(serialFd);
                device = name ? name : "the serial port";
            }
            return std::make_unique<RS485>(serialFd, device, settings.rtsDelayBeforeMs, settings.rtsDelayAfterMs,
                                           settings.rtsActiveLow);
        }
        case DirectionSettings::Mode::sysfs:
        default:
            return std::make_unique<SysfsPin>(settings.gpio,
                                              settings.gpioRoot.empty() ? GPIO::DEFAULT_ROOT : settings.gpioRoot);
    }
}
