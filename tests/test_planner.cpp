// The bus master against simulated nodes: the real Planner, Message, UART and
// GPIO on a pseudo-terminal pair and a temporary sysfs directory, with the
// BusSimulator playing the line and its nodes on the far side.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Builders.h"
#include "BusSimulator.h"
#include "Connector.h"
#include "Errors.h"
#include "FakeSysfs.h"
#include "FrameCodec.h"
#include "Message.h"
#include "Node.h"
#include "PinMonitor.h"
#include "Planner.h"
#include "PtyPair.h"
#include "RecordingDelegator.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Frames = std::vector<SimFrame>;
using Bytes = std::vector<unsigned char>;

const char* const PIN = "17";
const unsigned char GATEWAY = 7;

const DeviceType TYPE_R = makeType(1, DeviceType::R, DeviceType::NOW, 1, 8);
const DeviceType TYPE_W = makeType(2, DeviceType::W, DeviceType::NOW, 1, 12);
const DeviceType TYPE_RW = makeType(13, DeviceType::RW, DeviceType::NOW, 3, 4);
const DeviceType TYPE_DR = makeType(14, DeviceType::R, DeviceType::DELAYED, 1, 16);

SimNode simNode(unsigned short address, const DeviceType& type, unsigned char channels,
                std::vector<unsigned int> values = {}) {
    SimNode s;
    s.address = address;
    s.channels = channels;
    s.dataCount = type.getDataCount();
    s.dataRange = type.getDataRange();
    s.typeCode = static_cast<unsigned char>(type.getType());
    s.values = std::move(values);
    return s;
}

SimNode unaddressed(unsigned short random, unsigned char typeCode = 3, unsigned char channels = 1) {
    SimNode s;
    s.addressed = false;
    s.random = random;
    s.typeCode = typeCode;
    s.channels = channels;
    return s;
}

bool isTo(const SimFrame& f, unsigned char code, unsigned short address) {
    return f.code == code && f.address == address && f.crcOk;
}

std::size_t countTo(const Frames& frames, unsigned char code, unsigned short address) {
    return static_cast<std::size_t>(
        std::count_if(frames.begin(), frames.end(), [&](const SimFrame& f) { return isTo(f, code, address); }));
}

// Splits frames into passes, each starting with the value request to
// `marker` (an R node read first in every pass).
std::vector<Frames> passesOf(const Frames& frames, unsigned short marker) {
    std::vector<Frames> passes;
    for (const SimFrame& f : frames) {
        if (isTo(f, Message::VALUE_REQUEST, marker)) passes.emplace_back();
        if (!passes.empty()) passes.back().push_back(f);
    }
    return passes;
}

std::size_t errorsFor(const RecordingDelegator& dlg, unsigned char code, int address = -1) {
    const auto calls = dlg.calls("logError");
    return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [&](const auto& c) {
        return c.number == code && c.nodeAddress == address;
    }));
}

std::size_t updatesOf(const RecordingDelegator& dlg, unsigned short address) {
    const auto calls = dlg.calls("updateNodeData");
    return static_cast<std::size_t>(
        std::count_if(calls.begin(), calls.end(), [&](const auto& c) { return c.node.getAddress() == address; }));
}

// The pin, the line, the simulated nodes, the recording server side and the
// bus master; destroyed bus master first.
struct Bench {
    explicit Bench(Planner::Clock clock = Planner::systemClock, bool monitorPin = false,
                   std::function<void(const SimFrame&)> trace = nullptr) {
        sysfs.addPin(PIN);
        BusSimulator::Options options;
        if (monitorPin) {
            monitor = std::make_unique<PinMonitor>(pinPath());
            options.pinProbe = [this] {
                writesAtFrame.push_back(monitor->writes());  // the line thread alone touches it
                return monitor->high();
            };
        } else {
            options.pinValuePath = pinPath();
        }
        options.peerDevice = pty.slavePath();
        options.trace = std::move(trace);
        options.realtime = true;
        sim = std::make_unique<BusSimulator>(pty.master(), options);
        sim->start();
        planner = std::make_unique<Planner>(pty.slavePath(), PIN, sysfs.root(), std::move(clock));
        planner->setDelegator(&dlg);
        planner->setAddress(GATEWAY);
        planner->setDiscoveryWindow(400ms);
    }
    ~Bench() {
        planner.reset();
        sim->stop();
    }
    std::string pinPath() const { return sysfs.root() + "/gpio" + PIN + "/value"; }
    std::string pinLevel() const { return sysfs.read(std::string("gpio") + PIN + "/value").substr(0, 1); }

