// The bus master against simulated nodes: the real Planner, Message, UART and
// GPIO on a pseudo-terminal pair and a temporary sysfs directory, with the
// BusSimulator playing the line and its nodes on the far side.
//
// Tests that need the 8-second discovery window run their scenarios side by
// side, each in a forked child of its own (own stdout, own line), so the
// whole group waits for the window only once.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BusSimulator.h"
#include "Delegator.h"
#include "Errors.h"
#include "FakeSysfs.h"
#include "FrameCodec.h"
#include "Node.h"
#include "PinMonitor.h"
#include "Planner.h"
#include "PtyPair.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Frames = std::vector<SimFrame>;

// The fake sysfs pin is written with O_SYNC several times per pass, by up to
// a dozen children at once: keep it in memory, like the real sysfs, rather
// than on a disk whose journal would stall every write.
const bool TEMP_IN_MEMORY = [] {
    if (std::getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 0);
    return true;
}();

const char* const PIN = "17";
const unsigned char GATEWAY = 7;

// ---------------------------------------------------------------- helpers

// The server side as the bus master sees it: records every call.
class RecordingDelegator : public Delegator {
public:
    struct Update {
        unsigned short address;
        std::vector<unsigned int> values;
    };
    struct Error {
        unsigned char code;
        int address;  // -1: reported without one
    };
    struct Found {
        unsigned short random;
        unsigned int type;
        unsigned int channels;
    };

    void updateNodeData(Node& node) override {
        Update u{node.getAddress(), node.getTable() ? node.getTable()->snapshot() : std::vector<unsigned int>()};
        record([&] { updates_.push_back(u); }, "update");
    }
    void logError(unsigned char code) override {
        record([&] { errors_.push_back({code, -1}); }, "error " + std::to_string(code));
    }
    void logError(unsigned char code, unsigned short address) override {
        record([&] { errors_.push_back({code, address}); }, "error " + std::to_string(code));
    }
    void requestNewAddresses(nodeMap& found) override {
        std::vector<Found> list;
        for (auto& entry : found) {
            list.push_back({entry.second.getRandom(), entry.second.getType().getType(),
                            entry.second.getChannelCount()});
        }
        std::sort(list.begin(), list.end(), [](const Found& a, const Found& b) { return a.random < b.random; });
        record([&] { found_.push_back(list); }, "found");
    }
    void addNodeToMap(Node& node) override {
        record([&] { registered_.push_back(node); }, "registered");
    }

    std::vector<Update> updates() const { return copy(updates_); }
    std::vector<Error> errors() const { return copy(errors_); }
    std::vector<std::vector<Found>> found() const { return copy(found_); }
    std::vector<Node> registered() const { return copy(registered_); }
    std::vector<std::string> order() const { return copy(order_); }
    std::size_t errorCount(unsigned char code, int address = -2) const {
        std::size_t k = 0;
        for (const Error& e : errors()) k += (e.code == code && (address == -2 || e.address == address)) ? 1 : 0;
        return k;
    }
    std::size_t updatesOf(unsigned short address) const {
        std::size_t k = 0;
        for (const Update& u : updates()) k += u.address == address ? 1 : 0;
        return k;
    }
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        // Woken by every call, and every 10 ms for conditions on other things.
        std::unique_lock<std::mutex> guard(mutex_);
        for (;;) {
            guard.unlock();
            if (done()) return true;
            if (Clock::now() >= deadline) return false;
            guard.lock();
            changed_.wait_for(guard, 10ms);
        }
    }

private:
    template <typename T>
    T copy(const T& field) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return field;
    }
    template <typename F>
    void record(F&& add, const std::string& what) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            add();
            order_.push_back(what);
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Update> updates_;
    std::vector<Error> errors_;
    std::vector<std::vector<Found>> found_;
    std::vector<Node> registered_;
    std::vector<std::string> order_;
};

