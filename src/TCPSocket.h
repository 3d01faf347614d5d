#ifndef PELKO_TCPSOCKET_H
#define PELKO_TCPSOCKET_H

#include <string>

#include "MessageFramer.h"

// The gateway's one TCP connection to its server. The gateway's messages
// travel as text followed by one zero byte; the server's end at a zero byte
// or where their JSON value closes (see MessageFramer). Copies share the
// connection (the descriptor is never closed by this class, not even by the
// destructor); the bytes received past a message belong to the copy that
// received them.
class TCPSocket {
public:
    // Largest message kept; longer ones are skipped to their end.
    static const std::size_t MAX_MESSAGE = MessageFramer::MAX_MESSAGE;

    TCPSocket();
    // Records the host (borrowed: the caller keeps the text alive) and port.
    TCPSocket(const char* host, int port);
    TCPSocket(const TCPSocket& other);
    TCPSocket& operator=(const TCPSocket& other);
    virtual ~TCPSocket();

    // Resolves the host and connects, trying its IPv4 addresses first and its
    // IPv6 addresses only after every IPv4 one failed. Returns 1 when
    // connected, -1 after one line on standard error: "Špatná adresa" (no
    // host or no such name), "Nelze vytvořit soket" or "Nelze navázat spojení".
    int init();
    int init(const char* host, int port);

    // Sends the text and its zero byte, continuing short sends. Never raises
    // SIGPIPE. On failure writes "Problém s odesláním dat" to standard error
    // and returns false; sendError() then tells why.
    bool sendData(const std::string& text);
    int sendError() const { return sendErrno; }

    // Blocks for the next whole message and stores its text (without the
    // zero byte) in `text`. Returns false when the connection has ended or a
    // receive failed; closedByPeer() then tells which.
    bool receiveData(std::string& text);
    bool closedByPeer() const { return peerClosed; }
    int lastError() const { return receiveErrno; }

    int descriptor() const { return mySocket; }

private:
    int openSocket();

    const char* hostname = nullptr;
    int port = 0;
    int mySocket = -1;
    MessageFramer framer;  // received bytes not yet handed out
    bool peerClosed = false;
    int receiveErrno = 0;
    int sendErrno = 0;
};

#endif
