#ifndef PELKO_VALUETABLE_H
#define PELKO_VALUETABLE_H

#include <functional>
#include <mutex>
#include <vector>

// The current values of one node: one row per channel, each row holding the
// channel's values by index. Shared by every copy of the node (see Node), and
// used by two threads: the server link writes set values, the bus thread
// encodes them and decodes replies into it. Whole-table operations take the
// table's own lock so a set command or a reply never interleaves with another.
//
// A reply from the node tells what the node holds since the last set frame
// it was sent. Values the server wrote after that frame was built have not
// reached the node yet, so a reply decoded before the next set frame would
// put the node's old values over them (and report those to the server): such
// a reply is not stored. Nodes that are never written take every reply.
class ValueTable {
public:
    // A zero-filled table of `channels` rows of `perChannel` values.
    ValueTable(unsigned int channels, unsigned int perChannel);
    ValueTable(const ValueTable&) = delete;
    ValueTable& operator=(const ValueTable&) = delete;

    unsigned int channels() const { return channels_; }
    unsigned int perChannel() const { return perChannel_; }

    // Row pointers (rows()[channel][index]); unsynchronised access for
    // single-threaded callers. Valid as long as the table lives.
    unsigned int** rows() { return rowPointers_.data(); }

    // Copy of the whole table, channel by channel, taken under the lock.
    std::vector<unsigned int> snapshot() const;
    // The same into `out` (which keeps its capacity: no allocation once
    // grown) for a set frame: replies from now on answer these values.
    void copyForSet(std::vector<unsigned int>& out);

    // A reply: compares and stores a whole table (same layout as snapshot)
    // under the lock. Returns true when at least one value differed. A vector
    // of the wrong size, or a reply older than the server's values (above),
    // changes nothing and returns false.
    bool store(const std::vector<unsigned int>& values);

    // The server's values: runs write(rows) under the lock, as one step
    // (the bus never sees half of them); they hold against replies until a
    // set frame has taken them.
    void write(const std::function<void(unsigned int** rows)>& write);

private:
    unsigned int channels_;
    unsigned int perChannel_;
    std::vector<unsigned int> values_;
    std::vector<unsigned int*> rowPointers_;
    mutable std::mutex mutex_;
    // Guarded by mutex_: a set frame was built from the table, and the
    // server wrote values since the last one.
    bool setFrames_ = false;
    bool unsent_ = false;
};

#endif
