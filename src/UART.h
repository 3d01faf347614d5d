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
    UART();
    UART(std::string portname, int baudrate);
    virtual ~UART() = default;

    int openUART(std::string portname, int baudrate);
    int openUART();
    // One non-blocking read of at most `size` bytes: count, 0 or -1.
    int pollComport(unsigned char* buf, int size);
    void flush();
    int sendByte(unsigned char byte);
    // Writes all n bytes, then discards the n echo bytes the half-duplex line
    // sends back (gives up after about 40 ms). Always returns 1.
    int sendBuf(const unsigned char* buf, int n);
    void closeComport();
    int isDCDEnabled();
    int isCTSEnabled();
    int isDSREnabled();
    void enableDTR();
    void disableDTR();
    void enableRTS();
    void disableRTS();
    void cputs(const char* text);

    int descriptor() const { return port; }

private:
    // (private section owned by the UART's implementation)
    int baudrate = 0;
    int port = 0;
    std::string portname;
    int error = 0;
    termios portSettings{};
    unsigned char rxbufpart[128]{};
};

#endif
