#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "FakeSysfs.h"
#include "ForkedCall.h"
#include "GPIO.h"
#include "SyscallFault.h"

namespace {

const std::string INVALID_DIRECTION = "Invalid direction value. Should be \"in\" or \"out\". \n";
const std::string INVALID_VALUE = "Invalid  value. Should be \"1\" or \"0\". \n";
const std::string INVALID_VALUE_READ = "Invalid  value read. Should be \"1\" or \"0\". \n";

std::string perrorLine(const std::string& text, int err) { return text + ": " + std::strerror(err) + "\n"; }

}  // namespace

// ---- what reaches the files ----

TEST(GpioFiles, ExportOnConstructionUnexportOnDestruction) {
    FakeSysfs sysfs;
    sysfs.addPin("17");
    {
        GPIO pin("17", sysfs.root());
        EXPECT_EQ(sysfs.read("export"), "17");
        EXPECT_EQ(sysfs.read("unexport"), "");
        EXPECT_EQ(pin.getGpionum(), "17");
    }
    EXPECT_EQ(sysfs.read("unexport"), "17");
}

TEST(GpioFiles, DirectionAndLevelAreWrittenWithoutTerminator) {
    FakeSysfs sysfs;
    sysfs.addPin("4");
    GPIO pin("4", sysfs.root());
    const int firstFree = nextDescriptor();

    sysfs.write("gpio4/direction", "");
    EXPECT_EQ(pin.setdirGpio("out"), 0);
    EXPECT_EQ(sysfs.read("gpio4/direction"), "out");
    sysfs.write("gpio4/direction", "");
    EXPECT_EQ(pin.setdirGpio("in"), 0);
    EXPECT_EQ(sysfs.read("gpio4/direction"), "in");

    sysfs.write("gpio4/value", "");
    EXPECT_EQ(pin.setvalGpio("1"), 0);
    EXPECT_EQ(sysfs.read("gpio4/value"), "1");
    sysfs.write("gpio4/value", "");
    EXPECT_EQ(pin.setvalGpio("0"), 0);
    EXPECT_EQ(sysfs.read("gpio4/value"), "0");

    EXPECT_EQ(nextDescriptor(), firstFree);  // nothing stays open between calls
}

TEST(GpioFiles, LevelWrittenIsLevelRead) {
    FakeSysfs sysfs;
    sysfs.addPin("4");  // value file holds "0\n" like the kernel's
    GPIO pin("4", sysfs.root());
    std::string level;
    EXPECT_EQ(pin.getvalGpio(level), 0);
    EXPECT_EQ(level, "0");
    pin.setvalGpio("1");
    EXPECT_EQ(pin.getvalGpio(level), 0);
    EXPECT_EQ(level, "1");
    EXPECT_EQ(sysfs.read("gpio4/value"), "1\n");
}

TEST(GpioFiles, PinTextIsUsedUnchanged) {
    FakeSysfs sysfs;
    sysfs.addPin(" 07");
    GPIO pin(" 07", sysfs.root());
    EXPECT_EQ(sysfs.read("export"), " 07");
    sysfs.write("gpio 07/direction", "");
    pin.setdirGpio("out");
    EXPECT_EQ(sysfs.read("gpio 07/direction"), "out");
}

// ---- bad arguments end the process ----

TEST(GpioValidation, BadDirectionEndsTheProcessWithoutWriting) {
    FakeSysfs sysfs;
    sysfs.addPin("4");
    for (const std::string bad : {"OUT", "out\n", "", " in", "input"}) {
        const ForkedResult r = runForked([&] {
            GPIO pin("4", sysfs.root());
            pin.setdirGpio(bad);
            _exit(0);
        });
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.err, INVALID_DIRECTION) << bad;
        EXPECT_EQ(r.err.size(), 51u);
        EXPECT_EQ(sysfs.read("gpio4/direction"), "in\n") << bad;
    }
}

TEST(GpioValidation, BadLevelEndsTheProcessWithoutWriting) {
    FakeSysfs sysfs;
    sysfs.addPin("4");
    for (const std::string bad : {"2", "1\n", "on", "", "01"}) {
        const ForkedResult r = runForked([&] {
            GPIO pin("4", sysfs.root());
            pin.setvalGpio(bad);
            _exit(0);
        });
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.err, INVALID_VALUE) << bad;
        EXPECT_EQ(r.err.size(), 39u);
        EXPECT_EQ(sysfs.read("gpio4/value"), "0\n") << bad;
    }
}

