#include "UART.h"
// Not built yet.
UART::UART() = default;
UART::UART(std::string name, int baud) : baudrate(baud), portname(std::move(name)) {}
int UART::openUART(std::string name, int baud) { portname = std::move(name); baudrate = baud; return openUART(); }
int UART::openUART() { return 1; }
int UART::pollComport(unsigned char*, int) { return -1; }
void UART::flush() {}
int UART::sendByte(unsigned char) { return 1; }
int UART::sendBuf(const unsigned char*, int) { return 1; }
void UART::closeComport() {}
int UART::isDCDEnabled() { return 0; }
int UART::isCTSEnabled() { return 0; }
int UART::isDSREnabled() { return 0; }
void UART::enableDTR() {}
void UART::disableDTR() {}
void UART::enableRTS() {}
void UART::disableRTS() {}
void UART::cputs(const char*) {}
