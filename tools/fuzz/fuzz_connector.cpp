// The server's messages after the handshake: Connector::run() over a
// loopback connection whose server side has already sent the whole script
// (the three handshake answers, then the fuzz input as raw bytes, then the
// end of the connection). Behind the Delegator sits a stand-in for the bus
// master that checks what reaches the bus side:
//   - every node handed over fits a bus frame, has a value table of its
//     channel count x values per channel, and a type the bus side was given;
//   - value sets and removals name only nodes the registry holds, and carry
//     the registry's own table (shared, never a stray copy);
//   - everything arrives on the thread that runs the receive loop.
// It also answers a search with one found node and takes every address
// assignment, so the registry grows the way the real bus master makes it.
// Afterwards every message the gateway sent must be one compact JSON object
// with a line feed, of a code the gateway sends, the first three the
// handshake's 1, 12, 8; and run() must have returned (no hang on the close).
//
// An input starting with 'H' carries its own handshake answers: its first
// three zero-terminated pieces replace the fixed ones.
#include <json/json.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Connector.h"
#include "Delegator.h"
#include "FuzzSupport.h"

namespace {

// The fixed handshake answers: an address, three types, two nodes.
const char* const HANDSHAKE[] = {
    "{\"message_type\":2,\"address\":3}",
    "{\"message_type\":13,\"types\":["
    "{\"type\":5,\"data_range\":8,\"data_count\":2,\"read_write\":1,\"latency\":0},"
    "{\"type\":6,\"data_range\":16,\"data_count\":1,\"read_write\":0,\"latency\":1},"
    "{\"type\":7,\"data_range\":1,\"data_count\":3,\"read_write\":2,\"latency\":0}]}",
    "{\"message_type\":9,\"nodes\":["
    "{\"address\":21,\"type\":5,\"channel_count\":2,\"data\":[{\"channel\":0,\"data\":[1,0]},{\"channel\":1,\"data\":[0,0]}]},"
    "{\"address\":22,\"type\":6,\"channel_count\":1}]}",
};

// Stand-in for the bus master: checks and records what the Connector hands over.
class BusMasterStandIn : public Delegator {
public:
    explicit BusMasterStandIn(std::thread::id loop) : loop_(loop) {}

    void setAddress(unsigned char) override { onLoop("setAddress"); }
    void addType(DeviceType& type) override {
        onLoop("addType");
        types_.insert(type.getType());
    }
    void addNode(Node& node) override {
        onLoop("addNode");
        checkNode(node, "addNode");
        registry_.emplace(node.getAddress(), node.getTable());
    }
    void startPlanners() override { onLoop("startPlanners"); }
    void setNodeData(Node& node) override {
        onLoop("setNodeData");
        checkNode(node, "setNodeData");
        checkRegistered(node, "setNodeData");
    }
    void removeNode(Node& node) override {
        onLoop("removeNode");
        checkRegistered(node, "removeNode");
        registry_.erase(node.getAddress());
    }
    void discoverNewNodes() override {
        onLoop("discoverNewNodes");
        // One node answers the search; the Connector reports it to the server.
        Node found;
        DeviceType type;
        type.setType(5);
        type.setDataRange(8);
        type.setDataCount(2);
        found.setType(type);
        found.setChannelCount(2);
        found.setRandom(517);
        nodeMap map;
        map.emplace(found.getRandom(), found);
        requestNewAddresses(map);
    }
    void addressNewNodes(nodeMap& newNodes) override {
        onLoop("addressNewNodes");
        for (auto& [key, node] : newNodes) {
            FUZZ_CHECK(key == node.getAddress(), "addressNewNodes: entry keyed by something else than its address");
            checkNode(node, "addressNewNodes");
            // Every node takes its address; the bus master then files it with the Connector.
            registry_.emplace(node.getAddress(), node.getTable());
            addNodeToMap(node);
        }
    }

private:
    void onLoop(const char* what) const {
        FUZZ_CHECK(std::this_thread::get_id() == loop_, std::string(what) + " called off the receive thread");
    }
    void checkNode(const Node& node, const char* what) const {
        const DeviceType type = node.getType();
        FUZZ_CHECK(node.fitsOnBus(), std::string(what) + ": node does not fit a bus frame");
        FUZZ_CHECK(types_.count(type.getType()) == 1, std::string(what) + ": node of a type the bus side never got");
        const auto table = node.getTable();
        FUZZ_CHECK(table != nullptr, std::string(what) + ": node without a value table");
        FUZZ_CHECK(table->channels() == node.getChannelCount() && table->perChannel() == type.getDataCount(),
                   std::string(what) + ": value table of another shape than the node");
    }
    void checkRegistered(const Node& node, const char* what) const {
        const auto it = registry_.find(node.getAddress());
        FUZZ_CHECK(it != registry_.end(), std::string(what) + ": address " + std::to_string(node.getAddress()) +
                                              " is not in the registry");
        FUZZ_CHECK(it->second == node.getTable(), std::string(what) + ": node does not share the registry's value table");
    }

