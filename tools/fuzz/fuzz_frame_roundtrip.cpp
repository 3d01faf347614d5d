// Round trip of values over the bus: makeSet packs a node's table, the frame
// is turned into the value reply a node would send back, and get decodes it
// into another node of the same shape, which must then hold the same values
// (cut to their width). Also checks every builder byte by byte against an
// independent model. Input: shape (3 bytes), gateway address, node address
// (2), random (2), the reply's three unexamined bytes, then the values
// (4 bytes each, 0 when the input runs out).
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Message.h"

namespace {

void checkFrame(const std::vector<uint8_t>& tx, int length, const std::vector<uint8_t>& expected, const char* what) {
    FUZZ_CHECK(length == static_cast<int>(expected.size()),
               std::string(what) + ": length " + std::to_string(length) + ", expected " + std::to_string(expected.size()));
    FUZZ_CHECK(std::equal(expected.begin(), expected.end(), tx.begin()), std::string(what) + ": other bytes than the format gives");
}

std::vector<uint8_t> bytesOf(unsigned short a, unsigned short b, int extra) {
    std::vector<uint8_t> body{static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), static_cast<uint8_t>(b >> 8),
                              static_cast<uint8_t>(b)};
    if (extra >= 0) body.push_back(static_cast<uint8_t>(extra));
    return body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const NodeShape shape = readShape(in);
    if (!shape.fits()) return 0;  // the gateway never files such a node
    const uint8_t gateway = in.byte();
    const unsigned short address = in.u16();
    const unsigned short random = in.u16();
    const std::vector<uint8_t> filler{in.byte(), in.byte(), in.byte()};
    std::vector<uint32_t> values(shape.values());
    for (uint32_t& v : values) v = in.u32();

    Message message;
    message.setAddress(gateway);
    Node node = makeNode(shape, 9, address);
    node.setRandom(random);
    node.getTable()->withRows([&](unsigned int** rows) {
        for (unsigned c = 0; c < shape.channels; ++c) {
            for (unsigned i = 0; i < shape.count; ++i) rows[c][i] = values[c * shape.count + i];
        }
        return 0;
    });

    // The smallest transmit buffer a caller may give: 40 bytes.
    std::vector<uint8_t> tx(40);
    std::vector<uint8_t> body = bytesOf(address, 0, -1);
    body.resize(2);
    body.push_back(gateway);
    const std::vector<uint8_t> payload = referencePack(shape, values);
    body.insert(body.end(), payload.begin(), payload.end());
    const std::vector<uint8_t> set = referenceFrame(0x0C, body);
    checkFrame(tx, message.makeSet(tx.data(), node), set, "makeSet");
    FUZZ_CHECK(node.getTable()->snapshot() == values, "makeSet changed the table it packs");

    // The node answers with the same payload in a value reply.
    std::vector<uint8_t> reply(tx.begin(), tx.begin() + static_cast<long>(set.size()));
    reply[2] = 0x0B;
    std::copy(filler.begin(), filler.end(), reply.begin() + 3);
    reply[set.size() - 2] = referenceCrc(reply.data() + 1, set.size() - 3);
    Node back = makeNode(shape, 9, address);
    std::vector<uint32_t> expected = values;
    for (uint32_t& v : expected) v &= shape.mask();
    const int changed = message.get(reply.data(), back, static_cast<int>(reply.size()));
    const int wantChanged = expected != std::vector<uint32_t>(shape.values(), 0) ? 1 : 0;
    FUZZ_CHECK(changed == wantChanged, "get on the echoed reply returned " + std::to_string(changed));
    FUZZ_CHECK(back.getTable()->snapshot() == expected, "values did not survive makeSet -> reply -> get");
    FUZZ_CHECK(message.get(reply.data(), back, static_cast<int>(reply.size())) == 0, "the same reply twice counted as a change");

    // The fixed-size builders.
    const std::vector<uint8_t> none;
    checkFrame(tx, message.makeDiscovery(tx.data()), referenceFrame(0x00, none), "makeDiscovery");
    const std::vector<uint8_t> addressed(body.begin(), body.begin() + 3);
    checkFrame(tx, message.makeRequest(tx.data(), node), referenceFrame(0x0A, addressed), "makeRequest");
    checkFrame(tx, message.makeMeassure(tx.data(), node), referenceFrame(0x0E, addressed), "makeMeassure");
    const std::vector<uint8_t> assign = referenceFrame(0x02, bytesOf(random, address, gateway));
    checkFrame(tx, message.makeDiscoveryAddress(tx.data(), node), assign, "makeDiscoveryAddress");
    checkFrame(tx, message.makeDiscoveryCheckOk(tx.data(), node), referenceFrame(0x05, bytesOf(random, address, gateway)),
               "makeDiscoveryCheckOk");

    // The node's check reply to that assignment is recognised, and only for it.
    std::vector<uint8_t> check = referenceFrame(0x04, bytesOf(random, address, filler[0]));
    FUZZ_CHECK(message.discoveryCheck(check.data(), static_cast<int>(check.size()), node), "own check reply not recognised");
    Node other = node;
    other.setAddress(static_cast<unsigned short>(address + 1));
    FUZZ_CHECK(!message.discoveryCheck(check.data(), static_cast<int>(check.size()), other), "check reply taken for another address");
    return 0;
}
