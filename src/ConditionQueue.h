#ifndef PELKO_CONDITIONQUEUE_H
#define PELKO_CONDITIONQUEUE_H

#include <condition_variable>
#include <deque>
#include <mutex>
#include <queue>

// Unbounded FIFO handing items from any number of producers to a consumer
// that sleeps while it is empty. Producers never wait for the consumer.
template <typename T>
class ConditionQueue {
public:
    void push(T&& item) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push(std::move(item));
        }
        cond_.notify_one();
    }

    void push(const T& item) {
        T copy(item);
        push(std::move(copy));
    }

    // Waits for the next item and returns it.
    T pop() {
        std::unique_lock<std::mutex> lock(mutex_);
        cond_.wait(lock, [this] { return !queue_.empty(); });
        T item = std::move(queue_.front());
        queue_.pop();
        return item;
    }

    // Waits for the next item; returns false instead once close() was called
    // and the queue has run empty.
    bool pop(T& item) {
        std::unique_lock<std::mutex> lock(mutex_);
        cond_.wait(lock, [this] { return !queue_.empty() || closed_; });
        if (queue_.empty()) return false;
        item = std::move(queue_.front());
        queue_.pop();
        return true;
    }

    // Wakes every waiter of pop(T&); items already queued are still handed out.
    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        cond_.notify_all();
    }

    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return queue_.size();
    }

private:
    std::queue<T, std::deque<T>> queue_;
    mutable std::mutex mutex_;
    std::condition_variable cond_;
    bool closed_ = false;
};

#endif
