// Stopping the real gateway: the service manager sends SIGTERM (or a bench
// user presses Ctrl-C); the gateway must leave the line driver off and end
// with status 0 promptly, whatever it was doing.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "ChildProcess.h"
#include "FakeSysfs.h"
#include "LoopbackServer.h"
#include "PtyPair.h"
#include "TempDir.h"

namespace {

const std::string kPin = "7";

class GatewayUnderTest : public ::testing::Test {
protected:
    void SetUp() override {
        sysfs.addPin(kPin);
        work.write("pelko.conf", "[settings]\nip=127.0.0.1\nport=" + std::to_string(server.port()) +
                                     "\nuart=" + line.slavePath() + "\ngpio=" + kPin +
                                     "\ngpio_root=" + sysfs.root() + "\n");
        gateway = std::make_unique<ChildProcess>(PELKO_BINARY, std::vector<std::string>{}, work.path());
        ASSERT_TRUE(server.accept(10000)) << gateway->err();
    }

    // Answers the three start-up requests; the node list holds one read node,
    // so the bus cycle keeps switching the pin while it polls it.
    void completeHandshake() {
        std::string request;
        ASSERT_TRUE(server.receiveMessage(request, 10000));
        EXPECT_EQ(request, "{\"message_type\":1}\n");
        server.sendMessage(R"({"message_type":2,"address":3})");
        ASSERT_TRUE(server.receiveMessage(request, 10000));
        server.sendMessage(
            R"({"message_type":13,"types":[{"type":5,"data_range":8,"data_count":1,"read_write":0,"latency":0}]})");
        ASSERT_TRUE(server.receiveMessage(request, 10000));
        server.sendMessage(R"({"message_type":9,"nodes":[{"address":21,"type":5,"channel_count":1}]})");
    }

    // Waits until the bus cycle has driven the pin at least once.
    bool busIsRunning() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (!line.readMaster(50).empty()) return true;
        }
        return false;
    }

    int stopAndMeasure(int sig, long* elapsedMs) {
        auto begin = std::chrono::steady_clock::now();
        gateway->signal(sig);
        int status = gateway->wait(10000);
        *elapsedMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - begin)
                                           .count());
        return status;
    }

    TempDir work;
    FakeSysfs sysfs;
    PtyPair line;
    LoopbackServer server;
    std::unique_ptr<ChildProcess> gateway;
};

TEST_F(GatewayUnderTest, SigtermWhileBusRunsLeavesPinLowAndExitsZero) {
    completeHandshake();
    ASSERT_TRUE(busIsRunning()) << gateway->out() << gateway->err();
    long elapsed = 0;
    EXPECT_EQ(stopAndMeasure(SIGTERM, &elapsed), 0) << gateway->err();
    // Generous against loaded or sanitised runs; the bound that matters is the
    // service manager's stop time-out of 5 s.
    EXPECT_LT(elapsed, 2000);
    EXPECT_EQ(sysfs.read("gpio" + kPin + "/value").substr(0, 1), "0");
}

TEST_F(GatewayUnderTest, CtrlCDuringHandshakeExitsZeroWithoutTouchingTheBus) {
    std::string request;
    ASSERT_TRUE(server.receiveMessage(request, 10000));
    long elapsed = 0;
    EXPECT_EQ(stopAndMeasure(SIGINT, &elapsed), 0) << gateway->err();
    EXPECT_LT(elapsed, 2000);
    EXPECT_EQ(sysfs.read("export"), "");
    EXPECT_TRUE(line.readMaster(100).empty());
}

}  // namespace
