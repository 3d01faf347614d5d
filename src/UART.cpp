#include "UART.h"

#include "Console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace {

struct SpeedEntry {
    int speed;
    speed_t constant;
};

// The only speeds the port accepts.
const SpeedEntry SPEEDS[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},         {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000},
};

bool lookupSpeed(int speed, speed_t& constant) {
    for (const SpeedEntry& entry : SPEEDS) {
        if (entry.speed == speed) {
            constant = entry.constant;
            return true;
        }
    }
    return false;
}

// How long sendBuf waits for its bytes to go out and come back.
constexpr std::chrono::milliseconds ECHO_WAIT(40);

// Blocks until fd is ready for `events` or the deadline passes. Returns the
// revents (0 on time-out).
short waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        // Past the deadline one last look without waiting: on a busy system
        // this thread may run late while the bytes are already there.
        // Otherwise round up, so a sub-millisecond rest sleeps instead of spinning.
        const auto ms = left <= std::chrono::steady_clock::duration::zero()
                            ? 0
                            : std::chrono::ceil<std::chrono::milliseconds>(left).count();
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, static_cast<int>(ms));
        if (r > 0) return p.revents;
        if (r == 0 && ms == 0) return 0;
        if (r < 0 && errno != EINTR) return POLLERR;
    }
}

}  // namespace

UART::UART() = default;

UART::UART(std::string name, int baud) : baudrate(baud), port(0), portname(std::move(name)), error(0), configured(true) {}

int UART::openUART(std::string name, int baud) {
    portname = std::move(name);
    baudrate = baud;
    port = 0;
    error = 0;
    configured = true;
    return openUART();
}

void UART::noteFailure(int err) {
    if (err != EIO && err != ENXIO && err != ENODEV && err != EBADF) return;
    if (lost == 0) lost = err;  // the first failure says why; later ones meet a closed port
    // Let go of a device that is gone at once: a USB adapter that comes back
    // while its old descriptor is still open gets a new name (ttyUSB1 for
    // ttyUSB0), which only a by-id path would find.
    release();
}

void UART::release() {
    if (port > 0) close(port);
    port = -1;
}

int UART::openUART() {
    lost = 0;
    if (!configured) {
        console::out("comport path and baudrate not set");
        return 1;
    }
    speed_t speed = B0;
    if (!lookupSpeed(baudrate, speed)) {
        console::out("invalid baudrate");
        return 1;
    }

    port = open(portname.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port == -1) {
        console::failed("unable to open comport ");
        return 1;
    }

    // Raw 8N1: receiver on, modem lines ignored, no parity, flow control,
    // translation, echo or signals; VMIN = VTIME = 0 so reads never wait.
    std::memset(&portSettings, 0, sizeof portSettings);
    portSettings.c_cflag = speed | CS8 | CREAD | CLOCAL;
    portSettings.c_iflag = IGNPAR;
    portSettings.c_oflag = 0;
    portSettings.c_lflag = 0;
    portSettings.c_cc[VMIN] = 0;
    portSettings.c_cc[VTIME] = 0;
    error = tcsetattr(port, TCSANOW, &portSettings);
    if (error == -1) {
        close(port);
        console::failed("unable to adjust portsettings ");
        return 1;
    }

    // DTR/RTS do not steer this bus (the GPIO pin does), so a device without
    // modem lines (a pty, some on-board UARTs) is fine.
    int status = 0;
    if (ioctl(port, TIOCMGET, &status) == -1) {
        if (errno == ENOTTY || errno == EINVAL) return warnNoModemLines();
        console::failed("unable to get portstatus");
        return 1;
    }
    status |= TIOCM_DTR;
    status |= TIOCM_RTS;
    if (ioctl(port, TIOCMSET, &status) == -1) {
        if (errno == ENOTTY || errno == EINVAL) return warnNoModemLines();
        console::failed("unable to set portstatus");
        return 1;
    }
    return 0;
}

int UART::warnNoModemLines() const {
    console::err("warning: " + portname + " has no modem control lines, DTR and RTS left as they are", console::Priority::warning);
    return 0;
}

