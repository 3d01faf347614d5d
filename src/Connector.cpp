#include "Connector.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <system_error>
#include <type_traits>

#include <json/json.h>

#include "Console.h"
#include "Errors.h"
#include "JsonLexer.h"
#include "MessageName.h"

namespace {

// "DATA_SET (6)": how console lines name a message.
std::string label(unsigned int code) {
    return std::string(messageName(code)) + " (" + std::to_string(code) + ")";
}

void say(const std::string& line) { console::out(line); }

void dropped(unsigned int code, const std::string& problem) { say(label(code) + " dropped: " + problem); }

std::string quoted(const char* key) { return std::string("\"") + key + "\""; }

// Compact JSON with members in ascending key order, then a line feed: the
// same bytes as JsonCpp's FastWriter, without its deprecated class. A local
// builder per call keeps the threads that build messages apart.
std::string serialise(const Json::Value& message) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["commentStyle"] = "None";
    return Json::writeString(builder, message) + "\n";
}

// A member of an object, or nullptr when it is absent; null reads as absent.
const Json::Value* member(const Json::Value& object, const char* key) {
    if (!object.isObject()) return nullptr;
    const Json::Value* value = object.find(key, key + std::strlen(key));
    return (value != nullptr && !value->isNull()) ? value : nullptr;
}

// Why `value` cannot be read as a signed 32-bit number; empty when it can.
std::string intProblem(const Json::Value& value) {
    if (value.isInt()) return "";
    return value.isNumeric() ? "is not a signed 32-bit integer" : "is not a number";
}

// Why `value` cannot be read as an unsigned 32-bit number; empty when it can.
std::string uintProblem(const Json::Value& value) {
    if (value.isUInt()) return "";
    if (!value.isNumeric()) return "is not a number";
    return value.asDouble() < 0 ? "is negative" : "is not an unsigned 32-bit integer";
}

// Reads member `key` as a signed (int) or unsigned (unsigned int) 32-bit
// number. An absent optional member reads as 0; an absent required one, or
// one that is not such a number, sets `problem` and gives false.
template <typename T>
bool readNumber(const Json::Value& object, const char* key, bool required, T& out, std::string& problem) {
    constexpr bool isSigned = std::is_same<T, int>::value;
    static_assert(isSigned || std::is_same<T, unsigned int>::value, "32-bit int or unsigned int");
    const Json::Value* value = member(object, key);
    if (value == nullptr) {
        out = 0;
        if (required) problem = quoted(key) + " is missing";
        return !required;
    }
    const std::string why = isSigned ? intProblem(*value) : uintProblem(*value);
    if (!why.empty()) {
        problem = quoted(key) + " " + why;
        return false;
    }
    out = isSigned ? static_cast<T>(value->asInt()) : static_cast<T>(value->asUInt());
    return true;
}

bool readInt(const Json::Value& object, const char* key, bool required, int& out, std::string& problem) {
    return readNumber(object, key, required, out, problem);
}

bool readUInt(const Json::Value& object, const char* key, bool required, unsigned int& out,
              std::string& problem) {
    return readNumber(object, key, required, out, problem);
}

// A type object (type list entry, or REGISTER_NEW_TYPE at the top level).
// Every field is required; each is kept in its width, modulo 2^width.
bool readType(const Json::Value& object, DeviceType& type, int& code, std::string& problem) {
    int range = 0, count = 0, readWrite = 0, latency = 0;
    if (!readInt(object, "type", true, code, problem) || !readInt(object, "data_range", true, range, problem) ||
        !readInt(object, "data_count", true, count, problem) ||
        !readInt(object, "read_write", true, readWrite, problem) ||
        !readInt(object, "latency", true, latency, problem)) {
        return false;
    }
    type.setType(static_cast<unsigned int>(code));
    type.setDataRange(static_cast<unsigned char>(range));
    type.setDataCount(static_cast<unsigned char>(count));
    type.setReadWrite(static_cast<unsigned char>(readWrite));
    type.setLatency(static_cast<unsigned char>(latency));
    return true;
}

