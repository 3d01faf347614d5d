// Discovery replies: Message::discoveryResponse on arbitrary buffers, with a
// type map and an already filled node map taken from the input.
// Input: type count (low 3 bits) and flags, the types (5 bytes each: code,
// bits per value, values per channel, direction, schedule), a random number
// already filed, then the buffer. Checked against a model of the scan
// (skip 9 after a valid reply, 1 otherwise; first reply of a random wins;
// unknown type codes add a default type).
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Message.h"

namespace {

bool sameType(const DeviceType& a, const DeviceType& b) {
    return a.getType() == b.getType() && a.getDataRange() == b.getDataRange() &&
           a.getDataCount() == b.getDataCount() && a.getReadWrite() == b.getReadWrite() &&
           a.getLatency() == b.getLatency();
}

struct Found {
    unsigned short random;
    int channels;
    DeviceType type;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const uint8_t head = in.byte();
    typeMap types;
    for (int i = 0; i < (head & 7); ++i) {
        DeviceType type;
        type.setType(in.byte());
        type.setDataRange(in.byte());
        type.setDataCount(in.byte());
        type.setReadWrite(in.byte());
        type.setLatency(in.byte());
        types.emplace(static_cast<int>(type.getType()), type);
    }
    nodeMap nodes;
    const unsigned short filed = in.u16();
    const bool prefilled = (head & 8) != 0;
    if (prefilled) {
        Node old;
        old.setRandom(filed);
        old.setChannelCount(77);
        nodes.emplace(filed, old);
    }
    std::vector<uint8_t> rx = in.rest();
    const int n = static_cast<int>(rx.size());

    // The model.
    typeMap expectedTypes = types;
    std::unordered_map<unsigned short, Found> expected;
    for (int p = 0; p < n;) {
        const uint8_t* f = rx.data() + p;
        const bool valid = p + 8 < n && f[0] == 0x23 && f[1] == 5 && f[2] == 1 && f[8] == 0x24 &&
                           f[7] == referenceCrc(f + 1, 6);
        if (!valid) {
            ++p;
            continue;
        }
        const auto random = static_cast<unsigned short>(f[5] << 8 | f[6]);
        const DeviceType type = expectedTypes[f[4]];
        if (!(prefilled && random == filed)) expected.emplace(random, Found{random, f[3], type});
        p += 9;
    }

    Message message;
    message.discoveryResponse(rx.data(), n, nodes, types);

    FUZZ_CHECK(nodes.size() == expected.size() + (prefilled ? 1 : 0),
               "discoveryResponse filed " + std::to_string(nodes.size()) + " nodes, expected " +
                   std::to_string(expected.size() + (prefilled ? 1 : 0)));
    if (prefilled) {
        const auto it = nodes.find(filed);
        FUZZ_CHECK(it != nodes.end() && it->second.getChannelCount() == 77, "a node already filed was replaced");
    }
    for (const auto& [random, want] : expected) {
        const auto it = nodes.find(random);
        FUZZ_CHECK(it != nodes.end(), "a valid discovery reply was not filed");
        const Node& got = it->second;
        FUZZ_CHECK(got.getRandom() == random, "node filed under another key than its random number");
        FUZZ_CHECK(got.getChannelCount() == static_cast<unsigned>(want.channels), "wrong channel count");
        FUZZ_CHECK(sameType(got.getType(), want.type), "node got another type than the map holds for its code");
        FUZZ_CHECK(got.getTable() == nullptr, "a discovered node got a value table");
        FUZZ_CHECK(got.getAddress() == 0, "a discovered node got an address");
    }
    FUZZ_CHECK(types.size() == expectedTypes.size(), "type map did not gain exactly the unknown codes");
    for (const auto& [code, type] : expectedTypes) {
        const auto it = types.find(code);
        FUZZ_CHECK(it != types.end() && sameType(it->second, type), "type map entry changed or missing");
    }
    return 0;
}
