// The server connection's byte stream: messages framed by one zero byte.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "ForkedCall.h"
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

// Servers that end their messages with a line feed, CR LF or nothing: a JSON
// object or array is a message as soon as it closes, and a zero byte still
// ends whatever precedes it. Each stream goes out in one write.
TEST_F(Stream, MessagesEndWhereTheirValueClosesWithoutZeroBytes) {
    const struct { const char* what; std::string stream; std::vector<std::string> messages; } cases[] = {
        {"line feed, CR LF, nothing", "{\"a\":1}\n[2]\r\n{\"c\":3}", {"{\"a\":1}", "[2]", "{\"c\":3}"}},
        {"pretty-printed", "{\n  \"a\": [\n    1,\n    2\n  ],\n  \"b\": {}\n}\n", {"{\n  \"a\": [\n    1,\n    2\n  ],\n  \"b\": {}\n}"}},
        {"brackets in strings and comments", "{\"a\":\"}]\\\"{\",/* } */\"b\":1}[\"\\\\\"]",
         {"{\"a\":\"}]\\\"{\",/* } */\"b\":1}", "[\"\\\\\"]"}},
        {"comments after a value are dropped", "[0] /* {hi} */\n// {hi}\n{\"a\":1}\n", {"[0]", "{\"a\":1}"}},
        {"a comment before the first value is its own", "/* {hi} */ {\"a\":1}", {"/* {hi} */ {\"a\":1}"}},
        {"a // comment ends at the line end", "{\"a\":1, // }\n\"b\":2}\n", {"{\"a\":1, // }\n\"b\":2}"}},
        {"zero byte after the line feed ends nothing more", z("{\"a\":1}\n") + z("{\"b\":2}\r\n") + z(""),
         {"{\"a\":1}", "{\"b\":2}", ""}},
        {"a zero byte ends an unfinished value", z("{\"a\":[1,") + "[3]", {"{\"a\":[1,", "[3]"}},
        {"a bracket closing what it did not open ends the value", "{\"a\":[1}\n{\"b\":2}", {"{\"a\":[1}", "{\"b\":2}"}},
        {"text that starts no value ends at its zero byte or line feed", z("nonsense") + "hello {\n[1]", {"nonsense", "hello {", "[1]"}},
        {"text after a value up to the zero byte is the message's own", z("{\"a\":1} and more\n") + "[5]", {"{\"a\":1}", "[5]"}},
        {"text after a value up to the next one is skipped with a line", "{\"a\":1}  not json,  {\"b\":2}", {"{\"a\":1}", "{\"b\":2}"}},
        {"a value after text on its line ends with the line", "{\"a\":1}\nx /* { */\n{\"b\":2}\n", {"{\"a\":1}", "{\"b\":2}"}},
    };
    for (const auto& c : cases) {
        // Each on a connection of its own; a receive that waits for more than
        // the stream holds fails instead of hanging.
        close(client.descriptor());
        ASSERT_TRUE(client.init() == 1 && server.accept());
        timeval limit{2, 0};
        ASSERT_EQ(setsockopt(client.descriptor(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
        server.sendRaw(c.stream);
        for (const std::string& m : c.messages) EXPECT_EQ(receive(), m) << c.what;
    }
    EXPECT_EQ(err.text(), "Text mezi zprávami přeskočen (9 bajtů): not json,\n"
                          "Text mezi zprávami přeskočen (9 bajtů): x /* { */\n");
}

// Messages that end with nothing at all, after a stray character and after
// a comment that never ends: each holds them only up to the bound. Lost are
// those in the first MiB and at most one receive (64 KiB) more, each time.
TEST_F(Stream, AStrayCharacterBeforeUnterminatedMessagesCostsAtMostTheBound) {
    const std::string ping = "{\"message_type\":16}";
    const std::size_t flood = 1200 * 1024 / ping.size(), kept = 2 * (flood - TCPSocket::MAX_MESSAGE / ping.size()) + 1;
    timeval limit{10, 0};  // a receive that waits for what never comes fails
    ASSERT_EQ(setsockopt(client.descriptor(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
    std::string many;
    for (std::size_t i = 0; i < flood; ++i) many += ping;
    std::thread feeder([&] { server.sendRaw("5" + many + ping + "/*" + many + "[0]"); });
    std::size_t pings = 0;
    while (receive() == ping) ++pings;
    feeder.join();
    EXPECT_TRUE(pings <= kept && pings + 2 * (64 * 1024 / ping.size() + 2) >= kept) << pings << " of " << kept;
}

TEST_F(Stream, APrettyPrintedMessageInPiecesComesOutWholeOnceItCloses) {
    auto result = std::async(std::launch::async, [this] {
        const std::string first = receive();
        return first + "|" + receive();
    });
    for (const char* piece : {"{\n  \"message_type\": 6,\n", "  \"data\": [{\"channel\": 0}", "]\n"}) {
        server.sendRaw(piece);
        EXPECT_EQ(result.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout) << "handed out a part";
    }
    server.sendRaw("}\n{\"message_type\":16}\n");
    EXPECT_EQ(result.get(), "{\n  \"message_type\": 6,\n  \"data\": [{\"channel\": 0}]\n}|{\"message_type\":16}");
}

// A name with both an IPv6 and an IPv4 address, the IPv6 one first as the
// resolver orders loopback addresses: the IPv4 address is tried first, the
// IPv6 one only once every IPv4 address failed. Seam: the name comes from a
// hosts file bound over /etc/hosts in a mount namespace of a forked child,
// the one way to give a name two addresses without touching the machine.
TEST(Connect, IPv4AddressesAreTriedBeforeIPv6Ones) {
    TempDir dir;
    dir.write("hosts", "::1 pelko-dual\n127.0.0.1 pelko-dual\n");
    for (const bool ipv4Listens : {true, false}) {
        LoopbackServer ipv4(ipv4Listens);
        const int ipv6 = socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        address.sin6_port = htons(static_cast<uint16_t>(ipv4.port()));
        if (ipv6 < 0 || bind(ipv6, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(ipv6, 4) != 0) {
            close(ipv6);
            GTEST_SKIP() << "no IPv6 loopback listener on port " << ipv4.port();
        }
        const ForkedResult r = runForked([&] {
            addrinfo hints{};
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(dir.file("hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
                getaddrinfo("pelko-dual", nullptr, &hints, &found) != 0 || found->ai_family != AF_INET6) {
                _exit(77);  // no such name here: nothing to show
            }
            TCPSocket client("pelko-dual", ipv4.port());
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            if (client.init() != 1 || getpeername(client.descriptor(), reinterpret_cast<sockaddr*>(&peer), &length) != 0) _exit(1);
            _exit(peer.ss_family == AF_INET ? 4 : 6);
        });
        close(ipv6);
        if (r.status == 77) GTEST_SKIP() << "cannot give a name an IPv6 address before its IPv4 one here (needs root)";
        EXPECT_EQ(r.status, ipv4Listens ? 4 : 6) << r.err;
    }
}
