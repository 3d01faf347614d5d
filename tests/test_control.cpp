// The control socket: what `pelko ctl` is answered, and that no client, slow,
// silent, hostile or one too many, can hold up the gateway. The gateway's
// side is the real GatewayView, fed through the hooks the bus master and the
// server link call, and the real NodeHealth counters.
#include <gtest/gtest.h>
#include <json/json.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Builders.h"
#include "ControlClient.h"
#include "ControlServer.h"
#include "GatewayView.h"
#include "NodeHealth.h"
#include "StatusText.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;

// One connection to the control socket.
class Peer {
public:
    explicit Peer(const std::string& path) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~Peer() { ::close(fd); }
    void send(const std::string& bytes) const { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Everything until the gateway closes, or what came within `limit`.
    std::string readAll(std::chrono::milliseconds limit = 5000ms, bool* closed = nullptr) const {
        std::string text;
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                if (closed != nullptr) *closed = true;
                break;
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }
    int fd = -1;
    bool connected = false;
};

class ControlSocket : public ::testing::Test {
protected:
    void SetUp() override {
        view.watchHealth(&health);
        server = std::make_unique<ControlServer>(view, path);
        server->setDeadlines(300ms, 2000ms);
        ASSERT_TRUE(server->start());
    }
    // A read node of one 12-bit value (a value request and its reply on the wire).
    void fileReadNode(unsigned short address, unsigned int value) {
        Node node = makeNode(address, makeType(1, DeviceType::R, DeviceType::NOW, 1, 12), 1);
        node.getData()[0][0] = value;
        view.nodeFiled(node);
    }
    TempDir dir;
    const std::string path = dir.file("control");
    NodeHealth health;
    GatewayView view;
    std::unique_ptr<ControlServer> server;
};

// Node 0x0102 (258) asked by gateway 7, and a wrong checksum.
const unsigned char REQUEST_258[] = {0x23, 0x04, 0x0A, 0x01, 0x02, 0x07, 0x0C, 0x24};
const unsigned char REQUEST_17[] = {0x23, 0x04, 0x0A, 0x00, 0x11, 0x07, 0x00, 0x24};

TEST_F(ControlSocket, StatusAndNodesShowTheCountersTheBusMasterKeeps) {
    fileReadNode(17, 0xABC);
    fileReadNode(18, 5);
    const auto now = NodeHealth::Clock::now();
    health.record(17, NodeHealth::Reply::valid, 2100us, now);
    health.record(18, NodeHealth::Reply::valid, 2000us, now);
    health.record(18, NodeHealth::Reply::missing, 0us, now);
    health.countPass();
    view.serverUp();
    view.busStarted(true);

    std::ostringstream status;
    EXPECT_EQ(ControlClient::run(path, "status", status), 0);
    EXPECT_NE(status.str().find("server: connected since"), std::string::npos) << status.str();
    EXPECT_NE(status.str().find("nodes: 2 filed, 1 answering, 1 failing"), std::string::npos) << status.str();

    std::ostringstream lines;
    EXPECT_EQ(ControlClient::run(path, "nodes", lines), 0);
    EXPECT_TRUE(std::regex_search(lines.str(), std::regex("node 18: type 1 R, failing since \\d\\d:\\d\\d:\\d\\d, "
                                                          "values \\[\\[5\\]\\], 2 requests, 1 valid, 1 missing")))
        << lines.str();

    std::ostringstream json;
    EXPECT_EQ(ControlClient::run(path, "nodes --json", json), 0);
    Json::Value nodes;
    std::istringstream in(json.str());
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &nodes, nullptr)) << json.str();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0]["address"].asUInt(), 17u);
    EXPECT_EQ(nodes[0]["state"].asString(), "answering");
    EXPECT_EQ(nodes[0]["values"][0]["data"][0].asUInt(), 0xABCu);
    EXPECT_EQ(nodes[1]["requests"].asUInt(), 2u);
    EXPECT_EQ(nodes[1]["missing"].asUInt(), 1u);
    EXPECT_EQ(nodes[1]["invalid"].asUInt(), 0u);
    EXPECT_EQ(nodes[1]["valid"].asUInt(), 1u);
    EXPECT_EQ(nodes[1]["type"].asUInt(), 1u);
}

