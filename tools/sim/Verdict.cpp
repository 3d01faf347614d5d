#include "Verdict.h"

#include <cmath>
#include <cstdio>
#include <regex>

namespace {
std::string seconds(double t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f s", t);
    return buf;
}

std::string millis(double t) { return std::to_string(std::lround(t * 1000)) + " ms"; }

std::string times(int n) {
    return n == 0 ? "never seen" : n == 1 ? "seen once" : "seen " + std::to_string(n) + " times";
}

Json::Value frameJson(const Event& e) {
    Json::Value v;
    v["code"] = e.code;
    if (e.address >= 0) v["address"] = e.address;
    if (e.random >= 0) v["random"] = e.random;
    if (e.gateway >= 0) v["gateway"] = e.gateway;
    v["crc_ok"] = e.crcOk;
    if (!e.values.empty()) {
        v["values"] = Json::Value(Json::arrayValue);
        for (const auto& row : e.values) {
            Json::Value r(Json::arrayValue);
            for (unsigned x : row) r.append(x);
            v["values"].append(r);
        }
    }
    return v;
}
}  // namespace

Verdict::Verdict(const Scenario& scenario)
    : scenario_(scenario), states_(scenario.steps.size()), regexes_(scenario.steps.size()) {
    for (size_t i = 0; i < scenario_.steps.size(); ++i) {
        const auto& step = scenario_.steps[i];
        if (step.kind == "console") regexes_[i] = std::regex(step.pattern["regex"].asString());  // checked on load
    }
}

bool Verdict::matches(const Json::Value& pattern, const Json::Value& actual) {
    if (pattern.isString() && pattern.asString() == "*") return !actual.isNull();
    if (pattern.isObject()) {
        if (!actual.isObject()) return false;
        for (const auto& key : pattern.getMemberNames()) {
            if (!actual.isMember(key) || !matches(pattern[key], actual[key])) return false;
        }
        return true;
    }
    if (pattern.isArray()) {
        if (!actual.isArray() || actual.size() != pattern.size()) return false;
        for (Json::ArrayIndex i = 0; i < pattern.size(); ++i)
            if (!matches(pattern[i], actual[i])) return false;
        return true;
    }
    if (pattern.isNumeric()) return actual.isNumeric() && actual.asDouble() == pattern.asDouble();
    return pattern == actual;
}

bool Verdict::endOnly(const Scenario::Step& step) const {
    return step.kind == "stop" || step.kind == "pin_violations" || step.kind == "pin_exported";
}

double Verdict::refLocked(const std::string& id) const {
    auto it = refs_.find(id);
    return it == refs_.end() ? -1 : it->second;
}

double Verdict::referenceTime(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refLocked(id);
}

void Verdict::markReference(const std::string& id, double t) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (refs_.count(id)) return;
        refs_[id] = t;
        ++changes_;
    }
    changed_.notify_all();
}

void Verdict::stopping(double t) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stoppingAt_ < 0) stoppingAt_ = t;
}

void Verdict::poke() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++changes_;
    }
    changed_.notify_all();
}

bool Verdict::eventMatches(size_t index, State& st, const Event& e) const {
    const Scenario::Step& step = scenario_.steps[index];
    const std::string& k = step.kind;
    if (k == "handshake") {
        if (e.kind != Event::Kind::ServerIn || st.handshakeSeen.size() >= 3) return false;
        st.handshakeSeen.push_back(e.json.isObject() && e.json["message_type"].isInt() ? e.json["message_type"].asInt()
                                                                                         : -1);
        if (st.handshakeSeen.size() < 3) return false;
        if (st.handshakeSeen == std::vector<int>{1, 12, 8}) return true;
        st.why = "the first requests were of types " + std::to_string(st.handshakeSeen[0]) + ", " +
                 std::to_string(st.handshakeSeen[1]) + ", " + std::to_string(st.handshakeSeen[2]) +
                 " instead of 1, 12, 8";
        return false;
    }
    if (k == "server_receives") return e.kind == Event::Kind::ServerIn && matches(step.pattern, e.json);
    if (k == "bus_frame") {
        const bool fromNode = step.pattern.get("from", "gateway").asString() == "node";
        if (e.kind != (fromNode ? Event::Kind::BusIn : Event::Kind::BusOut) || e.code < 0) return false;
        Json::Value pattern = step.pattern;
        pattern.removeMember("from");
        return matches(pattern, frameJson(e));
    }
    if (k == "console") {
        const std::string stream = step.pattern["stream"].asString();
        const bool out = e.kind == Event::Kind::ConsoleOut, err = e.kind == Event::Kind::ConsoleErr;
        if (!(stream == "stdout" ? out : stream == "stderr" ? err : (out || err))) return false;
        return std::regex_search(e.text, regexes_[index]);
    }
    if (k == "exit") {
        if (e.kind != Event::Kind::Exit || stoppingAt_ >= 0) return false;
        const Json::Value& want = step.pattern.get("status", "nonzero");
        if (want.isString() && want.asString() == "nonzero") return e.status != 0;
        if (want.isInt()) return e.status == want.asInt();
        return true;
    }
    return false;
}

