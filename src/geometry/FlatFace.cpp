#include "geometry/FlatFace.hpp"

#include <algorithm>
#include <cmath>

namespace morv {
namespace {

// Single-precision coordinates are off by up to half a unit in the last of
// their 24 bits; a few of those, plus the six-decimal step of brush text,
// is how far a point may be from a line and still lie on it.
constexpr double floatRounding = 0x1p-22;
constexpr double textStep = 1e-6;

int sign(double v) { return v > 0 ? 1 : (v < 0 ? -1 : 0); }

}  // namespace

void PolygonPieces::clear() {
    positions.clear();
    offsets.assign(1, 0);
}

void PolygonPieces::add(std::span<const std::uint32_t> piece) {
    positions.insert(positions.end(), piece.begin(), piece.end());
    offsets.push_back(static_cast<std::uint32_t>(positions.size()));
}

void PolygonPieces::add(std::uint32_t first, std::span<const std::uint32_t> rest) {
    positions.push_back(first);
    add(rest);
}

void takeNVertices(std::span<const std::uint32_t> polygon, PolygonPieces& out) {
    const std::size_t n = polygon.size();
    if (n <= maxPieceVertices) {
        out.add(polygon);
        return;
    }
    out.add(polygon.first(maxPieceVertices));
    // Every later piece is the first vertex and the next run, starting at the
    // last vertex of the piece before.
    std::size_t start = maxPieceVertices - 1;
    while (n - start + 1 > maxPieceVertices) {
        out.add(polygon[0], polygon.subspan(start, maxPieceVertices - 1));
        start += maxPieceVertices - 2;
    }
    out.add(polygon[0], polygon.subspan(start));
}

bool properlyCross(FlatPoint p1, FlatPoint p2, FlatPoint q1, FlatPoint q2) {
    const int d1 = sign(twiceArea(q1, q2, p1)), d2 = sign(twiceArea(q1, q2, p2));
    const int d3 = sign(twiceArea(p1, p2, q1)), d4 = sign(twiceArea(p1, p2, q2));
    return d1 * d2 < 0 && d3 * d4 < 0;
}

double toleranceFor(double magnitude) { return floatRounding * magnitude + textStep; }

// The points in the face's own plane, along its Newell normal (or, for an
// outline that crosses itself so that its Newell normal nearly vanishes,
// the normal of its fan's triangles turned to one side).
void FlatFace::project(std::span<const XYZ> face) {
    polygon = face;
    const std::size_t n = face.size();
    const XYZ o = face[0];
    XYZ newell{}, largest{}, aligned{};
    double largestLength = -1, magnitude = 0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const XYZ t = cross(face[i] - o, face[i + 1] - o);
        newell = newell + t;
        if (dot(t, t) > largestLength) largestLength = dot(t, t), largest = t;
    }
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const XYZ t = cross(face[i] - o, face[i + 1] - o);
        aligned = aligned + (dot(t, largest) < 0 ? -1.0 : 1.0) * t;
    }
    // The Newell normal of an outline that crosses itself may nearly cancel,
    // down to the rounding of its points (each triangle's by up to the
    // tolerance times its sides), and then points anywhere.
    double extent = 0;
    for (const XYZ& p : face) {
        extent = std::max(extent, length(p - o));
        magnitude = std::max({magnitude, std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)});
    }
    const double noise = 4 * static_cast<double>(n) * toleranceFor(magnitude) * extent;
    XYZ unit = length(newell) > std::max(1e-6 * length(aligned), noise) ? newell : aligned;
    if (!(length(unit) > 0) || !std::isfinite(length(unit))) unit = {0, 0, 1};
    unit = normalized(unit);
    normal = unit;
    // Two unit directions across the normal, the first along the face's
    // longest edge, so that the face has the same working coordinates however
    // it is turned in space.
    std::size_t longest = 0;
    double longestLength = -1;
    for (std::size_t i = 0; i < n; ++i) {
        const XYZ d = face[(i + 1) % n] - face[i];
        if (dot(d, d) > longestLength) longestLength = dot(d, d), longest = i;
    }
    const XYZ edge = face[(longest + 1) % n] - face[longest];
    XYZ e1 = normalized(edge - dot(edge, unit) * unit);
    if (!(std::fabs(length(e1) - 1) < 1e-6)) {
        const double ax = std::fabs(unit.x), ay = std::fabs(unit.y), az = std::fabs(unit.z);
        const XYZ axis = ax <= ay && ax <= az ? XYZ{1, 0, 0} : (ay <= az ? XYZ{0, 1, 0} : XYZ{0, 0, 1});
        e1 = normalized(cross(unit, axis));
    }
    const XYZ e2 = cross(unit, e1);
    flat.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const XYZ d = face[i] - o;
        flat[i] = {dot(d, e1), dot(d, e2)};
    }
    tol = toleranceFor(magnitude);
}

double FlatFace::extentOf(std::span<const std::uint32_t> part) const {
    double extent2 = 0;
    const FlatPoint o = flat[part[0]];
    for (std::uint32_t i : part) {
        const double dx = flat[i].x - o.x, dy = flat[i].y - o.y;
        extent2 = std::max(extent2, dx * dx + dy * dy);
    }
    return std::sqrt(extent2);
}

bool FlatFace::hasArea(std::span<const std::uint32_t> part) const {
    double fan = 0;
    for (std::size_t i = 1; i + 1 < part.size(); ++i)
        fan += std::fabs(twiceArea(flat[part[0]], flat[part[i]], flat[part[i + 1]]));
    return fan > tol * extentOf(part);
}

int FlatFace::windingAt(std::span<const std::uint32_t> outline, FlatPoint m) const {
    int winding = 0;
    const std::size_t k = outline.size();
    for (std::size_t e = 0; e < k; ++e) {
        const FlatPoint p = flat[outline[e]], q = flat[outline[e + 1 == k ? 0 : e + 1]];
        if (p.y <= m.y) {
            if (q.y > m.y && twiceArea(p, q, m) > 0) ++winding;
        } else if (q.y <= m.y && twiceArea(p, q, m) < 0) {
            --winding;
        }
    }
    return winding;
}

void FlatFace::clean(std::span<const std::uint32_t> outline, Loop& out) const {
    out.clear();
    for (std::uint32_t p : outline) {
        out.push_back(p);
        for (;;) {
            const std::size_t m = out.size();
            if (m >= 2 && near(out[m - 2], out[m - 1])) {
                out.pop_back();
            } else if (m >= 3 && isSpike(out[m - 3], out[m - 2], out[m - 1])) {
                out[m - 2] = out[m - 1];
                out.pop_back();
            } else {
                break;
            }
        }
    }
    std::size_t front = 0;
    while (out.size() - front >= 3) {
        const std::size_t m = out.size();
        if (near(out[m - 1], out[front]) || isSpike(out[m - 2], out[m - 1], out[front]))
            out.pop_back();
        else if (isSpike(out[m - 1], out[front], out[front + 1]))
            ++front;
        else
            break;
    }
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(front));
    if (out.size() < 3) out.clear();
}

}  // namespace morv
