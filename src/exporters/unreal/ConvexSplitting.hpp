// Cutting one polygon into convex pieces of at most 16 vertices, as brush
// polygons must be. Decisions are taken in two dimensions, on the polygon
// projected onto the coordinate plane where its fan of triangles covers the
// most area; the pieces are lists of positions in the polygon handed in, each
// keeping the polygon's order (and so its winding).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv {

inline constexpr std::size_t maxPieceVertices = 16;

// Degenerate: every turn is zero (all points on one line). A turn counts as
// zero when its angle is below about 1e-10 radians, so that points that lie on
// one line up to rounding are seen as such.
enum class PolygonShape { Convex, Concave, Degenerate };

// A point of the working plane.
struct FlatPoint {
    double x, y;
};

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

// The coordinate plane a polygon is judged in: 0 drops z (x-y), 1 drops y
// (x-z), 2 drops x (y-z). Ties go to the earlier plane.
int workingPlane(std::span<const XYZ> polygon);

// A convex polygon (positions) cut into pieces of at most 16 vertices: the first
// 16 vertices, then the first vertex with the next run, each piece sharing an
// edge with the one before.
void takeNVertices(std::span<const std::uint32_t> polygon, PolygonPieces& out);

// Splits faces; keeps its working storage from face to face.
class ConvexSplitter {
public:
    // The whole face (at least 3 points, consecutive repeats already removed):
    // its shape, and its pieces in out (none when Degenerate). A face of at most
    // 16 vertices is one piece as it is, even when concave. A face that is far
    // from flat (points off its plane by more than 1/1000 of its size) and
    // crosses itself in the working plane is cut into a fan of triangles from
    // its first point, which every piece of a brush can be; cutAsFan() then
    // answers true until the next split.
    PolygonShape split(std::span<const XYZ> polygon, PolygonPieces& out);
    bool cutAsFan() const { return cutAsFan_; }

    // Splits a simple polygon along diagonals until every part is convex, and
    // cuts parts of more than 16 vertices with takeNVertices. Diagonals are
    // tried from the reflex vertices, nearer candidates first. An outline that
    // crosses itself may have no diagonal: that raises Error with the points.
    void fixConvex(std::span<const XYZ> points, int plane, std::span<const std::uint32_t> polygon,
                   PolygonPieces& out);

private:
    bool splitAlongDiagonals(std::span<const std::uint32_t> polygon, PolygonPieces& out);
    PolygonShape classify(std::span<const std::uint32_t> part) const;
    bool findDiagonal(std::span<const std::uint32_t> part, int orientation, std::size_t& a, std::size_t& b);
    bool isDiagonal(std::span<const std::uint32_t> part, int orientation, std::size_t a, std::size_t b) const;
    bool inCone(std::span<const std::uint32_t> part, int orientation, std::size_t a, std::size_t b) const;
    bool insidePart(std::span<const std::uint32_t> part, FlatPoint m, bool rayAlongY) const;
    void project(std::span<const XYZ> points, int plane);

    std::vector<FlatPoint> flat_;                      // the points in the working plane
    std::vector<std::uint32_t> whole_;                 // 0 .. n-1
    std::vector<std::vector<std::uint32_t>> stack_;    // parts still to split; kept for reuse
    std::vector<std::uint32_t> part_;                  // the part being split
    std::vector<std::pair<double, std::uint32_t>> candidates_;
    bool cutAsFan_ = false;
};

}  // namespace morv
