// Cutting one face into convex, flat pieces of at most 16 vertices, as brush
// polygons must be, for every writer that needs such pieces. Decisions are
// taken in two dimensions, on the face projected onto its own plane (along its
// Newell normal), so that they do not depend on how the face is turned in
// space; the pieces are lists of positions in the face handed in (and of
// points added where its outline crosses itself), each keeping the face's
// order, so that each piece faces like its part of the face.
//
// Turns, collinearity and zero area are judged with a tolerance sized to the
// face: the rounding of single-precision coordinates of its magnitude plus
// the six-decimal step of brush text. A point on an edge up to that rounding
// is no corner; points closer than that are one point.
//
// Splitting takes O(n log n) in the face's n points: a sweep finds whether the
// outline touches or crosses itself, a second sweep cuts the covered region
// into monotone parts, which are cut into triangles and merged again into
// convex pieces as far as the rules allow. Faces of up to exactLimit points
// are searched for the fewest pieces instead.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv {

inline constexpr std::size_t maxPieceVertices = 16;

// Convex: the face is one convex region, cut only for size or the rules.
// Concave: it needed diagonals. Degenerate: it has no area up to rounding.
// Unsplittable: left out for another reason, which leftOutReason() gives.
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

// A writer's own condition on a piece, beyond convex, flat and small (the
// brush writer's: one texture placement keeps the texel of every corner).
// A piece it refuses is cut further; triangles are never asked.
class PieceTest {
public:
    // piece: positions of the face being split, in the face's order.
    virtual bool keepsWhole(std::span<const std::uint32_t> piece) = 0;

protected:
    ~PieceTest() = default;
};

struct SplitRules {
    // How far a vertex of a piece may lie from the piece's plane, the plane
    // through its first vertex along its Newell normal; a piece beyond it is
    // cut further (a triangle always lies in its plane).
    double offPlane = std::numeric_limits<double>::infinity();
    PieceTest* test = nullptr;
};

// A convex polygon (positions) cut into pieces of at most 16 vertices: the first
// 16 vertices, then the first vertex with the next run, each piece sharing an
// edge with the one before.
void takeNVertices(std::span<const std::uint32_t> polygon, PolygonPieces& out);

// The warning for a face that ends with no piece written, naming it by its
// number and surface: "Warning: face N (surface S) " + reason + "; it is left out\n".
std::string leftOutWarning(std::size_t face, std::string_view surface, std::string_view reason);

// Splits faces; keeps its working storage from face to face.
class ConvexSplitter {
public:
    // Faces of up to this many points, whose outline is simple, are cut into
    // the fewest pieces that diagonals between their points allow.
    static constexpr std::size_t exactLimit = 16;

    // The whole face (at least 3 points, consecutive repeats already removed):
    // its shape, and its pieces in out (none when Degenerate or Unsplittable).
    //
    // Needles and zero-width spikes are left out of the pieces. An outline
    // that touches or crosses itself is cut where it does into simple loops;
    // the region where its winding number is not zero is covered once, each
    // part facing by the sign of its winding. A face whose outline retraces
    // itself (covering some part twice along the same edges), one bent so far
    // that seen along its normal it overlaps itself, and one beyond the
    // complexity bound are Unsplittable.
    PolygonShape split(std::span<const XYZ> polygon, PolygonPieces& out, const SplitRules& rules = {});

    // The face touched or crossed itself and was cut there.
    bool crossesItself() const { return crosses_; }
    // Some piece was cut further to keep within rules.offPlane.
    bool farFromFlat() const { return cutForFlatness_; }
    // The points of positions polygon.size() and up.
    std::span<const AddedPoint> addedPoints() const { return added_; }
    // The point of a position: the face's own, or an added one.
    XYZ pointAt(std::span<const XYZ> polygon, std::uint32_t position) const {
        return position < polygon.size() ? polygon[position] : added_[position - polygon.size()].point;
    }
    // How far from a line a point may lie and still count as on it.
    double tolerance() const { return tol_; }
    // After Degenerate or Unsplittable: why, as the end of leftOutWarning's sentence.
    std::string_view leftOutReason() const { return reason_; }

private:
    using Loop = std::vector<std::uint32_t>;
    enum class Contacts { None, Cut, NoArea, TooComplex, Retraced };