// Sends standard output (fd 1, stdio and iostreams) to a file while alive.
class StdoutCapture {
public:
    StdoutCapture() {
        flushAll();
        saved_ = dup(1);
        const int fd = open(dir_.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        close(fd);
    }
    ~StdoutCapture() {
        flushAll();
        dup2(saved_, 1);
        close(saved_);
        // Failure messages printed meanwhile went into the file: show them.
        if (::testing::Test::HasFailure()) std::cerr << "---- captured stdout ----\n" << text() << std::endl;
    }
    std::string text() const {
        flushAll();
        return dir_.read("stdout");
    }

private:
    static void flushAll() {
        std::cout.flush();
        std::fflush(nullptr);
    }
    TempDir dir_;
    int saved_ = -1;
};

std::string readOutput(const std::string& path) {
    std::cout.flush();
    std::fflush(nullptr);
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream s(text);
    std::string line;
    while (std::getline(s, line)) lines.push_back(line);
    return lines;
}

std::size_t countLines(const std::string& text, const std::string& line) {
    const auto lines = linesOf(text);
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

std::size_t countOccurrences(const std::string& text, const std::string& what) {
    std::size_t k = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++k;
    return k;
}

DeviceType makeType(unsigned int code, unsigned char rw, unsigned char latency, unsigned char count,
                    unsigned char range) {
    DeviceType t;
    t.setType(code);
    t.setReadWrite(rw);
    t.setLatency(latency);
    t.setDataCount(count);
    t.setDataRange(range);
    return t;
}

// A node record as the server link builds it (with its value table).
Node makeNode(unsigned short address, const DeviceType& type, int channels, unsigned short random = 0) {
    Node n;
    n.setAddress(address);
    n.setRandom(random);
    n.setChannelCount(channels);
    n.setType(type);
    n.setWired(true);
    n.makeData();
    return n;
}

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

SimNode unaddressed(unsigned short random, unsigned char typeCode, unsigned char channels) {
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

// Splits the frames into passes, each starting with the value request to
// `marker` (an R node read first in every pass). Frames before the first
// marker are dropped.
std::vector<Frames> passesOf(const Frames& frames, unsigned short marker) {
    std::vector<Frames> passes;
    for (const SimFrame& f : frames) {
        if (isTo(f, 0x0A, marker)) passes.emplace_back();
        if (!passes.empty()) passes.back().push_back(f);
    }
    return passes;
}

// Everything one test needs: the fake sysfs pin, the line, the simulated
// nodes, the recording server side and the bus master. Destroyed in reverse:
// the bus master first, the line and the pin last.
struct Bench {
    explicit Bench(bool monitorPin = false) {
        sysfs.addPin(PIN);
        BusSimulator::Options options;
        if (monitorPin) {
            monitor = std::make_unique<PinMonitor>(pinPath());
            options.pinProbe = [this] {
                const bool high = monitor->high();
                std::lock_guard<std::mutex> guard(marksMutex);
                pinWritesAtFrame.push_back(monitor->writes());
                return high;
            };
        } else {
            options.pinValuePath = pinPath();
        }
        options.peerDevice = pty.slavePath();
        options.realtime = true;  // the gateway waits only 40 ms for its echo
        sim = std::make_unique<BusSimulator>(pty.master(), options);
        sim->start();
        planner = std::make_unique<Planner>(pty.slavePath(), PIN, sysfs.root());
        planner->setDelegator(&dlg);
        planner->setAddress(GATEWAY);
    }
    ~Bench() {
        planner.reset();
        sim->stop();
    }

    std::string pinPath() const { return sysfs.root() + "/gpio" + PIN + "/value"; }

    // Registers the type and files the node, returning the server's record.
    Node add(unsigned short address, DeviceType type, int channels) {
        planner->addType(type);
        Node n = makeNode(address, type, channels);
        planner->addNode(n);
        return n;
    }

    bool waitFrames(const std::function<bool(const Frames&)>& done, std::chrono::milliseconds timeout = 60s) {
        return sim->waitFor(done, timeout);
    }
    bool waitRequests(unsigned short address, std::size_t count, std::chrono::milliseconds timeout = 60s) {
        return sim->waitFor([&](const Frames& f) { return countTo(f, 0x0A, address) >= count; }, timeout);
    }

    FakeSysfs sysfs;
    PtyPair pty;
    std::unique_ptr<PinMonitor> monitor;
    std::mutex marksMutex;
    std::vector<std::size_t> pinWritesAtFrame;
    std::unique_ptr<BusSimulator> sim;
    RecordingDelegator dlg;
    std::unique_ptr<Planner> planner;
};

const DeviceType TYPE_R = makeType(1, DeviceType::R, DeviceType::NOW, 1, 8);
const DeviceType TYPE_W = makeType(2, DeviceType::W, DeviceType::NOW, 1, 12);
const DeviceType TYPE_RW = makeType(13, DeviceType::RW, DeviceType::NOW, 3, 4);
const DeviceType TYPE_DR = makeType(14, DeviceType::R, DeviceType::DELAYED, 1, 16);

// Runs scenarios side by side, each in a forked child with its standard
// output and error in a file of its own (handed to the scenario, which may
// read its console lines from it). A child fails when any expectation in it
// failed; its output is then shown.
struct Scenario {
    std::string name;
    std::function<void(const std::string& outFile)> body;
};

void runBatch(const std::vector<Scenario>& scenarios, std::chrono::seconds timeout) {
    TempDir dir;
    std::cout.flush();
    std::fflush(nullptr);
    std::vector<pid_t> pids;
    for (const Scenario& s : scenarios) {
        const std::string out = dir.file(s.name + ".out");
        const pid_t pid = fork();
        ASSERT_GE(pid, 0) << "fork failed";
        if (pid == 0) {
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
            int status = 0;
            try {
                s.body(out);
                status = ::testing::Test::HasFailure() ? 1 : 0;
            } catch (const std::exception& e) {
                std::cout << "exception: " << e.what() << std::endl;
                status = 2;
            }
            std::cout.flush();
            std::fflush(nullptr);
            _exit(status);
        }
        pids.push_back(pid);
        // Start-ups spread out: a dozen gateways opening their lines at once
        // would be a load spike of their own.
        std::this_thread::sleep_for(100ms);
    }
    const auto deadline = Clock::now() + timeout;
    std::vector<int> status(pids.size(), -1);
    std::size_t left = pids.size();
    while (left > 0) {
        for (std::size_t i = 0; i < pids.size(); ++i) {
            if (status[i] != -1) continue;
            int st = 0;
            if (waitpid(pids[i], &st, WNOHANG) == pids[i]) {
                status[i] = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                --left;
            }
        }
        if (left == 0) break;
        if (Clock::now() > deadline) {
            for (std::size_t i = 0; i < pids.size(); ++i) {
                if (status[i] != -1) continue;
                kill(pids[i], SIGKILL);
                waitpid(pids[i], nullptr, 0);
                status[i] = 999;
            }
            break;
        }
        std::this_thread::sleep_for(50ms);
    }
    for (std::size_t i = 0; i < scenarios.size(); ++i) {
        std::string text = dir.read(scenarios[i].name + ".out");
        // A child ends with _exit, so a sanitizer that only reports (and
        // would set the status at a normal exit) is found in its output.
        const bool reported = text.find("ThreadSanitizer") != std::string::npos ||
                              text.find("AddressSanitizer") != std::string::npos ||
                              text.find("runtime error:") != std::string::npos;
        if (status[i] == 0 && !reported) continue;
        if (text.size() > 6000) text = "...\n" + text.substr(text.size() - 6000);
        ADD_FAILURE() << "scenario " << scenarios[i].name << " failed (status " << status[i] << ")\n" << text;
    }
}

// Sanitized gateways run several times slower; too many side by side would
// starve the simulated line's echo past the serial port's wait for it.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kSideBySide = 4;
#else
constexpr std::size_t kSideBySide = 12;
#endif

void runSideBySide(const std::vector<Scenario>& scenarios, std::chrono::seconds timeout) {
    for (std::size_t first = 0; first < scenarios.size(); first += kSideBySide) {
        const std::size_t last = std::min(scenarios.size(), first + kSideBySide);
        runBatch(std::vector<Scenario>(scenarios.begin() + static_cast<std::ptrdiff_t>(first),
                                       scenarios.begin() + static_cast<std::ptrdiff_t>(last)),
                 timeout);
    }
}

// True when `f` closes a pass of the standard line-up used below: the set
// command to the RW node 3 (or, on pass 10, the read-back of it).
bool endsPass(const SimFrame& f) { return isTo(f, 0x0C, 3) || isTo(f, 0x0A, 3); }

// ---------------------------------------------------------------- schedule

TEST(PlannerCycle, ScheduleOverOneHundredPassesWrapsToPassOne) {
    StdoutCapture out;
    Bench b;
    b.sim->addNode(simNode(1, TYPE_R, 1, {10}));
    b.sim->addNode(simNode(2, TYPE_W, 1));
    b.sim->addNode(simNode(3, TYPE_RW, 2));
    b.sim->addNode(simNode(4, TYPE_DR, 1, {1234}));
    b.add(1, TYPE_R, 1);
    Node w = b.add(2, TYPE_W, 1);
    Node rw = b.add(3, TYPE_RW, 2);
    b.add(4, TYPE_DR, 1);
    // Classes no table serves: written DELAYED nodes and out-of-range classes.
    b.add(5, makeType(5, DeviceType::RW, DeviceType::DELAYED, 1, 8), 1);
    b.add(6, makeType(6, DeviceType::W, DeviceType::DELAYED, 1, 8), 1);
    b.add(7, makeType(7, 3, DeviceType::NOW, 1, 8), 1);
    b.add(8, makeType(8, DeviceType::R, 2, 1, 8), 1);
    w.getTable()->store({0xABC});
    rw.getTable()->store({1, 2, 3, 4, 5, 6});

    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 113)) << "the cycle did not make 112 passes";
    b.planner->stop();

    const Frames frames = b.sim->frames();
    std::vector<Frames> passes = passesOf(frames, 1);
    passes.pop_back();  // the last one may be cut short by stop()
    ASSERT_GE(passes.size(), 112u);
    const auto wSet = FrameCodec::set(2, GATEWAY, {0xBC, 0x0A});
    const auto rwSet = FrameCodec::set(3, GATEWAY, {0x21, 0x43, 0x65});
    for (std::size_t i = 0; i < passes.size(); ++i) {
        const int number = static_cast<int>(i % 100) + 1;
        const Frames& p = passes[i];
        std::vector<std::vector<unsigned char>> expected = {FrameCodec::valueRequest(1, GATEWAY), wSet, rwSet};
        if (number == 10) expected.push_back(FrameCodec::valueRequest(3, GATEWAY));
        if (number == 50) expected.push_back(FrameCodec::measure(4, GATEWAY));
        if (number == 100) expected.push_back(FrameCodec::valueRequest(4, GATEWAY));
        std::vector<std::vector<unsigned char>> got;
        for (const SimFrame& f : p) got.push_back(f.bytes);
        EXPECT_EQ(got, expected) << "pass " << i + 1 << " (number " << number << ")";
    }
    for (unsigned short untracked : {5, 6, 7, 8}) {
        EXPECT_EQ(std::count_if(frames.begin(), frames.end(),
                                [&](const SimFrame& f) { return f.address == untracked; }),
                  0)
            << "node " << untracked << " is in no table";
    }
    EXPECT_EQ(b.sim->pinLowFrames(), 0u);
    EXPECT_EQ(countLines(out.text(), "Merime 4X"), 1u);
    // The delayed node's value came in on pass 100, the RW node's on pass 10.
    EXPECT_EQ(b.dlg.updatesOf(4), 1u);
    EXPECT_EQ(b.dlg.updatesOf(3), 0u) << "the RW node answered the values it was set";
    EXPECT_EQ(b.sim->node(1).lastSet, std::vector<unsigned int>{0xABC});
}

TEST(PlannerCycle, EmptyTablesStillTogglePinEveryPass) {
    Bench b(true);
    b.sim->addNode(simNode(1, TYPE_R, 1));
    b.add(1, TYPE_R, 1);
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 53));
    b.planner->stop();
    b.sim->stop();

    std::vector<std::size_t> marks;
    {
        std::lock_guard<std::mutex> guard(b.marksMutex);
        marks = b.pinWritesAtFrame;
    }
    ASSERT_GE(marks.size(), 53u);
    EXPECT_EQ(marks[0], 1u) << "only the read's own \"1\" before the first frame";
    // Between two reads: the read's "0", then "1"/"0" for each of the two
    // empty write bursts, then the next read's "1"; pass 50 adds the empty
    // measure burst. The empty read-back tables send nothing.
    for (std::size_t i = 0; i + 1 < 52; ++i) {
        const std::size_t expected = (i + 1 == 50) ? 8 : 6;
        EXPECT_EQ(marks[i + 1] - marks[i], expected) << "pin writes in pass " << i + 1;
    }
    // Strictly "1", "0", ... and stop() adds one more "0" at the end.
    const auto levels = b.monitor->levels();
    ASSERT_GE(levels.size(), 2u);
    for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
        EXPECT_EQ(levels[i].level, i % 2 == 0 ? '1' : '0') << "write " << i << " of " << levels.size();
    }
    EXPECT_EQ(levels.back().level, '0');
    EXPECT_EQ(levels[levels.size() - 2].level, '0');
    EXPECT_EQ(b.sim->pinLowFrames(), 0u);
}

