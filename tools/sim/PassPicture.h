#ifndef PELKO_SIM_PASSPICTURE_H
#define PELKO_SIM_PASSPICTURE_H

#include <string>
#include <vector>

#include "PassSchedule.h"

// One measured bus pass drawn on a time axis, above the same pass at the
// protocol minimum, as a plain SVG file: the direction pin's level, every
// frame the gateway sent, every node reply, and below them each named delay,
// wire time and turnaround the protocol asks for. Where the two drift apart
// is where the gateway loses time.
struct PassPicture {
    struct Level {
        double us;  // from the start of the pass
        bool high;
    };
    struct Frame {
        double us;
        double lengthUs;
        std::string label;
    };

    std::string title;
    double measuredUs = 0;  // the measured pass, up to the next pass's start
    std::vector<Level> pin;
    std::vector<Frame> sent;     // gateway -> bus
    std::vector<Frame> replies;  // node -> gateway
    std::vector<passschedule::Segment> minimum;

    std::string svg() const;
    // False when the file could not be written.
    bool write(const std::string& path) const;
};

#endif
