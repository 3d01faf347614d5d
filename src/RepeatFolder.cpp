#include "RepeatFolder.h"

#include <algorithm>

#include "Console.h"

void RepeatFolder::setWindow(std::chrono::milliseconds length) {
    std::lock_guard<std::mutex> guard(mutex);
    window = length;
}

namespace {

// The line that names a diagnostic: its first one that is not a rule.
std::string headline(const std::string& text) {
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t end = std::min(text.find('\n', from), text.size());
        std::string line = text.substr(from, end - from);
        if (line.find_first_not_of('-') != std::string::npos) return line;
        from = end + 1;
    }
    return text;
}

}  // namespace

void RepeatFolder::sayCount(unsigned short address, const std::string& text, const Seen& entry) const {
    if (entry.folded == 0) return;
    console::out("Node " + std::to_string(address) + ": repeated " + std::to_string(entry.folded) +
                     " more times: " + headline(text),
                 console::Priority::warning);
}

void RepeatFolder::say(unsigned short address, const std::string& text, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(mutex);
    if (window.count() == 0) {
        console::out(text, console::Priority::warning);
        return;
    }
    const auto key = std::make_pair(address, text);
    const auto found = seen.find(key);
    if (found != seen.end() && now - found->second.printed < window) {
        ++found->second.folded;
        return;
    }
    if (found != seen.end()) sayCount(address, text, found->second);
    console::out(text, console::Priority::warning);
    seen[key] = Seen{now, 0};
}

void RepeatFolder::recovered(unsigned short address) {
    std::lock_guard<std::mutex> guard(mutex);
    auto it = seen.lower_bound(std::make_pair(address, std::string()));
    while (it != seen.end() && it->first.first == address) {
        sayCount(address, it->first.second, it->second);
        it = seen.erase(it);
    }
}
