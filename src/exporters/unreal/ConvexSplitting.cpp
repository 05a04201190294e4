#include "exporters/unreal/ConvexSplitting.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"

namespace morv {
namespace {

// Below this sine of the angle between two edges a turn counts as none.
constexpr double straightTurn = 1e-10;

FlatPoint flatten(const XYZ& p, int plane) {
    switch (plane) {
        case 0:
            return {p.x, p.y};
        case 1:
            return {p.x, p.z};
        default:
            return {p.y, p.z};
    }
}

template <class P>
double cross(P o, P a, P b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// Sign of the turn p -> q -> r: +1 left, -1 right, 0 straight (within the tolerance).
template <class P>
int turnSign(P p, P q, P r) {
    const double ax = q.x - p.x, ay = q.y - p.y, bx = r.x - q.x, by = r.y - q.y;
    const double c = ax * by - ay * bx;
    if (!(c * c > straightTurn * straightTurn * (ax * ax + ay * ay) * (bx * bx + by * by))) return 0;
    return c > 0 ? 1 : -1;
}

int sign(double v) { return v > 0 ? 1 : (v < 0 ? -1 : 0); }

// Both segments cross at a point inside each of them; touching is no crossing.
template <class P>
bool properlyCross(P p1, P p2, P q1, P q2) {
    const int d1 = sign(cross(q1, q2, p1)), d2 = sign(cross(q1, q2, p2));
    const int d3 = sign(cross(p1, p2, q1)), d4 = sign(cross(p1, p2, q2));
    return d1 * d2 < 0 && d3 * d4 < 0;
}

// p lies on the open segment s-e (up to rounding), away from both ends.
template <class P>
bool onOpenSegment(P p, P s, P e) {
    const double dx = e.x - s.x, dy = e.y - s.y, wx = p.x - s.x, wy = p.y - s.y;
    const double along = dx * wx + dy * wy, length2 = dx * dx + dy * dy;
    if (!(along > 0 && along < length2)) return false;
    const double c = dx * wy - dy * wx;
    return std::fabs(c) <= straightTurn * std::sqrt(length2 * (wx * wx + wy * wy));
}

[[noreturn]] void raiseUnsplittable(std::span<const XYZ> points, std::span<const std::uint32_t> polygon) {
    std::string text =
        "Possible bug: Could not split concave polygon!\n"
        "Try to remove polygons with more than 16 vertices in your object.\n"
        "As a debugging reference, here are the vertex coordinates:\n";
    for (std::uint32_t i : polygon) {
        text += "{x = ";
        appendReal(text, points[i].x);
        text += ", y = ";
        appendReal(text, points[i].y);
        text += ", z = ";
        appendReal(text, points[i].z);
        text += "}\n";
    }
    throw Error(text);
}

// Off its plane by more than this share of its size, a face is not flat.
constexpr double flatFace = 1e-3;

bool isFarFromFlat(std::span<const XYZ> polygon) {
    const XYZ& o = polygon[0];
    XYZ n{};
    double extent2 = 0;
    for (std::size_t i = 1; i < polygon.size(); ++i) {
        const XYZ a{polygon[i - 1].x - o.x, polygon[i - 1].y - o.y, polygon[i - 1].z - o.z};
        const XYZ b{polygon[i].x - o.x, polygon[i].y - o.y, polygon[i].z - o.z};
        n = {n.x + a.y * b.z - a.z * b.y, n.y + a.z * b.x - a.x * b.z, n.z + a.x * b.y - a.y * b.x};
        extent2 = std::max(extent2, b.x * b.x + b.y * b.y + b.z * b.z);
    }
    const double length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
    if (!(length > 0)) return true;
    double lowest = 0, highest = 0;
    for (const XYZ& p : polygon) {
        const double h = (n.x * (p.x - o.x) + n.y * (p.y - o.y) + n.z * (p.z - o.z)) / length;
        lowest = std::min(lowest, h);
        highest = std::max(highest, h);
    }
    return highest - lowest > flatFace * std::sqrt(extent2);
}

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

int workingPlane(std::span<const XYZ> polygon) {
    double best = -1;
    int chosen = 0;
    for (int plane = 0; plane < 3; ++plane) {
        double sum = 0;
        const FlatPoint p = flatten(polygon[0], plane);
        for (std::size_t i = 1; i + 1 < polygon.size(); ++i)
            sum += std::fabs(cross(p, flatten(polygon[i], plane), flatten(polygon[i + 1], plane)));
        if (sum > best) {
            best = sum;
            chosen = plane;
        }
    }
    return chosen;
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

void ConvexSplitter::project(std::span<const XYZ> points, int plane) {
    flat_.resize(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        flat_[i] = flatten(points[i], plane);
    }
}

PolygonShape ConvexSplitter::split(std::span<const XYZ> polygon, PolygonPieces& out) {
    out.clear();
    cutAsFan_ = false;
    if (polygon.size() < 3) throw Error("Polygons must have at least 3 vertices!\n");
    const int plane = workingPlane(polygon);
    project(polygon, plane);
    whole_.resize(polygon.size());
    std::iota(whole_.begin(), whole_.end(), 0u);
    const PolygonShape shape = classify(whole_);
    if (shape == PolygonShape::Degenerate) return shape;
    if (polygon.size() <= maxPieceVertices)
        out.add(whole_);
    else if (shape == PolygonShape::Convex)
        takeNVertices(whole_, out);
    else if (!splitAlongDiagonals(whole_, out)) {
        if (!isFarFromFlat(polygon)) raiseUnsplittable(polygon, whole_);
        out.clear();
        for (std::uint32_t i = 1; i + 1 < polygon.size(); ++i) out.add(0, std::span<const std::uint32_t>(&whole_[i], 2));
        cutAsFan_ = true;
    }
    return shape;
}

PolygonShape ConvexSplitter::classify(std::span<const std::uint32_t> part) const {
    const std::size_t n = part.size();
    int orientation = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const int s = turnSign(flat_[part[i]], flat_[part[(i + 1) % n]], flat_[part[(i + 2) % n]]);
        if (s == 0) continue;
        if (orientation == 0)
            orientation = s;
        else if (s != orientation)
            return PolygonShape::Concave;
    }
    return orientation == 0 ? PolygonShape::Degenerate : PolygonShape::Convex;
}

void ConvexSplitter::fixConvex(std::span<const XYZ> points, int plane, std::span<const std::uint32_t> polygon,
                               PolygonPieces& out) {
    project(points, plane);
    if (!splitAlongDiagonals(polygon, out)) raiseUnsplittable(points, polygon);
}

bool ConvexSplitter::splitAlongDiagonals(std::span<const std::uint32_t> polygon, PolygonPieces& out) {
    double area2 = 0;
    for (std::size_t i = 0; i < polygon.size(); ++i) {
        const FlatPoint p = flat_[polygon[i]], q = flat_[polygon[(i + 1) % polygon.size()]];
        area2 += p.x * q.y - p.y * q.x;
    }
    const int orientation = sign(area2);
    if (orientation == 0) return false;

    // Parts still to split live in stack_[0 .. depth); their vectors are reused.
    std::size_t depth = 0;
    const auto push = [&](auto first, auto last) -> void {
        if (depth == stack_.size()) stack_.emplace_back();
        stack_[depth].assign(first, last);
        ++depth;
    };
    push(polygon.begin(), polygon.end());
    std::vector<std::uint32_t>& part = part_;
    while (depth > 0) {
        part.swap(stack_[--depth]);
        if (part.size() < 3) throw Bug("FOUND BUG: Polygon has less than 2 vertices in function fixConvex!");
        if (classify(part) != PolygonShape::Concave) {
            takeNVertices(part, out);
            continue;
        }
        std::size_t a = 0, b = 0;
        if (!findDiagonal(part, orientation, a, b)) return false;
        // Both parts hold the diagonal's ends and keep the order: a..b and b..a (wrapping).
        push(part.begin() + static_cast<std::ptrdiff_t>(b), part.end());
        stack_[depth - 1].insert(stack_[depth - 1].end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(a) + 1);
        push(part.begin() + static_cast<std::ptrdiff_t>(a), part.begin() + static_cast<std::ptrdiff_t>(b) + 1);
    }
    return true;
}

bool ConvexSplitter::findDiagonal(std::span<const std::uint32_t> part, int orientation, std::size_t& a,
                                  std::size_t& b) {
    const std::size_t n = part.size();
    for (std::size_t r = 0; r < n; ++r) {
        const FlatPoint p = flat_[part[(r + n - 1) % n]], q = flat_[part[r]], s = flat_[part[(r + 1) % n]];
        if (turnSign(p, q, s) != -orientation) continue;
        candidates_.clear();
        for (std::size_t j = 0; j < n; ++j) {
            if (j == r || j == (r + 1) % n || j == (r + n - 1) % n) continue;
            const double dx = flat_[part[j]].x - q.x, dy = flat_[part[j]].y - q.y;
            candidates_.emplace_back(dx * dx + dy * dy, static_cast<std::uint32_t>(j));
        }
        std::sort(candidates_.begin(), candidates_.end());
        for (const auto& [distance, j] : candidates_) {
            if (isDiagonal(part, orientation, r, j)) {
                a = std::min<std::size_t>(r, j);
                b = std::max<std::size_t>(r, j);
                return true;
            }
        }
    }
    return false;
}

bool ConvexSplitter::isDiagonal(std::span<const std::uint32_t> part, int orientation, std::size_t a,
                                std::size_t b) const {
    const std::size_t n = part.size();
    const FlatPoint s = flat_[part[a]], e = flat_[part[b]];
    // A diagonal of zero length joins two copies of one point (a bridge to a hole).
    if (s.x == e.x && s.y == e.y) return false;
    if (!inCone(part, orientation, a, b) || !inCone(part, orientation, b, a)) return false;
    for (std::size_t k = 0; k < n; ++k) {
        const FlatPoint p = flat_[part[k]];
        if (properlyCross(s, e, p, flat_[part[(k + 1) % n]])) return false;
        // Through another vertex: the pieces would hide that vertex in an edge.
        if (k != a && k != b && onOpenSegment(p, s, e)) return false;
    }
    const FlatPoint m{s.x + (e.x - s.x) * 0.5, s.y + (e.y - s.y) * 0.5};
    return insidePart(part, m, std::fabs(e.x - s.x) >= std::fabs(e.y - s.y));
}

// The segment from vertex a towards b leaves a into the polygon's inside:
// between its two edges when a is convex, outside the outer wedge when reflex.
bool ConvexSplitter::inCone(std::span<const std::uint32_t> part, int orientation, std::size_t a,
                            std::size_t b) const {
    const std::size_t n = part.size();
    const FlatPoint p = flat_[part[a]], to = flat_[part[b]];
    const FlatPoint before = flat_[part[(a + n - 1) % n]], after = flat_[part[(a + 1) % n]];
    const auto left = [&](FlatPoint u, FlatPoint v, FlatPoint w) { return orientation * cross(u, v, w) > 0; };
    const auto leftOn = [&](FlatPoint u, FlatPoint v, FlatPoint w) { return orientation * cross(u, v, w) >= 0; };
    if (leftOn(p, after, before)) return left(p, to, before) && left(to, p, after);
    return !(leftOn(p, to, after) && leftOn(to, p, before));
}

// Crossing count of a ray from m, parallel to y when rayAlongY, else to x.
bool ConvexSplitter::insidePart(std::span<const std::uint32_t> part, FlatPoint m, bool rayAlongY) const {
    const auto along = [&](FlatPoint p) { return rayAlongY ? p.y : p.x; };
    const auto across = [&](FlatPoint p) { return rayAlongY ? p.x : p.y; };
    bool inside = false;
    const std::size_t n = part.size();
    for (std::size_t k = 0; k < n; ++k) {
        const FlatPoint p = flat_[part[k]], q = flat_[part[(k + 1) % n]];
        if ((across(p) > across(m)) == (across(q) > across(m))) continue;
        const double hit = along(p) + (across(m) - across(p)) * (along(q) - along(p)) / (across(q) - across(p));
        if (hit > along(m)) inside = !inside;
    }
    return inside;
}

}  // namespace morv
