#include "exporters/ConvexSplitting.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

#include "base/Excn.hpp"
#include "scene/Vector.hpp"

namespace morv {
namespace {

// Single-precision coordinates are off by up to half a unit in the last of
// their 24 bits; a few of those, plus the six-decimal step of brush text,
// is how far a point may be from a line and still lie on it.
constexpr double floatRounding = 0x1p-20;
constexpr double textStep = 1e-6;

// Off its plane by more than this share of its size, a face is not flat.
constexpr double flatFace = 1e-3;

// Crossings beyond this many per point, or this many pairs of edges tried,
// mark an outline that no real object holds; it is left out.
constexpr std::size_t crossingsPerPoint = 8;
constexpr std::size_t pairTestsPerPoint = 4096;

constexpr std::uint8_t unknown = 0, impossible = 255;
// Parts of larger faces are searched exhaustively only this small: beyond it
// the search costs more time than its pieces save.
constexpr std::size_t partExactLimit = 6;

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

// Twice the signed area of the triangle o, a, b of the working plane.
template <class P>
double twiceArea(P o, P a, P b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

int sign(double v) { return v > 0 ? 1 : (v < 0 ? -1 : 0); }


// Both segments cross at a point inside each of them; touching is no crossing.
bool properlyCross(FlatPoint p1, FlatPoint p2, FlatPoint q1, FlatPoint q2) {
    const int d1 = sign(twiceArea(q1, q2, p1)), d2 = sign(twiceArea(q1, q2, p2));
    const int d3 = sign(twiceArea(p1, p2, q1)), d4 = sign(twiceArea(p1, p2, q2));
    return d1 * d2 < 0 && d3 * d4 < 0;
}

// Whether the points of a polygon lie within flatFace of its size from one
// plane. The plane's normal sums the fan's triangles turned to one side, so
// that an outline crossing itself (whose own normal may vanish) is judged too.
template <class PointOf>
bool isFlat(std::size_t n, PointOf point) {
    const XYZ o = point(0);
    XYZ normal{}, largest{};
    double extent2 = 0, largestLength = -1;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const XYZ t = cross(point(i) - o, point(i + 1) - o);
        if (dot(t, t) > largestLength) largestLength = dot(t, t), largest = t;
    }
    for (std::size_t i = 1; i < n; ++i) {
        const XYZ d = (point(i) - o);
        extent2 = std::max(extent2, dot(d, d));
        if (i + 1 < n) {
            const XYZ t = cross(d, point(i + 1) - o);
            const double s = dot(t, largest) < 0 ? -1 : 1;
            normal = normal + s * t;
        }
    }
    // Narrower than flatFace of its length, no point can be further off a plane.
    const double length = morv::length(normal);
    if (!(length > flatFace * extent2)) return true;
    double lowest = 0, highest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double h = dot(normal, point(i) - o) / length;
        lowest = std::min(lowest, h);
        highest = std::max(highest, h);
    }
    return highest - lowest <= flatFace * std::sqrt(extent2);
}

// Winding number of a closed outline around m.
int windingAround(std::span<const FlatPoint> flat, std::span<const std::uint32_t> loop, FlatPoint m) {
    int winding = 0;
    for (std::size_t k = 0; k < loop.size(); ++k) {
        const FlatPoint p = flat[loop[k]], q = flat[loop[(k + 1) % loop.size()]];
        if (p.y <= m.y) {
            if (q.y > m.y && twiceArea(p, q, m) > 0) ++winding;
        } else if (q.y <= m.y && twiceArea(p, q, m) < 0) {
            --winding;
        }
    }
    return winding;
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
            sum += std::fabs(twiceArea(p, flatten(polygon[i], plane), flatten(polygon[i + 1], plane)));
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

XYZ ConvexSplitter::pointAt(std::span<const XYZ> polygon, std::uint32_t position) const {
    return position < polygon.size() ? polygon[position] : added_[position - polygon.size()].point;
}

bool ConvexSplitter::near(std::uint32_t a, std::uint32_t b) const {
    const double dx = flat_[b].x - flat_[a].x, dy = flat_[b].y - flat_[a].y;
    return dx * dx + dy * dy <= tol_ * tol_;
}

// a -> b -> c goes out and comes back along one line: b is the tip of a needle.
bool ConvexSplitter::isSpike(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
    const FlatPoint p = flat_[a], q = flat_[b], r = flat_[c];
    const double ax = q.x - p.x, ay = q.y - p.y, bx = r.x - q.x, by = r.y - q.y;
    if (ax * bx + ay * by >= 0) return false;
    const double turned = ax * by - ay * bx;
    return turned * turned <= 4 * tol_ * tol_ * std::max(ax * ax + ay * ay, bx * bx + by * by);
}

double ConvexSplitter::signedArea2(std::span<const std::uint32_t> part) const {
    double area2 = 0;
    const FlatPoint o = flat_[part[0]];
    for (std::size_t i = 1; i + 1 < part.size(); ++i) area2 += twiceArea(o, flat_[part[i]], flat_[part[i + 1]]);
    return area2;
}

double ConvexSplitter::extentOf(std::span<const std::uint32_t> part) const {
    double extent2 = 0;
    const FlatPoint o = flat_[part[0]];
    for (std::uint32_t i : part) {
        const double dx = flat_[i].x - o.x, dy = flat_[i].y - o.y;
        extent2 = std::max(extent2, dx * dx + dy * dy);
    }
    return std::sqrt(extent2);
}

int ConvexSplitter::reflexCount(std::span<const std::uint32_t> part, int orientation, std::size_t* first) const {
    const std::size_t n = part.size();
    int count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (turn(part[(i + n - 1) % n], part[i], part[(i + 1) % n]) != -orientation) continue;
        if (count++ == 0 && first) *first = i;
    }
    return count;
}

// Drops points that repeat the one before up to the tolerance and the tips of
// needles, also where the outline closes; the rest keep their order.
void ConvexSplitter::clean(std::span<const std::uint32_t> outline, std::vector<std::uint32_t>& out) const {
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

PolygonShape ConvexSplitter::split(std::span<const XYZ> polygon, PolygonPieces& out) {
    out.clear();
    added_.clear();
    loops_.clear();
    crosses_ = farFromFlat_ = false;
    if (polygon.size() < 3) throw Error("Polygons must have at least 3 vertices!\n");
    const std::size_t n = polygon.size();
    const int plane = workingPlane(polygon);
    double magnitude = 0;
    flat_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        flat_[i] = flatten(polygon[i], plane);
        magnitude = std::max({magnitude, std::fabs(polygon[i].x), std::fabs(polygon[i].y), std::fabs(polygon[i].z)});
    }
    tol_ = floatRounding * magnitude + textStep;
    whole_.resize(n);
    std::iota(whole_.begin(), whole_.end(), 0u);
    // Seen from its side, a bent face's points may line up or cross where the
    // face does not: it keeps all its points, and cut where its shadow is not
    // simple, it is cut into a fan of its own points.
    farFromFlat_ = !isFlat(n, [&](std::size_t i) { return polygon[i]; });
    if (farFromFlat_) {
        outline_ = whole_;
        if (cutAtCrossings(polygon) != 0 || !fixConvex(outline_, out)) {
            crosses_ = !added_.empty();
            added_.clear();
            out.clear();
            for (std::size_t i = 1; i + 1 < n; ++i) out.add(0, std::span<const std::uint32_t>(&whole_[i], 2));
        }
        cutIntoFlatPieces(polygon, out);
        return PolygonShape::Concave;
    }
    clean(whole_, outline_);
    if (outline_.empty()) return PolygonShape::Degenerate;
    // No area up to the tolerance: every fan triangle is thinner than it.
    double fan = 0;
    for (std::size_t i = 1; i + 1 < outline_.size(); ++i)
        fan += std::fabs(twiceArea(flat_[outline_[0]], flat_[outline_[i]], flat_[outline_[i + 1]]));
    if (!(fan > tol_ * extentOf(outline_))) return PolygonShape::Degenerate;

    const int crossings = cutAtCrossings(polygon);
    if (crossings < 0) return PolygonShape::Unsplittable;
    if (crossings > 0) {
        crosses_ = true;
        if (!keepOuterLoops()) return PolygonShape::Unsplittable;
    }
    PolygonShape shape = PolygonShape::Concave;
    if (!crosses_) {
        if (reflexCount(outline_, sign(signedArea2(outline_)), nullptr) == 0) shape = PolygonShape::Convex;
        // An outline that only touches itself is split as it runs; that is
        // sound where it goes round a hole or past itself, but where it winds
        // round some region twice its pieces would cover that region twice.
        if (!fixConvex(outline_, out) || (passesAPointTwice(outline_) && piecesOverlap(out))) {
            out.clear();
            return PolygonShape::Unsplittable;
        }
    }
    for (const auto& loop : loops_) {
        if (!fixConvex(loop, out)) {
            out.clear();
            return PolygonShape::Unsplittable;
        }
    }
    // Pieces no wider than the tolerance (points along one edge, slivers
    // between crossings) cover nothing.
    PolygonPieces& kept = scratchPieces_;
    kept.clear();
    for (std::size_t k = 0; k < out.count(); ++k)
        if (std::fabs(signedArea2(out.piece(k))) > tol_ * extentOf(out.piece(k))) kept.add(out.piece(k));
    std::swap(out, kept);
    if (out.count() == 0) return PolygonShape::Degenerate;
    return shape;
}

// Finds where edges of outline_ cross and cuts the outline there into loops_
// (0: no crossing; -1: too many). At each crossing the two passes swap their
// continuations, which keeps the direction of travel, so the loops touch but
// never cross and each runs the way its part of the outline does.
int ConvexSplitter::cutAtCrossings(std::span<const XYZ> polygon) {
    const std::size_t k = outline_.size();
    // Edges by their left end; an edge meets only those that start before its right end.
    std::vector<std::uint32_t>& byLeft = part_;
    std::vector<std::pair<double, std::uint32_t>>& lefts = lefts_;
    lefts.resize(k);
    for (std::uint32_t e = 0; e < k; ++e) lefts[e] = {std::min(flat_[outline_[e]].x, flat_[outline_[(e + 1) % k]].x), e};
    std::sort(lefts.begin(), lefts.end());
    byLeft.resize(k);
    for (std::size_t i = 0; i < k; ++i) byLeft[i] = lefts[i].second;
    const auto lo = [&](std::size_t i) { return lefts[i].first; };
    const auto hi = [&](std::uint32_t e) { return std::max(flat_[outline_[e]].x, flat_[outline_[(e + 1) % k]].x); };
    struct OnEdge {
        std::uint32_t edge;
        double t;
        std::uint32_t id;
    };
    std::vector<OnEdge> onEdges;
    std::size_t tests = 0;
    bool touches = false;
    // Point c lies on the segment a-b up to the tolerance.
    const auto touchesAt = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c) {
        const FlatPoint p = flat_[a], q = flat_[b], r = flat_[c];
        const double dx = q.x - p.x, dy = q.y - p.y, along = (r.x - p.x) * dx + (r.y - p.y) * dy;
        const double off = (r.y - p.y) * dx - (r.x - p.x) * dy, length2 = dx * dx + dy * dy;
        return along >= 0 && along <= length2 && off * off <= tol_ * tol_ * length2;
    };
    const std::uint32_t n = static_cast<std::uint32_t>(polygon.size());
    for (std::size_t i = 0; i < k; ++i) {
        const std::uint32_t e = byLeft[i];
        const double right = hi(e);
        for (std::size_t j = i + 1; j < k && lo(j) <= right + tol_; ++j) {
            if (++tests > pairTestsPerPoint * k) return -1;
            const std::uint32_t f = byLeft[j];
            if ((e + 1) % k == f || (f + 1) % k == e) continue;
            const FlatPoint a = flat_[outline_[e]], b = flat_[outline_[(e + 1) % k]];
            const FlatPoint c = flat_[outline_[f]], d = flat_[outline_[(f + 1) % k]];
            if (std::min(c.y, d.y) > std::max(a.y, b.y) + tol_ || std::min(a.y, b.y) > std::max(c.y, d.y) + tol_) continue;
            if (!properlyCross(a, b, c, d)) {
                touches = touches || touchesAt(outline_[e], outline_[(e + 1) % k], outline_[f]) ||
                          touchesAt(outline_[e], outline_[(e + 1) % k], outline_[(f + 1) % k]) ||
                          touchesAt(outline_[f], outline_[(f + 1) % k], outline_[e]) ||
                          touchesAt(outline_[f], outline_[(f + 1) % k], outline_[(e + 1) % k]);
                continue;
            }
            if (added_.size() >= crossingsPerPoint * k) return -1;
            const double ca = twiceArea(c, d, a), cb = twiceArea(c, d, b), cc = twiceArea(a, b, c), cd = twiceArea(a, b, d);
            const double te = ca / (ca - cb), tf = cc / (cc - cd);
            const XYZ& p = polygon[outline_[e]];
            const XYZ& q = polygon[outline_[(e + 1) % k]];
            const auto id = static_cast<std::uint32_t>(n + added_.size());
            added_.push_back({outline_[e], outline_[(e + 1) % k], te,
                              {p.x + te * (q.x - p.x), p.y + te * (q.y - p.y), p.z + te * (q.z - p.z)}});
            flat_.push_back({a.x + te * (b.x - a.x), a.y + te * (b.y - a.y)});
            onEdges.push_back({e, te, id});
            onEdges.push_back({f, tf, id});
        }
    }
    if (added_.empty()) return 0;
    // Where it also meets itself at a point of its own, which way the outline
    // goes on there is not decided here.
    if (touches) return -1;
    std::sort(onEdges.begin(), onEdges.end(),
              [](const OnEdge& a, const OnEdge& b) { return a.edge != b.edge ? a.edge < b.edge : a.t < b.t; });
    // The walk along the outline with the crossings in it, and where each crossing is passed.
    std::vector<std::uint32_t> walk;
    std::vector<std::uint32_t> firstPass(added_.size(), UINT32_MAX), next;
    walk.reserve(k + onEdges.size());
    std::size_t c = 0;
    for (std::uint32_t e = 0; e < k; ++e) {
        walk.push_back(outline_[e]);
        for (; c < onEdges.size() && onEdges[c].edge == e; ++c) walk.push_back(onEdges[c].id);
    }
    next.resize(walk.size());
    for (std::size_t p = 0; p < walk.size(); ++p) next[p] = static_cast<std::uint32_t>((p + 1) % walk.size());
    for (std::size_t p = 0; p < walk.size(); ++p) {
        if (walk[p] < n) continue;
        std::uint32_t& first = firstPass[walk[p] - n];
        if (first == UINT32_MAX)
            first = static_cast<std::uint32_t>(p);
        else
            std::swap(next[first], next[p]);
    }
    std::vector<bool> done(walk.size(), false);
    for (std::size_t s = 0; s < walk.size(); ++s) {
        if (done[s]) continue;
        loops_.emplace_back();
        for (std::size_t p = s; !done[p]; p = next[p]) {
            done[p] = true;
            loops_.back().push_back(walk[p]);
        }
    }
    return 1;
}

