#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Message.h"
#include "Node.h"

namespace {

using Bytes = std::vector<unsigned char>;

DeviceType makeType(unsigned int code, unsigned char count, unsigned char range) {
    DeviceType type;
    type.setType(code);
    type.setDataCount(count);
    type.setDataRange(range);
    return type;
}

// A node as the server link files it: address, type, channels, fresh table.
Node makeNode(unsigned short address, int channels, unsigned char count, unsigned char range) {
    Node node;
    node.setAddress(address);
    node.setChannelCount(channels);
    node.setType(makeType(3, count, range));
    node.makeData();
    return node;
}

void setValues(const Node& node, const std::vector<unsigned int>& values) {
    node.getTable()->withRows([&](unsigned int** rows) {
        const unsigned int per = node.getTable()->perChannel();
        for (std::size_t i = 0; i < values.size(); ++i) rows[i / per][i % per] = values[i];
        return 0;
    });
}

// Runs a builder and returns the frame it wrote.
Bytes build(int (Message::*builder)(unsigned char*, Node), Message& m, const Node& node) {
    unsigned char tx[128] = {};
    const int n = (m.*builder)(tx, node);
    return Bytes(tx, tx + n);
}

// A value reply for node 0x0102 to gateway 7 carrying `payload`.
Bytes valueReply(const Message& m, const Bytes& payload) {
    Bytes frame{0x23, static_cast<unsigned char>(payload.size() + 4), 0x0B, 0x01, 0x02, 0x07};
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(m.calculateChecksum(frame.data(), 1, static_cast<short>(frame.size() - 1)));
    frame.push_back(0x24);
    return frame;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Independent reference for the payload bit stream: values in order, each
// value's range lowest bits LSB first, stream bit k in bit k%8 of byte k/8.
Bytes referencePack(const std::vector<unsigned int>& values, unsigned int range, std::size_t byteLength) {
    Bytes out(byteLength, 0);
    std::size_t k = 0;
    for (unsigned int v : values) {
        for (unsigned int b = 0; b < range; ++b, ++k) {
            const bool bit = b < 32 && ((static_cast<unsigned long long>(v) >> b) & 1u);
            if (bit) out[k / 8] = static_cast<unsigned char>(out[k / 8] | (1u << (k % 8)));
        }
    }
    return out;
}

// Captures what std::cout receives while alive.
class CoutCapture {
public:
    CoutCapture() : old_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(old_); }
    std::string text() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf* old_;
};

class MessageTest : public ::testing::Test {
protected:
    MessageTest() { m.setAddress(0x07); }
    Message m;
};

}  // namespace

// ---- checksum ----

TEST(MessageChecksum, CheckValueAndFirstTableEntries) {
    Message m;
    const std::string digits = "123456789";
    const Bytes buf(digits.begin(), digits.end());
    EXPECT_EQ(m.calculateChecksum(buf.data(), 0, 8), 0xA2);

    const unsigned char expected[8] = {0x00, 0x31, 0x62, 0x53, 0xC4, 0xF5, 0xA6, 0x97};
    for (unsigned char i = 0; i < 8; ++i) {
        const unsigned char one[1] = {i};
        EXPECT_EQ(m.calculateChecksum(one, 0, 0), expected[i]) << "entry " << int(i);
    }
}

TEST(MessageChecksum, RangeIsInclusiveAndEmptyWhenReversed) {
    Message m;
    const Bytes buf{0xFF, 0x31, 0x32, 0xFF};
    const Bytes inner{0x31, 0x32};
    EXPECT_EQ(m.calculateChecksum(buf.data(), 1, 2), m.calculateChecksum(inner.data(), 0, 1));
    EXPECT_EQ(m.calculateChecksum(buf.data(), 3, 2), 0);
}

// ---- builders ----

TEST_F(MessageTest, FixedFramesComeOutExactly) {
    Node node = makeNode(0x0102, 1, 1, 8);
    node.setRandom(0x1234);
    unsigned char tx[40] = {};
    EXPECT_EQ(m.makeDiscovery(tx), 5);
    EXPECT_EQ(Bytes(tx, tx + 5), (Bytes{0x23, 0x01, 0x00, 0xF4, 0x24}));
    EXPECT_EQ(build(&Message::makeRequest, m, node), (Bytes{0x23, 0x04, 0x0A, 0x01, 0x02, 0x07, 0x0C, 0x24}));
    EXPECT_EQ(build(&Message::makeMeassure, m, node), (Bytes{0x23, 0x04, 0x0E, 0x01, 0x02, 0x07, 0x02, 0x24}));
    EXPECT_EQ(build(&Message::makeDiscoveryAddress, m, node),
              (Bytes{0x23, 0x06, 0x02, 0x12, 0x34, 0x01, 0x02, 0x07, 0x1F, 0x24}));
    EXPECT_EQ(build(&Message::makeDiscoveryCheckOk, m, node),
              (Bytes{0x23, 0x06, 0x05, 0x12, 0x34, 0x01, 0x02, 0x07, 0x8B, 0x24}));
}

