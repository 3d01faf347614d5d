#ifndef PELKO_SIM_SCRIPTEDSERVER_H
#define PELKO_SIM_SCRIPTEDSERVER_H

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Trace.h"

// The server's end of the gateway's link: listens on 127.0.0.1 (a free
// port, or the one given), takes one connection, splits what arrives at zero bytes into
// messages and hands each to `onMessage` (on the server's own thread) after
// it is in the trace. Whoever drives the scenario sends through send().
class ScriptedServer {
public:
    using Handler = std::function<void(const Event&)>;

    // Binds and listens. Throws std::runtime_error when it cannot.
    explicit ScriptedServer(Trace& trace, int port = 0);
    // Stops the thread and closes every socket.
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    // Sets what to do with each message from the gateway; call before start().
    void onMessage(Handler handler) { handler_ = std::move(handler); }
    // Starts accepting (one client) and receiving on a thread of its own.
    void start();

    // How the server ends its messages: a zero byte (the default), a line
    // feed, CR LF or nothing; `pretty` spreads JSON messages over indented
    // lines. Call before start().
    void setFraming(const std::string& ending, bool pretty) {
        ending_ = ending;
        pretty_ = pretty;
    }

    // Sends the messages, each followed by its ending, in one write; or,
    // with split points, in pieces cut after those byte counts, a few
    // milliseconds apart. Each message goes into the trace. False when no
    // client is connected or the write failed.
    bool send(const std::vector<std::string>& messages, const std::vector<size_t>& split = {});
    // Closes the connection to the gateway; later sends fail.
    void closeClient();
    // Reads nothing from the gateway for this long (a stalled server): what
    // it sends backs up in the kernel's buffers and then in the gateway.
    void pauseReading(double seconds);

private:
    void run();
    void handle(const std::string& raw);
    int readingPausedMs() const;  // 0 while reading

    Trace& trace_;
    Handler handler_;
    int listen_ = -1;
    int client_ = -1;
    bool open_ = false;  // false once the server closed its side
    int wake_[2] = {-1, -1};  // a pipe that ends the thread's poll
    int port_ = 0;
    std::chrono::steady_clock::time_point readFrom_;  // under sendMutex_: reading paused until then
    std::string ending_ = std::string(1, '\0');
    bool pretty_ = false;
    mutable std::mutex sendMutex_;
    std::thread thread_;
};

#endif