// Keeps the loops that no other loop holds, cleaned. A loop inside another
// that runs the same way only covers again what that one covers; inside one
// that runs the other way it would be a hole, which these pieces cannot make.
bool ConvexSplitter::keepOuterLoops() {
    // A loop that passes a point twice (a crossing met by the other loop's
    // swap, or edges along one line) is two loops that touch there.
    std::vector<std::vector<std::uint32_t>> simple;
    for (const auto& loop : loops_) {
        if (loop.size() > 4096) return false;
        std::vector<std::uint32_t> walk;
        for (std::uint32_t p : loop) {
            std::size_t at = walk.size();
            for (std::size_t i = 0; i < walk.size() && at == walk.size(); ++i)
                if (near(walk[i], p)) at = i;
            if (at == walk.size()) {
                walk.push_back(p);
                continue;
            }
            simple.emplace_back(walk.begin() + static_cast<std::ptrdiff_t>(at), walk.end());
            walk.resize(at + 1);
        }
        simple.push_back(std::move(walk));
    }
    std::vector<std::vector<std::uint32_t>> kept;
    std::vector<int> orientation;
    for (auto& loop : simple) {
        clean(loop, cleaned_);
        if (cleaned_.empty()) continue;
        const double area2 = signedArea2(cleaned_);
        if (!(std::fabs(area2) > tol_ * extentOf(cleaned_))) continue;
        kept.push_back(cleaned_);
        orientation.push_back(sign(area2));
    }
    // Loops touch but do not cross, so the middles of a loop's edges are all
    // inside another loop or all outside it; a mix means edges along one line
    // made loops overlap, which these pieces cannot show.
    std::size_t points = 0;
    for (const auto& loop : kept) points += loop.size();
    if (kept.size() * points > std::size_t{1} << 24) return false;  // beyond any real face
    std::vector<bool> inner(kept.size(), false);
    for (std::size_t a = 0; a < kept.size(); ++a) {
        for (std::size_t b = 0; b < kept.size(); ++b) {
            if (a == b) continue;
            std::size_t inside = 0;
            for (std::size_t i = 0; i < kept[a].size(); ++i) {
                const FlatPoint p = flat_[kept[a][i]], q = flat_[kept[a][(i + 1) % kept[a].size()]];
                inside += windingAround(flat_, kept[b], {(p.x + q.x) / 2, (p.y + q.y) / 2}) != 0;
            }
            if (inside == 0) continue;
            if (inside != kept[a].size() || orientation[a] != orientation[b]) return false;
            inner[a] = true;
        }
    }
    loops_.clear();
    for (std::size_t a = 0; a < kept.size(); ++a)
        if (!inner[a]) loops_.push_back(std::move(kept[a]));
    return true;
}

