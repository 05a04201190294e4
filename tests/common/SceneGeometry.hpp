// The geometry of a canonical scene as plain values, for comparisons in tests.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "scene/CanonicalScene.hpp"

namespace morv::testing {

struct Face {
    std::vector<std::int32_t> corners;
    std::int32_t surface;
    friend bool operator==(const Face&, const Face&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Face& f) {
        out << "{corners";
        for (auto c : f.corners) out << ' ' << c;
        return out << ", surface " << f.surface << '}';
    }
};

inline std::vector<XYZ> points(const MorvLValue& scene) {
    std::vector<XYZ> out;
    forEachVertexPoint(requireField(scene.fields(), "mesh"), [&](const XYZ& p) { out.push_back(p); });
    return out;
}

inline std::vector<Face> faces(const MorvLValue& scene) {
    std::vector<Face> out;
    forEachFace(requireField(scene.fields(), "mesh"), [&](std::span<const std::int32_t> c, const MorvLValue& s) {
        out.push_back({{c.begin(), c.end()}, s.asInt()});
    });
    return out;
}

// Points, corner lists and surface indices side by side.
struct Geometry {
    std::vector<XYZ> points;
    std::vector<std::vector<std::int32_t>> faces;
    std::vector<std::int32_t> surfaces;
};

inline Geometry geometryOf(const MorvLValue& scene) {
    Geometry g;
    g.points = points(scene);
    for (Face& f : faces(scene)) {
        g.faces.push_back(std::move(f.corners));
        g.surfaces.push_back(f.surface);
    }
    return g;
}

}  // namespace morv::testing
