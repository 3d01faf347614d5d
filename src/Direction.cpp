#include "Direction.h"

#include "GPIO.h"

namespace {

// A USB adapter that switches its driver by itself.
class SelfSwitching : public Direction {
public:
    void driverOn() override {}
    void driverOff() override {}
};

// A sysfs pin, exported and made an output.
class SysfsPin : public Direction {
public:
    SysfsPin(const std::string& number, const std::string& root) : pin(number, root) { pin.setdirGpio("out"); }
    void driverOn() override { pin.setvalGpio("1"); }
    void driverOff() override { pin.setvalGpio("0"); }

private:
    GPIO pin;
};

}  // namespace

std::unique_ptr<Direction> Direction::open(const DirectionSettings& settings, int) {
    switch (settings.mode) {
        case DirectionSettings::Mode::none:
            return std::make_unique<SelfSwitching>();
        case DirectionSettings::Mode::sysfs:
        default:
            return std::make_unique<SysfsPin>(settings.gpio,
                                              settings.gpioRoot.empty() ? GPIO::DEFAULT_ROOT : settings.gpioRoot);
    }
}
