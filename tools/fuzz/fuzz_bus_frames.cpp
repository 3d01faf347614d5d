// Every decoder of what the bus brings in, on the same arbitrary receive
// buffer, exactly as long as the count given so that ASan sees any overread.
// Message::get is checked against the bench's independent codec
// (tools/bench/FrameCodec): every valid value reply of the node's length is
// applied in turn, and the result is the last one's. The discovery decoders
// must file only nodes they were shown and recognise a check reply only
// when the buffer holds one. Input: channels, values per channel, bits per
// value, random (2), address (2), then the buffer.
#include "FrameCodec.h"
#include "FuzzSupport.h"
#include "Message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    DeviceType type;
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
    const std::size_t count = std::size_t{channels} * type.getDataCount();
    const std::size_t bytes = FrameCodec::payloadBytes(count, type.getDataRange());

    int expected = -1;
    std::vector<unsigned int> table(count, 0);
    for (std::size_t i = 0; i + bytes + 8 <= rx.size(); ++i) {
        const uint8_t* f = rx.data() + i;
        if (f[0] != Message::START || f[1] != bytes + 4 || f[2] != Message::VALUE_REPLY || f[bytes + 7] != Message::END ||
            f[bytes + 6] != FrameCodec::crc8(f + 1, bytes + 5)) {
            continue;
        }
        const auto values = FrameCodec::unpack(std::vector<uint8_t>(f + 6, f + 6 + bytes), count, type.getDataRange());
        expected = values != table ? 1 : 0;
        table = values;
    }
    Message message;
    const int n = static_cast<int>(rx.size());
    FUZZ_CHECK(message.get(rx.data(), node, n) == expected, "get's result differs from the last valid reply's");
    FUZZ_CHECK(node.getTable()->snapshot() == table, "get left other values than the replies carry");
    nodeMap nodes;
    typeMap types;
    message.discoveryResponse(rx.data(), n, nodes, types);
    FUZZ_CHECK(nodes.size() <= static_cast<std::size_t>(n / 9), "more nodes filed than replies fit the buffer");
    FUZZ_CHECK(!message.discoveryCheck(rx.data(), n, node) || n >= 10, "a check reply recognised in too few bytes");
    return 0;
}
