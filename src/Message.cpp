#include "Message.h"

#include "Console.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iostream>
#include <memory>
#include <vector>

namespace {

// CRC-8, polynomial 0x31, MSB first: entry i is the CRC of the single byte i.
constexpr std::array<unsigned char, 256> makeCrcTable() {
    std::array<unsigned char, 256> table{};
    for (unsigned int i = 0; i < 256; ++i) {
        unsigned int crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80u) ? ((crc << 1) ^ 0x31u) : (crc << 1);
        }
        table[i] = static_cast<unsigned char>(crc & 0xFFu);
    }
    return table;
}

constexpr std::array<unsigned char, 256> CRC_TABLE = makeCrcTable();
static_assert(CRC_TABLE[1] == 0x31 && CRC_TABLE[7] == 0x97, "CRC-8 table");

// Bytes of a value request/set command header and of the frame trailer.
constexpr int SET_HEADER = 6;    // '#', L, code, address high, address low, gateway
constexpr int FRAME_EXTRA = 8;   // header + CRC + '$' around the payload

// Number of bits a node's values occupy, or -1 when the node has no table or
// its table and payload length disagree with its type (a type changed after
// the table was made, or a product that wrapped). Such nodes are packed as
// zeros and never written.
long long payloadBits(const Node& node, unsigned int byteLength) {
    const std::shared_ptr<ValueTable> table = node.getTable();
    if (!table) return -1;
    const DeviceType type = node.getType();
    const unsigned int channels = node.getChannelCount();
    if (table->channels() != channels || table->perChannel() != type.getDataCount()) return -1;
    const long long bits = static_cast<long long>(channels) * type.getDataCount() * type.getDataRange();
    if ((bits + 7) / 8 != static_cast<long long>(byteLength)) return -1;
    return bits;
}

}  // namespace

// Definitions so the frame markers can be bound to references (gtest, std::max).
const unsigned char Message::START;
const unsigned char Message::END;

Message::Message() : address(0) { std::copy(CRC_TABLE.begin(), CRC_TABLE.end(), crcTab); }

void Message::setAddress(unsigned char value) { address = value; }

unsigned char Message::calculateChecksum(const unsigned char* buf, short start, short stop) const {
    unsigned char crc = 0;
    for (int i = start; i <= stop; ++i) crc = crcTab[crc ^ buf[i]];
    return crc;
}

int Message::finish(unsigned char* txbuf, unsigned char length) const {
    txbuf[1] = length;
    txbuf[2 + length] = calculateChecksum(txbuf, 1, static_cast<short>(1 + length));
    txbuf[3 + length] = END;
    return length + 4;
}

int Message::makeDiscovery(unsigned char* txbuf) {
    txbuf[0] = START;
    txbuf[2] = DISCOVERY;
    return finish(txbuf, 1);
}

int Message::makeAddressFrame(unsigned char* txbuf, unsigned char code, const Node& node) const {
    txbuf[0] = START;
    txbuf[2] = code;
    txbuf[3] = static_cast<unsigned char>(node.getRandom() >> 8);
    txbuf[4] = static_cast<unsigned char>(node.getRandom() & 0xFF);
    txbuf[5] = static_cast<unsigned char>(node.getAddress() >> 8);
    txbuf[6] = static_cast<unsigned char>(node.getAddress() & 0xFF);
    txbuf[7] = address;
    return finish(txbuf, 6);
}

int Message::makeDiscoveryAddress(unsigned char* txbuf, Node node) {
    return makeAddressFrame(txbuf, ADDRESS_ASSIGN, node);
}

int Message::makeDiscoveryCheckOk(unsigned char* txbuf, Node node) {
    return makeAddressFrame(txbuf, ADDRESS_CONFIRM, node);
}

int Message::makeNodeHeader(unsigned char* txbuf, unsigned char code, const Node& node) const {
    txbuf[0] = START;
    txbuf[2] = code;
    txbuf[3] = static_cast<unsigned char>(node.getAddress() >> 8);
    txbuf[4] = static_cast<unsigned char>(node.getAddress() & 0xFF);
    txbuf[5] = address;
    return SET_HEADER;
}

int Message::makeMeassure(unsigned char* txbuf, Node node) {
    makeNodeHeader(txbuf, MEASURE, node);
    return finish(txbuf, 4);
}

int Message::makeRequest(unsigned char* txbuf, Node node) {
    makeNodeHeader(txbuf, VALUE_REQUEST, node);
    return finish(txbuf, 4);
}

