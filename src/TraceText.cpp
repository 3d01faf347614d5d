#include "TraceText.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <cstdio>
#include <utility>

#include "Message.h"
#include "MessageName.h"

namespace {

std::string clock(std::chrono::system_clock::time_point at) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06ld", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long>(micros % 1000000));
    return text;
}

std::string hex(const unsigned char* bytes, std::size_t count) {
    std::string text;
    char two[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += two;
    }
    return text;
}

const char* frameName(unsigned char code) {
    switch (code) {
        case Message::DISCOVERY: return "DISCOVERY";
        case Message::DISCOVERY_REPLY: return "DISCOVERY_REPLY";
        case Message::ADDRESS_ASSIGN: return "ADDRESS_ASSIGN";
        case Message::ADDRESS_CHECK: return "ADDRESS_CHECK";
        case Message::ADDRESS_CONFIRM: return "ADDRESS_CONFIRM";
        case Message::VALUE_REQUEST: return "VALUE_REQUEST";
        case Message::VALUE_REPLY: return "VALUE_REPLY";
        case Message::SET: return "SET";
        case Message::MEASURE: return "MEASURE";
        default: return "UNKNOWN";
    }
}

// The payload as the node's type lays it out: channels of values, each
// dataRange bits, least significant bit first.
std::string values(const unsigned char* payload, std::size_t available, const Node& node) {
    const DeviceType type = node.getType();
    std::string text = "[";
    std::size_t bit = 0;
    for (unsigned int c = 0; c < node.getChannelCount(); ++c) {
        text += c == 0 ? "[" : ",[";
        for (unsigned int v = 0; v < type.getDataCount(); ++v) {
            std::uint64_t value = 0;
            for (unsigned int b = 0; b < type.getDataRange(); ++b, ++bit) {
                if (bit / 8 >= available) return text + "…]]";
                if (b < 32 && (payload[bit / 8] >> (bit % 8) & 1)) value |= std::uint64_t{1} << b;
            }
            text += (v == 0 ? "" : ",") + std::to_string(value);
        }
        text += "]";
    }
    return text + "]";
}

}  // namespace

TraceText::TraceText(NodeLookup nodeLookup) : lookup(std::move(nodeLookup)) {}

std::string TraceText::dropped(std::uint64_t count) {
    return "… " + std::to_string(count) + " trace lines dropped: the reader was too slow";
}

std::string TraceText::line(const TraceEvent& event) const {
    const std::string at = clock(event.at) + " ";
    switch (event.kind) {
        case TraceEvent::Kind::lineLost: return at + "serial device lost";
        case TraceEvent::Kind::lineBack: return at + "serial device back";
        case TraceEvent::Kind::serverIn:
        case TraceEvent::Kind::serverOut: {
            std::string name = "?";
            const std::size_t key = event.text.find("\"message_type\"");
            if (key != std::string::npos) {
                const std::size_t digits = event.text.find_first_of("0123456789", key + 14);
                if (digits != std::string::npos) {
                    const unsigned long code = std::strtoul(event.text.c_str() + digits, nullptr, 10);
                    name = std::string(messageName(static_cast<unsigned int>(code))) + " (" +
                           std::to_string(code) + ")";
                }
            }
            std::string text = event.text;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
            if (event.length > event.text.size()) {
                text += " … (" + std::to_string(event.length) + " B)";
            }
            return at + (event.kind == TraceEvent::Kind::serverIn ? "srv -> gw " : "gw -> srv ") + name + " " + text;
        }
        case TraceEvent::Kind::busOut:
        case TraceEvent::Kind::busIn: break;
    }
    return at + frame(event);
}

std::string TraceText::frame(const TraceEvent& event) const {
    const bool in = event.kind == TraceEvent::Kind::busIn;
    std::string text = in ? "bus -> gw " : "gw -> bus ";
    const std::size_t n = std::min(event.length, TraceEvent::MAX_BYTES);
    const unsigned char* b = event.bytes.data();
    char replyTime[32] = "";
    if (in) std::snprintf(replyTime, sizeof replyTime, ", reply %.1f ms", static_cast<double>(event.replyUs) / 1000.0);
    if (in && n == 0) return text + "node " + std::to_string(event.node) + ": no reply" + replyTime;

    // The first whole frame in the bytes: start marker, length, end marker.
    std::size_t start = 0;
    for (; start + 4 <= n; ++start) {
        if (b[start] == Message::START && start + b[start + 1] + 4u <= n &&
            b[start + b[start + 1] + 3u] == Message::END) {
            break;
        }
    }
    if (start + 4 > n) {
        text += in ? "node " + std::to_string(event.node) + ": no frame in " + std::to_string(n) + " B"
                   : std::to_string(n) + " B, no frame";
        return text + replyTime + " | " + hex(b, n);
    }
    const unsigned char length = b[start + 1];
    const unsigned char code = b[start + 2];
    const bool crcOk = crc.calculateChecksum(b, static_cast<short>(start + 1), static_cast<short>(start + 1 + length)) ==
                       b[start + 2 + length];
    char codeText[16];
    std::snprintf(codeText, sizeof codeText, " (0x%02X)", code);
    text += std::string(frameName(code)) + codeText;
    if (event.hasNode) text += " node " + std::to_string(event.node);
    if (code == Message::SET || code == Message::VALUE_REPLY) {
        Node record;
        if (event.hasNode && lookup && lookup(event.node, record)) {
            text += " values " + values(b + start + 6, length >= 4 ? length - 4u : 0u, record);
        }
    } else if (code == Message::DISCOVERY_REPLY && length >= 5) {
        text += " channels " + std::to_string(b[start + 3]) + " type " + std::to_string(b[start + 4]) + " random " +
                std::to_string(b[start + 5] << 8 | b[start + 6]);
    } else if ((code == Message::ADDRESS_ASSIGN || code == Message::ADDRESS_CONFIRM) && length >= 6) {
        text += " random " + std::to_string(b[start + 3] << 8 | b[start + 4]);
    }
    text += crcOk ? ", crc ok" : ", crc BAD";
    if (start > 0 || start + length + 4u < n) text += ", " + std::to_string(n) + " B in all";
    return text + replyTime + " | " + hex(b, n);
}
