// The server link against a scripted server on the loopback interface, with
// a recording stand-in for the bus master behind the Delegator.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <regex>
#include <thread>

#include <json/json.h>

#include "Builders.h"
#include "Connector.h"
#include "Errors.h"
#include "LoopbackServer.h"
#include "RecordingDelegator.h"
#include "RecordingStream.h"

namespace {

std::string json(int code, const std::string& members = "") {
    return "{\"message_type\":" + std::to_string(code) + members + "}";
}
const std::string PING = json(Connector::PING_REQUEST);
const std::string PONG = json(Connector::PING_RESPONSE) + "\n";
const std::string ADDRESS_3 = json(Connector::RESPONSE_SUB_ADDRESS, ",\"address\":3");
const std::string ASKED = "Zadost o adresu " + json(Connector::REQUEST_SUB_ADDRESS) + "\n\n";
// Type 5: two 8-bit values per channel. Node 21: two channels, channel 1 given first.
const std::string TYPE_5 = "{\"type\":5,\"data_range\":8,\"data_count\":2,\"read_write\":1,\"latency\":0}";
const std::string NODE_21 =
    "{\"address\":21,\"type\":5,\"channel_count\":2,\"data\":[{\"channel\":1,\"data\":[7,8]},{\"channel\":0,\"data\":[1,2]}]}";
std::string types(const std::string& list) { return json(Connector::RESPONSE_TYPE_LIST, ",\"types\":[" + list + "]"); }
std::string nodes(const std::string& list) { return json(Connector::RESPONSE_NODE_LIST, ",\"nodes\":[" + list + "]"); }
std::string error(unsigned int code, const std::string& node = "") {
    return "{\"error\":" + std::to_string(code) + ",\"message_type\":7" + node + "}\n";
}

std::vector<unsigned int> values(const Node& node) { return node.getTable()->snapshot(); }

// A Connector running on its own thread against a LoopbackServer.
class Link : public ::testing::Test {
protected:
    void TearDown() override { stop(); }

    void start() {
        connector = std::make_unique<Connector>();
        connector->setDelegator(&bus);
        TCPSocket socket("127.0.0.1", server.port());
        ASSERT_EQ(socket.init(), 1);
        ASSERT_TRUE(server.accept());
        connector->setTCPSocket(socket);
        runner = std::thread([this] { status = connector->run(); });
    }
    // Ends the connection; run()'s status once it returned.
    int stop() {
        if (!runner.joinable()) return status;
        server.closeClient();
        runner.join();
        connector.reset();  // joins the send thread
        return status;
    }
    std::string next() {
        std::string text;
        return server.receiveMessage(text) ? text : "<nothing>";
    }
    // Plays the server's side of the handshake: each request only after the previous answer.
    void handshake(const std::string& address, const std::string& typeList, const std::string& nodeList) {
        const std::pair<unsigned int, std::string> steps[] = {
            {Connector::REQUEST_SUB_ADDRESS, address}, {Connector::REQUEST_TYPE_LIST, typeList}, {Connector::REQUEST_NODE_LIST, nodeList}};
        for (const auto& [request, answer] : steps) {
            ASSERT_EQ(next(), json(request) + "\n");
            EXPECT_TRUE(server.receiveRaw(100).empty()) << "asked on before the answer came";
            server.sendMessage(answer);
        }
    }
    void ready() {
        start();
        handshake(ADDRESS_3, types(TYPE_5), nodes(NODE_21));
        lines({});
    }
    // Sends the messages, then a ping: once its answer came all were handled.
    // The console lines they caused.
    std::string lines(const std::vector<std::string>& messages) {
        const std::size_t mark = out.text().size();
        for (const std::string& m : messages) server.sendMessage(m);
        server.sendMessage(PING);
        EXPECT_EQ(next(), PONG);
        return out.since(mark);
    }

