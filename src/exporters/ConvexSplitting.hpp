// Cutting one face into convex, flat pieces of at most 16 vertices, as brush
// polygons must be. Decisions are taken in two dimensions, on the face
// projected onto the coordinate plane where its fan of triangles covers the
// most area; the pieces are lists of positions in the face handed in (and of
// points added where its outline crosses itself), each keeping the face's order.
//
// Turns, collinearity and zero area are judged with a tolerance sized to the
// face: the rounding of single-precision coordinates of its magnitude plus
// the six-decimal step of brush text. A point on an edge up to that rounding
// is no corner.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv {

inline constexpr std::size_t maxPieceVertices = 16;

// Degenerate: the face has no area up to rounding. Unsplittable: its outline
// touches or crosses itself in a way that leaves no convex pieces.
enum class PolygonShape { Convex, Concave, Degenerate, Unsplittable };

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
    // Faces of up to this many points are cut into the fewest convex pieces
    // that diagonals allow; larger ones first along diagonals that remove
    // reflex corners (two at once where one diagonal can), down to small parts
    // that are searched the same way.
    static constexpr std::size_t exactLimit = 12;

    // The whole face (at least 3 points, consecutive repeats already removed):
    // its shape, and its pieces in out (none when Degenerate or Unsplittable).
    // Needles and zero-width spikes are left out of the pieces. An outline that
    // crosses itself is cut at its crossings into simple parts, each facing
    // the way it runs, covering where its winding number is not zero. A face
    // far from flat (points off its plane by more than 1/1000 of its size)
    // is cut further into flat pieces.
    PolygonShape split(std::span<const XYZ> polygon, PolygonPieces& out);
    bool crossesItself() const { return crosses_; }
    bool farFromFlat() const { return farFromFlat_; }
    // The points of positions polygon.size() and up.
    std::span<const AddedPoint> addedPoints() const { return added_; }
    // How far from a line a point may lie and still count as on it.
    double tolerance() const { return tol_; }

    // Splits one simple part (positions of the face being split, in order)
    // into convex pieces of at most 16 vertices; false when no diagonal is found.
    bool fixConvex(std::span<const std::uint32_t> part, PolygonPieces& out);

private:
    void clean(std::span<const std::uint32_t> outline, std::vector<std::uint32_t>& out) const;
    bool near(std::uint32_t a, std::uint32_t b) const;
    bool isSpike(std::uint32_t a, std::uint32_t b, std::uint32_t c) const;
    // +1 left, -1 right, 0 when b lies on the line from a to c up to the tolerance.
    int turn(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
        const FlatPoint p = flat_[a], q = flat_[b], r = flat_[c];
        const double c2 = (q.x - p.x) * (r.y - p.y) - (q.y - p.y) * (r.x - p.x), dx = r.x - p.x, dy = r.y - p.y;
        if (c2 * c2 <= tol_ * tol_ * (dx * dx + dy * dy)) return 0;
        return c2 > 0 ? 1 : -1;
    }
    double signedArea2(std::span<const std::uint32_t> part) const;
    double extentOf(std::span<const std::uint32_t> part) const;
    int reflexCount(std::span<const std::uint32_t> part, int orientation, std::size_t* first) const;
    int cutAtCrossings(std::span<const XYZ> polygon);
    bool keepOuterLoops();
    bool isSimple(std::span<const std::uint32_t> part);
    bool passesAPointTwice(std::span<const std::uint32_t> part);
    bool piecesOverlap(const PolygonPieces& pieces) const;
    bool exactSplit(std::span<const std::uint32_t> part, int orientation, PolygonPieces& out);
    int exactCount(std::uint32_t mask);
    void emitExact(std::uint32_t mask, PolygonPieces& out);
    bool findDiagonal(std::span<const std::uint32_t> part, int orientation, bool& tryPairs, std::size_t& a,
                      std::size_t& b);
    bool isDiagonal(std::span<const std::uint32_t> part, int orientation, std::size_t a, std::size_t b) const;
    bool inCone(std::span<const std::uint32_t> part, int orientation, std::size_t a, std::size_t b) const;
    bool insidePart(std::span<const std::uint32_t> part, FlatPoint m, bool rayAlongY) const;
    void cutIntoFlatPieces(std::span<const XYZ> polygon, PolygonPieces& pieces);
    XYZ pointAt(std::span<const XYZ> polygon, std::uint32_t position) const;

    std::vector<FlatPoint> flat_;                      // the points in the working plane, added ones last
    std::vector<AddedPoint> added_;
    std::vector<std::uint32_t> whole_, outline_;
    std::vector<std::vector<std::uint32_t>> loops_;    // simple parts of an outline that crosses itself
    std::vector<std::vector<std::uint32_t>> stack_;    // parts still to split; kept for reuse
    std::vector<bool> tryPairs_;
    std::vector<std::uint32_t> part_, cleaned_;
    struct Candidate {
        double length2;
        std::uint32_t a, b;
    };
    std::vector<Candidate> candidates_;
    std::vector<std::uint32_t> reflex_;
    std::vector<std::pair<double, std::uint32_t>> lefts_;
    // The exact search over one part: its positions, per subset of them the
    // fewest pieces and the diagonal's far end (or -1: convex), and which
    // diagonals of the part are known good (1) or bad (2).
    std::vector<std::uint32_t> exactPart_;
    int exactOrientation_ = 0;
    std::vector<std::uint8_t> exactCount_, diagonalState_;
    std::vector<std::int8_t> exactChoice_;
    PolygonPieces scratchPieces_;
    double tol_ = 0;
    bool crosses_ = false, farFromFlat_ = false;
};

}  // namespace morv
