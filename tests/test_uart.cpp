// The bus's serial port on a pseudo-terminal; the test plays the line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "Emulation.h"
#include "FrameCodec.h"
#include "PtyPair.h"
#include "RecordingStream.h"
#include "UART.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
const Bytes FRAME = FrameCodec::valueRequest(0x0102, 7);

// 115200 bit/s, 10 bits a byte: a frame and its echo take well under a
// millisecond. The port gives an echo 40 ms; one that came within 30 ms of
// the start was surely in time, even for a thread scheduled late.
const auto SURELY_IN_TIME = std::chrono::milliseconds(30);

class Port : public ::testing::Test {
protected:
    void SetUp() override {
        RecordingStream warning(2);  // a pty has no modem lines: one warning
        ASSERT_EQ(uart.openUART(pty.slavePath(), 115200), 0);
    }
    void TearDown() override { close(uart.descriptor()); }
    // Everything the port holds for the next exchange.
    Bytes pending() {
        unsigned char buf[256];
        const int n = uart.pollComport(buf, sizeof buf);
        return Bytes(buf, buf + std::max(n, 0));
    }

    // Hangs the tty up as a USB serial driver's disconnect does; false when
    // not allowed here.
    bool hangUp() {
        const int other = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const bool done = other >= 0 && ioctl(other, TIOCVHANGUP) == 0;
        if (other >= 0) close(other);
        return done;
    }

    PtyPair pty;
    UART uart;
};

}  // namespace

TEST_F(Port, LineIsRawNonBlockingAtItsSpeed) {
    termios t{};
    ASSERT_EQ(tcgetattr(uart.descriptor(), &t), 0);
    EXPECT_TRUE(runningEmulated() || cfgetospeed(&t) == B115200) << "qemu-user does not carry the speed";
    EXPECT_EQ(t.c_cflag & (CSIZE | CREAD | CLOCAL | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(t.c_oflag | t.c_lflag | t.c_cc[VMIN] | t.c_cc[VTIME], 0u);
    EXPECT_TRUE(pending().empty()) << "a read waited or made up bytes";
    pty.writeMaster({1, 2, 3, 4, 5});
    pollfd p{uart.descriptor(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 20000), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    unsigned char buf[8] = {};
    ASSERT_EQ(uart.pollComport(buf, 2), 2);
    uart.flush();
    EXPECT_TRUE(pending().empty()) << "flush left input behind";
}

// The half-duplex line echoes every byte sent. sendBuf must discard exactly
// that echo: not bytes that were waiting before (a late reply), and not the
// node's reply that follows it.
TEST_F(Port, SendBufDiscardsExactlyTheEchoOfItsFrame) {
    pty.writeMaster(Bytes(FRAME.size(), 0xAA));  // a late reply of the last exchange
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const Bytes reply = FrameCodec::valueReply(0x0102, 7, {0x55});
    Clock::time_point answered;
    std::thread line([&] {
        Bytes seen = pty.readMaster(20000, 1);
        answered = Clock::now();
        seen.insert(seen.end(), reply.begin(), reply.end());
        pty.writeMaster(seen);
    });
    const auto began = Clock::now();
    EXPECT_EQ(uart.sendBuf(FRAME.data(), static_cast<int>(FRAME.size())), 1);
    line.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const Bytes left = pending();
    if (answered - began < SURELY_IN_TIME) {
        EXPECT_EQ(left, reply);
    } else {
        Bytes late = FRAME;
        late.insert(late.end(), reply.begin(), reply.end());
        EXPECT_EQ(left, late) << "answered late, after " << (answered - began).count() << " ns";
    }
}

TEST_F(Port, SendBufWithoutAnEchoGivesUp) {
    EXPECT_EQ(uart.sendBuf(FRAME.data(), static_cast<int>(FRAME.size())), 1);
    EXPECT_EQ(pty.readMaster(20000), FRAME);
}

// A USB adapter pulled out: the kernel hangs its tty up. Unlike a pty whose
// other side closed (EIO), a hung-up tty reads as end of file, which a raw
// port's "nothing yet" looks like; poll reports POLLHUP. The port must take
// it as lost, not as a silent line, and let the descriptor go so the device
// can come back under its old name. TIOCVHANGUP on the pty does what the USB
// driver's disconnect does to the tty (needs CAP_SYS_ADMIN).
TEST_F(Port, HungUpDeviceReadsAsLostAndIsLetGo) {
    if (!hangUp()) GTEST_SKIP() << "TIOCVHANGUP refused: needs CAP_SYS_ADMIN";
    unsigned char buf[16];
    EXPECT_EQ(read(uart.descriptor(), buf, sizeof buf), 0) << "a hung-up tty reads as end of file";
    EXPECT_EQ(uart.pollComport(buf, sizeof buf), 0);
    EXPECT_EQ(uart.lostError(), EIO);
    EXPECT_EQ(uart.descriptor(), -1) << "the lost device's descriptor is let go";
    // Back under its own name: the same path opens again.
    RecordingStream warning(2);
    EXPECT_EQ(uart.openUART(), 0);
    EXPECT_EQ(uart.lostError(), 0);
}

TEST_F(Port, WriteToHungUpDeviceIsLostAndLetGo) {
    if (!hangUp()) GTEST_SKIP() << "TIOCVHANGUP refused: needs CAP_SYS_ADMIN";
    EXPECT_EQ(uart.sendBuf(FRAME.data(), static_cast<int>(FRAME.size())), 1);
    EXPECT_EQ(uart.lostError(), EIO);
    EXPECT_EQ(uart.descriptor(), -1);
}