    RecordingStream out{1};
    LoopbackServer server;
    RecordingDelegator bus;
    std::unique_ptr<Connector> connector;
    std::thread runner;
    int status = -1;
};

// What reached the bus side, one word per call: types with range, count,
// direction and schedule; nodes with range and channels.
std::vector<std::string> summary(const RecordingDelegator& bus) {
    std::vector<std::string> all;
    for (const auto& c : bus.calls()) {
        const DeviceType t = c.name == "addNode" ? c.node.getType() : c.type;
        if (c.name == "setAddress") all.push_back("address " + std::to_string(c.number));
        if (c.name == "startPlanners") all.push_back("start");
        if (c.name == "addType")
            all.push_back("type " + std::to_string(t.getType()) + "/" + std::to_string(t.getDataRange()) + "/" +
                          std::to_string(t.getDataCount() * 100 + t.getReadWrite() * 10 + t.getLatency()));
        if (c.name == "addNode")
            all.push_back("node " + std::to_string(c.node.getAddress()) + "/" + std::to_string(t.getDataRange()) + "/" +
                          std::to_string(c.node.getChannelCount()));
    }
    return all;
}

struct HandshakeCase {
    const char* what;
    std::string address, typeList, nodeList;
    std::vector<std::string> errors;  // sent once the bus master started
    std::vector<std::string> calls;
    std::string console;
};

void PrintTo(const HandshakeCase& c, std::ostream* os) { *os << c.what; }

class Handshake : public Link, public ::testing::WithParamInterface<HandshakeCase> {};

}  // namespace

TEST_P(Handshake, AnswersAreTakenEntryByEntryOrDroppedWhole) {
    const HandshakeCase& c = GetParam();
    start();
    handshake(c.address, c.typeList, c.nodeList);
    for (const std::string& e : c.errors) EXPECT_EQ(next(), e);
    lines({});
    EXPECT_EQ(summary(bus), c.calls);
    EXPECT_EQ(out.text(), ASKED + c.console);
}

INSTANTIATE_TEST_SUITE_P(Connector, Handshake, ::testing::Values(
    // The address is kept in 8 bits; every type and node goes to the bus master before it starts.
    HandshakeCase{"all-taken", json(2, ",\"address\":259"), types(TYPE_5 + ",{\"type\":6,\"data_range\":16,\"data_count\":1,\"read_write\":0,\"latency\":1}"),
        nodes(NODE_21), {}, {"address 3", "type 5/8/210", "type 6/16/101", "node 21/8/2", "start"}, ""},
    HandshakeCase{"not-json", "nonsense", "{\"message_type\":13,", "", {error(7), error(7), error(4)}, {"start"},
        "RESPONSE_SUB_ADDRESS (2) dropped: not valid JSON: nonsense\n"
        "RESPONSE_TYPE_LIST (13) dropped: not valid JSON: {\"message_type\":13,\n"
        "RESPONSE_NODE_LIST (9) dropped: not valid JSON: \n"},
    // Line ends and stray bytes are dropped before parsing; extra members and absent lists are fine.
    HandshakeCase{"lists-absent", json(2, ",\"address\":-253,\"x\":1") + "\r\n", json(13) + "\r\n", json(9, ",\"n\":[]"), {},
        {"address 3", "start"}, ""},
    HandshakeCase{"address-missing", json(2), "[]", nodes(""), {}, {"start"},
        "RESPONSE_SUB_ADDRESS (2) dropped: \"address\" is missing\nRESPONSE_TYPE_LIST (13) dropped: not a JSON object\n"},
    // A code given twice keeps its first definition; both reach the bus master.
    HandshakeCase{"type-twice", ADDRESS_3, types(TYPE_5 + ",{\"type\":5,\"data_range\":16,\"data_count\":1,\"read_write\":0,\"latency\":0}"),
        nodes(NODE_21), {}, {"address 3", "type 5/8/210", "type 5/16/100", "node 21/8/2", "start"}, ""},
    // Type 7: five 17-bit values; three channels make 255 bits, four 340.
    HandshakeCase{"entries-skipped", ADDRESS_3, types(TYPE_5 + ",{\"type\":7,\"data_range\":17,\"data_count\":5,\"read_write\":0,\"latency\":0}"),
        nodes(NODE_21 + ",{\"address\":22,\"type\":9,\"channel_count\":1},{\"address\":23,\"type\":5,\"channel_count\":-1},"
              "{\"address\":24,\"type\":5,\"channel_count\":256},{\"address\":25,\"type\":7,\"channel_count\":3},"
              "{\"address\":26,\"type\":7,\"channel_count\":4}"),
        {}, {"address 3", "type 5/8/210", "type 7/17/500", "node 21/8/2", "node 25/17/3", "start"},
        "RESPONSE_NODE_LIST (9): node entry 1 (address 22) skipped: unknown type 9\n"
        "RESPONSE_NODE_LIST (9): node entry 2 (address 23) skipped: channel count -1 is outside 0 to 255\n"
        "RESPONSE_NODE_LIST (9): node entry 3 (address 24) skipped: channel count 256 is outside 0 to 255\n"
        "RESPONSE_NODE_LIST (9): node entry 5 (address 26) skipped: payload of 340 bits exceeds 255\n"},
    // A malformed entry costs only itself; the good ones around it are taken.
    HandshakeCase{"lists-broken", ADDRESS_3, types(TYPE_5 + ",{\"type\":6,\"data_range\":16,\"data_count\":1,\"read_write\":0},7"),
        nodes("{\"address\":20,\"type\":5,\"channel_count\":0},{\"address\":22,\"type\":5,\"channel_count\":\"two\"},\"x\","
              "{\"type\":5,\"channel_count\":1}"), {},
        {"address 3", "type 5/8/210", "node 20/8/0", "start"},
        "RESPONSE_TYPE_LIST (13): type entry 1 skipped: \"latency\" is missing\n"
        "RESPONSE_TYPE_LIST (13): type entry 2 skipped: not an object\n"
        "RESPONSE_NODE_LIST (9): node entry 1 (address 22) skipped: \"channel_count\" is not a number\n"
        "RESPONSE_NODE_LIST (9): node entry 2 skipped: not an object\n"
        "RESPONSE_NODE_LIST (9): node entry 3 skipped: \"address\" is missing\n"},
    HandshakeCase{"bad-value", ADDRESS_3, types(TYPE_5), nodes("{\"address\":22,\"type\":5,\"channel_count\":1,\"data\":[{\"data\":[1,-2]}]}," + NODE_21),
        {}, {"address 3", "type 5/8/210", "node 21/8/2", "start"},
        "RESPONSE_NODE_LIST (9): node entry 0 (address 22) skipped: \"data\" entry 0: value 1 is negative\n"},
    // The reader takes comments but no trailing comma.
    HandshakeCase{"trailing-commas", json(2, ",\"address\":3,") + "\r\n", types(TYPE_5 + ","), "/* known */" + json(9, ",\"nodes\":[] /* none */"),
        {error(7), error(7)}, {"start"},
        "RESPONSE_SUB_ADDRESS (2) dropped: not valid JSON: {\"message_type\":2,\"address\":3,}\n"
        "RESPONSE_TYPE_LIST (13) dropped: not valid JSON: " + types(TYPE_5 + ",").substr(0, 60) + "...\n"}));