    // Files the node on both sides and returns the server's record.
    Node add(unsigned short address, DeviceType type, unsigned char channels, std::vector<unsigned int> values = {}) {
        sim->addNode(simNode(address, type, channels, std::move(values)));
        planner->addType(type);
        Node n = makeNode(address, type, channels);
        planner->addNode(n);
        return n;
    }
    bool waitRequests(unsigned short address, std::size_t count, std::chrono::milliseconds timeout = 60s) {
        return sim->waitFor([&](const Frames& f) { return countTo(f, Message::VALUE_REQUEST, address) >= count; },
                            timeout);
    }
    // Frames sent from now on, once `done` holds for them.
    Frames framesAfter(std::size_t from) const {
        const Frames all = sim->frames();
        return Frames(all.begin() + static_cast<long>(std::min(from, all.size())), all.end());
    }

    FakeSysfs sysfs;
    PtyPair pty;
    std::unique_ptr<PinMonitor> monitor;
    std::vector<std::size_t> writesAtFrame;
    std::unique_ptr<BusSimulator> sim;
    RecordingDelegator dlg;
    std::unique_ptr<Planner> planner;
};

// ---------------------------------------------------------------- the cycle

TEST(PlannerCycle, ScheduleOverOneHundredPassesWrapsToPassOne) {
    testing::internal::CaptureStdout();
    Bench b;
    b.add(1, TYPE_R, 1, {10});
    Node w = b.add(2, TYPE_W, 1);
    Node rw = b.add(3, TYPE_RW, 2);
    b.add(4, TYPE_DR, 1, {1234});
    // Classes no table serves: written DELAYED nodes and out-of-range classes.
    b.add(5, makeType(5, DeviceType::RW, DeviceType::DELAYED, 1, 8), 1);
    b.add(6, makeType(6, DeviceType::W, DeviceType::DELAYED, 1, 8), 1);
    b.add(8, makeType(8, DeviceType::R, 2, 1, 8), 1);
    w.getTable()->store({0xABC});
    rw.getTable()->store({1, 2, 3, 4, 5, 6});
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 113));
    b.planner->stop();
    const std::string out = testing::internal::GetCapturedStdout();

    const Frames frames = b.sim->frames();
    std::vector<Frames> passes = passesOf(frames, 1);
    passes.pop_back();  // may be cut short by stop()
    ASSERT_GE(passes.size(), 112u) << "into the second cycle, up to its read-back pass";
    for (std::size_t i = 0; i < passes.size(); ++i) {
        const int number = static_cast<int>(i % 100) + 1;
        std::vector<Bytes> expected = {FrameCodec::valueRequest(1, GATEWAY), FrameCodec::set(2, GATEWAY, {0xBC, 0x0A}),
                                       FrameCodec::set(3, GATEWAY, {0x21, 0x43, 0x65})};
        if (number == 10) expected.push_back(FrameCodec::valueRequest(3, GATEWAY));
        if (number == 50) expected.push_back(FrameCodec::measure(4, GATEWAY));
        if (number == 100) expected.push_back(FrameCodec::valueRequest(4, GATEWAY));
        std::vector<Bytes> got;
        for (const SimFrame& f : passes[i]) got.push_back(f.bytes);
        EXPECT_EQ(got, expected) << "pass " << i + 1;
    }
    for (unsigned short untracked : {5, 6, 8}) {
        EXPECT_EQ(std::count_if(frames.begin(), frames.end(), [&](const SimFrame& f) { return f.address == untracked; }),
                  0);
    }
    EXPECT_EQ(b.sim->pinLowFrames(), 0u);
    EXPECT_NE(out.find("Merime 4X\n"), std::string::npos);
    EXPECT_EQ(updatesOf(b.dlg, 4), 1u) << "the delayed node is read on pass 100";
    EXPECT_EQ(updatesOf(b.dlg, 3), 0u) << "the RW node answered the values it was set";
}

