#include "MessageFramer.h"

#include <algorithm>

#include "Console.h"

namespace {

// Handed-out bytes are dropped once they are this many and the bigger part of the buffer.
const std::size_t COMPACT_AFTER = 64 * 1024;
// Bracket kinds kept for matching; deeper levels are only counted. The
// reader refuses such nesting anyway, this only has to find the end.
const std::size_t KINDS_KEPT = 1024;
// Characters of skipped text shown on the console.
const std::size_t EXCERPT = 60;

bool printable(unsigned char byte) { return byte >= 0x20 && byte <= 0x7E; }

void tooLong() {
    console::err("Zpráva delší než " + std::to_string(MessageFramer::MAX_MESSAGE) + " bajtů zahozena",
                 console::Priority::warning);
}

}  // namespace

const std::size_t MessageFramer::MAX_MESSAGE;

void MessageFramer::append(const char* bytes, std::size_t count) { pending.append(bytes, count); }

bool MessageFramer::next(std::string& text) {
    compact();
    while (pos < pending.size()) {
        const auto byte = static_cast<unsigned char>(pending[pos]);
        if (mode == Mode::Skip) {
            if (byte == '{' || byte == '[') {
                endSkipped(true);
                mode = Mode::Start;
                afterValue = false;
                head = pos;
                continue;
            }
            if (byte == 0) {
                // Up to its zero byte the text after a value was that message's own.
                endSkipped(false);
                mode = Mode::Start;
                afterValue = false;
            } else {
                noteSkipped(byte);
            }
            head = ++pos;
            continue;
        }
        if (byte == 0) {
            if (mode == Mode::Start && afterValue) {
                // Only comments since the value: they were that message's own.
                afterValue = skipping = false;
                lex = Lex::Plain;
                head = ++pos;
                continue;
            }
            // A zero byte ends whatever precedes it.
            if (finish(pos, pos + 1, false, text)) return true;
            continue;
        }
        if (mode == Mode::Junk) {
            if (byte == '\n') {
                if (finish(pos, pos + 1, true, text)) return true;
                continue;
            }
            ++pos;
            continue;
        }
        if (scan(byte)) {
            if (finish(pos + 1, pos + 1, true, text)) return true;
            continue;
        }
        if (mode == Mode::Skip) {
            noteSkipped(byte);
            head = ++pos;
            continue;
        }
        // Blanks before a message are no part of it, nor are comments after a value.
        const bool blank = byte == ' ' || !printable(byte);
        if (mode == Mode::Start && (afterValue || (head == pos && lex == Lex::Plain && blank))) ++head;
        ++pos;
    }
    if (!skipping && mode != Mode::Skip && pos - head > MAX_MESSAGE) {
        tooLong();
        skipping = true;
    }
    // An over-long message is dropped as it is scanned.
    if (skipping) head = pos;
    compact();
    return false;
}

bool MessageFramer::scan(unsigned char byte) {
    if (!printable(byte)) {
        // Invisible to the reader; a line end still ends a // comment here.
        if (lex == Lex::Line && (byte == '\n' || byte == '\r')) lex = Lex::Plain;
        return false;
    }
    const char c = static_cast<char>(byte);
    switch (lex) {
    case Lex::String:
        if (c == '\\') lex = Lex::Escape;
        if (c == '"') lex = Lex::Plain;
        return false;
    case Lex::Escape: lex = Lex::String; return false;
    case Lex::Block:
        if (c == '*') lex = Lex::BlockStar;
        return false;
    case Lex::BlockStar:
        lex = c == '/' ? Lex::Plain : c == '*' ? Lex::BlockStar : Lex::Block;
        return false;
    case Lex::Line: return false;
    case Lex::Slash:
        if (c == '*' || c == '/') {
            lex = c == '*' ? Lex::Block : Lex::Line;
            return false;
        }
        lex = Lex::Plain;
        break;  // a lone '/': the character after it counts on its own
    case Lex::Plain: break;
    }

    if (c == '{' || c == '[') {
        mode = Mode::Value;
        if (open.size() < KINDS_KEPT && open.size() == depth) open.push_back(c);
        ++depth;
        return false;
    }
    if (mode == Mode::Start) {
        if (c == '/') {
            lex = Lex::Slash;
        } else if (c != ' ') {
            // Text that starts no value.
            mode = afterValue ? Mode::Skip : Mode::Junk;
        }
        return false;
    }
    if (c == '/') {
        lex = Lex::Slash;
    } else if (c == '"') {
        lex = Lex::String;
    } else if (c == '}' || c == ']') {
        if (depth == open.size()) {
            // A bracket that closes what it did not open ends the message:
            // the reader refuses it, whatever follows.
            if (open.back() != (c == '}' ? '{' : '[')) return true;
            open.pop_back();
        }
        return --depth == 0;
    }
    return false;
}

bool MessageFramer::finish(std::size_t end, std::size_t resume, bool valueEnded, std::string& text) {
    bool keep = !skipping;
    if (skipping) {
        skipping = false;  // its line was said when it passed the bound
    } else if (end - head > MAX_MESSAGE) {
        tooLong();
        keep = false;
    }
    if (keep) text.assign(pending, head, end - head);
    head = pos = resume;
    mode = Mode::Start;
    afterValue = valueEnded;
    lex = Lex::Plain;
    open.clear();
    depth = 0;
    return keep;
}

void MessageFramer::noteSkipped(unsigned char byte) {
    if (byte == ' ') {
        if (skippedCount > 0) ++skippedBlanks;
    } else if (printable(byte)) {
        // Counted from the first to the last character that is not a blank.
        skippedStart.append(std::min(skippedBlanks, EXCERPT - std::min(EXCERPT, skippedStart.size())), ' ');
        if (skippedStart.size() < EXCERPT) skippedStart.push_back(static_cast<char>(byte));
        skippedCount += skippedBlanks + 1;
        skippedBlanks = 0;
    }
}

void MessageFramer::endSkipped(bool say) {
    if (say && skippedCount > 0) {
        console::err("Text mezi zprávami přeskočen (" + std::to_string(skippedCount) + " bajtů): " + skippedStart +
                         (skippedCount > skippedStart.size() ? "..." : ""),
                     console::Priority::warning);
    }
    skippedCount = 0;
    skippedBlanks = 0;
    skippedStart.clear();
}

void MessageFramer::end() {
    if (mode == Mode::Skip) {
        endSkipped(true);
    } else if ((mode != Mode::Start || !afterValue) && (pending.size() > head || skipping)) {
        console::err("Spojení ukončeno uprostřed zprávy, " + std::to_string(pending.size() - head) + " bajtů zahozeno",
                     console::Priority::warning);
    }
    *this = MessageFramer();
}

void MessageFramer::compact() {
    if (head == pending.size() || (head > COMPACT_AFTER && head > pending.size() / 2)) {
        pending.erase(0, head);
        pos -= head;
        head = 0;
    }
}
