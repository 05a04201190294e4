#include "geometry/ConvexSplitting.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"

namespace morv {
namespace {

// Off its plane by more than this share of its size, a face is bent: where
// its outline, seen along its normal, touches or crosses itself, that comes
// from the bending, not from a shape that could be cut at its contacts.
constexpr double bentFace = 1e-3;

// A loop of up to this many points with up to this many reflex corners is cut
// along diagonals that remove them one by one (fewer pieces than the sweep
// gives), each diagonal tested against every edge.
constexpr std::size_t mostReflexSplitPoints = 256;
constexpr int mostReflexSplitCorners = 8;

const char* const noAreaReason = "has no area (its points lie on one line, up to rounding)";
const char* const tooComplexReason =
    "is too complex to cut into convex pieces (it touches or crosses itself too often)";
const char* const retracedReason = "runs along part of its outline twice the same way, covering that part twice";
const char* const bentOverReason = "is bent so far that, seen along its normal, it overlaps itself";
const char* const notCutReason = "could not be cut into convex pieces";

// Whether the points lie further from the working plane than bentFace of the face's size.
bool isBent(std::span<const XYZ> polygon, XYZ normal) {
    double lowest = 0, highest = 0, extent2 = 0;
    for (const XYZ& p : polygon) {
        const XYZ d = p - polygon[0];
        const double h = dot(d, normal);
        lowest = std::min(lowest, h);
        highest = std::max(highest, h);
        extent2 = std::max(extent2, dot(d, d));
    }
    return highest - lowest > bentFace * std::sqrt(extent2);
}

}  // namespace

std::string leftOutWarning(std::size_t face, std::string_view surface, std::string_view reason) {
    std::string line = "Warning: face ";
    appendInt(line, static_cast<std::int64_t>(face));
    line += " (surface ";
    line += surface;
    line += ") ";
    line += reason;
    line += "; it is left out\n";
    return line;
}

PolygonShape ConvexSplitter::leaveOut(PolygonShape shape, const char* reason) {
    reason_ = reason;
    return shape;
}

PolygonShape ConvexSplitter::split(std::span<const XYZ> polygon, PolygonPieces& out, const SplitRules& rules) {
    out.clear();
    FlatFace& face = work_.face;
    face.added.clear();
    face.polygon = polygon;
    work_.contacts.front.clear();
    work_.contacts.back.clear();
    crosses_ = cutForFlatness_ = bentCut_ = false;
    reason_ = "";
    const std::size_t n = polygon.size();
    if (n < 3) throw Error("Polygons must have at least 3 vertices!\n");
    work_.whole.resize(n);
    std::iota(work_.whole.begin(), work_.whole.end(), 0u);
    PieceCheck check(face, rules);
    PolygonShape shape = PolygonShape::Convex;
    // Most faces of real objects: convex, flat and small.
    if (n <= maxPieceVertices && fastPath(polygon) && check.accepted(work_.whole))
        out.add(work_.whole);
    else
        shape = splitOutline(check, out);
    cutForFlatness_ = bentCut_ || check.cutForFlatness();
    return shape;
}

// The face's outline on its plane, cut at its contacts if it has any, and
// each part it bounds covered by pieces.
PolygonShape ConvexSplitter::splitOutline(PieceCheck& check, PolygonPieces& out) {
    FlatFace& face = work_.face;
    face.project(face.polygon);
    Loop& outline = work_.outline;
    face.clean(work_.whole, outline);
    if (outline.empty() || !face.hasArea(outline)) return leaveOut(PolygonShape::Degenerate, noAreaReason);
    // The working plane is turned so that the outline runs counter-clockwise.
    if (face.signedArea2(outline) < 0)
        for (FlatPoint& p : face.flat) p.y = -p.y;
    const bool bent = isBent(face.polygon, face.normal);
    ContactCut& contacts = work_.contacts;
    PolygonShape shape = PolygonShape::Concave;
    if (outlineIsSimple(face, outline, work_.events)) {
        if (face.reflexCount(outline, nullptr) == 0) shape = PolygonShape::Convex;
        contacts.front.push_back(outline);
    } else {
        if (bent) {
            if (!spanBentFace(face, work_.triangulation)) return leaveOut(PolygonShape::Unsplittable, bentOverReason);
            mergeTriangles(face, work_.triangulation, true, check, work_.merge, out);
            bentCut_ = true;  // cut because it is far from flat, whatever the rules
            return PolygonShape::Concave;
        }
        crosses_ = true;
        switch (cutAtContacts(face, outline, contacts)) {
            case ContactResult::NoArea:
                return leaveOut(PolygonShape::Degenerate, noAreaReason);
            case ContactResult::TooComplex:
                return leaveOut(PolygonShape::Unsplittable, tooComplexReason);
            case ContactResult::Retraced:
                return leaveOut(PolygonShape::Unsplittable, retracedReason);
            default:
                break;
        }
    }
    if (!cover(contacts.front, false, check, out) || !cover(contacts.back, true, check, out)) {
        out.clear();
        return leaveOut(PolygonShape::Unsplittable, notCutReason);
    }
    if (crosses_) choosePositions(face, outline, contacts, out);
    // Pieces no wider than the tolerance (points along one edge, slivers
    // between contacts) cover nothing.
    PolygonPieces& kept = work_.kept;
    kept.clear();
    for (std::size_t k = 0; k < out.count(); ++k)
        if (face.hasArea(out.piece(k))) kept.add(out.piece(k));
    std::swap(out, kept);
    if (out.count() == 0) return leaveOut(PolygonShape::Degenerate, noAreaReason);
    return shape;
}

// Strictly convex around its Newell normal, turning once: seen along that
// normal it is one convex piece.
bool ConvexSplitter::fastPath(std::span<const XYZ> polygon) {
    const std::size_t n = polygon.size();
    const XYZ normal = newellOf(n, [&](std::size_t i) { return polygon[i]; });
    const double l = length(normal);
    if (!(l > 0) || !std::isfinite(l)) return false;
    const XYZ unit = (1 / l) * normal;
    double magnitude = 0;
    for (const XYZ& p : polygon) magnitude = std::max({magnitude, std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)});
    const double tol = work_.face.tol = toleranceFor(magnitude);
    double turning = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const XYZ& a = polygon[i == 0 ? n - 1 : i - 1];
        const XYZ& b = polygon[i];
        const XYZ& c = polygon[i + 1 == n ? 0 : i + 1];
        const XYZ ab = b - a, bc = c - b;
        const double turned = dot(cross(ab, bc), unit);
        if (!(turned > tol * length(c - a))) return false;
        if (n > 4) turning += std::atan2(turned, dot(ab, bc));
    }
    // From five corners on, turning left all the way may still go round twice.
    return n <= 4 || turning < 3 * std::numbers::pi;
}

