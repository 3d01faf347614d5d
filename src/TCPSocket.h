#ifndef PELKO_TCPSOCKET_H
#define PELKO_TCPSOCKET_H

#include <string>

// The gateway's one TCP connection to its server. Messages travel as text
// followed by one zero byte. Copies share the connection (the descriptor is
// never closed by this class, not even by the destructor); the bytes received
// past a message's zero byte belong to the copy that received them.
class TCPSocket {
public:
    // Largest message kept; longer ones are skipped up to their zero byte.
    static const std::size_t MAX_MESSAGE = 1024 * 1024;

    TCPSocket();
    // Records the host (borrowed: the caller keeps the text alive) and port.
    TCPSocket(const char* host, int port);
    TCPSocket(const TCPSocket& other);
    TCPSocket& operator=(const TCPSocket& other);
    virtual ~TCPSocket();

    // Resolves the host and connects. Returns 1 when connected, -1 after one
    // line on standard error: "Špatná adresa" (no host or no such name),
    // "Nelze vytvořit soket" or "Nelze navázat spojení".
    int init();
    int init(const char* host, int port);

    // Sends the text and its zero byte, continuing short sends. Never raises
    // SIGPIPE. On failure writes "Problém s odesláním dat" to standard error
    // and returns false.
    bool sendData(const std::string& text);

    // Blocks for the next whole message and stores its text (without the
    // zero byte) in `text`. Returns false when the connection has ended or a
    // receive failed; closedByPeer() then tells which.
    bool receiveData(std::string& text);
    bool closedByPeer() const { return peerClosed; }
    int lastError() const { return receiveErrno; }

    int descriptor() const { return mySocket; }

private:
    int openSocket();
    // Hands out the next complete message from `pending`, if there is one.
    bool takeMessage(std::string& text);

    const char* hostname = nullptr;
    int port = 0;
    int mySocket = -1;
    std::string pending;          // received bytes not yet handed out
    std::size_t head = 0;         // start of the first unhanded byte in `pending`
    std::size_t scanned = 0;      // bytes from `head` already known to hold no zero byte
    bool skipping = false;        // inside an over-long message, dropping to its zero byte
    bool peerClosed = false;
    int receiveErrno = 0;
};

#endif
