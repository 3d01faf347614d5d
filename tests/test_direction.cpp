#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <functional>
#include <tuple>
#include <vector>

#include "ChildProcess.h"
#include "Emulation.h"
#include "ForkedCall.h"
#include "GPIOChip.h"
#include "PtyPair.h"
#include "RS485.h"
#include "RefusingPort.h"
#include "TempDir.h"

namespace {

// The kernel behind the ioctl seam, modelled on linux/gpio.h. Its chips are
// empty files in a directory standing in for /dev: gpiochip0 "gpio-expander"
// (lines X0..X2) and gpiochip1 "pinctrl-bcm2711" (lines GPIO0..GPIO9, GPIO4
// held by "spi0 CS0"); with `twin`, gpiochip2 is a second "gpio-expander"
// (a board with two of the same part). Keeps the line request and every switch.
struct FakeKernel {
    TempDir dev;
    gpio_v2_line_request request{};
    std::string requestedChip;
    std::vector<gpio_v2_line_values> switches;
    int lineFd = -1;

    explicit FakeKernel(bool twin = false) {
        dev.write("gpiochip0", ""), dev.write("gpiochip1", "");
        if (twin) dev.write("gpiochip2", "");
    }
    int operator()(int fd, unsigned long op, void* arg) {
        if (fd == lineFd) return switches.push_back(*static_cast<gpio_v2_line_values*>(arg)), 0;
        char path[256] = {};
        if (readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1) < 0) return -1;
        const bool pi = path[std::strlen(path) - 1] == '1';
        if (op == GPIO_GET_CHIPINFO_IOCTL) {
            auto* info = static_cast<gpiochip_info*>(arg);
            std::snprintf(info->name, sizeof info->name, "gpiochip%c", path[std::strlen(path) - 1]);
            std::strcpy(info->label, pi ? "pinctrl-bcm2711" : "gpio-expander");
            info->lines = pi ? 10 : 3;
        } else if (op == GPIO_V2_GET_LINEINFO_IOCTL) {
            auto* info = static_cast<gpio_v2_line_info*>(arg);
            std::snprintf(info->name, sizeof info->name, "%s%u", pi ? "GPIO" : "X", info->offset);
            if (pi && info->offset == 4) std::strcpy(info->consumer, "spi0 CS0");
        } else if (op == GPIO_V2_GET_LINE_IOCTL) {
            auto* req = static_cast<gpio_v2_line_request*>(arg);
            if (pi && req->offsets[0] == 4) return errno = EBUSY, -1;
            request = *req;
            requestedChip = path;
            req->fd = lineFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
        return 0;
    }
};

}  // namespace

TEST(GpioChipBackend, RequestsOneOutputLineAtZeroAndSwitchesOnlyItsBit) {
    FakeKernel k;
    const struct { std::string chip, line, foundOn; unsigned offset; } cases[] = {
        {k.dev.file("gpiochip1"), "3", "gpiochip1", 3},  // a path and an offset
        {"pinctrl-bcm2711", "GPIO7", "gpiochip1", 7},    // a label and a line name
        {"gpiochip0", "2", "gpiochip0", 2},              // the chip's own name
        {"", "GPIO9", "gpiochip1", 9},                   // the name searched on every chip
    };
    for (const auto& c : cases) {
        k.switches.clear();
        k.lineFd = -1;  // closed with the last case's chip; its number may come back for a chip
        {
            GPIOChip chip(c.chip, c.line, std::ref(k), k.dev.path());
            chip.driverOn();
            chip.driverOff();
        }
        const gpio_v2_line_request& r = k.request;
        const gpio_v2_line_config_attribute& initial = r.config.attrs[0];
        EXPECT_EQ(k.requestedChip, k.dev.file(c.foundOn));
        EXPECT_EQ(std::make_tuple(r.num_lines, r.offsets[0], std::string(r.consumer), r.config.flags),
                  std::make_tuple(1u, c.offset, std::string("pelko"), +GPIO_V2_LINE_FLAG_OUTPUT));
        EXPECT_EQ(std::make_tuple(r.config.num_attrs, initial.attr.id, initial.attr.values, initial.mask),
                  std::make_tuple(1u, +GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES, 0u, 1u));
        ASSERT_EQ(k.switches.size(), 2u);
        EXPECT_EQ(std::make_tuple(k.switches[0].bits, k.switches[0].mask, k.switches[1].bits, k.switches[1].mask),
                  std::make_tuple(1u, 1u, 0u, 1u));
    }
}

TEST(GpioChipBackend, FailuresNameTheDeviceAndEndWithStatusOne) {
    FakeKernel k;
    const std::string among = " among " + k.dev.path() + "/gpiochip*\n";
    const struct { std::string chip, line, err; } cases[] = {
        {k.dev.file("gpiochip7"), "3",
         "could not open GPIO chip " + k.dev.file("gpiochip7") + ": " + std::strerror(ENOENT) + "\n"},
        {"pinctrl-bcm2835", "3", "no GPIO chip labelled \"pinctrl-bcm2835\"" + among},
        {"", "GPIO99", "no GPIO line named \"GPIO99\" on any chip" + among},
        {"gpiochip0", "GPIO1", "no GPIO line named \"GPIO1\" on " + k.dev.file("gpiochip0") + "\n"},
        {"gpio-expander", "3", k.dev.file("gpiochip0") + " has no line 3 (it has 3 lines)\n"},
        {"pinctrl-bcm2711", "GPIO4", "could not request " + k.dev.file("gpiochip1") + " line 4 \"GPIO4\": " +
                                         std::strerror(EBUSY) + " (held by \"spi0 CS0\")\n"},
    };
    for (const auto& c : cases) {
        const ForkedResult r = runForked([&] { GPIOChip chip(c.chip, c.line, std::ref(k), k.dev.path()); });
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
    }
}