bool ConvexSplitter::fixConvex(std::span<const std::uint32_t> polygon, PolygonPieces& out) {
    const int orientation = sign(signedArea2(polygon));
    if (orientation == 0) return false;

    // Parts still to split live in stack_[0 .. depth); their vectors are reused.
    // A part whose reflex corners had no diagonal for two of them passes that
    // on: its parts gain such pairs only at the new diagonal's ends.
    std::size_t depth = 0;
    const auto push = [&](auto first, auto last, bool pairs) -> void {
        if (depth == stack_.size()) stack_.emplace_back(), tryPairs_.push_back(true);
        stack_[depth].assign(first, last);
        tryPairs_[depth] = pairs;
        ++depth;
    };
    push(polygon.begin(), polygon.end(), true);
    std::vector<std::uint32_t>& part = part_;
    while (depth > 0) {
        part.swap(stack_[--depth]);
        bool pairs = tryPairs_[depth];
        if (part.size() < 3) throw Bug("FOUND BUG: Polygon has less than 2 vertices in function fixConvex!");
        reflex_.clear();
        const std::size_t n = part.size();
        for (std::size_t i = 0; i < n; ++i)
            if (turn(part[i == 0 ? n - 1 : i - 1], part[i], part[i + 1 == n ? 0 : i + 1]) == -orientation)
                reflex_.push_back(static_cast<std::uint32_t>(i));
        if (reflex_.empty()) {
            if (!isSimple(part)) return false;
            takeNVertices(part, out);
            continue;
        }
        if (n <= (polygon.size() <= exactLimit ? exactLimit : partExactLimit)) {
            if (!exactSplit(part, orientation, out)) return false;
            continue;
        }
        std::size_t a = 0, b = 0;
        if (!findDiagonal(part, orientation, pairs, a, b)) return false;
        // Both parts hold the diagonal's ends and keep the order: a..b and b..a (wrapping).
        push(part.begin() + static_cast<std::ptrdiff_t>(b), part.end(), pairs);
        stack_[depth - 1].insert(stack_[depth - 1].end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(a) + 1);
        push(part.begin() + static_cast<std::ptrdiff_t>(a), part.begin() + static_cast<std::ptrdiff_t>(b) + 1, pairs);
    }
    return true;
}

