// The gateway as a system service: what it tells the service manager
// (readiness, watchdog keep-alives, stopping), its journal priorities and
// its command line.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Console.h"
#include "Emulation.h"
#include "FakeSysfs.h"
#include "ForkedCall.h"
#include "LoopbackServer.h"
#include "PtyPair.h"
#include "ServiceNotifier.h"
#include "TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
const int WATCHDOG_MS = 100;

// The service manager's end of NOTIFY_SOCKET: a unix datagram socket in a
// temporary directory, named in the environment with a short watchdog.
class ManagerSocket {
public:
    ManagerSocket() {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, dir.file("notify").c_str(), sizeof(addr.sun_path) - 1);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            ADD_FAILURE() << "cannot bind " << addr.sun_path;
        }
        setenv("NOTIFY_SOCKET", dir.file("notify").c_str(), 1);
        setenv("WATCHDOG_USEC", std::to_string(WATCHDOG_MS * 1000).c_str(), 1);
    }
    ~ManagerSocket() {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        close(fd);
    }
    ManagerSocket(const ManagerSocket&) = delete;
    ManagerSocket& operator=(const ManagerSocket&) = delete;

    // The next message within timeoutMs; empty when none came.
    std::string next(int timeoutMs) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return "";
        char buf[512];
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
    }
    // The first message within timeoutMs that starts with `prefix`.
    std::string awaitStarting(const std::string& prefix, int timeoutMs) const {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            const std::string message = next(50);
            if (message.rfind(prefix, 0) == 0) return message;
        }
        return "";
    }
    // Waits up to timeoutMs for `message`, passing over keep-alives.
    bool await(const std::string& message, int timeoutMs) const {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            if (next(50) == message) return true;
        }
        return false;
    }
    // How many times `message` came within forMs.
    int count(const std::string& message, int forMs) const {
        int n = 0;
        const auto end = Clock::now() + std::chrono::milliseconds(forMs);
        while (Clock::now() < end) n += next(10) == message ? 1 : 0;
        return n;
    }

private:
    TempDir dir;
    int fd = -1;
};

// Keep-alives follow the bus side's progress counter: a counter that moves
// on its first `movingLooks` looks and then stands.
struct KeepAliveCase {
    const char* name;
    int movingLooks;
    bool aliveWithoutProgress;  // the bus failed to start, the server link lives
    bool keepsAlive;            // once settled
};

void PrintTo(const KeepAliveCase& c, std::ostream* os) { *os << c.name; }

class KeepAlive : public ::testing::TestWithParam<KeepAliveCase> {};

TEST_P(KeepAlive, FollowsTheBusProgress) {
    const KeepAliveCase c = GetParam();
    ManagerSocket manager;
    std::atomic<int> looks{0};
    {
        ServiceNotifier notifier(
            [&looks, &c]() -> std::uint64_t {
                const int n = ++looks;
                return static_cast<std::uint64_t>(n < c.movingLooks ? n : c.movingLooks);
            },
            [&c] { return c.aliveWithoutProgress; });
        notifier.ready();
        EXPECT_EQ(manager.next(1000), "READY=1");
        // Settle: a stalling bus has stopped moving well before the count.
        while (looks < c.movingLooks + 2 && looks < 10) manager.next(WATCHDOG_MS / 4);
        const int keepAlives = manager.count("WATCHDOG=1", 4 * WATCHDOG_MS);
        if (c.keepsAlive) {
            EXPECT_GE(keepAlives, 2);
        } else {
            EXPECT_EQ(keepAlives, 0);
        }
        notifier.stopping();
        EXPECT_TRUE(manager.await("STOPPING=1", 1000));
    }
    EXPECT_EQ(manager.next(2 * WATCHDOG_MS), "") << "a message after STOPPING=1";
}

INSTANTIATE_TEST_SUITE_P(
    Watchdog, KeepAlive,
    ::testing::Values(KeepAliveCase{"BusMoving", 1 << 30, false, true}, KeepAliveCase{"BusStalled", 3, false, false},
                      KeepAliveCase{"BusNeverStartedServerAlive", 0, true, true}),
    [](const ::testing::TestParamInfo<KeepAliveCase>& info) { return std::string(info.param.name); });

