#ifndef PELKO_BENCH_PINMONITOR_H
#define PELKO_BENCH_PINMONITOR_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Watches every level written to a fake sysfs pin value file. A plain file
// only shows the last level; the monitor puts a FIFO in its place and reads
// each "1" and "0" the gateway writes, in order, with the time it was seen.
//
// Create it before the gateway opens the pin and destroy it only after the
// gateway is done with it: without a reader, opening the FIFO for writing
// would block.
class PinMonitor {
public:
    struct Level {
        char level;  // '1', '0' or whatever else was written
        std::chrono::steady_clock::time_point time;
    };

    // Replaces the file at valuePath (removed if present) by a FIFO.
    explicit PinMonitor(std::string valuePath);
    ~PinMonitor();
    PinMonitor(const PinMonitor&) = delete;
    PinMonitor& operator=(const PinMonitor&) = delete;

    // Takes in what was written so far; true when the last level is "1".
    bool high();
    // Every level written so far, oldest first.
    std::vector<Level> levels();
    // Number of levels written so far.
    std::size_t writes();

private:
    void drain();  // with mutex_ held
    void run();

    std::string path_;
    int fd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::mutex mutex_;
    std::vector<Level> levels_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

#endif