// Whether a part without reflex corners is a simple polygon: it may still
// wind round twice (from five corners on; it turns by 4 pi, not 2 pi), or
// pass one point twice.
bool ConvexSplitter::isSimple(std::span<const std::uint32_t> part) {
    const std::size_t n = part.size();
    if (n < 4) return true;
    double turning = 0;
    for (std::size_t i = 0; n >= 5 && i < n; ++i) {
        const FlatPoint p = flat_[part[i]], q = flat_[part[(i + 1) % n]], r = flat_[part[(i + 2) % n]];
        const double ax = q.x - p.x, ay = q.y - p.y, bx = r.x - q.x, by = r.y - q.y;
        turning += std::atan2(ax * by - ay * bx, ax * bx + ay * by);
    }
    if (std::fabs(turning) > 3 * std::numbers::pi) return false;
    return !passesAPointTwice(part);
}

bool ConvexSplitter::passesAPointTwice(std::span<const std::uint32_t> part) {
    auto& byX = lefts_;
    byX.clear();
    for (std::uint32_t i : part) byX.push_back({flat_[i].x, i});
    std::sort(byX.begin(), byX.end());
    for (std::size_t i = 0; i < byX.size(); ++i)
        for (std::size_t j = i + 1; j < byX.size() && byX[j].first - byX[i].first <= tol_; ++j)
            if (near(byX[i].second, byX[j].second)) return true;
    return false;
}

