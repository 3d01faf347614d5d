#ifndef PELKO_TEST_FAKESYSFS_H
#define PELKO_TEST_FAKESYSFS_H

#include <string>

#include "TempDir.h"

// A temporary directory laid out like /sys/class/gpio: "export", "unexport"
// and, for the pins prepared with addPin, gpioN/direction and gpioN/value.
// Plain files stand in for the kernel's: writes accumulate unless truncated.
class FakeSysfs {
public:
    FakeSysfs();
    const std::string& root() const { return dir_.path(); }
    // Creates gpio<pin>/direction and gpio<pin>/value (value "0\n").
    void addPin(const std::string& pin);
    std::string read(const std::string& relative) const { return dir_.read(relative); }
    void write(const std::string& relative, const std::string& text) const { dir_.write(relative, text); }
    bool exists(const std::string& relative) const { return dir_.exists(relative); }

private:
    TempDir dir_;
};

#endif
