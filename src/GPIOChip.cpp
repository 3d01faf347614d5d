#include "GPIOChip.h"

#include "Console.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

const char* const GPIOChip::DEFAULT_DEV_DIR = "/dev";

namespace {

bool isOffset(const std::string& text) {
    return !text.empty() && text.size() < 10 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
}

// The kernel's fixed-size name fields need not end in a zero.
std::string field(const char* text, std::size_t size) { return std::string(text, strnlen(text, size)); }

// gpiochip<N> under `dir`, in the order of N.
std::vector<std::string> chipPaths(const std::string& dir) {
    std::vector<std::pair<unsigned long, std::string>> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("gpiochip", 0) == 0 && isOffset(name.substr(8))) {
            found.emplace_back(std::stoul(name.substr(8)), entry.path().string());
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    paths.reserve(found.size());
    for (auto& chip : found) paths.push_back(std::move(chip.second));
    return paths;
}

IoctlCall orKernel(IoctlCall call) {
    if (call) return call;
    return [](int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); };
}

}  // namespace

GPIOChip::GPIOChip(const std::string& chip, const std::string& line, IoctlCall call, std::string dir)
    : ioctlCall(orKernel(std::move(call))), devDir(std::move(dir)) {
    const Found found = find(ioctlCall, devDir, chip, line);
    device = found.path + " line " + std::to_string(found.offset) + (isOffset(line) ? "" : " \"" + line + "\"");
    request(found);
}

GPIOChip::~GPIOChip() {
    if (lineFd >= 0) close(lineFd);
}

GPIOChip::Location GPIOChip::locate(const std::string& chip, const std::string& line, IoctlCall call,
                                    const std::string& dir) {
    const Found found = find(orKernel(std::move(call)), dir, chip, line);
    close(found.fd);
    return Location{found.path, found.offset};
}

GPIOChip::Found GPIOChip::find(const IoctlCall& ioctlCall, const std::string& devDir, const std::string& chip,
                               const std::string& line) {
    // Opens a chip; with `wanted` set, only the chip of that label or name.
    // Resolves the line on it; false (chip closed) when it is not there.
    std::string openFailure;
    auto tryChip = [&](const std::string& path, const std::string& wanted, Found& found) {
        found = Found{::open(path.c_str(), O_RDWR | O_CLOEXEC), path, 0};
        if (found.fd < 0) {
            if (openFailure.empty()) openFailure = path + ": " + std::strerror(errno);
            return false;
        }
        gpiochip_info info{};
        if (ioctlCall(found.fd, GPIO_GET_CHIPINFO_IOCTL, &info) < 0) console::fatalFailed(path + " is no GPIO chip");
        const bool chosen = wanted.empty() || field(info.label, sizeof info.label) == wanted ||
                            field(info.name, sizeof info.name) == wanted;
        if (chosen && isOffset(line)) {
            found.offset = static_cast<unsigned int>(std::stoul(line));
            if (found.offset >= info.lines) {
                console::fatal(path + " has no line " + line + " (it has " + std::to_string(info.lines) + " lines)");
            }
            return true;
        }
        if (chosen && lineByName(ioctlCall, found.fd, line, found.offset)) return true;
        if (chosen && !chip.empty()) console::fatal("no GPIO line named \"" + line + "\" on " + path);
        close(found.fd);
        return false;
    };

    Found found;
    if (chip.find('/') != std::string::npos) {
        if (!tryChip(chip, "", found)) console::fatal("could not open GPIO chip " + openFailure);
        return found;
    }
    // Every chip is looked at: a label or a line name that two chips share
    // would otherwise pick one by the kernel's numbering.
    for (const std::string& path : chipPaths(devDir)) {
        Found other;
        if (!tryChip(path, chip, other)) continue;
        if (found.fd < 0) {
            found = other;
            continue;
        }
        close(other.fd);
        close(found.fd);
        if (!chip.empty()) {
            console::fatal("two GPIO chips labelled \"" + chip + "\", " + found.path + " and " + other.path +
                           ": name one by its device path in gpio_chip");
        }
        console::fatal("GPIO line named \"" + line + "\" on two chips, " + found.path + " and " + other.path +
                       ": name its chip in gpio_chip");
    }
    if (found.fd >= 0) return found;
    const std::string unopened = openFailure.empty() ? "" : " (could not open " + openFailure + ")";
    if (!chip.empty()) {
        console::fatal("no GPIO chip labelled \"" + chip + "\" among " + devDir + "/gpiochip*" + unopened);
    }
    console::fatal("no GPIO line named \"" + line + "\" on any chip among " + devDir + "/gpiochip*" + unopened);
}

bool GPIOChip::lineByName(const IoctlCall& ioctlCall, int fd, const std::string& name, unsigned int& offset) {
    gpiochip_info chip{};
    if (ioctlCall(fd, GPIO_GET_CHIPINFO_IOCTL, &chip) < 0) return false;
    for (unsigned int i = 0; i < chip.lines; ++i) {
        gpio_v2_line_info info{};
        info.offset = i;
        if (ioctlCall(fd, GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0 && field(info.name, sizeof info.name) == name) {
            offset = i;
            return true;
        }
    }
    return false;
}

void GPIOChip::request(const Found& found) {
    gpio_v2_line_request req{};
    req.offsets[0] = found.offset;
    req.num_lines = 1;
    std::strncpy(req.consumer, "pelko", sizeof req.consumer - 1);
    // An output from the start, at 0: the driver stays off until a frame.
    req.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    req.config.num_attrs = 1;
    req.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    req.config.attrs[0].attr.values = 0;
    req.config.attrs[0].mask = 1;
    if (ioctlCall(found.fd, GPIO_V2_GET_LINE_IOCTL, &req) < 0) {
        const int reason = errno;
        std::string holder;
        gpio_v2_line_info info{};
        info.offset = found.offset;
        if (reason == EBUSY && ioctlCall(found.fd, GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0 && info.consumer[0]) {
            holder = " (held by \"" + field(info.consumer, sizeof info.consumer) + "\")";
        }
        console::fatal("could not request " + device + ": " + std::strerror(reason) + holder);
    }
    close(found.fd);  // the request's descriptor holds the line on its own
    lineFd = req.fd;
}

void GPIOChip::setLevel(int level) {
    gpio_v2_line_values values{};
    values.bits = static_cast<__u64>(level);
    values.mask = 1;
    if (ioctlCall(lineFd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) < 0) console::fatalFailed("could not switch " + device);
}