TEST(PlannerCycle, DriverGoesOnAndOffAroundEveryBurstEvenWhenTablesAreEmpty) {
    Bench b(Planner::systemClock, true);
    b.add(1, TYPE_R, 1);
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 53));
    b.planner->stop();
    b.sim->stop();
    const std::vector<std::size_t> marks = b.writesAtFrame;
    ASSERT_GE(marks.size(), 53u);
    EXPECT_EQ(marks[0], 1u) << "only the read's own \"1\" before the first frame";
    // The read's "0", "1"/"0" for each empty write burst, the next read's
    // "1"; pass 50 adds the empty measure burst.
    for (std::size_t i = 0; i + 1 < 52; ++i) {
        EXPECT_EQ(marks[i + 1] - marks[i], i + 1 == 50 ? 8u : 6u) << "pin writes in pass " << i + 1;
    }
    const auto levels = b.monitor->levels();
    for (std::size_t i = 0; i + 1 < levels.size(); ++i) EXPECT_EQ(levels[i].level, i % 2 == 0 ? '1' : '0');
    ASSERT_GE(levels.size(), 2u);
    EXPECT_EQ(levels[levels.size() - 2].level, '0');
    EXPECT_EQ(levels.back().level, '0') << "stop() switches the driver off once more";
}

// ---------------------------------------------------------------- values

TEST(PlannerValues, ChangedValuesAreReportedOnceAndCommandsReachTheNextPass) {
    testing::internal::CaptureStdout();
    Bench b;
    Node r = b.add(1, TYPE_R, 2, {5, 6});
    b.add(2, TYPE_W, 1);
    b.add(3, TYPE_RW, 2);
    Node gone = b.add(11, TYPE_R, 1);
    const DeviceType delayedWriter = makeType(9, DeviceType::W, DeviceType::DELAYED, 1, 8);
    Node delayed = b.add(6, delayedWriter, 1);
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 4));
    EXPECT_EQ(updatesOf(b.dlg, 1), 1u) << "the first answer differs from the zeroed table";
    EXPECT_EQ(r.getTable()->snapshot(), (std::vector<unsigned int>{5, 6}));

    b.sim->setValues(0, {5, 200});
    Node w2 = makeNode(2, TYPE_W, 1);  // the server link hands over fresh records
    w2.getTable()->store({0xABC});
    Node rw2 = makeNode(3, TYPE_RW, 2);
    rw2.getTable()->store({1, 2, 3, 4, 5, 6});
    delayed.getTable()->store({0x55});
    b.planner->setNodeData(w2);
    b.planner->setNodeData(rw2);
    b.planner->setNodeData(delayed);  // untracked so far: now written every pass
    Node readOnly = makeNode(1, TYPE_R, 1);
    b.planner->setNodeData(readOnly);  // R: ignored
    b.planner->removeNode(gone);
    const std::size_t from = b.sim->frameCount();
    ASSERT_TRUE(b.waitRequests(1, b.sim->node(0).requests + 4));
    b.planner->stop();
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(updatesOf(b.dlg, 1), 2u);
    EXPECT_EQ(r.getTable()->snapshot(), (std::vector<unsigned int>{5, 200}));
    auto passes = passesOf(b.framesAfter(from), 1);
    passes.pop_back();
    ASSERT_GE(passes.size(), 2u);
    for (std::size_t i = 1; i < passes.size(); ++i) {
        std::vector<Bytes> got;
        for (const SimFrame& f : passes[i]) got.push_back(f.bytes);
        ASSERT_EQ(got.size(), 4u) << "pass " << i;
        if (got[1] > got[2]) std::swap(got[1], got[2]);  // W nodes in the table's order
        EXPECT_EQ(got, (std::vector<Bytes>{FrameCodec::valueRequest(1, GATEWAY), FrameCodec::set(6, GATEWAY, {0x55}),
                                           FrameCodec::set(2, GATEWAY, {0xBC, 0x0A}),
                                           FrameCodec::set(3, GATEWAY, {0x21, 0x43, 0x65})}))
            << "pass " << i;
    }
    EXPECT_EQ(b.dlg.calls("logError").size(), 0u);
    EXPECT_EQ(out.find("Missing"), std::string::npos);
}