TEST_F(Link, ConnectionLostInTheHandshakeEndsRunBeforeTheBusStarts) {
    start();
    ASSERT_EQ(next(), json(Connector::REQUEST_SUB_ADDRESS) + "\n");
    server.sendMessage(ADDRESS_3);
    ASSERT_EQ(next(), json(Connector::REQUEST_TYPE_LIST) + "\n");
    RecordingStream err(2);
    EXPECT_EQ(stop(), 1);
    EXPECT_EQ(summary(bus), std::vector<std::string>{"address 3"}) << "the bus master started without its nodes";
    EXPECT_EQ(err.text(), "Server closed the connection\n");
}

TEST_F(Link, DataSetWritesTheSharedTableInOneStepThenTellsTheBusMaster) {
    ready();
    const Node registered = bus.calls("addNode").at(0).node;
    EXPECT_EQ(lines({json(6, ",\"address\":21,\"data\":[{\"channel\":1,\"data\":[3,4]},{\"channel\":0,\"data\":[4294967295,6]}]")}), "");
    ASSERT_EQ(bus.calls("setNodeData").size(), 1u);
    EXPECT_EQ(bus.calls("setNodeData")[0].node.getTable(), registered.getTable());
    EXPECT_EQ(values(registered), (std::vector<unsigned int>{4294967295u, 6, 3, 4}));
    // A missing entry is channel 0 with zeros; the address is kept in 16 bits;
    // values past the count and channels the node lacks are not written.
    lines({json(6, ",\"address\":21,\"data\":[{\"channel\":1,\"data\":[9,9]}]")});
    EXPECT_EQ(values(registered), (std::vector<unsigned int>{0, 0, 9, 9}));
    EXPECT_EQ(lines({json(6, ",\"address\":65557,\"data\":[{\"channel\":0,\"data\":[1,2,3]},{\"channel\":5,\"data\":[7,7]}]")}),
              "DATA_SET (6): node 21 has no channel 5, its values ignored\n");
    EXPECT_EQ(values(registered), (std::vector<unsigned int>{1, 2, 9, 9}));
    EXPECT_EQ(bus.calls("setNodeData").size(), 3u);
}

