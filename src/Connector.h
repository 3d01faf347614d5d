#ifndef PELKO_CONNECTOR_H
#define PELKO_CONNECTOR_H

#include <string>
#include <thread>

#include "ConditionQueue.h"
#include "Delegator.h"
#include "Node.h"
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

    void setDelegator(Delegator* delegator);
    void setTCPSocket(TCPSocket socket);

    // Handshake, send thread, bus master start, then the receive loop.
    // Returns only when the connection to the server is lost, after one line
    // on standard error, with the exit status the process should end with.
    int run();
    // run(), then ends the process with its status. Never returns.
    [[noreturn]] void start();

    // Builders: each builds, serialises and queues one message as one step;
    // safe from any thread, never waits for the network.
    void updateNodeData(Node& node);                               // DATA_GET
    void requestNewAddresses(nodeMap& found);                      // NEW_NODES_FOUND
    void logError(unsigned char error);                            // ERROR
    void logError(unsigned char error, unsigned short nodeAddress);  // ERROR with node
    void addNodeToMap(Node& node);                                 // registry only, sends nothing

private:
    // (private section owned by the Connector's implementation)
    void getAddress();
    void getTypes();
    void getNodes();
    void sendThread();
    bool receiveThread();
    static std::string clearChars(const std::string& text);

    unsigned char address = 0;
    ConditionQueue<std::string> messageQueue;
    TCPSocket socket;
    nodeMap nodes;
    nodeMap newNodes;
    typeMap types;
    Delegator* pDelegator = nullptr;
    std::thread sender;
};

#endif
