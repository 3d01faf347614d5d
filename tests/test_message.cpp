// The bus frame format, checked against the bench's independent codec
// (tools/bench/FrameCodec: bitwise CRC, its own bit packing).
#include <gtest/gtest.h>

#include <random>

#include "Builders.h"
#include "FrameCodec.h"
#include "Message.h"
#include "RecordingStream.h"

namespace {

using Bytes = std::vector<unsigned char>;
const unsigned short NODE = 0x0102;
const unsigned char GATEWAY = 0x07;

Node nodeOf(int channels, unsigned char count, unsigned char range, const std::vector<unsigned int>& values = {}) {
    Node node = makeNode(NODE, makeType(3, DeviceType::RW, DeviceType::NOW, count, range), channels, 0x1234);
    if (!values.empty()) node.getTable()->store(values);
    return node;
}

// The frame a builder writes, cut to the length it returns.
Bytes build(int (Message::*builder)(unsigned char*, Node), const Node& node) {
    Message m;
    m.setAddress(GATEWAY);
    unsigned char tx[64] = {};
    return Bytes(tx, tx + (m.*builder)(tx, node));
}

// get() on exactly these bytes (ASan sees any read past them).
int get(Bytes bytes, const Node& node) {
    bytes.shrink_to_fit();
    return Message().get(bytes.data(), node, static_cast<int>(bytes.size()));
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(Crc, CheckValueAndInclusiveRange) {
    const std::string digits = "#123456789$";
    const auto* bytes = reinterpret_cast<const unsigned char*>(digits.data());
    EXPECT_EQ(Message().calculateChecksum(bytes, 1, 9), 0xA2);
    EXPECT_EQ(Message().calculateChecksum(bytes, 9, 8), 0);
}

TEST(Builders, EveryFrameMatchesTheFormat) {
    const Node node = nodeOf(1, 1, 8);
    EXPECT_EQ(build(&Message::makeRequest, node),
              (Bytes{Message::START, 4, Message::VALUE_REQUEST, 0x01, 0x02, GATEWAY, 0x0C, Message::END}));
    EXPECT_EQ(build(&Message::makeMeassure, node), FrameCodec::measure(NODE, GATEWAY));
    EXPECT_EQ(build(&Message::makeDiscoveryAddress, node), FrameCodec::addressAssign(0x1234, NODE, GATEWAY));
    EXPECT_EQ(build(&Message::makeDiscoveryCheckOk, node), FrameCodec::addressConfirm(0x1234, NODE, GATEWAY));
    unsigned char tx[8];
    EXPECT_EQ(Bytes(tx, tx + Message().makeDiscovery(tx)), FrameCodec::discovery());
}

// Set commands and value replies of every width: values packed low bit
// first, cut to their width (bits above 32 travel as 0), the frame as long as
// the payload needs.
TEST(Builders, SetCommandPacksEveryWidth) {
    std::mt19937 rng(20240501);
    const struct { int channels; unsigned char count, range; } shapes[] = {
        {1, 1, 12}, {2, 3, 4}, {1, 1, 8}, {3, 5, 17}, {1, 1, 40}, {0, 3, 8}, {2, 2, 1}, {1, 7, 32}, {4, 2, 31}};
    for (const auto& s : shapes) {
        std::vector<unsigned int> values(static_cast<std::size_t>(s.channels) * s.count);
        for (unsigned int& v : values) v = rng();
        const Bytes payload = FrameCodec::pack(values, s.range);
        EXPECT_EQ(build(&Message::makeSet, nodeOf(s.channels, s.count, s.range, values)), FrameCodec::set(NODE, GATEWAY, payload))
            << s.channels << " x " << int(s.count) << " x " << int(s.range);
        // And back: a reply carrying the same payload gives the values cut to their width.
        const Node back = nodeOf(s.channels, s.count, s.range);
        get(FrameCodec::valueReply(NODE, GATEWAY, payload), back);
        EXPECT_EQ(back.getTable()->snapshot(), FrameCodec::unpack(payload, values.size(), s.range));
    }
}

// A value reply decoded into the node's shared table: 1 when it changed a
// value, 0 when not, -1 when no whole valid reply of its length is there.
TEST(ValueReply, DecodesOnlyWholeValidRepliesOfTheNodesLength) {
    const Node node = nodeOf(2, 3, 5);
    const Node registry = node;  // another copy, as the bus master keeps it
    const std::vector<unsigned int> values{1, 2, 3, 29, 30, 31};
    const Bytes reply = FrameCodec::valueReply(NODE, GATEWAY, FrameCodec::pack(values, 5));
    EXPECT_EQ(get(Bytes{Message::END, Message::START, 6, 0} + reply, node), 1);
    EXPECT_EQ(registry.getTable()->snapshot(), values);
    EXPECT_EQ(get(reply, node), 0);
    EXPECT_EQ(get(reply + FrameCodec::valueReply(NODE, GATEWAY, Bytes(4, 0)), node), 1) << "the last reply counts";
    EXPECT_EQ(node.getTable()->snapshot(), std::vector<unsigned int>(6, 0));

    node.getTable()->store(values);
    std::vector<Bytes> broken(5, reply);
    broken[0][0] = Message::END;
    broken[1][2] = Message::SET;
    broken[2][reply.size() - 2] ^= 1;  // CRC
    broken[3].back() = Message::START;
    broken[4] = FrameCodec::valueReply(NODE, GATEWAY, Bytes(5, 0));  // one byte too long
    for (std::size_t cut = 0; cut < reply.size(); ++cut) broken.push_back(Bytes(reply.begin(), reply.begin() + cut));
    for (const Bytes& bad : broken) EXPECT_EQ(get(bad, node), -1) << bad.size();
    EXPECT_EQ(Message().get(Bytes(reply).data(), node, -1), -1);
    EXPECT_EQ(node.getTable()->snapshot(), values);
}

// Discovery replies file nodes by random number, the first one winning; an
// address check reply counts only for this node's random and address.
TEST(Discovery, RepliesFileNodesAndCheckRepliesMatchOnlyTheirNode) {
    typeMap types{{3, makeType(3, DeviceType::R, DeviceType::NOW, 4, 10)}};
    Bytes damaged = FrameCodec::discoveryReply(9, 3, 7);
    damaged[7] ^= 1;
    const Bytes buf = Bytes{0x00, Message::START, 5} + FrameCodec::discoveryReply(2, 3, 0x1234) + damaged +
                FrameCodec::discoveryReply(4, 9, 0xFFFE) + FrameCodec::discoveryReply(7, 3, 0x1234) +
                FrameCodec::discoveryReply(1, 3, 5);  // cut short by the count below
    nodeMap nodes;
    RecordingStream out(1);
    Message().discoveryResponse(Bytes(buf).data(), static_cast<int>(buf.size()) - 1, nodes, types);
    EXPECT_EQ(out.text(), "Mame tu nod s randomem 4660 a typem3\nMame tu nod s randomem 65534 a typem9\n"
                          "Mame tu nod s randomem 4660 a typem3\n");
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(types.size(), 1u) << "type 9 unknown: reported with a default type, not added";
    EXPECT_EQ(nodes.at(0xFFFE).getType().getDataCount(), 0u);
    EXPECT_EQ(nodes.at(0x1234).getChannelCount() * 100 + nodes.at(0x1234).getType().getDataRange(), 210u);
    EXPECT_EQ(nodes.at(0xFFFE).getChannelCount(), 4u);

    const Node node = nodeOf(1, 1, 8);
    const Bytes mine = FrameCodec::addressCheck(0x1234, NODE, 0x5A);
    const struct { Bytes bytes; int cut; bool match; } cases[] = {
        {FrameCodec::addressCheck(0x1235, NODE, 0) + Bytes{0x11} + mine, 0, true},
        {FrameCodec::addressCheck(0x1234, NODE + 1, 0), 0, false},
        {mine, 1, false},
        {FrameCodec::addressAssign(0x1234, NODE, 0), 0, false},
    };
    for (const auto& c : cases) {
        Bytes bytes(c.bytes.begin(), c.bytes.end() - c.cut);
        bytes.shrink_to_fit();
        EXPECT_EQ(Message().discoveryCheck(bytes.data(), static_cast<int>(bytes.size()), node), c.match);
    }
}
