#ifndef PELKO_TEST_BUILDERS_H
#define PELKO_TEST_BUILDERS_H

#include "Node.h"

// A device type: `count` values of `range` bits per channel.
inline DeviceType makeType(unsigned int code, unsigned char readWrite, unsigned char latency, unsigned char count,
                           unsigned char range) {
    DeviceType type;
    type.setType(code);
    type.setReadWrite(readWrite);
    type.setLatency(latency);
    type.setDataCount(count);
    type.setDataRange(range);
    return type;
}

// A node as the server link files it: address, type, channels and a fresh table.
inline Node makeNode(unsigned short address, const DeviceType& type, int channels, unsigned short random = 0) {
    Node node;
    node.setAddress(address);
    node.setRandom(random);
    node.setChannelCount(channels);
    node.setType(type);
    node.setWired(true);
    node.makeData();
    return node;
}

#endif
