#include "common/BrushScan.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include <gtest/gtest.h>

namespace morv::testing {
namespace {

bool isBrushNumber(const std::string& s) {
    if (s.size() < 13 || (s[0] != '+' && s[0] != '-')) return false;
    const std::size_t dot = s.find('.');
    if (dot == std::string::npos || dot < 6 || s.size() - dot != 7) return false;
    for (std::size_t i = 1; i < s.size(); ++i)
        if (i != dot && !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

// "label" + " " + three numbers joined by ","; false when the line is not that.
bool readVector(const std::string& line, const std::string& label, XYZ& out) {
    if (line.rfind(label, 0) != 0) return false;
    const std::string rest = line.substr(label.size());
    double values[3];
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t comma = i < 2 ? rest.find(',', start) : rest.size();
        if (comma == std::string::npos) return false;
        const std::string number = rest.substr(start, comma - start);
        EXPECT_TRUE(isBrushNumber(number)) << "number " << number << " in: " << line;
        values[i] = std::strtod(number.c_str(), nullptr);
        start = comma + 1;
    }
    out = {values[0], values[1], values[2]};
    return true;
}

}  // namespace

std::vector<BrushPolygon> scanBrush(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            ADD_FAILURE() << "the text does not end in \\r\\n";
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        EXPECT_EQ(lines.back().find('\n'), std::string::npos) << "a bare line feed in: " << lines.back();
        pos = end + 2;
    }
    std::vector<BrushPolygon> out;
    if (lines.size() < 2 || lines.front() != "Begin PolyList" || lines.back() != "End PolyList") {
        ADD_FAILURE() << "not framed by Begin PolyList and End PolyList";
        return out;
    }
    for (std::size_t i = 1; i + 1 < lines.size();) {
        const std::string& head = lines[i];
        const std::string begin = "   Begin Polygon Item=OUTSIDE Texture=";
        const std::size_t linkAt = head.find(" Link=");
        if (head.rfind(begin, 0) != 0 || linkAt == std::string::npos || i + 6 >= lines.size()) {
            ADD_FAILURE() << "line " << i << " is no polygon start: " << head;
            return out;
        }
        BrushPolygon p;
        p.texture = head.substr(begin.size(), linkAt - begin.size());
        p.link = std::strtol(head.c_str() + linkAt + 6, nullptr, 10);
        EXPECT_TRUE(readVector(lines[i + 1], "      Origin   ", p.origin)) << lines[i + 1];
        EXPECT_TRUE(readVector(lines[i + 2], "      Normal   ", p.normal)) << lines[i + 2];
        if (lines[i + 3].rfind("      Pan      ", 0) == 0) p.pan = lines[i++ + 3].substr(15);
        EXPECT_TRUE(readVector(lines[i + 3], "      TextureU ", p.u)) << lines[i + 3];
        EXPECT_TRUE(readVector(lines[i + 4], "      TextureV ", p.v)) << lines[i + 4];
        i += 5;
        XYZ vertex;
        while (i + 1 < lines.size() && readVector(lines[i], "      Vertex   ", vertex)) {
            p.vertices.push_back(vertex);
            ++i;
        }
        if (i + 1 >= lines.size() || lines[i] != "   End Polygon") {
            ADD_FAILURE() << "polygon " << out.size() << " does not end with End Polygon";
            return out;
        }
        ++i;
        out.push_back(std::move(p));
    }
    return out;
}

XYZ newell(const std::vector<XYZ>& polygon) {
    XYZ n{};
    for (std::size_t i = 2; i < polygon.size(); ++i) {
        const XYZ& o = polygon[0];
        const XYZ a{polygon[i - 1].x - o.x, polygon[i - 1].y - o.y, polygon[i - 1].z - o.z};
        const XYZ b{polygon[i].x - o.x, polygon[i].y - o.y, polygon[i].z - o.z};
        n = {n.x + a.y * b.z - a.z * b.y, n.y + a.z * b.x - a.x * b.z, n.z + a.x * b.y - a.y * b.x};
    }
    return n;
}

double length(const XYZ& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

}  // namespace morv::testing
