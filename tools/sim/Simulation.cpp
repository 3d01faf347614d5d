#include "Simulation.h"

#include <signal.h>

#include <cstdio>
#include <deque>
#include <mutex>

#include "BusBench.h"
#include "GatewayProcess.h"
#include "ScriptedServer.h"
#include "Workspace.h"

namespace {
// The server's own answer to NEW_NODES_FOUND, waiting for its time.
struct Pending {
    double due = 0;
    std::vector<std::string> messages;
    std::vector<size_t> split;
};

std::string oneDecimal(double t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", t);
    return buf;
}
}  // namespace

Simulation::Simulation(const Scenario& scenario, Trace& trace, Options options)
    : scenario_(scenario), trace_(trace), options_(std::move(options)), verdict_(scenario) {}

void Simulation::interrupt() {
    interrupted_ = true;
    verdict_.poke();
}

int Simulation::run() {
    const Scenario& sc = scenario_;
    trace_.heading("pelko-sim: scenario \"" + sc.name + "\"" + (sc.description.empty() ? "" : ": " + sc.description));

    Workspace ws;
    ws.keep(options_.keepDir);
    ws.layOutPin(sc.pin);
    // Declared before the server, whose thread uses them until it is joined.
    std::mutex pendingMutex;
    std::deque<Pending> answers;  // the server's own replies, due in order
    bool addressSent = false, typesSent = false, nodesSent = false;
    // The gateway finds the line by a stable name, as by /dev/serial/by-id.
    const std::string pinFile = options_.pinFile.empty() ? ws.valuePath(sc.pin) : options_.pinFile;
    BusBench bus(trace_, sc, options_.withoutPin ? "" : pinFile, ws.dir() + "/bus-adapter", options_.line);
    ScriptedServer server(trace_, options_.serverPort);
    server.setFraming(sc.messageEnding(), sc.pretty);

    // The configuration the gateway finds in its working directory.
    std::vector<std::pair<std::string, std::string>> settings = {
        {"ip", "127.0.0.1"}, {"port", std::to_string(server.port())}, {"uart", bus.devicePath()},
        {"gpio", sc.pin},    {"gpio_root", ws.gpioRoot()}};
    // Without a pin the gpio keys go: the gateway must not need them.
    if (options_.withoutPin) settings.resize(3), settings.emplace_back("direction", "none");
    std::vector<std::pair<std::string, std::string>> overrides(sc.configOverride.begin(), sc.configOverride.end());
    overrides.insert(overrides.end(), options_.settings.begin(), options_.settings.end());
    for (const auto& kv : overrides) {
        bool replaced = false;
        for (auto& s : settings)
            if (s.first == kv.first) s.second = kv.second, replaced = true;
        if (!replaced) settings.emplace_back(kv.first, kv.second);
    }
    for (const auto& key : sc.configOmit)
        for (auto it = settings.begin(); it != settings.end();) it = it->first == key ? settings.erase(it) : it + 1;
    if (sc.writeConfig) ws.writeConfig(settings);

    trace_.heading("  working directory " + ws.dir() + (options_.keepDir ? " (kept)" : ""));
    if (sc.writeConfig) {
        std::string conf;
        for (const auto& s : settings) conf += " " + s.first + "=" + s.second;
        trace_.heading("  pelko.conf [settings]" + conf);
    } else {
        trace_.heading("  no pelko.conf");
    }
    trace_.heading("  server on 127.0.0.1:" + std::to_string(server.port()) + ", bus on " + bus.devicePath() +
                 (options_.withoutPin        ? ", no direction pin"
                  : options_.pinFile.empty() ? ", direction pin " + sc.pin + " under " + ws.gpioRoot()
                                             : ", direction pin read from " + options_.pinFile));
    trace_.heading("");
    trace_.heading("    time  source     what");

    trace_.addListener([this](const Event& e) { return verdict_.observe(e); });

    server.onMessage([&](const Event& e) {
        if (!e.json.isObject() || !e.json["message_type"].isInt()) return;
        const int type = e.json["message_type"].asInt();
        if (type == 1 && !addressSent) {
            addressSent = true;
            if (!server.send({sc.addressAnswerText()}, sc.addressAnswer.split))
                trace_.note("could not send the address answer");
        } else if (type == 12 && !typesSent) {
            typesSent = true;
            if (!server.send({sc.typeAnswerText()}, sc.typeAnswer.split)) trace_.note("could not send the type list");
        } else if (type == 8 && !nodesSent) {
            nodesSent = true;
            if (!server.send({sc.nodeAnswerText()}, sc.nodeAnswer.split)) trace_.note("could not send the node list");
            const double t = trace_.now();
            bus.beginBehaviour(t);
            verdict_.markReference("", t);
            trace_.note("handshake answered; scenario times count from here");
        } else if (type == 3 && sc.answerNewNodes) {
            Json::Value reply;
            reply["message_type"] = 4;
            reply["nodes"] = Json::Value(Json::arrayValue);
            for (const auto& found : e.json["nodes"]) {
                const Scenario::Node* n = sc.findNodeByRandom(found.get("random", -1).asInt());
                if (!n) {
                    trace_.note("the server knows no node with random " + compactJson(found["random"]) +
                                "; it gives it no address");
                    continue;
                }
                Json::Value entry;
                entry["address"] = n->address;
                entry["random"] = n->random;
                entry["channel_count"] = found.get("channel_count", n->channelCount);
                entry["type"] = found.get("type", n->type);
                reply["nodes"].append(entry);
            }
            std::lock_guard<std::mutex> lock(pendingMutex);
            answers.push_back({trace_.now() + sc.answerDelay, {compactJson(reply)}, {}});
            verdict_.poke();
        }
    });

    server.start();
    bus.start();
    GatewayProcess gateway(trace_);
    std::string error;
    if (!gateway.start(options_.gateway, ws.dir(), error)) {
        trace_.print("pelko-sim: cannot start the gateway: " + error);
        return 3;
    }
    trace_.note("started " + options_.gateway + " (pid " + std::to_string(gateway.pid()) + ")");

    // Drive the scenario until every step had its match and every command went
    // out (plus the settle time), the gateway ended, or the time-out came.
    std::vector<bool> sent(sc.commands.size(), false);
    double settledSince = -1;
    double endedAt = -1;
    for (;;) {
        const double now = trace_.now();
        double wake = sc.timeout;
        bool answersPending = false;
        for (size_t i = 0; i < sc.commands.size(); ++i) {
            if (sent[i]) continue;
            const Scenario::Command& c = sc.commands[i];
            const double ref = verdict_.referenceTime(c.after);
            if (ref < 0 && !c.after.empty() && verdict_.dead(c.after)) {
                sent[i] = true;
                trace_.note("not sending (\"" + c.after + "\" failed): " + c.describe());
                continue;
            }
            if (ref < 0) continue;
            if (now >= ref + c.at) {
                sent[i] = true;
                // Marked first: what the gateway does about it may be in the trace before send() returns.
                verdict_.markReference(c.id.empty() ? "#" + std::to_string(i) : c.id, trace_.now());
                if (c.line == "unplug") {
                    bus.unplug();
                } else if (c.line == "replug") {
                    bus.replug();
                } else if (c.close) {
                    server.closeClient();
                } else if (c.stopReading > 0) {
                    server.pauseReading(c.stopReading);
                } else if (!server.send(c.messages, c.split)) {
                    trace_.note("could not send (no connection): " + c.describe());
                }
            } else {
                wake = std::min(wake, ref + c.at);
            }
        }
        {
            std::lock_guard<std::mutex> lock(pendingMutex);
            while (!answers.empty() && answers.front().due <= now) {
                if (!server.send(answers.front().messages, answers.front().split))
                    trace_.note("could not send NEW_ADDRESSES (no connection)");
                answers.pop_front();
            }
            if (!answers.empty()) wake = std::min(wake, answers.front().due);
            answersPending = !answers.empty();
        }

        bool allSent = true;
        for (bool s : sent) allSent = allSent && s;
        if (interrupted_) {
            trace_.note("interrupted");
            break;
        }
        if (now >= sc.timeout) {
            trace_.note("time-out after " + oneDecimal(sc.timeout) + " s");
            break;
        }
        if (gateway.exited()) {
            // Let the last messages and lines arrive before judging.
            if (endedAt < 0) endedAt = now;
            if (now >= endedAt + sc.settle) break;
            wake = std::min(wake, endedAt + sc.settle);
        } else if (allSent && !answersPending && verdict_.allMatched()) {
            if (settledSince < 0) {
                settledSince = now;
                trace_.note("every step settled; running " + oneDecimal(sc.settle) + " s more");
            }
            if (now >= settledSince + sc.settle) break;
            wake = std::min(wake, settledSince + sc.settle);
        } else {
            settledSince = -1;
        }
        verdict_.waitForChange(wake, [this] { return trace_.now(); });
    }

    if (!gateway.exited()) {
        verdict_.stopping(trace_.now());
        trace_.note("stopping the gateway with SIGTERM");
        gateway.signal(SIGTERM);
        if (!gateway.waitExit(5.0)) {
            trace_.note("the gateway did not end within 5 s of SIGTERM; killing it");
            gateway.signal(SIGKILL);
            gateway.waitExit(5.0);
        }
    }
    bus.stop();
    const bool exported = ws.pinExported();
    trace_.finish();

    const auto results = verdict_.finish(exported);
    int passed = 0;
    trace_.heading("");
    trace_.print("Summary of \"" + sc.name + "\" after " + oneDecimal(trace_.now()) + " s:");
    for (const auto& r : results) {
        passed += r.pass ? 1 : 0;
        trace_.print(std::string(r.pass ? "  PASS  " : "  FAIL  ") + r.title +
                     (r.detail.empty() ? "" : "  (" + r.detail + ")"));
    }
    trace_.print(bus.statistics());
    const bool ok = passed == static_cast<int>(results.size()) && !interrupted_;
    trace_.print(std::string(ok ? "Result: PASS" : "Result: FAIL") + ", " + std::to_string(passed) + " of " +
                 std::to_string(results.size()) + " steps passed");
    return ok ? 0 : 1;
}