int Message::makeSet(unsigned char* txbuf, Node node) {
    const unsigned int byteLength = node.getDataLength();
    makeNodeHeader(txbuf, SET, node);
    unsigned char* payload = txbuf + SET_HEADER;
    std::memset(payload, 0, byteLength);

    if (payloadBits(node, byteLength) >= 0) {
        // One consistent copy: the server link may be writing the table meanwhile.
        std::vector<unsigned int>& values = scratch;
        node.getTable()->copyForSet(values);
        const unsigned int range = node.getType().getDataRange();
        std::size_t bit = 0;  // position in the payload bit stream
        for (unsigned int value : values) {
            for (unsigned int b = 0; b < range; ++b, ++bit) {
                // Bits above the 32 a value holds go out as 0.
                if (b < 32 && ((value >> b) & 1u)) {
                    payload[bit / 8] = static_cast<unsigned char>(payload[bit / 8] | (1u << (bit % 8)));
                }
            }
        }
    }
    return finish(txbuf, static_cast<unsigned char>(byteLength + 4));
}

bool Message::frameAt(const unsigned char* frame, int available, unsigned char length, unsigned char code) const {
    if (available < length + 4) return false;
    return frame[0] == START && frame[1] == length && frame[2] == code && frame[3 + length] == END &&
           frame[2 + length] == calculateChecksum(frame, 1, static_cast<short>(1 + length));
}

int Message::get(unsigned char* rxbuf, Node node, int n) {
    const unsigned int byteLength = node.getDataLength();
    const long long bits = payloadBits(node, byteLength);
    if (bits < 0 || rxbuf == nullptr) return -1;
    const std::shared_ptr<ValueTable> table = node.getTable();
    const unsigned int range = node.getType().getDataRange();
    const std::size_t valueCount = static_cast<std::size_t>(table->channels()) * table->perChannel();
    const unsigned char length = static_cast<unsigned char>(byteLength + 4);

    int result = -1;
    std::vector<unsigned int>& values = scratch;
    values.assign(valueCount, 0u);
    for (int i = 0; i < n; ++i) {
        if (!frameAt(rxbuf + i, n - i, length, VALUE_REPLY)) continue;
        const unsigned char* payload = rxbuf + i + SET_HEADER;
        std::size_t bit = 0;
        for (std::size_t v = 0; v < valueCount; ++v) {
            unsigned int value = 0;
            for (unsigned int b = 0; b < range; ++b, ++bit) {
                // Bits above 32 do not fit a value and are dropped.
                if (b < 32 && ((payload[bit / 8] >> (bit % 8)) & 1u)) value |= 1u << b;
            }
            values[v] = value;
        }
        // The whole reply is compared and stored at once under the table's lock.
        result = table->store(values) ? 1 : 0;
    }
    return result;
}

void Message::discoveryResponse(unsigned char* rxbuf, int n, nodeMap& nodes, typeMap& types) {
    if (rxbuf == nullptr) return;
    int p = 0;
    while (p < n) {
        const unsigned char* frame = rxbuf + p;
        if (!frameAt(frame, n - p, 5, DISCOVERY_REPLY)) {
            ++p;
            continue;
        }
        const unsigned short random = static_cast<unsigned short>(frame[5] * 256 + frame[6]);
        const int typeCode = frame[4];
        Node node;
        node.setRandom(random);
        node.setChannelCount(frame[3]);
        // An unknown code is reported with a default type but never filed in
        // the map: a type the server registers later must still take the code.
        const auto known = types.find(typeCode);
        node.setType(known != types.end() ? known->second : DeviceType());
        console::out("Mame tu nod s randomem " + std::to_string(random) + " a typem" + std::to_string(typeCode));
        nodes.emplace(random, node);  // a node already found keeps its entry
        p += 9;
    }
}

bool Message::discoveryCheck(unsigned char* rxbuf, int n, Node node) {
    if (rxbuf == nullptr) return false;
    for (int i = 0; i < n; ++i) {
        const unsigned char* frame = rxbuf + i;
        if (!frameAt(frame, n - i, 6, ADDRESS_CHECK)) continue;
        const unsigned short random = static_cast<unsigned short>(frame[3] * 256 + frame[4]);
        const unsigned short addr = static_cast<unsigned short>(frame[5] * 256 + frame[6]);
        if (random == node.getRandom() && addr == node.getAddress()) return true;
    }
    return false;
}
