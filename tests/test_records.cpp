#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "DeviceType.h"
#include "Node.h"
#include "ValueTable.h"

namespace {

DeviceType makeType(unsigned int code, unsigned char count, unsigned char range,
                    unsigned char readWrite = DeviceType::R, unsigned char latency = DeviceType::NOW) {
    DeviceType t;
    t.setType(code);
    t.setDataCount(count);
    t.setDataRange(range);
    t.setReadWrite(readWrite);
    t.setLatency(latency);
    return t;
}

Node makeNode(unsigned short address, int channels, const DeviceType& type) {
    Node n;
    n.setAddress(address);
    n.setChannelCount(channels);
    n.setType(type);
    n.makeData();
    return n;
}

}  // namespace

TEST(NodeRecord, EveryFieldStartsAtZero) {
    DeviceType t;
    EXPECT_EQ(t.getType(), 0u);
    EXPECT_EQ(t.getDataRange(), 0);
    EXPECT_EQ(t.getDataCount(), 0);
    EXPECT_EQ(t.getReadWrite(), 0);
    EXPECT_EQ(t.getLatency(), 0);

    Node n;
    EXPECT_EQ(n.getAddress(), 0);
    EXPECT_EQ(n.getRandom(), 0);
    EXPECT_EQ(n.getChannelCount(), 0u);
    EXPECT_FALSE(n.isWired());
    EXPECT_FALSE(n.isChange());
    EXPECT_EQ(n.getErrorTime(), 0ul);
    EXPECT_EQ(n.getDataLength(), 0);
    EXPECT_EQ(n.getData(), nullptr);
    EXPECT_EQ(n.getTable(), nullptr);
}

TEST(NodeRecord, MakeDataSizesTableAndPayload) {
    struct Case {
        int channels;
        unsigned char count;
        unsigned char range;
        unsigned int bytes;
    };
    const Case cases[] = {
        {2, 3, 4, 3},     // 24 bits
        {1, 1, 12, 2},    // 12 bits: a partly used byte counts
        {1, 1, 8, 1},     // 8 bits: no extra byte for a whole one
        {0, 4, 8, 0},     // no channels, no payload
        {3, 5, 17, 32},   // 255 bits, the largest payload
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.channels << " x " << int(c.count) << " x " << int(c.range));
        Node n = makeNode(1, c.channels, makeType(9, c.count, c.range));
        EXPECT_EQ(n.getDataLength(), c.bytes);
        ASSERT_NE(n.getTable(), nullptr);
        EXPECT_EQ(n.getTable()->channels(), static_cast<unsigned int>(c.channels));
        EXPECT_EQ(n.getTable()->perChannel(), c.count);
        // A table is there even without channels, and it starts zero-filled.
        ASSERT_NE(n.getData(), nullptr);
        for (int ch = 0; ch < c.channels; ++ch) {
            for (int i = 0; i < c.count; ++i) EXPECT_EQ(n.getData()[ch][i], 0u);
        }
        EXPECT_EQ(n.getTable()->snapshot().size(), static_cast<std::size_t>(c.channels) * c.count);
    }
}

TEST(NodeRecord, CopiesShareOneTable) {
    Node original = makeNode(7, 2, makeType(1, 3, 4));
    Node copy(original);
    Node assigned;
    assigned = original;
    nodeMap map;
    map.emplace(original.getAddress(), original);

    copy.getData()[1][2] = 11;
    EXPECT_EQ(original.getData()[1][2], 11u);
    EXPECT_EQ(assigned.getData()[1][2], 11u);
    EXPECT_EQ(map.at(7).getData()[1][2], 11u);

    // A by-value parameter writes into the same values, as the frame parser does.
    auto decode = [](Node n) { n.getData()[0][0] = 5; };
    decode(map.at(7));
    EXPECT_EQ(original.getData()[0][0], 5u);
    EXPECT_EQ(copy.getTable()->snapshot(), (std::vector<unsigned int>{5, 0, 0, 0, 0, 11}));
}

TEST(NodeRecord, LastCopyReleasesTable) {
    std::weak_ptr<ValueTable> watch;
    nodeMap map;
    {
        Node original = makeNode(3, 1, makeType(1, 2, 8));
        watch = original.getTable();
        map.emplace(3, original);
    }
    EXPECT_FALSE(watch.expired()) << "the map's copy still uses the table";
    Node another = map.at(3);
    map.clear();
    EXPECT_FALSE(watch.expired());
    another = Node();
    EXPECT_TRUE(watch.expired());
}

TEST(NodeRecord, MakeDataAgainGivesNewTableOldCopiesKeepTheirs) {
    Node n = makeNode(4, 1, makeType(1, 2, 8));
    n.getData()[0][1] = 42;
    Node before(n);

    n.setChannelCount(2);
    n.makeData();
    EXPECT_NE(n.getTable(), before.getTable());
    EXPECT_EQ(n.getTable()->snapshot(), (std::vector<unsigned int>{0, 0, 0, 0}));
    EXPECT_EQ(before.getData()[0][1], 42u);
    EXPECT_EQ(n.getDataLength(), 4);
    EXPECT_EQ(before.getDataLength(), 2);
}

TEST(NodeRecord, TypeIsCopiedNotReferenced) {
    typeMap types;
    types.emplace(5, makeType(5, 2, 8, DeviceType::RW, DeviceType::DELAYED));
    Node n;
    n.setType(types[5]);
    types[5].setDataCount(9);
    types[5].setLatency(DeviceType::NOW);
    EXPECT_EQ(n.getType().getDataCount(), 2);
    EXPECT_EQ(n.getType().getLatency(), DeviceType::DELAYED);
    EXPECT_EQ(n.getType().getReadWrite(), DeviceType::RW);
    EXPECT_EQ(n.getType().getType(), 5u);
}

