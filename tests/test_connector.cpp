// The server link against a scripted server on the loopback interface, with
// a recording stand-in for the bus master behind the Delegator.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Emulation.h"
#include "Connector.h"
#include "Errors.h"
#include "FakeSysfs.h"
#include "LoopbackServer.h"
#include "RecordingDelegator.h"
#include "RecordingStream.h"
#include "TCPSocket.h"
#include "TempDir.h"

namespace {

// Generous: the suite also runs under ThreadSanitizer on a loaded machine.
const int WAIT_MS = 20000;

const std::string PING = "{\"message_type\":16}";
const std::string PONG = "{\"message_type\":17}\n";

// Type 5: 2 values of 8 bits per channel, read and written, served every pass.
const std::string TYPE_5 = "{\"type\":5,\"data_range\":8,\"data_count\":2,\"read_write\":1,\"latency\":0}";
// Node 21 of type 5 with 2 channels; channel 1 given first.
const std::string NODE_21 =
    "{\"address\":21,\"type\":5,\"channel_count\":2,"
    "\"data\":[{\"channel\":1,\"data\":[7,8]},{\"channel\":0,\"data\":[1,2]}]}";

std::string typeList(const std::string& entries) {
    return "{\"message_type\":13,\"types\":[" + entries + "]}";
}
std::string nodeList(const std::string& entries) {
    return "{\"message_type\":9,\"nodes\":[" + entries + "]}";
}

std::vector<unsigned int> values(const Node& node) {
    return node.getTable() ? node.getTable()->snapshot() : std::vector<unsigned int>{};
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// A Connector running on its own thread against a LoopbackServer.
class ConnectorLink : public ::testing::Test {
protected:
    void TearDown() override { stop(); }

    void startGateway() {
        connector = std::make_unique<Connector>();
        connector->setDelegator(&bus);
        TCPSocket socket("127.0.0.1", server.port());
        ASSERT_EQ(socket.init(), 1);
        ASSERT_TRUE(server.accept(WAIT_MS));
        connector->setTCPSocket(socket);
        runner = std::thread([this] { done.set_value(connector->run()); });
    }

    // Ends the connection and waits for run() to return; its status.
    int stop() {
        if (!runner.joinable()) return status;
        // Recorded from here on only: a sanitizer's report from the test body
        // must reach the real stream even if the process dies.
        err = std::make_unique<RecordingStream>(2);
        server.closeClient();
        auto result = done.get_future();
        if (result.wait_for(std::chrono::milliseconds(WAIT_MS)) != std::future_status::ready) {
            ADD_FAILURE() << "run() did not return after the server closed the connection";
            std::abort();  // a detached run() would outlive the objects it uses
        }
        status = result.get();
        runner.join();
        connector.reset();  // joins the send thread
        return status;
    }

    // The next message from the gateway, without its zero byte.
    std::string next(int timeoutMs = WAIT_MS) {
        std::string text;
        if (!server.receiveMessage(text, timeoutMs)) return "<nothing>";
        return text;
    }

    // True when the gateway sends nothing for a while.
    bool quiet(int ms = 200) { return server.receiveRaw(ms).empty(); }

    // Plays the server's side of the handshake.
    void handshake(const std::string& addressAnswer, const std::string& typesAnswer, const std::string& nodesAnswer) {
        ASSERT_EQ(next(), "{\"message_type\":1}\n");
        server.sendMessage(addressAnswer);
        ASSERT_EQ(next(), "{\"message_type\":12}\n");
        server.sendMessage(typesAnswer);
        ASSERT_EQ(next(), "{\"message_type\":8}\n");
        server.sendMessage(nodesAnswer);
    }

    void standardHandshake() {
        startGateway();
        handshake("{\"message_type\":2,\"address\":3}", typeList(TYPE_5), nodeList(NODE_21));
        sync();
    }

    // A ping round trip: every message the server sent before it has been
    // handled to its end when the answer comes (the loop takes one at a time).
    void sync() {
        server.sendMessage(PING);
        ASSERT_EQ(next(), PONG) << "(answer to the sync ping)";
    }
    void send(const std::string& text) { server.sendMessage(text); }
    void sendAndSync(const std::string& text) {
        server.sendMessage(text);
        sync();
    }

    // The console lines written since `mark` characters of standard output.
    std::string linesSince(std::size_t mark) const { return out.text().substr(mark); }

    RecordingStream out{1};
    std::unique_ptr<RecordingStream> err;  // standard error, once stop() began
    LoopbackServer server;
    RecordingDelegator bus;
    std::unique_ptr<Connector> connector;
    std::thread runner;
    std::promise<int> done;
    int status = -1;
};

}  // namespace

// ---- Handshake --------------------------------------------------------------

TEST_F(ConnectorLink, HandshakeSendsRequestsInOrderEachOnlyAfterThePreviousAnswer) {
    startGateway();
    ASSERT_EQ(next(), "{\"message_type\":1}\n");
    EXPECT_TRUE(quiet()) << "type list requested before the address answer";
    send("{\"message_type\":2,\"address\":259}");  // 8 bits: 259 is 3
    ASSERT_EQ(next(), "{\"message_type\":12}\n");
    EXPECT_TRUE(quiet()) << "node list requested before the type list arrived";
    send(typeList(TYPE_5 + ",{\"type\":6,\"data_range\":16,\"data_count\":1,\"read_write\":0,\"latency\":1}"));
    ASSERT_EQ(next(), "{\"message_type\":8}\n");
    EXPECT_EQ(bus.count("startPlanners"), 0u) << "bus master started before the node list arrived";
    send(nodeList(NODE_21));
    sync();

    EXPECT_EQ(out.text(), "Zadost o adresu {\"message_type\":1}\n\n");
    EXPECT_EQ(bus.names(), (std::vector<std::string>{"setAddress", "addType", "addType", "addNode", "startPlanners"}));
    const auto calls = bus.calls();
    EXPECT_EQ(calls[0].number, 3u);
    EXPECT_EQ(calls[1].type.getType(), 5u);
    EXPECT_EQ(calls[2].type.getType(), 6u);
    EXPECT_EQ(calls[2].type.getDataRange(), 16);
    EXPECT_EQ(calls[2].type.getLatency(), 1);

    const Node& node = calls[3].node;
    EXPECT_EQ(node.getAddress(), 21);
    EXPECT_EQ(node.getChannelCount(), 2u);
    EXPECT_TRUE(node.isWired());
    EXPECT_EQ(node.getType().getDataRange(), 8);
    EXPECT_EQ(values(node), (std::vector<unsigned int>{1, 2, 7, 8}));
}

TEST_F(ConnectorLink, InvalidHandshakeAnswersSendErrorsSevenSevenFourAfterTheThirdRequest) {
    startGateway();
    handshake("nonsense", "{\"message_type\":13,", "");
    EXPECT_EQ(next(), "{\"error\":7,\"message_type\":7}\n");
    EXPECT_EQ(next(), "{\"error\":7,\"message_type\":7}\n");
    EXPECT_EQ(next(), "{\"error\":4,\"message_type\":7}\n");
    sync();

    EXPECT_EQ(bus.names(), std::vector<std::string>{"startPlanners"});
    const std::string console = out.text();
    EXPECT_NE(console.find("RESPONSE_SUB_ADDRESS (2) dropped: not valid JSON: nonsense\n"), std::string::npos);
    EXPECT_NE(console.find("RESPONSE_TYPE_LIST (13) dropped: not valid JSON"), std::string::npos);
    EXPECT_NE(console.find("RESPONSE_NODE_LIST (9) dropped: not valid JSON"), std::string::npos);
}

TEST_F(ConnectorLink, HandshakeAnswersWithoutTheirListsStillComplete) {
    startGateway();
    // Line endings and stray bytes are dropped before parsing; extra members ignored.
    handshake("{\"message_type\":2,\"address\":-253,\"extra\":true}\r\n", "{\"message_type\":13}\r\n",
              "{\"message_type\":9,\"other\":[1,2]}\n");
    sync();  // no error message came before the answer
    EXPECT_EQ(bus.names(), (std::vector<std::string>{"setAddress", "startPlanners"}));
    EXPECT_EQ(bus.calls()[0].number, 3u);  // -253 modulo 256
    EXPECT_EQ(out.text(), "Zadost o adresu {\"message_type\":1}\n\n");
}

TEST_F(ConnectorLink, AddressAnswerWithoutAddressSetsNone) {
    startGateway();
    handshake("{\"message_type\":2}", typeList(""), nodeList(""));
    sync();
    EXPECT_EQ(bus.names(), std::vector<std::string>{"startPlanners"});
    EXPECT_NE(out.text().find("RESPONSE_SUB_ADDRESS (2) dropped: \"address\" is missing\n"), std::string::npos);
}

TEST_F(ConnectorLink, DuplicateTypeCodeKeepsTheFirstAndPassesBothOn) {
    startGateway();
    handshake("{\"message_type\":2,\"address\":3}",
              typeList(TYPE_5 + ",{\"type\":5,\"data_range\":16,\"data_count\":1,\"read_write\":0,\"latency\":0}"),
              nodeList(NODE_21));
    sync();
    const auto types = bus.calls("addType");
    ASSERT_EQ(types.size(), 2u);
    EXPECT_EQ(types[0].type.getDataRange(), 8);
    EXPECT_EQ(types[1].type.getDataRange(), 16);
    const auto nodes = bus.calls("addNode");
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].node.getType().getDataRange(), 8);
    EXPECT_EQ(nodes[0].node.getType().getDataCount(), 2);
}