// Every rule for what the server sends after the handshake: a message that
// breaks one is dropped whole with one line saying why, and changes nothing.
TEST_F(Link, EachBadInputIsDroppedWithOneLineAndChangesNothing) {
    ready();
    std::vector<std::pair<std::string, std::string>> cases = {
        {json(6), "DATA_SET (6) dropped: \"address\" is missing"},
        {json(6, ",\"address\":\"21\""), "DATA_SET (6) dropped: \"address\" is not a number"},
        {json(6, ",\"address\":2147483648"), "DATA_SET (6) dropped: \"address\" is not a signed 32-bit integer"},
        {json(6, ",\"address\":99"), "DATA_SET (6) dropped: no node with address 99"},
        {json(6, ",\"address\":21,\"data\":{}"), "DATA_SET (6) dropped: \"data\" is not an array"},
        {json(6, ",\"address\":21,\"data\":[5]"), "DATA_SET (6) dropped: \"data\" entry 0 is not an object"},
        {json(6, ",\"address\":21,\"data\":[{\"channel\":-1}]"), "DATA_SET (6) dropped: \"data\" entry 0: \"channel\" is negative"},
        {json(6, ",\"address\":21,\"data\":[{\"data\":7}]"), "DATA_SET (6) dropped: \"data\" entry 0: \"data\" is not an array"},
        {json(6, ",\"address\":21,\"data\":[{\"data\":[5,5]},{\"channel\":1,\"data\":[1,4294967296]}]"),
         "DATA_SET (6) dropped: \"data\" entry 1: value 1 is not an unsigned 32-bit integer"},
        {json(6, ",\"address\":21,\"data\":[{\"data\":[5,\"x\"]}]"), "DATA_SET (6) dropped: \"data\" entry 0: value 1 is not a number"},
        {json(6, ",\"address\":21,\"data\":[{\"data\":[5,1.5]}]"),
         "DATA_SET (6) dropped: \"data\" entry 0: value 1 is not an unsigned 32-bit integer"},
        {json(11), "NODE_REMOVED (11) dropped: no node with address 0"},
        {json(11, ",\"address\":-21"), "NODE_REMOVED (11) dropped: \"address\" is negative"},
        {json(10, ",\"type\":8,\"data_range\":16,\"data_count\":1,\"read_write\":0"), "REGISTER_NEW_TYPE (10) dropped: \"latency\" is missing"},
        {json(4, ",\"nodes\":{}"), "NEW_ADDRESSES (4) dropped: \"nodes\" is not an array"},
        {"hello", "Server message dropped: not valid JSON: hello"},
        {"", "Server message dropped: not valid JSON: "},
        {std::string(3000, '[') + std::string(3000, ']'), "Server message dropped: not valid JSON: " + std::string(60, '[') + "..."},
        {"[16]", "Server message dropped: no numeric \"message_type\": [16]"},
        // The reader takes comments, but no trailing comma and no '+' before a number.
        {"/* a */ {\"message_type\": /* b */ 11, \"address\":99 /* c */} // d", "NODE_REMOVED (11) dropped: no node with address 99"},
        {"// {\"message_type\":16}\n[", "Server message dropped: not valid JSON: // {\"message_type\":16} ["},
        {"{\"message_type\":16,}", "Server message dropped: not valid JSON: {\"message_type\":16,}"},
        {"{\"message_type\":16,\"a\":[1,]}", "Server message dropped: not valid JSON: {\"message_type\":16,\"a\":[1,]}"},
        {"{\"message_type\":+16}", "Server message dropped: not valid JSON: {\"message_type\":+16}"},
        {"{\"message_type\":\"16\"}", "Server message dropped: no numeric \"message_type\": {\"message_type\":\"16\"}"},
        {"{\"message_type\":16.5}", "Server message dropped: no numeric \"message_type\": {\"message_type\":16.5}"},
    };
    // Codes the gateway sends or does not know need nothing.
    for (int code : {2, 9, 13, 14, 17, 99, -3, 1, 3, 5, 7}) cases.push_back({json(code, ",\"address\":21,\"nodes\":[]"), ""});
    for (const auto& [message, line] : cases) EXPECT_EQ(lines({message}), line.empty() ? "" : line + "\n") << message;
    EXPECT_EQ(summary(bus), (std::vector<std::string>{"address 3", "type 5/8/210", "node 21/8/2", "start"}));
    EXPECT_EQ(values(bus.calls("addNode").at(0).node), (std::vector<unsigned int>{1, 2, 7, 8}));
}

