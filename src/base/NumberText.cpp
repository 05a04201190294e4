#include "base/NumberText.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <string_view>

namespace morv {

namespace {
void appendWithTilde(std::string& out, const char* first, const char* last) {
    for (const char* p = first; p != last; ++p) out.push_back(*p == '-' ? '~' : *p);
}

// Exact as doubles; the scaling below needs 10^-5 .. 10^18.
constexpr double powersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// magnitude * 10^k with one correctly rounded operation.
double scaled(double magnitude, int k) { return k >= 0 ? magnitude * powersOfTen[k] : magnitude / powersOfTen[-k]; }

// The 12-digit general form of a value of magnitude 1e-5 .. 1e15, found by
// scaling it to a 12-digit integer: about four times faster than the general
// conversion, which decides where this one could not be sure. One rounded
// operation errs by less than 1e-4 at that scale, so a fraction further than
// 1e-3 from one half rounds as the exact value does.
char* fastGeneral12(double value, char* out, char minus) {
    const double magnitude = std::fabs(value);
    if (!(magnitude >= 1e-5 && magnitude < 1e15)) return nullptr;
    // floor(log10(magnitude)) from the binary exponent, give or take one
    const int binary = static_cast<int>((std::bit_cast<std::uint64_t>(magnitude) >> 52) & 0x7FF) - 1023;
    int exponent = (binary * 78913) >> 18;
    double s = scaled(magnitude, 11 - exponent);
    if (s < 1e11) s = scaled(magnitude, 11 - --exponent);
    else if (s >= 1e12) s = scaled(magnitude, 11 - ++exponent);
    if (!(s >= 1e11 - 1 && s < 1e12 + 1)) return nullptr;
    const auto whole = static_cast<std::uint64_t>(s);
    const double fraction = s - static_cast<double>(whole);
    if (std::fabs(fraction - 0.5) < 1e-3) return nullptr;
    std::uint64_t digits = whole + (fraction > 0.5 ? 1 : 0);
    if (digits >= 1000000000000ULL) {
        digits /= 10;
        ++exponent;
    }
    if (digits < 100000000000ULL) return nullptr;
    char d[12];
    for (int i = 11; i >= 0; --i, digits /= 10) d[i] = static_cast<char>('0' + digits % 10);
    int length = 12;
    while (length > 1 && d[length - 1] == '0') --length;

    if (value < 0) *out++ = minus;
    if (exponent < -4 || exponent >= 12) {
        *out++ = d[0];
        if (length > 1) {
            *out++ = '.';
            out = std::copy(d + 1, d + length, out);
        }
        *out++ = 'e';
        *out++ = exponent < 0 ? minus : '+';
        const int e = std::abs(exponent);
        *out++ = static_cast<char>('0' + e / 10);
        *out++ = static_cast<char>('0' + e % 10);
        return out;
    }
    if (exponent < 0) {
        *out++ = '0';
        *out++ = '.';
        out = std::fill_n(out, -exponent - 1, '0');
        return std::copy(d, d + length, out);
    }
    const int wholeDigits = exponent + 1;
    if (length <= wholeDigits) return std::fill_n(std::copy(d, d + length, out), wholeDigits - length, '0');
    out = std::copy(d, d + wholeDigits, out);
    *out++ = '.';
    return std::copy(d + wholeDigits, d + length, out);
}
}  // namespace

char* formatReal(double value, char* out, char minus) {
    const auto put = [](char* at, std::string_view text) { return std::copy(text.begin(), text.end(), at); };
    if (std::isnan(value)) return put(out, "nan");
    if (std::isinf(value)) {
        if (value < 0) *out++ = minus;
        return put(out, "inf");
    }
    if (value == 0.0) return put(out, "0.0");
    if (char* end = fastGeneral12(value, out, minus)) return end;
    char* end = std::to_chars(out, out + maxRealText, value, std::chars_format::general, 12).ptr;
    for (char* p = out; p != end; ++p)
        if (*p == '-') *p = minus;
    return end;
}

void appendReal(std::string& out, double value) {
    char buffer[maxRealText];
    out.append(buffer, formatReal(value, buffer));
}

std::string realToText(double value) {
    std::string out;
    appendReal(out, value);
    return out;
}

void appendInt(std::string& out, std::int64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    appendWithTilde(out, buffer, result.ptr);
}

std::string intToText(std::int64_t value) {
    std::string out;
    appendInt(out, value);
    return out;
}

std::string printableBytes(std::string_view bytes) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out.push_back(c);
        } else {
            const char escape[] = {'\\', 'x', hex[byte >> 4], hex[byte & 0xF]};
            out.append(escape, sizeof escape);
        }
    }
    return out;
}

}  // namespace morv
