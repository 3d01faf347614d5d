#ifndef PELKO_JSONLEXER_H
#define PELKO_JSONLEXER_H

#include <string>

// Follows the server's text byte by byte as the JSON reader takes it:
// plain characters, strings, comments, and bytes the reader never sees
// (outside 0x20-0x7E). The message framer and the cleaning before the
// reader both go by it, so they agree on where a comment ends: a // comment
// ends at a line feed or carriage return, a /* comment at its */.
class JsonLexer {
public:
    enum class Kind {
        Plain,      // outside strings and comments
        Quoted,     // a string, its quotes included
        Comment,    // a comment, its slashes included (a lone '/' too)
        LineEnd,    // the line break that ends a // comment
        Invisible,  // any other byte outside 0x20-0x7E
    };

    Kind feed(unsigned char byte);
    void reset() { state = State::Plain; }

    // The text as the reader gets it: the bytes from 0x20 to 0x7E, and a
    // line feed for each line break that ends a // comment, so that the
    // comment ends there as it does for the framer. The gateway reads the
    // same JSON as before from every text that has no such comment.
    static std::string clean(const std::string& text);

private:
    enum class State { Plain, String, Escape, Slash, Block, BlockStar, Line };
    State state = State::Plain;
};

#endif
