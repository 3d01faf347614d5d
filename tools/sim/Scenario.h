#ifndef PELKO_SIM_SCENARIO_H
#define PELKO_SIM_SCENARIO_H

#include <json/json.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// A bench run described in a small JSON file: the device types and nodes the
// server knows, the nodes on the bus and how they behave, what the server
// sends and when, and the steps the run is judged by. Times are seconds; a
// server command's "at" counts from the end of the handshake (or from the
// step or command named by "after"). A command with "line": "unplug" or
// "replug" acts on the serial line instead of the server, at its time, and
// steps can wait for it by its id like for any other command.
struct Scenario {
    struct Type {
        int type = 0;
        int dataRange = 0;
        int dataCount = 0;
        int readWrite = 0;
        int latency = 0;
        bool listed = true;  // false: not in the handshake's type list (registered later)
        Json::Value json;    // as the server lists it
    };

    struct Node {
        std::string name;
        int address = 0;       // bus address (for a node awaiting discovery: the one the server assigns)
        int random = 0;        // the node's own number, used by discovery
        int type = 0;
        int channelCount = 0;
        bool known = true;     // in the server's node list
        bool addressed = true; // false: has no address until discovery gives it one
        std::vector<std::vector<unsigned>> values;      // what the node measures now
        std::vector<std::vector<unsigned>> listValues;  // what the server's node list says
        double driftEvery = 0;  // every so many seconds each value grows by driftStep
        unsigned driftStep = 1;
        double driftUntil = -1; // and no more after this time (-1: for ever)
        double toggleEvery = 0;  // every so many seconds bit 0 of each value flips
        double silentFrom = -1;  // stops answering at this time (after the handshake)
        double silentUntil = -1; // and answers again from this time on (-1: never)
        std::string fault;       // "", "garbage", "bad_crc", "overlong", "wrong_check"
        int turnaroundUs = -1;   // -1: the scenario's default
    };

    struct Command {
        std::string id;
        double at = 0;
        std::string after;                 // a step or command id; empty: the handshake
        std::vector<std::string> messages; // texts, each sent with a zero byte, all in one write
        std::vector<size_t> split;         // cut the write after these byte counts
        bool close = false;                // close the connection instead
        std::string line;                  // "unplug" / "replug" the serial line instead
        double stopReading = 0;            // the server reads nothing for so many seconds instead
        // One line saying what the command sends.
        std::string describe() const;
    };

    // A handshake answer as sent (text without its zero byte), maybe in pieces.
    struct Answer {
        std::string text;
        std::vector<size_t> split;
        bool given = false;  // false: built from types / nodes / gatewayAddress
    };

    struct Step {
        std::string id;
        std::string title;
        std::string kind;     // handshake, server_receives, bus_frame, console, exit, stop,
                              // pin_violations, pin_exported
        Json::Value pattern;  // what to match (kind-specific)
        int min = 1;          // matches needed
        int max = -1;         // matches allowed (-1: any)
        std::string after;    // only events after this step / command count
        double grace = 0;     // ... and only from this many seconds after it
        double within = -1;   // the min must be reached within this many seconds of `after`
    };

    std::string file;
    std::string name;
    std::string description;
    double timeout = 30;   // hard limit of the run
    double settle = 0.5;   // kept running after every step passed and every command went out
    int gatewayAddress = 1;
    bool lineTiming = true;
    int turnaroundUs = 300;
    std::string pin = "17";

    bool writeConfig = true;
    std::map<std::string, std::string> configOverride;  // replaces generated keys (or adds)
    std::vector<std::string> configOmit;

    std::vector<Type> types;
    std::vector<Node> nodes;
    int fillerBytes = 0;     // pad the node list with untracked nodes up to this size
    int fillerType = 0;
    int fillerFirstAddress = 1000;

    Answer addressAnswer, typeAnswer, nodeAnswer;
    // How the server ends its messages: "zero" (a zero byte), "line_feed",
    // "crlf" or "none"; `pretty`: spread over indented lines.
    std::string framing = "zero";
    bool pretty = false;
    bool answerNewNodes = true;
    double answerDelay = 0.2;
    std::vector<Command> commands;
    std::vector<Step> steps;

    // Reads and checks a scenario file. Throws std::runtime_error naming the
    // file and the problem.
    static Scenario load(const std::string& path);
    static Scenario parse(const std::string& text, const std::string& fileName);

    // Look-ups: nullptr when there is no such type / node. By random number
    // only nodes that wait for discovery are found.
    const Type* findType(int code) const;
    const Node* findNodeByAddress(int address) const;
    const Node* findNodeByRandom(int random) const;

    // The bytes that end each of the server's messages.
    std::string messageEnding() const;
    // The three handshake answers as the server sends them.
    std::string addressAnswerText() const;
    std::string typeAnswerText() const;
    std::string nodeAnswerText() const;
};

// Compact JSON text of a value, members in key order, without a line feed.
std::string compactJson(const Json::Value& v);

#endif
