#ifndef PELKO_SENDBACKLOG_H
#define PELKO_SENDBACKLOG_H

#include <cstddef>
#include <deque>
#include <list>
#include <string>
#include <unordered_map>

// The store of the send queue (a ConditionQueue store: not thread-safe by
// itself): the messages waiting for a server that may have stopped reading.
//
// Each message counts its text plus PER_MESSAGE bytes of bookkeeping. Up to
// the bound every message is queued as it comes, oldest first. At the bound
// a message takes room only by what it supersedes:
// - a node's value report (DATA_GET) replaces every queued report of the
//   same node, and goes to the back, so that once the server reads again it
//   receives every node's latest values, in order;
// - an error report identical to one still waiting is counted, not queued
//   again; any other error report is queued;
// - older reports of nodes that have a newer one queued are dropped, oldest
//   first, to make room for anything else;
// - any other message (answers to the server's own requests) waits for room
//   (put returns false), so a server that sends but does not read is in
//   turn not read.
// Beyond the bound the queue thus grows only by one value report per node
// and one error report per distinct error (per node), which the node count
// limits. Nothing but superseded value reports is ever dropped.
// One console line says when dropping starts, one when the queue is down to
// half the bound again, with the counts.
class SendBacklog {
public:
    enum class Kind { values, error, answer };
    struct Item {
        std::string text;
        Kind kind = Kind::answer;
        unsigned short node = 0;  // the node a value report is about
    };

    static constexpr std::size_t DEFAULT_BOUND = 1024 * 1024;
    static constexpr std::size_t PER_MESSAGE = 64;

    explicit SendBacklog(std::size_t bound = DEFAULT_BOUND) : bound_(bound) {}

    void setBound(std::size_t bound) { bound_ = bound; }
    std::size_t bound() const { return bound_; }
    std::size_t bytes() const { return bytes_; }

    // Takes the item (moving its text) or counts it; false: an answer that
    // has to wait for room.
    bool put(Item& item);
    // The oldest message; false when empty.
    bool get(Item& item);
    bool empty() const { return items_.empty(); }
    std::size_t size() const { return items_.size(); }
    // Superseded value reports dropped since the start.
    unsigned long droppedTotal() const { return droppedTotal_; }

private:
    using Position = std::list<Item>::iterator;
    static std::size_t cost(const Item& item) { return item.text.size() + PER_MESSAGE; }
    void append(Item& item);
    void forget(Position at);
    void dropReportsOf(unsigned short node);
    bool dropOldestSuperseded();

    std::size_t bound_;
    std::size_t bytes_ = 0;
    std::list<Item> items_;
    std::unordered_map<unsigned short, std::deque<Position>> reports_;  // per node, oldest first
    std::size_t superseded_ = 0;  // value reports with a newer one of their node queued
    std::unordered_map<std::string, std::size_t> errors_;  // waiting error texts
    bool dropping_ = false;
    unsigned long dropped_ = 0;
    unsigned long folded_ = 0;
    unsigned long droppedTotal_ = 0;
};

#endif
