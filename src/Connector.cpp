#include "Connector.h"
#include <cstdlib>
// Not built yet.
Connector::Connector() = default;
Connector::~Connector() = default;
void Connector::setDelegator(Delegator* d) { pDelegator = d; }
void Connector::setTCPSocket(TCPSocket s) { socket = s; }
int Connector::run() { return 1; }
void Connector::start() { std::exit(run()); }
void Connector::updateNodeData(Node&) {}
void Connector::requestNewAddresses(nodeMap&) {}
void Connector::logError(unsigned char) {}
void Connector::logError(unsigned char, unsigned short) {}
void Connector::addNodeToMap(Node&) {}
