// Parser combinators for text formats: a cursor that walks the file's bytes by
// index, the character classes of the lexical level, and the small parsers a
// grammar is assembled from. A parser takes the cursor, returns its value and
// leaves the cursor after what it read, or raises BrushSyntaxError.
//
// Every parser skips the whitespace in front of what it reads. Repetition is
// a loop, never recursion, and nothing copies the rest of the input, so a
// parse costs time linear in the text and a constant amount of stack.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>

#include "base/Excn.hpp"

namespace morv {

// ---- Character classes ----
constexpr bool isWhitespace(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
constexpr bool isLetter(std::uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool isDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }
constexpr bool isWordChar(std::uint8_t c) { return isLetter(c) || isDigit(c) || c == '\'' || c == '_'; }
constexpr bool isNumberChar(std::uint8_t c) {
    return isDigit(c) || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E';
}

// The message of every parser that meets the end of the input too early.
inline constexpr std::string_view unexpectedEndOfFile = "Unexpected end of file";

class TextCursor {
public:
    explicit TextCursor(std::span<const std::uint8_t> text) : text_(text) {}

    bool atEnd() const { return pos_ == text_.size(); }
    std::size_t position() const { return pos_; }
    // Line of the position, counting from 1.
    std::size_t line() const { return line_; }
    std::size_t remaining() const { return text_.size() - pos_; }
    // The text before the position.
    std::span<const std::uint8_t> consumed() const { return text_.first(pos_); }
    std::uint8_t peek() const { return text_[pos_]; }
    // The next n bytes (n <= remaining()).
    std::string_view ahead(std::size_t n) const {
        return {reinterpret_cast<const char*>(text_.data()) + pos_, n};
    }

    void skipWhitespace() {
        if (pos_ < text_.size() && isWhitespace(text_[pos_])) skipWhitespaceRun();
    }
    // Moves over n bytes that hold no line feed.
    void advance(std::size_t n) { pos_ += n; }
    // Moves over the next byte, a line feed.
    void advanceLine() {
        ++pos_;
        ++line_;
    }
    // The run of bytes from the position that satisfy pred (no line feeds), moved over.
    template <class Pred>
    std::string_view takeWhile(Pred pred) {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && pred(text_[pos_])) ++pos_;
        return {reinterpret_cast<const char*>(text_.data()) + start, pos_ - start};
    }

private:
    void skipWhitespaceRun();

    std::span<const std::uint8_t> text_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
};

// keyword k: the characters of k exactly (case matters). A keyword that ends
// in a word character must not be followed by another one, so "Origin" does
// not match the start of "Origins".
class Keyword {
public:
    explicit Keyword(std::string text);
    const std::string& text() const { return text_; }
    // Moves over k when it comes next. Input that ends where k (or a part of
    // it) could stand fails with the end-of-file message: whatever should
    // come there, the file was cut short.
    bool tryParse(TextCursor& in) const;
    // The same, failing with k + " expected" when something else comes next.
    std::string_view operator()(TextCursor& in) const;

private:
    std::string text_;
    bool endsInWord_;
};

// token: the next item (a run of word characters, a run of number characters,
// or one other byte); "Unexpected end of file" at the end of the input.
std::string_view token(TextCursor& in);

// unexpected item: fails with the item + " unexpected".
[[noreturn]] void unexpected(std::string_view item);

// real: a run of number characters that forms one number (optional sign,
// digits, optional "." with digits, optional exponent with optional sign and
// digits) within the range of a double; otherwise "The string " + the
// characters + " is not a real number". A number must end at whitespace, a
// comma or the end of the input: characters glued to it belong to the string
// that is not a number.
double real(TextCursor& in);

// Text of an item read from a file, for a message: bytes outside printable
// ASCII as \xHH, and long items cut short.
std::string itemText(std::string_view item);

// sequence p1 p2 ...: each parser in turn; the tuple of their results or the first failure.
template <class... Parsers>
auto sequence(Parsers... parsers) {
    return [=](TextCursor& in) { return std::tuple{parsers(in)...}; };
}

// repeat n p: p exactly n times, the n results in order. When p fails before
// reading anything, the failure is "Could not repeat parser the last " + the
// number of repetitions left + " times!"; a failure after p has read part of
// its item (a bad number after its comma) and the end of the input keep their
// own message, since they name the real cause.
template <std::size_t N, class Parser>
auto repeat(Parser p) {
    return [=](TextCursor& in) {
        std::array<decltype(p(in)), N> results{};
        for (std::size_t i = 0; i < N; ++i) {
            in.skipWhitespace();
            const std::size_t start = in.position();
            try {
                results[i] = p(in);
            } catch (const BrushSyntaxError& e) {
                if (in.position() != start || e.message() == unexpectedEndOfFile) throw;
                throw BrushSyntaxError("Could not repeat parser the last " + std::to_string(N - i) + " times!");
            }
        }
        return results;
    };
}

}  // namespace morv
