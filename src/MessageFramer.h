#ifndef PELKO_MESSAGEFRAMER_H
#define PELKO_MESSAGEFRAMER_H

#include <cstddef>
#include <string>

// Cuts the server's byte stream into messages. A message ends at its zero
// byte. A server may also end a message with a line feed, CR LF or nothing
// at all: a JSON object or array that closes before any zero byte is a
// message of its own, so pretty-printed text over many lines, several
// messages in one receive and messages cut across receives all come out
// whole and in order.
//
// Only where a message ends is decided here; whether it is valid JSON is the
// reader's business. Bytes outside 0x20-0x7E are invisible to the scan, as
// they are to the reader after cleaning, except that a line feed or carriage
// return ends a // comment (so that a server's lines still frame its message).
// Text that starts no JSON object or array is a message up to its zero byte
// or line feed, for the reader to refuse.
//
// What follows a message that no zero byte ended, up to the next zero byte
// or the next '{' or '[', belongs to no message: the reader never looked past
// a value. Comments there are dropped; other text that no zero byte ends is
// skipped with one line.
class MessageFramer {
public:
    // Largest message kept; longer ones are skipped to their end with one line.
    static const std::size_t MAX_MESSAGE = 1024 * 1024;

    // Adds received bytes.
    void append(const char* bytes, std::size_t count);
    // The next whole message (without its zero byte), when the bytes so far
    // hold one.
    bool next(std::string& text);
    // The stream ended: an unfinished message is dropped with one line, and
    // the framer is ready for a new stream.
    void end();

private:
    enum class Mode {
        Start,  // before a message: blanks are dropped
        Value,  // inside a JSON object or array
        Junk,   // text that starts no object or array: ends at a line feed
        Skip,   // text after a value: skipped up to a zero byte, '{' or '['
    };
    enum class Lex { Plain, String, Escape, Slash, Block, BlockStar, Line };

    // Feeds one byte to the scan; true when the message ends with it.
    bool scan(unsigned char byte);
    // Hands out the bytes from `head` to `end` unless they are skipped;
    // `resume` is where scanning goes on.
    bool finish(std::size_t end, std::size_t resume, bool valueEnded, std::string& text);
    void noteSkipped(unsigned char byte);
    // One line for skipped text (`say`), or none; forgets it either way.
    void endSkipped(bool say);
    void compact();

    std::string pending;       // received bytes from `head` on are not handed out yet
    std::size_t head = 0;      // start of the current message
    std::size_t pos = 0;       // next byte to scan
    Mode mode = Mode::Start;
    bool afterValue = false;   // Start: the last message ended without a zero byte
    Lex lex = Lex::Plain;
    std::string open;          // kinds of the outermost open brackets, innermost last
    std::size_t depth = 0;     // open brackets
    bool skipping = false;     // inside an over-long message, dropped as it is scanned
    std::size_t skippedCount = 0;   // bytes of text in the tail, blanks around it not counted
    std::size_t skippedBlanks = 0;  // blanks after the last of them
    std::string skippedStart;       // its start, for the console line
};

#endif