TEST_F(ConnectorLink, NodeEntriesThatCannotBeServedAreSkippedOthersTaken) {
    startGateway();
    // Type 7: 5 values of 17 bits; 3 channels make 255 bits, 4 channels 340.
    const std::string type7 = "{\"type\":7,\"data_range\":17,\"data_count\":5,\"read_write\":0,\"latency\":0}";
    handshake("{\"message_type\":2,\"address\":3}", typeList(TYPE_5 + "," + type7),
              nodeList(NODE_21 +
                       ",{\"address\":22,\"type\":9,\"channel_count\":1}"
                       ",{\"address\":23,\"type\":5,\"channel_count\":-1}"
                       ",{\"address\":24,\"type\":5,\"channel_count\":256}"
                       ",{\"address\":25,\"type\":7,\"channel_count\":3}"
                       ",{\"address\":26,\"type\":7,\"channel_count\":4}"));
    sync();
    std::vector<unsigned int> taken;
    for (const auto& call : bus.calls("addNode")) taken.push_back(call.node.getAddress());
    EXPECT_EQ(taken, (std::vector<unsigned int>{21, 25}));
    const std::string console = out.text();
    EXPECT_NE(console.find("RESPONSE_NODE_LIST (9): node entry 1 (address 22) skipped: unknown type 9\n"),
              std::string::npos);
    EXPECT_NE(console.find("node entry 2 (address 23) skipped: channel count -1 is outside 0 to 255\n"),
              std::string::npos);
    EXPECT_NE(console.find("node entry 3 (address 24) skipped: channel count 256"), std::string::npos);
    EXPECT_NE(console.find("node entry 5 (address 26) skipped: payload of 340 bits exceeds 255\n"),
              std::string::npos);
    EXPECT_EQ(countOf(console, "skipped"), 4u);
}

