#include "MetricsWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "Console.h"
#include "StatusText.h"

namespace {

// Counters whole as they are (up to 2^53), anything else to 9 digits.
std::string number(double value) {
    char text[32];
    const bool whole = value == static_cast<double>(static_cast<long long>(value)) && value < 9007199254740992.0;
    std::snprintf(text, sizeof text, whole ? "%.0f" : "%.9g", value);
    return text;
}

// Label values as the text format wants them: backslash, quote and line feed escaped.
std::string escaped(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

class Family {
public:
    Family(std::string& out, const char* name, const char* type, const char* help) : out(out), name(name) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void add(const std::string& labels, double value, const char* suffix = "") {
        out += name + suffix + "{" + labels + "} " + number(value) + "\n";
    }

private:
    std::string& out;
    std::string name;
};

}  // namespace

MetricsWriter::MetricsWriter(std::string file, std::string busName) : path(std::move(file)), bus(std::move(busName)) {}

std::string MetricsWriter::text(const GatewayView::Snapshot& s, const std::string& busName) {
    const std::string b = "bus=\"" + escaped(busName) + "\"";
    std::string out;
    using D = double;

    Family(out, "pelko_server_connected", "gauge", "1 while the gateway is connected to its server.")
        .add(b, s.serverUp ? 1 : 0);
    if (s.serverUp) {
        Family(out, "pelko_server_connected_since_seconds", "gauge",
               "Unix time at which the current server connection was made.")
            .add(b, std::chrono::duration<double>(s.serverSince.time_since_epoch()).count());
    }
    Family(out, "pelko_server_messages_received_total", "counter", "Messages received from the server.")
        .add(b, D(s.messagesIn));
    Family(out, "pelko_server_messages_sent_total", "counter", "Messages sent to the server.")
        .add(b, D(s.messagesOut));
    Family(out, "pelko_server_send_queue_bytes", "gauge", "Bytes waiting in the send queue to the server.")
        .add(b, D(s.sendQueue.bytes));
    Family(out, "pelko_server_dropped_reports_total", "counter",
           "Value reports dropped from the send queue because a newer one of the same node superseded them.")
        .add(b, D(s.sendQueue.droppedReports));

    Family(out, "pelko_bus_running", "gauge", "1 while the bus cycle runs.").add(b, s.busStarted ? 1 : 0);
    Family(out, "pelko_bus_passes_total", "counter", "Bus passes completed.").add(b, D(s.bus.passes));
    Family(out, "pelko_bus_sent_bytes_total", "counter", "Bytes sent on the bus.").add(b, D(s.bus.bytesSent));
    Family(out, "pelko_bus_received_bytes_total", "counter", "Bytes received from the bus.")
        .add(b, D(s.bus.bytesReceived));
    Family(out, "pelko_bus_serial_lost", "gauge", "1 while the bus's serial device is lost.").add(b, s.lineLost ? 1 : 0);
    Family(out, "pelko_bus_serial_losses_total", "counter", "Times the bus's serial device was lost.")
        .add(b, D(s.lineLosses));

    Family nodes(out, "pelko_nodes", "gauge", "Nodes the gateway serves, by state.");
    for (const char* state : {"answering", "failing", "not polled yet", "written", "removed"}) {
        unsigned count = 0;
        for (const auto& node : s.nodes) count += std::string(StatusText::state(node)) == state;
        std::string name = state;
        std::replace(name.begin(), name.end(), ' ', '_');
        nodes.add(b + ",state=\"" + name + "\"", count);
    }

    // Per node: only the nodes the bus master asks for their values.
    std::vector<const GatewayView::NodeInfo*> polled;
    for (const auto& node : s.nodes) {
        if (node.polled && !node.removed) polled.push_back(&node);
    }
    auto label = [&b](const GatewayView::NodeInfo* node) { return b + ",node=\"" + std::to_string(node->address) + "\""; };
    Family requests(out, "pelko_node_requests_total", "counter", "Value requests sent to the node.");
    for (const auto* node : polled) requests.add(label(node), D(node->health.requests));
    Family replies(out, "pelko_node_replies_total", "counter",
                   "Value requests by what came back: valid, missing (no byte) or invalid.");
    for (const auto* node : polled) {
        replies.add(label(node) + ",result=\"valid\"", D(node->health.valid));
        replies.add(label(node) + ",result=\"missing\"", D(node->health.missing));
        replies.add(label(node) + ",result=\"invalid\"", D(node->health.invalid));
    }
    Family answering(out, "pelko_node_answering", "gauge", "1 when the node's latest reply was valid.");
    for (const auto* node : polled) answering.add(label(node), node->health.failing ? 0 : 1);
    Family reply(out, "pelko_node_reply_seconds", "summary",
                 "Time from the end of a value request to the node's valid reply (median of the last 100).");
    for (const auto* node : polled) {
        if (node->health.keptTimes > 0) {
            reply.add(label(node) + ",quantile=\"0.5\"", node->health.medianReplyUs / 1e6);
        }
        reply.add(label(node), D(node->health.replyUsTotal) / 1e6, "_sum");
        reply.add(label(node), D(node->health.valid), "_count");
    }
    return out;
}

bool MetricsWriter::write(const GatewayView::Snapshot& snapshot) {
    const std::string content = text(snapshot, bus);
    const std::string temporary = path + ".tmp";
    std::string problem;
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        problem = temporary + ": " + std::strerror(errno);
    } else {
        // Readable by the exporter whatever the service's umask.
        ::fchmod(fd, 0644);
        std::size_t done = 0;
        while (done < content.size()) {
            const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (done < content.size()) problem = temporary + ": " + std::strerror(errno);
        if (::close(fd) != 0 && problem.empty()) problem = temporary + ": " + std::strerror(errno);
        if (problem.empty() && ::rename(temporary.c_str(), path.c_str()) != 0) {
            problem = path + ": " + std::strerror(errno);
        }
        if (!problem.empty()) ::unlink(temporary.c_str());
    }
    if (!problem.empty()) {
        if (!failing) console::err("Metrics not written: " + problem, console::Priority::warning);
        failing = true;
        return false;
    }
    if (failing) console::out("Metrics written again to " + path);
    failing = false;
    return true;
}
