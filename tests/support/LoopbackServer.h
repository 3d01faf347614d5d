#ifndef PELKO_TEST_LOOPBACKSERVER_H
#define PELKO_TEST_LOOPBACKSERVER_H

#include <string>

// A scripted server on 127.0.0.1 (ephemeral port) for one client at a time.
// Messages are text followed by a zero byte, as on the gateway's link. Made
// with listening = false the port is bound but refuses every connection, and
// no other test can take it meanwhile.
class LoopbackServer {
public:
    explicit LoopbackServer(bool listening = true);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    // Waits up to timeoutMs for the client; false when none came.
    bool accept(int timeoutMs = 20000);
    void sendRaw(const std::string& bytes) const;  // exactly these bytes
    void sendMessage(const std::string& text) const { sendRaw(text + std::string(1, '\0')); }
    // The next message without its zero byte; false on time-out or close.
    bool receiveMessage(std::string& text, int timeoutMs = 20000);
    // Everything arriving within timeoutMs, until quiet for quietMs, raw.
    std::string receiveRaw(int timeoutMs, int quietMs = 50);
    void closeClient();
    // Receive buffer of the connections accepted from now on (call before
    // the client connects): a small one makes a server that stops reading
    // push back on its client at once.
    void setReceiveBuffer(int bytes) const;

private:
    int listen_ = -1;
    int client_ = -1;
    int port_ = 0;
    std::string pending_;
};

#endif
