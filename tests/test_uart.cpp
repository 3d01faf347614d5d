#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ForkedCall.h"
#include "Emulation.h"
#include "PtyPair.h"
#include "SyscallFault.h"
#include "TempDir.h"
#include "UART.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Redirects one of the process's output descriptors into a file while alive,
// so console lines can be compared byte for byte.
class FdCapture {
public:
    explicit FdCapture(int fd) : fd_(fd) {
        flushAll();
        saved_ = dup(fd_);
        const int f = open(dir_.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(f, fd_);
        close(f);
    }
    ~FdCapture() { restore(); }
    std::string text() {
        restore();
        return dir_.read("out");
    }

private:
    static void flushAll() {
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
    }
    void restore() {
        if (saved_ < 0) return;
        flushAll();
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }
    TempDir dir_;
    int fd_;
    int saved_ = -1;
};

// Waits (sleeping) until `count` bytes are queued for reading on fd.
bool waitQueued(int fd, int count, int timeoutMs = 5000) {
    const auto t0 = Clock::now();
    for (;;) {
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) == 0 && queued >= count) return true;
        if (msSince(t0) > timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string noModemLinesWarning(const std::string& path) {
    return "warning: " + path + " has no modem control lines, DTR and RTS left as they are\n";
}

// Opens the port on the pty's slave at `speed`, keeping the console clean.
void openQuietly(UART& uart, const PtyPair& pty, int speed = 115200) {
    FdCapture err(2);
    ASSERT_EQ(uart.openUART(pty.slavePath(), speed), 0);
    EXPECT_EQ(err.text(), noModemLinesWarning(pty.slavePath()));
}

void closeQuietly(UART& uart) {
    FdCapture err(2);
    uart.closeComport();
}

const Bytes FRAME{0x23, 0x04, 0x0A, 0x01, 0x02, 0x07, 0x0C, 0x24};

}  // namespace

// ---- opening ----

TEST(UartOpen, SpeedsOutsideTheTableAreRefusedWithoutOpening) {
    PtyPair pty;
    for (int speed : {0, 14400, 1000001, 1152000, 2000000, 4000000, -115200}) {
        const ForkedResult r = runForked([&] {
            UART uart;
            const int before = nextDescriptor();
            const int rc = uart.openUART(pty.slavePath(), speed);
            const bool nothingOpened = nextDescriptor() == before && uart.descriptor() == 0;
            std::fflush(nullptr);
            std::cout.flush();
            _exit(nothingOpened ? rc : 100 + rc);
        });
        EXPECT_EQ(r.status, 1) << speed;
        EXPECT_EQ(r.out, "invalid baudrate\n") << speed;
        EXPECT_EQ(r.err, "") << speed;
    }
}

TEST(UartOpen, LowestAndHighestSpeedsReachTheDevice) {
    if (runningEmulated()) GTEST_SKIP() << "qemu-user does not carry these termios speeds";
    PtyPair pty;
    const int probe = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    for (const auto& entry : {std::make_pair(50, speed_t(B50)), std::make_pair(1000000, speed_t(B1000000))}) {
        UART uart;
        openQuietly(uart, pty, entry.first);
        termios t{};
        ASSERT_EQ(tcgetattr(probe, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), entry.second) << entry.first;
        EXPECT_EQ(cfgetispeed(&t), entry.second) << entry.first;
        closeQuietly(uart);
    }
    close(probe);
}

TEST(UartOpen, RawSettingsReplaceACookedLine) {
    PtyPair pty;
    const int probe = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    // Start from a cooked, echoing, parity-checking line with flow control.
    termios cooked{};
    ASSERT_EQ(tcgetattr(probe, &cooked), 0);
    cooked.c_iflag |= ICRNL | IXON | ISTRIP | INPCK;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_cflag |= PARENB | CSTOPB | CRTSCTS | HUPCL;
    cooked.c_cc[VMIN] = 1;
    cooked.c_cc[VTIME] = 5;
    cfsetspeed(&cooked, B9600);
    ASSERT_EQ(tcsetattr(probe, TCSANOW, &cooked), 0);

    UART uart;
    openQuietly(uart, pty);
    termios t{};
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_NE(fcntl(uart.descriptor(), F_GETFL) & O_NONBLOCK, 0);
    closeQuietly(uart);
    close(probe);
}

TEST(UartOpen, MissingDevicePrintsTheSystemError) {
    TempDir dir;
    const std::string path = dir.file("no-such-tty");
    const ForkedResult r = runForked([&] {
        UART uart;
        const int rc = uart.openUART(path, 115200);
        _exit(uart.descriptor() == -1 ? rc : 100 + rc);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("unable to open comport : ") + std::strerror(ENOENT) + "\n");
    EXPECT_EQ(r.out, "");
}

TEST(UartOpen, PathGivenToTheConstructorIsKept) {
    PtyPair pty;
    std::unique_ptr<UART> uart;
    {
        std::string path = pty.slavePath();
        uart = std::make_unique<UART>(path, 115200);
        path.assign(path.size(), 'x');  // the caller's text changes and goes away
    }
    FdCapture err(2);
    EXPECT_EQ(uart->openUART(), 0);
    uart->closeComport();
}

TEST(UartOpen, UnconfiguredPortRefusesToOpen) {
    const ForkedResult r = runForked([] {
        UART uart;
        _exit(uart.openUART());
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "comport path and baudrate not set\n");
}

TEST(UartOpen, DeviceWithoutModemLinesIsAccepted) {
    // A pty answers the modem-status requests with ENOTTY; some UARTs say EINVAL.
    PtyPair pty;
    const ForkedResult r = runForked([&] {
        UART uart;
        if (!failSyscallOn(SYS_ioctl, nextDescriptor(), EINVAL, TIOCMGET)) _exit(99);
        _exit(uart.openUART(pty.slavePath(), 115200));
    });
    if (r.status == 99) GTEST_SKIP() << "no seccomp filters here";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, noModemLinesWarning(pty.slavePath()));
}

TEST(UartOpen, ModemStatusReadFailureIsReported) {
    PtyPair pty;
    const ForkedResult r = runForked([&] {
        UART uart;
        const int fd = nextDescriptor();
        if (!failSyscallOn(SYS_ioctl, fd, EIO, TIOCMGET)) _exit(99);
        const int rc = uart.openUART(pty.slavePath(), 115200);
        // The descriptor stays open after a status failure.
        _exit(fcntl(fd, F_GETFD) != -1 ? rc : 100 + rc);
    });
    if (r.status == 99) GTEST_SKIP() << "no seccomp filters here";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("unable to get portstatus: ") + std::strerror(EIO) + "\n");
}

TEST(UartOpen, ModemStatusWriteFailureIsReported) {
    PtyPair pty;
    const ForkedResult r = runForked([&] {
        UART uart;
        const int fd = nextDescriptor();
        // Reading the status works (as on a real UART) so the write is reached.
        if (!failSyscallOn(SYS_ioctl, fd, 0, TIOCMGET)) _exit(99);
        if (!failSyscallOn(SYS_ioctl, fd, EIO, TIOCMSET)) _exit(99);
        _exit(uart.openUART(pty.slavePath(), 115200));
    });
    if (r.status == 99) GTEST_SKIP() << "no seccomp filters here";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("unable to set portstatus: ") + std::strerror(EIO) + "\n");
}

