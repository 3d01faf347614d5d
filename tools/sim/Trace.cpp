#include "Trace.h"

#include <cstdio>

Trace::Trace(std::ostream& out, Mode mode, double repeatWindow)
    : out_(out), mode_(mode), repeatWindow_(repeatWindow), start_(std::chrono::steady_clock::now()) {}

double Trace::now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

const char* Trace::label(Event::Kind kind) {
    switch (kind) {
        case Event::Kind::ServerIn: return "gw -> srv";
        case Event::Kind::ServerOut: return "srv -> gw";
        case Event::Kind::BusOut: return "gw -> bus";
        case Event::Kind::BusIn: return "bus -> gw";
        case Event::Kind::ConsoleOut: return "gw says";
        case Event::Kind::ConsoleErr: return "gw ERR";
        case Event::Kind::Exit: return "gw exit";
        case Event::Kind::Note: return "bench";
    }
    return "?";
}

void Trace::record(Event e) {
    if (e.t == 0) e.t = now();
    std::lock_guard<std::mutex> lock(mutex_);

    if (mode_ != Mode::Quiet) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%8.3f  %-9s  ", e.t, label(e.kind));
        const bool repetitive = e.kind == Event::Kind::BusOut || e.kind == Event::Kind::BusIn ||
                                e.kind == Event::Kind::ConsoleOut;
        if (mode_ == Mode::Full || !repetitive) {
            printLocked(stamp + e.text);
        } else {
            Shown& s = shown_[std::string(label(e.kind)) + e.text];
            if (e.t - s.at < repeatWindow_) {
                ++s.hidden;
                ++hiddenTotal_;
            } else {
                std::string line = stamp + e.text;
                if (s.hidden > 0) line += "   (and " + std::to_string(s.hidden) + " more like it)";
                s.hidden = 0;
                s.at = e.t;
                printLocked(line);
            }
        }
    }

    for (auto& listener : listeners_) {
        for (const std::string& line : listener(e)) {
            if (mode_ == Mode::Quiet) continue;
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%8.3f  %-9s  ", e.t, "STEP");
            printLocked(stamp + line);
        }
    }
}

void Trace::note(const std::string& text) {
    Event e;
    e.kind = Event::Kind::Note;
    e.text = text;
    record(std::move(e));
}

void Trace::print(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    printLocked(line);
}

void Trace::heading(const std::string& line) {
    if (mode_ != Mode::Quiet) print(line);
}

void Trace::addListener(Listener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_.push_back(std::move(listener));
}

void Trace::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ == Mode::Normal && hiddenTotal_ > 0) {
        printLocked("          (" + std::to_string(hiddenTotal_) +
                    " lines repeating one shown shortly before were left out; --full shows all)");
    }
}

void Trace::printLocked(const std::string& line) {
    out_ << line << '\n';
    out_.flush();
}
