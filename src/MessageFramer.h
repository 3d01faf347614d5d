#ifndef PELKO_MESSAGEFRAMER_H
#define PELKO_MESSAGEFRAMER_H

#include <cstddef>
#include <string>

#include "JsonLexer.h"

// Cuts the server's byte stream into messages. A message ends at its zero
// byte. A server may also end a message with a line feed, CR LF or nothing
// at all: a JSON object or array that closes before any zero byte is a
// message of its own, so pretty-printed text over many lines, several
// messages in one receive and messages cut across receives all come out
// whole and in order.
//
// Only where a message ends is decided here; whether it is valid JSON is the
// reader's business. Strings and comments are followed as the reader
// follows them (JsonLexer), so a bracket inside one counts for nothing.
// Text that starts no JSON object or array is a message up to its zero byte
// or line feed, for the reader to refuse.
//
// What follows a message that no zero byte ended, up to the next zero byte
// or the next '{' or '[', belongs to no message: the reader never looked past
// a value. Comments there are dropped and end with their line; other text
// that no zero byte ends is skipped with one line. A value that starts after
// such text on the same line ends on that line, or it is skipped with it.
//
// No text costs more than itself and the bound: what is still open after
// MAX_MESSAGE bytes is dropped with one line up to the next line feed or
// zero byte (or to its own end, if that comes first), and framing starts
// afresh after it. In a stream that has had neither so far, the drop ends
// at the next '{' or '[' as well, and text that starts no value hands on the
// value open in it.
class MessageFramer {
public:
    // Largest message kept; longer ones are dropped with one line.
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

    // Each takes the byte at `pos` in its mode; true when a message is in `text`.
    bool zeroByte(std::string& text);
    bool lineFeed(std::string& text);
    bool other(unsigned char byte, std::string& text);
    // Feeds one byte of a value to the lexer; true when the value ends with it.
    bool scan(unsigned char byte);
    void opens(unsigned char bracket);
    // A value starts at `pos`.
    void startValue(unsigned char bracket, bool bound);
    // Hands out the bytes from `head` to `end` unless they are dropped, then
    // starts afresh at `resume` (`valueEnded`: with text after a value).
    bool finish(std::size_t end, std::size_t resume, bool valueEnded, std::string& text);
    void restart(std::size_t resume, bool valueEnded);
    // Text open for more than MAX_MESSAGE bytes is dropped from here on.
    void overBound();
    void noteSkipped(unsigned char byte);
    // One line for skipped text (`say`), or none; forgets it either way.
    void endSkipped(bool say);
    void compact();

    std::string pending;       // received bytes from `head` on are not handed out yet
    std::size_t head = 0;      // start of the current message
    std::size_t pos = 0;       // next byte to scan
    Mode mode = Mode::Start;
    bool afterValue = false;   // Start: the last message ended without a zero byte
    bool lineBound = false;    // Value: started after skipped text on its line, ends with it
    bool skippedOnLine = false;  // Skip: text skipped since the last line feed
    JsonLexer lexer;
    std::string open;          // kinds of the outermost open brackets, innermost last
    std::size_t depth = 0;     // open brackets
    // Junk: where a value opened inside it, if one is still open there.
    std::size_t junkValue = std::string::npos;
    bool skipping = false;     // over the bound: dropped as it is scanned
    bool terminated = false;   // the stream has had a line feed or zero byte
    std::size_t skippedCount = 0;   // bytes of text in the tail, blanks around it not counted
    std::size_t skippedBlanks = 0;  // blanks after the last of them
    std::string skippedStart;       // its start, for the console line
};

#endif
