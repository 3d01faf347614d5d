#ifndef PELKO_SIM_EVENT_H
#define PELKO_SIM_EVENT_H

#include <json/json.h>

#include <string>
#include <vector>

// One thing the bench saw happen, stamped with the seconds since the run
// began. Everything the summary judges is made of these.
struct Event {
    enum class Kind {
        ServerIn,    // a message the gateway sent to the server
        ServerOut,   // a message the server sent to the gateway
        BusOut,      // a frame the gateway put on the bus
        BusIn,       // a frame (or noise) a node put on the bus
        ConsoleOut,  // a line on the gateway's standard output
        ConsoleErr,  // a line on the gateway's standard error
        Exit,        // the gateway process ended (status in `code`)
        Note,        // the bench's own remark
    };

    double t = 0;
    Kind kind = Kind::Note;
    std::string text;  // console line, message text or the frame's description

    // Server messages: the parsed text (null when it is not JSON) and whether
    // the gateway ended it with the line feed its messages carry.
    Json::Value json;
    bool lineFeed = true;

    // Bus frames: code (-1 when nothing frame-like), node address (-1 when the
    // frame carries none), random number (-1 when none), gateway address,
    // decoded values per channel, checksum verdict and whether the direction
    // pin read "0" while the gateway sent it.
    int code = -1;
    int address = -1;
    int random = -1;
    int gateway = -1;  // the gateway's own address, in the frames it sends
    std::vector<std::vector<unsigned>> values;
    bool crcOk = true;
    bool pinViolation = false;
    std::vector<unsigned char> bytes;

    // Exit: status (exit code, or 128 + signal number).
    int status = 0;
};

#endif
