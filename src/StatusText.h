#ifndef PELKO_STATUSTEXT_H
#define PELKO_STATUSTEXT_H

#include <string>

#include "GatewayView.h"

// The gateway's state in words, from one snapshot: the service manager's
// one-line status, and the control socket's `status` and `nodes` answers.
class StatusText {
public:
    // "20 nodes, 19 answering, 92 passes/s, server link up 3 h"; a lost
    // serial device or a server that does not keep up comes first.
    static std::string summary(const GatewayView::Snapshot& s);
    // Three lines: the server link, the bus, the nodes by state.
    static std::string status(const GatewayView::Snapshot& s);
    // One line per node; `json`: one JSON array of objects.
    static std::string nodes(const GatewayView::Snapshot& s, bool json);

    // "answering", "failing", "removed" or "not polled yet".
    static const char* state(const GatewayView::NodeInfo& node);
    // A send queue this full means the server does not keep up.
    static constexpr std::size_t BACKLOG_NOTICE = 64 * 1024;
};

#endif
