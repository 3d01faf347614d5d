#ifndef PELKO_TEST_LOOPBACKSERVER_H
#define PELKO_TEST_LOOPBACKSERVER_H

#include <string>
#include <vector>

// A scripted server on 127.0.0.1 (ephemeral port) for one client at a time.
// Messages are text followed by a zero byte, as on the gateway's link.
class LoopbackServer {
public:
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    // Waits up to timeoutMs for the client; false when none came.
    bool accept(int timeoutMs = 5000);
    // Raw bytes, exactly as given (no zero byte added).
    void sendRaw(const std::string& bytes) const;
    // Text plus one zero byte.
    void sendMessage(const std::string& text) const { sendRaw(text + std::string(1, '\0')); }
    // Next zero-terminated message (without its zero byte); false on time-out or close.
    bool receiveMessage(std::string& text, int timeoutMs = 5000);
    // Everything received so far and within timeoutMs, raw.
    std::string receiveRaw(int timeoutMs, int quietMs = 50);
    // True when the client closed its side (read returned 0) within timeoutMs.
    bool waitClientClosed(int timeoutMs);
    void closeClient();

private:
    int listen_ = -1;
    int client_ = -1;
    int port_ = 0;
    std::string pending_;
};

#endif
