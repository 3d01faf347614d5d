#ifndef PELKO_NODEHEALTH_H
#define PELKO_NODEHEALTH_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// What the bus master knows of each node's health and of the bus, for the
// operator: kept by the bus thread, read from any thread. Nothing of it goes
// to the server.
class NodeHealth {
public:
    using Clock = std::chrono::steady_clock;
    enum class Reply { valid, missing, invalid };

    // One request to `address` and what came back; `replyTime` counts for a
    // valid reply only.
    void record(unsigned short address, Reply reply, std::chrono::microseconds replyTime, Clock::time_point at);
    void countPass();
    void countBytes(std::uint64_t sent, std::uint64_t received);

    // One line per node, by address, then one for the bus (its pass rate
    // since the previous report).
    std::vector<std::string> report(Clock::time_point now);

    // The same counters as they stand, for the operator's tools.
    struct NodeStats {
        unsigned short address = 0;
        std::uint64_t requests = 0;
        std::uint64_t valid = 0;
        std::uint64_t missing = 0;
        std::uint64_t invalid = 0;
        bool answered = false;       // a valid reply ever came
        Clock::time_point lastValid;
        bool failing = false;        // the latest request brought no valid reply
        Clock::time_point failingSince;  // the first failed request after the last valid reply
        std::uint32_t medianReplyUs = 0;  // over the kept times; 0 when none
        std::size_t keptTimes = 0;
        std::uint64_t replyUsTotal = 0;   // sum over every valid reply
    };
    struct BusStats {
        std::uint64_t passes = 0;
        std::uint64_t bytesSent = 0;
        std::uint64_t bytesReceived = 0;
    };
    std::vector<NodeStats> nodeStats() const;
    BusStats busStats() const;

private:
    static constexpr std::size_t KEPT_TIMES = 100;  // reply times the median is taken over

    struct Counters {
        std::uint64_t requests = 0;
        std::uint64_t valid = 0;
        std::uint64_t missing = 0;
        std::uint64_t invalid = 0;
        bool answered = false;
        Clock::time_point lastValid;
        bool failing = false;
        Clock::time_point failingSince;
        std::uint64_t replyUsTotal = 0;
        std::array<std::uint32_t, KEPT_TIMES> times{};  // microseconds, a ring
        std::size_t kept = 0;
        std::size_t next = 0;
    };

    static std::uint32_t median(const Counters& c);

    mutable std::mutex mutex;
    std::map<unsigned short, Counters> nodes;
    std::uint64_t passes = 0;
    std::uint64_t passesReported = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesReceived = 0;
    Clock::time_point lastReport = Clock::now();
};

#endif