TEST(MessageBuilders, GatewayAddressIsZeroUntilSet) {
    Message m;
    Node node = makeNode(0xA0B0, 1, 1, 8);
    Bytes frame = build(&Message::makeRequest, m, node);
    ASSERT_EQ(frame.size(), 8u);
    EXPECT_EQ(frame[3], 0xA0);
    EXPECT_EQ(frame[4], 0xB0);
    EXPECT_EQ(frame[5], 0x00);
    m.setAddress(0x42);
    EXPECT_EQ(build(&Message::makeRequest, m, node)[5], 0x42);
}

TEST_F(MessageTest, SetCommandVectors) {
    Node twelve = makeNode(0x0102, 1, 1, 12);
    setValues(twelve, {0xABC});
    EXPECT_EQ(build(&Message::makeSet, m, twelve),
              (Bytes{0x23, 0x06, 0x0C, 0x01, 0x02, 0x07, 0xBC, 0x0A, 0x6A, 0x24}));

    Node eight = makeNode(0x0102, 1, 1, 8);
    setValues(eight, {0x55});
    EXPECT_EQ(build(&Message::makeSet, m, eight), (Bytes{0x23, 0x05, 0x0C, 0x01, 0x02, 0x07, 0x55, 0x29, 0x24}));

    Node twoByThree = makeNode(0x0102, 2, 3, 4);
    setValues(twoByThree, {1, 2, 3, 4, 5, 6});
    const Bytes frame = build(&Message::makeSet, m, twoByThree);
    ASSERT_EQ(frame.size(), 11u);
    EXPECT_EQ(Bytes(frame.begin() + 6, frame.begin() + 9), (Bytes{0x21, 0x43, 0x65}));

    Node twoNibbles = makeNode(0x0102, 2, 1, 4);
    setValues(twoNibbles, {5, 0xA});
    EXPECT_EQ(build(&Message::makeSet, m, twoNibbles)[6], 0xA5);
}

TEST_F(MessageTest, SetCommandCutsValuesToTheirWidthAndClearsSpareBits) {
    Node node = makeNode(0x0102, 1, 1, 12);
    setValues(node, {0xFFFFFABC});
    const Bytes frame = build(&Message::makeSet, m, node);
    EXPECT_EQ(frame, (Bytes{0x23, 0x06, 0x0C, 0x01, 0x02, 0x07, 0xBC, 0x0A, 0x6A, 0x24}));
}

TEST_F(MessageTest, SetCommandPacksMixedWidths) {
    std::mt19937 rng(1234);
    for (unsigned char range : {1, 7, 8, 12, 17, 32}) {
        const int channels = 2;
        const unsigned char count = static_cast<unsigned char>(range > 17 ? 3 : 4);
        Node node = makeNode(0x0304, channels, count, range);
        std::vector<unsigned int> values(channels * count);
        for (unsigned int& v : values) v = rng();
        setValues(node, values);
        const std::size_t byteLength = node.getDataLength();
        const Bytes frame = build(&Message::makeSet, m, node);
        ASSERT_EQ(frame.size(), byteLength + 8) << "width " << int(range);
        EXPECT_EQ(frame[1], byteLength + 4);
        EXPECT_EQ(Bytes(frame.begin() + 6, frame.begin() + 6 + byteLength), referencePack(values, range, byteLength))
            << "width " << int(range);
        EXPECT_EQ(frame[6 + byteLength], m.calculateChecksum(frame.data(), 1, static_cast<short>(5 + byteLength)));
        EXPECT_EQ(frame.back(), 0x24);
    }
}

TEST_F(MessageTest, SetCommandWithEmptyPayload) {
    for (Node node : {makeNode(0x0102, 0, 3, 8), makeNode(0x0102, 2, 0, 8)}) {
        const Bytes frame = build(&Message::makeSet, m, node);
        Bytes expected{0x23, 0x04, 0x0C, 0x01, 0x02, 0x07};
        expected.push_back(m.calculateChecksum(expected.data(), 1, 5));
        expected.push_back(0x24);
        EXPECT_EQ(frame, expected);
    }
}

