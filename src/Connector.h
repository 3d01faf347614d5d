#ifndef PELKO_CONNECTOR_H
#define PELKO_CONNECTOR_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "ConditionQueue.h"
#include "Delegator.h"
#include "GatewayView.h"
#include "Node.h"
#include "SendBacklog.h"
#include "TCPSocket.h"

// The gateway's server side: the start-up handshake, the send queue and its
// thread, and the receive loop that hands the server's commands to the bus
// master through the Delegator.
class Connector {
public:
    static constexpr unsigned int REQUEST_SUB_ADDRESS = 1;
    static constexpr unsigned int RESPONSE_SUB_ADDRESS = 2;
    static constexpr unsigned int NEW_NODES_FOUND = 3;
    static constexpr unsigned int NEW_ADDRESSES = 4;
    static constexpr unsigned int DATA_GET = 5;
    static constexpr unsigned int DATA_SET = 6;
    static constexpr unsigned int ERROR = 7;
    static constexpr unsigned int REQUEST_NODE_LIST = 8;
    static constexpr unsigned int RESPONSE_NODE_LIST = 9;
    static constexpr unsigned int REGISTER_NEW_TYPE = 10;
    static constexpr unsigned int NODE_REMOVED = 11;
    static constexpr unsigned int REQUEST_TYPE_LIST = 12;
    static constexpr unsigned int RESPONSE_TYPE_LIST = 13;
    static constexpr unsigned int DISCOVER_NEW_NODES = 15;
    static constexpr unsigned int PING_REQUEST = 16;
    static constexpr unsigned int PING_RESPONSE = 17;

    Connector();
    Connector(const Connector&) = delete;
    Connector& operator=(const Connector&) = delete;
    // Stops and joins the send thread (only tests ever get here).
    virtual ~Connector();

    // Wiring, before run(): the mediator to the bus master, and a connected socket.
    void setDelegator(Delegator* delegator);
    void setTCPSocket(TCPSocket socket);
    // The operator's view: sees the messages and the send queue.
    void setView(GatewayView* view);

    // A server that takes nothing at all for this long is lost: the kernel
    // ends the connection (TCP_USER_TIMEOUT); where it does not, the send
    // thread gives it up itself once one send has waited sendGivesUp().
    static constexpr std::chrono::milliseconds STALL_LIMIT{60000};
    // Test seam, before run(): a smaller queue bound and stall limit.
    void setSendLimits(std::size_t queueBound, std::chrono::milliseconds stallLimit);

    // Handshake, send thread, bus master start, then the receive loop.
    // Returns only when the connection to the server is lost, after one line
    // on standard error, with the exit status the process should end with.
    // Call once.
    int run();
    // run(), then ends the process with its status. Never returns.
    [[noreturn]] void start();
    // True while a message waits for room in the send queue (a stalled
    // server): a wait the stall limit ends, not a hang. Safe from any thread.
    bool waitingForRoom() const;

    // Builders: each builds, serialises and queues one message as one step;
    // safe from any thread, never waits for the network.
    void updateNodeData(Node& node);                               // DATA_GET
    void requestNewAddresses(nodeMap& found);                      // NEW_NODES_FOUND
    void logError(unsigned char error);                            // ERROR
    void logError(unsigned char error, unsigned short nodeAddress);  // ERROR with node
    void addNodeToMap(Node& node);                                 // registry only, sends nothing

    // One message text as received, without its zero byte: cleaned, parsed
    // and handled as the receive loop does it. The loop's own step, public so
    // that the fuzz target can feed messages without a socket.
    void handleReceived(const std::string& raw);

private:
    // Values of one "data" array, checked and ready to be written in one step.
    struct DataPlan {
        struct Row {
            unsigned int channel;
            std::vector<unsigned int> values;
        };
        std::vector<Row> rows;
        std::vector<unsigned int> ignoredChannels;  // at or above the channel count
    };