// ---------------------------------------------------------------- values

TEST(PlannerValues, ChangedRepliesAreReportedOnceUnchangedOnesNot) {
    StdoutCapture out;
    Bench b;
    const std::size_t id = b.sim->addNode(simNode(1, TYPE_R, 2, {5, 6}));
    Node r = b.add(1, TYPE_R, 2);
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 5));
    EXPECT_EQ(b.dlg.updatesOf(1), 1u) << "first answer differs from the zeroed table";
    EXPECT_EQ(r.getTable()->snapshot(), (std::vector<unsigned int>{5, 6})) << "decoded into the shared table";

    b.sim->setValues(id, {5, 200});
    const std::size_t seen = b.sim->node(id).requests;
    ASSERT_TRUE(b.waitRequests(1, seen + 5));
    b.planner->stop();
    const auto updates = b.dlg.updates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1].values, (std::vector<unsigned int>{5, 200}));
    EXPECT_EQ(b.dlg.errors().size(), 0u);
    EXPECT_EQ(out.text().find("Missing"), std::string::npos);
}

TEST(PlannerValues, SetNodeDataReachesTheWireInTheNextWritePass) {
    Bench b;
    b.sim->addNode(simNode(1, TYPE_R, 1));
    const std::size_t wId = b.sim->addNode(simNode(2, TYPE_W, 1));
    const std::size_t rwId = b.sim->addNode(simNode(3, TYPE_RW, 2));
    const DeviceType delayedWriter = makeType(9, DeviceType::W, DeviceType::DELAYED, 1, 8);
    b.sim->addNode(simNode(6, delayedWriter, 1));
    b.add(1, TYPE_R, 1);
    b.add(2, TYPE_W, 1);
    b.add(3, TYPE_RW, 2);
    Node delayed = b.add(6, delayedWriter, 1);
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 3));

    // The server link hands over a fresh record (new table) with new values.
    Node w2 = makeNode(2, TYPE_W, 1);
    w2.getTable()->store({0xABC});
    Node rw2 = makeNode(3, TYPE_RW, 2);
    rw2.getTable()->store({1, 2, 3, 4, 5, 6});
    delayed.getTable()->store({0x55});
    b.planner->setNodeData(w2);
    b.planner->setNodeData(rw2);
    b.planner->setNodeData(delayed);  // untracked so far: now written every pass
    Node r = makeNode(1, TYPE_R, 1);
    b.planner->setNodeData(r);  // R: ignored
    const std::size_t after = b.sim->frameCount();

    ASSERT_TRUE(b.sim->waitForFrames(after + 12, 60s));
    ASSERT_TRUE(b.waitRequests(1, b.sim->node(0).requests + 3));
    b.planner->stop();
    const Frames frames = b.sim->frames();
    // Every set frame built after the calls carries the new values; the
    // first one after them at the latest is the next write pass.
    std::vector<SimFrame> late(frames.end() - static_cast<long>(b.sim->frameCount() - after), frames.end());
    auto passes = passesOf(late, 1);
    passes.pop_back();  // may be cut short by stop()
    ASSERT_GE(passes.size(), 2u);
    for (std::size_t i = 1; i < passes.size(); ++i) {
        const Frames& p = passes[i];
        EXPECT_EQ(countTo(p, 0x0C, 1), 0u);
        EXPECT_EQ(countTo(p, 0x0C, 6), 1u) << "the delayed writer joined nowNodesW";
        for (const SimFrame& f : p) {
            if (isTo(f, 0x0C, 2)) {
                EXPECT_EQ(f.bytes, FrameCodec::set(2, GATEWAY, {0xBC, 0x0A}));
            }
            if (isTo(f, 0x0C, 3)) {
                EXPECT_EQ(f.bytes, FrameCodec::set(3, GATEWAY, {0x21, 0x43, 0x65}));
            }
            if (isTo(f, 0x0C, 6)) {
                EXPECT_EQ(f.bytes, FrameCodec::set(6, GATEWAY, {0x55}));
            }
        }
    }
    EXPECT_EQ(b.sim->node(wId).values, std::vector<unsigned int>{0xABC});
    EXPECT_EQ(b.sim->node(rwId).values, (std::vector<unsigned int>{1, 2, 3, 4, 5, 6}));
}