// Shows the start of a rejected text on the console, never a whole 100 kB,
// on one line: the line feed that ends a // comment shows as a blank.
std::string excerpt(const std::string& text) {
    const std::size_t limit = 60;
    std::string shown = text.size() <= limit ? text : text.substr(0, limit) + "...";
    std::replace(shown.begin(), shown.end(), '\n', ' ');
    return shown;
}

}  // namespace

Connector::Connector() = default;

Connector::~Connector() {
    // Items already queued still go out before the send thread stops.
    messageQueue.close();
    if (sender.joinable()) sender.join();
}

void Connector::setDelegator(Delegator* delegator) { pDelegator = delegator; }

void Connector::setTCPSocket(TCPSocket value) { socket = value; }

void Connector::setView(GatewayView* observer) {
    view = observer;
    if (view == nullptr) return;
    view->watchSendQueue([this] {
        return messageQueue.withStore([](SendBacklog& b) { return GatewayView::SendQueue{b.bytes(), b.droppedTotal()}; });
    });
}

constexpr std::chrono::milliseconds Connector::STALL_LIMIT;

void Connector::setSendLimits(std::size_t queueBound, std::chrono::milliseconds limit) {
    messageQueue.withStore([queueBound](SendBacklog& backlog) { backlog.setBound(queueBound); });
    stallLimit = limit;
}

int Connector::run() {
    if (sender.joinable()) {
        console::err("Connector::run called twice");
        return 1;
    }
    // A connection that ends during the handshake ends the gateway before
    // the bus is touched.
    if (!step(REQUEST_SUB_ADDRESS, RESPONSE_SUB_ADDRESS, ERROR_JSON_NOT_VALID, &Connector::takeAddress) ||
        !step(REQUEST_TYPE_LIST, RESPONSE_TYPE_LIST, ERROR_JSON_NOT_VALID, &Connector::takeTypes) ||
        !step(REQUEST_NODE_LIST, RESPONSE_NODE_LIST, ERROR_PACKET_NONSENSE, &Connector::takeNodes)) {
        return 1;
    }
    // The send thread gets its own copy: copies share the connection, and the
    // receiving copy keeps the bytes received ahead to itself.
    sendSocket = socket;
    watchStalls();
    sender = std::thread(&Connector::sendThread, this);
    pDelegator->startPlanners();
    receiveThread();
    return 1;
}

void Connector::start() {
    // The send thread and the bus thread still run on objects in main's frame,
    // so the process ends without unwinding.
    console::endProcess(run());
}

// ---- Handshake --------------------------------------------------------------

Connector::Answer Connector::ask(unsigned int request, unsigned int answerType, unsigned char errorIfNotJson,
                                 Json::Value& answer) {
    Json::Value message;
    message["message_type"] = request;
    const std::string text = serialise(message);
    if (request == REQUEST_SUB_ADDRESS) say("Zadost o adresu " + text);
    socket.sendData(text);
    if (view != nullptr) view->serverOut(text);

    std::string raw, received;
    if (!receiveText(raw)) return Answer::Ended;
    if (!parse(raw, answer, received)) {
        dropped(answerType, "not valid JSON: " + excerpt(received));
        logError(errorIfNotJson);
        return Answer::Unusable;
    }
    if (!answer.isObject()) {
        dropped(answerType, "not a JSON object");
        return Answer::Unusable;
    }
    return Answer::Object;
}

bool Connector::step(unsigned int request, unsigned int answerType, unsigned char errorIfNotJson,
                     void (Connector::*take)(const Json::Value&)) {
    Json::Value answer;
    const Answer got = ask(request, answerType, errorIfNotJson, answer);
    if (got == Answer::Object) (this->*take)(answer);
    return got != Answer::Ended;
}

void Connector::takeAddress(const Json::Value& answer) {
    int value = 0;
    std::string problem;
    if (!readInt(answer, "address", true, value, problem)) {
        dropped(RESPONSE_SUB_ADDRESS, problem);
    } else {
        address = static_cast<unsigned char>(value);
        pDelegator->setAddress(address);
    }
}

