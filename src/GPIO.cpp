#include "GPIO.h"

#include "Console.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <utility>
#include <vector>

const char* const GPIO::DEFAULT_ROOT = "/sys/class/gpio";

namespace {

// A pin that fails stops the gateway, from whichever thread.
[[noreturn]] void fail(const std::string& message) { console::fatalFailed(message); }

// `text` is written as it stands (it ends with " " before the line feed).
[[noreturn]] void invalid(const std::string& text) { console::fatal(text); }

void closeFile(int fd, const std::string& device) {
    if (close(fd) < 0) fail("could not close SYSFS GPIO " + device + " device");
}

// One whole sysfs write: open, one write, close, each failure naming the
// `device` file. A value judged invalid (`invalidText`) ends the process only
// after the open, so a missing file is what gets reported first. `refused`
// may take care of a refused write (returns true) before it is fatal.
void writeOnce(const std::string& path, const std::string& device, const std::string& text,
               const char* invalidText = nullptr, const std::function<bool(int)>& refused = {}) {
    const int fd = open(path.c_str(), O_WRONLY | O_SYNC | O_CLOEXEC);
    if (fd < 0) fail("could not open SYSFS GPIO " + device + " device");
    if (invalidText) invalid(invalidText);
    if (write(fd, text.data(), text.size()) < 0) {
        const int reason = errno;
        if (!refused || !refused(reason)) {
            errno = reason;
            fail("could not write to SYSFS GPIO " + device + " device");
        }
    }
    closeFile(fd, device);
}

std::string firstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

bool isNumber(const std::string& text) {
    return !text.empty() && text.size() < 10 && std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
}

const char INVALID_DIRECTION[] = "Invalid direction value. Should be \"in\" or \"out\". ";
const char INVALID_VALUE[] = "Invalid  value. Should be \"1\" or \"0\". ";
const char INVALID_VALUE_READ[] = "Invalid  value read. Should be \"1\" or \"0\". ";

}  // namespace

GPIO::GPIO() : GPIO("4") {}

GPIO::GPIO(std::string num, std::string dir) : gpionum(std::move(num)), root(std::move(dir)) { exportGpio(); }

GPIO::~GPIO() {
    if (valuefd >= 0) closeFile(valuefd, "value");
    unexportGpio();
}

int GPIO::exportGpio() {
    // EBUSY: exported already (an earlier run never unexports); use it as it is.
    // The kernel answers the same when a program holds the line through the
    // character device; then no gpio<N> appears, and that is fatal.
    // EINVAL: the kernel knows no such pin, most likely because it counts
    // from a chip base now; say what to write instead.
    writeOnce(root + "/export", "export", gpionum, nullptr, [this](int reason) {
        std::error_code ec;
        if (reason == EBUSY && !std::filesystem::exists(root + "/gpio" + gpionum, ec)) {
            errno = reason;
            console::failed("could not write to SYSFS GPIO export device");
            console::err("pin " + gpionum + " is not exported, yet in use: a program holds it through the GPIO character device");
            console::endProcess(1);
        }
        if (reason == EINVAL) {
            errno = reason;
            console::failed("could not write to SYSFS GPIO export device");
            explainNumbering();
            console::endProcess(1);
        }
        return reason == EBUSY;
    });
    return 0;
}

void GPIO::explainNumbering() const {
    std::vector<std::pair<long, std::string>> chips;  // base, label
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
        const std::string name = entry.path().filename().string();
        const std::string base = firstLine(entry.path() / "base");
        if (name.rfind("gpiochip", 0) != 0 || !isNumber(base)) continue;
        chips.emplace_back(std::stol(base), firstLine(entry.path() / "label"));
    }
    std::sort(chips.begin(), chips.end());
    console::err("this kernel numbers its GPIO pins from each chip's base; pin " + gpionum +
                 " counted from the base of each chip under " + root + ":");
    if (chips.empty()) console::err("  (no gpiochip*/base there)");
    for (const auto& chip : chips) {
        std::string line = "  " + chip.second + ": base " + std::to_string(chip.first);
        if (isNumber(gpionum)) line += ", gpio=" + std::to_string(chip.first + std::stol(gpionum));
        console::err(line);
    }
    console::err("the lasting fix: direction=gpiochip in pelko.conf, gpio_chip=<label> and gpio=<line offset>");
}

int GPIO::unexportGpio() {
    writeOnce(root + "/unexport", "unexport", gpionum);
    return 0;
}

int GPIO::setdirGpio(std::string dir) {
    writeOnce(root + "/gpio" + gpionum + "/direction", "direction", dir,
              dir != "in" && dir != "out" ? INVALID_DIRECTION : nullptr);
    return 0;
}

int GPIO::setvalGpio(std::string val) {
    std::lock_guard<std::mutex> lock(valueMutex);
    if (valuefd < 0) {
        const std::string path = root + "/gpio" + gpionum + "/value";
        valuefd = open(path.c_str(), O_WRONLY | O_SYNC | O_CLOEXEC);
        if (valuefd < 0) fail("could not open SYSFS GPIO value device");
        valueSeekable = lseek(valuefd, 0, SEEK_CUR) >= 0;
    }
    if (val != "1" && val != "0") invalid(INVALID_VALUE);
    // At offset 0, as a fresh open would write it: the kernel ignores the
    // offset, but a plain file standing in for it must not grow. A pipe
    // (a recorder of every level) has no offset to give.
    const ssize_t written = valueSeekable ? pwrite(valuefd, val.data(), 1, 0) : write(valuefd, val.data(), 1);
    if (written < 0) fail("could not write to SYSFS GPIO value device");
    return 0;
}

int GPIO::getvalGpio(std::string& val) {
    const std::string path = root + "/gpio" + gpionum + "/value";
    const int fd = open(path.c_str(), O_RDONLY | O_SYNC | O_CLOEXEC);
    if (fd < 0) fail("could not open SYSFS GPIO value device");
    char byte = 0;
    const ssize_t r = read(fd, &byte, 1);
    if (r == 0) errno = ENODATA;  // an empty file has no level to give
    if (r <= 0) fail("could not read SYSFS GPIO value device");
    val = std::string(1, byte);
    if (val != "1" && val != "0") invalid(INVALID_VALUE_READ);
    closeFile(fd, "value");
    return 0;
}

std::string GPIO::getGpionum() { return gpionum; }
