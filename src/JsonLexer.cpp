#include "JsonLexer.h"

JsonLexer::Kind JsonLexer::feed(unsigned char byte) {
    if (byte < 0x20 || byte > 0x7E) {
        if (state == State::Line && (byte == '\n' || byte == '\r')) {
            state = State::Plain;
            return Kind::LineEnd;
        }
        return Kind::Invisible;
    }
    const char c = static_cast<char>(byte);
    switch (state) {
    case State::String:
        if (c == '\\') state = State::Escape;
        if (c == '"') state = State::Plain;
        return Kind::Quoted;
    case State::Escape: state = State::String; return Kind::Quoted;
    case State::Block:
        if (c == '*') state = State::BlockStar;
        return Kind::Comment;
    case State::BlockStar:
        state = c == '/' ? State::Plain : c == '*' ? State::BlockStar : State::Block;
        return Kind::Comment;
    case State::Line: return Kind::Comment;
    case State::Slash:
        if (c == '*' || c == '/') {
            state = c == '*' ? State::Block : State::Line;
            return Kind::Comment;
        }
        state = State::Plain;
        break;  // a lone '/': the character after it counts on its own
    case State::Plain: break;
    }
    if (c == '/') {
        state = State::Slash;
        return Kind::Comment;
    }
    if (c == '"') {
        state = State::String;
        return Kind::Quoted;
    }
    return Kind::Plain;
}

std::string JsonLexer::clean(const std::string& text) {
    std::string kept;
    kept.reserve(text.size());
    JsonLexer lexer;
    for (char c : text) {
        const Kind kind = lexer.feed(static_cast<unsigned char>(c));
        if (kind == Kind::LineEnd) {
            kept.push_back('\n');
        } else if (kind != Kind::Invisible) {
            kept.push_back(c);
        }
    }
    return kept;
}
