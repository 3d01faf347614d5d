#include "DeviceType.h"

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