bool ConvexSplitter::passesAPointTwice(std::span<const std::uint32_t> loop) {
    if (!crosses_) return false;
    Loop& sorted = work_.reversed;
    sorted.assign(loop.begin(), loop.end());
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
}

// Pieces for the region that the loops (all with it on their left) bound,
// appended to out; when facesBack, each piece runs the other way. A single
// simple loop that the faster paths do not cover is cut by clipping ears.
bool ConvexSplitter::cover(const std::vector<Loop>& loops, bool facesBack, PieceCheck& check, PolygonPieces& out) {
    if (loops.empty()) return true;
    const FlatFace& face = work_.face;
    PolygonPieces& pieces = work_.region;
    pieces.clear();
    const bool simple = loops.size() == 1 && !passesAPointTwice(loops[0]);
    bool covered = false;
    if (simple) {
        covered = coverSimpleLoop(loops[0], check, pieces);
    } else if (triangulate(face, loops, crosses_, work_.triangulation, work_.sweep)) {
        mergeTriangles(face, work_.triangulation, false, check, work_.merge, pieces);
        covered = true;
    }
    if (!covered || !coversLoops(loops, pieces)) {
        if (!simple) return false;
        pieces.clear();
        if (!clipEars(face, loops[0], work_.triangulation)) return false;
        mergeTriangles(face, work_.triangulation, false, check, work_.merge, pieces);
        if (!coversLoops(loops, pieces)) return false;
    }
    for (std::size_t k = 0; k < pieces.count(); ++k) {
        const auto piece = pieces.piece(k);
        if (!facesBack) {
            out.add(piece);
            continue;
        }
        work_.reversed.assign(piece.rbegin(), piece.rend());
        out.add(work_.reversed);
    }
    return true;
}