TEST(PlannerValues, RemovedNodesLeaveTheCycle) {
    Bench b;
    b.sim->addNode(simNode(1, TYPE_R, 1));
    b.sim->addNode(simNode(2, TYPE_W, 1));
    b.sim->addNode(simNode(11, TYPE_R, 1));
    b.add(1, TYPE_R, 1);
    Node w = b.add(2, TYPE_W, 1);
    Node r = b.add(11, TYPE_R, 1);
    Node untracked = makeNode(12, makeType(5, DeviceType::RW, DeviceType::DELAYED, 1, 8), 1);
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(11, 2));
    b.planner->removeNode(w);
    b.planner->removeNode(r);
    b.planner->removeNode(untracked);  // in no table: nothing happens
    const std::size_t after = b.sim->frameCount();
    ASSERT_TRUE(b.waitRequests(1, b.sim->node(0).requests + 3));
    b.planner->stop();
    const Frames frames = b.sim->frames();
    const Frames late(frames.end() - static_cast<long>(b.sim->frameCount() - after), frames.end());
    const auto passes = passesOf(late, 1);
    ASSERT_GE(passes.size(), 2u);
    for (std::size_t i = 1; i < passes.size(); ++i) {
        EXPECT_EQ(countTo(passes[i], 0x0A, 11), 0u);
        EXPECT_EQ(countTo(passes[i], 0x0C, 2), 0u);
    }
}

// ---------------------------------------------------------------- failures

// A clock for the error rule that moves on by a fixed step at every reading:
// 9999 ms for the first three readings, then 10000 ms. It starts just below
// a 2^32 boundary and far above 2^32, so only 32-bit arithmetic gets it right.
struct SteppingClock {
    std::atomic<int> calls{0};
    unsigned long operator()() {
        const int k = ++calls;
        const unsigned long base = 0x5FFFFC000ul;
        return k <= 3 ? base + 9999ul * static_cast<unsigned long>(k) : base + 3 * 9999ul + 10000ul * (k - 3ul);
    }
};

TEST(PlannerFailures, SilentNodeIsReportedOnSecondFailureWithin9999MsButNotAfter10000Ms) {
    StdoutCapture out;
    Bench b;
    SimNode silent = simNode(1, TYPE_R, 1);
    silent.silent = true;
    b.sim->addNode(silent);
    b.add(1, TYPE_R, 1);
    auto clock = std::make_shared<SteppingClock>();
    b.planner->setClock([clock] { return (*clock)(); });
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 7));  // six failed reads are over
    b.planner->stop();
    const int failures = clock->calls;
    // Readings 2 and 3 are 9999 ms after the previous failure (the second
    // across the 2^32 wrap); 4, 5, 6 are 10000 ms after it.
    EXPECT_EQ(b.dlg.errorCount(ERROR_PACKET_NONSENSE, 1), 2u) << failures << " failures";
    EXPECT_EQ(b.dlg.errors().size(), 2u);
    EXPECT_EQ(b.dlg.updates().size(), 0u);
    const std::string block =
        "-------------\n"
        "Missing start from node address 1\n"
        "Received 0 bytes instead of 9\n"
        "Missing end from node address 1\n"
        "-------------\n";
    EXPECT_GE(countOccurrences(out.text(), block), 6u);
    EXPECT_EQ(countOccurrences(out.text(), "-------------\n"), 2 * countOccurrences(out.text(), block));
}

TEST(PlannerFailures, ShortAnswerWithBothMarkersPrintsOnlyTheReceivedLine) {
    StdoutCapture out;
    Bench b;
    const DeviceType twelveBits = makeType(1, DeviceType::R, DeviceType::NOW, 1, 12);  // answer: 10 bytes
    SimNode shortOne = simNode(1, twelveBits, 1);
    shortOne.rawReply = {0x23, 0x01, 0x24};
    b.sim->addNode(shortOne);
    b.add(1, twelveBits, 1);
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 4));
    b.planner->stop();
    const std::string text = out.text();
    EXPECT_GE(countLines(text, "Received 3 bytes instead of 10"), 3u);
    EXPECT_EQ(text.find("-------------"), std::string::npos);
    EXPECT_EQ(text.find("Missing"), std::string::npos);
    EXPECT_EQ(b.dlg.updates().size(), 0u);
}