// Whether two convex pieces share more than an edge or a point: no edge of
// either has the other wholly on its outer side (up to the tolerance).
bool ConvexSplitter::piecesOverlap(const PolygonPieces& pieces) const {
    const auto separates = [&](std::span<const std::uint32_t> a, std::span<const std::uint32_t> b) {
        const int orientation = sign(signedArea2(a));
        for (std::size_t i = 0; i < a.size(); ++i) {
            const FlatPoint p = flat_[a[i]], q = flat_[a[(i + 1) % a.size()]];
            const double length = std::hypot(q.x - p.x, q.y - p.y);
            if (std::all_of(b.begin(), b.end(),
                            [&](std::uint32_t r) { return orientation * twiceArea(p, q, flat_[r]) <= tol_ * length; }))
                return true;
        }
        return false;
    };
    for (std::size_t a = 0; a < pieces.count(); ++a)
        for (std::size_t b = a + 1; b < pieces.count(); ++b)
            if (!separates(pieces.piece(a), pieces.piece(b)) && !separates(pieces.piece(b), pieces.piece(a)))
                return true;
    return false;
}

// The fewest convex pieces of a small part: a reflex corner of a part must be
// the end of some diagonal, so trying every diagonal from its first reflex
// corner, and the same for both sides, finds them. The sides are subsets of
// the part's corners, each looked at once.
bool ConvexSplitter::exactSplit(std::span<const std::uint32_t> part, int orientation, PolygonPieces& out) {
    const std::size_t m = part.size();
    exactPart_.assign(part.begin(), part.end());
    exactOrientation_ = orientation;
    exactCount_.assign(std::size_t{1} << m, unknown);
    exactChoice_.resize(std::size_t{1} << m);
    diagonalState_.assign(m * m, unknown);
    const std::uint32_t all = (std::uint32_t{1} << m) - 1;
    if (exactCount(all) == impossible) return false;
    emitExact(all, out);
    return true;
}

