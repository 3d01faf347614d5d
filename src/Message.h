#ifndef PELKO_MESSAGE_H
#define PELKO_MESSAGE_H

#include <vector>

#include "Node.h"

// The bus frame format: builds every frame the gateway sends and finds,
// checks and decodes every frame it reads. Frame: '#' L code body CRC '$',
// CRC-8 (poly 0x31, init 0) over L, code and body. Knows nothing of timing.
class Message {
public:
    // Frame markers.
    static const unsigned char START = 0x23;  // '#'
    static const unsigned char END = 0x24;    // '$'
    // Frame codes: finding and addressing new nodes, then their values.
    enum Code : unsigned char {
        DISCOVERY = 0x00, DISCOVERY_REPLY = 0x01, ADDRESS_ASSIGN = 0x02, ADDRESS_CHECK = 0x04, ADDRESS_CONFIRM = 0x05,
        VALUE_REQUEST = 0x0A, VALUE_REPLY = 0x0B, SET = 0x0C, MEASURE = 0x0E,
    };

    Message();
    virtual ~Message() = default;

    // The gateway's own bus address, carried by every addressed frame (0 until set).
    void setAddress(unsigned char address);

    // Builders write one whole frame at txbuf[0] (room for 40 bytes needed)
    // and return its length.
    int makeDiscovery(unsigned char* txbuf);
    int makeDiscoveryAddress(unsigned char* txbuf, Node node);
    int makeDiscoveryCheckOk(unsigned char* txbuf, Node node);
    int makeMeassure(unsigned char* txbuf, Node node);
    int makeRequest(unsigned char* txbuf, Node node);
    int makeSet(unsigned char* txbuf, Node node);

    // Applies every valid value reply of this node's length found in the n
    // bytes to the node's table. -1: none found; 1/0: the last one did/did
    // not change a value. Never reads outside rxbuf[0..n).
    int get(unsigned char* rxbuf, Node node, int n);
    // Files every valid discovery reply as a new node keyed by its random
    // number (first one wins), printing "Mame tu nod s randomem ..." for each.
    // A type code absent from `types` gives a default type and adds nothing.
    void discoveryResponse(unsigned char* rxbuf, int n, nodeMap& nodes, typeMap& types);
    // True when a valid address check reply carries this node's random and address.
    bool discoveryCheck(unsigned char* rxbuf, int n, Node node);

    // CRC-8 of buf[start..stop], both included; 0 when start > stop.
    unsigned char calculateChecksum(const unsigned char* buf, short start, short stop) const;

private:
    // Values of one frame; reused so that a frame exchange allocates nothing
    // once the largest node has been seen.
    std::vector<unsigned int> scratch;
    // Fills in L, the CRC over offsets 1..1+L and the end marker; returns L + 4.
    int finish(unsigned char* txbuf, unsigned char length) const;
    // Writes '#', code, random and address (high byte first) and the gateway address.
    int makeAddressFrame(unsigned char* txbuf, unsigned char code, const Node& node) const;
    // Writes '#', code, node address (high byte first) and the gateway address.
    int makeNodeHeader(unsigned char* txbuf, unsigned char code, const Node& node) const;
    // True when a whole valid frame of this length and code starts at frame[0]
    // and lies within the `available` bytes.
    bool frameAt(const unsigned char* frame, int available, unsigned char length, unsigned char code) const;

    unsigned char address = 0;
    unsigned char crcTab[256];
};

#endif
