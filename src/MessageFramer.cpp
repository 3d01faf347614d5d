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
bool opening(unsigned char byte) { return byte == '{' || byte == '['; }

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
        if (byte == 0 || byte == '\n') {
            terminated = true;
            if (byte == 0 ? zeroByte(text) : lineFeed(text)) return true;
        } else if (other(byte, text)) {
            return true;
        }
    }
    if (!skipping && mode != Mode::Skip && pos - head > MAX_MESSAGE) overBound();
    // What is over the bound is dropped as it is scanned.
    if (skipping) head = pos;
    compact();
    return false;
}

bool MessageFramer::zeroByte(std::string& text) {
    if (mode == Mode::Skip || (mode == Mode::Start && afterValue)) {
        // Up to its zero byte the text after a value was that message's own.
        endSkipped(false);
        restart(pos + 1, false);
        return false;
    }
    // A zero byte ends whatever precedes it.
    return finish(pos, pos + 1, false, text);
}

bool MessageFramer::lineFeed(std::string& text) {
    // Text that starts no value ends here, and so does a drop.
    if (mode == Mode::Junk || skipping) return finish(pos, pos + 1, true, text);
    if (mode == Mode::Value && lineBound) {
        // It came after skipped text and did not close on its line: no value
        // after all, but more of that text.
        for (std::size_t i = head; i < pos; ++i) noteSkipped(static_cast<unsigned char>(pending[i]));
        restart(pos + 1, true);
        return false;
    }
    if (mode == Mode::Skip || (mode == Mode::Start && afterValue)) {
        // Nothing after a value reaches past its line, a comment neither.
        skippedOnLine = false;
        lexer.reset();
        head = ++pos;
        return false;
    }
    return other('\n', text);
}

bool MessageFramer::other(unsigned char byte, std::string& text) {
    if (skipping && !terminated && opening(byte)) {
        // A stream without line feeds or zero bytes: the drop ends where a value starts.
        startValue(byte, true);
        return false;
    }
    switch (mode) {
    case Mode::Skip:
        if (opening(byte)) {
            startValue(byte, skippedOnLine);
            return false;
        }
        noteSkipped(byte);
        skippedOnLine = skippedOnLine || printable(byte);
        head = ++pos;
        return false;
    case Mode::Junk:
        // Follows the values inside, for the bound in a stream that has no
        // line feed or zero byte to end the text.
        if (junkValue == std::string::npos) {
            if (opening(byte)) {
                junkValue = pos;
                lexer.reset();
                opens(byte);
            }
        } else if (scan(byte)) {
            junkValue = std::string::npos;
            open.clear();
            depth = 0;
        }
        ++pos;
        return false;
    case Mode::Value:
        if (scan(byte)) return finish(pos + 1, pos + 1, true, text);
        ++pos;
        return false;
    case Mode::Start: break;
    }

    const JsonLexer::Kind kind = lexer.feed(byte);
    if (kind == JsonLexer::Kind::Plain && opening(byte)) {
        if (afterValue) head = pos;  // comments after a value are no part of the next one
        mode = Mode::Value;
        lineBound = false;
        opens(byte);
        ++pos;
        return false;
    }
    const bool blank = kind == JsonLexer::Kind::Invisible || kind == JsonLexer::Kind::LineEnd ||
                       (kind == JsonLexer::Kind::Plain && byte == ' ');
    if (blank || kind == JsonLexer::Kind::Comment) {
        // Blanks before a message are no part of it. Comments are kept until
        // a value starts, to count towards the bound.
        if (blank && head == pos) ++head;
        ++pos;
        return false;
    }
    // Text that starts no value.
    lexer.reset();
    mode = afterValue ? Mode::Skip : Mode::Junk;
    junkValue = std::string::npos;
    return other(byte, text);
}

bool MessageFramer::scan(unsigned char byte) {
    if (lexer.feed(byte) != JsonLexer::Kind::Plain) return false;
    if (opening(byte)) {
        opens(byte);
        return false;
    }
    if (byte == '}' || byte == ']') {
        if (depth == open.size()) {
            // A bracket that closes what it did not open ends the message:
            // the reader refuses it, whatever follows.
            if (open.back() != (byte == '}' ? '{' : '[')) return true;
            open.pop_back();
        }
        return --depth == 0;
    }
    return false;
}

void MessageFramer::opens(unsigned char bracket) {
    if (open.size() < KINDS_KEPT && open.size() == depth) open.push_back(static_cast<char>(bracket));
    ++depth;
}

void MessageFramer::startValue(unsigned char bracket, bool bound) {
    mode = Mode::Value;
    lineBound = bound;
    skipping = false;
    head = pos;
    lexer.reset();
    open.clear();
    depth = 0;
    opens(bracket);
    ++pos;
}

bool MessageFramer::finish(std::size_t end, std::size_t resume, bool valueEnded, std::string& text) {
    endSkipped(true);  // text skipped before it, said before it
    bool keep = !skipping;  // else its line was said when it passed the bound
    if (keep && end - head > MAX_MESSAGE) {
        tooLong();
        keep = false;
    }
    if (keep) text.assign(pending, head, end - head);
    restart(resume, valueEnded);
    return keep;
}

void MessageFramer::restart(std::size_t resume, bool valueEnded) {
    head = pos = resume;
    mode = Mode::Start;
    afterValue = valueEnded;
    lineBound = skippedOnLine = skipping = false;
    lexer.reset();
    open.clear();
    depth = 0;
    junkValue = std::string::npos;
}

void MessageFramer::overBound() {
    endSkipped(true);
    tooLong();
    if (!terminated && mode == Mode::Junk && junkValue != std::string::npos) {
        // The value open in the text goes on as a message of its own.
        mode = Mode::Value;
        lineBound = true;
        head = junkValue;
        junkValue = std::string::npos;
        skipping = pos - head > MAX_MESSAGE;
    } else {
        skipping = true;
    }
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
    endSkipped(true);
    if (mode != Mode::Skip && (mode != Mode::Start || !afterValue) && (pending.size() > head || skipping)) {
        console::err("Spojení ukončeno uprostřed zprávy, " + std::to_string(pending.size() - head) + " bajtů zahozeno",
                     console::Priority::warning);
    }
    *this = MessageFramer();
}

void MessageFramer::compact() {
    if (head == pending.size() || (head > COMPACT_AFTER && head > pending.size() / 2)) {
        pending.erase(0, head);
        pos -= head;
        if (junkValue != std::string::npos) junkValue -= head;
        head = 0;
    }
}
