// Address check replies: Message::discoveryCheck on arbitrary buffers.
// Input: the node's random number and address (2 bytes each), a count
// shortening byte, then the buffer. True exactly when some valid check
// reply within the n bytes names this node's random number and address.
#include <cstdint>
#include <vector>

#include "FuzzSupport.h"
#include "Message.h"

namespace {

bool modelCheck(const uint8_t* rx, int n, unsigned short random, unsigned short address) {
    for (int i = 0; i + 9 < n; ++i) {
        const uint8_t* f = rx + i;
        if (f[0] != 0x23 || f[1] != 6 || f[2] != 4 || f[9] != 0x24 || f[8] != referenceCrc(f + 1, 7)) continue;
        if ((f[3] << 8 | f[4]) == random && (f[5] << 8 | f[6]) == address) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    Node node;
    node.setRandom(in.u16());
    node.setAddress(in.u16());
    const uint8_t cut = in.byte();
    std::vector<uint8_t> rx = in.rest();
    // Mostly the whole buffer; sometimes fewer bytes than it holds (or a
    // negative count): nothing past the count may decide the answer.
    int n = static_cast<int>(rx.size());
    if ((cut & 0x80) != 0) n -= cut & 0x1F;

    Message message;
    const bool expected = modelCheck(rx.data(), n, node.getRandom(), node.getAddress());
    const bool got = message.discoveryCheck(rx.data(), n, node);
    FUZZ_CHECK(got == expected, expected ? "a matching check reply was missed" : "accepted a check reply that does not match");
    return 0;
}