TEST(GpioValidation, BadLevelReadEndsTheProcess) {
    FakeSysfs sysfs;
    sysfs.addPin("4");
    sysfs.write("gpio4/value", "x\n");
    const ForkedResult r = runForked([&] {
        GPIO pin("4", sysfs.root());
        std::string level;
        pin.getvalGpio(level);
        _exit(0);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, INVALID_VALUE_READ);
    EXPECT_EQ(r.err.size(), 44u);
}

TEST(GpioValidation, FileIsOpenedBeforeTheArgumentIsChecked) {
    FakeSysfs sysfs;  // pin 4 was never given a directory
    const ForkedResult dir = runForked([&] {
        GPIO pin("4", sysfs.root());
        pin.setdirGpio("sideways");
        _exit(0);
    });
    EXPECT_EQ(dir.status, 1);
    EXPECT_EQ(dir.err, perrorLine("could not open SYSFS GPIO direction device", ENOENT));

    const ForkedResult val = runForked([&] {
        GPIO pin("4", sysfs.root());
        pin.setvalGpio("high");
        _exit(0);
    });
    EXPECT_EQ(val.status, 1);
    EXPECT_EQ(val.err, perrorLine("could not open SYSFS GPIO value device", ENOENT));
}

// ---- failing files end the process ----

TEST(GpioFailures, MissingFilesAreReportedByName) {
    FakeSysfs sysfs;
    sysfs.addPin("4");
    std::remove((sysfs.root() + "/export").c_str());
    const ForkedResult exp = runForked([&] { GPIO pin("4", sysfs.root()); });
    EXPECT_EQ(exp.status, 1);
    EXPECT_EQ(exp.err, perrorLine("could not open SYSFS GPIO export device", ENOENT));

    sysfs.write("export", "");
    std::remove((sysfs.root() + "/unexport").c_str());
    const ForkedResult unexp = runForked([&] { GPIO pin("4", sysfs.root()); });
    EXPECT_EQ(unexp.status, 1);
    EXPECT_EQ(unexp.err, perrorLine("could not open SYSFS GPIO unexport device", ENOENT));

    std::remove((sysfs.root() + "/gpio4/value").c_str());
    const ForkedResult get = runForked([&] {
        GPIO pin("4", sysfs.root());
        std::string level;
        pin.getvalGpio(level);
        _exit(0);
    });
    EXPECT_EQ(get.status, 1);
    EXPECT_EQ(get.err, perrorLine("could not open SYSFS GPIO value device", ENOENT));
}

TEST(GpioFailures, RefusedWritesAreReportedByName) {
    FakeSysfs sysfs;
    sysfs.addPin("4");
    // /dev/full refuses every write with ENOSPC.
    auto failing = [&](const std::string& file, const std::function<void(GPIO&)>& op) {
        const std::string path = sysfs.root() + "/" + file;
        std::remove(path.c_str());
        EXPECT_EQ(symlink("/dev/full", path.c_str()), 0);
        const ForkedResult r = runForked([&] {
            GPIO pin("4", sysfs.root());
            op(pin);
            _exit(0);
        });
        std::remove(path.c_str());
        sysfs.write(file, "");
        return r;
    };
    ForkedResult r = failing("export", [](GPIO&) {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, perrorLine("could not write to SYSFS GPIO export device", ENOSPC));

    r = failing("gpio4/direction", [](GPIO& pin) { pin.setdirGpio("out"); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, perrorLine("could not write to SYSFS GPIO direction device", ENOSPC));

    r = failing("gpio4/value", [](GPIO& pin) { pin.setvalGpio("1"); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, perrorLine("could not write to SYSFS GPIO value device", ENOSPC));
}

TEST(GpioFailures, EmptyValueFileIsAReadFailure) {
    FakeSysfs sysfs;
    sysfs.addPin("4");
    sysfs.write("gpio4/value", "");
    const ForkedResult r = runForked([&] {
        GPIO pin("4", sysfs.root());
        std::string level;
        pin.getvalGpio(level);
        _exit(0);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, perrorLine("could not read SYSFS GPIO value device", ENODATA));
}

TEST(GpioFailures, AlreadyExportedPinIsUsedAsItIs) {
    FakeSysfs sysfs;
    sysfs.addPin("4");
    // The kernel answers EBUSY when the pin is exported already.
    const ForkedResult busy = runForked([&] {
        if (!failSyscallOn(SYS_write, nextDescriptor(), EBUSY)) _exit(99);
        GPIO pin("4", sysfs.root());
        _exit(0);  // before the destructor: its unexport would hit the same filter
    });
    if (busy.status == 99) GTEST_SKIP() << "no seccomp filters here";
    EXPECT_EQ(busy.status, 0);
    EXPECT_EQ(busy.err, "");

    // Any other refusal is still fatal.
    const ForkedResult denied = runForked([&] {
        if (!failSyscallOn(SYS_write, nextDescriptor(), EACCES)) _exit(99);
        GPIO pin("4", sysfs.root());
        _exit(0);
    });
    EXPECT_EQ(denied.status, 1);
    EXPECT_EQ(denied.err, perrorLine("could not write to SYSFS GPIO export device", EACCES));
}

TEST(GpioFailures, FailedCloseIsReported) {
    FakeSysfs sysfs;
    sysfs.addPin("4");
    const ForkedResult r = runForked([&] {
        GPIO pin("4", sysfs.root());
        if (!failSyscallOn(SYS_close, nextDescriptor(), EIO)) _exit(99);
        pin.setvalGpio("1");
        _exit(0);
    });
    if (r.status == 99) GTEST_SKIP() << "no seccomp filters here";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, perrorLine("could not close SYSFS GPIO value device", EIO));
}