// Bad text from a server that ends its messages with line feeds costs only
// itself, at most the 1 MiB bound and one receive (64 KiB). Each case is
// followed by 1.2 MiB of pings and a search, whose hook sends an error
// report: the mark that all before it was read.
TEST_F(Link, BadTextFromALineEndedServerCostsOnlyItself) {
    ready();
    bus.onCall("discoverNewNodes", [this](const RecordingDelegator::Call&) { connector->logError(ERROR_UART); });
    const std::string ping = PING + "\n";
    const std::size_t flood = 1200 * 1024 / ping.size(), bound = TCPSocket::MAX_MESSAGE / ping.size();
    std::string pings;
    for (std::size_t i = 0; i < flood; ++i) pings += ping;
    const struct { std::string bad; std::size_t answered; } cases[] = {
        {"{\"message_type\":16,\n", flood - bound},        // never closes
        {"{\"message_type\":16,\"a\":\"\n", flood - bound},  // an unterminated string
        {"{\"message_type\":16 /*\n", flood - bound},      // an unterminated comment
        {"[[{}]\n", flood - bound},                        // unmatched brackets
        {ping + "x /* { */\n", flood + 1},                 // a '{' in a comment after a message
        {ping + "/* {\n", flood + 1},                      // an unterminated comment after a message
        {"{\"message_type\":16,\"a\":\"x" + std::string(1, '\0') + "y\"}\n", flood},  // a zero byte in a string
        // A // comment ends at its line break, for the framing and the reader alike.
        {"{\"message_type\":16, // }\r\n\"a\":\"//\",\n\"x\":1}\n// {\n{\"message_type\": // \t}\n16}\r\n", flood + 2},
    };
    for (const auto& c : cases) {
        std::thread feeder([&] { server.sendRaw(c.bad + pings + json(Connector::DISCOVER_NEW_NODES) + "\n"); });
        std::size_t pongs = 0, lost = c.answered < flood ? 64 * 1024 / ping.size() + 2 : 0;
        std::string text;
        while (server.receiveMessage(text, 10000) && text == PONG) ++pongs;
        feeder.join();
        EXPECT_EQ(text, error(ERROR_UART)) << c.bad << ": the search after the pings was not served";
        EXPECT_TRUE(pongs <= c.answered && pongs + lost >= c.answered) << c.bad << ": " << pongs << " pongs";
    }
}

TEST_F(Link, NodeRemovedReachesTheBusMasterBeforeTheRegistryForgetsIt) {
    ready();
    // A bus master filing the node again meanwhile: only a registry that still holds it ignores that.
    bus.onCall("removeNode", [this](const RecordingDelegator::Call& call) {
        Node again = call.node;
        connector->addNodeToMap(again);
    });
    EXPECT_EQ(lines({json(11, ",\"address\":21")}), "Remove node with id 21 and type5\n");
    EXPECT_EQ(lines({json(6, ",\"address\":21"), json(11, ",\"address\":21")}),
              "DATA_SET (6) dropped: no node with address 21\nNODE_REMOVED (11) dropped: no node with address 21\n");
    ASSERT_EQ(bus.calls("removeNode").size(), 1u);
    EXPECT_EQ(bus.calls("removeNode")[0].node.getAddress(), 21);
}

