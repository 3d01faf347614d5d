#include "Node.h"

unsigned short Node::getAddress() const { return address; }
void Node::setAddress(unsigned short value) { address = value; }
unsigned int Node::getChannelCount() const { return static_cast<unsigned int>(channelCount); }
void Node::setChannelCount(int value) { channelCount = value; }
unsigned short Node::getRandom() const { return random; }
void Node::setRandom(unsigned short value) { random = value; }
DeviceType Node::getType() const { return type; }
void Node::setType(DeviceType value) { type = value; }
bool Node::isWired() const { return wired; }
void Node::setWired(bool value) { wired = value; }
bool Node::isChange() const { return change; }
void Node::setChange(bool value) { change = value; }
unsigned long Node::getErrorTime() { return errorTime; }
void Node::setErrorTime(unsigned long value) { errorTime = value; }
unsigned char Node::getDataLength() { return byteLength; }

unsigned int** Node::getData() const { return data ? data->rows() : nullptr; }
std::shared_ptr<ValueTable> Node::getTable() const { return data; }

void Node::makeData() {
    const unsigned int channels = channelCount > 0 ? static_cast<unsigned int>(channelCount) : 0u;
    data = std::make_shared<ValueTable>(channels, type.getDataCount());
    // Kept in 8 bits like the frames that carry it; fitsOnBus() tells callers
    // beforehand whether the product fits.
    const unsigned long bits = static_cast<unsigned long>(channels) * type.getDataCount() * type.getDataRange();
    bitLength = static_cast<unsigned char>(bits);
    byteLength = static_cast<unsigned char>(bitLength / 8 + (bitLength % 8 != 0 ? 1 : 0));
}

bool Node::fitsOnBus() const { return fitsOnBus(channelCount, type); }

bool Node::fitsOnBus(long long channels, const DeviceType& t) {
    if (channels < 0) return false;
    return channels * t.getDataCount() * t.getDataRange() <= 255;
}
