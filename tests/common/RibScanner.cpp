#include "common/RibScanner.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <numeric>
#include <set>
#include <stdexcept>

#include <gtest/gtest.h>

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

std::optional<RibArgument> RibRequest::parameter(const std::string& key) const {
    for (std::size_t i = 0; i + 1 < arguments.size(); ++i)
        if (arguments[i].kind == RibArgument::Kind::String && arguments[i].text == key &&
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

std::vector<std::vector<XYZ>> ribPolygons(const RibRequest& r) {
    const auto& nverts = r.arguments.at(1).numbers;
    const auto& verts = r.arguments.at(2).numbers;
    const std::vector<double> p = r.parameter("P").value_or(RibArgument{}).numbers;
    std::set<std::size_t> holes;
    if (r.name == "SubdivisionMesh") {
        EXPECT_EQ(r.arguments.at(0).text, "catmull-clark");
        // "interpolateboundary" [0 0], and "hole" [n 0] with its n face numbers when faces are holes; no floats.
        const auto& intargs = r.arguments.at(5).numbers;
        const std::vector<std::string> tags{"interpolateboundary", "hole"};
        EXPECT_EQ(r.arguments.at(3).strings, std::vector<std::string>(tags.begin(), tags.begin() + (intargs.empty() ? 1 : 2)));
        const std::vector<double> nargs{0, 0, static_cast<double>(intargs.size()), 0};
        EXPECT_EQ(r.arguments.at(4).numbers, std::vector<double>(nargs.begin(), nargs.begin() + (intargs.empty() ? 2 : 4)));
        for (double h : intargs) EXPECT_TRUE(h < nverts.size() && holes.insert(static_cast<std::size_t>(h)).second) << "hole " << h;
        EXPECT_TRUE(r.arguments.at(6).numbers.empty()) << "no float arguments";
    } else {
        EXPECT_EQ(r.arguments.at(0).numbers, std::vector<double>(nverts.size(), 1.0));
    }
    EXPECT_EQ(p.size() % 3, 0u);
    EXPECT_EQ(std::accumulate(nverts.begin(), nverts.end(), 0.0), static_cast<double>(verts.size()));
    std::vector<bool> used(p.size() / 3, false);
    std::vector<std::vector<XYZ>> polygons;
    std::size_t at = 0;
    for (std::size_t face = 0; face < nverts.size(); ++face) {
        const double n = nverts[face];
        polygons.emplace_back();
        for (int c = 0; c < static_cast<int>(n) && at < verts.size(); ++c, ++at) {
            const double index = verts[at];
            EXPECT_TRUE(index >= 0 && index < static_cast<double>(used.size())) << "index " << index << " of " << used.size();
            if (!(index >= 0 && index < static_cast<double>(used.size()))) continue;
            const auto k = static_cast<std::size_t>(index);
            used[k] = true;
            polygons.back().push_back({p[3 * k], p[3 * k + 1], p[3 * k + 2]});
        }
        if (holes.contains(face)) polygons.pop_back();
    }
    EXPECT_EQ(std::count(used.begin(), used.end(), false), 0) << "P holds a point no polygon uses";
    return polygons;
}

std::vector<std::string> undeclaredTokens(const std::vector<RibRequest>& requests) {
    std::set<std::string> known{"P",  "N",  "Cs", "Os",        "st",   "s",  "t",         "Ka",        "Kd",
                                "Ks", "Kr", "roughness", "from", "to", "intensity", "lightcolor", "fov"};
    std::vector<std::string> undeclared;
    for (const RibRequest& r : requests) {
        if (r.name == "Declare" && !r.arguments.empty()) known.insert(r.arguments[0].text);
        // A SubdivisionMesh starts with its scheme, which is no parameter.
        for (std::size_t i = r.name == "SubdivisionMesh" ? 1 : 0; i + 1 < r.arguments.size(); ++i) {
            const bool parameter = r.arguments[i].kind == RibArgument::Kind::String &&
                                   r.arguments[i + 1].kind == RibArgument::Kind::Array;
            if (parameter && known.count(r.arguments[i].text) == 0) undeclared.push_back(r.arguments[i].text + " in " + r.name);
        }
    }
    return undeclared;
}

}  // namespace morv::testing
