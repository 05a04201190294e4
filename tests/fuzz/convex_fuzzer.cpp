// Bytes in as an outline of up to 64 points on a small grid (so points on
// edges, touching and crossing outlines are common), placed in space by the
// first five bytes (three fractional turns, a scale from 1/1000 to 10^6 and
// an offset along every axis of up to 1024 times the scale, so up to 10^9),
// stored as single floats, cut into convex pieces. Aborts unless every piece has 3 to
// 16 vertices, is convex and has area, faces the way the outline's winding
// number has it there, the pieces cover, once, where that winding number is
// not zero (at sample points away from every edge), and a simple outline
// with area is never left out.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "geometry/ConvexSplitting.hpp"

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
bool onSegment(morv::XYZ a, morv::XYZ b, morv::XYZ c) {
    return side(a, b, c) == 0 && std::min(a.x, b.x) <= c.x && c.x <= std::max(a.x, b.x) && std::min(a.y, b.y) <= c.y &&
           c.y <= std::max(a.y, b.y);
}
// No edge meets another but its neighbours, and those only at their shared end.
bool isSimple(const Points& p) {
    const std::size_t n = p.size();
    for (std::size_t e = 0; e < n; ++e)
        for (std::size_t f = e + 1; f < n; ++f) {
            const morv::XYZ a = p[e], b = p[(e + 1) % n], c = p[f], d = p[(f + 1) % n];
            if (f == e + 1 || (e == 0 && f == n - 1)) {
                const morv::XYZ shared = f == e + 1 ? b : a, other = f == e + 1 ? d : c, mine = f == e + 1 ? a : b;
                if (side(mine, shared, other) == 0 && (other.x - shared.x) * (mine.x - shared.x) + (other.y - shared.y) * (mine.y - shared.y) > 0) return false;
                continue;
            }
            const double s1 = side(a, b, c), s2 = side(a, b, d), s3 = side(c, d, a), s4 = side(c, d, b);
            if (((s1 > 0 && s2 < 0) || (s1 < 0 && s2 > 0)) && ((s3 > 0 && s4 < 0) || (s3 < 0 && s4 > 0))) return false;
            if (onSegment(a, b, c) || onSegment(a, b, d) || onSegment(c, d, a) || onSegment(c, d, b)) return false;
        }
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const double a = data[0] * 0.0246, b = data[1] * 0.0123, c = data[4] * 0.0371, scale = std::pow(10.0, data[2] % 10 - 3);
    const double offset = scale * std::ldexp(1.0 + (data[3] >> 4) / 16.0, data[3] % 11) * (data[3] & 1 ? -1 : 1);
    Points outline, placed;
    for (std::size_t i = 5; i + 1 < size && outline.size() < 64; i += 2) {
        const double x = static_cast<std::int8_t>(data[i]), y = static_cast<std::int8_t>(data[i + 1]);
        if (!outline.empty() && outline.back().x == x && outline.back().y == y) continue;
        outline.push_back({x, y, 0});
        const double u = scale * x, v = scale * (y * std::cos(b)), w = scale * (y * std::sin(b));
        const double p = u * std::cos(a) - v * std::sin(a), q = u * std::sin(a) + v * std::cos(a);
        placed.push_back({static_cast<float>(p * std::cos(c) - w * std::sin(c) + offset), static_cast<float>(q + 0.7 * offset),
                          static_cast<float>(p * std::sin(c) + w * std::cos(c) - 0.3 * offset)});
    }
    while (outline.size() > 1 && outline.back().x == outline[0].x && outline.back().y == outline[0].y) outline.pop_back(), placed.pop_back();
    if (outline.size() < 3) return 0;
    morv::ConvexSplitter splitter;
    morv::PolygonPieces pieces;
    const morv::PolygonShape shape = splitter.split(placed, pieces);
    double area2 = 0;
    for (std::size_t i = 1; i + 1 < outline.size(); ++i) area2 += side(outline[0], outline[i], outline[i + 1]);
    check(pieces.count() > 0 || area2 == 0 || !isSimple(outline));
    if (shape == morv::PolygonShape::Unsplittable) return 0;
    std::vector<Points> convex;
    const double tolerance = splitter.tolerance() / scale;
    for (std::size_t k = 0; k < pieces.count(); ++k) {
        Points q;
        for (std::uint32_t i : pieces.piece(k)) {
            if (i < outline.size()) {
                q.push_back(outline[i]);
                continue;
            }
            const morv::AddedPoint& added = splitter.addedPoints()[i - outline.size()];
            const morv::XYZ p = outline[added.from], r = outline[added.to];
            q.push_back({p.x + added.t * (r.x - p.x), p.y + added.t * (r.y - p.y), 0});
        }
        const std::size_t n = q.size();
        double pieceArea2 = 0;
        morv::XYZ centre{};
        for (std::size_t i = 1; i + 1 < n; ++i) pieceArea2 += side(q[0], q[i], q[i + 1]);
        for (const morv::XYZ& p : q) centre = {centre.x + p.x / static_cast<double>(n), centre.y + p.y / static_cast<double>(n), 0};
        check(n >= 3 && n <= morv::maxPieceVertices && std::fabs(pieceArea2) > 0);
        const int winding = windingAround(outline, centre);
        check(winding == 1000 || (winding > 0) == (pieceArea2 > 0));
        if (pieceArea2 < 0) std::reverse(q.begin(), q.end());
        for (std::size_t i = 0; i < n; ++i)
            check(side(q[i], q[(i + 1) % n], q[(i + 2) % n]) >= -2 * tolerance * std::hypot(q[(i + 2) % n].x - q[i].x, q[(i + 2) % n].y - q[i].y));
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
