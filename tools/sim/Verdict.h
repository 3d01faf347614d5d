#ifndef PELKO_SIM_VERDICT_H
#define PELKO_SIM_VERDICT_H

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "Event.h"
#include "Scenario.h"

// Judges a run against the scenario's steps as the events come in. A step
// counts the events that match it (only those after the step or command it
// waits for, plus its grace time); it passes once it has its `min` matches
// (within its time limit, if it has one), and fails when it ends up with more
// than `max`. Checks of the whole run (pin, stop) are settled by finish().
class Verdict {
public:
    explicit Verdict(const Scenario& scenario);

    // Feeds one event; returns the lines to show for steps it settled.
    std::vector<std::string> observe(const Event& e);
    // Records that a command (or the handshake, id "") happened at time t.
    void markReference(const std::string& id, double t);
    // When the step or command `id` happened (the handshake for ""); -1: not yet.
    double referenceTime(const std::string& id) const;
    // The bench is about to stop the gateway: exits from now on are "stop" exits.
    void stopping(double t);

    // True when every step that needs a match has had its matches (or can
    // never have them: it failed, or waits for a step that failed).
    bool allMatched() const;
    // True when the step `id` failed, or waits for one that did: whatever
    // waits for it would wait for ever.
    bool dead(const std::string& id) const;
    // Waits until something changes (a step passes, a reference is marked)
    // or the time (seconds since the run began, measured by `now`) comes.
    template <typename Clock>
    void waitForChange(double until, Clock now) {
        std::unique_lock<std::mutex> lock(mutex_);
        const unsigned long seen = changes_;
        double left = until - now();
        if (left > 0) changed_.wait_for(lock, std::chrono::duration<double>(left), [&] { return changes_ != seen; });
    }
    // Wakes waitForChange (the run must end early).
    void poke();

    struct Result {
        std::string title;
        bool pass = false;
        std::string detail;
    };
    // Settles every step, in the scenario's order. `pinExported`: whether the
    // gateway wrote the pin's export file.
    std::vector<Result> finish(bool pinExported);

    // Subset match: every member of an object pattern must match, arrays match
    // element by element, "*" matches any value that is present.
    static bool matches(const Json::Value& pattern, const Json::Value& actual);

private:
    struct State {
        int count = 0;
        double reachedAt = -1;
        bool failed = false;
        std::string why;
        std::vector<int> handshakeSeen;
    };
    bool endOnly(const Scenario::Step& step) const;
    bool eventMatches(size_t index, State& st, const Event& e) const;
    double refLocked(const std::string& id) const;
    bool deadLocked(const std::string& id) const;

    const Scenario& scenario_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    unsigned long changes_ = 0;
    std::vector<State> states_;
    std::vector<std::regex> regexes_;  // console steps' patterns, by step
    std::map<std::string, double> refs_;
    double stoppingAt_ = -1;
    int exitStatus_ = -1;
    double exitAt_ = -1;
    long pinFrames_ = 0;
    long pinViolations_ = 0;
};

#endif