// ---------------------------------------------------------------- failures

// 9999 ms for the first three readings, then 10000 ms; it starts just below
// a 2^32 boundary and far above 2^32, so only 32-bit arithmetic gets it right.
struct SteppingClock {
    std::atomic<int> calls{0};
    unsigned long operator()() {
        const unsigned long k = static_cast<unsigned long>(++calls);
        const auto base = static_cast<unsigned long>(0x5FFFFC000ull);
        return k <= 3 ? base + 9999ul * k : base + 3 * 9999ul + 10000ul * (k - 3);
    }
};

TEST(PlannerFailures, SilentNodeIsReportedOnSecondFailureWithin9999MsFoldedAndCounted) {
    testing::internal::CaptureStdout();
    auto clock = std::make_shared<SteppingClock>();
    Bench b([clock] { return (*clock)(); });
    b.planner->setFoldRepeats(60s);
    b.add(1, TYPE_R, 1, {4});
    b.add(2, TYPE_R, 1, {5});
    b.sim->updateNode(0, [](SimNode& s) { s.silent = true; });
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 12));
    b.sim->updateNode(0, [](SimNode& s) { s.silent = false; });
    ASSERT_TRUE(b.waitRequests(1, b.sim->node(0).requests + 3));
    b.planner->stop();
    b.planner->printHealth();
    const std::string out = testing::internal::GetCapturedStdout();
    // Readings 2 and 3 are 9999 ms after the one before (the second across
    // the 2^32 wrap); the later ones 10000 ms after it.
    EXPECT_EQ(errorsFor(b.dlg, ERROR_PACKET_NONSENSE, 1), 2u);
    EXPECT_EQ(b.dlg.calls("logError").size(), 2u);
    const std::string block = "-------------\nMissing start from node address 1\nReceived 0 bytes instead of 9\n"
                              "Missing end from node address 1\n-------------\n";
    EXPECT_NE(out.find(block), std::string::npos);
    EXPECT_EQ(out.find(block), out.rfind(block)) << "printed once, then counted";
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("Node 1: repeated (\\d+) more times: Missing start from node address 1\n")));
    const unsigned long folded = std::stoul(m[1]);
    ASSERT_TRUE(std::regex_search(out, m, std::regex("Node 1: (\\d+) requests, (\\d+) valid, (\\d+) missing, 0 invalid, "
                                                     "last valid reply \\d+\\.\\d s ago, reply time \\d+\\.\\d ms "
                                                     "\\(median of (\\d+)\\)\n")));
    EXPECT_EQ(std::stoul(m[1]), std::stoul(m[2]) + std::stoul(m[3]));
    EXPECT_EQ(std::stoul(m[3]), folded + 1);
    EXPECT_EQ(m[4], m[2]);
    EXPECT_TRUE(std::regex_search(out, std::regex("Node 2: \\d+ requests, \\d+ valid, 0 missing, 0 invalid")));
    EXPECT_TRUE(std::regex_search(out, std::regex("\nBus: \\d+\\.\\d passes/s, [1-9]\\d* B sent, [1-9]\\d* B received\n")));
}