TEST_F(Link, NewAddressesCollectUntilTheNextSearchWithRegisteredTypes) {
    ready();
    bus.onCall("addressNewNodes", [this](const RecordingDelegator::Call& call) {
        for (auto entry : call.nodes) connector->addNodeToMap(entry.second);  // each takes its address
    });
    EXPECT_EQ(lines({json(10, ",\"type\":6,\"data_range\":16,\"data_count\":1,\"read_write\":0,\"latency\":1"),
                     json(4, ",\"nodes\":[{\"address\":22,\"random\":517,\"channel_count\":2,\"type\":6}]"),
                     json(4, ",\"nodes\":[{\"address\":23,\"random\":518,\"channel_count\":1,\"type\":5},"
                             "{\"address\":24,\"random\":519,\"channel_count\":1,\"type\":8},{\"address\":25},7]")}),
              "NEW_ADDRESSES (4): node entry 1 (address 24) skipped: unknown type 8\n"
              "NEW_ADDRESSES (4): node entry 2 (address 25) skipped: \"channel_count\" is missing\n"
              "NEW_ADDRESSES (4): node entry 3 skipped: not an object\n");
    EXPECT_EQ(summary(bus).back(), "type 6/16/101");
    const auto addressed = bus.calls("addressNewNodes");
    ASSERT_EQ(addressed.size(), 2u);
    const Node node = addressed[0].nodes.at(22);
    EXPECT_EQ(node.getRandom() + node.getChannelCount() * 1000 + node.getType().getDataRange() * 10000, 162517u);
    EXPECT_TRUE(node.isWired());
    EXPECT_EQ(addressed[1].nodes.size(), 2u) << "the first node's entry was lost";
    // A search starts a new collection; nodes filed by the bus master take values.
    EXPECT_EQ(lines({json(15), json(4, ",\"nodes\":[{\"address\":30,\"random\":6,\"channel_count\":1,\"type\":5}]"),
                     json(6, ",\"address\":30,\"data\":[{\"data\":[4,2]}]")}),
              "Prijat discovery packet\n");
    EXPECT_EQ(bus.calls("discoverNewNodes").size(), 1u);
    EXPECT_EQ(bus.calls("addressNewNodes").back().nodes.size(), 1u);
    EXPECT_EQ(values(bus.calls("setNodeData").at(0).node), (std::vector<unsigned int>{4, 2}));
    // Control bytes and bytes above 0x7E are dropped before parsing.
    server.sendRaw(std::string("{\"message_type\":\x7f" "1\t6}\r\n") + '\0' + "{\"message_type\":\xc3\xa9" "16}" + '\0');
    EXPECT_EQ(next(), PONG);
    EXPECT_EQ(next(), PONG);
}

TEST_F(Link, BuiltMessagesMatchTheWireFormatByteForByte) {
    ready();
    Node node = makeNode(21, makeType(5, DeviceType::RW, DeviceType::NOW, 2, 8), 2, 517);
    node.getTable()->store({4294967295u, 0, 0, 7});
    Node bare = makeNode(30, makeType(9, DeviceType::R, DeviceType::NOW, 0, 8), 2);
    nodeMap found{{517, node}};
    nodeMap none;
    connector->logError(ERROR_NO_NEW_NODES);
    EXPECT_EQ(server.receiveRaw(20000), error(5) + '\0');
    connector->logError(ERROR_PACKET_NONSENSE, 65535);
    connector->updateNodeData(node);
    connector->updateNodeData(bare);
    connector->requestNewAddresses(found);
    connector->requestNewAddresses(none);
    EXPECT_EQ(next(), error(4, ",\"node_address\":65535"));
    EXPECT_EQ(next(), "{\"address\":21,\"data\":[{\"channel\":0,\"data\":[4294967295,0]},{\"channel\":1,\"data\":[0,7]}],"
                      "\"message_type\":5}\n");
    EXPECT_EQ(next(), "{\"address\":30,\"data\":[{\"channel\":0,\"data\":null},{\"channel\":1,\"data\":null}],\"message_type\":5}\n");
    EXPECT_EQ(next(), "{\"message_type\":3,\"nodes\":[{\"channel_count\":2,\"random\":517,\"type\":5}]}\n");
    EXPECT_EQ(next(), "{\"message_type\":3,\"nodes\":null}\n");
}