TEST_F(ConnectorLink, BrokenListsAreDroppedWholeNotHalfTaken) {
    startGateway();
    handshake("{\"message_type\":2,\"address\":3}",
              typeList(TYPE_5 + ",{\"type\":6,\"data_range\":16,\"data_count\":1,\"read_write\":0}"),
              nodeList("{\"address\":20,\"type\":5,\"channel_count\":0},{\"address\":22,\"type\":5,"
                       "\"channel_count\":\"two\"}"));
    sync();
    EXPECT_EQ(bus.names(), (std::vector<std::string>{"setAddress", "startPlanners"}));
    const std::string console = out.text();
    EXPECT_NE(console.find("RESPONSE_TYPE_LIST (13) dropped: type entry 1: \"latency\" is missing\n"),
              std::string::npos);
    EXPECT_NE(console.find("RESPONSE_NODE_LIST (9) dropped: node entry 1: \"channel_count\" is not a number\n"),
              std::string::npos);
}

TEST_F(ConnectorLink, BadValueInNodeListDropsTheList) {
    startGateway();
    handshake("{\"message_type\":2,\"address\":3}", typeList(TYPE_5),
              nodeList(NODE_21 + ",{\"address\":22,\"type\":5,\"channel_count\":1,\"data\":[{\"data\":[1,-2]}]}"));
    sync();
    EXPECT_EQ(bus.count("addNode"), 0u);
    EXPECT_NE(out.text().find("RESPONSE_NODE_LIST (9) dropped: node entry 1: \"data\" entry 0: value 1 is negative\n"),
              std::string::npos);
}

TEST_F(ConnectorLink, ConnectionEndingDuringHandshakeEndsRunBeforeTheBusStarts) {
    startGateway();
    ASSERT_EQ(next(), "{\"message_type\":1}\n");
    send("{\"message_type\":2,\"address\":3}");
    ASSERT_EQ(next(), "{\"message_type\":12}\n");
    EXPECT_EQ(stop(), 1);
    EXPECT_EQ(bus.names(), std::vector<std::string>{"setAddress"});
    EXPECT_EQ(err->text(), "Server closed the connection\n");
}

