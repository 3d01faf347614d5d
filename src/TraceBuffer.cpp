#include "TraceBuffer.h"

#include <utility>

TraceBuffer::TraceBuffer(std::set<unsigned short> nodeFilter, bool withServer, std::size_t capacity)
    : nodes(std::move(nodeFilter)), server(withServer), ring(capacity == 0 ? 1 : capacity) {}

bool TraceBuffer::wants(TraceEvent::Kind kind, bool hasNode, unsigned short node) const {
    switch (kind) {
        case TraceEvent::Kind::serverIn:
        case TraceEvent::Kind::serverOut: return server;
        case TraceEvent::Kind::lineLost:
        case TraceEvent::Kind::lineBack: return true;
        case TraceEvent::Kind::busOut:
        case TraceEvent::Kind::busIn: break;
    }
    // A broadcast (discovery) concerns every node.
    return nodes.empty() || !hasNode || nodes.count(node) > 0;
}

void TraceBuffer::push(const TraceEvent& event) {
    std::lock_guard<std::mutex> guard(mutex);
    if (count == ring.size()) {
        ++dropped;
        return;
    }
    // Assignment into a slot that already has its capacity: no allocation
    // for bus frames once the slot held one.
    ring[(head + count) % ring.size()] = event;
    ++count;
}

std::uint64_t TraceBuffer::take(std::vector<TraceEvent>& out) {
    out.clear();
    std::lock_guard<std::mutex> guard(mutex);
    out.reserve(count);
    for (; count > 0; --count) {
        out.push_back(std::move(ring[head]));
        head = (head + 1) % ring.size();
    }
    return std::exchange(dropped, 0);
}
