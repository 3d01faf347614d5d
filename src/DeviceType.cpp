#include "DeviceType.h"

// Definitions for the class constants, so they can be bound to references
// (comparisons in gtest, std::max, ...) without a link error.
const char DeviceType::R;
const char DeviceType::RW;
const char DeviceType::W;
const char DeviceType::NOW;
const char DeviceType::DELAYED;

unsigned int DeviceType::getType() const { return type; }
void DeviceType::setType(unsigned int value) { type = value; }
unsigned char DeviceType::getDataRange() const { return dataRange; }
void DeviceType::setDataRange(unsigned char value) { dataRange = value; }
unsigned char DeviceType::getDataCount() const { return dataCount; }
void DeviceType::setDataCount(unsigned char value) { dataCount = value; }
unsigned char DeviceType::getReadWrite() const { return readWrite; }
void DeviceType::setReadWrite(unsigned char value) { readWrite = value; }
unsigned char DeviceType::getLatency() const { return latency; }
void DeviceType::setLatency(unsigned char value) { latency = value; }
