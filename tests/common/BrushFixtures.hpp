// Unreal brush text for tests, laid out as the editor and our writer write it.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv::testing {

struct BrushPolygonText {
    std::string attributes = "Item=OUTSIDE Texture=Wall Link=0";
    XYZ origin{0, 0, 0}, normal{0, 0, 1}, textureU{1, 0, 0}, textureV{0, -1, 0};
    std::vector<XYZ> vertices;
    std::string pan;  // "U=.. V=..": a Pan line
};

// A coordinate as the editor writes it: printf "%+013.6f".
inline std::string brushNumber(double v) {
    char text[400];  // 309 digits for the largest doubles
    std::snprintf(text, sizeof text, "%+013.6f", v);
    return text;
}

inline std::string brushVector(const XYZ& p) {
    return brushNumber(p.x) + "," + brushNumber(p.y) + "," + brushNumber(p.z);
}

inline std::string brushText(const std::vector<BrushPolygonText>& polygons, std::string_view eol = "\r\n") {
    const std::string end(eol);
    std::string text = "Begin PolyList" + end;
    for (const auto& p : polygons) {
        text += "   Begin Polygon " + p.attributes + end;
        text += "      Origin   " + brushVector(p.origin) + end;
        text += "      Normal   " + brushVector(p.normal) + end;
        if (!p.pan.empty()) text += "      Pan      " + p.pan + end;
        text += "      TextureU " + brushVector(p.textureU) + end;
        text += "      TextureV " + brushVector(p.textureV) + end;
        for (const XYZ& v : p.vertices) text += "      Vertex   " + brushVector(v) + end;
        text += "   End Polygon" + end;
    }
    return text + "End PolyList" + end;
}

// A square of 256 units at height z.
inline BrushPolygonText brushSquare(double z = 0, std::string attributes = "Item=OUTSIDE Texture=Wall Link=0") {
    BrushPolygonText p;
    p.attributes = std::move(attributes);
    p.vertices = {{0, 0, z}, {0, 256, z}, {256, 256, z}, {256, 0, z}};
    return p;
}

}  // namespace morv::testing