// ---- Commands ---------------------------------------------------------------

TEST_F(ConnectorLink, DataSetWritesValuesIntoTheSharedTableAndTellsTheBusMaster) {
    standardHandshake();
    const Node registered = bus.calls("addNode").at(0).node;

    sendAndSync("{\"message_type\":6,\"address\":21,\"extra\":1,"
                "\"data\":[{\"channel\":1,\"data\":[3,4]},{\"channel\":0,\"data\":[4294967295,6]}]}");
    auto sets = bus.calls("setNodeData");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].node.getAddress(), 21);
    EXPECT_EQ(values(sets[0].node), (std::vector<unsigned int>{4294967295u, 6, 3, 4}));
    EXPECT_EQ(values(registered), values(sets[0].node)) << "the bus master's copy must see the same table";

    // A missing entry stands for channel 0 with every value 0.
    sendAndSync("{\"message_type\":6,\"address\":21,\"data\":[{\"channel\":1,\"data\":[9,9]}]}");
    EXPECT_EQ(values(registered), (std::vector<unsigned int>{0, 0, 9, 9}));

    // Address kept in 16 bits; values past dataCount and a channel the node
    // lacks are not written, the latter with a console line.
    const std::size_t mark = out.text().size();
    sendAndSync("{\"message_type\":6,\"address\":65557,"
                "\"data\":[{\"channel\":0,\"data\":[1,2,3]},{\"channel\":5,\"data\":[7,7]}]}");
    EXPECT_EQ(values(registered), (std::vector<unsigned int>{1, 2, 9, 9}));
    EXPECT_EQ(linesSince(mark), "DATA_SET (6): node 21 has no channel 5, its values ignored\n");
    EXPECT_EQ(bus.count("setNodeData"), 3u);
}

TEST_F(ConnectorLink, DataSetThatCannotBeUsedChangesNothing) {
    standardHandshake();
    const Node registered = bus.calls("addNode").at(0).node;
    const std::vector<unsigned int> before = values(registered);

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{\"message_type\":6,\"data\":[]}", "\"address\" is missing"},
        {"{\"message_type\":6,\"address\":\"21\"}", "\"address\" is not a number"},
        {"{\"message_type\":6,\"address\":2147483648}", "\"address\" is not a signed 32-bit integer"},
        {"{\"message_type\":6,\"address\":99,\"data\":[]}", "no node with address 99"},
        {"{\"message_type\":6,\"address\":21,\"data\":{\"channel\":0}}", "\"data\" is not an array"},
        {"{\"message_type\":6,\"address\":21,\"data\":[5]}", "\"data\" entry 0 is not an object"},
        {"{\"message_type\":6,\"address\":21,\"data\":[{\"channel\":-1,\"data\":[1,1]}]}",
         "\"data\" entry 0: \"channel\" is negative"},
        // The first entry is fine: it must not be written either.
        {"{\"message_type\":6,\"address\":21,\"data\":[{\"channel\":0,\"data\":[5,5]},"
         "{\"channel\":1,\"data\":[1,4294967296]}]}",
         "\"data\" entry 1: value 1 is not an unsigned 32-bit integer"},
        {"{\"message_type\":6,\"address\":21,\"data\":[{\"channel\":0,\"data\":[5,\"x\"]}]}",
         "\"data\" entry 0: value 1 is not a number"},
        {"{\"message_type\":6,\"address\":21,\"data\":[{\"channel\":0,\"data\":[5,1.5]}]}",
         "\"data\" entry 0: value 1 is not an unsigned 32-bit integer"},
    };
    for (const auto& [message, problem] : cases) {
        const std::size_t mark = out.text().size();
        sendAndSync(message);
        EXPECT_EQ(linesSince(mark), "DATA_SET (6) dropped: " + problem + "\n") << message;
    }
    EXPECT_EQ(values(registered), before);
    EXPECT_EQ(bus.count("setNodeData"), 0u);
}

