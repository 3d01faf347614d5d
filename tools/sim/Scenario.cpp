#include "Scenario.h"

#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

namespace {

std::string fail(const std::string& file, const std::string& what) { return file + ": " + what; }

// Reads an optional number member, insisting on a number when present.
double number(const Json::Value& obj, const char* key, double fallback, const std::string& where) {
    if (!obj.isMember(key)) return fallback;
    if (!obj[key].isNumeric()) throw std::runtime_error(where + ": \"" + key + "\" must be a number");
    return obj[key].asDouble();
}

int integer(const Json::Value& obj, const char* key, int fallback, const std::string& where) {
    if (!obj.isMember(key)) return fallback;
    if (!obj[key].isInt()) throw std::runtime_error(where + ": \"" + key + "\" must be an integer");
    return obj[key].asInt();
}

std::string text(const Json::Value& obj, const char* key, const std::string& fallback, const std::string& where) {
    if (!obj.isMember(key)) return fallback;
    if (!obj[key].isString()) throw std::runtime_error(where + ": \"" + key + "\" must be a string");
    return obj[key].asString();
}

bool flag(const Json::Value& obj, const char* key, bool fallback, const std::string& where) {
    if (!obj.isMember(key)) return fallback;
    if (!obj[key].isBool()) throw std::runtime_error(where + ": \"" + key + "\" must be true or false");
    return obj[key].asBool();
}

std::vector<size_t> splitPoints(const Json::Value& obj, const std::string& where) {
    std::vector<size_t> out;
    if (!obj.isMember("split")) return out;
    const Json::Value& s = obj["split"];
    if (!s.isArray()) throw std::runtime_error(where + ": \"split\" must be a list of byte counts");
    for (const auto& v : s) {
        if (!v.isUInt() || v.asUInt() == 0) throw std::runtime_error(where + ": \"split\" holds positive byte counts");
        out.push_back(v.asUInt());
    }
    return out;
}

// Values per channel: a list of lists, or one number for every value.
std::vector<std::vector<unsigned>> valueTable(const Json::Value& v, int channels, int perChannel,
                                              const std::string& where) {
    std::vector<std::vector<unsigned>> table(static_cast<size_t>(channels),
                                             std::vector<unsigned>(static_cast<size_t>(perChannel), 0));
    if (v.isNull()) return table;
    if (v.isUInt()) {
        for (auto& row : table)
            for (auto& x : row) x = v.asUInt();
        return table;
    }
    if (!v.isArray() || static_cast<int>(v.size()) != channels)
        throw std::runtime_error(where + ": values need one list per channel (" + std::to_string(channels) + ")");
    for (int c = 0; c < channels; ++c) {
        const Json::Value& row = v[c];
        if (!row.isArray() || static_cast<int>(row.size()) != perChannel)
            throw std::runtime_error(where + ": each channel needs " + std::to_string(perChannel) + " values");
        for (int i = 0; i < perChannel; ++i) {
            if (!row[i].isUInt()) throw std::runtime_error(where + ": values are unsigned integers");
            table[static_cast<size_t>(c)][static_cast<size_t>(i)] = row[i].asUInt();
        }
    }
    return table;
}

Scenario::Answer answer(const Json::Value& entry, const std::string& where) {
    Scenario::Answer a;
    if (entry.isNull()) return a;
    if (!entry.isObject()) throw std::runtime_error(where + ": an answer is {\"json\": ...} or {\"raw\": \"...\"}");
    a.given = true;
    if (entry.isMember("raw")) {
        a.text = text(entry, "raw", "", where);
    } else if (entry.isMember("json")) {
        a.text = compactJson(entry["json"]);
    } else {
        throw std::runtime_error(where + ": an answer needs \"json\" or \"raw\"");
    }
    a.split = splitPoints(entry, where);
    return a;
}

const std::set<std::string> kStepKinds = {"handshake", "server_receives", "bus_frame", "console", "exit",
                                          "stop", "pin_violations", "pin_exported"};

}  // namespace

std::string compactJson(const Json::Value& v) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["commentStyle"] = "None";
    return Json::writeString(builder, v);
}

std::string Scenario::Command::describe() const {
    if (close) return "close the connection";
    if (!line.empty()) return line + " the serial line";
    if (stopReading > 0) return "stop reading for " + std::to_string(stopReading).substr(0, 4) + " s";
    std::string d;
    for (const auto& m : messages) d += (d.empty() ? "" : " + ") + m;
    if (messages.size() > 1) d += "  (in one write)";
    if (!split.empty()) d += "  (in " + std::to_string(split.size() + 1) + " pieces)";
    return d;
}

