#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "ChildProcess.h"
#include "FakeSysfs.h"
#include "LoopbackServer.h"
#include "RefusingPort.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;

const int START_TIMEOUT_MS = 20000;  // sanitizer builds start slowly on a loaded machine

// Names of everything below a directory, for "nothing was created" checks.
std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        names.insert(fs::relative(entry.path(), dir).string());
    }
    return names;
}

// The real gateway binary run in a fresh working directory, with its pin
// under a fake sysfs so that any bus access would leave files behind.
class StartUp : public ::testing::Test {
protected:
    void SetUp() override { sysfsBefore = listing(sysfs.root()); }

    std::string settings(const std::string& port, const std::string& section = "[settings]") const {
        return section + "\nip=127.0.0.1\nport=" + port + "\nuart=" + work.file("ttyBus") +
               "\ngpio=7\ngpio_root=" + sysfs.root() + "\n";
    }

    int run(std::string* out, std::string* err) const {
        return runProgram(PELKO_BINARY, {}, work.path(), out, err, START_TIMEOUT_MS);
    }

    // Starts the gateway against `server`, checks that it connected, then
    // drops the connection so that it ends.
    void expectConnects(LoopbackServer& server) {
        ChildProcess gateway(PELKO_BINARY, {}, work.path());
        EXPECT_TRUE(server.accept(START_TIMEOUT_MS)) << "stderr: " << gateway.err();
        server.closeClient();
        EXPECT_NE(gateway.wait(START_TIMEOUT_MS), -1) << "the gateway kept running without its server";
        expectBusUntouched();
    }

    void expectBusUntouched() const {
        EXPECT_EQ(listing(sysfs.root()), sysfsBefore);
        EXPECT_EQ(sysfs.read("export"), "");
        EXPECT_FALSE(work.exists("ttyBus"));
    }

    TempDir work;
    FakeSysfs sysfs;
    std::set<std::string> sysfsBefore;
};

}  // namespace

TEST_F(StartUp, SectionAndKeysMatchWhateverTheirCase) {
    LoopbackServer server;
    work.write("pelko.conf", "[SETTINGS]\nIP=127.0.0.1\nPort=" + std::to_string(server.port()) + "\nUART=" +
                                 work.file("ttyBus") + "\nGpio=7\nGPIO_ROOT=" + sysfs.root() + "\n");
    expectConnects(server);
}

TEST_F(StartUp, PortTakesDigitsBeforeFirstNonDigit) {
    LoopbackServer server;
    work.write("pelko.conf", settings(std::to_string(server.port()) + "x"));
    expectConnects(server);
}

TEST_F(StartUp, UnreachableServerEndsWithStatusZeroAndOneLine) {
    RefusingPort refusing;
    work.write("pelko.conf", settings(std::to_string(refusing.port())));
    std::string out, err;
    EXPECT_EQ(run(&out, &err), 0);
    EXPECT_EQ(err, "Nelze navázat spojení\n");
    EXPECT_EQ(out, "");
    expectBusUntouched();
    EXPECT_EQ(listing(work.path()), std::set<std::string>{"pelko.conf"});
}

TEST_F(StartUp, PortWithoutDigitsIsZeroAndFailsToConnect) {
    work.write("pelko.conf", settings("abc"));
    std::string out, err;
    EXPECT_EQ(run(&out, &err), 0);
    EXPECT_EQ(err, "Nelze navázat spojení\n");
    EXPECT_EQ(out, "");
    expectBusUntouched();
}

TEST_F(StartUp, UnresolvableHostEndsWithStatusZero) {
    work.write("pelko.conf", "[settings]\nip=nosuchhost.invalid\nport=5000\nuart=" + work.file("ttyBus") +
                                 "\ngpio=7\ngpio_root=" + sysfs.root() + "\n");
    std::string out, err;
    EXPECT_EQ(run(&out, &err), 0);
    EXPECT_EQ(err, "Špatná adresa\n");
    EXPECT_EQ(out, "");
    expectBusUntouched();
}

TEST_F(StartUp, MissingFileIsReportedWithStatusOne) {
    std::string out, err;
    EXPECT_EQ(run(&out, &err), 1);
    EXPECT_EQ(err, "pelko.conf: cannot read the file in the working directory; missing keys in [settings]: "
                   "ip, port, uart, gpio\n");
    EXPECT_EQ(out, "");
}

TEST_F(StartUp, MissingKeysAreNamedBeforeAnyConnection) {
    LoopbackServer server;
    const std::string port = std::to_string(server.port());
    std::string out, err;

    work.write("pelko.conf", "[settings]\nip=127.0.0.1\nport=" + port + "\nuart=/dev/null\n");
    EXPECT_EQ(run(&out, &err), 1);
    EXPECT_EQ(err, "pelko.conf: missing keys in [settings]: gpio\n");
    EXPECT_EQ(out, "");

    work.write("pelko.conf", "[settings]\nport=" + port + "\ngpio=7\nip=127.0.0.1\n");
    EXPECT_EQ(run(&out, &err), 1);
    EXPECT_EQ(err, "pelko.conf: missing keys in [settings]: uart\n");

    // Keys outside their section do not count.
    work.write("pelko.conf", "[other]\nip=127.0.0.1\nport=" + port + "\nuart=/dev/null\ngpio=7\n");
    EXPECT_EQ(run(&out, &err), 1);
    EXPECT_EQ(err, "pelko.conf: missing keys in [settings]: ip, port, uart, gpio\n");

    EXPECT_FALSE(server.accept(100)) << "the gateway connected despite an incomplete configuration";
}

TEST_F(StartUp, FileBesideExecutableIsNotUsed) {
    LoopbackServer server;
    TempDir installed;
    const std::string binary = installed.file("pelko");
    fs::copy_file(PELKO_BINARY, binary);
    fs::permissions(binary, fs::perms::owner_all);
    installed.write("pelko.conf", settings(std::to_string(server.port())));

    std::string out, err;
    EXPECT_EQ(runProgram(binary, {}, work.path(), &out, &err, START_TIMEOUT_MS), 1);
    EXPECT_EQ(err, "pelko.conf: cannot read the file in the working directory; missing keys in [settings]: "
                   "ip, port, uart, gpio\n");
    EXPECT_FALSE(server.accept(100));
}
