#include "Message.h"
// Not built yet.
Message::Message() : crcTab{} {}
void Message::setAddress(unsigned char a) { address = a; }
int Message::makeDiscovery(unsigned char*) { return 0; }
int Message::makeDiscoveryAddress(unsigned char*, Node) { return 0; }
int Message::makeDiscoveryCheckOk(unsigned char*, Node) { return 0; }
int Message::makeMeassure(unsigned char*, Node) { return 0; }
int Message::makeRequest(unsigned char*, Node) { return 0; }
int Message::makeSet(unsigned char*, Node) { return 0; }
int Message::get(unsigned char*, Node, int) { return -1; }
void Message::discoveryResponse(unsigned char*, int, nodeMap&, typeMap&) {}
bool Message::discoveryCheck(unsigned char*, int, Node) { return false; }
unsigned char Message::calculateChecksum(const unsigned char*, short, short) const { return 0; }
