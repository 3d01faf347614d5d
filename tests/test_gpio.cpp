#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "FakeSysfs.h"
#include "ForkedCall.h"
#include "GPIO.h"
#include "SyscallFault.h"

namespace {

std::string perrorLine(const std::string& text, int err) { return text + ": " + std::strerror(err) + "\n"; }

// One step on pin 4 in a child process, since a failing pin ends the process:
// 'c' construct only, 'u' unexport (destroy), 'd' direction, 'v' level, 'r' read.
ForkedResult onPin(const FakeSysfs& sysfs, char op, const std::string& arg = "") {
    return runForked([&] {
        GPIO pin("4", sysfs.root());
        std::string level;
        if (op == 'u') pin.~GPIO();
        if (op == 'd') pin.setdirGpio(arg);
        if (op == 'v') pin.setvalGpio(arg);
        if (op == 'r') pin.getvalGpio(level);
        _exit(0);  // the destructor's unexport is no part of the other steps
    });
}

}  // namespace

TEST(GpioFiles, PinIsExportedSwitchedThroughOneKeptFileAndUnexported) {
    FakeSysfs sysfs;
    sysfs.addPin(" 07");  // the pin text goes on unchanged
    {
        GPIO pin(" 07", sysfs.root());
        EXPECT_EQ(sysfs.read("export"), " 07");
        EXPECT_EQ(pin.setdirGpio("out"), 0);
        EXPECT_EQ(sysfs.read("gpio 07/direction"), "out");
        const int firstFree = nextDescriptor();
        std::string level;
        for (const std::string want : {"1", "0", "1"}) {
            sysfs.write("gpio 07/value", "");
            EXPECT_EQ(pin.setvalGpio(want), 0);
            EXPECT_EQ(sysfs.read("gpio 07/value"), want);  // one byte at the start, as a fresh open writes it
            EXPECT_EQ(pin.getvalGpio(level), 0);
            EXPECT_EQ(level, want);
        }
        EXPECT_EQ(nextDescriptor(), firstFree + 1);  // the value file, opened once
        EXPECT_EQ(sysfs.read("unexport"), "");
    }
    EXPECT_EQ(sysfs.read("unexport"), " 07");
}

TEST(GpioFailures, EachFailureNamesItsFileAndEndsWithStatusOne) {
    // content "-" removes the file, "/dev/full" puts one there that refuses every write.
    const struct { std::string file, content; char op; std::string arg, err; } cases[] = {
        {"export", "-", 'c', "", perrorLine("could not open SYSFS GPIO export device", ENOENT)},
        {"unexport", "-", 'u', "", perrorLine("could not open SYSFS GPIO unexport device", ENOENT)},
        {"gpio4/direction", "-", 'd', "sideways", perrorLine("could not open SYSFS GPIO direction device", ENOENT)},
        {"gpio4/value", "-", 'v', "high", perrorLine("could not open SYSFS GPIO value device", ENOENT)},
        {"export", "/dev/full", 'c', "", perrorLine("could not write to SYSFS GPIO export device", ENOSPC)},
        {"gpio4/direction", "/dev/full", 'd', "out",
         perrorLine("could not write to SYSFS GPIO direction device", ENOSPC)},
        {"gpio4/value", "/dev/full", 'v', "1", perrorLine("could not write to SYSFS GPIO value device", ENOSPC)},
        {"gpio4/value", "", 'r', "", perrorLine("could not read SYSFS GPIO value device", ENODATA)},
        {"gpio4/value", "x\n", 'r', "", "Invalid  value read. Should be \"1\" or \"0\". \n"},
        {"gpio4/value", "0\n", 'v', "1\n", "Invalid  value. Should be \"1\" or \"0\". \n"},
        {"gpio4/direction", "in\n", 'd', "OUT", "Invalid direction value. Should be \"in\" or \"out\". \n"},
    };
    for (const auto& c : cases) {
        FakeSysfs sysfs;
        sysfs.addPin("4");
        const std::string path = sysfs.root() + "/" + c.file;
        std::remove(path.c_str());
        if (c.content == "/dev/full") {
            ASSERT_EQ(symlink("/dev/full", path.c_str()), 0);
        } else if (c.content != "-") {
            sysfs.write(c.file, c.content);
        }
        const ForkedResult r = onPin(sysfs, c.op, c.arg);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
        if (c.content.size() > 1 && c.content[0] != '/') {
            EXPECT_EQ(sysfs.read(c.file), c.content) << "written anyway";
        }
    }
}

// The kernel's answers to a refused export: EBUSY (exported already) is
// fine, EINVAL (no such pin) earns the chips' numbering, others are fatal.
// EBUSY without gpio<N> is what a real kernel answers while a program holds
// the line through the character device (seen in the board lab).
TEST(GpioFailures, RefusedExportIsToleratedExplainedOrFatal) {
    FakeSysfs sysfs;
    sysfs.addPin("4");
    for (const std::string chip : {"570 raspberrypi-exp-gpio", "512 pinctrl-bcm2711"}) {
        const std::string dir = "gpiochip" + chip.substr(0, 3);
        std::filesystem::create_directories(sysfs.root() + "/" + dir);
        sysfs.write(dir + "/base", chip.substr(0, 3) + "\n");
        sysfs.write(dir + "/label", chip.substr(4) + "\n");
    }
    const std::string refused = "could not write to SYSFS GPIO export device";
    const std::string help = "this kernel numbers its GPIO pins from each chip's base; pin 4 counted from the base of "
                             "each chip under " + sysfs.root() + ":\n  pinctrl-bcm2711: base 512, gpio=516\n"
                             "  raspberrypi-exp-gpio: base 570, gpio=574\nthe lasting fix: direction=gpiochip in "
                             "pelko.conf, gpio_chip=<label> and gpio=<line offset>\n";
    const std::string held = perrorLine(refused, EBUSY) +
                             "pin 4 is not exported, yet in use: a program holds it through the GPIO character device\n";
    const struct { int refusal, status; std::string err; bool exported = true; } cases[] = {
        {EBUSY, 0, ""}, {EACCES, 1, perrorLine(refused, EACCES)}, {EINVAL, 1, perrorLine(refused, EINVAL) + help},
        {EBUSY, 1, held, false}};
    for (const auto& c : cases) {
        if (!c.exported) std::filesystem::remove_all(sysfs.root() + "/gpio4");
        const ForkedResult r = runForked([&] {
            if (!failSyscallOn(SYS_write, nextDescriptor(), c.refusal)) _exit(99);
            GPIO pin("4", sysfs.root());
            _exit(0);
        });
        if (r.status == 99) GTEST_SKIP() << "no seccomp filters here";
        EXPECT_EQ(r.status, c.status) << c.refusal;
        EXPECT_EQ(r.err, c.err);
    }
}