namespace {

// The link with small kernel buffers at both ends, so that a server that
// stops reading backs the messages up into the gateway's queue at once (a
// seam: real buffers hold megabytes), and with a small queue bound and
// stall limit (seams for 1 MiB and 60 s).
class Stall : public Link {
protected:
    void start(std::chrono::milliseconds limit, int sendBuffer = 4096, unsigned int changes = 300) {
        server.setReceiveBuffer(4096);
        connector = std::make_unique<Connector>();
        connector->setDelegator(&bus);
        connector->setSendLimits(8192, limit);
        TCPSocket socket("127.0.0.1", server.port());
        ASSERT_EQ(socket.init(), 1);
        setsockopt(socket.descriptor(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        ASSERT_TRUE(server.accept());
        connector->setTCPSocket(socket);
        result = ended.get_future();
        runner = std::thread([this] { ended.set_value(status = connector->run()); });
        handshake(ADDRESS_3, types(TYPE_5), nodes(""));
        report(1, changes);
    }
    // Twenty nodes change, from `first` to `last`, while the server reads nothing.
    void report(unsigned int first, unsigned int last) {
        for (unsigned int value = first; value <= last; ++value) {
            for (unsigned short address = 1; address <= 20; ++address) {
                Node node = makeNode(address, makeType(5, DeviceType::R, DeviceType::NOW, 1, 16), 1);
                node.getTable()->store({value});
                connector->updateNodeData(node);
            }
        }
    }
    std::promise<int> ended;
    std::future<int> result;
};

}  // namespace

TEST_F(Stall, AfterAStallTheServerGetsEveryNodesLatestValuesInOrder) {
    start(std::chrono::seconds(60));
    std::map<unsigned int, unsigned int> latest;  // node -> value
    std::size_t received = 0, done = 0;
    for (std::string text; done < 20; ++received) {
        ASSERT_TRUE(server.receiveMessage(text)) << received << " reports received";
        Json::Value report;
        ASSERT_TRUE(Json::Reader().parse(text, report));
        const unsigned int node = report["address"].asUInt(), value = report["data"][0]["data"][0].asUInt();
        EXPECT_GT(value, latest[node]) << "node " << node << " out of order";
        done += (latest[node] = value) == 300 ? 1 : 0;
    }
    EXPECT_EQ(lines({}), "") << "nothing after the latest values";
    // Each time the kernel takes a little more, the queue may drain and fill again.
    const std::string console = out.text();
    const std::regex episode("Send queue full \\(8192 B\\).*\nSend queue down to \\d+ B: (\\d+) superseded DATA_GET reports "
                             "dropped, 0 repeated.*\n");
    std::size_t dropped = 0;
    for (std::sregex_iterator m(console.begin(), console.end(), episode), end; m != end; ++m) dropped += std::stoul((*m)[1]);
    EXPECT_LT(received, 6000u) << "older reports gave way";
    EXPECT_EQ(dropped + received, 6000u) << "each report sent or counted as dropped";
}

// The kernel ends the connection (TCP_USER_TIMEOUT; older kernels leave a
// zero window to the send thread's own watch, 30 s later), counting from when
// the server stopped taking data: here the gateway's larger send buffer
// keeps taking messages for a while after that, and the send that finally
// waits began later. The receive loop then adds its line for the end of the
// connection. Meanwhile the server has the gateway search for new nodes: the
// search's report (NEW_NODES_FOUND, on the receive loop's thread, with the
// bus halted) waits for room behind the latest reports of a hundred nodes;
// the gateway says it is waiting, not hung (the service watchdog is kept
// alive on it), and once the link is given up the report gives up too.
TEST_F(Stall, AServerThatTakesNothingForTheStallLimitIsLostAlsoDuringASearch) {
    RecordingStream err(2);
    std::atomic<bool> reported{false};
    bus.onCall("discoverNewNodes", [this, &reported](const RecordingDelegator::Call&) {
        nodeMap found{{0x1234, makeNode(0, makeType(5, DeviceType::R, DeviceType::NOW, 2, 8), 1, 0x1234)}};
        connector->requestNewAddresses(found);
        reported = true;
    });
    const std::chrono::milliseconds limit(3000);
    start(limit, 1 << 15, 10);  // the server's window closes, the send buffer has room
    std::this_thread::sleep_for(limit / 2);
    report(11, 110);  // fills the send buffer: a send waits from now on
    for (unsigned short address = 100; address < 200; ++address) {
        Node node = makeNode(address, makeType(5, DeviceType::R, DeviceType::NOW, 1, 16), 1);
        connector->updateNodeData(node);
    }
    EXPECT_FALSE(connector->waitingForRoom());
    server.sendMessage(json(Connector::DISCOVER_NEW_NODES));
    ASSERT_TRUE(bus.waitFor("discoverNewNodes"));
    bool waiting = false;
    for (int look = 0; look < 100 && !waiting && !reported; ++look) {
        waiting = connector->waitingForRoom();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(waiting) << "the report waits for room";
    ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(result.get(), 1);
    EXPECT_TRUE(reported) << "the report gave up with the link";
    EXPECT_FALSE(connector->waitingForRoom());
    stop();  // joins the send thread, which says why
    EXPECT_NE(err.text().find("Server took nothing for 3000 ms, connection given up\n"), std::string::npos) << err.text();
}
