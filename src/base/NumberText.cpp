#include "base/NumberText.hpp"

#include <charconv>
#include <cmath>

namespace morv {

namespace {
void appendWithTilde(std::string& out, const char* first, const char* last) {
    for (const char* p = first; p != last; ++p) out.push_back(*p == '-' ? '~' : *p);
}
}  // namespace

void appendReal(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "~inf" : "inf";
        return;
    }
    if (value == 0.0) {
        out += "0.0";
        return;
    }
    char buffer[48];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 12);
    appendWithTilde(out, buffer, result.ptr);
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
