#ifndef PELKO_SERVICENOTIFIER_H
#define PELKO_SERVICENOTIFIER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Talks to the service manager that started the gateway (sd_notify): ready,
// the watchdog's keep-alives, stopping. Outside a service manager (no
// NOTIFY_SOCKET) every call does nothing.
//
// A keep-alive goes out only when the bus side has moved on since the last
// one (`progress` changed), or when `aliveWithoutProgress` says the gateway
// is doing its job although the bus stands (the bus never started, the
// server link lives; a message waits for a stalled server, which the stall
// limit bounds). A hung bus thread thus lets the watchdog restart us.
class ServiceNotifier {
public:
    explicit ServiceNotifier(std::function<std::uint64_t()> progress,
                             std::function<bool()> aliveWithoutProgress = {});
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;
    ~ServiceNotifier();  // stops the keep-alives without telling the manager

    // READY=1, then keep-alives when the manager runs a watchdog for this
    // process (WATCHDOG_USEC). Once; nothing after stopping().
    void ready();
    // STOPPING=1; no keep-alive after it. Safe from any thread.
    void stopping();
    // STATUS=<line>: what `systemctl status` shows under the unit's name;
    // only between ready() and stopping().
    void status(const std::string& line);

    // The manager's watchdog time-out for this process; zero when none.
    static std::chrono::microseconds watchdogTimeout();

private:
    void keepAlive(std::chrono::microseconds timeout);
    void endKeepAlive();

    std::function<std::uint64_t()> progress;
    std::function<bool()> aliveWithoutProgress;

    std::mutex mutex;  // the state below and the thread object
    std::condition_variable wake;
    bool readySent = false;
    bool stopped = false;
    std::thread keeper;
};

#endif