TEST_F(MessageTest, SetCommandWithTheLargestPayload) {
    Node node = makeNode(0x0102, 3, 5, 17);  // 255 bits
    ASSERT_EQ(node.getDataLength(), 32);
    std::vector<unsigned int> values(15, 0x1FFFF);
    setValues(node, values);
    const Bytes frame = build(&Message::makeSet, m, node);
    ASSERT_EQ(frame.size(), 40u);
    for (int i = 6; i < 37; ++i) EXPECT_EQ(frame[i], 0xFF) << i;
    EXPECT_EQ(frame[37], 0x7F);  // the one spare bit stays clear
    EXPECT_EQ(frame[39], 0x24);
}

TEST_F(MessageTest, ValuesWiderThan32BitsCarryZerosAbove) {
    Node node = makeNode(0x0102, 1, 1, 40);
    setValues(node, {0xFFFFFFFF});
    const Bytes frame = build(&Message::makeSet, m, node);
    ASSERT_EQ(frame.size(), 13u);
    EXPECT_EQ(Bytes(frame.begin() + 6, frame.begin() + 11), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x00}));

    Node back = makeNode(0x0102, 1, 1, 40);
    Bytes reply = valueReply(m, {0x78, 0x56, 0x34, 0x12, 0xFF});
    EXPECT_EQ(m.get(reply.data(), back, static_cast<int>(reply.size())), 1);
    EXPECT_EQ(back.getData()[0][0], 0x12345678u);
}

TEST_F(MessageTest, NodeWithoutTableOrWithChangedTypeIsPackedAsZerosAndNeverWritten) {
    Node bare;
    bare.setAddress(0x0102);
    EXPECT_EQ(build(&Message::makeSet, m, bare).size(), 8u);
    Bytes empty = valueReply(m, {});
    EXPECT_EQ(m.get(empty.data(), bare, static_cast<int>(empty.size())), -1);

    // The table was made for 2 x 8 bits; the record now claims 1 x 16.
    Node node = makeNode(0x0102, 2, 1, 8);
    setValues(node, {0x11, 0x22});
    node.setType(makeType(3, 2, 8));
    node.setChannelCount(1);
    const Bytes frame = build(&Message::makeSet, m, node);
    ASSERT_EQ(frame.size(), 10u);
    EXPECT_EQ(frame[6], 0);
    EXPECT_EQ(frame[7], 0);
    Bytes reply = valueReply(m, {0x99, 0x88});
    EXPECT_EQ(m.get(reply.data(), node, static_cast<int>(reply.size())), -1);
    EXPECT_EQ(node.getTable()->snapshot(), (std::vector<unsigned int>{0x11, 0x22}));
}

// ---- value replies ----

TEST_F(MessageTest, GetDecodesTheReplyIntoTheSharedTable) {
    Node node = makeNode(0x0102, 1, 1, 12);
    Node mapEntry = node;  // the record kept in the bus master's table
    Bytes reply{0x23, 0x06, 0x0B, 0x01, 0x02, 0x07, 0xBC, 0x0A, 0xFE, 0x24};
    EXPECT_EQ(m.get(reply.data(), node, static_cast<int>(reply.size())), 1);
    EXPECT_EQ(mapEntry.getData()[0][0], 0xABCu);
    EXPECT_EQ(m.get(reply.data(), node, static_cast<int>(reply.size())), 0);

    Bytes stray = concat({{0x24, 0x23, 0x06, 0x00, 0x23}, reply});
    setValues(node, {0});
    EXPECT_EQ(m.get(stray.data(), node, static_cast<int>(stray.size())), 1);
    EXPECT_EQ(mapEntry.getData()[0][0], 0xABCu);
}

TEST_F(MessageTest, GetAppliesEveryCopyAndReportsTheLast) {
    Node node = makeNode(0x0102, 1, 1, 12);
    Bytes reply = valueReply(m, {0xBC, 0x0A});
    Bytes twice = concat({reply, reply});
    EXPECT_EQ(m.get(twice.data(), node, static_cast<int>(twice.size())), 0);
    EXPECT_EQ(node.getData()[0][0], 0xABCu);

    // Two different replies: the second one wins and its change counts.
    Bytes other = valueReply(m, {0x01, 0x00});
    Bytes both = concat({reply, other});
    EXPECT_EQ(m.get(both.data(), node, static_cast<int>(both.size())), 1);
    EXPECT_EQ(node.getData()[0][0], 0x001u);
}

