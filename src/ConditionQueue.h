#ifndef PELKO_CONDITIONQUEUE_H
#define PELKO_CONDITIONQUEUE_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

// The default store of a ConditionQueue: an unbounded FIFO, always with room.
template <typename T>
class FifoStore {
public:
    // Takes the item (moving from it); false when there is no room for it now.
    bool put(T& item) {
        items.push_back(std::move(item));
        return true;
    }
    // Moves the oldest item out; false when empty.
    bool get(T& item) {
        if (items.empty()) return false;
        item = std::move(items.front());
        items.pop_front();
        return true;
    }
    bool empty() const { return items.empty(); }
    std::size_t size() const { return items.size(); }

private:
    std::deque<T> items;
};

// Hands items from any number of producers to a consumer that sleeps while
// the queue is empty. Where and whether an item goes is the store's affair
// (put/get/empty/size as FifoStore has them), always called under the
// queue's lock. A producer waits only while the store says it has no room
// for its item; with FifoStore producers never wait.
template <typename T, typename Store = FifoStore<T>>
class ConditionQueue {
public:
    ConditionQueue() = default;
    explicit ConditionQueue(Store store) : store_(std::move(store)) {}

    // After close() a producer no longer waits: an item the store has no
    // room for is then dropped (nobody is left to take it).
    void push(T&& item) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!store_.put(item) && !closed_) {
                ++waiting_;
                room_.wait(lock, [&] { return store_.put(item) || closed_; });
                --waiting_;
            }
        }
        cond_.notify_one();
    }

    void push(const T& item) {
        T copy(item);
        push(std::move(copy));
    }

    // Waits for the next item; returns false instead once close() was called
    // and the queue has run empty.
    bool pop(T& item) {
        bool got = false;
        std::unique_lock<std::mutex> lock(mutex_);
        cond_.wait(lock, [&] { return (got = store_.get(item)) || closed_; });
        lock.unlock();
        room_.notify_all();
        return got;
    }

    // Wakes every waiter; items already queued are still handed out.
    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        cond_.notify_all();
        room_.notify_all();
    }

    // True while a producer waits for room.
    bool producerWaiting() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return waiting_ > 0;
    }

    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return store_.size();
    }

    // Runs f(store) under the lock: for settings and looks at the store.
    template <typename F>
    auto withStore(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(store_);
    }

private:
    Store store_;
    mutable std::mutex mutex_;
    std::condition_variable cond_;  // an item was added, or closed
    std::condition_variable room_;  // an item was taken, or closed
    bool closed_ = false;
    std::size_t waiting_ = 0;  // producers waiting for room
};

#endif
