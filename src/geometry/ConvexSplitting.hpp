// Cutting one face into convex, flat pieces of at most 16 vertices, as brush
// polygons must be, for every writer that needs such pieces. Decisions are
// taken in two dimensions, on the face projected onto its own plane (along its
// Newell normal), so that they do not depend on how the face is turned in
// space; the pieces are lists of positions in the face handed in (and of
// points added where its outline crosses itself), each keeping the face's
// order, so that each piece faces like its part of the face.
//
// Splitting takes O(n log n) in the face's n points, in phases, each a module
// of its own: FlatFace (the face on its plane and its tolerance), Contacts (a
// sweep finds whether the outline touches or crosses itself, and cuts it
// there into simple loops), Triangulation (a second sweep cuts the covered
// region into monotone parts, and those into triangles), PieceMerging
// (triangles merged again into convex pieces as far as the rules allow) and
// ExactSplit (faces of up to exactLimit points searched for the fewest
// pieces). This module drives them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "geometry/Contacts.hpp"
#include "geometry/ExactSplit.hpp"
#include "geometry/FlatFace.hpp"
#include "geometry/PieceMerging.hpp"
#include "geometry/Triangulation.hpp"

namespace morv {

// Convex: the face is one convex region, cut only for size or the rules.
// Concave: it needed diagonals. Degenerate: it has no area up to rounding.
// Unsplittable: left out for another reason, which leftOutReason() gives.
enum class PolygonShape { Convex, Concave, Degenerate, Unsplittable };

// The warning for a face that ends with no piece written, naming it by its
// number and surface: "Warning: face N (surface S) " + reason + "; it is left out\n".
std::string leftOutWarning(std::size_t face, std::string_view surface, std::string_view reason);

// Every phase's scratch, kept from face to face so that splitting many faces
// allocates little.
struct SplitWorkspace {
    FlatFace face;
    ContactCut contacts;
    Triangulation triangulation;
    SweepWorkspace sweep;
    MergeWorkspace merge;
    ExactWorkspace exact;
    Loop whole, outline, reversed;
    std::vector<std::uint32_t> events;
    PolygonPieces region, kept;
};

// Splits faces; keeps its workspace from face to face.
class ConvexSplitter {
public:
    // Faces of up to this many points, whose outline is simple, are cut into
    // the fewest pieces that diagonals between their points allow.
    static constexpr std::size_t exactLimit = morv::exactLimit;

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
    // Some piece was cut further to keep within rules.offPlane, or the face
    // was bent so far that it was spanned by triangles between its points.
    bool farFromFlat() const { return cutForFlatness_; }
    // The points of positions polygon.size() and up.
    std::span<const AddedPoint> addedPoints() const { return work_.face.added; }
    // The point of a position: the face's own, or an added one.
    XYZ pointAt(std::span<const XYZ> polygon, std::uint32_t position) const {
        return position < polygon.size() ? polygon[position] : work_.face.added[position - polygon.size()].point;
    }
    // How far from a line a point may lie and still count as on it.
    double tolerance() const { return work_.face.tol; }
    // After Degenerate or Unsplittable: why, as the end of leftOutWarning's sentence.
    std::string_view leftOutReason() const { return reason_; }

private:
    PolygonShape leaveOut(PolygonShape shape, const char* reason);
    bool fastPath(std::span<const XYZ> polygon);
    PolygonShape splitOutline(PieceCheck& check, PolygonPieces& out);
    bool cover(const std::vector<Loop>& loops, bool facesBack, PieceCheck& check, PolygonPieces& out);
    bool coverSimpleLoop(const Loop& loop, PieceCheck& check, PolygonPieces& pieces);
    bool passesAPointTwice(std::span<const std::uint32_t> loop);
    bool coversLoops(const std::vector<Loop>& loops, const PolygonPieces& pieces) const;

    SplitWorkspace work_;
    const char* reason_ = "";
    bool crosses_ = false, cutForFlatness_ = false, bentCut_ = false;
};

}  // namespace morv