TEST_F(MessageTest, GetRejectsWrongLengthCodeChecksumOrEnd) {
    Node node = makeNode(0x0102, 1, 1, 12);
    setValues(node, {0x123});
    const Bytes good = valueReply(m, {0xBC, 0x0A});

    Bytes longer = valueReply(m, {0xBC, 0x0A, 0x00});
    Bytes badCrc = good;
    badCrc[8] ^= 0x01;
    Bytes badCode = good;
    badCode[2] = 0x0C;
    badCode[8] = m.calculateChecksum(badCode.data(), 1, 7);
    Bytes badEnd = good;
    badEnd[9] = 0x23;
    Bytes badStart = good;
    badStart[0] = 0x24;
    for (Bytes* bad : {&longer, &badCrc, &badCode, &badEnd, &badStart}) {
        Bytes exact(bad->begin(), bad->end());
        EXPECT_EQ(m.get(exact.data(), node, static_cast<int>(exact.size())), -1);
        EXPECT_EQ(node.getData()[0][0], 0x123u);
    }
}

TEST_F(MessageTest, TruncatedReplyAtTheEndOfTheBufferIsIgnored) {
    Node node = makeNode(0x0102, 3, 5, 17);
    const Bytes full = valueReply(m, Bytes(32, 0xFF));
    for (std::size_t k = 0; k < full.size(); ++k) {
        // Exactly sized heap buffer: reading past it is caught under ASan.
        Bytes cut(full.begin(), full.begin() + static_cast<long>(k));
        cut.shrink_to_fit();
        EXPECT_EQ(m.get(cut.data(), node, static_cast<int>(k)), -1) << k;
    }
    // A valid reply followed by the start of another: the first counts.
    Bytes both = concat({full, Bytes(full.begin(), full.begin() + 20)});
    both.shrink_to_fit();
    EXPECT_EQ(m.get(both.data(), node, static_cast<int>(both.size())), 1);
    EXPECT_EQ(node.getData()[2][4], 0x1FFFFu);
}

TEST_F(MessageTest, GetReadsOnlyTheGivenCount) {
    Node node = makeNode(0x0102, 1, 1, 12);
    Bytes reply = valueReply(m, {0xBC, 0x0A});
    EXPECT_EQ(m.get(reply.data(), node, static_cast<int>(reply.size()) - 1), -1);
    EXPECT_EQ(m.get(reply.data(), node, 0), -1);
    EXPECT_EQ(m.get(reply.data(), node, -5), -1);
    EXPECT_EQ(node.getData()[0][0], 0u);
}

TEST_F(MessageTest, RandomValuesSurviveSetAndReply) {
    std::mt19937 rng(20240501);
    for (int round = 0; round < 300; ++round) {
        const unsigned char range = static_cast<unsigned char>(1 + rng() % 32);
        const int maxValues = 255 / range;
        const unsigned char count = static_cast<unsigned char>(1 + rng() % std::min(maxValues, 8));
        const int channels = static_cast<int>(rng() % (maxValues / count + 1));
        Node sender = makeNode(0x0102, channels, count, range);
        Node receiver = makeNode(0x0102, channels, count, range);
        ASSERT_TRUE(sender.fitsOnBus());

        std::vector<unsigned int> values(static_cast<std::size_t>(channels) * count);
        const unsigned int mask = range == 32 ? 0xFFFFFFFFu : ((1u << range) - 1);
        for (unsigned int& v : values) v = rng();
        setValues(sender, values);

        const Bytes set = build(&Message::makeSet, m, sender);
        const Bytes payload(set.begin() + 6, set.end() - 2);
        ASSERT_EQ(payload, referencePack(values, range, sender.getDataLength()));
        Bytes reply = valueReply(m, payload);
        const int result = m.get(reply.data(), receiver, static_cast<int>(reply.size()));
        ASSERT_NE(result, -1);

        std::vector<unsigned int> expected = values;
        for (unsigned int& v : expected) v &= mask;
        ASSERT_EQ(receiver.getTable()->snapshot(), expected)
            << "width " << int(range) << " count " << int(count) << " channels " << channels;
    }
}

// ---- discovery ----

