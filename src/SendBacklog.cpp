#include "SendBacklog.h"

#include "Console.h"

constexpr std::size_t SendBacklog::DEFAULT_BOUND;
constexpr std::size_t SendBacklog::PER_MESSAGE;

bool SendBacklog::put(Item& item) {
    const std::size_t needed = cost(item);
    if (bytes_ + needed <= bound_) {
        append(item);
        return true;
    }
    if (!dropping_) {
        dropping_ = true;
        console::out("Send queue full (" + std::to_string(bound_) +
                         " B): the server is not keeping up, older DATA_GET reports of a node give way to newer ones",
                     console::Priority::warning);
    }
    if (item.kind == Kind::values) {
        dropReportsOf(item.node);
    } else if (item.kind == Kind::error && errors_.count(item.text) != 0) {
        ++folded_;
        return true;
    }
    while (bytes_ + needed > bound_ && dropOldestSuperseded()) {
    }
    // Reports never wait (the bus thread makes them); beyond the bound they
    // are limited by the node count.
    if (bytes_ + needed > bound_ && item.kind == Kind::answer) return false;
    append(item);
    return true;
}

bool SendBacklog::get(Item& item) {
    if (items_.empty()) return false;
    const Position front = items_.begin();
    bytes_ -= cost(*front);
    forget(front);
    item = std::move(*front);
    items_.erase(front);
    if (dropping_ && bytes_ <= bound_ / 2) {
        dropping_ = false;
        console::out("Send queue down to " + std::to_string(bytes_) + " B: " + std::to_string(dropped_) +
                     " superseded DATA_GET reports dropped, " + std::to_string(folded_) +
                     " repeated ERROR reports counted once");
        dropped_ = 0;
        folded_ = 0;
    }
    return true;
}

void SendBacklog::append(Item& item) {
    bytes_ += cost(item);
    const Position at = items_.insert(items_.end(), Item{std::move(item.text), item.kind, item.node});
    if (item.kind == Kind::values) {
        std::deque<Position>& mine = reports_[item.node];
        if (!mine.empty()) ++superseded_;
        mine.push_back(at);
    } else if (item.kind == Kind::error) {
        ++errors_[at->text];
    }
}

// The bookkeeping of a message about to leave the list.
void SendBacklog::forget(Position at) {
    if (at->kind == Kind::values) {
        // A node's reports leave oldest first, whether sent or dropped.
        const auto mine = reports_.find(at->node);
        mine->second.pop_front();
        if (mine->second.empty()) {
            reports_.erase(mine);
        } else {
            --superseded_;
        }
    } else if (at->kind == Kind::error) {
        const auto waiting = errors_.find(at->text);
        if (--waiting->second == 0) errors_.erase(waiting);
    }
}

void SendBacklog::dropReportsOf(unsigned short node) {
    const auto mine = reports_.find(node);
    if (mine == reports_.end()) return;
    superseded_ -= mine->second.size() - 1;
    for (const Position at : mine->second) {
        bytes_ -= cost(*at);
        items_.erase(at);
        ++dropped_;
        ++droppedTotal_;
    }
    reports_.erase(mine);
}

bool SendBacklog::dropOldestSuperseded() {
    if (superseded_ == 0) return false;
    for (Position at = items_.begin(); at != items_.end(); ++at) {
        if (at->kind != Kind::values || reports_.at(at->node).size() < 2) continue;
        // The first report of a node met from the front is its oldest.
        bytes_ -= cost(*at);
        forget(at);
        items_.erase(at);
        ++dropped_;
        ++droppedTotal_;
        return true;
    }
    return false;
}
