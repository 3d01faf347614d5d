#include "PeriodicTask.h"

#include <utility>

PeriodicTask::PeriodicTask(std::chrono::milliseconds interval, std::function<void()> task)
    : period(interval), work(std::move(task)), thread(&PeriodicTask::run, this) {}

PeriodicTask::~PeriodicTask() { stop(); }

void PeriodicTask::stop() {
    {
        std::lock_guard<std::mutex> guard(mutex);
        stopped = true;
    }
    wake.notify_all();
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

void PeriodicTask::run() {
    std::unique_lock<std::mutex> lock(mutex);
    // Steady deadlines: a slow write does not push every later one back.
    auto next = std::chrono::steady_clock::now();
    while (!stopped) {
        lock.unlock();
        work();
        lock.lock();
        next += period;
        wake.wait_until(lock, next, [this] { return stopped; });
    }
}