// The real gateway under a service manager, its bus one silent read node;
// its status line, and its control socket as pelko ctl sees it.
TEST(ServiceManager, GatewayIsReadyAfterHandshakeKeptAliveWhilePollingAndSaysStopping) {
    if (runningEmulated()) GTEST_SKIP() << "starts the gateway binary, which the emulator does not run as a child";
    ManagerSocket manager;
    TempDir work;
    FakeSysfs sysfs;
    PtyPair line;
    LoopbackServer server;
    sysfs.addPin("7");
    work.write("pelko.conf", "[settings]\nip=127.0.0.1\nport=" + std::to_string(server.port()) +
                                 "\nuart=" + line.slavePath() + "\ngpio=7\ngpio_root=" + sysfs.root() +
                                 "\ncontrol_socket=" + work.file("control") + "\n");
    ChildProcess gateway(PELKO_BINARY, {}, work.path());
    ASSERT_TRUE(server.accept(10000)) << gateway.err();

    const char* answers[] = {
        R"({"message_type":2,"address":3})",
        R"({"message_type":13,"types":[{"type":5,"data_range":8,"data_count":1,"read_write":0,"latency":0}]})",
        R"({"message_type":9,"nodes":[{"address":21,"type":5,"channel_count":1}]})"};
    for (const char* answer : answers) {
        std::string request;
        ASSERT_TRUE(server.receiveMessage(request, 10000));
        EXPECT_EQ(manager.next(0), "") << "the service manager was told something before the handshake ended";
        server.sendMessage(answer);
    }
    EXPECT_EQ(manager.next(10000), "READY=1") << gateway.err();
    EXPECT_TRUE(manager.await("WATCHDOG=1", 10000)) << gateway.err();
    EXPECT_TRUE(std::regex_match(manager.awaitStarting("STATUS=", 10000),
                                 std::regex("STATUS=1 node, 0 answering, \\d+ passes/s, server link up \\d+ s")));
    std::string out, err;
    EXPECT_EQ(runProgram(PELKO_BINARY, {"ctl", "nodes"}, work.path(), &out, &err), 0) << err;
    EXPECT_TRUE(std::regex_search(out, std::regex("^node 21: type 5 R, failing since [0-9:]+, values \\[\\[0\\]\\], "
                                                  "\\d+ requests, 0 valid, \\d+ missing, 0 invalid\n$")))
        << out;
    EXPECT_EQ(runProgram(PELKO_BINARY, {"ctl", "trace", "--node", "21", "--seconds", "1"}, work.path(), &out, &err), 0);
    EXPECT_TRUE(std::regex_search(out, std::regex("gw -> bus VALUE_REQUEST \\(0x0A\\) node 21, crc ok \\| "
                                                  "23 04 0A 00 15 03 [0-9A-F]{2} 24\n.* bus -> gw node 21: no reply")))
        << out;
    gateway.signal(SIGTERM);
    EXPECT_TRUE(manager.await("STOPPING=1", 5000));
    EXPECT_EQ(gateway.wait(10000), 0) << gateway.err();
}

// Lines to the journal carry their priority; elsewhere they stay as they are.
struct JournalCase {
    const char* name;
    int journalFd;  // the descriptor JOURNAL_STREAM names; -1: none
    const char* out;
    const char* err;
};

void PrintTo(const JournalCase& c, std::ostream* os) { *os << c.name; }

class Journal : public ::testing::TestWithParam<JournalCase> {};