TEST(PlannerFailures, BrokenShortAndOverlongRepliesAreFailedReadsAndTheCycleGoesOn) {
    testing::internal::CaptureStdout();
    Bench b;
    const DeviceType twelveBits = makeType(21, DeviceType::R, DeviceType::NOW, 1, 12);  // answer: 10 bytes
    const DeviceType wide = makeType(20, DeviceType::R, DeviceType::NOW, 1, 255);      // 40 bytes
    b.add(1, TYPE_R, 1, {77});
    b.add(2, TYPE_R, 1, {1});
    b.add(3, TYPE_R, 1, {1});
    b.add(4, wide, 1);
    b.add(5, twelveBits, 1);
    b.sim->updateNode(0, [](SimNode& s) {
        s.garbageBefore = {Message::START, Message::END, 0x00, Message::START, 0x05};
        s.garbageAfter = {Message::END, Message::START};
    });
    b.sim->updateNode(1, [](SimNode& s) { s.extraPayload = 3; });
    b.sim->updateNode(2, [](SimNode& s) { s.brokenCrc = true; });
    b.sim->updateNode(3, [](SimNode& s) {
        s.rawReply.assign(189, Message::START);  // 39 bytes, then 150 more while the gateway still waits
        s.splitAt = 39;
        s.splitPause = 3ms;
    });
    b.sim->updateNode(4, [](SimNode& s) { s.rawReply = {Message::START, 0x01, Message::END}; });
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(5, 4));
    ASSERT_TRUE(b.waitRequests(1, b.sim->node(0).requests + 2)) << "the cycle goes on";
    b.planner->stop();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(updatesOf(b.dlg, 1), 1u) << "a valid reply among stray bytes is found";
    EXPECT_EQ(errorsFor(b.dlg, ERROR_PACKET_NONSENSE, 1), 0u);
    for (unsigned short broken : {2, 3, 4, 5}) {
        EXPECT_EQ(updatesOf(b.dlg, broken), 0u) << broken;
        EXPECT_GE(errorsFor(b.dlg, ERROR_PACKET_NONSENSE, broken), 1u) << broken;
    }
    EXPECT_NE(out.find("Missing end from node address 4\n"), std::string::npos);
    EXPECT_EQ(out.find("Missing start from node address 4\n"), std::string::npos);
    EXPECT_NE(out.find("\nReceived 3 bytes instead of 10\n"), std::string::npos);
    EXPECT_EQ(out.find("Missing start from node address 5\n"), std::string::npos);
    EXPECT_EQ(b.sim->pinLowFrames(), 0u);
}

// ---------------------------------------------------------------- commands meet the cycle

TEST(PlannerHandshake, CommandFloodNeverMixesTwoUpdatesIntoOneFrame) {
    Bench b;
    const DeviceType pair = makeType(2, DeviceType::W, DeviceType::NOW, 1, 8);
    b.add(1, TYPE_R, 1, {3});
    Node w = b.add(2, pair, 2);
    Node rw = b.add(3, TYPE_RW, 2);
    Node dr = b.add(4, TYPE_DR, 1);
    b.planner->start();
    for (unsigned int v = 1; v < 400; ++v) {
        w.getTable()->store({v & 0xFF, v & 0xFF});  // a frame mixing two updates would show
        b.planner->setNodeData(w);
        rw.getTable()->store({v & 0xF, v & 0xF, v & 0xF, 1, 2, 3});
        b.planner->setNodeData(rw);
        b.planner->removeNode(dr);
        b.planner->addNode(dr);
    }
    ASSERT_TRUE(b.waitRequests(1, b.sim->node(0).requests + 2));
    b.planner->stop();
    for (const SimFrame& f : b.sim->frames()) {
        if (isTo(f, Message::SET, 2)) {
            EXPECT_EQ(f.values[0], f.values[1]);
        }
    }
    EXPECT_EQ(b.sim->pinLowFrames(), 0u);
}