std::vector<std::string> Verdict::observe(const Event& e) {
    std::vector<std::string> lines;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (e.kind == Event::Kind::Exit) {
            exitStatus_ = e.status;
            exitAt_ = e.t;
            changed = true;
        }
        if (e.kind == Event::Kind::BusOut) {
            ++pinFrames_;
            if (e.pinViolation) {
                ++pinViolations_;
                lines.push_back("the frame above was sent while the direction pin read \"0\"");
            }
        }
        for (size_t i = 0; i < scenario_.steps.size(); ++i) {
            const Scenario::Step& step = scenario_.steps[i];
            State& st = states_[i];
            if (endOnly(step) || st.failed) continue;
            double ref = 0;
            if (!step.after.empty()) {
                ref = refLocked(step.after);
                if (ref < 0 || e.t < ref + step.grace) continue;
            }
            if (!eventMatches(i, st, e)) {
                if (!st.why.empty() && st.reachedAt < 0 && !st.failed) {
                    st.failed = true;
                    lines.push_back("FAIL  " + step.title + ": " + st.why);
                    changed = true;
                }
                continue;
            }
            ++st.count;
            if (st.count == step.min && st.reachedAt < 0) {
                double from = step.after.empty() ? std::max(0.0, refLocked("")) : ref;
                if (step.within >= 0 && e.t - from > step.within) {
                    st.failed = true;
                    st.why = "took " + millis(e.t - from) + ", allowed " + millis(step.within);
                    lines.push_back("FAIL  " + step.title + ": " + st.why);
                } else {
                    st.reachedAt = e.t;
                    refs_.emplace(step.id, e.t);
                    if (step.min > 0) lines.push_back("PASS  " + step.title);
                }
                changed = true;
            }
            if (step.max >= 0 && st.count > step.max && !st.failed) {
                st.failed = true;
                st.why = "seen " + std::to_string(st.count) + " times, at most " + std::to_string(step.max) +
                         " allowed (latest: " + e.text + ")";
                lines.push_back("FAIL  " + step.title + ": " + st.why);
                changed = true;
            }
        }
        if (changed) ++changes_;
    }
    if (changed) changed_.notify_all();
    return lines;
}

bool Verdict::deadLocked(const std::string& id) const {
    for (size_t i = 0; i < scenario_.steps.size(); ++i) {
        if (scenario_.steps[i].id != id) continue;
        if (states_[i].failed) return true;
        return !scenario_.steps[i].after.empty() && refLocked(id) < 0 && deadLocked(scenario_.steps[i].after);
    }
    return false;  // a command: it goes out unless what it waits for is dead (checked by the caller)
}

bool Verdict::dead(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deadLocked(id);
}

bool Verdict::allMatched() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < scenario_.steps.size(); ++i) {
        const auto& step = scenario_.steps[i];
        if (endOnly(step) || step.min <= 0) continue;
        if (states_[i].reachedAt >= 0 || states_[i].failed) continue;
        // Waiting for a step that failed: it can never be checked.
        if (!step.after.empty() && refLocked(step.after) < 0 && deadLocked(step.after)) continue;
        return false;
    }
    return true;
}

std::vector<Verdict::Result> Verdict::finish(bool pinExported) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Result> results;
    for (size_t i = 0; i < scenario_.steps.size(); ++i) {
        const Scenario::Step& step = scenario_.steps[i];
        const State& st = states_[i];
        Result r;
        r.title = step.title;
        if (step.kind == "stop") {
            const Json::Value& want = step.pattern.isObject() ? step.pattern.get("status", 0) : Json::Value(0);
            if (exitAt_ >= 0 && (stoppingAt_ < 0 || exitAt_ < stoppingAt_)) {
                r.detail = "the gateway ended by itself (status " + std::to_string(exitStatus_) + ") at " +
                           seconds(exitAt_) + ", before it was stopped";
            } else if (exitAt_ < 0) {
                r.detail = "the gateway did not end after SIGTERM";
            } else {
                r.pass = !want.isInt() || exitStatus_ == want.asInt();
                r.detail = "SIGTERM at " + seconds(stoppingAt_) + ", ended " +
                           std::to_string(static_cast<int>((exitAt_ - stoppingAt_) * 1000)) + " ms later with status " +
                           std::to_string(exitStatus_);
            }
        } else if (step.kind == "pin_violations") {
            const long minFrames = step.pattern.isObject() ? step.pattern.get("min_frames", 1).asInt() : 1;
            r.pass = pinViolations_ <= step.max && pinFrames_ >= minFrames;
            r.detail = std::to_string(pinFrames_) + " frames from the gateway checked, " +
                       std::to_string(pinViolations_) + " sent while the pin read \"0\"";
        } else if (step.kind == "pin_exported") {
            const bool want = step.pattern.asBool();
            r.pass = pinExported == want;
            r.detail = pinExported ? "the pin was exported" : "the pin was never exported";
        } else if (st.failed) {
            r.detail = st.why;
        } else if (st.count < step.min) {
            if (!step.after.empty() && refLocked(step.after) < 0)
                r.detail = "never checked: \"" + step.after +
                           (deadLocked(step.after) ? "\" failed" : "\" did not happen");
            else
                r.detail = "seen " + std::to_string(st.count) + " of " + std::to_string(step.min) + " times needed";
        } else {
            r.pass = true;
            if (step.min > 0) r.detail = "at " + seconds(st.reachedAt);
            if (step.min != 1 || step.max >= 0) r.detail += (r.detail.empty() ? "" : ", ") + times(st.count);
        }
        results.push_back(r);
    }
    return results;
}