// The service's root helper grants the chip that locate() names, so it must
// be the chip the gateway then takes, and never a guess between two.
TEST(GpioChipBackend, LocateNamesTheChipTheGatewayTakesAndRefusesAnAmbiguousOne) {
    FakeKernel k;
    const struct { std::string chip, line, foundOn; unsigned offset; } cases[] = {
        {k.dev.file("gpiochip1"), "3", "gpiochip1", 3},
        {"pinctrl-bcm2711", "GPIO7", "gpiochip1", 7},
        {"", "X2", "gpiochip0", 2},
    };
    for (const auto& c : cases) {
        const GPIOChip::Location found = GPIOChip::locate(c.chip, c.line, std::ref(k), k.dev.path());
        EXPECT_EQ(std::make_tuple(found.path, found.offset), std::make_tuple(k.dev.file(c.foundOn), c.offset));
    }
    EXPECT_EQ(k.requestedChip, "") << "locate() requested the line";

    FakeKernel twins(true);
    const std::string a = twins.dev.file("gpiochip0"), b = twins.dev.file("gpiochip2");
    const struct { std::string chip, line, err; } ambiguous[] = {
        {"", "X1", "GPIO line named \"X1\" on two chips, " + a + " and " + b + ": name its chip in gpio_chip\n"},
        {"gpio-expander", "1",
         "two GPIO chips labelled \"gpio-expander\", " + a + " and " + b + ": name one by its device path in gpio_chip\n"},
    };
    for (const auto& c : ambiguous) {
        for (bool request : {false, true}) {
            const ForkedResult r = runForked([&] {
                if (request) GPIOChip chip(c.chip, c.line, std::ref(twins), twins.dev.path());
                else GPIOChip::locate(c.chip, c.line, std::ref(twins), twins.dev.path());
            });
            EXPECT_EQ(std::make_tuple(r.status, r.err), std::make_tuple(1, c.err));
        }
    }
}

TEST(Rs485Backend, AsksTheKernelForItsModeAndDelaysAndLeavesTheSwitchingToIt) {
    const struct { unsigned before, after; bool activeLow; unsigned flags; } cases[] = {
        {0, 0, false, SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND},
        {3, 100, true, SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND},
    };
    for (const auto& c : cases) {
        std::vector<std::tuple<int, unsigned long, unsigned, unsigned, unsigned>> asked;
        RS485 port(5, "/dev/ttyS1", c.before, c.after, c.activeLow, [&](int fd, unsigned long op, void* arg) {
            const auto* mode = static_cast<serial_rs485*>(arg);
            asked.emplace_back(fd, op, mode->flags, mode->delay_rts_before_send, mode->delay_rts_after_send);
            return 0;
        });
        port.driverOn();
        port.driverOff();
        EXPECT_EQ(asked, (decltype(asked){{5, TIOCSRS485, c.flags, c.before, c.after}}));
    }
    // A pseudo-terminal, like a UART driver without the mode, refuses it.
    PtyPair pty;
    const std::string& tty = pty.slavePath();
    const ForkedResult r = runForked([&] { RS485(open(tty.c_str(), O_RDWR), tty, 0, 0, false); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("could not switch " + tty + " to RS-485 mode: no RS-485 support (", 0), 0u) << r.err;
}

// The real gateway: a configuration it accepts ends at the unreachable
// server (status 0), a wrong one before that with one line.
TEST(DirectionKeys, EachModeTakesItsKeysAndRefusesWrongValues) {
    if (runningEmulated()) GTEST_SKIP() << "starts the gateway binary, which the emulator does not run as a child";
    TempDir work;
    RefusingPort server;
    const std::string line = "allowed values are a line offset on gpio_chip (0, 1, ...) or a line name such as GPIO7";
    const std::string delay = " in [settings]: allowed values are 0 to 100 (milliseconds)";
    const struct { std::string keys, err; } cases[] = {
        {"direction=rs485", ""},
        {"direction=none", ""},
        {"direction=gpiochip\ngpio=GPIO7", ""},
        {"direction=gpiochip\ngpio_chip=/dev/gpiochip0\ngpio=7", ""},
        {"direction=sysfs", "missing keys in [settings]: gpio"},
        {"direction=gpiochip", "missing keys in [settings]: gpio"},
        {"direction=serial\ngpio=7", "direction=serial in [settings]: allowed values are sysfs, gpiochip, rs485, none"},
        {"direction=gpiochip\ngpio=7", "gpio=7 in [settings]: " + line + " (an offset needs gpio_chip)"},
        {"direction=gpiochip\ngpio=X\ngpio_chip=",
         "gpio_chip= in [settings]: allowed values are a device path such as /dev/gpiochip0, or a chip label"},
        {"direction=rs485\nrs485_delay_before=1.5", "rs485_delay_before=1.5" + delay},
        {"direction=rs485\nrs485_delay_after=101", "rs485_delay_after=101" + delay},
        {"direction=rs485\nrs485_rts_active_low=yes", 
         "rs485_rts_active_low=yes in [settings]: allowed values are 0, 1"},
    };
    for (const auto& c : cases) {
        work.write("pelko.conf", "[settings]\nip=127.0.0.1\nport=" + std::to_string(server.port()) +
                                     "\nuart=" + work.file("ttyBus") + "\n" + c.keys + "\n");
        std::string out, err;
        EXPECT_EQ(runProgram(PELKO_BINARY, {}, work.path(), &out, &err, 20000), c.err.empty() ? 0 : 1) << c.keys;
        EXPECT_EQ(err, c.err.empty() ? "Nelze navázat spojení\n" : "pelko.conf: " + c.err + "\n");
    }
}
