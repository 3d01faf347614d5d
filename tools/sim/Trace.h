#ifndef PELKO_SIM_TRACE_H
#define PELKO_SIM_TRACE_H

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "Event.h"

// The bench's live trace: every event is stamped, printed as one line with a
// column telling its source apart, and handed to the listeners (the verdict)
// in the order it was recorded. Safe to call from any thread.
//
// A gateway polls its nodes dozens of times a second, so by default a line
// identical to one shown less than `repeatWindow` seconds ago is counted
// instead of printed; the next time it is shown it says how many it stood for.
class Trace {
public:
    enum class Mode { Normal, Full, Quiet };
    // A listener may return lines to print right after the event (step results).
    using Listener = std::function<std::vector<std::string>(const Event&)>;

    Trace(std::ostream& out, Mode mode, double repeatWindow = 2.0);

    // Seconds since the trace was made.
    double now() const;

    // Stamps (when e.t is 0), prints and dispatches one event.
    void record(Event e);
    // Shorthand for a bench remark.
    void note(const std::string& text);
    // Prints a line that is not an event (the summary), in every mode.
    void print(const std::string& line);
    // Prints a heading line, except in quiet mode.
    void heading(const std::string& line);

    // Adds a listener; every later event reaches it, in recording order.
    void addListener(Listener listener);

    // Prints how many repeated lines were not shown.
    void finish();

    // The column label of an event kind ("gw -> srv", ...).
    static const char* label(Event::Kind kind);

private:
    void printLocked(const std::string& line);

    std::ostream& out_;
    Mode mode_;
    double repeatWindow_;
    std::chrono::steady_clock::time_point start_;
    mutable std::mutex mutex_;
    std::vector<Listener> listeners_;
    struct Shown {
        double at = -1e9;
        long hidden = 0;
    };
    std::map<std::string, Shown> shown_;
    long hiddenTotal_ = 0;
};

#endif