TEST_F(ControlSocket, BadClientsGetOneErrorLineAndAreClosed) {
    struct Case {
        const char* what;
        std::string sent;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"junk", "rm -rf /\n", "error: unknown command"},
        {"binary", std::string("\0\xff\x01status\n", 10), "error: unknown command"},
        {"too much", std::string(5000, 'x'), "error: command longer than 256 bytes"},
        {"nothing", "", "error: no command within 300 ms"},
        {"bad trace argument", "trace --node 70000\n", "error: trace takes"},
        {"status with a tail", "status now\n", "error: unknown command"},
    };
    for (const Case& c : cases) {
        Peer peer(path);
        ASSERT_TRUE(peer.connected);
        peer.send(c.sent);
        bool closed = false;
        const std::string answer = peer.readAll(3000ms, &closed);
        EXPECT_EQ(answer.rfind(c.error, 0), 0u) << c.what << ": " << answer;
        EXPECT_EQ(std::count(answer.begin(), answer.end(), '\n'), 1) << c.what;
        EXPECT_TRUE(closed) << c.what;
    }
    std::ostringstream out;
    EXPECT_EQ(ControlClient::run(path, "status", out), 0) << "served after them";
}

TEST_F(ControlSocket, OneClientTooManyIsTurnedAwayAndTheSilentOnesTimeOut) {
    std::vector<std::unique_ptr<Peer>> silent;
    for (std::size_t i = 0; i < ControlServer::MAX_CLIENTS; ++i) silent.push_back(std::make_unique<Peer>(path));
    std::this_thread::sleep_for(50ms);  // accepted before the next one comes
    Peer extra(path);
    EXPECT_EQ(extra.readAll(2000ms).rfind("error: busy, at most 8 clients", 0), 0u);
    // The silent ones are closed at their deadline and the socket serves again.
    for (const auto& peer : silent) EXPECT_EQ(peer->readAll(2000ms).rfind("error: no command", 0), 0u);
    std::ostringstream out;
    EXPECT_EQ(ControlClient::run(path, "nodes", out), 0);
    EXPECT_EQ(out.str(), "no nodes\n");
}