TEST_F(MessageTest, DiscoveryReplyBecomesANodeKeyedByItsRandom) {
    Bytes reply{0x23, 0x05, 0x01, 0x02, 0x03, 0x12, 0x34, 0x92, 0x24};
    Bytes buf = concat({{0x00, 0x23, 0x05}, reply});
    nodeMap nodes;
    typeMap types;
    types.emplace(3, makeType(3, 4, 10));
    CoutCapture out;
    m.discoveryResponse(buf.data(), static_cast<int>(buf.size()), nodes, types);
    EXPECT_EQ(out.text(), "Mame tu nod s randomem 4660 a typem3\n");
    ASSERT_EQ(nodes.size(), 1u);
    const Node& node = nodes.at(4660);
    EXPECT_EQ(node.getRandom(), 0x1234);
    EXPECT_EQ(node.getChannelCount(), 2u);
    EXPECT_EQ(node.getType().getType(), 3u);
    EXPECT_EQ(node.getType().getDataRange(), 10);
    EXPECT_EQ(node.getData(), nullptr);
}

TEST_F(MessageTest, DiscoveryBackToBackRepeatedAndUnknownTypes) {
    auto reply = [&](unsigned char channels, unsigned char type, unsigned short random) {
        Bytes f{0x23, 0x05, 0x01, channels, type, static_cast<unsigned char>(random >> 8),
                static_cast<unsigned char>(random & 0xFF)};
        f.push_back(m.calculateChecksum(f.data(), 1, 6));
        f.push_back(0x24);
        return f;
    };
    Bytes buf = concat({reply(1, 3, 0x0001), reply(4, 9, 0xFFFE), reply(7, 3, 0x0001)});
    nodeMap nodes;
    typeMap types;
    types.emplace(3, makeType(3, 1, 8));
    CoutCapture out;
    m.discoveryResponse(buf.data(), static_cast<int>(buf.size()), nodes, types);
    EXPECT_EQ(out.text(),
              "Mame tu nod s randomem 1 a typem3\nMame tu nod s randomem 65534 a typem9\n"
              "Mame tu nod s randomem 1 a typem3\n");
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes.at(1).getChannelCount(), 1u);  // the first reply keeps the key
    EXPECT_EQ(nodes.at(0xFFFE).getChannelCount(), 4u);
    EXPECT_EQ(types.count(9), 1u);  // looked up by indexing: the unknown code is added
}

TEST_F(MessageTest, DiscoveryIgnoresDamagedAndTruncatedReplies) {
    Bytes good{0x23, 0x05, 0x01, 0x02, 0x03, 0x12, 0x34, 0x92, 0x24};
    Bytes badCrc = good;
    badCrc[7] = 0x93;
    nodeMap nodes;
    typeMap types;
    CoutCapture out;
    m.discoveryResponse(badCrc.data(), static_cast<int>(badCrc.size()), nodes, types);
    for (std::size_t k = 0; k < good.size(); ++k) {
        Bytes cut(good.begin(), good.begin() + static_cast<long>(k));
        cut.shrink_to_fit();
        m.discoveryResponse(cut.data(), static_cast<int>(k), nodes, types);
    }
    m.discoveryResponse(good.data(), -1, nodes, types);
    EXPECT_TRUE(nodes.empty());
    EXPECT_EQ(out.text(), "");
}

TEST_F(MessageTest, AddressCheckMatchesOnlyThisNode) {
    Node node;
    node.setRandom(0x1234);
    node.setAddress(0x0102);
    auto check = [&](unsigned short random, unsigned short address) {
        Bytes f{0x23, 0x06, 0x04, static_cast<unsigned char>(random >> 8), static_cast<unsigned char>(random),
                static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address), 0x5A};
        f.push_back(m.calculateChecksum(f.data(), 1, 7));
        f.push_back(0x24);
        return f;
    };
    Bytes mine = check(0x1234, 0x0102);
    Bytes otherRandom = check(0x1235, 0x0102);
    Bytes otherAddress = check(0x1234, 0x0103);

    EXPECT_TRUE(m.discoveryCheck(mine.data(), static_cast<int>(mine.size()), node));
    EXPECT_FALSE(m.discoveryCheck(otherRandom.data(), static_cast<int>(otherRandom.size()), node));
    EXPECT_FALSE(m.discoveryCheck(otherAddress.data(), static_cast<int>(otherAddress.size()), node));

    Bytes followed = concat({otherRandom, {0x11}, mine});
    EXPECT_TRUE(m.discoveryCheck(followed.data(), static_cast<int>(followed.size()), node));

    Bytes damaged = mine;
    damaged[8] ^= 0xFF;
    EXPECT_FALSE(m.discoveryCheck(damaged.data(), static_cast<int>(damaged.size()), node));

    Bytes cut(mine.begin(), mine.end() - 1);
    cut.shrink_to_fit();
    EXPECT_FALSE(m.discoveryCheck(cut.data(), static_cast<int>(cut.size()), node));
    EXPECT_FALSE(m.discoveryCheck(mine.data(), -3, node));
}
