#ifndef PELKO_PERIODICTASK_H
#define PELKO_PERIODICTASK_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Runs `work` on a thread of its own: once at once, then every `period`,
// until stopped. For the operator's outputs (metrics file, status line),
// which must never be written from the bus or the main thread.
class PeriodicTask {
public:
    PeriodicTask(std::chrono::milliseconds period, std::function<void()> work);
    PeriodicTask(const PeriodicTask&) = delete;
    PeriodicTask& operator=(const PeriodicTask&) = delete;
    ~PeriodicTask();  // stops and joins

    void stop();

private:
    void run();

    const std::chrono::milliseconds period;
    const std::function<void()> work;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopped = false;
    std::thread thread;
};

#endif