Scenario Scenario::load(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error(path + ": cannot be read");
    std::stringstream ss;
    ss << in.rdbuf();
    return parse(ss.str(), path);
}

Scenario Scenario::parse(const std::string& source, const std::string& fileName) {
    Json::CharReaderBuilder rb;
    rb["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(source.data(), source.data() + source.size(), &root, &errors))
        throw std::runtime_error(fail(fileName, "not valid JSON: " + errors));
    if (!root.isObject()) throw std::runtime_error(fail(fileName, "the scenario must be a JSON object"));

    Scenario s;
    s.file = fileName;
    const std::string& f = fileName;
    s.name = text(root, "name", fileName, f);
    s.description = text(root, "description", "", f);
    s.timeout = number(root, "timeout", s.timeout, f);
    s.settle = number(root, "settle", s.settle, f);
    s.gatewayAddress = integer(root, "gateway_address", s.gatewayAddress, f);
    s.lineTiming = flag(root, "line_timing", s.lineTiming, f);
    s.turnaroundUs = integer(root, "turnaround_us", s.turnaroundUs, f);
    s.pin = text(root, "pin", s.pin, f);
    s.writeConfig = flag(root, "write_config", s.writeConfig, f);
    if (root.isMember("config")) {
        const Json::Value& c = root["config"];
        if (!c.isObject()) throw std::runtime_error(fail(f, "\"config\" must be an object of texts"));
        for (const auto& key : c.getMemberNames()) s.configOverride[key] = text(c, key.c_str(), "", f + " config");
    }
    if (root.isMember("config_omit")) {
        for (const auto& k : root["config_omit"]) {
            if (!k.isString()) throw std::runtime_error(fail(f, "\"config_omit\" lists key names"));
            s.configOmit.push_back(k.asString());
        }
    }

    for (const auto& t : root["types"]) {
        const std::string where = f + " types[" + std::to_string(s.types.size()) + "]";
        Type type;
        type.type = integer(t, "type", -1, where);
        type.dataRange = integer(t, "data_range", -1, where);
        type.dataCount = integer(t, "data_count", -1, where);
        type.readWrite = integer(t, "read_write", -1, where);
        type.latency = integer(t, "latency", -1, where);
        if (type.type < 0 || type.dataRange < 0 || type.dataCount < 0 || type.readWrite < 0 || type.latency < 0)
            throw std::runtime_error(where + ": needs type, data_range, data_count, read_write and latency");
        type.listed = flag(t, "listed", true, where);
        type.json = t;
        type.json.removeMember("listed");
        s.types.push_back(type);
    }

    std::set<std::string> names;
    for (const auto& n : root["nodes"]) {
        const std::string where = f + " nodes[" + std::to_string(s.nodes.size()) + "]";
        Node node;
        node.name = text(n, "name", "node" + std::to_string(s.nodes.size()), where);
        node.address = integer(n, "address", -1, where);
        node.random = integer(n, "random", 0, where);
        node.type = integer(n, "type", -1, where);
        node.channelCount = integer(n, "channel_count", -1, where);
        node.addressed = flag(n, "addressed", true, where);
        node.known = flag(n, "known", node.addressed, where);
        if (node.address < 0 || node.address > 0xFFFF || node.channelCount < 0 || node.random < 0 ||
            node.random > 0xFFFF)
            throw std::runtime_error(where + ": needs an address and a channel_count (random: 0..65535)");
        const Type* type = s.findType(node.type);
        if (!type) throw std::runtime_error(where + ": type " + std::to_string(node.type) + " is not in \"types\"");
        node.values = valueTable(n["values"], node.channelCount, type->dataCount, where);
        node.listValues = valueTable(n["list_values"], node.channelCount, type->dataCount, where);
        if (n.isMember("drift")) {
            node.driftEvery = number(n["drift"], "every", 1.0, where + " drift");
            node.driftStep = static_cast<unsigned>(integer(n["drift"], "step", 1, where + " drift"));
            node.driftUntil = number(n["drift"], "until", -1, where + " drift");
        }
        if (n.isMember("toggle")) node.toggleEvery = number(n["toggle"], "every", 1.0, where + " toggle");
        node.silentFrom = number(n, "silent_from", -1, where);
        node.silentUntil = number(n, "silent_until", -1, where);
        node.fault = text(n, "fault", "", where);
        if (!node.fault.empty() && node.fault != "garbage" && node.fault != "bad_crc" && node.fault != "overlong" &&
            node.fault != "wrong_check")
            throw std::runtime_error(where + ": fault is one of garbage, bad_crc, overlong, wrong_check");
        node.turnaroundUs = integer(n, "turnaround_us", -1, where);
        if (!names.insert(node.name).second) throw std::runtime_error(where + ": name used twice");
        for (const auto& other : s.nodes)
            if (other.address == node.address)
                throw std::runtime_error(where + ": address " + std::to_string(node.address) + " is also " +
                                         other.name + "'s");
        s.nodes.push_back(node);
    }

    if (root.isMember("node_list_filler")) {
        const Json::Value& fl = root["node_list_filler"];
        const std::string where = f + " node_list_filler";
        s.fillerBytes = integer(fl, "bytes", 0, where);
        s.fillerType = integer(fl, "type", -1, where);
        s.fillerFirstAddress = integer(fl, "first_address", s.fillerFirstAddress, where);
        if (!s.findType(s.fillerType)) throw std::runtime_error(where + ": its type must be in \"types\"");
    }

    const Json::Value& server = root["server"];
    s.framing = text(server, "framing", s.framing, f + " server");
    if (s.framing != "zero" && s.framing != "line_feed" && s.framing != "crlf" && s.framing != "none")
        throw std::runtime_error(f + " server: \"framing\" is \"zero\", \"line_feed\", \"crlf\" or \"none\"");
    s.pretty = flag(server, "pretty", s.pretty, f + " server");
    s.addressAnswer = answer(server["address_answer"], f + " server.address_answer");
    s.typeAnswer = answer(server["type_answer"], f + " server.type_answer");
    s.nodeAnswer = answer(server["node_answer"], f + " server.node_answer");
    s.answerNewNodes = flag(server, "answer_new_nodes", s.answerNewNodes, f + " server");
    s.answerDelay = number(server, "answer_delay", s.answerDelay, f + " server");

    std::set<std::string> ids;
    for (const auto& c : server["commands"]) {
        const std::string where = f + " server.commands[" + std::to_string(s.commands.size()) + "]";
        Command cmd;
        cmd.id = text(c, "id", "", where);
        cmd.at = number(c, "at", 0, where);
        cmd.after = text(c, "after", "", where);
        cmd.close = flag(c, "close", false, where);
        cmd.line = text(c, "line", "", where);
        if (!cmd.line.empty() && cmd.line != "unplug" && cmd.line != "replug")
            throw std::runtime_error(where + ": \"line\" is \"unplug\" or \"replug\"");
        cmd.split = splitPoints(c, where);
        cmd.stopReading = number(c, "stop_reading", 0, where);
        if (c.isMember("send")) {
            const Json::Value& m = c["send"];
            if (m.isArray()) {
                for (const auto& one : m) cmd.messages.push_back(compactJson(one));
            } else {
                cmd.messages.push_back(compactJson(m));
            }
        }
        if (c.isMember("raw")) {
            const Json::Value& r = c["raw"];
            if (r.isArray()) {
                for (const auto& one : r) cmd.messages.push_back(one.asString());
            } else {
                cmd.messages.push_back(text(c, "raw", "", where));
            }
        }
        if (cmd.messages.empty() && !cmd.close && cmd.line.empty() && cmd.stopReading <= 0)
            throw std::runtime_error(where + ": needs \"send\", \"raw\", \"close\", \"line\" or \"stop_reading\"");
        if (!cmd.id.empty() && !ids.insert(cmd.id).second) throw std::runtime_error(where + ": id used twice");
        s.commands.push_back(cmd);
    }

    for (const auto& st : root["expect"]) {
        const std::string where = f + " expect[" + std::to_string(s.steps.size()) + "]";
        Step step;
        step.id = text(st, "id", "step" + std::to_string(s.steps.size() + 1), where);
        step.title = text(st, "title", step.id, where);
        for (const auto& kind : kStepKinds) {
            if (st.isMember(kind)) {
                if (!step.kind.empty()) throw std::runtime_error(where + ": one kind of check per step");
                step.kind = kind;
                step.pattern = st[kind];
            }
        }
        if (step.kind.empty()) throw std::runtime_error(where + ": says nothing to check");
        if (step.kind == "console") {
            try {
                std::regex check(step.pattern.asString());
            } catch (const std::regex_error& e) {
                throw std::runtime_error(where + ": bad regular expression: " + e.what());
            }
            Json::Value p;
            p["regex"] = step.pattern;
            p["stream"] = text(st, "stream", "any", where);
            step.pattern = p;
        }
        // Checks of the whole run default to "never more than allowed".
        if (step.kind == "pin_violations") {
            step.min = 0;
            step.max = step.pattern.isInt() ? step.pattern.asInt() : 0;
        }
        step.min = integer(st, "min", step.min, where);
        step.max = integer(st, "max", step.max, where);
        step.after = text(st, "after", "", where);
        step.grace = number(st, "grace", 0, where);
        step.within = number(st, "within", -1, where);
        if (!ids.insert(step.id).second) throw std::runtime_error(where + ": id \"" + step.id + "\" used twice");
        s.steps.push_back(step);
    }
    for (const auto& c : s.commands)
        if (!c.after.empty() && !ids.count(c.after))
            throw std::runtime_error(fail(f, "command waits for unknown id \"" + c.after + "\""));
    for (const auto& st : s.steps)
        if (!st.after.empty() && !ids.count(st.after))
            throw std::runtime_error(fail(f, "step \"" + st.id + "\" waits for unknown id \"" + st.after + "\""));
    return s;
}

std::string Scenario::messageEnding() const {
    if (framing == "line_feed") return "\n";
    if (framing == "crlf") return "\r\n";
    if (framing == "none") return "";
    return std::string(1, '\0');
}

const Scenario::Type* Scenario::findType(int code) const {
    for (const auto& t : types)
        if (t.type == code) return &t;
    return nullptr;
}

const Scenario::Node* Scenario::findNodeByAddress(int address) const {
    for (const auto& n : nodes)
        if (n.address == address) return &n;
    return nullptr;
}

const Scenario::Node* Scenario::findNodeByRandom(int random) const {
    for (const auto& n : nodes)
        if (!n.addressed && n.random == random) return &n;
    return nullptr;
}

std::string Scenario::addressAnswerText() const {
    if (addressAnswer.given) return addressAnswer.text;
    Json::Value v;
    v["message_type"] = 2;
    v["address"] = gatewayAddress;
    return compactJson(v);
}

std::string Scenario::typeAnswerText() const {
    if (typeAnswer.given) return typeAnswer.text;
    Json::Value v;
    v["message_type"] = 13;
    v["types"] = Json::Value(Json::arrayValue);
    for (const auto& t : types)
        if (t.listed) v["types"].append(t.json);
    return compactJson(v);
}

namespace {
Json::Value listEntry(int address, int type, int channels, const std::vector<std::vector<unsigned>>& values) {
    Json::Value e;
    e["address"] = address;
    e["type"] = type;
    e["channel_count"] = channels;
    e["data"] = Json::Value(Json::arrayValue);
    for (int c = 0; c < channels; ++c) {
        Json::Value ch;
        ch["channel"] = c;
        ch["data"] = Json::Value(Json::arrayValue);
        for (unsigned v : values[static_cast<size_t>(c)]) ch["data"].append(v);
        e["data"].append(ch);
    }
    return e;
}
}  // namespace

std::string Scenario::nodeAnswerText() const {
    if (nodeAnswer.given) return nodeAnswer.text;
    Json::Value v;
    v["message_type"] = 9;
    v["nodes"] = Json::Value(Json::arrayValue);
    if (fillerBytes > 0) {
        // Nodes of a type the bus cycle does not serve, so a long list costs no bus time.
        const Type* t = findType(fillerType);
        size_t size = 40;
        int address = fillerFirstAddress;
        while (size < static_cast<size_t>(fillerBytes) && address <= 0xFFFF) {
            std::vector<std::vector<unsigned>> zeros(1, std::vector<unsigned>(static_cast<size_t>(t->dataCount), 0));
            Json::Value e = listEntry(address++, fillerType, 1, zeros);
            size += compactJson(e).size() + 1;
            v["nodes"].append(e);
        }
    }
    // The scenario's own nodes come last, so seeing them served proves the whole list arrived.
    for (const auto& n : nodes)
        if (n.known) v["nodes"].append(listEntry(n.address, n.type, n.channelCount, n.listValues));
    return compactJson(v);
}
