#ifndef PELKO_REPEATFOLDER_H
#define PELKO_REPEATFOLDER_H

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <utility>

// Keeps a dead node from flooding the log: a diagnostic identical to one
// printed for the same node within the window is counted instead, and the
// count comes out as one line when the node recovers or the window ends.
// A window of zero prints everything.
class RepeatFolder {
public:
    using Clock = std::chrono::steady_clock;

    void setWindow(std::chrono::milliseconds window);
    // Prints `text` (one or more lines) about the node, or counts it.
    void say(unsigned short address, const std::string& text, Clock::time_point now);
    // The node answered again: out with the counts of its folded diagnostics.
    void recovered(unsigned short address);

private:
    struct Seen {
        Clock::time_point printed;
        unsigned long folded = 0;
    };
    void sayCount(unsigned short address, const std::string& text, const Seen& entry) const;

    std::mutex mutex;
    std::chrono::milliseconds window{0};
    std::map<std::pair<unsigned short, std::string>, Seen> seen;
};

#endif