int UART::pollComport(unsigned char* buf, int size) {
    if (size <= 0) return 0;
    const ssize_t r = read(port, buf, static_cast<std::size_t>(size));
    if (r < 0) noteFailure(errno);
    // A hung-up tty (a USB adapter pulled out) reads as end of file, which
    // VMIN = VTIME = 0 cannot tell from silence; poll can.
    if (r == 0 && port > 0) {
        pollfd p{port, POLLIN, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) noteFailure(EIO);
    }
    return static_cast<int>(r);
}

void UART::flush() { tcflush(port, TCIOFLUSH); }

int UART::sendByte(unsigned char byte) { return write(port, &byte, 1) < 0 ? 1 : 0; }

int UART::sendBuf(const unsigned char* buf, int n) {
    if (buf == nullptr || n <= 0) return 1;
    const auto deadline = std::chrono::steady_clock::now() + ECHO_WAIT;

    // Whatever waits now came after the last exchange ended (a late reply,
    // noise). Taken for echo it would end the wait while the frame is still
    // on the wire, and the caller would switch the line driver off mid-frame.
    tcflush(port, TCIFLUSH);

    // Write everything, continuing short writes while the output queue drains.
    int written = 0;
    while (written < n) {
        const ssize_t w = write(port, buf + written, static_cast<std::size_t>(n - written));
        if (w > 0) {
            written += static_cast<int>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && errno == EAGAIN) {
            const short ev = waitFor(port, POLLOUT, deadline);
            if (ev & (POLLHUP | POLLNVAL)) noteFailure(ev & POLLNVAL ? EBADF : EIO);
            if (ev == 0 || (ev & (POLLERR | POLLHUP | POLLNVAL))) break;
        } else {
            if (w < 0) noteFailure(errno);
            break;
        }
    }

    // Discard exactly the echo of what went out, so a reply that follows it
    // stays queued for the caller.
    int echoed = 0;
    bool announced = false;  // poll said readable since the last byte came
    while (echoed < written) {
        const int want = std::min(written - echoed, static_cast<int>(sizeof rxbufpart));
        const ssize_t r = read(port, rxbufpart, static_cast<std::size_t>(want));
        if (r > 0) {
            echoed += static_cast<int>(r);
            announced = false;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) {
            noteFailure(errno);
            break;
        }
        // Readable, yet nothing to read: a hang-up; no echo will come.
        if (announced) {
            noteFailure(EIO);
            break;
        }
        const short ev = waitFor(port, POLLIN, deadline);
        if (ev == 0 || !(ev & POLLIN)) break;  // time-out, hang-up or error
        announced = true;
    }
    return 1;
}

void UART::closeComport() {
    int status = 0;
    if (ioctl(port, TIOCMGET, &status) == -1) {
        // There is no word to write back; just close.
        console::failed("unable to get portstatus");
    } else {
        status &= ~TIOCM_DTR;
        status &= ~TIOCM_RTS;
        if (ioctl(port, TIOCMSET, &status) == -1) console::failed("unable to set portstatus");
    }
    close(port);
}

int UART::modemBit(int bit) {
    int status = 0;
    if (ioctl(port, TIOCMGET, &status) == -1) return 0;
    return (status & bit) ? 1 : 0;
}

void UART::changeModemBit(int bit, bool on) {
    int status = 0;
    if (ioctl(port, TIOCMGET, &status) == -1) {
        console::failed("unable to get portstatus");
        return;
    }
    if (on) {
        status |= bit;
    } else {
        status &= ~bit;
    }
    if (ioctl(port, TIOCMSET, &status) == -1) console::failed("unable to set portstatus");
}

int UART::isDCDEnabled() { return modemBit(TIOCM_CAR); }
int UART::isCTSEnabled() { return modemBit(TIOCM_CTS); }
int UART::isDSREnabled() { return modemBit(TIOCM_DSR); }
void UART::enableDTR() { changeModemBit(TIOCM_DTR, true); }
void UART::disableDTR() { changeModemBit(TIOCM_DTR, false); }
void UART::enableRTS() { changeModemBit(TIOCM_RTS, true); }
void UART::disableRTS() { changeModemBit(TIOCM_RTS, false); }

void UART::cputs(const char* text) {
    if (text == nullptr) return;
    for (const char* c = text; *c != '\0'; ++c) sendByte(static_cast<unsigned char>(*c));
}