TEST(PlannerFailures, GarbageAndOverlongRepliesCrashNothing) {
    StdoutCapture out;
    Bench b;
    const DeviceType wide = makeType(20, DeviceType::R, DeviceType::NOW, 1, 255);  // 32-byte payload
    SimNode noisy = simNode(1, TYPE_R, 1, {77});
    noisy.garbageBefore = {0x23, 0x24, 0x00, 0x23, 0x05};
    noisy.garbageAfter = {0x24, 0x23};
    SimNode overlong = simNode(2, TYPE_R, 1, {1});
    overlong.extraPayload = 3;
    SimNode broken = simNode(3, TYPE_R, 1, {1});
    broken.brokenCrc = true;
    SimNode flood = simNode(4, wide, 1);
    // 39 bytes, then (while the gateway still waits for its 40) 150 more.
    flood.rawReply.assign(189, 0x23);
    flood.splitAt = 39;
    flood.splitPause = 3ms;
    b.sim->addNode(noisy);
    b.sim->addNode(overlong);
    b.sim->addNode(broken);
    b.sim->addNode(flood);
    b.add(1, TYPE_R, 1);
    b.add(2, TYPE_R, 1);
    b.add(3, TYPE_R, 1);
    b.add(4, wide, 1);
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(4, 4));
    ASSERT_TRUE(b.waitRequests(1, b.sim->node(0).requests + 2)) << "the cycle goes on";
    b.planner->stop();
    EXPECT_EQ(b.dlg.updatesOf(1), 1u) << "a valid reply among stray bytes is found";
    EXPECT_EQ(b.dlg.updatesOf(2) + b.dlg.updatesOf(3) + b.dlg.updatesOf(4), 0u);
    // Broken answers are failed reads: reported from the second one on.
    EXPECT_EQ(b.dlg.errorCount(ERROR_PACKET_NONSENSE, 1), 0u);
    EXPECT_GE(b.dlg.errorCount(ERROR_PACKET_NONSENSE, 2), 1u);
    EXPECT_GE(b.dlg.errorCount(ERROR_PACKET_NONSENSE, 3), 1u);
    EXPECT_GE(b.dlg.errorCount(ERROR_PACKET_NONSENSE, 4), 1u);
    const std::string text = out.text();
    EXPECT_GE(countLines(text, "Missing end from node address 4"), 1u);
    EXPECT_EQ(countLines(text, "Missing start from node address 4"), 0u);
    EXPECT_EQ(b.sim->pinLowFrames(), 0u);
}

// ---------------------------------------------------------------- handshakes

TEST(PlannerHandshake, SetNodeDataAndRemoveNodeFloodWhileTheCycleRuns) {
    StdoutCapture out;
    Bench b;
    const DeviceType pair = makeType(2, DeviceType::W, DeviceType::NOW, 1, 8);
    b.sim->addNode(simNode(1, TYPE_R, 1, {3}));
    b.sim->addNode(simNode(2, pair, 2));
    b.sim->addNode(simNode(3, TYPE_RW, 2));
    b.sim->addNode(simNode(4, TYPE_DR, 1));
    Node r = b.add(1, TYPE_R, 1);
    Node w = b.add(2, pair, 2);
    Node rw = b.add(3, TYPE_RW, 2);
    Node dr = b.add(4, TYPE_DR, 1);
    b.planner->start();

    const auto until = Clock::now() + 1500ms;
    unsigned int v = 0;
    while (Clock::now() < until) {
        ++v;
        // Both channels always hold the same value: a set frame mixing two
        // updates would show it.
        w.getTable()->store({v & 0xFF, v & 0xFF});
        b.planner->setNodeData(w);
        rw.getTable()->store({v & 0xF, v & 0xF, v & 0xF, 1, 2, 3});
        b.planner->setNodeData(rw);
        b.planner->removeNode(r);
        b.planner->addNode(r);
        b.planner->removeNode(dr);
        b.planner->addNode(dr);
        if (v % 8 == 0) {
            b.planner->removeNode(w);
            b.planner->setNodeData(w);
        }
    }
    w.getTable()->store({0xEE, 0xEE});
    b.planner->setNodeData(w);
    ASSERT_TRUE(b.waitFrames([](const Frames& f) {
        return !f.empty() && std::any_of(f.end() - std::min<long>(static_cast<long>(f.size()), 20), f.end(),
                                         [](const SimFrame& x) {
                                             return isTo(x, 0x0C, 2) &&
                                                    x.values == std::vector<unsigned int>{0xEE, 0xEE};
                                         });
    }));
    b.planner->stop();
    for (const SimFrame& f : b.sim->frames()) {
        if (isTo(f, 0x0C, 2)) {
            ASSERT_EQ(f.values.size(), 2u);
            EXPECT_EQ(f.values[0], f.values[1]) << "a set frame mixed two updates";
        }
    }
    EXPECT_GT(countTo(b.sim->frames(), 0x0A, 1), 5u) << "the cycle kept reading while commands came";
    EXPECT_EQ(b.sim->pinLowFrames(), 0u);
}

TEST(PlannerHandshake, AddressingTakesTheBusOnlyBetweenPasses) {
    StdoutCapture out;
    Bench b;
    b.sim->addNode(simNode(1, TYPE_R, 1));
    b.sim->addNode(simNode(2, TYPE_W, 1));
    b.sim->addNode(simNode(3, TYPE_RW, 2));
    const int runs = 12;
    for (int run = 0; run < runs; ++run) b.sim->addNode(unaddressed(static_cast<unsigned short>(0x1234 + run), 1, 1));
    b.add(1, TYPE_R, 1);
    b.add(2, TYPE_W, 1);
    b.add(3, TYPE_RW, 2);
    b.planner->start();

    for (int run = 0; run < runs; ++run) {
        ASSERT_TRUE(b.waitRequests(1, b.sim->node(0).requests + 1 + run % 3));
        nodeMap newNodes;
        Node n = makeNode(static_cast<unsigned short>(40 + run), TYPE_R, 1, static_cast<unsigned short>(0x1234 + run));
        newNodes.insert({n.getAddress(), n});
        b.planner->addressNewNodes(newNodes);
        nodeMap empty;
        b.planner->addressNewNodes(empty);  // pauses and resumes, sends nothing
    }
    ASSERT_TRUE(b.waitRequests(40 + runs - 1, 2)) << "addressed nodes are read by the cycle";
    b.planner->stop();

    const Frames frames = b.sim->frames();
    int assignments = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].code != 0x02) continue;
        ++assignments;
        ASSERT_GT(i, 0u);
        EXPECT_TRUE(endsPass(frames[i - 1])) << "assignment " << assignments << " came in the middle of a pass";
        // Then exactly the five confirmations, 5 ms apart, nothing else.
        ASSERT_GE(frames.size(), i + 6);
        for (std::size_t k = 1; k <= 5; ++k) {
            EXPECT_EQ(frames[i + k].code, 0x05) << "assignment " << assignments << " frame " << k;
            if (k > 1) {
                EXPECT_GE(frames[i + k].time - frames[i + k - 1].time, 4ms);
            }
        }
    }
    EXPECT_EQ(assignments, runs);
    EXPECT_EQ(b.dlg.registered().size(), static_cast<std::size_t>(runs));
    const std::string text = out.text();
    EXPECT_EQ(countLines(text, "Adresace nodu 1 40 random 4660 prijado 10 parsovano: 1"), 1u);
    EXPECT_EQ(countOccurrences(text, "Adresace nodu "), static_cast<std::size_t>(runs));
    EXPECT_EQ(b.sim->pinLowFrames(), 0u);
}

