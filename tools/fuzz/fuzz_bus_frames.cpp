// Every decoder of what the bus brings in, on the same arbitrary receive
// buffer, against the bench's independent codec (tools/bench/FrameCodec):
//   - Message::get for a node of the input's shape: every valid value reply
//     of the node's length is applied in turn, the result is the last one's;
//   - Message::discoveryResponse: a valid discovery reply files a node keyed
//     by its random number (the first one wins), the scan skipping 9 bytes
//     after a reply and 1 otherwise; unknown type codes gain a default type;
//   - Message::discoveryCheck: true exactly when a valid check reply names
//     the node's random number and address.
// The buffer is exactly as long as the count given: ASan sees any overread.
// Input: channels, values per channel, bits per value, random (2), address
// (2), then the buffer.
#include <map>

#include "FrameCodec.h"
#include "FuzzSupport.h"
#include "Message.h"

namespace {

// True when a whole valid frame of this code and body length starts at rx[i].
bool frameAt(const std::vector<uint8_t>& rx, std::size_t i, uint8_t code, std::size_t body) {
    if (i + body + 5 > rx.size()) return false;
    const uint8_t* f = rx.data() + i;
    return f[0] == Message::START && f[1] == body + 1 && f[2] == code && f[body + 4] == Message::END &&
           f[body + 3] == FrameCodec::crc8(f + 1, body + 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    DeviceType type;
    type.setType(3);
    const unsigned channels = in.byte();
    type.setDataCount(in.byte());
    type.setDataRange(in.byte());
    if (!Node::fitsOnBus(channels, type)) return 0;  // the gateway never files such a node
    Node node;
    node.setChannelCount(static_cast<int>(channels));
    node.setType(type);
    node.setRandom(in.u16());
    node.setAddress(in.u16());
    node.makeData();
    std::vector<uint8_t> rx = in.rest();
    const int n = static_cast<int>(rx.size());
    const std::size_t count = std::size_t{channels} * type.getDataCount();
    const std::size_t bytes = FrameCodec::payloadBytes(count, type.getDataRange());

    int expected = -1;
    std::vector<unsigned int> table(count, 0);
    std::map<unsigned short, std::pair<int, int>> found;  // random: channels, type code
    bool checked = false;
    for (std::size_t i = 0; i < rx.size(); ++i) {
        if (frameAt(rx, i, Message::VALUE_REPLY, bytes + 3)) {
            const auto values = FrameCodec::unpack(std::vector<uint8_t>(rx.begin() + i + 6, rx.begin() + i + 6 + bytes),
                                                   count, type.getDataRange());
            expected = values != table ? 1 : 0;
            table = values;
        }
        checked = checked || (frameAt(rx, i, Message::ADDRESS_CHECK, 5) && (rx[i + 3] << 8 | rx[i + 4]) == node.getRandom() &&
                              (rx[i + 5] << 8 | rx[i + 6]) == node.getAddress());
    }
    for (std::size_t p = 0; p < rx.size(); ++p) {
        if (!frameAt(rx, p, Message::DISCOVERY_REPLY, 4)) continue;
        found.emplace(static_cast<unsigned short>(rx[p + 5] << 8 | rx[p + 6]), std::make_pair(rx[p + 3], rx[p + 4]));
        p += 8;
    }

    Message message;
    FUZZ_CHECK(message.get(rx.data(), node, n) == expected, "get's result differs from the last valid reply's");
    FUZZ_CHECK(node.getTable()->snapshot() == table, "get left other values than the replies carry");
    FUZZ_CHECK(message.discoveryCheck(rx.data(), n, node) == checked, "discoveryCheck decided otherwise");
    nodeMap nodes;
    typeMap types{{3, type}};
    message.discoveryResponse(rx.data(), n, nodes, types);
    FUZZ_CHECK(nodes.size() == found.size(), "discoveryResponse filed another number of nodes");
    for (const auto& [random, what] : found) {
        const auto it = nodes.find(random);
        FUZZ_CHECK(it != nodes.end() && it->second.getRandom() == random, "a valid discovery reply was not filed");
        FUZZ_CHECK(static_cast<int>(it->second.getChannelCount()) == what.first, "the first reply's channel count lost");
        FUZZ_CHECK(static_cast<int>(it->second.getType().getType()) == (what.second == 3 ? 3 : 0), "wrong type");
        FUZZ_CHECK(types.count(what.second) == 1, "an unknown type code was not added");
    }
    return 0;
}