void Connector::takeTypes(const Json::Value& answer) {
    const Json::Value* list = member(answer, "types");
    if (list == nullptr) return;  // no types
    if (!list->isArray()) {
        dropped(RESPONSE_TYPE_LIST, "\"types\" is not an array");
        return;
    }
    // A bad entry costs only itself: the others are taken, in order.
    for (Json::ArrayIndex i = 0; i < list->size(); ++i) {
        const Json::Value& entry = (*list)[i];
        DeviceType type;
        int code = 0;
        std::string problem;
        if (!entry.isObject()) {
            problem = "not an object";
        } else {
            readType(entry, type, code, problem);
        }
        if (!problem.empty()) {
            say(label(RESPONSE_TYPE_LIST) + ": type entry " + std::to_string(i) + " skipped: " + problem);
            continue;
        }
        types.emplace(code, type);  // a code given twice keeps its first definition
        pDelegator->addType(type);
    }
}

void Connector::takeNodes(const Json::Value& answer) {
    std::vector<NodeEntry> entries;
    if (!readNodeEntries(RESPONSE_NODE_LIST, answer, entries)) return;
    for (NodeEntry& entry : entries) {
        if (!taken(RESPONSE_NODE_LIST, entry)) continue;
        reportIgnored(RESPONSE_NODE_LIST, entry.node.getAddress(), entry.plan);
        setData(entry.node, entry.plan);
        nodes.emplace(entry.node.getAddress(), entry.node);
        pDelegator->addNode(entry.node);
    }
}

bool Connector::readNodeEntries(unsigned int code, const Json::Value& message, std::vector<NodeEntry>& entries) {
    const bool nodeList = code == RESPONSE_NODE_LIST;  // otherwise NEW_ADDRESSES
    const Json::Value* list = member(message, "nodes");
    if (list == nullptr) return true;  // no nodes
    if (!list->isArray()) {
        dropped(code, "\"nodes\" is not an array");
        return false;
    }
    // A bad entry costs only itself: it is kept with the reason it is
    // skipped, and the others are taken.
    for (Json::ArrayIndex i = 0; i < list->size(); ++i) {
        const Json::Value& item = (*list)[i];
        NodeEntry entry;
        std::string where = "node entry " + std::to_string(i);
        int nodeAddress = 0, channels = 0, typeCode = 0, random = 0;
        std::string problem;
        if (!item.isObject()) {
            problem = "not an object";
        } else if (readInt(item, "address", true, nodeAddress, problem)) {
            where += " (address " + std::to_string(static_cast<unsigned short>(nodeAddress)) + ")";
            if (readInt(item, "channel_count", true, channels, problem) &&
                readInt(item, "type", true, typeCode, problem) &&
                (nodeList || readInt(item, "random", true, random, problem))) {
                problem = checkNode(item, nodeList, typeCode, channels, entry.plan);
            }
        }
        entry.skipped = problem.empty() ? "" : where + " skipped: " + problem;
        Node& node = entry.node;
        node.setAddress(static_cast<unsigned short>(nodeAddress));
        node.setChannelCount(channels);
        node.setWired(true);
        if (!nodeList) node.setRandom(static_cast<unsigned short>(random));
        if (problem.empty()) {
            node.setType(types.at(typeCode));
            node.makeData();
        }
        entries.push_back(std::move(entry));
    }
    return true;
}

std::string Connector::checkNode(const Json::Value& item, bool nodeList, int typeCode, int channels,
                                 DataPlan& plan) const {
    const auto known = types.find(typeCode);
    if (known == types.end()) return "unknown type " + std::to_string(typeCode);
    if (channels < 0 || channels > 255) return "channel count " + std::to_string(channels) + " is outside 0 to 255";
    if (!Node::fitsOnBus(channels, known->second)) {
        const long long bits =
            static_cast<long long>(channels) * known->second.getDataCount() * known->second.getDataRange();
        return "payload of " + std::to_string(bits) + " bits exceeds 255";
    }
    std::string problem;
    if (nodeList) {
        readData(member(item, "data"), static_cast<unsigned int>(channels), known->second.getDataCount(), plan, problem);
    }
    return problem;
}

// ---- Reading and dispatching ------------------------------------------------

