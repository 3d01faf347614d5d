#include "StatusText.h"

#include <cstdio>
#include <ctime>

#include <json/json.h>

namespace {

using Snapshot = GatewayView::Snapshot;

// "42 s", "5 min", "3 h 2 min", "2 d 3 h": as long as it matters.
std::string span(std::chrono::steady_clock::duration length) {
    const long long s = std::chrono::duration_cast<std::chrono::seconds>(length).count();
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return std::to_string(s / 60) + " min";
    if (s < 86400) {
        const long long minutes = s / 60 % 60;
        return std::to_string(s / 3600) + " h" + (minutes ? " " + std::to_string(minutes) + " min" : "");
    }
    const long long hours = s / 3600 % 24;
    return std::to_string(s / 86400) + " d" + (hours ? " " + std::to_string(hours) + " h" : "");
}

std::chrono::system_clock::time_point wall(const Snapshot& s, std::chrono::steady_clock::time_point at) {
    return s.wallAt - std::chrono::duration_cast<std::chrono::system_clock::duration>(s.at - at);
}

std::string timeOfDay(std::chrono::system_clock::time_point at, bool withDate) {
    const std::time_t t = std::chrono::system_clock::to_time_t(at);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, withDate ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &local);
    return text;
}

std::string number(double value, const char* format) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

struct Counts {
    unsigned filed = 0, answering = 0, failing = 0, unpolled = 0, removed = 0;
};

Counts count(const Snapshot& s) {
    Counts c;
    for (const auto& node : s.nodes) {
        if (node.removed) {
            ++c.removed;
            continue;
        }
        ++c.filed;
        if (!node.polled) {
            ++c.unpolled;  // and the write-only nodes
        } else if (node.health.failing) {
            ++c.failing;
        } else {
            ++c.answering;
        }
    }
    return c;
}

std::string valuesText(const GatewayView::NodeInfo& node) {
    std::string text = "[";
    for (std::size_t c = 0; c < node.values.size(); ++c) {
        text += c ? ",[" : "[";
        for (std::size_t v = 0; v < node.values[c].size(); ++v) {
            text += (v ? "," : "") + std::to_string(node.values[c][v]);
        }
        text += "]";
    }
    return text + "]";
}

}  // namespace

const char* StatusText::state(const GatewayView::NodeInfo& node) {
    if (node.removed) return "removed";
    // A write-only node is never asked, so it has no replies to judge.
    if (!node.polled) return std::string(node.kind) == "W" ? "written" : "not polled yet";
    return node.health.failing ? "failing" : "answering";
}

std::string StatusText::summary(const Snapshot& s) {
    const Counts c = count(s);
    std::string line;
    if (s.lineLost) line += "serial device lost, ";
    if (s.sendQueue.bytes >= BACKLOG_NOTICE) {
        line += "server not keeping up (send queue " + std::to_string(s.sendQueue.bytes / 1024) + " KiB), ";
    }
    line += std::to_string(c.filed) + (c.filed == 1 ? " node, " : " nodes, ") + std::to_string(c.answering) +
            " answering, ";
    line += s.busStarted ? number(s.passRate, "%.0f") + " passes/s, " : "bus not started, ";
    line += s.serverUp ? "server link up " + span(s.at - s.serverSinceSteady) : "no server link";
    return line;
}

std::string StatusText::status(const Snapshot& s) {
    std::string text = "server: ";
    if (s.serverUp) {
        text += "connected since " + timeOfDay(s.serverSince, true) + " (" + span(s.at - s.serverSinceSteady) + ")";
    } else {
        text += "not connected";
    }
    text += ", " + std::to_string(s.messagesIn) + " messages in, " + std::to_string(s.messagesOut) +
            " out, send queue " + std::to_string(s.sendQueue.bytes) + " B, " +
            std::to_string(s.sendQueue.droppedReports) + " superseded reports dropped\n";
    text += "bus: ";
    text += s.busStarted ? number(s.passRate, "%.1f") + " passes/s" : "not started";
    text += ", " + std::to_string(s.bus.passes) + " passes, " + std::to_string(s.bus.bytesSent) + " B sent, " +
            std::to_string(s.bus.bytesReceived) + " B received, serial device " +
            (s.lineLost ? "LOST" : "present") + " (lost " + std::to_string(s.lineLosses) + " times)\n";
    const Counts c = count(s);
    text += "nodes: " + std::to_string(c.filed) + " filed, " + std::to_string(c.answering) + " answering, " +
            std::to_string(c.failing) + " failing, " + std::to_string(c.unpolled) + " not read, " +
            std::to_string(c.removed) + " removed\n";
    return text;
}

std::string StatusText::nodes(const Snapshot& s, bool json) {
    if (json) {
        Json::Value all(Json::arrayValue);
        for (const auto& node : s.nodes) {
            Json::Value entry;
            entry["address"] = node.address;
            entry["type"] = node.type;
            entry["kind"] = node.kind;
            entry["state"] = state(node);
            entry["failing_since"] = node.polled && node.health.failing && !node.removed
                                         ? Json::Value(timeOfDay(wall(s, node.health.failingSince), true))
                                         : Json::Value();
            // As a DATA_GET carries them.
            Json::Value values(Json::arrayValue);
            for (std::size_t c = 0; c < node.values.size(); ++c) {
                Json::Value channel;
                channel["channel"] = static_cast<Json::UInt>(c);
                channel["data"] = Json::Value(Json::arrayValue);
                for (unsigned int v : node.values[c]) channel["data"].append(v);
                values.append(channel);
            }
            entry["values"] = values;
            entry["requests"] = static_cast<Json::UInt64>(node.health.requests);
            entry["valid"] = static_cast<Json::UInt64>(node.health.valid);
            entry["missing"] = static_cast<Json::UInt64>(node.health.missing);
            entry["invalid"] = static_cast<Json::UInt64>(node.health.invalid);
            entry["reply_time_ms"] = node.health.keptTimes > 0 ? Json::Value(node.health.medianReplyUs / 1000.0)
                                                               : Json::Value();
            all.append(entry);
        }
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["precision"] = 3;
        builder["precisionType"] = "decimal";
        return Json::writeString(builder, all) + "\n";
    }
    std::string text;
    for (const auto& node : s.nodes) {
        std::string line = "node " + std::to_string(node.address) + ": type " + std::to_string(node.type) + " " +
                           node.kind + ", " + state(node);
        if (node.polled && node.health.failing && !node.removed) {
            line += " since " + timeOfDay(wall(s, node.health.failingSince), false);
        }
        line += ", values " + valuesText(node) + ", " + std::to_string(node.health.requests) + " requests, " +
                std::to_string(node.health.valid) + " valid, " + std::to_string(node.health.missing) + " missing, " +
                std::to_string(node.health.invalid) + " invalid";
        if (node.health.keptTimes > 0) line += ", reply " + number(node.health.medianReplyUs / 1000.0, "%.1f") + " ms";
        text += line + "\n";
    }
    if (text.empty()) text = "no nodes\n";
    return text;
}