int ConvexSplitter::exactCount(std::uint32_t mask) {
    if (exactCount_[mask] != unknown) return exactCount_[mask];
    const std::size_t m = exactPart_.size();
    std::uint32_t sub[exactLimit];
    std::uint8_t at[exactLimit];  // position of each corner in exactPart_
    std::size_t count = 0;
    for (std::size_t i = 0; i < m; ++i)
        if (mask & (1u << i)) {
            sub[count] = exactPart_[i];
            at[count++] = static_cast<std::uint8_t>(i);
        }
    const std::span<const std::uint32_t> corners(sub, count);
    std::size_t r = 0;
    int best = impossible;
    std::int8_t choice = -1;
    if (reflexCount(corners, exactOrientation_, &r) == 0) {
        if (isSimple(corners)) best = 1;
    } else {
        for (std::size_t j = 0; j < count; ++j) {
            if (j == r || j == (r + 1) % count || j == (r + count - 1) % count) continue;
            const std::size_t a = std::min(at[r], at[j]), b = std::max(at[r], at[j]);
            std::uint8_t& state = diagonalState_[a * m + b];
            if (state == unknown) state = isDiagonal(exactPart_, exactOrientation_, a, b) ? 1 : 2;
            if (state != 1 || !inCone(corners, exactOrientation_, r, j) || !inCone(corners, exactOrientation_, j, r))
                continue;
            // The corners from a to b, and from b round to a.
            const std::uint32_t between = ((std::uint32_t{2} << b) - 1) & ~((std::uint32_t{1} << a) - 1);
            const std::uint32_t ends = (1u << a) | (1u << b);
            const int left = exactCount(mask & between);
            const int right = exactCount((mask & ~between) | ends);
            if (left + right < best) {
                best = left + right;
                choice = static_cast<std::int8_t>(at[j]);
            }
        }
    }
    exactCount_[mask] = static_cast<std::uint8_t>(best);
    exactChoice_[mask] = choice;
    return best;
}

