// The server's messages after the handshake, handed to the Connector's
// receive step in-process (no socket): the input is cut into messages by the
// stream's own framing (MessageFramer), and each message goes to
// Connector::handleReceived; an unfinished tail is no message. First the Connector learns three
// types and is given two nodes, as a server would do it. Behind the
// Delegator a stand-in for the bus master checks what reaches the bus side:
//   - every node handed over fits a bus frame, has a value table of its
//     channel count x values per channel, and a type the bus side was given;
//   - value sets and removals name only nodes the registry holds, and carry
//     the registry's own table (shared, never a stray copy).
// It answers a search with one found node and takes every address
// assignment, so the registry grows the way the real bus master makes it.
// Node lists come only in the handshake, which needs the socket: addNode is
// not expected here.
#include <map>
#include <set>

#include "Connector.h"
#include "FuzzSupport.h"
#include "MessageFramer.h"

namespace {

const char* const PRELUDE[] = {
    "{\"message_type\":10,\"type\":5,\"data_range\":8,\"data_count\":2,\"read_write\":1,\"latency\":0}",
    "{\"message_type\":10,\"type\":6,\"data_range\":16,\"data_count\":1,\"read_write\":0,\"latency\":1}",
    "{\"message_type\":10,\"type\":7,\"data_range\":1,\"data_count\":3,\"read_write\":2,\"latency\":0}",
    "{\"message_type\":4,\"nodes\":[{\"address\":21,\"random\":1,\"type\":5,\"channel_count\":2},"
    "{\"address\":22,\"random\":2,\"type\":6,\"channel_count\":1}]}",
};

class BusMasterStandIn : public Delegator {
public:
    void addType(DeviceType& type) override { types_.insert(type.getType()); }
    void setNodeData(Node& node) override { check(node, "setNodeData", true); }
    void removeNode(Node& node) override {
        check(node, "removeNode", true);
        registry_.erase(node.getAddress());
    }
    void discoverNewNodes() override {
        Node found;
        found.setChannelCount(2);
        found.setRandom(517);
        nodeMap map{{517, found}};
        requestNewAddresses(map);
    }
    void addressNewNodes(nodeMap& newNodes) override {
        for (auto& [key, node] : newNodes) {
            FUZZ_CHECK(key == node.getAddress(), "addressNewNodes: entry keyed by something else than its address");
            check(node, "addressNewNodes", false);
            registry_.emplace(node.getAddress(), node.getTable());
            addNodeToMap(node);
        }
    }

private:
    void check(const Node& node, const std::string& what, bool registered) const {
        const auto table = node.getTable();
        FUZZ_CHECK(node.fitsOnBus() && types_.count(node.getType().getType()) == 1, what + ": node unfit or of an unknown type");
        FUZZ_CHECK(table != nullptr && table->channels() == node.getChannelCount() &&
                       table->perChannel() == node.getType().getDataCount(),
                   what + ": no value table of the node's shape");
        const auto it = registry_.find(node.getAddress());
        FUZZ_CHECK(!registered || (it != registry_.end() && it->second == table),
                   what + ": node not registered, or not sharing the registry's value table");
    }

    std::set<unsigned int> types_;
    std::map<unsigned short, std::shared_ptr<ValueTable>> registry_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    BusMasterStandIn busMaster;
    Connector connector;
    busMaster.setConnector(&connector);
    connector.setDelegator(&busMaster);
    for (const char* message : PRELUDE) connector.handleReceived(message);
    MessageFramer framer;
    framer.append(reinterpret_cast<const char*>(data), size);
    for (std::string message; framer.next(message);) connector.handleReceived(message);
    return 0;
}
