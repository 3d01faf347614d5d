// The server connection's byte stream: messages framed by one zero byte.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "LoopbackServer.h"
#include "RecordingStream.h"
#include "TCPSocket.h"

namespace {

std::string z(const std::string& text) { return text + std::string(1, '\0'); }

class Stream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(client.init(), 1);
        ASSERT_TRUE(server.accept());
    }
    // The next message, or "<none>" when receiveData failed.
    std::string receive() {
        std::string text;
        return client.receiveData(text) ? text : "<none>";
    }

    LoopbackServer server;
    TCPSocket client{"localhost", server.port()};  // a name, maybe first resolved to ::1
    RecordingStream err{2};
};

}  // namespace

TEST_F(Stream, MessagesAreCutAtZeroBytesHoweverTheyArrive) {
    ASSERT_TRUE(client.sendData("abc"));
    ASSERT_TRUE(client.sendData(""));
    EXPECT_EQ(server.receiveRaw(20000), z("abc") + z(""));

    server.sendRaw(z("{\"a\":1}") + z("") + z("x"));
    EXPECT_EQ(receive(), "{\"a\":1}");
    EXPECT_EQ(receive(), "");
    EXPECT_EQ(receive(), "x");
    auto result = std::async(std::launch::async, [this] { return receive(); });
    for (const char* piece : {"{\"message_", "type\":"}) {
        server.sendRaw(piece);
        EXPECT_EQ(result.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout) << "handed out a part";
    }
    server.sendRaw(z("17}") + "{\"next");
    EXPECT_EQ(result.get(), "{\"message_type\":17}");
    server.sendRaw(z("\":1}"));
    EXPECT_EQ(receive(), "{\"next\":1}") << "the start of the next message was lost";
    EXPECT_EQ(err.text(), "");
}

TEST_F(Stream, MessagesLongerThanTheBoundAreSkippedWithOneLineEach) {
    const std::size_t max = TCPSocket::MAX_MESSAGE;
    std::thread feeder([&] {
        server.sendRaw(z(std::string(max + 1, 'o')) + z("next") + z(std::string(max, 'k')) + z(std::string(max + 10, 'p')));
        server.sendRaw(z("last"));
    });
    EXPECT_EQ(receive(), "next");
    EXPECT_EQ(receive().size(), max) << "a message of exactly the bound is kept";
    EXPECT_EQ(receive(), "last");
    feeder.join();
    const std::string line = "Zpráva delší než 1048576 bajtů zahozena\n";
    EXPECT_EQ(err.text(), line + line);
}

TEST_F(Stream, PeerCloseDeliversWhatCameBeforeThenFailsForGood) {
    server.sendRaw(z("bye") + "{\"unfinished");
    server.closeClient();
    EXPECT_EQ(receive(), "bye");
    EXPECT_FALSE(client.closedByPeer());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(receive(), "<none>");
        EXPECT_TRUE(client.closedByPeer());
    }
    const std::string lost = "Spojení ukončeno uprostřed zprávy, 12 bajtů zahozeno\n";
    EXPECT_EQ(err.text(), lost);
    // Sending fails too, without a SIGPIPE that would end this process.
    bool failed = false;
    for (int i = 0; i < 200 && !failed; ++i) {
        failed = !client.sendData("ping");
        if (!failed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(err.since(lost.size()), "Problém s odesláním dat\n");
}

TEST(Connect, FailuresSayWhyInOneLine) {
    LoopbackServer refusing(false);
    const struct { const char* host; int port; const char* line; } cases[] = {
        {"127.0.0.1", refusing.port(), "Nelze navázat spojení\n"},
        {"nosuchhost.invalid", 5000, "Špatná adresa\n"},
        {nullptr, 5000, "Špatná adresa\n"},
    };
    for (const auto& c : cases) {
        RecordingStream err(2);
        EXPECT_EQ(TCPSocket(c.host, c.port).init(), -1);
        EXPECT_EQ(err.text(), c.line) << (c.host ? c.host : "no host");
    }
}