TEST(NodeRecord, FitsOnBusOnlyUpTo255Bits) {
    EXPECT_TRUE(Node::fitsOnBus(3, makeType(1, 5, 17)));    // 255
    EXPECT_FALSE(Node::fitsOnBus(1, makeType(1, 8, 32)));   // 256
    EXPECT_FALSE(Node::fitsOnBus(16, makeType(1, 1, 16)));  // 256, would wrap to 0 in 8 bits
    EXPECT_TRUE(Node::fitsOnBus(0, makeType(1, 255, 32)));
    EXPECT_FALSE(Node::fitsOnBus(-1, makeType(1, 1, 1)));
    EXPECT_FALSE(Node::fitsOnBus(255, makeType(1, 255, 255)));

    Node n;
    n.setType(makeType(1, 5, 17));
    n.setChannelCount(3);
    EXPECT_TRUE(n.fitsOnBus());
    n.setChannelCount(4);
    EXPECT_FALSE(n.fitsOnBus());
    n.setChannelCount(-3);
    EXPECT_FALSE(n.fitsOnBus()) << "a negative count must not pass as a small product";
}

TEST(RecordMaps, NodeMapInsertNeverReplaces) {
    nodeMap map;
    Node first = makeNode(10, 1, makeType(1, 1, 8));
    first.setRandom(111);
    Node second = makeNode(10, 2, makeType(2, 1, 8));
    second.setRandom(222);

    EXPECT_TRUE(map.insert({10, first}).second);
    EXPECT_FALSE(map.insert({10, second}).second);
    EXPECT_FALSE(map.emplace(10, second).second);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.at(10).getRandom(), 111);
    EXPECT_EQ(map.at(10).getTable(), first.getTable());
}

TEST(RecordMaps, TypeMapIndexingAddsDefaultEntry) {
    typeMap types;
    types.insert({3, makeType(3, 2, 8)});
    EXPECT_FALSE(types.insert({3, makeType(3, 9, 9)}).second);
    EXPECT_EQ(types[3].getDataCount(), 2);

    const DeviceType absent = types[77];
    EXPECT_EQ(types.size(), 2u);
    EXPECT_EQ(types.count(77), 1u);
    EXPECT_EQ(absent.getType(), 0u);
    EXPECT_EQ(absent.getDataCount(), 0);
    EXPECT_EQ(absent.getDataRange(), 0);

    // A node of an unknown type gets an empty table and no payload.
    Node n;
    n.setChannelCount(4);
    n.setType(types[78]);
    n.makeData();
    EXPECT_EQ(n.getDataLength(), 0);
    EXPECT_TRUE(n.getTable()->snapshot().empty());
}

TEST(ValueTableAccess, StoreReportsChangeAndRejectsWrongSize) {
    ValueTable table(2, 3);
    table.rows()[1][0] = 9;
    EXPECT_EQ(table.snapshot(), (std::vector<unsigned int>{0, 0, 0, 9, 0, 0})) << "channel by channel";

    EXPECT_TRUE(table.store({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(table.rows()[0][2], 3u);
    EXPECT_EQ(table.rows()[1][0], 4u);
    EXPECT_FALSE(table.store({1, 2, 3, 4, 5, 6})) << "same values are no change";
    EXPECT_TRUE(table.store({1, 2, 3, 4, 5, 7})) << "one value differing is a change";

    EXPECT_FALSE(table.store({1, 2, 3}));
    EXPECT_FALSE(table.store({9, 9, 9, 9, 9, 9, 9}));
    EXPECT_EQ(table.snapshot(), (std::vector<unsigned int>{1, 2, 3, 4, 5, 7}));

    const int sum = table.withRows([](unsigned int** rows) {
        rows[0][0] = 100;
        return static_cast<int>(rows[0][0] + rows[1][2]);
    });
    EXPECT_EQ(sum, 107);
    EXPECT_EQ(table.snapshot()[0], 100u);
}

// Two writers (a whole reply stored, a set command written row by row) and
// a reader: every snapshot must show one writer's table, never a mixture.
TEST(ValueTableAccess, ConcurrentWritesNeverShowHalfATable) {
    const unsigned int channels = 4;
    const unsigned int perChannel = 8;
    const unsigned int size = channels * perChannel;
    ValueTable table(channels, perChannel);
    std::promise<void> go;
    std::shared_future<void> started = go.get_future().share();
    std::atomic<bool> stop{false};

    std::thread storer([&] {
        started.wait();
        unsigned int r = 0;
        do {
            table.store(std::vector<unsigned int>(size, ++r % 2 ? 1u : 2u));
        } while (!stop.load());
    });
    std::thread setter([&] {
        started.wait();
        do {
            table.withRows([&](unsigned int** rows) {
                for (unsigned int c = 0; c < channels; ++c) {
                    for (unsigned int i = 0; i < perChannel; ++i) rows[c][i] = 3;
                }
            });
        } while (!stop.load());
    });
    go.set_value();
    int mixed = 0;
    for (int r = 0; r < 3000; ++r) {
        const std::vector<unsigned int> s = table.snapshot();
        if (s.size() != size || std::count(s.begin(), s.end(), s[0]) != static_cast<long>(size)) ++mixed;
    }
    stop = true;
    storer.join();
    setter.join();
    EXPECT_EQ(mixed, 0);
}