// ---------------------------------------------------------------- start and stop

TEST(PlannerStart, FailedStartReportsErrorOneAndAnswersDiscoveryAtOnce) {
    StdoutCapture out;
    FakeSysfs sysfs;
    sysfs.addPin(PIN);
    RecordingDelegator dlg;
    Planner planner(sysfs.root() + "/no-such-tty", PIN, sysfs.root());
    planner.setDelegator(&dlg);
    planner.setAddress(GATEWAY);
    Node r = makeNode(1, TYPE_R, 1);
    planner.addNode(r);
    planner.start();
    EXPECT_EQ(dlg.errorCount(ERROR_UART, -1), 1u);
    EXPECT_EQ(sysfs.read("gpio17/direction").substr(0, 3), "out") << "the pin is set up before the port";

    const auto t0 = Clock::now();
    planner.discoverNewNodes();
    EXPECT_LT(Clock::now() - t0, 2s) << "no pass will ever end: discovery must not wait";
    EXPECT_EQ(dlg.errorCount(ERROR_UART, -1), 2u);

    nodeMap newNodes;
    Node n = makeNode(9, TYPE_R, 1, 0x4444);
    newNodes.insert({9, n});
    const auto t1 = Clock::now();
    planner.addressNewNodes(newNodes);
    EXPECT_LT(Clock::now() - t1, 2s);
    EXPECT_TRUE(dlg.registered().empty());
    // Commands still change the tables without a bus thread to wait for.
    planner.removeNode(r);
    Node w = makeNode(2, TYPE_W, 1);
    planner.setNodeData(w);
    EXPECT_EQ(dlg.errors().size(), 2u);
}

TEST(PlannerStart, StopLetsTheExchangeFinishLowersThePinAndEndsTraffic) {
    Bench b;
    SimNode slow = simNode(1, TYPE_R, 1, {1});
    slow.turnaround = 20ms;
    b.sim->addNode(slow);
    b.sim->addNode(simNode(2, TYPE_W, 1));
    b.add(1, TYPE_R, 1);
    b.add(2, TYPE_W, 1);
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 3));
    const auto t0 = Clock::now();
    b.planner->stop();
    EXPECT_LT(Clock::now() - t0, 1s);
    EXPECT_EQ(b.sysfs.read(std::string("gpio") + PIN + "/value").substr(0, 1), "0");
    const std::size_t count = b.sim->frameCount();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(b.sim->frameCount(), count) << "traffic after stop()";
    // The exchange in progress was finished: the reply was collected.
    EXPECT_GE(b.dlg.updatesOf(1), 1u);
}

TEST(PlannerStart, StopEndsDiscoveryAndAddressingWithinAFraction) {
    Bench b;
    b.sim->addNode(simNode(1, TYPE_R, 1));
    SimNode never = unaddressed(0x2222, 1, 1);
    never.wrongCheckAddress = true;
    b.sim->addNode(never);
    b.add(1, TYPE_R, 1);
    b.planner->start();
    ASSERT_TRUE(b.waitRequests(1, 2));

    nodeMap newNodes;
    Node n = makeNode(30, TYPE_R, 1, 0x2222);
    newNodes.insert({30, n});
    std::thread addressing([&] { b.planner->addressNewNodes(newNodes); });
    ASSERT_TRUE(b.waitFrames([](const Frames& f) { return countTo(f, 0x02, 30) >= 2; }));
    const auto t0 = Clock::now();
    b.planner->stop();
    addressing.join();
    EXPECT_LT(Clock::now() - t0, 1s);
    const std::size_t count = b.sim->frameCount();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(b.sim->frameCount(), count);

    // The 8 s listening window notices the stop between its reads.
    Bench d;
    d.sim->addNode(simNode(1, TYPE_R, 1));
    d.sim->addNode(unaddressed(0x3333, 1, 1));
    d.add(1, TYPE_R, 1);
    d.planner->start();
    ASSERT_TRUE(d.waitRequests(1, 2));
    std::thread discovery([&] { d.planner->discoverNewNodes(); });
    ASSERT_TRUE(d.waitFrames([](const Frames& f) { return countTo(f, 0x00, 0) == 1; }));
    const auto t1 = Clock::now();
    d.planner->stop();
    discovery.join();
    EXPECT_LT(Clock::now() - t1, 1s);
    EXPECT_TRUE(d.dlg.found().empty());
    EXPECT_EQ(d.sysfs.read(std::string("gpio") + PIN + "/value").substr(0, 1), "0");
}

// ---------------------------------------------------------------- discovery

// One discovery scenario in a child: a running cycle with an R, a W and an
// RW node (addresses 1, 2, 3), the given unaddressed nodes, then one run.
struct DiscoveryRun {
    explicit DiscoveryRun(const std::vector<SimNode>& fresh, std::chrono::milliseconds addressTimeout = 60s) {
        b.sim->addNode(simNode(1, TYPE_R, 1));
        b.sim->addNode(simNode(2, TYPE_W, 1));
        b.sim->addNode(simNode(3, TYPE_RW, 2));
        for (const SimNode& s : fresh) b.sim->addNode(s);
        b.add(1, TYPE_R, 1);
        b.add(2, TYPE_W, 1);
        b.add(3, TYPE_RW, 2);
        b.planner->addType(foundType);
        b.planner->setAddressTimeout(addressTimeout);
        b.planner->start();
        EXPECT_TRUE(b.waitRequests(1, 3));
        started = Clock::now();
        b.planner->discoverNewNodes();
        returned = Clock::now();
        framesAtReturn = b.sim->frames();
    }

