#ifndef PELKO_TEST_FAKESYSFS_H
#define PELKO_TEST_FAKESYSFS_H

#include <filesystem>

#include "TempDir.h"

// A temporary directory laid out like /sys/class/gpio: "export", "unexport"
// and, for pins prepared with addPin, gpioN/direction ("in") and gpioN/value
// ("0"). Plain files stand in for the kernel's: writes accumulate unless truncated.
class FakeSysfs : public TempDir {
public:
    FakeSysfs() {
        write("export", "");
        write("unexport", "");
    }
    const std::string& root() const { return path(); }
    void addPin(const std::string& pin) const {
        std::filesystem::create_directories(file("gpio" + pin));
        write("gpio" + pin + "/direction", "in\n");
        write("gpio" + pin + "/value", "0\n");
    }
};

#endif
