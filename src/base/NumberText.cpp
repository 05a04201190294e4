#include "base/NumberText.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

namespace morv {

namespace {
void appendWithTilde(std::string& out, const char* first, const char* last) {
    for (const char* p = first; p != last; ++p) out.push_back(*p == '-' ? '~' : *p);
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

}  // namespace morv