TEST_F(ConnectorLink, NodeRemovedIsPrintedAndReachesTheBusMasterBeforeTheRegistryForgetsIt) {
    standardHandshake();
    // Acting as a bus master that files the node again while being told to
    // remove it: only a registry that still holds the node ignores that.
    bus.onCall("removeNode", [this](const RecordingDelegator::Call& call) {
        Node again = call.node;
        connector->addNodeToMap(again);
    });
    const std::size_t mark = out.text().size();
    sendAndSync("{\"message_type\":11,\"address\":21}");
    EXPECT_EQ(linesSince(mark), "Remove node with id 21 and type5\n");
    const auto removed = bus.calls("removeNode");
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].node.getAddress(), 21);
    EXPECT_EQ(removed[0].node.getType().getType(), 5u);

    // Forgotten: values for it and a second removal are refused.
    const std::size_t later = out.text().size();
    sendAndSync("{\"message_type\":6,\"address\":21,\"data\":[]}");
    sendAndSync("{\"message_type\":11,\"address\":21}");
    sendAndSync("{\"message_type\":11}");
    sendAndSync("{\"message_type\":11,\"address\":-21}");
    EXPECT_EQ(linesSince(later),
              "DATA_SET (6) dropped: no node with address 21\n"
              "NODE_REMOVED (11) dropped: no node with address 21\n"
              "NODE_REMOVED (11) dropped: no node with address 0\n"
              "NODE_REMOVED (11) dropped: \"address\" is negative\n");
    EXPECT_EQ(bus.count("removeNode"), 1u);
    EXPECT_EQ(bus.count("setNodeData"), 0u);
}

TEST_F(ConnectorLink, RegisteredTypeReachesTheBusMasterAndServesLaterAddresses) {
    standardHandshake();
    sendAndSync("{\"message_type\":10,\"type\":6,\"data_range\":16,\"data_count\":1,\"read_write\":0,\"latency\":1}");
    const auto added = bus.calls("addType");
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(added[1].type.getType(), 6u);
    EXPECT_EQ(added[1].type.getLatency(), 1);

    sendAndSync("{\"message_type\":4,\"nodes\":[{\"address\":22,\"random\":517,\"channel_count\":2,\"type\":6}]}");
    const auto addressed = bus.calls("addressNewNodes");
    ASSERT_EQ(addressed.size(), 1u);
    ASSERT_EQ(addressed[0].nodes.count(22), 1u);
    const Node& node = addressed[0].nodes.at(22);
    EXPECT_EQ(node.getRandom(), 517);
    EXPECT_EQ(node.getChannelCount(), 2u);
    EXPECT_TRUE(node.isWired());
    EXPECT_EQ(node.getType().getDataRange(), 16);
    EXPECT_EQ(values(node), (std::vector<unsigned int>{0, 0}));

    const std::size_t mark = out.text().size();
    sendAndSync("{\"message_type\":10,\"type\":8,\"data_range\":16,\"data_count\":1,\"read_write\":0}");
    EXPECT_EQ(linesSince(mark), "REGISTER_NEW_TYPE (10) dropped: \"latency\" is missing\n");
    EXPECT_EQ(bus.count("addType"), 2u);
}

TEST_F(ConnectorLink, NewAddressesCollectUntilTheNextSearch) {
    standardHandshake();
    // Like the bus master: every node given to it takes its address.
    bus.onCall("addressNewNodes", [this](const RecordingDelegator::Call& call) {
        for (auto entry : call.nodes) connector->addNodeToMap(entry.second);
    });
    sendAndSync("{\"message_type\":4,\"nodes\":[{\"address\":22,\"random\":517,\"channel_count\":2,\"type\":5}]}");
    const std::size_t mark = out.text().size();
    sendAndSync("{\"message_type\":4,\"nodes\":[{\"address\":22,\"random\":999,\"channel_count\":1,\"type\":5},"
                "{\"address\":23,\"random\":518,\"channel_count\":1,\"type\":5},"
                "{\"address\":24,\"random\":519,\"channel_count\":1,\"type\":77}]}");
    EXPECT_EQ(linesSince(mark), "NEW_ADDRESSES (4): node entry 2 (address 24) skipped: unknown type 77\n");
    auto addressed = bus.calls("addressNewNodes");
    ASSERT_EQ(addressed.size(), 2u);
    EXPECT_EQ(addressed[1].nodes.size(), 2u);
    EXPECT_EQ(addressed[1].nodes.at(22).getRandom(), 517) << "an address already present keeps its entry";

    const std::size_t search = out.text().size();
    sendAndSync("{\"message_type\":15}");
    EXPECT_EQ(linesSince(search), "Prijat discovery packet\n");
    EXPECT_EQ(bus.count("discoverNewNodes"), 1u);
    sendAndSync("{\"message_type\":4,\"nodes\":[{\"address\":30,\"random\":600,\"channel_count\":1,\"type\":5}]}");
    addressed = bus.calls("addressNewNodes");
    ASSERT_EQ(addressed.size(), 3u);
    ASSERT_EQ(addressed[2].nodes.size(), 1u) << "the search must empty the map of new nodes";
    EXPECT_EQ(addressed[2].nodes.count(30), 1u);

    // Filed through addNodeToMap: the server can now set its values.
    sendAndSync("{\"message_type\":6,\"address\":30,\"data\":[{\"channel\":0,\"data\":[4,2]}]}");
    ASSERT_EQ(bus.count("setNodeData"), 1u);
    EXPECT_EQ(values(bus.calls("setNodeData")[0].node), (std::vector<unsigned int>{4, 2}));

    // A broken entry drops the whole message: the bus master is not called.
    const std::size_t broken = out.text().size();
    sendAndSync("{\"message_type\":4,\"nodes\":[{\"address\":31,\"random\":1,\"channel_count\":1,\"type\":5},"
                "{\"address\":32,\"channel_count\":1,\"type\":5}]}");
    EXPECT_EQ(linesSince(broken), "NEW_ADDRESSES (4) dropped: node entry 1: \"random\" is missing\n");
    EXPECT_EQ(bus.count("addressNewNodes"), 3u);
}