    std::thread::id loop_;
    std::set<unsigned int> types_;
    std::map<unsigned short, std::shared_ptr<ValueTable>> registry_;
};

// Checks what the gateway sent: zero-terminated compact JSON objects.
void checkSent(const std::vector<uint8_t>& sent, bool fullHandshake) {
    static const std::set<unsigned> gatewayCodes{1, 3, 5, 7, 8, 12, 17};
    static const unsigned handshake[] = {1, 12, 8};
    Json::CharReaderBuilder builder;
    builder["strictRoot"] = true;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::size_t start = 0;
    unsigned index = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if (sent[i] != 0) continue;
        const std::string text(sent.begin() + static_cast<long>(start), sent.begin() + static_cast<long>(i));
        start = i + 1;
        FUZZ_CHECK(!text.empty() && text.back() == '\n', "sent message does not end in a line feed: " + text);
        Json::Value value;
        std::string errors;
        FUZZ_CHECK(reader->parse(text.data(), text.data() + text.size(), &value, &errors) && value.isObject(),
                   "sent message is not one JSON object: " + text);
        FUZZ_CHECK(value["message_type"].isUInt() && gatewayCodes.count(value["message_type"].asUInt()) == 1,
                   "sent message of a code the gateway does not send: " + text);
        FUZZ_CHECK(text.find_first_of(" \t\r") == std::string::npos && text.find('\n') == text.size() - 1,
                   "sent message is not compact: " + text);
        if (index < 3) {
            FUZZ_CHECK(value["message_type"].asUInt() == handshake[index], "handshake requests out of order: " + text);
        }
        ++index;
    }
    FUZZ_CHECK(start == sent.size(), "the gateway sent an unterminated message");
    FUZZ_CHECK(index >= 3 || !fullHandshake, "the gateway did not send its three handshake requests");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;  // keeps the whole script inside the socket buffers
    const bool ownHandshake = size > 0 && data[0] == 'H';
    std::vector<uint8_t> script;
    if (ownHandshake) {
        script.assign(data + 1, data + size);
    } else {
        for (const char* answer : HANDSHAKE) {
            script.insert(script.end(), answer, answer + std::strlen(answer));
            script.push_back(0);
        }
        script.insert(script.end(), data, data + size);
    }

    LoopbackListener& listener = fuzzListener();
    TCPSocket socket(loopbackHost(), listener.port());
    FUZZ_CHECK(socket.init() == 1, "could not connect to the loopback listener");
    const int server = listener.acceptOne();
    FUZZ_CHECK(server >= 0, "accept failed");
    FUZZ_CHECK(writeAll(server, script.data(), script.size()), "writing the script failed");
    ::shutdown(server, SHUT_WR);

    {
        BusMasterStandIn busMaster(std::this_thread::get_id());
        Connector connector;
        busMaster.setConnector(&connector);
        connector.setDelegator(&busMaster);
        connector.setTCPSocket(socket);
        const int status = connector.run();
        FUZZ_CHECK(status != 0, "run() ended on a closed connection with status 0");
        // The destructor hands out what is queued, then joins the send thread.
    }
    ::shutdown(socket.descriptor(), SHUT_WR);
    checkSent(readToEnd(server), !ownHandshake);

    closeAbortively(server);
    closeAbortively(socket.descriptor());
    return 0;
}
