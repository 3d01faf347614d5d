#include "ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <utility>

ServiceNotifier::ServiceNotifier(std::function<std::uint64_t()> progressCount, std::function<bool()> alive)
    : progress(std::move(progressCount)), aliveWithoutProgress(std::move(alive)) {}

ServiceNotifier::~ServiceNotifier() { endKeepAlive(); }

std::chrono::microseconds ServiceNotifier::watchdogTimeout() {
    std::uint64_t usec = 0;
    // Also checks WATCHDOG_PID: a watchdog set up for another process is not ours.
    if (sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds(0);
    return std::chrono::microseconds(usec);
}

void ServiceNotifier::ready() {
    std::lock_guard<std::mutex> guard(mutex);
    if (readySent || stopped) return;
    readySent = true;
    sd_notify(0, "READY=1");
    const auto timeout = watchdogTimeout();
    if (timeout.count() > 0) keeper = std::thread(&ServiceNotifier::keepAlive, this, timeout);
}

void ServiceNotifier::stopping() {
    endKeepAlive();
    sd_notify(0, "STOPPING=1");
}

void ServiceNotifier::status(const std::string& line) {
    std::lock_guard<std::mutex> guard(mutex);
    // Not before READY=1: until then the manager shows the unit as starting.
    if (readySent && !stopped) sd_notify(0, ("STATUS=" + line).c_str());
}

void ServiceNotifier::endKeepAlive() {
    std::thread ending;
    {
        std::lock_guard<std::mutex> guard(mutex);
        stopped = true;
        ending = std::move(keeper);
    }
    wake.notify_all();
    if (ending.joinable()) ending.join();
}

void ServiceNotifier::keepAlive(std::chrono::microseconds timeout) {
    // Looked at four times a period: a keep-alive then follows any progress
    // within a quarter period, so two are never more than half a period apart
    // while the bus moves.
    const auto tick = timeout / 4;
    std::uint64_t last = progress();
    std::unique_lock<std::mutex> lock(mutex);
    while (!wake.wait_for(lock, tick, [this] { return stopped; })) {
        lock.unlock();
        const std::uint64_t now = progress();
        const bool alive = now != last || (aliveWithoutProgress && aliveWithoutProgress());
        lock.lock();
        // Checked again under the lock: stopping() may have come meanwhile,
        // and nothing may follow STOPPING=1.
        if (alive && !stopped) {
            sd_notify(0, "WATCHDOG=1");
            last = now;
        }
    }
}
