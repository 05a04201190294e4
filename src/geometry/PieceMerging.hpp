// Merging triangles into convex pieces of at most 16 vertices, and the rules
// a piece must keep: flat within a bound, and a writer's own condition.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "geometry/FlatFace.hpp"
#include "geometry/Triangulation.hpp"

namespace morv {

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

// Whether a piece keeps the rules; remembers whether one was refused for flatness.
class PieceCheck {
public:
    PieceCheck(const FlatFace& face, const SplitRules& rules) : face_(face), rules_(rules) {}

    bool accepted(std::span<const std::uint32_t> piece);
    // Some piece was refused for lying off its plane.
    bool cutForFlatness() const { return cutForFlatness_; }

private:
    const FlatFace& face_;
    const SplitRules& rules_;
    bool cutForFlatness_ = false;
};

// Merging's scratch, kept by the caller from face to face.
struct MergeWorkspace {
    std::vector<std::uint32_t> pieceOf, pieceVertices;  // per triangle its piece (a union of triangles)
    std::vector<std::uint8_t> pieceSize;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> edgeOwners;
    PolygonPieces shortFirst, longFirst;
};

// The triangles merged across their shared edges into convex pieces, appended
// to out (positions of the face). inSpace: convexity judged in space about
// each piece's own normal (a bent face's triangles) rather than on the plane.
void mergeTriangles(const FlatFace& face, const Triangulation& tri, bool inSpace, PieceCheck& check,
                    MergeWorkspace& work, PolygonPieces& out);

// A convex piece cut along its diagonals until every part is accepted.
void cutUntilAccepted(const FlatFace& face, std::span<const std::uint32_t> piece, PieceCheck& check,
                      PolygonPieces& out);

}  // namespace morv
