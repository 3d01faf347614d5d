#include "TCPSocket.h"
// Not built yet: connects nowhere.
TCPSocket::TCPSocket() = default;
TCPSocket::TCPSocket(const char* host, int p) : hostname(host), port(p) {}
TCPSocket::TCPSocket(const TCPSocket&) = default;
TCPSocket& TCPSocket::operator=(const TCPSocket&) = default;
TCPSocket::~TCPSocket() = default;
int TCPSocket::init() { return -1; }
int TCPSocket::init(const char* host, int p) { hostname = host; port = p; return init(); }
bool TCPSocket::sendData(const std::string&) { return false; }
bool TCPSocket::receiveData(std::string&) { return false; }
int TCPSocket::openSocket() { return -1; }