    // One handshake exchange: sends the request and reads the answer. An
    // answer that is not JSON is reported and queues `errorIfNotJson`;
    // Unusable and Ended mean the step ends (Ended: the connection is gone).
    enum class Answer { Object, Unusable, Ended };
    Answer ask(unsigned int request, unsigned int answerType, unsigned char errorIfNotJson, Json::Value& answer);
    // One handshake step: asks, and hands an object answer to `take`.
    // False when the connection ended.
    bool step(unsigned int request, unsigned int answerType, unsigned char errorIfNotJson,
              void (Connector::*take)(const Json::Value&));
    void takeAddress(const Json::Value& answer);
    void takeTypes(const Json::Value& answer);
    void takeNodes(const Json::Value& answer);
    void sendThread();
    // Reads and handles messages until the connection ends.
    void receiveThread();
    // The next message text; false when the connection ended (after one line
    // on standard error saying how).
    bool receiveText(std::string& raw);
    // Cleans `raw` into `text` and parses it; false when it is not JSON.
    bool parse(const std::string& raw, Json::Value& message, std::string& text);
    void handle(int code, const Json::Value& message);

    void onDataSet(const Json::Value& message);
    void onRegisterType(const Json::Value& message);
    void onDiscover();
    void onNewAddresses(const Json::Value& message);
    void onNodeRemoved(const Json::Value& message);

    // One entry of a node list or of NEW_ADDRESSES, checked; `skipped` says
    // why it is not taken (empty when it is).
    struct NodeEntry {
        Node node;
        DataPlan plan;
        std::string skipped;
    };
    // Checks the "nodes" array of message `code` against the known types,
    // entry by entry. False after one console line when "nodes" is no list.
    bool readNodeEntries(unsigned int code, const Json::Value& message, std::vector<NodeEntry>& entries);
    // Why a node entry of readable numbers cannot be taken (empty when it
    // can); a node list's initial values go into `plan`.
    std::string checkNode(const Json::Value& item, bool nodeList, int typeCode, int channels, DataPlan& plan) const;
    // The registry's node named by the "address" of message `code`, kept in
    // 16 bits; nullptr after a line dropping the message.
    const Node* addressedNode(unsigned int code, const Json::Value& message) const;
    // False after a line for message `code` when the entry was skipped.
    static bool taken(unsigned int code, const NodeEntry& entry);
    // One line per channel of the plan that the node lacks.
    static void reportIgnored(unsigned int code, unsigned short nodeAddress, const DataPlan& plan);

    // Checks a "data" array for a node of `channels` channels of `perChannel`
    // values; false with `problem` set when a value is unusable.
    static bool readData(const Json::Value* data, unsigned int channels, unsigned int perChannel,
                         DataPlan& plan, std::string& problem);
    // Writes checked values into the node's table as the server's (ValueTable::write).
    static void setData(Node& node, const DataPlan& plan);
    // Serialises and queues one finished message.
    void queue(const Json::Value& message, SendBacklog::Kind kind = SendBacklog::Kind::answer,
               unsigned short node = 0);
    // Sets the stall limits on the connection (before the send thread starts).
    void watchStalls();
    std::chrono::milliseconds sendGivesUp() const;

    unsigned char address = 0;
    ConditionQueue<SendBacklog::Item, SendBacklog> messageQueue;
    std::chrono::milliseconds stallLimit = STALL_LIMIT;
    TCPSocket socket;      // receiving copy (owns the bytes received ahead)
    TCPSocket sendSocket;  // the send thread's copy of the same connection
    nodeMap nodes;         // registry of known nodes, by address
    nodeMap newNodes;      // nodes handed addresses since the last search
    typeMap types;
    Delegator* pDelegator = nullptr;
    GatewayView* view = nullptr;
    // The receiving thread's. Every feature on (comments, any value at the
    // root), comments not collected. Unlike the builder-made readers it
    // refuses trailing commas and a '+' before a number, as it should.
    Json::Reader reader{Json::Features::all()};
    std::thread sender;
};

#endif
