// Stopping the real gateway while its bus runs, as the service manager does
// with SIGTERM: the line driver is left off and the status is 0, well within
// the service manager's 5 s. (Every bench scenario also ends with SIGTERM.)
#include <gtest/gtest.h>
#include <signal.h>

#include "ChildProcess.h"
#include "FakeSysfs.h"
#include "LoopbackServer.h"
#include "PtyPair.h"

TEST(Stop, SigtermWhileTheBusRunsLeavesThePinLowAndEndsWithStatusZero) {
    FakeSysfs sysfs;
    sysfs.addPin("7");
    PtyPair line;
    LoopbackServer server;
    TempDir work;
    work.write("pelko.conf", "[settings]\nip=127.0.0.1\nport=" + std::to_string(server.port()) + "\nuart=" +
                                 line.slavePath() + "\ngpio=7\ngpio_root=" + sysfs.root() + "\n");
    ChildProcess gateway(PELKO_BINARY, {}, work.path());
    ASSERT_TRUE(server.accept()) << gateway.err();
    // One read node: the bus cycle keeps switching the pin while it polls it.
    for (const char* answer : {R"({"message_type":2,"address":3})",
                               R"({"message_type":13,"types":[{"type":5,"data_range":8,"data_count":1,"read_write":0,"latency":0}]})",
                               R"({"message_type":9,"nodes":[{"address":21,"type":5,"channel_count":1}]})"}) {
        std::string request;
        ASSERT_TRUE(server.receiveMessage(request));
        server.sendMessage(answer);
    }
    ASSERT_FALSE(line.readMaster(20000).empty()) << "the bus never ran: " << gateway.err();
    gateway.signal(SIGTERM);
    EXPECT_EQ(gateway.wait(4000), 0) << gateway.err();
    EXPECT_EQ(sysfs.read("gpio7/value").substr(0, 1), "0");
}
