#include "importers/unreal/ParserCombinators.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <optional>
#include <system_error>

#include "base/NumberText.hpp"

namespace morv {
namespace {

[[noreturn]] void endOfFile() { throw BrushSyntaxError(std::string(unexpectedEndOfFile)); }

[[noreturn]] void notAReal(std::string_view text) {
    throw BrushSyntaxError("The string " + itemText(text) + " is not a real number");
}

// How a run of number characters compares with the form of a number.
enum class NumberForm { Complete, Prefix, Invalid };

NumberForm numberForm(std::string_view run) {
    enum State { Start, Sign, Int, Dot, Frac, Exp, ExpSign, ExpDigits, Bad };
    State state = Start;
    for (const char ch : run) {
        const auto c = static_cast<std::uint8_t>(ch);
        const bool digit = isDigit(c), sign = c == '+' || c == '-', exponent = c == 'e' || c == 'E';
        State next = Bad;
        switch (state) {
            case Start: next = sign ? Sign : digit ? Int : Bad; break;
            case Sign: next = digit ? Int : Bad; break;
            case Int: next = digit ? Int : c == '.' ? Dot : exponent ? Exp : Bad; break;
            case Dot: next = digit ? Frac : Bad; break;
            case Frac: next = digit ? Frac : exponent ? Exp : Bad; break;
            case Exp: next = digit ? ExpDigits : sign ? ExpSign : Bad; break;
            case ExpSign: next = digit ? ExpDigits : Bad; break;
            case ExpDigits: next = digit ? ExpDigits : Bad; break;
            case Bad: break;
        }
        if (next == Bad) return NumberForm::Invalid;
        state = next;
    }
    return state == Int || state == Frac || state == ExpDigits ? NumberForm::Complete : NumberForm::Prefix;
}

bool endsNumber(std::uint8_t c) { return isWhitespace(c) || c == ','; }

// Eight ASCII digits, the first in the lowest byte: whether they are, and
// their value. A byte is a digit exactly when its high half is 3 before and
// after adding 6 (no byte carries into the next unless it is above '9').
bool eightDigits(std::uint64_t bytes) {
    constexpr std::uint64_t highHalves = 0xF0F0F0F0F0F0F0F0u;
    return ((bytes & highHalves) | (((bytes + 0x0606060606060606u) & highHalves) >> 4)) == 0x3333333333333333u;
}
std::uint64_t eightDigitValue(std::uint64_t bytes) {
    const std::uint64_t d = bytes - 0x3030303030303030u;
    // Neighbours combine into 2-digit, then 4-digit, then the 8-digit number;
    // no lane overflows into the next.
    std::uint64_t x = (d * 10 + (d >> 8)) & 0x00FF00FF00FF00FFu;
    x = (x * 100 + (x >> 16)) & 0x0000FFFF0000FFFFu;
    return (x * 10000 + (x >> 32)) & 0xFFFFFFFFu;
}

// Eight bytes, the first in the lowest byte (one load on a little-endian machine).
std::uint64_t load8(const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// The form tools write, printf "%+013.6f" ("+00128.000000": sign, five
// digits, point, six digits), read without a loop. Its value is an integer
// below 10^11 over 10^6, both exact doubles, so the quotient is the correctly
// rounded value, as below. Anything else is left to plainNumber (nullopt,
// nothing read).
std::optional<double> fixedFormNumber(TextCursor& in) {
    constexpr std::size_t length = 13;
    if (in.remaining() < length) return std::nullopt;
    const char* const text = in.ahead(length).data();
    if ((text[0] != '+' && text[0] != '-') || text[6] != '.') return std::nullopt;
    if (in.remaining() > length && !endsNumber(static_cast<std::uint8_t>(text[length]))) return std::nullopt;
    // Bytes 1..8 hold the five whole digits, 5..12 the last of them, the point
    // and the six decimals: each made into eight digits with leading zeros.
    const std::uint64_t whole = (load8(text + 1) << 24) | 0x303030u;
    const std::uint64_t fraction = (load8(text + 5) & ~std::uint64_t{0xFFFF}) | 0x3030u;
    if (!eightDigits(whole) || !eightDigits(fraction)) return std::nullopt;
    in.advance(length);
    const double value = static_cast<double>(eightDigitValue(whole) * 1000000 + eightDigitValue(fraction)) / 1e6;
    return text[0] == '-' ? -value : value;
}

// The common number in one pass: optional sign, digits, optional "." with
// digits, ended by a separator or the end, with at most 15 digits in all. Its
// digits make an integer below 2^53 and its fraction a power of ten up to
// 10^22; both are exact doubles, so their quotient is the correctly rounded
// value, the same that from_chars gives. Anything else is left to the general
// path (nullopt, nothing read).
std::optional<double> plainNumber(TextCursor& in) {
    static constexpr double powersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const std::string_view text = in.ahead(in.remaining());
    std::size_t i = 0;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    std::uint64_t mantissa = 0;
    const auto digits = [&] {
        const std::size_t start = i;
        for (; i < text.size() && isDigit(static_cast<std::uint8_t>(text[i])); ++i)
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(text[i] - '0');
        return i - start;
    };
    const std::size_t whole = digits();
    std::size_t fraction = 0;
    if (i < text.size() && text[i] == '.') {
        ++i;
        fraction = digits();
        if (fraction == 0) return std::nullopt;
    }
    if (whole == 0 || whole + fraction > 15) return std::nullopt;
    if (i < text.size() && !endsNumber(static_cast<std::uint8_t>(text[i]))) return std::nullopt;
    in.advance(i);
    const double value = static_cast<double>(mantissa) / powersOfTen[fraction];
    return negative ? -value : value;
}

}  // namespace

void TextCursor::skipWhitespaceRun() {
    const std::size_t n = text_.size();
    while (pos_ < n && isWhitespace(text_[pos_])) {
        if (text_[pos_] == '\n') ++line_;
        ++pos_;
    }
}

Keyword::Keyword(std::string text)
    : text_(std::move(text)), endsInWord_(!text_.empty() && isWordChar(static_cast<std::uint8_t>(text_.back()))) {}

bool Keyword::tryParse(TextCursor& in) const {
    in.skipWhitespace();
    const std::size_t n = text_.size(), left = in.remaining();
    if (left < n) {
        // The file ends where k, or the item in its place, should be.
        if (std::string_view(text_).starts_with(in.ahead(left))) endOfFile();
        return false;
    }
    // Keywords are short: compared byte by byte, most misses at the first.
    const std::string_view ahead = in.ahead(n);
    for (std::size_t i = 0; i < n; ++i)
        if (ahead[i] != text_[i]) return false;
    if (endsInWord_ && left > n && isWordChar(static_cast<std::uint8_t>(in.ahead(n + 1).back()))) return false;
    in.advance(n);
    return true;
}

std::string_view Keyword::operator()(TextCursor& in) const {
    if (!tryParse(in)) throw BrushSyntaxError(text_ + " expected");
    return text_;
}

std::string_view token(TextCursor& in) {
    in.skipWhitespace();
    if (in.atEnd()) endOfFile();
    const std::uint8_t c = in.peek();
    if (isWordChar(c)) return in.takeWhile(isWordChar);
    if (isNumberChar(c)) return in.takeWhile(isNumberChar);
    const std::string_view item = in.ahead(1);
    in.advance(1);
    return item;
}

void unexpected(std::string_view item) { throw BrushSyntaxError(itemText(item) + " unexpected"); }

namespace {

// Any number by the general rule, or its failure.
double generalNumber(TextCursor& in) {
    const std::size_t start = in.position();
    const std::string_view run = in.takeWhile(isNumberChar);
    if (run.empty() || (!in.atEnd() && !endsNumber(in.peek()))) {
        // Not a number by itself: report everything up to the next separator.
        in.takeWhile([](std::uint8_t c) { return !endsNumber(c); });
        if (in.position() == start) in.advance(1);  // a comma where the number should be
        notAReal(std::string_view(run.data(), in.position() - start));
    }
    switch (numberForm(run)) {
        case NumberForm::Complete:
            break;
        case NumberForm::Prefix:  // "1e" may be the start of a number that the end of the file cut off
            if (in.atEnd()) endOfFile();
            notAReal(run);
        case NumberForm::Invalid:
            notAReal(run);
    }
    const bool negative = run.front() == '-';
    const std::string_view magnitude = negative || run.front() == '+' ? run.substr(1) : run;
    double value = 0;
    const auto [end, error] = std::from_chars(magnitude.data(), magnitude.data() + magnitude.size(), value);
    // Out of range (1e999) is refused, so no infinity enters a scene.
    if (error != std::errc() || end != magnitude.data() + magnitude.size()) notAReal(run);
    return negative ? -value : value;
}

}  // namespace

double real(TextCursor& in) {
    in.skipWhitespace();
    if (in.atEnd()) endOfFile();
    if (const auto value = fixedFormNumber(in)) return *value;
    if (const auto value = plainNumber(in)) return *value;
    return generalNumber(in);
}

std::string itemText(std::string_view item) {
    constexpr std::size_t longest = 64;
    if (item.size() <= longest) return printableBytes(item);
    return printableBytes(item.substr(0, longest)) + "... (" + std::to_string(item.size()) + " characters)";
}

}  // namespace morv
