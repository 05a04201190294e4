#include "common/RibScanner.hpp"

#include <cctype>
#include <cstdlib>
#include <set>
#include <stdexcept>

namespace morv::testing {

namespace {

struct Cursor {
    const std::string& text;
    std::size_t pos = 0;

    void skipBlanks() {
        while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    }
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("RIB scan: " + what + " at offset " + std::to_string(pos));
    }
    std::string string() {
        std::string out;
        ++pos;  // opening quote
        while (pos < text.size() && text[pos] != '"') {
            if (text[pos] == '\n') fail("line break inside a string");
            if (text[pos] == '\\') {
                if (++pos >= text.size()) break;
                const char c = text[pos];
                out.push_back(c == 'n' ? '\n' : c == 't' ? '\t' : c);
            } else {
                out.push_back(text[pos]);
            }
            ++pos;
        }
        if (pos >= text.size()) fail("unterminated string");
        ++pos;
        return out;
    }
    double number() {
        const char* start = text.c_str() + pos;
        char* end = nullptr;
        const double v = std::strtod(start, &end);
        if (end == start) fail("not a number");
        const std::string word(start, static_cast<const char*>(end));
        if (word.find_first_of("nN") != std::string::npos || word.find_first_of("iI") != std::string::npos)
            fail("a number without RIB text: " + word);
        pos += static_cast<std::size_t>(end - start);
        return v;
    }
};

}  // namespace

std::optional<RibArgument> RibRequest::parameter(const std::string& name) const {
    for (std::size_t i = 0; i + 1 < arguments.size(); ++i)
        if (arguments[i].kind == RibArgument::Kind::String && arguments[i].text == name &&
            arguments[i + 1].kind == RibArgument::Kind::Array)
            return arguments[i + 1];
    return std::nullopt;
}

std::vector<std::string> RibRequest::strings() const {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i].kind != RibArgument::Kind::String) continue;
        if (i + 1 < arguments.size() && arguments[i + 1].kind == RibArgument::Kind::Array) break;
        out.push_back(arguments[i].text);
    }
    return out;
}

std::vector<RibRequest> scanRib(const std::string& text) {
    std::vector<RibRequest> requests;
    Cursor c{text};
    for (c.skipBlanks(); c.pos < text.size(); c.skipBlanks()) {
        const char ch = text[c.pos];
        if (std::isalpha(static_cast<unsigned char>(ch))) {
            RibRequest r;
            while (c.pos < text.size() && std::isalnum(static_cast<unsigned char>(text[c.pos]))) r.name.push_back(text[c.pos++]);
            requests.push_back(std::move(r));
            continue;
        }
        if (requests.empty()) c.fail("argument before the first request");
        RibArgument a;
        if (ch == '"') {
            a.kind = RibArgument::Kind::String;
            a.text = c.string();
        } else if (ch == '[') {
            a.kind = RibArgument::Kind::Array;
            ++c.pos;
            for (c.skipBlanks(); c.pos < text.size() && text[c.pos] != ']'; c.skipBlanks()) {
                if (text[c.pos] == '"')
                    a.strings.push_back(c.string());
                else
                    a.numbers.push_back(c.number());
            }
            if (c.pos >= text.size()) c.fail("unterminated array");
            ++c.pos;
        } else {
            a.number = c.number();
        }
        requests.back().arguments.push_back(std::move(a));
    }
    return requests;
}

std::vector<std::string> undeclaredTokens(const std::vector<RibRequest>& requests) {
    std::set<std::string> known{"P",  "N",  "Cs", "Os",        "st",   "s",  "t",         "Ka",        "Kd",
                                "Ks", "Kr", "roughness", "from", "to", "intensity", "lightcolor", "fov"};
    std::vector<std::string> undeclared;
    for (const RibRequest& r : requests) {
        if (r.name == "Declare" && !r.arguments.empty()) known.insert(r.arguments[0].text);
        for (std::size_t i = 0; i + 1 < r.arguments.size(); ++i) {
            const bool parameter = r.arguments[i].kind == RibArgument::Kind::String &&
                                   r.arguments[i + 1].kind == RibArgument::Kind::Array;
            if (parameter && known.count(r.arguments[i].text) == 0) undeclared.push_back(r.arguments[i].text + " in " + r.name);
        }
    }
    return undeclared;
}

}  // namespace morv::testing