    // The discovery frame went out once, right after the end of a pass, and
    // nothing else went out while the window was open.
    void expectCleanHandover() {
        const Frames& f = framesAtReturn;
        auto at = std::find_if(f.begin(), f.end(), [](const SimFrame& x) { return x.code == 0x00; });
        ASSERT_NE(at, f.end());
        EXPECT_EQ(at->bytes, (std::vector<unsigned char>{0x23, 0x01, 0x00, 0xF4, 0x24}));
        ASSERT_NE(at, f.begin());
        EXPECT_TRUE(endsPass(*(at - 1))) << "discovery took the bus in the middle of a pass";
        for (auto later = at + 1; later != f.end(); ++later) {
            EXPECT_GE(later->time - at->time, 8s) << "frame during the listening window";
        }
        EXPECT_GE(returned - started, 8s);
        EXPECT_EQ(b.sim->pinLowFrames(), 0u) << lowFrames();
    }
    std::string lowFrames() {
        std::ostringstream s;
        const Frames all = b.sim->frames();
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (all[i].pinHigh) continue;
            s << "frame " << i << " of " << all.size() << " code " << int(all[i].code) << " to " << all[i].address;
            if (i > 0) s << " " << std::chrono::duration_cast<std::chrono::microseconds>(all[i].time - all[i - 1].time).count() << " us after the one before";
            s << "\n";
        }
        return s.str();
    }
    // Whether passes are made again within a while.
    bool cycleRuns(std::chrono::milliseconds within = 5s) {
        const std::size_t reads = countTo(b.sim->frames(), 0x0A, 1);
        return b.waitRequests(1, reads + 2, within);
    }
    // The per-read byte counts the listening window printed.
    std::vector<unsigned long> readCounts(const std::string& text) {
        std::vector<unsigned long> counts;
        for (const std::string& line : linesOf(text)) {
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
                counts.push_back(std::stoul(line));
            }
        }
        return counts;
    }
    unsigned long bytesPrinted(const std::string& text) {
        unsigned long sum = 0;
        for (unsigned long c : readCounts(text)) sum += c;
        return sum;
    }

    DeviceType foundType = makeType(3, DeviceType::R, DeviceType::NOW, 1, 8);
    Bench b;
    Clock::time_point started;
    Clock::time_point returned;
    Frames framesAtReturn;
};