// The server's values for a read-write node arrive around its read-back (on
// pass 10), at a point a seam holds still every time: while the request is
// on the line (the simulator's trace hook, run before the node answers,
// holds the answer until the DATA_SET has gone through the real server link
// and reached the bus master), or once the set burst has left the node's
// table, before the bus thread looks at it for the read-back (the bus
// master's hook). The reply then carries the values of the set frame before.
TEST(PlannerHandshake, ValuesSetAroundAReadBackGoOutAndAreNotReadBackOver) {
    for (const bool onTheLine : {true, false}) {
        SCOPED_TRACE(onTheLine ? "request on the line" : "between the set burst and the read-back");
        Connector connector;
        std::thread command;
        const auto dataSet = [&connector] {
            connector.handleReceived(R"({"message_type":6,"address":3,"data":[{"data":[7,7,7]},{"channel":1,"data":[1,2,3]}]})");
        };
        bool held = false;  // the simulator's thread alone touches it
        Bench b(Planner::systemClock, false, [&](const SimFrame& f) {
            if (!onTheLine || !isTo(f, Message::VALUE_REQUEST, 3) || held) return;
            held = true;
            command = std::thread(dataSet);
            b.dlg.waitFor("setNodeData");
        });
        int left = 0;  // the bus thread alone touches it
        // Tables R, W and RW every pass: the 30th the bus thread leaves is pass 10's set burst.
        b.planner->setTableLeftHook([&] {
            if (!onTheLine && ++left == 30) std::thread(dataSet).join();
        });
        b.dlg.onCall("setNodeData", [&b](const RecordingDelegator::Call& c) { Node n = c.node; b.planner->setNodeData(n); });
        connector.setDelegator(&b.dlg);
        Node rw = b.add(3, TYPE_RW, 2);
        connector.addNodeToMap(rw);
        b.planner->start();
        const std::vector<unsigned int> set{7, 7, 7, 1, 2, 3};
        EXPECT_TRUE(b.sim->waitFor([&](const Frames& frames) {
            return std::any_of(frames.begin(), frames.end(), [&](const SimFrame& f) { return isTo(f, Message::SET, 3) && f.values == set; });
        }, 20s)) << "the next write pass carries the server's values";
        b.planner->stop();
        if (command.joinable()) command.join();
        const Frames frames = b.sim->frames();
        const auto readBack = std::find_if(frames.begin(), frames.end(), [](const SimFrame& f) { return isTo(f, Message::VALUE_REQUEST, 3); });
        ASSERT_NE(readBack, frames.begin());
        EXPECT_EQ((readBack - 1)->values, std::vector<unsigned int>(6, 0)) << "the read-back answers the old values";
        EXPECT_EQ(updatesOf(b.dlg, 3), 0u) << "the read-back reported the old values";
        EXPECT_EQ(rw.getTable()->snapshot(), set);
    }
}

// ---------------------------------------------------------------- start and stop

TEST(PlannerStart, StopFinishesTheExchangeLeavesTheDriverOffAndEndsEveryBusUser) {
    Bench b;
    b.add(1, TYPE_R, 1, {1});
    b.add(2, TYPE_W, 1);
    b.sim->updateNode(0, [](SimNode& s) { s.turnaround = 20ms; });
    b.sim->addNode(unaddressed(0x3333, 1));
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 3));
    b.planner->setDiscoveryWindow(60s);
    std::thread discovery([&] { b.planner->discoverNewNodes(); });
    ASSERT_TRUE(b.sim->waitFor([](const Frames& f) { return countTo(f, Message::DISCOVERY, 0) == 1; }, 60s));
    b.planner->stop();  // in the listening window
    discovery.join();
    EXPECT_EQ(b.pinLevel(), "0");
    EXPECT_EQ(b.dlg.calls("requestNewAddresses").size(), 0u);
    EXPECT_GE(updatesOf(b.dlg, 1), 1u) << "the exchange in progress was finished";
    const std::size_t count = b.sim->frameCount();
    nodeMap newNodes{{30, makeNode(30, TYPE_R, 1, 0x3333)}};
    b.planner->addressNewNodes(newNodes);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(b.sim->frameCount(), count) << "traffic after stop()";
}

// ---------------------------------------------------------------- discovery

struct Outcome {
    const char* name;
    std::vector<SimNode> fresh;
    std::vector<std::string> reports;  // in order: "found N" or "error C"
    unsigned long bytes;               // counted by the window's per-read lines
    std::vector<std::string> lines;    // console lines printed
    bool cycleWaits;                   // for NEW_ADDRESSES
};

SimNode raw(Bytes bytes) {
    SimNode s = unaddressed(1);
    s.rawReply = std::move(bytes);
    return s;
}