bool Connector::receiveText(std::string& raw) {
    if (socket.receiveData(raw)) {
        if (view != nullptr) view->serverIn(raw);
        return true;
    }
    if (socket.closedByPeer()) {
        console::err("Server closed the connection");
    } else {
        console::err("Connection to the server failed: " + std::system_category().message(socket.lastError()));
    }
    return false;
}

bool Connector::parse(const std::string& raw, Json::Value& message, std::string& text) {
    text = JsonLexer::clean(raw);
    message = Json::Value();
    try {
        // Anything after the first complete value is not looked at.
        return reader.parse(text.data(), text.data() + text.size(), message, false);
    } catch (const Json::Exception&) {
        // Nesting deeper than the reader's stack limit (1000), its safety bound.
        message = Json::Value();
        return false;
    }
}

void Connector::receiveThread() {
    std::string raw;
    while (receiveText(raw)) handleReceived(raw);
}

void Connector::handleReceived(const std::string& raw) {
    Json::Value message;
    std::string text;
    if (!parse(raw, message, text)) {
        say("Server message dropped: not valid JSON: " + excerpt(text));
        return;
    }
    const Json::Value* type = member(message, "message_type");
    if (type == nullptr || !type->isInt()) {
        say("Server message dropped: no numeric \"message_type\": " + excerpt(text));
        return;
    }
    handle(type->asInt(), message);
}

void Connector::handle(int code, const Json::Value& message) {
    if (code < 0) return;  // no such code: ignored like any other unknown one
    switch (static_cast<unsigned int>(code)) {
    case DATA_SET: onDataSet(message); break;
    case REGISTER_NEW_TYPE: onRegisterType(message); break;
    case DISCOVER_NEW_NODES: onDiscover(); break;
    case NEW_ADDRESSES: onNewAddresses(message); break;
    case NODE_REMOVED: onNodeRemoved(message); break;
    case PING_REQUEST: {
        Json::Value answer;
        answer["message_type"] = PING_RESPONSE;
        queue(answer);
        break;
    }
    default: break;  // handshake answers and unknown codes need nothing
    }
}

void Connector::onDataSet(const Json::Value& message) {
    const Node* known = addressedNode(DATA_SET, message);
    if (known == nullptr) return;
    Node node = *known;  // shares the registry's value table
    const unsigned short nodeAddress = node.getAddress();
    std::string problem;
    const std::shared_ptr<ValueTable> table = node.getTable();
    const unsigned int channels = table ? std::min(node.getChannelCount(), table->channels()) : 0;
    const unsigned int perChannel = table ? table->perChannel() : 0;
    DataPlan plan;
    if (!readData(member(message, "data"), channels, perChannel, plan, problem)) {
        dropped(DATA_SET, problem);
        return;
    }
    reportIgnored(DATA_SET, nodeAddress, plan);
    // Written at once: a read-back of the node's old values cannot undo them
    // (see ValueTable); the bus master then files the record.
    setData(node, plan);
    pDelegator->setNodeData(node);
}

void Connector::onRegisterType(const Json::Value& message) {
    DeviceType type;
    int code = 0;
    std::string problem;
    if (!readType(message, type, code, problem)) {
        dropped(REGISTER_NEW_TYPE, problem);
        return;
    }
    types.emplace(code, type);  // a code already known keeps its definition
    // The bus master reports the type of nodes found later from its own map.
    pDelegator->addType(type);
}

void Connector::onDiscover() {
    say("Prijat discovery packet");
    newNodes.clear();
    pDelegator->discoverNewNodes();  // the whole search runs on this thread
}

void Connector::onNewAddresses(const Json::Value& message) {
    std::vector<NodeEntry> entries;
    if (!readNodeEntries(NEW_ADDRESSES, message, entries)) return;
    for (NodeEntry& entry : entries) {
        if (taken(NEW_ADDRESSES, entry)) newNodes.emplace(entry.node.getAddress(), entry.node);
    }
    pDelegator->addressNewNodes(newNodes);
}

void Connector::onNodeRemoved(const Json::Value& message) {
    const Node* known = addressedNode(NODE_REMOVED, message);
    if (known == nullptr) return;
    Node node = *known;
    say("Remove node with id " + std::to_string(node.getAddress()) + " and type" +
        std::to_string(node.getType().getType()));
    // The bus master lets go of the node before the registry forgets it.
    pDelegator->removeNode(node);
    nodes.erase(node.getAddress());
}

