// Value replies: Message::get on arbitrary receive buffers, for nodes of
// arbitrary shape. Input: shape (3 bytes), mode, seed, then the buffer.
// Checked against an independent model of the search: every valid reply of
// the node's length is applied in turn, the result is that of the last one,
// and nothing outside the n bytes is read (the buffer is exactly n bytes).
#include <cstdint>
#include <vector>

#include "FuzzSupport.h"
#include "Message.h"

namespace {

// Initial table contents: zeros, or values of the node's width from a seed,
// so that both "changed" and "unchanged" replies occur.
std::vector<uint32_t> initialValues(const NodeShape& shape, bool seeded, uint8_t seed) {
    std::vector<uint32_t> values(shape.values(), 0);
    if (!seeded) return values;
    uint32_t x = 0x9E3779B9u ^ seed;
    for (uint32_t& v : values) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = (seed & 1) != 0 ? (x & shape.mask()) : (seed & shape.mask());
    }
    return values;
}

// What get must do to `table`, and its result.
int modelGet(const NodeShape& shape, const uint8_t* rx, int n, std::vector<uint32_t>& table) {
    const int b = static_cast<int>(shape.bytes());
    int result = -1;
    for (int i = 0; i + b + 7 < n; ++i) {
        if (rx[i] != 0x23 || rx[i + 1] != b + 4 || rx[i + 2] != 0x0B || rx[i + b + 7] != 0x24) continue;
        if (rx[i + b + 6] != referenceCrc(rx + i + 1, static_cast<std::size_t>(b) + 5)) continue;
        const std::vector<uint32_t> decoded = referenceUnpack(shape, rx + i + 6);
        result = decoded != table ? 1 : 0;
        table = decoded;
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const NodeShape shape = readShape(in);
    if (!shape.fits()) return 0;  // the gateway never files such a node
    const uint8_t mode = in.byte();
    const uint8_t seed = in.byte();
    std::vector<uint8_t> rx = in.rest();  // exactly sized: ASan sees any overread
    const int n = static_cast<int>(rx.size());

    Message message;
    Node node = makeNode(shape, 5, 0x0102);
    std::vector<uint32_t> table = initialValues(shape, (mode & 1) != 0, seed);
    node.getTable()->store(table);
    FUZZ_CHECK(node.getDataLength() == shape.bytes(), "makeData gave a payload length other than ceil(bits/8)");

    switch ((mode >> 1) % 4) {
        case 0: {  // a filed node: the result and the table must follow the model exactly
            const int expected = modelGet(shape, rx.data(), n, table);
            const int got = message.get(rx.data(), node, n);
            FUZZ_CHECK(got == expected, "get returned " + std::to_string(got) + ", expected " + std::to_string(expected));
            FUZZ_CHECK(node.getTable()->snapshot() == table, "get left other values in the table than the replies carry");
            break;
        }
        case 1: {  // a count below the buffer's: bytes past n are never looked at
            const int shorter = n - static_cast<int>(seed % 16);
            const int expected = modelGet(shape, rx.data(), shorter < 0 ? 0 : shorter, table);
            const int got = message.get(rx.data(), node, shorter);
            FUZZ_CHECK(got == expected, "get with a short count returned " + std::to_string(got));
            FUZZ_CHECK(node.getTable()->snapshot() == table, "get with a short count changed the table wrongly");
            break;
        }
        case 2: {  // a record without a table (as made from a discovery reply): no crash
            Node bare;
            bare.setType(node.getType());
            bare.setChannelCount(static_cast<int>(shape.channels));
            bare.setAddress(0x0102);
            message.get(rx.data(), bare, n);
            break;
        }
        default: {  // a table whose shape disagrees with the type: never written
            Node odd = node;
            DeviceType other = odd.getType();
            other.setDataCount(static_cast<unsigned char>(shape.count + 1 + seed % 4));
            odd.setType(other);
            message.get(rx.data(), odd, n);
            FUZZ_CHECK(node.getTable()->snapshot() == table, "get wrote into a table of another shape");
            break;
        }
    }
    return 0;
}