TEST_F(ControlSocket, ATraceShowsDecodedFramesOfItsNodesAndServerMessages) {
    fileReadNode(258, 0);
    Peer peer(path);
    peer.send("trace --node 258 --node 17 --server --seconds 1\n");
    std::this_thread::sleep_for(100ms);  // subscribed
    const unsigned char reply258[] = {0x23, 0x06, 0x0B, 0x01, 0x02, 0x07, 0xBC, 0x0A, 0xFE, 0x24};
    const unsigned char request18[] = {0x23, 0x04, 0x0A, 0x00, 0x12, 0x07, 0x00, 0x24};
    view.busSent(REQUEST_258, sizeof REQUEST_258);
    view.busSent(REQUEST_17, sizeof REQUEST_17);
    view.busReply(258, reply258, sizeof reply258, 2100us);
    view.busSent(request18, sizeof request18);
    view.busReply(17, reply258, 0, 4000us);
    view.serverOut("{\"address\":17,\"data\":[],\"message_type\":5}\n");
    const std::string trace = peer.readAll();
    EXPECT_EQ(trace.rfind("trace of nodes 17 258 and the server messages for 1 s\n", 0), 0u) << trace;
    EXPECT_NE(trace.find("gw -> bus VALUE_REQUEST (0x0A) node 258, crc ok | 23 04 0A 01 02 07 0C 24"), std::string::npos)
        << trace;
    EXPECT_NE(trace.find("gw -> bus VALUE_REQUEST (0x0A) node 17, crc BAD | 23 04 0A 00 11 07 00 24"), std::string::npos)
        << trace;
    EXPECT_NE(trace.find("bus -> gw VALUE_REPLY (0x0B) node 258 values [[2748]], crc ok, reply 2.1 ms | "
                         "23 06 0B 01 02 07 BC 0A FE 24"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find("bus -> gw node 17: no reply, reply 4.0 ms"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("node 18"), std::string::npos) << trace;
    EXPECT_NE(trace.find("gw -> srv DATA_GET (5) {\"address\":17"), std::string::npos) << trace;
    EXPECT_NE(trace.find("end of trace\n"), std::string::npos) << trace;
}

TEST_F(ControlSocket, SlowTraceReaderLosesLinesCountedInTheTrace) {
    Peer peer(path);
    peer.send("trace --seconds 2\n");
    std::this_thread::sleep_for(100ms);
    // Far more than the buffer and the socket hold, while nobody reads.
    const int frames = 50000;
    for (int i = 0; i < frames; ++i) view.busSent(REQUEST_17, sizeof REQUEST_17);
    const std::string trace = peer.readAll(10000ms);
    long shown = 0, dropped = 0;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (line.find("VALUE_REQUEST") != std::string::npos) ++shown;
        if (std::regex_search(line, m, std::regex("^… (\\d+) trace lines dropped: the reader was too slow$"))) {
            dropped += std::stol(m[1]);
        }
    }
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(shown + dropped, frames) << "every frame is either shown or counted";
    EXPECT_NE(trace.find("end of trace"), std::string::npos);
}

TEST_F(ControlSocket, AStalledTraceReaderIsClosedAndItsSlotFreed) {
    std::vector<std::unique_ptr<Peer>> readers;
    for (std::size_t i = 0; i < GatewayView::MAX_TRACES; ++i) {
        readers.push_back(std::make_unique<Peer>(path));
        readers.back()->send("trace\n");
    }
    std::this_thread::sleep_for(100ms);
    Peer extra(path);
    extra.send("trace\n");
    EXPECT_EQ(extra.readAll(2000ms).rfind("error: busy, at most 4 traces", 0), 0u);
    // Fill their sockets; none reads: each is closed at the stall deadline.
    const std::vector<unsigned char> big(128, 0x23);
    const auto until = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < until) {
        for (int i = 0; i < 1000; ++i) view.busReply(17, big.data(), static_cast<int>(big.size()), 1000us);
        std::this_thread::sleep_for(10ms);
    }
    readers.clear();
    std::ostringstream out;
    EXPECT_EQ(ControlClient::run(path, "trace --seconds 1", out), 0);
    EXPECT_EQ(out.str().rfind("trace of every node for 1 s", 0), 0u) << out.str();
}

TEST_F(ControlSocket, SocketIsForOwnerAndGroupAndAnotherGatewayKeepsItsOwn) {
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    // Same path, second gateway: it runs without a socket, the first keeps serving.
    ControlServer second(view, path);
    EXPECT_FALSE(second.start());
    std::ostringstream out;
    EXPECT_EQ(ControlClient::run(path, "status", out), 0);
    // A socket left behind by a gateway that ended is taken over.
    server.reset();
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(stale);
    ControlServer third(view, path);
    EXPECT_TRUE(third.start());
    EXPECT_EQ(ControlClient::run(dir.file("none"), "status", out), 1);
}

}  // namespace

namespace {

// The service manager's status line (StatusText feeds STATUS=).
TEST_F(ControlSocket, StatusLineSaysALostSerialDeviceAndAServerNotKeepingUpFirst) {
    fileReadNode(17, 0);
    health.record(17, NodeHealth::Reply::valid, 1000us, NodeHealth::Clock::now());
    view.busStarted(true);
    EXPECT_TRUE(std::regex_match(StatusText::summary(view.snapshot()),
                                 std::regex("1 node, 1 answering, \\d+ passes/s, no server link")));
    view.serverUp();
    view.lineLost(true);
    view.watchSendQueue([] { return GatewayView::SendQueue{200 * 1024, 7}; });
    EXPECT_TRUE(std::regex_match(StatusText::summary(view.snapshot()),
                                 std::regex("serial device lost, server not keeping up \\(send queue 200 KiB\\), "
                                            "1 node, 1 answering, \\d+ passes/s, server link up 0 s")));
}

}  // namespace