TEST_P(Journal, PrefixesOnlyTheStreamItNames) {
    const JournalCase c = GetParam();
    const ForkedResult r = runForked([&c] {
        if (c.journalFd >= 0) {
            struct stat info {};
            fstat(c.journalFd, &info);
            const std::string stream = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
            setenv("JOURNAL_STREAM", stream.c_str(), 1);
        } else {
            unsetenv("JOURNAL_STREAM");
        }
        console::out("connected");
        console::out("node 21: no answer", console::Priority::warning);
        console::err("two\nlines");
        console::err("note", console::Priority::info);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Console, Journal,
    ::testing::Values(JournalCase{"Terminal", -1, "connected\nnode 21: no answer\n", "two\nlines\nnote\n"},
                      JournalCase{"StdoutIsJournal", 1, "<6>connected\n<4>node 21: no answer\n", "two\nlines\nnote\n"},
                      JournalCase{"StderrIsJournal", 2, "connected\nnode 21: no answer\n", "<3>two\n<3>lines\n<6>note\n"}),
    [](const ::testing::TestParamInfo<JournalCase>& info) { return std::string(info.param.name); });

// The command line, as a user meets it.
struct InvocationCase {
    std::vector<std::string> args;
    int status;
    std::string out;  // searched for in standard output, as a regular expression
    std::string err;
};

TEST(CommandLine, AnswersEachInvocation) {
    if (runningEmulated()) GTEST_SKIP() << "starts the gateway binary, which the emulator does not run as a child";
    TempDir work;
    work.write("bus2.conf", "[settings]\nip=127.0.0.1\nport=1\nuart=/dev/null\n");
    work.write("sysfs.conf", "[settings]\nip=127.0.0.1\nport=1\nuart=/dev/null\ngpio=7\n");
    work.write("chip.conf", "[settings]\nip=127.0.0.1\nport=1\nuart=/dev/null\ndirection=gpiochip\ngpio=no-such-line\n");
    const InvocationCase cases[] = {
        {{"--help"}, 0, "^usage: pelko [\\s\\S]*\n  fold_repeats [\\s\\S]*SIGUSR1", "^$"},
        {{"-h"}, 0, "-c, --config FILE", "^$"},
        {{"--version"}, 0, "^pelko [0-9]+\\.[0-9]+\\.[0-9]+\n$", "^$"},
        {{"--frobnicate"}, 2, "^$", "^pelko: unknown option '--frobnicate'\nusage: pelko "},
        {{"--config"}, 2, "^$", "^pelko: option '--config' needs a file name\nusage: pelko "},
        {{"-c", work.file("bus2.conf")}, 1, "^$", "^" + work.file("bus2.conf") + ": missing keys in \\[settings\\]: gpio\n$"},
        {{"--config=" + work.file("none.conf")}, 1, "^$", "^" + work.file("none.conf") + ": cannot read the file; "},
        {{}, 1, "^$", "^pelko.conf: cannot read the file in the working directory; missing keys in \\[settings\\]: ip, port"},
        // The lookup the service's root helper asks for: the gateway's own
        // line when no chip holds the line (no machine here has that name).
        {{"--help"}, 0, "\n  --print-gpio-chip ", "^$"},
        {{"--print-gpio-chip", "-c", work.file("chip.conf")}, 1, "^$",
         "^no GPIO line named \"no-such-line\" on any chip among /dev/gpiochip\\*"},
        {{"-c", work.file("sysfs.conf"), "--print-gpio-chip"}, 1, "^$",
         "^" + work.file("sysfs.conf") + ": direction is not gpiochip in \\[settings\\]: no GPIO chip to print\n$"},
        {{"ctl"}, 2, "^$", "^pelko ctl: which command\\? status, nodes or trace\nusage: pelko [\\s\\S]*pelko ctl "},
        {{"ctl", "trace", "--node", "x"}, 2, "^$", "^pelko ctl: trace takes --node N \\(0 to 65535\\)"},
        {{"ctl", "-c", work.file("bus2.conf"), "status"}, 1, "^$", "bus2.conf sets no control_socket; name the socket"},
        {{"ctl", "--socket", work.file("none"), "status"}, 1, "^$", "cannot connect to .*none: No such file"},
    };
    for (const InvocationCase& c : cases) {
        std::string out;
        std::string err;
        const int status = runProgram(PELKO_BINARY, c.args, work.path(), &out, &err);
        const std::string shown = c.args.empty() ? "(no arguments)" : c.args[0];
        EXPECT_EQ(status, c.status) << shown << ": " << err;
        EXPECT_TRUE(std::regex_search(out, std::regex(c.out))) << shown << " printed: " << out;
        EXPECT_TRUE(std::regex_search(err, std::regex(c.err))) << shown << " printed on stderr: " << err;
    }
}

}  // namespace