void ConvexSplitter::emitExact(std::uint32_t mask, PolygonPieces& out) {
    const std::int8_t choice = exactChoice_[mask];
    if (choice < 0) {
        std::uint32_t sub[exactLimit];
        std::size_t count = 0;
        for (std::size_t i = 0; i < exactPart_.size(); ++i)
            if (mask & (1u << i)) sub[count++] = exactPart_[i];
        out.add(std::span<const std::uint32_t>(sub, count));
        return;
    }
    std::size_t r = 0;
    std::uint32_t sub[exactLimit];
    std::size_t count = 0;
    std::uint8_t at[exactLimit];
    for (std::size_t i = 0; i < exactPart_.size(); ++i)
        if (mask & (1u << i)) {
            sub[count] = exactPart_[i];
            at[count++] = static_cast<std::uint8_t>(i);
        }
    reflexCount(std::span<const std::uint32_t>(sub, count), exactOrientation_, &r);
    const std::size_t a = std::min<std::size_t>(at[r], static_cast<std::size_t>(choice));
    const std::size_t b = std::max<std::size_t>(at[r], static_cast<std::size_t>(choice));
    const std::uint32_t between = ((std::uint32_t{2} << b) - 1) & ~((std::uint32_t{1} << a) - 1);
    emitExact(mask & between, out);
    emitExact((mask & ~between) | (1u << a) | (1u << b), out);
}

// A diagonal for a large part, in this order of preference: one that leaves
// both its ends convex where both are reflex, the shortest first; one that
// leaves its reflex end convex, nearest first; any from a reflex corner.
bool ConvexSplitter::findDiagonal(std::span<const std::uint32_t> part, int orientation, bool& tryPairs,
                                  std::size_t& a, std::size_t& b) {
    const std::size_t n = part.size();
    const auto at = [&](std::size_t i) { return part[i < n ? i : i - n]; };  // i < 2n
    // Cut from i to j, both sides are convex at i.
    const auto resolves = [&](std::size_t i, std::size_t j) {
        return turn(at(j), at(i), at(i + 1)) != -orientation && turn(at(i + n - 1), at(i), at(j)) != -orientation;
    };
    const auto length2 = [&](std::size_t i, std::size_t j) {
        const double dx = flat_[at(j)].x - flat_[at(i)].x, dy = flat_[at(j)].y - flat_[at(i)].y;
        return dx * dx + dy * dy;
    };
    const auto adjacent = [&](std::size_t i, std::size_t j) {
        return i + 1 == j || j + 1 == i || (i == 0 && j == n - 1) || (j == 0 && i == n - 1);
    };
    const auto firstGood = [&]() {
        std::sort(candidates_.begin(), candidates_.end(),
                  [](const Candidate& x, const Candidate& y) { return x.length2 < y.length2; });
        for (const Candidate& c : candidates_) {
            if (isDiagonal(part, orientation, c.a, c.b)) {
                a = std::min(c.a, c.b);
                b = std::max(c.a, c.b);
                return true;
            }
        }
        return false;
    };
    constexpr std::size_t pairLimit = 64;  // beyond it, pairs cost more than they save
    if (tryPairs && reflex_.size() <= pairLimit) {
        candidates_.clear();
        for (std::size_t x = 0; x < reflex_.size(); ++x)
            for (std::size_t y = x + 1; y < reflex_.size(); ++y) {
                const std::uint32_t i = reflex_[x], j = reflex_[y];
                if (!adjacent(i, j) && resolves(i, j) && resolves(j, i)) candidates_.push_back({length2(i, j), i, j});
            }
        if (firstGood()) return true;
        tryPairs = false;
    }
    // A corner that no diagonal resolves mostly stays so: only the first few
    // are asked before any diagonal is taken.
    constexpr std::size_t resolveTries = 4;
    for (const bool mustResolve : {true, false}) {
        for (std::size_t x = 0; x < reflex_.size() && (!mustResolve || x < resolveTries); ++x) {
            const std::uint32_t i = reflex_[x];
            candidates_.clear();
            for (std::uint32_t j = 0; j < n; ++j)
                if (j != i && !adjacent(i, j) && (!mustResolve || resolves(i, j)))
                    candidates_.push_back({length2(i, j), i, j});
            if (firstGood()) return true;
        }
    }
    return false;
}