Bytes manyReplies(int count) {
    Bytes out;
    for (int i = 0; i < count; ++i) {
        const auto r = FrameCodec::discoveryReply(1, 3, static_cast<unsigned short>(1000 + i));
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

Bytes noisyReply() {
    Bytes r = FrameCodec::discoveryReply(1, 3, 0x1234);
    r[7] ^= 0xFF;
    return r;
}

SimNode withTail(SimNode s) {
    s.garbageAfter = {0x55, 0xAA};
    return s;
}

TEST(PlannerDiscovery, EveryOutcomeOfTheListeningWindow) {
    const std::vector<Outcome> outcomes = {
        {"silence", {}, {"error 5"}, 0, {}, false},
        {"one reply", {unaddressed(4660, 3, 2)}, {"found 1"}, 9, {"Mame tu nod s randomem 4660 a typem3"}, true},
        {"three replies", {unaddressed(100), unaddressed(200), unaddressed(300)}, {"found 3"}, 27, {}, true},
        {"duplicate random", {unaddressed(777), unaddressed(777, 3, 2)}, {"found 1"}, 18, {}, true},
        {"reply and two stray bytes", {withTail(unaddressed(4660))}, {"found 1", "error 4"}, 11, {}, false},
        {"five bytes", {raw({Message::START, 0x05, 0x01, 0x00, 0x03})}, {"error 4"}, 5, {}, false},
        {"one byte", {raw({Message::START})}, {"error 4"}, 1, {}, false},
        {"nine bytes of noise", {raw(noisyReply())}, {"error 4"}, 9, {}, false},
        {"230 replies", {raw(manyReplies(230))}, {"found 200"}, 230 * 9,
         {"Discovery okno plne (1800 B), ignorovano 270 B"}, true},
    };
    for (const Outcome& o : outcomes) {
        SCOPED_TRACE(o.name);
        testing::internal::CaptureStdout();
        Bench b;
        b.add(1, TYPE_R, 1);
        b.add(3, TYPE_RW, 2);
        for (const SimNode& s : o.fresh) b.sim->addNode(s);
        DeviceType foundType = makeType(3, DeviceType::R, DeviceType::NOW, 1, 8);
        b.planner->addType(foundType);
        b.planner->setAddressTimeout(300ms);
        b.planner->start();
        ASSERT_TRUE(b.waitRequests(1, 3));
        b.planner->discoverNewNodes();
        const Frames atReturn = b.sim->frames();
        const std::size_t reads = b.sim->node(0).requests;
        const bool resumedAtOnce = b.waitRequests(1, reads + 2, 200ms);
        const bool resumedLater = resumedAtOnce || b.waitRequests(1, reads + 2, 10s);
        b.planner->stop();
        const std::string out = testing::internal::GetCapturedStdout();

        std::vector<std::string> reports;
        for (const auto& c : b.dlg.calls()) {
            if (c.name == "requestNewAddresses") reports.push_back("found " + std::to_string(c.nodes.size()));
            if (c.name == "logError") reports.push_back("error " + std::to_string(c.number));
        }
        EXPECT_EQ(reports, o.reports);
        for (const std::string& line : o.lines) EXPECT_NE(out.find(line + "\n"), std::string::npos) << line;
        unsigned long printed = 0;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) printed += std::stoul(line);
        }
        EXPECT_EQ(printed, o.bytes);
        EXPECT_EQ(resumedAtOnce, !o.cycleWaits);
        EXPECT_TRUE(resumedLater) << "the address time-out hands the bus back";
        if (o.cycleWaits) {
            EXPECT_NE(out.find("Adresy pro nove nody neprisly do 300 ms, sbernice pokracuje\n"), std::string::npos);
        }
        // The broadcast went out once, right after a pass, with nothing else in the window.
        const auto at = std::find_if(atReturn.begin(), atReturn.end(),
                                     [](const SimFrame& f) { return f.code == Message::DISCOVERY; });
        ASSERT_NE(at, atReturn.end());
        EXPECT_EQ(at->bytes, (Bytes{Message::START, 0x01, Message::DISCOVERY, 0xF4, Message::END}));
        EXPECT_TRUE(isTo(*(at - 1), Message::SET, 3));
        EXPECT_EQ(at + 1, atReturn.end());
        EXPECT_EQ(b.sim->pinLowFrames(), 0u);
    }
}

