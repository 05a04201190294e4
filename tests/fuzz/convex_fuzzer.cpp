// Bytes in as an outline of up to 64 points on a small grid of a tilted plane
// (so points on edges, touching and crossing outlines are common), cut into
// convex pieces; aborts unless every piece has 3 to 16 vertices, is convex
// and has area, and the pieces cover, once, where the outline's winding
// number is not zero (at sample points away from every edge).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "exporters/ConvexSplitting.hpp"

namespace {
using Points = std::vector<morv::XYZ>;
double side(morv::XYZ a, morv::XYZ b, morv::XYZ c) { return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x); }
void check(bool ok) { ok ? void() : std::abort(); }
// Winding number of p around m, or 1000 when m is within 0.5 of an edge.
int windingAround(const Points& p, morv::XYZ m) {
    int w = 0;
    for (std::size_t k = 0; k < p.size(); ++k) {
        const morv::XYZ a = p[k], b = p[(k + 1) % p.size()];
        const double l2 = (b.x - a.x) * (b.x - a.x) + (b.y - a.y) * (b.y - a.y);
        const double t = std::clamp(((m.x - a.x) * (b.x - a.x) + (m.y - a.y) * (b.y - a.y)) / l2, 0.0, 1.0);
        if (std::hypot(m.x - a.x - t * (b.x - a.x), m.y - a.y - t * (b.y - a.y)) < 0.5) return 1000;
        w += (a.y <= m.y && b.y > m.y && side(a, b, m) > 0) - (a.y > m.y && b.y <= m.y && side(a, b, m) < 0);
    }
    return w;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Points outline;
    for (std::size_t i = 0; i + 1 < size && outline.size() < 64; i += 2) {
        const double x = static_cast<std::int8_t>(data[i]), y = static_cast<std::int8_t>(data[i + 1]);
        if (outline.empty() || outline.back().x != x || outline.back().y != y) outline.push_back({x, y, 0.25 * x - 0.125 * y});
    }
    morv::ConvexSplitter splitter;
    morv::PolygonPieces pieces;
    if (outline.size() < 3 || splitter.split(outline, pieces) == morv::PolygonShape::Unsplittable) return 0;
    std::vector<Points> convex;
    for (std::size_t k = 0; k < pieces.count(); ++k) {
        Points q;
        for (std::uint32_t i : pieces.piece(k)) q.push_back(i < outline.size() ? outline[i] : splitter.addedPoints()[i - outline.size()].point);
        const std::size_t n = q.size();
        double area2 = 0;
        for (std::size_t i = 1; i + 1 < n; ++i) area2 += side(q[0], q[i], q[i + 1]);
        check(n >= 3 && n <= morv::maxPieceVertices && std::fabs(area2) > 0);
        if (area2 < 0) std::reverse(q.begin(), q.end());
        for (std::size_t i = 0; i < n; ++i)
            check(side(q[i], q[(i + 1) % n], q[(i + 2) % n]) >= -2 * splitter.tolerance() * std::hypot(q[(i + 2) % n].x - q[i].x, q[(i + 2) % n].y - q[i].y));
        convex.push_back(q);
    }
    for (int s = 0; s < 64; ++s) {
        const morv::XYZ m{-128 + 256 * std::fmod(0.1 + s * 0.6180339887, 1.0), -128 + 256 * std::fmod(0.3 + s * 0.4142135623, 1.0), 0};
        const int winding = windingAround(outline, m);
        int covering = 0, nearEdge = winding == 1000;
        for (const Points& q : convex) covering += windingAround(q, m) != 0, nearEdge += windingAround(q, m) == 1000;
        check(nearEdge || covering == (winding != 0));
    }
    return 0;
}
