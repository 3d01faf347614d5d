#include "GPIO.h"

#include "Console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

const char* const GPIO::DEFAULT_ROOT = "/sys/class/gpio";

namespace {

// A pin that fails stops the gateway, from whichever thread.
[[noreturn]] void fail(const char* message) {
    console::failed(message);
    console::endProcess(1);
}

// `text` is written as it stands (it ends with " " before the line feed).
[[noreturn]] void invalid(const std::string& text) {
    console::err(text);
    console::endProcess(1);
}

void writeText(int fd, const std::string& text, const char* writeMessage) {
    if (write(fd, text.data(), text.size()) < 0) fail(writeMessage);
}

int closeFile(int fd, const char* closeMessage) {
    const int r = close(fd);
    if (r < 0) fail(closeMessage);
    return r;
}

const char INVALID_DIRECTION[] = "Invalid direction value. Should be \"in\" or \"out\". ";
const char INVALID_VALUE[] = "Invalid  value. Should be \"1\" or \"0\". ";
const char INVALID_VALUE_READ[] = "Invalid  value read. Should be \"1\" or \"0\". ";

}  // namespace

GPIO::GPIO() : GPIO("4") {}

GPIO::GPIO(std::string num, std::string dir) : gpionum(std::move(num)), root(std::move(dir)) { exportGpio(); }

GPIO::~GPIO() { unexportGpio(); }

int GPIO::exportGpio() {
    const std::string path = root + "/export";
    exportfd = open(path.c_str(), O_WRONLY | O_SYNC);
    if (exportfd < 0) fail("could not open SYSFS GPIO export device");
    std::ostringstream text;
    text << gpionum;
    const std::string s = text.str();
    // EBUSY: exported already (an earlier run never unexports); use it as it is.
    if (write(exportfd, s.data(), s.size()) < 0 && errno != EBUSY) {
        fail("could not write to SYSFS GPIO export device");
    }
    return closeFile(exportfd, "could not close SYSFS GPIO export device");
}

int GPIO::unexportGpio() {
    const std::string path = root + "/unexport";
    unexportfd = open(path.c_str(), O_WRONLY | O_SYNC);
    if (unexportfd < 0) fail("could not open SYSFS GPIO unexport device");
    std::ostringstream text;
    text << gpionum;
    writeText(unexportfd, text.str(), "could not write to SYSFS GPIO unexport device");
    return closeFile(unexportfd, "could not close SYSFS GPIO unexport device");
}

int GPIO::setdirGpio(std::string dir) {
    const std::string path = root + "/gpio" + gpionum + "/direction";
    directionfd = open(path.c_str(), O_WRONLY | O_SYNC);
    if (directionfd < 0) fail("could not open SYSFS GPIO direction device");
    if (dir != "in" && dir != "out") invalid(INVALID_DIRECTION);
    writeText(directionfd, dir, "could not write to SYSFS GPIO direction device");
    return closeFile(directionfd, "could not close SYSFS GPIO direction device");
}

int GPIO::setvalGpio(std::string val) {
    const std::string path = root + "/gpio" + gpionum + "/value";
    valuefd = open(path.c_str(), O_WRONLY | O_SYNC);
    if (valuefd < 0) fail("could not open SYSFS GPIO value device");
    if (val != "1" && val != "0") invalid(INVALID_VALUE);
    writeText(valuefd, val, "could not write to SYSFS GPIO value device");
    return closeFile(valuefd, "could not close SYSFS GPIO value device");
}

int GPIO::getvalGpio(std::string& val) {
    const std::string path = root + "/gpio" + gpionum + "/value";
    valuefd = open(path.c_str(), O_RDONLY | O_SYNC);
    if (valuefd < 0) fail("could not open SYSFS GPIO value device");
    char byte = 0;
    const ssize_t r = read(valuefd, &byte, 1);
    if (r == 0) errno = ENODATA;  // an empty file has no level to give
    if (r <= 0) fail("could not read SYSFS GPIO value device");
    val = std::string(1, byte);
    if (val != "1" && val != "0") invalid(INVALID_VALUE_READ);
    return closeFile(valuefd, "could not close SYSFS GPIO value device");
}

std::string GPIO::getGpionum() { return gpionum; }