TEST_F(ConnectorLink, PingDuringASearchIsAnsweredWhenTheSearchEnds) {
    standardHandshake();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bus.onCall("discoverNewNodes", [this, released](const RecordingDelegator::Call&) {
        Node found;
        DeviceType type;
        type.setType(5);
        found.setType(type);
        found.setRandom(517);
        found.setChannelCount(2);
        nodeMap map;
        map.emplace(found.getRandom(), found);
        connector->requestNewAddresses(map);
        released.wait();
    });
    send("{\"message_type\":15}");
    EXPECT_TRUE(bus.waitFor("discoverNewNodes"));
    send(PING);
    EXPECT_EQ(next(), "{\"message_type\":3,\"nodes\":[{\"channel_count\":2,\"random\":517,\"type\":5}]}\n");
    EXPECT_EQ(next(300), "<nothing>") << "a ping was answered while the search ran";
    release.set_value();
    EXPECT_EQ(next(), PONG);
}

TEST_F(ConnectorLink, UnhandledCodesAreConsumedSilently) {
    standardHandshake();
    const std::size_t mark = out.text().size();
    const std::size_t callsBefore = bus.calls().size();
    for (const char* code : {"2", "9", "13", "14", "17", "99", "-3", "1", "3", "5", "7"}) {
        send(std::string("{\"message_type\":") + code + ",\"address\":21,\"nodes\":[],\"types\":[]}");
    }
    sync();  // the first thing sent back is the answer to this ping
    EXPECT_EQ(linesSince(mark), "");
    EXPECT_EQ(bus.calls().size(), callsBefore);
}

TEST_F(ConnectorLink, TextThatIsNoUsableMessageIsReportedAndSkipped) {
    standardHandshake();
    const std::size_t mark = out.text().size();
    send("hello");
    send("[16]");
    send("{\"message_type\":\"16\"}");
    send("{\"type\":16}");
    send("");
    send("{\"message_type\":16.5}");
    send(std::string(5000, '[') + std::string(5000, ']'));  // deeper than the parser goes
    sync();
    const std::string lines = linesSince(mark);
    EXPECT_EQ(countOf(lines, "\n"), 7u) << lines;
    EXPECT_EQ(countOf(lines, "Server message dropped: not valid JSON"), 3u) << lines;
    EXPECT_EQ(countOf(lines, "Server message dropped: no numeric \"message_type\""), 4u) << lines;
    EXPECT_NE(lines.find("not valid JSON: hello\n"), std::string::npos);
}

// ---- The byte stream --------------------------------------------------------

