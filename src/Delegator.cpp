#include "Delegator.h"

#include <utility>

#include "Connector.h"
#include "Errors.h"
#include "GatewayView.h"
#include "Planner.h"

void Delegator::setConnector(Connector* connector) { pConnector = connector; }
void Delegator::setPlanner(Planner* planner) { pPlanner = planner; }
void Delegator::setBusStartedHook(std::function<void(bool)> hook) { busStarted = std::move(hook); }
void Delegator::setView(GatewayView* gatewayView) { view = gatewayView; }

void Delegator::setAddress(unsigned char value) {
    address = value;
    pPlanner->setAddress(value);
}
void Delegator::addType(DeviceType& type) { pPlanner->addType(type); }
void Delegator::addNode(Node& node) {
    pPlanner->addNode(node);
    if (view != nullptr) view->nodeFiled(node);
}
void Delegator::startPlanners() {
    // The bus master says a failed start only through error 1, reported on
    // this thread before start() returns.
    starting = true;
    startFailed = false;
    pPlanner->start();
    starting = false;
    if (view != nullptr) view->busStarted(!startFailed);
    if (busStarted) busStarted(!startFailed);
}
void Delegator::setNodeData(Node& node) { pPlanner->setNodeData(node); }
void Delegator::removeNode(Node& node) {
    pPlanner->removeNode(node);
    if (view != nullptr) view->nodeRemoved(node.getAddress());
}
void Delegator::discoverNewNodes() { pPlanner->discoverNewNodes(); }
void Delegator::addressNewNodes(nodeMap& newNodes) { pPlanner->addressNewNodes(newNodes); }

void Delegator::updateNodeData(Node& node) { pConnector->updateNodeData(node); }
void Delegator::logError(unsigned char error) {
    if (starting && error == ERROR_UART) startFailed = true;
    pConnector->logError(error);
}
void Delegator::logError(unsigned char error, unsigned short nodeAddress) {
    pConnector->logError(error, nodeAddress);
}
void Delegator::requestNewAddresses(nodeMap& found) { pConnector->requestNewAddresses(found); }
void Delegator::addNodeToMap(Node& node) {
    pConnector->addNodeToMap(node);
    if (view != nullptr) view->nodeFiled(node);
}
