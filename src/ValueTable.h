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
    // The same into `out`, which keeps its capacity (no allocation once grown).
    void copyTo(std::vector<unsigned int>& out) const;

    // Compares and stores a whole table (same layout as snapshot) under the
    // lock. Returns true when at least one value differed. A vector of the
    // wrong size changes nothing and returns false.
    bool store(const std::vector<unsigned int>& values);

    // Runs f(rows) with the lock held: for writers that change several rows
    // as one step (a set command from the server).
    template <typename F>
    auto withRows(F&& f) {
        std::lock_guard<std::mutex> guard(mutex_);
        return f(rowPointers_.data());
    }

    // A server's set command waits here until the bus master takes it over
    // (commitStaged) while the bus thread is out of the node's table, so that
    // a read-back in flight cannot decode a node's old values over it. A
    // second stage before the commit replaces the first.
    void stage(std::function<void(unsigned int** rows)> write);
    // Runs the staged write under the lock; false when nothing was staged.
    bool commitStaged();

private:
    unsigned int channels_;
    unsigned int perChannel_;
    std::vector<unsigned int> values_;
    std::vector<unsigned int*> rowPointers_;
    mutable std::mutex mutex_;
    std::function<void(unsigned int**)> staged_;  // guarded by mutex_
};

#endif
