#include "FakeSysfs.h"

#include <filesystem>

FakeSysfs::FakeSysfs() {
    dir_.write("export", "");
    dir_.write("unexport", "");
}

void FakeSysfs::addPin(const std::string& pin) {
    std::filesystem::create_directories(dir_.file("gpio" + pin));
    dir_.write("gpio" + pin + "/direction", "in\n");
    dir_.write("gpio" + pin + "/value", "0\n");
}