// A type code that no type defines yet is reported with a default type and
// leaves the bus master's map alone: a type registered later takes it.
TEST(PlannerDiscovery, ATypeRegisteredAfterADiscoverySawItsCodeIsUsedNextTime) {
    testing::internal::CaptureStdout();
    Bench b;
    b.add(1, TYPE_R, 1);
    b.sim->addNode(unaddressed(0x4242, 9, 2));
    b.planner->start();
    DeviceType later = makeType(9, DeviceType::R, DeviceType::NOW, 2, 16);
    for (int run = 0; run < 2; ++run) {
        if (run == 1) b.planner->addType(later);
        b.planner->discoverNewNodes();
    }
    b.planner->stop();
    testing::internal::GetCapturedStdout();
    const auto reports = b.dlg.calls("requestNewAddresses");
    ASSERT_EQ(reports.size(), 2u);
    const DeviceType first = reports[0].nodes.at(0x4242).getType(), second = reports[1].nodes.at(0x4242).getType();
    EXPECT_EQ(first.getType() + first.getDataCount() + first.getDataRange(), 0u) << "a default type";
    EXPECT_EQ(second.getType() * 1000 + second.getDataCount() * 100 + second.getDataRange(), 9216u);
}

TEST(PlannerDiscovery, FoundNodesAreAddressedFiledAndRegistered) {
    testing::internal::CaptureStdout();
    Bench b;
    b.add(1, TYPE_R, 1);
    b.add(3, TYPE_RW, 2);
    const DeviceType found = makeType(3, DeviceType::R, DeviceType::NOW, 1, 8);
    b.sim->addNode(unaddressed(0x1234));
    SimNode never = unaddressed(0x2222);
    never.wrongCheckAddress = true;
    b.sim->addNode(never);
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 2));
    nodeMap newNodes{{0x0102, makeNode(0x0102, found, 1, 0x1234)}, {0x0103, makeNode(0x0103, found, 1, 0x2222)}};
    const std::size_t from = b.sim->frameCount();
    b.planner->addressNewNodes(newNodes);
    const Frames f = b.framesAfter(from);
    EXPECT_EQ(countTo(f, Message::ADDRESS_ASSIGN, 0x0102), 1u);
    EXPECT_EQ(countTo(f, Message::ADDRESS_ASSIGN, 0x0103), 19u);
    EXPECT_EQ(countTo(f, Message::ADDRESS_CONFIRM, 0x0102), 5u);
    EXPECT_EQ(countTo(f, Message::ADDRESS_CONFIRM, 0x0103), 0u);
    const Frames all = b.sim->frames();
    const auto first = std::find_if(all.begin(), all.end(), [](const SimFrame& x) { return x.code == Message::ADDRESS_ASSIGN; });
    ASSERT_NE(first, all.begin());
    EXPECT_TRUE(isTo(*(first - 1), Message::SET, 3)) << "the bus is taken only at the end of a pass";
    const auto good = std::find_if(first, all.end(), [](const SimFrame& x) { return isTo(x, Message::ADDRESS_ASSIGN, 0x0102); });
    ASSERT_GE(all.end() - good, 6);
    EXPECT_EQ(good->bytes, FrameCodec::addressAssign(0x1234, 0x0102, GATEWAY));
    for (auto confirm = good + 1; confirm != good + 6; ++confirm) {
        EXPECT_EQ(confirm->bytes, FrameCodec::addressConfirm(0x1234, 0x0102, GATEWAY));
    }
    const auto registered = b.dlg.calls("addNodeToMap");
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0].node.getAddress(), 0x0102);
    EXPECT_EQ(b.sim->node(2).address, 0x0102);
    EXPECT_FALSE(b.sim->node(3).addressed);
    EXPECT_TRUE(b.waitRequests(0x0102, 2, 10s)) << "filed in its table: the cycle reads it";
    b.planner->stop();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Adresace nodu 1 258 random 4660 prijado 10 parsovano: 1\n"), std::string::npos);
    EXPECT_NE(out.find("Adresace nodu 19 259 random 8738 prijado 10 parsovano: 0\n"), std::string::npos);
    EXPECT_EQ(out.find("Adresace nodu 20 "), std::string::npos);
}

}  // namespace