bool ConvexSplitter::isDiagonal(std::span<const std::uint32_t> part, int orientation, std::size_t a,
                                std::size_t b) const {
    const std::size_t n = part.size();
    const FlatPoint s = flat_[part[a]], e = flat_[part[b]];
    // A diagonal of zero length joins two copies of one point (a bridge to a hole).
    if (near(part[a], part[b])) return false;
    if (!inCone(part, orientation, a, b) || !inCone(part, orientation, b, a)) return false;
    const double dx = e.x - s.x, dy = e.y - s.y, length2 = dx * dx + dy * dy, length = std::sqrt(length2);
    for (std::size_t k = 0; k < n; ++k) {
        const FlatPoint p = flat_[part[k]];
        if (properlyCross(s, e, p, flat_[part[k + 1 == n ? 0 : k + 1]])) return false;
        // Through another vertex, up to the tolerance: the pieces would hide it in an edge.
        if (k == a || k == b) continue;
        const double wx = p.x - s.x, wy = p.y - s.y, along = dx * wx + dy * wy;
        if (along > 0 && along < length2 && std::fabs(dx * wy - dy * wx) <= tol_ * length) return false;
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
    const auto left = [&](FlatPoint u, FlatPoint v, FlatPoint w) { return orientation * twiceArea(u, v, w) > 0; };
    const auto leftOn = [&](FlatPoint u, FlatPoint v, FlatPoint w) { return orientation * twiceArea(u, v, w) >= 0; };
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

// Pieces of a face far from flat that are not flat themselves are cut along
// diagonals into runs from their first point, each as long as it stays flat.
void ConvexSplitter::cutIntoFlatPieces(std::span<const XYZ> polygon, PolygonPieces& pieces) {
    PolygonPieces& result = scratchPieces_;
    result.clear();
    for (std::size_t k = 0; k < pieces.count(); ++k) {
        const auto piece = pieces.piece(k);
        if (isFlat(piece.size(), [&](std::size_t i) { return pointAt(polygon, piece[i]); })) {
            result.add(piece);
            continue;
        }
        const auto flatRun = [&](std::size_t from, std::size_t to) {  // piece[0] and piece[from..to]
            return isFlat(to - from + 2, [&](std::size_t i) { return pointAt(polygon, piece[i == 0 ? 0 : from + i - 1]); });
        };
        std::size_t from = 1;
        while (from + 1 < piece.size()) {
            std::size_t to = from + 1;
            while (to + 1 < piece.size() && flatRun(from, to + 1)) ++to;
            result.add(piece[0], piece.subspan(from, to - from + 1));
            from = to;
        }
    }
    std::swap(pieces, result);
}

}  // namespace morv
