#include "GatewayView.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "Message.h"

namespace {

// Passes counted over at least this long make the rate.
constexpr std::chrono::seconds RATE_SPAN{5};

const char* kindOf(const DeviceType& type) {
    if (type.getLatency() == DeviceType::DELAYED) return "delayed";
    switch (type.getReadWrite()) {
        case DeviceType::R: return "R";
        case DeviceType::W: return "W";
        case DeviceType::RW: return "RW";
        default: return "?";
    }
}

}  // namespace

GatewayView::GatewayView() : older{Clock::now(), 0}, newer(older) {}

void GatewayView::watchHealth(const NodeHealth* counters) {
    std::lock_guard<std::mutex> guard(mutex);
    health = counters;
}

void GatewayView::watchSendQueue(std::function<SendQueue()> look) {
    std::lock_guard<std::mutex> guard(mutex);
    sendQueue = std::move(look);
}

void GatewayView::serverUp() {
    std::lock_guard<std::mutex> guard(mutex);
    serverConnected = true;
    serverSince = WallClock::now();
    serverSinceSteady = Clock::now();
}

void GatewayView::serverIn(const std::string& text) {
    ++messagesIn;
    if (traces.load(std::memory_order_relaxed) > 0) traceText(TraceEvent::Kind::serverIn, text);
}

void GatewayView::serverOut(const std::string& text) {
    ++messagesOut;
    if (traces.load(std::memory_order_relaxed) > 0) traceText(TraceEvent::Kind::serverOut, text);
}

void GatewayView::nodeFiled(const Node& record) {
    std::lock_guard<std::mutex> guard(mutex);
    nodes.insert_or_assign(record.getAddress(), record);
    removed.erase(record.getAddress());
}

void GatewayView::nodeRemoved(unsigned short address) {
    std::lock_guard<std::mutex> guard(mutex);
    if (nodes.count(address) > 0) removed[address] = true;
}

void GatewayView::busStarted(bool isRunning) {
    std::lock_guard<std::mutex> guard(mutex);
    running = isRunning;
}

void GatewayView::lineLost(bool isLost) {
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (isLost && !lost) ++losses;
        lost = isLost;
    }
    if (traces.load(std::memory_order_relaxed) > 0) {
        TraceEvent event;
        event.kind = isLost ? TraceEvent::Kind::lineLost : TraceEvent::Kind::lineBack;
        event.at = WallClock::now();
        publish(event);
    }
}

bool GatewayView::node(unsigned short address, Node& out) const {
    std::lock_guard<std::mutex> guard(mutex);
    const auto found = nodes.find(address);
    if (found == nodes.end()) return false;
    out = found->second;
    return true;
}

GatewayView::Snapshot GatewayView::snapshot() {
    Snapshot s;
    s.at = Clock::now();
    s.wallAt = WallClock::now();
    s.messagesIn = messagesIn.load();
    s.messagesOut = messagesOut.load();
    std::map<unsigned short, Node> filed;
    std::function<SendQueue()> look;
    const NodeHealth* counters;
    {
        std::lock_guard<std::mutex> guard(mutex);
        s.serverUp = serverConnected;
        s.serverSince = serverSince;
        s.serverSinceSteady = serverSinceSteady;
        s.busStarted = running;
        s.lineLost = lost;
        s.lineLosses = losses;
        filed = nodes;
        look = sendQueue;
        counters = health;
    }
    // The counters' and the send queue's own locks are taken without ours.
    if (look) s.sendQueue = look();
    std::vector<NodeHealth::NodeStats> stats;
    if (counters != nullptr) {
        s.bus = counters->busStats();
        stats = counters->nodeStats();
    }
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (s.at - newer.at >= RATE_SPAN) {
            older = newer;
            newer = Sample{s.at, s.bus.passes};
        }
        const double seconds = std::chrono::duration<double>(s.at - older.at).count();
        s.passRate = seconds > 0 ? static_cast<double>(s.bus.passes - older.passes) / seconds : 0.0;
        for (const auto& entry : filed) {
            NodeInfo info;
            info.address = entry.first;
            info.type = entry.second.getType().getType();
            info.kind = kindOf(entry.second.getType());
            info.removed = removed.count(entry.first) > 0;
            if (const std::shared_ptr<ValueTable> table = entry.second.getTable()) {
                const std::vector<unsigned int> flat = table->snapshot();
                for (unsigned int c = 0; c < table->channels(); ++c) {
                    const auto from = flat.begin() + static_cast<long>(c) * static_cast<long>(table->perChannel());
                    info.values.emplace_back(from, from + table->perChannel());
                }
            }
            s.nodes.push_back(std::move(info));
        }
    }
    for (const NodeHealth::NodeStats& stat : stats) {
        const auto at = std::find_if(s.nodes.begin(), s.nodes.end(),
                                     [&stat](const NodeInfo& n) { return n.address == stat.address; });
        if (at == s.nodes.end()) continue;  // polled, then dropped from the registry
        at->polled = true;
        at->health = stat;
    }
    return s;
}

std::shared_ptr<TraceBuffer> GatewayView::openTrace(std::set<unsigned short> only, bool server) {
    std::lock_guard<std::mutex> guard(traceMutex);
    for (auto& slot : subscribers) {
        if (slot) continue;
        slot = std::make_shared<TraceBuffer>(std::move(only), server);
        ++traces;
        return slot;
    }
    return nullptr;
}

void GatewayView::closeTrace(const std::shared_ptr<TraceBuffer>& trace) {
    std::lock_guard<std::mutex> guard(traceMutex);
    for (auto& slot : subscribers) {
        if (!trace || slot != trace) continue;
        slot.reset();
        --traces;
    }
}

void GatewayView::traceBus(TraceEvent::Kind kind, const unsigned char* bytes, int length, long nodeAddress,
                           std::int64_t replyUs) {
    TraceEvent event;
    event.kind = kind;
    event.at = WallClock::now();
    event.length = static_cast<std::size_t>(std::max(0, length));
    std::memcpy(event.bytes.data(), bytes, std::min(event.length, TraceEvent::MAX_BYTES));
    if (nodeAddress >= 0) {
        event.hasNode = true;
        event.node = static_cast<unsigned short>(nodeAddress);
    } else if (length >= 5 && (bytes[2] == Message::VALUE_REQUEST || bytes[2] == Message::SET ||
                               bytes[2] == Message::MEASURE)) {
        // Requests, set and measure frames name their node at offsets 3 and 4.
        event.hasNode = true;
        event.node = static_cast<unsigned short>(bytes[3] << 8 | bytes[4]);
    } else if (length >= 7 && (bytes[2] == Message::ADDRESS_ASSIGN || bytes[2] == Message::ADDRESS_CONFIRM)) {
        event.hasNode = true;
        event.node = static_cast<unsigned short>(bytes[5] << 8 | bytes[6]);
    }
    event.replyUs = replyUs;
    publish(event);
}

void GatewayView::traceText(TraceEvent::Kind kind, const std::string& text) {
    TraceEvent event;
    event.kind = kind;
    event.at = WallClock::now();
    event.length = text.size();
    event.text = text.substr(0, TraceEvent::MAX_TEXT);
    publish(event);
}

void GatewayView::publish(const TraceEvent& event) {
    std::lock_guard<std::mutex> guard(traceMutex);
    for (const auto& slot : subscribers) {
        if (slot && slot->wants(event.kind, event.hasNode, event.node)) slot->push(event);
    }
}