const Node* Connector::addressedNode(unsigned int code, const Json::Value& message) const {
    // DATA_SET requires a signed address; NODE_REMOVED takes an unsigned one, 0 when absent.
    int signedValue = 0;
    unsigned int value = 0;
    std::string problem;
    if (code == DATA_SET ? !readInt(message, "address", true, signedValue, problem)
                         : !readUInt(message, "address", false, value, problem)) {
        dropped(code, problem);
        return nullptr;
    }
    const auto nodeAddress = static_cast<unsigned short>(code == DATA_SET ? static_cast<unsigned int>(signedValue) : value);
    const auto found = nodes.find(nodeAddress);
    if (found != nodes.end()) return &found->second;
    dropped(code, "no node with address " + std::to_string(nodeAddress));
    return nullptr;
}

bool Connector::taken(unsigned int code, const NodeEntry& entry) {
    if (entry.skipped.empty()) return true;
    say(label(code) + ": " + entry.skipped);
    return false;
}

void Connector::reportIgnored(unsigned int code, unsigned short nodeAddress, const DataPlan& plan) {
    for (unsigned int channel : plan.ignoredChannels) {
        say(label(code) + ": node " + std::to_string(nodeAddress) + " has no channel " + std::to_string(channel) +
            ", its values ignored");
    }
}

// ---- Values -----------------------------------------------------------------

bool Connector::readData(const Json::Value* data, unsigned int channels, unsigned int perChannel, DataPlan& plan,
                         std::string& problem) {
    if (data != nullptr && !data->isArray()) {
        problem = "\"data\" is not an array";
        return false;
    }
    // Entries are taken by position up to the channel count; a missing entry
    // stands for channel 0 with every value 0, as does a missing member.
    for (unsigned int i = 0; i < channels; ++i) {
        const Json::Value& entry =
            (data != nullptr && i < data->size()) ? (*data)[static_cast<Json::ArrayIndex>(i)] : Json::Value::nullSingleton();
        const std::string where = "\"data\" entry " + std::to_string(i);
        DataPlan::Row row{0, std::vector<unsigned int>(perChannel, 0u)};
        if (!entry.isNull()) {
            if (!entry.isObject()) {
                problem = where + " is not an object";
                return false;
            }
            if (!readUInt(entry, "channel", false, row.channel, problem)) {
                problem = where + ": " + problem;
                return false;
            }
            const Json::Value* values = member(entry, "data");
            if (values != nullptr && !values->isArray()) {
                problem = where + ": \"data\" is not an array";
                return false;
            }
            for (unsigned int j = 0; values != nullptr && j < perChannel && j < values->size(); ++j) {
                const Json::Value& item = (*values)[static_cast<Json::ArrayIndex>(j)];
                if (item.isNull()) continue;
                const std::string why = uintProblem(item);
                if (!why.empty()) {
                    problem = where + ": value " + std::to_string(j) + " " + why;
                    return false;
                }
                row.values[j] = item.asUInt();
            }
        }
        if (row.channel >= channels) {
            plan.ignoredChannels.push_back(row.channel);
        } else {
            plan.rows.push_back(std::move(row));
        }
    }
    return true;
}

void Connector::setData(Node& node, const DataPlan& plan) {
    const std::shared_ptr<ValueTable> table = node.getTable();
    if (!table || plan.rows.empty()) return;
    table->write([&plan](unsigned int** target) {
        for (const DataPlan::Row& row : plan.rows) std::copy(row.values.begin(), row.values.end(), target[row.channel]);
    });
}

// ---- Sending ----------------------------------------------------------------

