#ifndef PELKO_UART_H
#define PELKO_UART_H

#include <termios.h>

#include <string>

// A tty used raw (8N1, no flow control, non-blocking reads) at one of the
// standard termios speeds. The bus master uses openUART, sendBuf,
// pollComport and flush; the rest is the usual serial-port toolkit.
// Failures return 1 after a perror() line. The destructor leaves the device open.
class UART {
public:
    UART();  // nothing set, nothing open
    // Keeps a copy of the path and the speed; opens nothing.
    UART(std::string portname, int baudrate);
    virtual ~UART() = default;

    // Sets path and speed, then opens as openUART(). 0 on success, 1 on failure.
    int openUART(std::string portname, int baudrate);
    // Opens the device raw 8N1 at the set speed with DTR and RTS asserted.
    // 1 after a message when the speed is not one of the 23 table speeds
    // (50 to 1000000), path or speed was never set, or a step fails. A device
    // without modem lines is fine (one warning line).
    int openUART();
    // One non-blocking read of at most `size` bytes: count, 0 or -1.
    int pollComport(unsigned char* buf, int size);
    // Discards unread input and unsent output.
    void flush();
    // 0 when the byte was written, 1 on a write error.
    int sendByte(unsigned char byte);
    // Writes all n bytes, then discards the n echo bytes the half-duplex line
    // sends back (gives up after about 40 ms). Always returns 1.
    int sendBuf(const unsigned char* buf, int n);
    // Drops DTR and RTS (reporting failures) and closes the descriptor.
    void closeComport();
    // Modem line queries: 1 when the line is up, 0 when down or unreadable.
    int isDCDEnabled();
    int isCTSEnabled();
    int isDSREnabled();
    // Modem line setters; report failures and write nothing after a failed read.
    void enableDTR();
    void disableDTR();
    void enableRTS();
    void disableRTS();
    // Sends the text's bytes without the terminating zero.
    void cputs(const char* text);

    // The errno of a failure meaning the device is gone (EIO, ENXIO, ENODEV,
    // EBADF, a hang-up), or 0. Reads and writes note it and close the
    // descriptor; openUART clears it.
    int lostError() const { return lost; }
    // Closes the descriptor without touching the modem lines, which may be gone.
    void release();

    // The device's descriptor (0 before the first open, -1 after a failed one).
    int descriptor() const { return port; }

private:
    // One warning line for a device without modem lines; returns 0.
    int warnNoModemLines() const;
    // Keeps `err` when it means the device is gone.
    void noteFailure(int err);
    // 1 when the modem status bit is set, 0 when clear or unreadable.
    int modemBit(int bit);
    // Sets or clears one modem status bit; writes nothing when the read failed.
    void changeModemBit(int bit, bool on);

    int baudrate = 0;
    int port = 0;
    std::string portname;  // a copy: the caller's text may be gone by openUART()
    int error = 0;
    int lost = 0;
    termios portSettings{};
    bool configured = false;  // path and speed were given
    unsigned char rxbufpart[128]{};  // sendBuf's scratch for the echo it discards
};

#endif