// The pieces cover what the loops bound, up to the area the tolerance allows
// along the loops: a sweep misled by points that the rounding puts just so is
// caught here rather than written.
bool ConvexSplitter::coversLoops(const std::vector<Loop>& loops, const PolygonPieces& pieces) const {
    const FlatFace& face = work_.face;
    double bounded = 0, covered = 0, perimeter = 0;
    for (const Loop& loop : loops) {
        bounded += face.signedArea2(loop);
        for (std::size_t i = 0; i < loop.size(); ++i) {
            const FlatPoint p = face.flat[loop[i]], q = face.flat[loop[(i + 1) % loop.size()]];
            perimeter += std::hypot(q.x - p.x, q.y - p.y);
        }
    }
    for (std::size_t k = 0; k < pieces.count(); ++k) covered += face.signedArea2(pieces.piece(k));
    return std::fabs(covered - bounded) <= 2 * areaAllowance(face.tol, perimeter) + 1e-9 * std::fabs(bounded);
}

// A simple loop (counter-clockwise): convex, it is cut into runs of 16;
// small, its fewest pieces are searched; of moderate size with few reflex
// corners, it is cut along the shortest diagonal that leaves its first reflex
// corner convex on both sides, and each side is covered again; else the sweep.
bool ConvexSplitter::coverSimpleLoop(const Loop& loop, PieceCheck& check, PolygonPieces& pieces) {
    const FlatFace& face = work_.face;
    std::size_t first = 0;
    const int reflex = face.reflexCount(loop, &first);
    const std::size_t n = loop.size();
    if (reflex == 0) {
        PolygonPieces runs;
        takeNVertices(loop, runs);
        for (std::size_t k = 0; k < runs.count(); ++k) cutUntilAccepted(face, runs.piece(k), check, pieces);
        return true;
    }
    if (n <= exactLimit && exactSplit(face, loop, check, work_.exact, pieces)) return true;
    if (n > exactLimit && n <= mostReflexSplitPoints && reflex <= mostReflexSplitCorners) {
        const std::size_t i = first, before = (i + n - 1) % n, after = (i + 1) % n;
        std::vector<std::pair<double, std::size_t>> candidates;
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i || j == before || j == after || face.turn(loop[j], loop[i], loop[after]) < 0 ||
                face.turn(loop[before], loop[i], loop[j]) < 0)
                continue;
            const FlatPoint p = face.flat[loop[i]], q = face.flat[loop[j]];
            candidates.push_back({(q.x - p.x) * (q.x - p.x) + (q.y - p.y) * (q.y - p.y), j});
        }
        std::sort(candidates.begin(), candidates.end());
        for (const auto& [length2, j] : candidates) {
            if (!isDiagonal(face, loop, i, j)) continue;
            const std::size_t a = std::min(i, j), b = std::max(i, j);
            Loop one(loop.begin() + static_cast<std::ptrdiff_t>(a), loop.begin() + static_cast<std::ptrdiff_t>(b) + 1);
            Loop other(loop.begin() + static_cast<std::ptrdiff_t>(b), loop.end());
            other.insert(other.end(), loop.begin(), loop.begin() + static_cast<std::ptrdiff_t>(a) + 1);
            return coverSimpleLoop(one, check, pieces) && coverSimpleLoop(other, check, pieces);
        }
    }
    const std::vector<Loop> alone{loop};
    if (!triangulate(face, alone, crosses_, work_.triangulation, work_.sweep)) return false;
    mergeTriangles(face, work_.triangulation, false, check, work_.merge, pieces);
    return true;
}

}  // namespace morv