std::vector<unsigned char> repliesFor(unsigned short firstRandom, int count) {
    std::vector<unsigned char> out;
    for (int i = 0; i < count; ++i) {
        const auto r = FrameCodec::discoveryReply(1, 3, static_cast<unsigned short>(firstRandom + i));
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

// Runs for a little over 9 s: every outcome of the listening window, and a
// full search-and-address round trip, side by side in one test (so that no
// two such groups ever run at once).
TEST(PlannerDiscovery, ListeningWindowOutcomesAndAddressing) {
    std::vector<Scenario> scenarios;
    scenarios.push_back({"NoReplyReportsFiveAndResumes", [](const std::string& outFile) {
                             DiscoveryRun d({});
                             d.expectCleanHandover();
                             EXPECT_EQ(d.b.dlg.errorCount(ERROR_NO_NEW_NODES, -1), 1u);
                             EXPECT_EQ(d.b.dlg.errors().size(), 1u);
                             EXPECT_TRUE(d.b.dlg.found().empty());
                             EXPECT_TRUE(d.cycleRuns());
                             EXPECT_EQ(d.bytesPrinted(readOutput(outFile)), 0u);
                         }});
    scenarios.push_back({"OneReplyIsReportedAndTheCycleWaits", [](const std::string& outFile) {
                             DiscoveryRun d({unaddressed(4660, 3, 2)});
                             d.expectCleanHandover();
                             const std::string text = readOutput(outFile);
                             EXPECT_EQ(countLines(text, "Mame tu nod s randomem 4660 a typem3"), 1u);
                             EXPECT_EQ(d.bytesPrinted(text), 9u) << "per-read byte counts";
                             const auto found = d.b.dlg.found();
                             ASSERT_EQ(found.size(), 1u);
                             ASSERT_EQ(found[0].size(), 1u);
                             EXPECT_EQ(found[0][0].random, 4660);
                             EXPECT_EQ(found[0][0].type, 3u);
                             EXPECT_EQ(found[0][0].channels, 2u);
                             EXPECT_TRUE(d.b.dlg.errors().empty());
                             EXPECT_FALSE(d.cycleRuns(300ms)) << "the cycle waits for the addresses";
                             nodeMap none;
                             d.b.planner->addressNewNodes(none);  // an empty NEW_ADDRESSES
                             EXPECT_TRUE(d.cycleRuns());
                         }});
    scenarios.push_back({"ThreeRepliesAreReportedTogether", [](const std::string&) {
                             DiscoveryRun d({unaddressed(100, 3, 1), unaddressed(200, 3, 1), unaddressed(300, 3, 4)});
                             d.expectCleanHandover();
                             const auto found = d.b.dlg.found();
                             ASSERT_EQ(found.size(), 1u);
                             ASSERT_EQ(found[0].size(), 3u);
                             EXPECT_EQ(found[0][2].channels, 4u);
                             EXPECT_TRUE(d.b.dlg.errors().empty());
                         }});
    scenarios.push_back({"DuplicateRandomCountsOnce", [](const std::string& outFile) {
                             DiscoveryRun d({unaddressed(777, 3, 1), unaddressed(777, 3, 2)});
                             d.expectCleanHandover();
                             const auto found = d.b.dlg.found();
                             ASSERT_EQ(found.size(), 1u);
                             EXPECT_EQ(found[0].size(), 1u);
                             EXPECT_EQ(countLines(readOutput(outFile), "Mame tu nod s randomem 777 a typem3"), 2u);
                             EXPECT_TRUE(d.b.dlg.errors().empty());
                         }});
    scenarios.push_back({"ElevenBytesReportTheNodeThenFour", [](const std::string&) {
                             SimNode s = unaddressed(4660, 3, 2);
                             s.garbageAfter = {0x55, 0xAA};
                             DiscoveryRun d({s});
                             d.expectCleanHandover();
                             EXPECT_EQ(d.b.dlg.order(), (std::vector<std::string>{"found", "error 4"}));
                             ASSERT_EQ(d.b.dlg.found().size(), 1u);
                             EXPECT_EQ(d.b.dlg.errorCount(ERROR_PACKET_NONSENSE, -1), 1u);
                             EXPECT_TRUE(d.cycleRuns());
                         }});
    scenarios.push_back({"FiveBytesReportFourAndResume", [](const std::string&) {
                             SimNode s = unaddressed(1, 3, 1);
                             s.rawReply = {0x23, 0x05, 0x01, 0x00, 0x03};
                             DiscoveryRun d({s});
                             d.expectCleanHandover();
                             EXPECT_EQ(d.b.dlg.order(), std::vector<std::string>{"error 4"});
                             EXPECT_TRUE(d.cycleRuns());
                         }});
    scenarios.push_back({"OneByteReportsFourAndResumes", [](const std::string& outFile) {
                             SimNode s = unaddressed(1, 3, 1);
                             s.rawReply = {0x23};
                             DiscoveryRun d({s});
                             d.expectCleanHandover();
                             EXPECT_EQ(d.b.dlg.order(), std::vector<std::string>{"error 4"});
                             EXPECT_EQ(countLines(readOutput(outFile), "1"), 1u);
                             EXPECT_TRUE(d.cycleRuns());
                         }});
    scenarios.push_back({"NineBytesOfNoiseReportFourAndResume", [](const std::string&) {
                             SimNode s = unaddressed(1, 3, 1);
                             s.rawReply = FrameCodec::discoveryReply(1, 3, 0x1234);
                             s.rawReply[7] ^= 0xFF;  // bad CRC
                             DiscoveryRun d({s});
                             d.expectCleanHandover();
                             EXPECT_EQ(d.b.dlg.order(), std::vector<std::string>{"error 4"});
                             EXPECT_TRUE(d.cycleRuns());
                         }});
    scenarios.push_back({"TwoHundredRepliesFitTheRestIsIgnoredWithOneLine", [](const std::string& outFile) {
                             SimNode s = unaddressed(1, 3, 1);
                             s.rawReply = repliesFor(1000, 230);
                             DiscoveryRun d({s});
                             d.expectCleanHandover();
                             const std::string text = readOutput(outFile);
                             EXPECT_EQ(d.bytesPrinted(text), 230u * 9u);
                             EXPECT_EQ(countOccurrences(text, "ignorovano 270 B"), 1u);
                             const auto found = d.b.dlg.found();
                             ASSERT_EQ(found.size(), 1u);
                             EXPECT_EQ(found[0].size(), 200u);
                             EXPECT_TRUE(d.b.dlg.errors().empty());
                         }});
    scenarios.push_back({"NoAddressesWithinTheTimeOutResumeTheCycle", [](const std::string& outFile) {
                             DiscoveryRun d({unaddressed(4660, 3, 2)}, 400ms);
                             d.expectCleanHandover();
                             ASSERT_EQ(d.b.dlg.found().size(), 1u);
                             EXPECT_TRUE(d.cycleRuns());
                             EXPECT_EQ(countOccurrences(readOutput(outFile), "neprisly do 400 ms"), 1u);
                         }});
    scenarios.push_back({"FoundNodesAreAddressedFiledAndRegistered", [](const std::string& outFile) {
                             SimNode never = unaddressed(0x2222, 3, 1);
                             never.wrongCheckAddress = true;
                             DiscoveryRun d({unaddressed(0x1234, 3, 1), never});
                             d.expectCleanHandover();
                             ASSERT_EQ(d.b.dlg.found().size(), 1u);
                             ASSERT_EQ(d.b.dlg.found()[0].size(), 2u);

                             nodeMap newNodes;  // as the server link builds it
                             Node good = makeNode(0x0102, d.foundType, 1, 0x1234);
                             Node bad = makeNode(0x0103, d.foundType, 1, 0x2222);
                             newNodes.insert({good.getAddress(), good});
                             newNodes.insert({bad.getAddress(), bad});
                             const std::size_t before = d.b.sim->frames().size();
                             d.b.planner->addressNewNodes(newNodes);
                             const Frames all = d.b.sim->frames();
                             const Frames f(all.begin() + static_cast<long>(before), all.end());
                             // Only addressing frames until the cycle resumes.
                             EXPECT_EQ(countTo(f, 0x02, 0x0102), 1u);
                             EXPECT_EQ(countTo(f, 0x02, 0x0103), 19u);
                             EXPECT_EQ(countTo(f, 0x05, 0x0102), 5u);
                             EXPECT_EQ(countTo(f, 0x05, 0x0103), 0u);
                             for (const SimFrame& x : f) {
                                 if (x.code == 0x02) {
                                     EXPECT_EQ(x.bytes, FrameCodec::addressAssign(x.random, x.address, GATEWAY));
                                 }
                                 if (x.code == 0x05) {
                                     EXPECT_EQ(x.bytes, FrameCodec::addressConfirm(0x1234, 0x0102, GATEWAY));
                                 }
                             }
                             const auto registered = d.b.dlg.registered();
                             ASSERT_EQ(registered.size(), 1u);
                             EXPECT_EQ(registered[0].getAddress(), 0x0102);
                             EXPECT_TRUE(d.b.sim->node(3).addressed);
                             EXPECT_EQ(d.b.sim->node(3).address, 0x0102);
                             EXPECT_EQ(d.b.sim->node(3).confirmations, 5u);
                             EXPECT_FALSE(d.b.sim->node(4).addressed);

                             const std::string text = readOutput(outFile);
                             const bool goodFirst = countOccurrences(text, "Adresace nodu 1 258 random 4660 prijado 10 parsovano: 1\n") == 1;
                             EXPECT_TRUE(goodFirst) << "one attempt for the node that confirms";
                             for (int a = 1; a <= 19; ++a) {
                                 EXPECT_EQ(countOccurrences(text, "Adresace nodu " + std::to_string(a) +
                                                                      " 259 random 8738 prijado 10 parsovano: 0\n"),
                                           1u)
                                     << "attempt " << a;
                             }
                             EXPECT_EQ(countOccurrences(text, "Adresace nodu 20 "), 0u);
                             // Filed in its table: the cycle now reads it.
                             EXPECT_TRUE(d.b.waitRequests(0x0102, 2, 10s));
                             EXPECT_EQ(countTo(d.b.sim->frames(), 0x0A, 0x0103), 0u);
                             EXPECT_EQ(d.b.sim->pinLowFrames(), 0u);
                         }});
    runSideBySide(scenarios, 100s);
}

}  // namespace