void Connector::watchStalls() {
    const int fd = sendSocket.descriptor();
    // Data the server neither acknowledges nor makes room for (a zero
    // window) for this long ends the connection with ETIMEDOUT: the receive
    // loop then ends the gateway as on any lost connection. The kernel also
    // takes this limit for unanswered keep-alive probes: at 60 s an idle link
    // that is gone still ends the gateway after about a minute.
    const auto limit = static_cast<unsigned int>(stallLimit.count());
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit, sizeof limit);
    // Where the kernel does not apply that to a zero window, a send that has
    // made no progress for longer still fails, and the send thread gives the
    // connection up itself.
    const auto fallback = std::chrono::duration_cast<std::chrono::microseconds>(sendGivesUp());
    timeval wait{};
    wait.tv_sec = static_cast<time_t>(fallback.count() / 1000000);
    wait.tv_usec = static_cast<suseconds_t>(fallback.count() % 1000000);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
}

std::chrono::milliseconds Connector::sendGivesUp() const {
    // Well after the kernel's own limit, which comes first where it applies.
    return stallLimit + std::max(stallLimit / 2, std::chrono::milliseconds(30000));
}

void Connector::sendThread() {
    SendBacklog::Item item;
    while (messageQueue.pop(item)) {
        const auto began = std::chrono::steady_clock::now();
        // A failed send is reported by the socket; the text is not retried.
        if (sendSocket.sendData(item.text)) {
            if (view != nullptr) view->serverOut(item.text);
            continue;
        }
        const auto waited = std::chrono::steady_clock::now() - began;
        // The kernel's limit (ETIMEDOUT) counts from when the server stopped
        // taking data, which may be long before this send began.
        if (waited < stallLimit && sendSocket.sendError() != ETIMEDOUT) continue;
        // The server took nothing for the stall limit: the connection is
        // lost. When the kernel has not ended it already, end it here; the
        // receive loop then ends the gateway with its own line.
        console::err("Server took nothing for " + std::to_string(stallLimit.count()) + " ms, connection given up");
        shutdown(sendSocket.descriptor(), SHUT_RDWR);
        break;
    }
    // Nobody takes messages any more: producers must not wait for room.
    messageQueue.close();
}

bool Connector::waitingForRoom() const { return messageQueue.producerWaiting(); }

void Connector::queue(const Json::Value& message, SendBacklog::Kind kind, unsigned short node) {
    messageQueue.push(SendBacklog::Item{serialise(message), kind, node});
}

void Connector::updateNodeData(Node& node) {
    Json::Value message;
    message["address"] = static_cast<Json::UInt>(node.getAddress());
    message["data"] = Json::Value();  // null unless a channel is appended
    if (const std::shared_ptr<ValueTable> table = node.getTable()) {
        // One snapshot: the report never mixes values of two bus replies.
        const std::vector<unsigned int> values = table->snapshot();
        const unsigned int perChannel = table->perChannel();
        for (unsigned int channel = 0; channel < table->channels(); ++channel) {
            Json::Value entry;
            entry["channel"] = channel;
            entry["data"] = Json::Value();
            for (unsigned int j = 0; j < perChannel; ++j) {
                entry["data"].append(values[static_cast<std::size_t>(channel) * perChannel + j]);
            }
            message["data"].append(entry);
        }
    }
    message["message_type"] = DATA_GET;
    queue(message, SendBacklog::Kind::values, node.getAddress());
}

void Connector::requestNewAddresses(nodeMap& found) {
    Json::Value message;
    message["message_type"] = NEW_NODES_FOUND;
    message["nodes"] = Json::Value();
    for (const auto& [key, node] : found) {
        Json::Value entry;
        entry["random"] = static_cast<Json::UInt>(node.getRandom());
        entry["type"] = node.getType().getType();
        entry["channel_count"] = node.getChannelCount();
        message["nodes"].append(entry);
    }
    queue(message);
}

void Connector::logError(unsigned char error) {
    Json::Value message;
    message["message_type"] = ERROR;
    message["error"] = static_cast<Json::UInt>(error);
    queue(message, SendBacklog::Kind::error);
}

void Connector::logError(unsigned char error, unsigned short nodeAddress) {
    Json::Value message;
    message["message_type"] = ERROR;
    message["error"] = static_cast<Json::UInt>(error);
    message["node_address"] = static_cast<Json::UInt>(nodeAddress);
    queue(message, SendBacklog::Kind::error);
}

void Connector::addNodeToMap(Node& node) { nodes.emplace(node.getAddress(), node); }

