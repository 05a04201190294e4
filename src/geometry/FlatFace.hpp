// A face on its own plane: its points in two working coordinates, the
// tolerance sized to it, and the tests every phase of convex splitting asks
// (turns, points on segments, areas). Also the pieces a face is cut into.
//
// Turns, collinearity and zero area are judged with a tolerance sized to the
// face: the rounding of single-precision coordinates of its magnitude plus
// the six-decimal step of brush text. A point on an edge up to that rounding
// is no corner; points closer than that are one point.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "scene/MorvLValue.hpp"
#include "scene/Vector.hpp"

namespace morv {

inline constexpr std::size_t maxPieceVertices = 16;

// A point of the working plane.
struct FlatPoint {
    double x, y;
};

// A point added where two edges of the outline cross: on the edge from
// position `from` to position `to` of the face, at `t` along it.
struct AddedPoint {
    std::uint32_t from, to;
    double t;
    XYZ point;
};

// Positions of a face (or of sweep vertices) in order round a part of it.
using Loop = std::vector<std::uint32_t>;

// Pieces as runs of positions: piece k is positions[offsets[k] .. offsets[k+1]).
struct PolygonPieces {
    std::vector<std::uint32_t> positions;
    std::vector<std::uint32_t> offsets{0};

    std::size_t count() const { return offsets.size() - 1; }
    std::span<const std::uint32_t> piece(std::size_t k) const {
        return std::span<const std::uint32_t>(positions).subspan(offsets[k], offsets[k + 1] - offsets[k]);
    }
    void clear();
    void add(std::span<const std::uint32_t> piece);
    void add(std::uint32_t first, std::span<const std::uint32_t> rest);
};

// A convex polygon (positions) cut into pieces of at most 16 vertices: the first
// 16 vertices, then the first vertex with the next run, each piece sharing an
// edge with the one before.
void takeNVertices(std::span<const std::uint32_t> polygon, PolygonPieces& out);

// Twice the signed area of the triangle o, a, b of the working plane.
inline double twiceArea(FlatPoint o, FlatPoint a, FlatPoint b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// Both segments cross at a point inside each of them; touching is no crossing.
bool properlyCross(FlatPoint p1, FlatPoint p2, FlatPoint q1, FlatPoint q2);

inline bool lexLess(FlatPoint a, FlatPoint b) { return a.x < b.x || (a.x == b.x && a.y < b.y); }

// The Newell normal of n points given by point(i) (not made unit).
XYZ newellOf(std::size_t n, const auto& point) {
    XYZ sum{};
    const XYZ o = point(0);
    for (std::size_t i = 1; i + 1 < n; ++i) sum = sum + cross(point(i) - o, point(i + 1) - o);
    return sum;
}

// The tolerance for coordinates up to this magnitude.
double toleranceFor(double magnitude);

// How far a cover's area may differ from its face's: a strip of four times
// the tolerance along the outline (slivers and needles no wider than the
// tolerance are dropped).
inline double areaAllowance(double tol, double perimeter) { return 4 * tol * perimeter; }

struct FlatFace {
    std::span<const XYZ> polygon;
    std::vector<FlatPoint> flat;  // the points in the working plane, added ones last
    std::vector<AddedPoint> added;
    XYZ normal{};  // of the working plane
    double tol = 0;

    // Fills flat, normal and tol for the polygon.
    void project(std::span<const XYZ> face);

    // The point of a position: the face's own, or an added one.
    XYZ pointAt(std::uint32_t position) const {
        return position < polygon.size() ? polygon[position] : added[position - polygon.size()].point;
    }
    // The two points are one, up to the tolerance.
    bool near(std::uint32_t a, std::uint32_t b) const {
        const double dx = flat[b].x - flat[a].x, dy = flat[b].y - flat[a].y;
        return dx * dx + dy * dy <= tol * tol;
    }
    // a -> b -> c goes out and comes back along one line: b is the tip of a needle.
    bool isSpike(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
        const FlatPoint p = flat[a], q = flat[b], r = flat[c];
        const double ax = q.x - p.x, ay = q.y - p.y, bx = r.x - q.x, by = r.y - q.y;
        if (ax * bx + ay * by >= 0) return false;
        const double turned = ax * by - ay * bx;
        return turned * turned <= 4 * tol * tol * std::max(ax * ax + ay * ay, bx * bx + by * by);
    }
    // +1 left, -1 right, 0 when b lies on the line from a to c up to the tolerance.
    int turn(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
        const FlatPoint p = flat[a], q = flat[b], r = flat[c];
        const double c2 = (q.x - p.x) * (r.y - p.y) - (q.y - p.y) * (r.x - p.x), dx = r.x - p.x, dy = r.y - p.y;
        if (c2 * c2 <= tol * tol * (dx * dx + dy * dy)) return 0;
        return c2 > 0 ? 1 : -1;
    }
    // Point c lies on the segment a-b up to the tolerance; t is where along it.
    bool onSegment(std::uint32_t a, std::uint32_t b, std::uint32_t c, double* t) const {
        const FlatPoint p = flat[a], q = flat[b], r = flat[c];
        const double dx = q.x - p.x, dy = q.y - p.y, along = (r.x - p.x) * dx + (r.y - p.y) * dy;
        const double off = (r.y - p.y) * dx - (r.x - p.x) * dy, length2 = dx * dx + dy * dy;
        if (!(along > 0 && along < length2 && off * off <= tol * tol * length2)) return false;
        *t = along / length2;
        return true;
    }
    double signedArea2(std::span<const std::uint32_t> part) const {
        double area2 = 0;
        const FlatPoint o = flat[part[0]];
        for (std::size_t i = 1; i + 1 < part.size(); ++i) area2 += twiceArea(o, flat[part[i]], flat[part[i + 1]]);
        return area2;
    }
    double extentOf(std::span<const std::uint32_t> part) const;
    // Wider than the tolerance: its fan covers more than a strip of that width.
    bool hasArea(std::span<const std::uint32_t> part) const;
    // Corners that turn right in a part that runs counter-clockwise; the first at *first.
    int reflexCount(std::span<const std::uint32_t> part, std::size_t* first) const {
        const std::size_t n = part.size();
        int count = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (turn(part[i == 0 ? n - 1 : i - 1], part[i], part[i + 1 == n ? 0 : i + 1]) != -1) continue;
            if (count++ == 0 && first) *first = i;
        }
        return count;
    }
    // Winding number of the outline around m.
    int windingAt(std::span<const std::uint32_t> outline, FlatPoint m) const;
    // The outline with points that repeat the one before up to the tolerance
    // and the tips of needles dropped (also where it closes); empty when
    // fewer than 3 points remain.
    void clean(std::span<const std::uint32_t> outline, Loop& out) const;
};

}  // namespace morv