// ---- reading ----

TEST(UartRead, PollComportNeverWaitsNorReadsMoreThanAsked) {
    PtyPair pty;
    UART uart;
    openQuietly(uart, pty);
    unsigned char buf[128];
    const auto t0 = Clock::now();
    EXPECT_EQ(uart.pollComport(buf, 100), 0);
    EXPECT_LT(msSince(t0), 2000);

    pty.writeMaster({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    ASSERT_TRUE(waitQueued(uart.descriptor(), 10));
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(uart.pollComport(buf, 0), 0);
    ASSERT_EQ(uart.pollComport(buf, 4), 4);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(buf[4], 0xEE);
    ASSERT_EQ(uart.pollComport(buf, 100), 6);
    EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(uart.pollComport(buf, 100), 0);
    closeQuietly(uart);
}

TEST(UartRead, FlushDiscardsUnreadInput) {
    PtyPair pty;
    UART uart;
    openQuietly(uart, pty);
    pty.writeMaster({0x23, 0x01, 0x02});
    ASSERT_TRUE(waitQueued(uart.descriptor(), 3));
    uart.flush();
    unsigned char buf[16];
    EXPECT_EQ(uart.pollComport(buf, 16), 0);
    closeQuietly(uart);
}

// ---- writing ----

TEST(UartWrite, StaleInputIsNotTakenForTheEcho) {
    PtyPair pty;
    UART uart;
    openQuietly(uart, pty);
    // A late reply of the previous exchange is still queued when the next
    // frame goes out; it must not end the wait for the frame's own echo.
    const Bytes stale(FRAME.size(), 0xAA);
    pty.writeMaster(stale);
    ASSERT_TRUE(waitQueued(uart.descriptor(), static_cast<int>(stale.size())));

    const auto t0 = Clock::now();
    EXPECT_EQ(uart.sendBuf(FRAME.data(), static_cast<int>(FRAME.size())), 1);
    EXPECT_GE(msSince(t0), 35) << "stale bytes were counted as the echo";
    EXPECT_EQ(pty.readMaster(5000), FRAME);
    unsigned char buf[128];
    EXPECT_EQ(uart.pollComport(buf, 100), 0) << "stale bytes left for the next answer";
    closeQuietly(uart);
}

TEST(UartWrite, SendBufWithALiveEcho) {
    PtyPair pty;
    UART uart;
    openQuietly(uart, pty);
    const Bytes reply{0x23, 0x55, 0x24};
    std::atomic<bool> echoed{false};
    Bytes seen;
    // The test plays the line: it echoes what it receives, then a reply follows.
    std::thread line([&] {
        seen = pty.readMaster(10000);
        Bytes back = seen;
        back.insert(back.end(), reply.begin(), reply.end());
        pty.writeMaster(back);
        echoed = true;
    });
    const auto t0 = Clock::now();
    EXPECT_EQ(uart.sendBuf(FRAME.data(), static_cast<int>(FRAME.size())), 1);
    const long long took = msSince(t0);
    line.join();
    EXPECT_TRUE(echoed);
    EXPECT_EQ(seen, FRAME);
    EXPECT_LT(took, 5000);

    // On a loaded machine the echo may come after sendBuf gave up; then what
    // is left starts with the late echo. The reply itself must never be eaten.
    ASSERT_TRUE(waitQueued(uart.descriptor(), static_cast<int>(reply.size())));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    unsigned char buf[128];
    const int n = uart.pollComport(buf, 100);
    ASSERT_GE(n, static_cast<int>(reply.size()));
    const Bytes rest(buf, buf + n);
    EXPECT_EQ(Bytes(rest.end() - 3, rest.end()), reply);
    if (took < 30) {
        EXPECT_EQ(rest, reply);
    }
    closeQuietly(uart);
}

TEST(UartWrite, SendBufWithoutEchoGivesUpAfterItsBound) {
    PtyPair pty;
    UART uart;
    openQuietly(uart, pty);
    const auto t0 = Clock::now();
    EXPECT_EQ(uart.sendBuf(FRAME.data(), static_cast<int>(FRAME.size())), 1);
    const long long took = msSince(t0);
    EXPECT_GE(took, 35);    // it did wait for an echo
    EXPECT_LT(took, 3000);  // and did not hang (generous: sanitizer builds)
    EXPECT_EQ(pty.readMaster(5000), FRAME);

    EXPECT_EQ(uart.sendBuf(FRAME.data(), 0), 1);
    EXPECT_TRUE(pty.readMaster(50).empty());
    closeQuietly(uart);
}

TEST(UartWrite, CputsSendsTheTextWithoutItsTerminator) {
    PtyPair pty;
    UART uart;
    openQuietly(uart, pty);
    uart.cputs("");
    uart.cputs("ok");
    EXPECT_EQ(pty.readMaster(5000), (Bytes{'o', 'k'}));
    EXPECT_EQ(uart.sendByte(0x7E), 0);
    EXPECT_EQ(pty.readMaster(5000), (Bytes{0x7E}));
    closeQuietly(uart);
}

// ---- modem lines and closing ----

TEST(UartLines, FailedStatusReadWritesNothingAndQueriesSayNo) {
    PtyPair pty;
    UART uart;
    openQuietly(uart, pty);
    FdCapture err(2);
    uart.enableDTR();
    uart.disableRTS();
    EXPECT_EQ(uart.isDCDEnabled(), 0);
    EXPECT_EQ(uart.isCTSEnabled(), 0);
    EXPECT_EQ(uart.isDSREnabled(), 0);
    const std::string line = std::string("unable to get portstatus: ") + std::strerror(ENOTTY) + "\n";
    EXPECT_EQ(err.text(), line + line);
    closeQuietly(uart);
}

TEST(UartLines, CloseComportClosesAndTheDestructorDoesNot) {
    PtyPair pty;
    int fd = -1;
    {
        UART uart;
        openQuietly(uart, pty);
        fd = uart.descriptor();
    }
    EXPECT_NE(fcntl(fd, F_GETFD), -1);  // still open after the object is gone

    UART uart;
    openQuietly(uart, pty);
    const int second = uart.descriptor();
    EXPECT_NE(second, fd);
    FdCapture err(2);
    uart.closeComport();
    EXPECT_EQ(err.text(), std::string("unable to get portstatus: ") + std::strerror(ENOTTY) + "\n");
    EXPECT_EQ(fcntl(second, F_GETFD), -1);
    close(fd);
}