    PolygonShape leaveOut(PolygonShape shape, const char* reason);
    bool fastPath(std::span<const XYZ> polygon);
    void project(std::span<const XYZ> polygon);
    void clean(std::span<const std::uint32_t> outline, Loop& out) const;
    bool near(std::uint32_t a, std::uint32_t b) const;
    bool isSpike(std::uint32_t a, std::uint32_t b, std::uint32_t c) const;
    // +1 left, -1 right, 0 when b lies on the line from a to c up to the tolerance.
    int turn(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
        const FlatPoint p = flat_[a], q = flat_[b], r = flat_[c];
        const double c2 = (q.x - p.x) * (r.y - p.y) - (q.y - p.y) * (r.x - p.x), dx = r.x - p.x, dy = r.y - p.y;
        if (c2 * c2 <= tol_ * tol_ * (dx * dx + dy * dy)) return 0;
        return c2 > 0 ? 1 : -1;
    }
    bool onSegment(std::uint32_t a, std::uint32_t b, std::uint32_t c, double* t) const;
    double signedArea2(std::span<const std::uint32_t> part) const;
    double extentOf(std::span<const std::uint32_t> part) const;
    bool hasArea(std::span<const std::uint32_t> part) const;
    int reflexCount(std::span<const std::uint32_t> part, std::size_t* first) const;
    int windingAt(FlatPoint m) const;

    // Finding and cutting at contacts.
    bool touchesOrCrosses(std::size_t e, std::size_t f) const;
    bool outlineIsSimple();
    Contacts cutAtContacts(std::span<const XYZ> polygon);
    std::uint32_t root(std::uint32_t node);
    bool walkIntoLoops(std::vector<std::pair<std::uint32_t, std::uint32_t>>& edges, std::vector<Loop>& loops);
    void choosePositions(PolygonPieces& pieces);
    bool passesAPointTwice(std::span<const std::uint32_t> loop) const;

    // Covering a region given by loops that have it on their left.
    bool cover(const std::vector<Loop>& loops, bool facesBack, PolygonPieces& out);
    bool coverSimpleLoop(const Loop& loop, PolygonPieces& pieces);
    bool triangulate(const std::vector<Loop>& loops);
    bool sweepAbove(std::uint32_t a, std::uint32_t b) const;
    void triangulateMonotone(std::span<const std::uint32_t> face);
    void mergeTriangles(PolygonPieces& out, bool inSpace);
    bool convexInSpace(std::span<const std::uint32_t> piece) const;
    bool spanBentFace(std::span<const XYZ> polygon, PolygonPieces& out);
    bool accepted(std::span<const std::uint32_t> piece);
    void cutUntilAccepted(std::span<const std::uint32_t> piece, PolygonPieces& out);

    // The exact search over one small simple loop.
    bool exactSplit(std::span<const std::uint32_t> part, PolygonPieces& out);
    int exactCount(std::uint32_t mask);
    void emitExact(std::uint32_t mask, PolygonPieces& out);
    std::size_t cornersOf(std::uint32_t mask, std::uint32_t* corners, std::uint8_t* at) const;
    bool isDiagonal(std::span<const std::uint32_t> part, std::size_t a, std::size_t b) const;
    bool inCone(std::span<const std::uint32_t> part, std::size_t a, std::size_t b) const;
    bool isSimple(std::span<const std::uint32_t> part) const;

    std::span<const XYZ> polygon_;
    SplitRules rules_;
    std::vector<FlatPoint> flat_;  // the points in the working plane, added ones last
    std::vector<AddedPoint> added_;
    Loop whole_, outline_, scratch_;
    mutable Loop scratchLoop_;
    std::vector<Loop> front_, back_;  // loops round the parts that face the outline's way and the other way
    std::vector<std::uint32_t> parent_;  // contacts: points that are one

    // The sweeps: per vertex of the loops its point and its neighbours.
    struct SweepVertex {
        std::uint32_t node, prev, next;
    };
    std::vector<SweepVertex> sweep_;
    std::vector<FlatPoint> sweepPoint_;
    std::vector<std::uint32_t> order_, helper_, triangles_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> diagonals_;
    std::vector<std::pair<std::uint32_t, bool>> chain_, stack_;  // vertex, on the left chain
    // Merging: per triangle its piece (a union of triangles), at most 16 vertices each.
    std::vector<std::uint32_t> pieceOf_, pieceVertices_;
    std::vector<std::uint8_t> pieceSize_;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> edgeOwners_;

    // The exact search: the loop's positions, per subset of them the fewest
    // pieces and the chosen diagonal (ends packed as 16 * a + b; 255: none),
    // and which diagonals of the loop are known good (1) or bad (2).
    std::vector<std::uint32_t> exactPart_;
    std::vector<std::uint8_t> exactCount_, exactChoice_, diagonalState_;
    PolygonPieces scratchPieces_, regionPieces_, mergeScratch_;

    XYZ normal_{};  // of the working plane
    double tol_ = 0;
    const char* reason_ = "";
    bool crosses_ = false, cutForFlatness_ = false, retraced_ = false;
};

}  // namespace morv
