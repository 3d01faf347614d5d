#ifndef PELKO_CONTROLSERVER_H
#define PELKO_CONTROLSERVER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "GatewayView.h"
#include "TraceBuffer.h"

// The control socket: a local stream socket on which `pelko ctl` asks for
// the status, the nodes or a trace. One thread of its own serves every
// client with poll(); nothing it does waits on the bus thread or the main
// thread, and no client can make it wait: each has a deadline for its
// command and for taking its answer, and a trace that is not read fast
// enough loses lines (and says how many).
//
// One command line per connection, up to MAX_COMMAND bytes:
//   status | nodes [--json] | trace [--node N]... [--server] [--seconds S]
// Anything else, too much, or nothing within the deadline gets one line
// starting with "error:" and the connection is closed.
class ControlServer {
public:
    static constexpr std::size_t MAX_CLIENTS = 8;
    static constexpr std::size_t MAX_COMMAND = 256;
    static constexpr std::size_t OUTPUT_BOUND = 64 * 1024;  // a trace's unread text
    static constexpr unsigned DEFAULT_TRACE_SECONDS = 60;

    ControlServer(GatewayView& view, std::string path);
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;
    // Stops serving and removes the socket.
    ~ControlServer();

    // Binds the socket (mode 0660) and starts the thread; false after one
    // console line when it cannot (the gateway then runs without it).
    bool start();
    void stop();

    // Test seam, before start(): how long a client has for its command and
    // for taking some of its answer.
    void setDeadlines(std::chrono::milliseconds command, std::chrono::milliseconds stalled);

private:
    using Clock = std::chrono::steady_clock;
    struct Client {
        int fd = -1;
        std::string in;
        std::string out;
        bool answered = false;  // the command was taken; reading only spots the end
        bool closeWhenSent = false;
        std::shared_ptr<TraceBuffer> trace;
        Clock::time_point traceEnds;
        std::uint64_t lost = 0;  // trace lines not yet reported as dropped
        Clock::time_point deadline;  // for the command, then for write progress
    };

    void serve();
    void accept();
    // False when the client is to be closed now.
    bool readFrom(Client& client);
    bool writeTo(Client& client);
    void command(Client& client, const std::string& line);
    void refuse(Client& client, const std::string& why);
    void feedTrace(Client& client, Clock::time_point now);
    void drop(Client& client);

    GatewayView& view;
    const std::string path;
    std::chrono::milliseconds commandDeadline{2000};
    std::chrono::milliseconds stallDeadline{10000};
    int listener = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::vector<Client> clients;
    std::thread thread;
};

#endif