TEST_F(ConnectorLink, MessagesAreTakenWhateverHowTheyArriveOnTheStream) {
    standardHandshake();
    // Two in one write.
    server.sendRaw(PING + std::string(1, '\0') + PING + std::string(1, '\0'));
    EXPECT_EQ(next(), PONG);
    EXPECT_EQ(next(), PONG);
    // One across three writes.
    const std::string set =
        "{\"message_type\":6,\"address\":21,\"data\":[{\"channel\":0,\"data\":[11,12]},{\"channel\":1,\"data\":[13,14]}]}";
    server.sendRaw(set.substr(0, 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    server.sendRaw(set.substr(10, 30));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    server.sendRaw(set.substr(40) + std::string(1, '\0'));
    sync();
    ASSERT_EQ(bus.count("setNodeData"), 1u);
    EXPECT_EQ(values(bus.calls("setNodeData")[0].node), (std::vector<unsigned int>{11, 12, 13, 14}));
    // Control bytes and bytes above 0x7E are dropped before parsing.
    server.sendRaw(std::string("{\"message_type\":\x7f" "1\t6}\r\n") + std::string(1, '\0'));
    EXPECT_EQ(next(), PONG);
    server.sendRaw(std::string("{\"message_type\":\xc3\xa9" "16}") + std::string(1, '\0'));
    EXPECT_EQ(next(), PONG);
}

TEST_F(ConnectorLink, LargeNodeListIsTakenWhole) {
    startGateway();
    std::string entries;
    const unsigned int count = 1400;
    for (unsigned int i = 0; i < count; ++i) {
        if (i > 0) entries += ",";
        entries += "{\"address\":" + std::to_string(1000 + i) +
                   ",\"type\":5,\"channel_count\":2,\"data\":[{\"channel\":0,\"data\":[" + std::to_string(i) +
                   ",1]},{\"channel\":1,\"data\":[2,3]}]}";
    }
    const std::string list = nodeList(entries);
    ASSERT_GT(list.size(), 100000u);
    handshake("{\"message_type\":2,\"address\":3}", typeList(TYPE_5), list);
    sync();
    const auto nodes = bus.calls("addNode");
    ASSERT_EQ(nodes.size(), count);
    EXPECT_EQ(nodes.back().node.getAddress(), 1000 + count - 1);
    EXPECT_EQ(values(nodes.back().node), (std::vector<unsigned int>{count - 1, 1, 2, 3}));
}

TEST_F(ConnectorLink, ServerClosingEndsRunWithStatusOneAndOneLine) {
    standardHandshake();
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(stop(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
    EXPECT_EQ(err->text(), "Server closed the connection\n");
}

// Node 21: two channels of a type (code 5) with two 8-bit values each.
static Node twoChannelNode21() {
    DeviceType type;
    type.setType(5);
    type.setDataCount(2);
    type.setDataRange(8);
    Node node;
    node.setAddress(21);
    node.setChannelCount(2);
    node.setType(type);
    node.makeData();
    return node;
}

// ---- Outgoing messages ------------------------------------------------------

TEST_F(ConnectorLink, BuiltMessagesMatchTheWireFormatByteForByte) {
    standardHandshake();
    Node node = twoChannelNode21();
    node.getTable()->store({1, 0, 0, 0});

    connector->logError(ERROR_NO_NEW_NODES);
    EXPECT_EQ(server.receiveRaw(WAIT_MS), std::string("{\"error\":5,\"message_type\":7}\n") + '\0');

    connector->updateNodeData(node);
    EXPECT_EQ(next(), "{\"address\":21,\"data\":[{\"channel\":0,\"data\":[1,0]},{\"channel\":1,\"data\":[0,0]}],"
                      "\"message_type\":5}\n");
    node.getTable()->store({4294967295u, 0, 0, 7});
    connector->updateNodeData(node);
    EXPECT_EQ(next(), "{\"address\":21,\"data\":[{\"channel\":0,\"data\":[4294967295,0]},{\"channel\":1,\"data\":[0,7]}],"
                      "\"message_type\":5}\n");

    connector->logError(ERROR_PACKET_NONSENSE, 21);
    EXPECT_EQ(next(), "{\"error\":4,\"message_type\":7,\"node_address\":21}\n");
    connector->logError(255, 65535);
    EXPECT_EQ(next(), "{\"error\":255,\"message_type\":7,\"node_address\":65535}\n");

    nodeMap found;
    Node discovered;
    discovered.setRandom(517);
    discovered.setType(node.getType());
    discovered.setChannelCount(2);
    found.emplace(517, discovered);
    connector->requestNewAddresses(found);
    EXPECT_EQ(next(), "{\"message_type\":3,\"nodes\":[{\"channel_count\":2,\"random\":517,\"type\":5}]}\n");
    nodeMap none;
    connector->requestNewAddresses(none);
    EXPECT_EQ(next(), "{\"message_type\":3,\"nodes\":null}\n");

    // No channels: "data" is null.
    Node empty;
    empty.setAddress(30);
    empty.setChannelCount(0);
    empty.setType(node.getType());
    empty.makeData();
    connector->updateNodeData(empty);
    EXPECT_EQ(next(), "{\"address\":30,\"data\":null,\"message_type\":5}\n");

    // No values per channel: each channel's "data" is null.
    DeviceType bare;
    bare.setType(9);
    Node valueless;
    valueless.setAddress(31);
    valueless.setChannelCount(2);
    valueless.setType(bare);
    valueless.makeData();
    connector->updateNodeData(valueless);
    EXPECT_EQ(next(), "{\"address\":31,\"data\":[{\"channel\":0,\"data\":null},{\"channel\":1,\"data\":null}],"
                      "\"message_type\":5}\n");
}

// The bus thread floods value reports and node errors while the receive loop
// answers 1,000 pings: every message arrives whole and in its own order.
TEST_F(ConnectorLink, StressThousandPingsWhileTheBusThreadFloodsReports) {
    standardHandshake();
    const unsigned int reports = 2000;
    const unsigned int pings = 1000;
    Node node = twoChannelNode21();

    bus.setConnector(connector.get());
    bus.forwardToConnector(true);
    std::thread busThread([&] {
        for (unsigned int i = 0; i < reports; ++i) {
            node.getTable()->store({i, i + 1, i + 2, i + 3});
            bus.updateNodeData(node);  // as the bus cycle reaches it
            if (i % 2 == 0) connector->logError(ERROR_PACKET_NONSENSE, static_cast<unsigned short>(i));
        }
    });
    std::string burst;
    for (unsigned int i = 0; i < pings; ++i) burst += PING + std::string(1, '\0');
    server.sendRaw(burst);

    unsigned int pongs = 0, data = 0, errors = 0;
    while (pongs < pings || data < reports || errors < reports / 2) {
        const std::string text = next();
        if (text == PONG) {
            ++pongs;
        } else if (text.rfind("{\"address\":", 0) == 0) {
            const unsigned int i = data;
            ASSERT_EQ(text, "{\"address\":21,\"data\":[{\"channel\":0,\"data\":[" + std::to_string(i) + "," +
                                std::to_string(i + 1) + "]},{\"channel\":1,\"data\":[" + std::to_string(i + 2) +
                                "," + std::to_string(i + 3) + "]}],\"message_type\":5}\n");
            ++data;
        } else {
            ASSERT_EQ(text, "{\"error\":4,\"message_type\":7,\"node_address\":" + std::to_string(errors * 2) + "}\n");
            ++errors;
        }
    }
    busThread.join();
    EXPECT_TRUE(quiet()) << "more messages than were made";
}

// ---- The process ------------------------------------------------------------

TEST(ConnectorProcess, GatewayEndsWithNonZeroStatusWhenItsServerCloses) {
    if (runningEmulated()) GTEST_SKIP() << "starts the gateway binary, which the emulator does not run as a child";
    LoopbackServer server;
    TempDir work;
    FakeSysfs sysfs;
    sysfs.addPin("7");
    work.write("pelko.conf", "[settings]\nip=127.0.0.1\nport=" + std::to_string(server.port()) +
                                 "\nuart=" + work.file("noSuchTty") + "\ngpio=7\ngpio_root=" + sysfs.root() + "\n");
    ChildProcess gateway(PELKO_BINARY, {}, work.path());
    ASSERT_TRUE(server.accept(WAIT_MS)) << gateway.err();
    std::string text;
    ASSERT_TRUE(server.receiveMessage(text, WAIT_MS));
    server.sendMessage("{\"message_type\":2,\"address\":3}");
    ASSERT_TRUE(server.receiveMessage(text, WAIT_MS));
    server.sendMessage(typeList(""));
    ASSERT_TRUE(server.receiveMessage(text, WAIT_MS));
    server.sendMessage(nodeList(""));
    server.sendMessage(PING);
    // The bus master cannot open its port: error 1 may come before the pong.
    do {
        ASSERT_TRUE(server.receiveMessage(text, WAIT_MS)) << gateway.err();
    } while (text != PONG);
    server.closeClient();
    EXPECT_EQ(gateway.wait(WAIT_MS), 1);
    EXPECT_NE(gateway.err().find("Server closed the connection\n"), std::string::npos) << gateway.err();
    EXPECT_EQ(gateway.out().rfind("Zadost o adresu {\"message_type\":1}\n\n", 0), 0u) << gateway.out();
}
