#include "exporters/ConvexSplitting.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <set>
#include <unordered_map>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "scene/Vector.hpp"

namespace morv {
namespace {

// Single-precision coordinates are off by up to half a unit in the last of
// their 24 bits; a few of those, plus the six-decimal step of brush text,
// is how far a point may be from a line and still lie on it.
constexpr double floatRounding = 0x1p-20;
constexpr double textStep = 1e-6;

// Off its plane by more than this share of its size, a face is bent: where
// its outline, seen along its normal, touches or crosses itself, that comes
// from the bending, not from a shape that could be cut at its contacts.
constexpr double bentFace = 1e-3;

// The complexity bound for outlines that touch or cross themselves: pairs of
// edges tested, and contacts found, per edge of the outline (plus a fixed
// allowance for the pairs). No face of a real object comes near it.
constexpr std::size_t pairTestsPerEdge = 4096, contactsPerEdge = 8;
constexpr std::size_t basePairTests = std::size_t{1} << 24;

constexpr std::uint8_t unknown = 0, impossible = 255, noChoice = 255;

// A loop of up to this many points with up to this many reflex corners is cut
// along diagonals that remove them one by one (fewer pieces than the sweep
// gives), each diagonal tested against every edge.
constexpr std::size_t mostReflexSplitPoints = 256;

// Up to this many points an outline is tested for contacts pair by pair.
constexpr std::size_t smallOutline = 48;
constexpr int mostReflexSplitCorners = 8;

// A face bent so far that it overlaps itself seen along its normal is spanned
// by an O(n^3) search; beyond this many points it is left out.
constexpr std::size_t mostBentPoints = 200;

const char* const noAreaReason = "has no area (its points lie on one line, up to rounding)";
const char* const tooComplexReason =
    "is too complex to cut into convex pieces (it touches or crosses itself too often)";
const char* const retracedReason = "runs along part of its outline twice the same way, covering that part twice";
const char* const bentOverReason = "is bent so far that, seen along its normal, it overlaps itself";
const char* const notCutReason = "could not be cut into convex pieces";

// Twice the signed area of the triangle o, a, b of the working plane.
double twiceArea(FlatPoint o, FlatPoint a, FlatPoint b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

int sign(double v) { return v > 0 ? 1 : (v < 0 ? -1 : 0); }

// Both segments cross at a point inside each of them; touching is no crossing.
bool properlyCross(FlatPoint p1, FlatPoint p2, FlatPoint q1, FlatPoint q2) {
    const int d1 = sign(twiceArea(q1, q2, p1)), d2 = sign(twiceArea(q1, q2, p2));
    const int d3 = sign(twiceArea(p1, p2, q1)), d4 = sign(twiceArea(p1, p2, q2));
    return d1 * d2 < 0 && d3 * d4 < 0;
}

bool lexLess(FlatPoint a, FlatPoint b) { return a.x < b.x || (a.x == b.x && a.y < b.y); }

XYZ newellOf(std::size_t n, const auto& point) {
    XYZ sum{};
    const XYZ o = point(0);
    for (std::size_t i = 1; i + 1 < n; ++i) sum = sum + cross(point(i) - o, point(i + 1) - o);
    return sum;
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

// ---- The face as a whole ----

PolygonShape ConvexSplitter::leaveOut(PolygonShape shape, const char* reason) {
    reason_ = reason;
    return shape;
}

PolygonShape ConvexSplitter::split(std::span<const XYZ> polygon, PolygonPieces& out, const SplitRules& rules) {
    out.clear();
    added_.clear();
    front_.clear();
    back_.clear();
    crosses_ = cutForFlatness_ = false;
    reason_ = "";
    polygon_ = polygon;
    rules_ = rules;
    const std::size_t n = polygon.size();
    if (n < 3) throw Error("Polygons must have at least 3 vertices!\n");
    whole_.resize(n);
    std::iota(whole_.begin(), whole_.end(), 0u);
    // Most faces of real objects: convex, flat and small.
    if (n <= maxPieceVertices && fastPath(polygon) && accepted(whole_)) {
        out.add(whole_);
        return PolygonShape::Convex;
    }
    project(polygon);
    clean(whole_, outline_);
    if (outline_.empty() || !hasArea(outline_)) return leaveOut(PolygonShape::Degenerate, noAreaReason);
    // The working plane is turned so that the outline runs counter-clockwise.
    if (signedArea2(outline_) < 0)
        for (FlatPoint& p : flat_) p.y = -p.y;
    // How far the points lie from the working plane, against the face's size.
    double lowest = 0, highest = 0, extent2 = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const XYZ d = polygon[i] - polygon[0];
        const double h = dot(d, normal_);
        lowest = std::min(lowest, h);
        highest = std::max(highest, h);
        extent2 = std::max(extent2, dot(d, d));
    }
    const bool bent = highest - lowest > bentFace * std::sqrt(extent2);

    PolygonShape shape = PolygonShape::Concave;
    if (outlineIsSimple()) {
        if (reflexCount(outline_, nullptr) == 0) shape = PolygonShape::Convex;
        front_.push_back(outline_);
    } else {
        if (bent) {
            if (!spanBentFace(polygon, out)) return leaveOut(PolygonShape::Unsplittable, bentOverReason);
            return PolygonShape::Concave;
        }
        crosses_ = true;
        switch (cutAtContacts(polygon)) {
            case Contacts::NoArea:
                return leaveOut(PolygonShape::Degenerate, noAreaReason);
            case Contacts::TooComplex:
                return leaveOut(PolygonShape::Unsplittable, tooComplexReason);
            case Contacts::Retraced:
                return leaveOut(PolygonShape::Unsplittable, retracedReason);
            default:
                break;
        }
    }
    if (!cover(front_, false, out) || !cover(back_, true, out)) {
        out.clear();
        return leaveOut(PolygonShape::Unsplittable, notCutReason);
    }
    if (crosses_) choosePositions(out);
    // Pieces no wider than the tolerance (points along one edge, slivers
    // between contacts) cover nothing.
    PolygonPieces& kept = scratchPieces_;
    kept.clear();
    for (std::size_t k = 0; k < out.count(); ++k)
        if (hasArea(out.piece(k))) kept.add(out.piece(k));
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
    tol_ = floatRounding * magnitude + textStep;
    double turning = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const XYZ& a = polygon[i == 0 ? n - 1 : i - 1];
        const XYZ& b = polygon[i];
        const XYZ& c = polygon[i + 1 == n ? 0 : i + 1];
        const XYZ ab = b - a, bc = c - b;
        const double turned = dot(cross(ab, bc), unit);
        if (!(turned > tol_ * length(c - a))) return false;
        if (n > 4) turning += std::atan2(turned, dot(ab, bc));
    }
    // From five corners on, turning left all the way may still go round twice.
    return n <= 4 || turning < 3 * std::numbers::pi;
}

// The points in the face's own plane, along its Newell normal (or, for an
// outline that crosses itself so that its Newell normal nearly vanishes,
// the normal of its fan's triangles turned to one side).
void ConvexSplitter::project(std::span<const XYZ> polygon) {
    const std::size_t n = polygon.size();
    const XYZ o = polygon[0];
    XYZ newell{}, largest{}, aligned{};
    double largestLength = -1, magnitude = 0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const XYZ t = cross(polygon[i] - o, polygon[i + 1] - o);
        newell = newell + t;
        if (dot(t, t) > largestLength) largestLength = dot(t, t), largest = t;
    }
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const XYZ t = cross(polygon[i] - o, polygon[i + 1] - o);
        aligned = aligned + (dot(t, largest) < 0 ? -1.0 : 1.0) * t;
    }
    XYZ normal = length(newell) > 1e-6 * length(aligned) ? newell : aligned;
    if (!(length(normal) > 0) || !std::isfinite(length(normal))) normal = {0, 0, 1};
    normal = normalized(normal);
    normal_ = normal;
    // Two unit directions across the normal, the first along the face's
    // longest edge, so that the face has the same working coordinates however
    // it is turned in space.
    std::size_t longest = 0;
    double longestLength = -1;
    for (std::size_t i = 0; i < n; ++i) {
        const XYZ d = polygon[(i + 1) % n] - polygon[i];
        if (dot(d, d) > longestLength) longestLength = dot(d, d), longest = i;
    }
    const XYZ edge = polygon[(longest + 1) % n] - polygon[longest];
    XYZ e1 = normalized(edge - dot(edge, normal) * normal);
    if (!(std::fabs(length(e1) - 1) < 1e-6)) {
        const double ax = std::fabs(normal.x), ay = std::fabs(normal.y), az = std::fabs(normal.z);
        const XYZ axis = ax <= ay && ax <= az ? XYZ{1, 0, 0} : (ay <= az ? XYZ{0, 1, 0} : XYZ{0, 0, 1});
        e1 = normalized(cross(normal, axis));
    }
    const XYZ e2 = cross(normal, e1);
    flat_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const XYZ d = polygon[i] - o;
        flat_[i] = {dot(d, e1), dot(d, e2)};
        magnitude = std::max({magnitude, std::fabs(polygon[i].x), std::fabs(polygon[i].y), std::fabs(polygon[i].z)});
    }
    tol_ = floatRounding * magnitude + textStep;
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

// Point c lies on the segment a-b up to the tolerance; t is where along it.
bool ConvexSplitter::onSegment(std::uint32_t a, std::uint32_t b, std::uint32_t c, double* t) const {
    const FlatPoint p = flat_[a], q = flat_[b], r = flat_[c];
    const double dx = q.x - p.x, dy = q.y - p.y, along = (r.x - p.x) * dx + (r.y - p.y) * dy;
    const double off = (r.y - p.y) * dx - (r.x - p.x) * dy, length2 = dx * dx + dy * dy;
    if (!(along > 0 && along < length2 && off * off <= tol_ * tol_ * length2)) return false;
    *t = along / length2;
    return true;
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

// Wider than the tolerance: its fan covers more than a strip of that width.
bool ConvexSplitter::hasArea(std::span<const std::uint32_t> part) const {
    double fan = 0;
    for (std::size_t i = 1; i + 1 < part.size(); ++i)
        fan += std::fabs(twiceArea(flat_[part[0]], flat_[part[i]], flat_[part[i + 1]]));
    return fan > tol_ * extentOf(part);
}

// Corners that turn right in a part that runs counter-clockwise.
int ConvexSplitter::reflexCount(std::span<const std::uint32_t> part, std::size_t* first) const {
    const std::size_t n = part.size();
    int count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (turn(part[i == 0 ? n - 1 : i - 1], part[i], part[i + 1 == n ? 0 : i + 1]) != -1) continue;
        if (count++ == 0 && first) *first = i;
    }
    return count;
}

// Winding number of the outline around m.
int ConvexSplitter::windingAt(FlatPoint m) const {
    int winding = 0;
    const std::size_t k = outline_.size();
    for (std::size_t e = 0; e < k; ++e) {
        const FlatPoint p = flat_[outline_[e]], q = flat_[outline_[e + 1 == k ? 0 : e + 1]];
        if (p.y <= m.y) {
            if (q.y > m.y && twiceArea(p, q, m) > 0) ++winding;
        } else if (q.y <= m.y && twiceArea(p, q, m) < 0) {
            --winding;
        }
    }
    return winding;
}

// Drops points that repeat the one before up to the tolerance and the tips of
// needles, also where the outline closes; the rest keep their order.
void ConvexSplitter::clean(std::span<const std::uint32_t> outline, Loop& out) const {
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

// ---- Touching and crossing ----

// Edges e and f of outline_ (not neighbours) cross, or one's end lies on the other.
bool ConvexSplitter::touchesOrCrosses(std::size_t e, std::size_t f) const {
    const std::size_t k = outline_.size();
    if ((e + 1) % k == f || (f + 1) % k == e) return false;
    const std::uint32_t a = outline_[e], b = outline_[(e + 1) % k], c = outline_[f], d = outline_[(f + 1) % k];
    double t;
    return properlyCross(flat_[a], flat_[b], flat_[c], flat_[d]) || near(a, c) || near(a, d) || near(b, c) ||
           near(b, d) || onSegment(a, b, c, &t) || onSegment(a, b, d, &t) || onSegment(c, d, a, &t) ||
           onSegment(c, d, b, &t);
}

// Whether the outline neither touches nor crosses itself: a sweep from left
// to right keeps the edges it meets in their order from bottom to top, and
// only edges that become neighbours there are tested, so that a simple
// outline costs O(n log n) and the first contact stops it.
bool ConvexSplitter::outlineIsSimple() {
    const std::size_t k = outline_.size();
    // Small outlines: every pair of edges whose boxes meet, which costs less than the sweep's tree.
    if (k <= smallOutline) {
        for (std::size_t e = 0; e < k; ++e) {
            const FlatPoint a = flat_[outline_[e]], b = flat_[outline_[(e + 1) % k]];
            for (std::size_t f = e + 2; f < k; ++f) {
                const FlatPoint c = flat_[outline_[f]], d = flat_[outline_[(f + 1) % k]];
                if (std::min(c.x, d.x) > std::max(a.x, b.x) + tol_ || std::min(a.x, b.x) > std::max(c.x, d.x) + tol_ ||
                    std::min(c.y, d.y) > std::max(a.y, b.y) + tol_ || std::min(a.y, b.y) > std::max(c.y, d.y) + tol_)
                    continue;
                if (touchesOrCrosses(e, f)) return false;
            }
        }
        return true;
    }
    const auto end = [&](std::size_t e, bool left) {
        const FlatPoint p = flat_[outline_[e]], q = flat_[outline_[(e + 1) % k]];
        return lexLess(p, q) == left ? p : q;
    };
    struct Below {
        const decltype(end)* ends;
        bool operator()(std::uint32_t e, std::uint32_t f) const {
            if (e == f) return false;
            const FlatPoint el = (*ends)(e, true), er = (*ends)(e, false);
            const FlatPoint fl = (*ends)(f, true), fr = (*ends)(f, false);
            // Compared where the later of the two begins.
            if (!lexLess(fl, el)) {
                if (const double s = twiceArea(el, er, fl); s != 0) return s > 0;
                if (const double s = twiceArea(el, er, fr); s != 0) return s > 0;
            } else {
                if (const double s = twiceArea(fl, fr, el); s != 0) return s < 0;
                if (const double s = twiceArea(fl, fr, er); s != 0) return s < 0;
            }
            return e < f;
        }
    };
    std::set<std::uint32_t, Below> status(Below{&end});
    std::vector<std::set<std::uint32_t, Below>::iterator> where(k);
    // Events: 2e for the left end of edge e, 2e + 1 for its right end; at one
    // point edges begin before others end, so that edges meeting there are tested.
    auto& events = order_;
    events.resize(2 * k);
    std::iota(events.begin(), events.end(), 0u);
    std::sort(events.begin(), events.end(), [&](std::uint32_t x, std::uint32_t y) {
        const FlatPoint p = end(x / 2, x % 2 == 0), q = end(y / 2, y % 2 == 0);
        if (p.x != q.x || p.y != q.y) return lexLess(p, q);
        return x % 2 != y % 2 ? x % 2 == 0 : x < y;
    });
    for (std::uint32_t event : events) {
        const std::uint32_t e = event / 2;
        if (event % 2 == 0) {
            const auto it = status.insert(e).first;
            where[e] = it;
            if (it != status.begin() && touchesOrCrosses(*std::prev(it), e)) return false;
            if (const auto above = std::next(it); above != status.end() && touchesOrCrosses(*above, e)) return false;
        } else {
            const auto it = where[e];
            const auto above = std::next(it);
            if (it != status.begin() && above != status.end() && touchesOrCrosses(*std::prev(it), *above)) return false;
            status.erase(it);
        }
    }
    return true;
}

std::uint32_t ConvexSplitter::root(std::uint32_t node) {
    while (parent_[node] != node) node = parent_[node] = parent_[parent_[node]];
    return node;
}

// Cuts outline_ where it touches or crosses itself into simple loops and
// sorts them into front_ and back_. Points closer than the tolerance become
// one; an edge with another's end on it is cut there; crossing edges get a
// new point each. Edges along one line then cancel or add up; what remains
// is walked into loops that touch but never cross, keeping to the left at
// every meeting, and each loop is judged by the winding number on its two
// sides: it bounds the part that faces the outline's way where one side's
// winding is above zero and the other's is not, and likewise the part that
// faces the other way.
ConvexSplitter::Contacts ConvexSplitter::cutAtContacts(std::span<const XYZ> polygon) {
    const std::size_t k = outline_.size();
    const auto n = static_cast<std::uint32_t>(polygon.size());
    parent_.resize(n);
    std::iota(parent_.begin(), parent_.end(), 0u);
    const auto unite = [&](std::uint32_t a, std::uint32_t b) {
        a = root(a), b = root(b);
        if (a != b) parent_[std::max(a, b)] = std::min(a, b);
    };
    const auto at = [&](std::size_t e) { return outline_[e % k]; };
    // Edges by their left end; an edge meets only those that start before its right end.
    std::vector<std::pair<double, std::uint32_t>> lefts(k);
    for (std::uint32_t e = 0; e < k; ++e) lefts[e] = {std::min(flat_[at(e)].x, flat_[at(e + 1)].x), e};
    std::sort(lefts.begin(), lefts.end());
    struct OnEdge {
        std::uint32_t edge;
        double t;
        std::uint32_t node;
    };
    std::vector<OnEdge> onEdges;
    const std::size_t budget = basePairTests + pairTestsPerEdge * k;
    std::size_t tests = 0;
    for (std::size_t i = 0; i < k; ++i) {
        const std::uint32_t e = lefts[i].second, a = at(e), b = at(e + 1);
        const double right = std::max(flat_[a].x, flat_[b].x);
        for (std::size_t j = i + 1; j < k && lefts[j].first <= right + tol_; ++j) {
            if (++tests > budget) return Contacts::TooComplex;
            const std::uint32_t f = lefts[j].second, c = at(f), d = at(f + 1);
            if ((e + 1) % k == f || (f + 1) % k == e) continue;
            if (std::min(flat_[c].y, flat_[d].y) > std::max(flat_[a].y, flat_[b].y) + tol_ ||
                std::min(flat_[a].y, flat_[b].y) > std::max(flat_[c].y, flat_[d].y) + tol_)
                continue;
            bool touched = false;
            const auto endOn = [&](std::uint32_t x, std::uint32_t s0, std::uint32_t s1, std::uint32_t edge) {
                double t;
                if (near(x, s0)) {
                    unite(x, s0);
                } else if (near(x, s1)) {
                    unite(x, s1);
                } else if (onSegment(s0, s1, x, &t)) {
                    onEdges.push_back({edge, t, x});
                } else {
                    return;
                }
                touched = true;
            };
            endOn(c, a, b, e), endOn(d, a, b, e), endOn(a, c, d, f), endOn(b, c, d, f);
            if (!touched && properlyCross(flat_[a], flat_[b], flat_[c], flat_[d])) {
                const FlatPoint pa = flat_[a], pb = flat_[b], pc = flat_[c], pd = flat_[d];
                const double ca = twiceArea(pc, pd, pa), cb = twiceArea(pc, pd, pb);
                const double cc = twiceArea(pa, pb, pc), cd = twiceArea(pa, pb, pd);
                const double te = ca / (ca - cb), tf = cc / (cc - cd);
                const auto id = static_cast<std::uint32_t>(n + added_.size());
                const XYZ& p = polygon[a];
                added_.push_back({a, b, te, p + te * (polygon[b] - p)});
                flat_.push_back({pa.x + te * (pb.x - pa.x), pa.y + te * (pb.y - pa.y)});
                parent_.push_back(id);
                onEdges.push_back({e, te, id});
                onEdges.push_back({f, tf, id});
            }
            if (onEdges.size() > 2 * contactsPerEdge * k) return Contacts::TooComplex;
        }
    }
    // Crossings at one place (three edges or more through one point, or a
    // crossing at another edge's end) are one point.
    if (!added_.empty()) {
        std::vector<std::pair<double, std::uint32_t>> byX;
        for (std::uint32_t x : outline_) byX.push_back({flat_[x].x, x});
        for (std::uint32_t i = 0; i < added_.size(); ++i) byX.push_back({flat_[n + i].x, n + i});
        std::sort(byX.begin(), byX.end());
        for (std::size_t i = 0; i < byX.size(); ++i)
            for (std::size_t j = i + 1; j < byX.size() && byX[j].first - byX[i].first <= tol_; ++j)
                if ((byX[i].second >= n || byX[j].second >= n) && near(byX[i].second, byX[j].second))
                    unite(byX[i].second, byX[j].second);
    }
    // The edges between the points that remain, counted +1 from the lower
    // number to the higher and -1 back.
    std::sort(onEdges.begin(), onEdges.end(),
              [](const OnEdge& x, const OnEdge& y) { return x.edge != y.edge ? x.edge < y.edge : x.t < y.t; });
    std::unordered_map<std::uint64_t, int> net;
    net.reserve(k + onEdges.size());
    const auto count = [&](std::uint32_t u, std::uint32_t v) {
        if (u == v) return;
        net[(std::uint64_t{std::min(u, v)} << 32) | std::max(u, v)] += u < v ? 1 : -1;
    };
    for (std::size_t e = 0, c = 0; e < k; ++e) {
        std::uint32_t previous = root(at(e));
        for (; c < onEdges.size() && onEdges[c].edge == e; ++c) {
            const std::uint32_t node = root(onEdges[c].node);
            count(previous, node);
            previous = node;
        }
        count(previous, root(at(e + 1)));
    }
    struct Edge {
        std::uint32_t from, to;
        int times;
    };
    std::vector<Edge> edges;
    for (const auto& [key, times] : net) {
        if (times == 0) continue;
        const auto low = static_cast<std::uint32_t>(key >> 32), high = static_cast<std::uint32_t>(key);
        edges.push_back(times > 0 ? Edge{low, high, times} : Edge{high, low, -times});
    }
    if (edges.empty()) return Contacts::NoArea;
    std::sort(edges.begin(), edges.end(), [](const Edge& x, const Edge& y) {
        return x.from != y.from ? x.from < y.from : x.to < y.to;
    });
    // Chains: runs of edges through points where nothing else meets, along
    // which the winding numbers on either side stay the same. Each chain is
    // judged by one point beside its longest edge.
    std::unordered_map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> degree;  // in, out
    std::unordered_map<std::uint32_t, std::uint32_t> firstOut;
    for (std::uint32_t i = static_cast<std::uint32_t>(edges.size()); i-- > 0;) {
        ++degree[edges[i].to].first;
        ++degree[edges[i].from].second;
        firstOut[edges[i].from] = i;
    }
    const auto passing = [&](std::uint32_t node) { return degree[node] == std::pair<std::uint32_t, std::uint32_t>{1, 1}; };
    std::vector<bool> done(edges.size(), false);
    std::vector<std::uint32_t> chain;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> frontEdges, backEdges;
    std::size_t judged = 0;
    const auto judge = [&]() -> bool {
        std::uint32_t longest = chain[0];
        double longestLength = -1;
        for (std::uint32_t i : chain) {
            const FlatPoint p = flat_[edges[i].from], q = flat_[edges[i].to];
            const double l = std::hypot(q.x - p.x, q.y - p.y);
            if (l > longestLength) longestLength = l, longest = i;
        }
        if (++judged * k > basePairTests) return false;
        // Just left of the middle of the longest edge; crossing the chain from right to left adds its times.
        const Edge& e = edges[longest];
        const FlatPoint p = flat_[e.from], q = flat_[e.to];
        const double step = 0.5 * tol_ / longestLength;
        const int wl = windingAt({(p.x + q.x) / 2 - (q.y - p.y) * step, (p.y + q.y) / 2 + (q.x - p.x) * step});
        const int wr = wl - e.times;
        if (e.times >= 2 && !(wl > 0 && wr < 0) && !(wl < 0 && wr > 0)) retraced_ = true;
        for (const auto& [sides, list] : {std::pair{std::pair{wl > 0, wr > 0}, &frontEdges},
                                          std::pair{std::pair{wl < 0, wr < 0}, &backEdges}}) {
            if (sides.first == sides.second) continue;
            for (std::uint32_t i : chain)
                list->push_back(sides.first ? std::pair{edges[i].from, edges[i].to} : std::pair{edges[i].to, edges[i].from});
        }
        return true;
    };
    retraced_ = false;
    for (const bool fromBranches : {true, false}) {
        for (std::uint32_t s = 0; s < edges.size(); ++s) {
            if (done[s] || (fromBranches && passing(edges[s].from))) continue;
            chain.clear();
            for (std::uint32_t i = s; !done[i];) {
                done[i] = true;
                chain.push_back(i);
                if (!passing(edges[i].to)) break;
                i = firstOut[edges[i].to];
            }
            if (!judge()) return Contacts::TooComplex;
        }
    }
    if (retraced_) return Contacts::Retraced;
    if (!walkIntoLoops(frontEdges, front_) || !walkIntoLoops(backEdges, back_)) return Contacts::TooComplex;
    return Contacts::Cut;
}

// Directed edges that have a region on their left, joined into loops: each
// edge is followed by the edge that leaves its end keeping most to the left,
// so that every corner of a loop holds one piece of the region, and loops
// that meet at a point touch there without crossing. A loop may pass a point
// twice (a hole that touches the outline). False when the edges do not close up.
bool ConvexSplitter::walkIntoLoops(std::vector<std::pair<std::uint32_t, std::uint32_t>>& edges, std::vector<Loop>& loops) {
    std::sort(edges.begin(), edges.end());
    const std::size_t count = edges.size();
    std::vector<std::uint32_t> next(count, UINT32_MAX);
    std::vector<bool> taken(count, false);
    for (std::size_t e = 0; e < count; ++e) {
        const auto [from, at] = edges[e];
        auto it = std::lower_bound(edges.begin(), edges.end(), std::pair<std::uint32_t, std::uint32_t>{at, 0});
        const FlatPoint p = flat_[from], q = flat_[at];
        double bestAngle = -10;
        for (; it != edges.end() && it->first == at; ++it) {
            const auto i = static_cast<std::size_t>(it - edges.begin());
            if (taken[i]) continue;
            const FlatPoint r = flat_[it->second];
            const double ax = q.x - p.x, ay = q.y - p.y, bx = r.x - q.x, by = r.y - q.y;
            const double angle = std::atan2(ax * by - ay * bx, ax * bx + ay * by);
            if (angle > bestAngle) bestAngle = angle, next[e] = static_cast<std::uint32_t>(i);
        }
        if (next[e] == UINT32_MAX) return false;
        taken[next[e]] = true;
    }
    std::vector<bool> done(count, false);
    for (std::size_t s = 0; s < count; ++s) {
        if (done[s]) continue;
        Loop loop;
        for (std::size_t e = s; !done[e]; e = next[e]) {
            done[e] = true;
            loop.push_back(edges[e].first);
        }
        if (loop.size() >= 3) loops.push_back(std::move(loop));
    }
    return true;
}

// Where the outline passes one point several times, a piece there takes the
// position of the pass whose side of the outline holds the piece: the pass
// whose corner (the region's side of it, left of the outline for parts that
// face its way) contains the direction into the piece.
void ConvexSplitter::choosePositions(PolygonPieces& pieces) {
    const std::size_t k = outline_.size(), n = polygon_.size();
    std::vector<std::uint32_t> passes;  // the outline's indices whose point is passed more than once
    std::unordered_map<std::uint32_t, int> times;
    for (std::uint32_t x : outline_) ++times[root(x)];
    for (std::uint32_t i = 0; i < k; ++i)
        if (times[root(outline_[i])] > 1) passes.push_back(i);
    if (passes.empty()) return;
    const auto angleFrom = [](FlatPoint from, FlatPoint to) {  // counter-clockwise, in [0, 2 pi)
        const double a = std::atan2(from.x * to.y - from.y * to.x, from.x * to.x + from.y * to.y);
        return a < 0 ? a + 2 * std::numbers::pi : a;
    };
    for (std::size_t p = 0; p < pieces.count(); ++p) {
        const auto piece = pieces.piece(p);
        const bool facesBack = signedArea2(piece) < 0;
        FlatPoint centre{0, 0};
        for (std::uint32_t x : piece) centre = {centre.x + flat_[x].x, centre.y + flat_[x].y};
        centre = {centre.x / static_cast<double>(piece.size()), centre.y / static_cast<double>(piece.size())};
        for (std::size_t c = 0; c < piece.size(); ++c) {
            const std::uint32_t node = piece[c];
            if (node >= n) continue;
            const FlatPoint o = flat_[node];
            const FlatPoint inward{centre.x - o.x, centre.y - o.y};
            for (std::uint32_t i : passes) {
                const std::uint32_t x = outline_[i];
                if (root(x) != node) continue;
                const FlatPoint before = flat_[outline_[(i + k - 1) % k]], after = flat_[outline_[(i + 1) % k]];
                const FlatPoint toBefore{before.x - o.x, before.y - o.y}, toAfter{after.x - o.x, after.y - o.y};
                const bool inside = facesBack ? angleFrom(toBefore, inward) < angleFrom(toBefore, toAfter)
                                              : angleFrom(toAfter, inward) < angleFrom(toAfter, toBefore);
                if (inside) {
                    pieces.positions[pieces.offsets[p] + c] = x;
                    break;
                }
            }
        }
    }
}

// A face bent so far that, seen along its normal, it overlaps itself: the
// triangles between its own points that span it with the least area (as near
// as its points allow to the surface a soap film would take), in the face's
// order, merged again where they stay convex and flat. Triangles without area
// (a needle's) are left out.
bool ConvexSplitter::spanBentFace(std::span<const XYZ> polygon, PolygonPieces& out) {
    const std::size_t n = polygon.size();
    if (n > mostBentPoints) return false;
    const auto area = [&](std::size_t i, std::size_t j, std::size_t k) {
        return length(cross(polygon[j] - polygon[i], polygon[k] - polygon[i]));
    };
    std::vector<double> least(n * n, 0);
    std::vector<std::uint16_t> apex(n * n, 0);
    for (std::size_t span = 2; span < n; ++span)
        for (std::size_t i = 0; i + span < n; ++i) {
            const std::size_t j = i + span;
            double best = std::numeric_limits<double>::infinity();
            for (std::size_t k = i + 1; k < j; ++k) {
                const double total = least[i * n + k] + least[k * n + j] + area(i, k, j);
                if (total < best) best = total, apex[i * n + j] = static_cast<std::uint16_t>(k);
            }
            least[i * n + j] = best;
        }
    double extent = 0;
    for (const XYZ& p : polygon) extent = std::max(extent, length(p - polygon[0]));
    triangles_.clear();
    std::vector<std::pair<std::size_t, std::size_t>> todo{{0, n - 1}};
    while (!todo.empty()) {
        const auto [i, j] = todo.back();
        todo.pop_back();
        if (j < i + 2) continue;
        const std::size_t k = apex[i * n + j];
        if (area(i, k, j) > tol_ * extent)
            triangles_.insert(triangles_.end(), {static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(k),
                                                 static_cast<std::uint32_t>(j)});
        todo.push_back({i, k});
        todo.push_back({k, j});
    }
    if (triangles_.empty()) return false;
    sweep_.resize(n);
    for (std::uint32_t v = 0; v < n; ++v) sweep_[v].node = v;
    mergeTriangles(out, true);
    return true;
}

bool ConvexSplitter::passesAPointTwice(std::span<const std::uint32_t> loop) const {
    if (!crosses_) return false;
    Loop& sorted = scratchLoop_;
    sorted.assign(loop.begin(), loop.end());
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
}

// ---- Covering a region ----

// Pieces for the region that the loops (all with it on their left) bound,
// appended to out; when facesBack, each piece runs the other way.
bool ConvexSplitter::cover(const std::vector<Loop>& loops, bool facesBack, PolygonPieces& out) {
    if (loops.empty()) return true;
    PolygonPieces& pieces = regionPieces_;
    pieces.clear();
    if (loops.size() == 1 && !passesAPointTwice(loops[0])) {
        if (!coverSimpleLoop(loops[0], pieces)) return false;
    } else {
        if (!triangulate(loops)) return false;
        mergeTriangles(pieces, false);
    }
    // The pieces must cover what the loops bound: a sweep misled by points
    // that the rounding puts just so is caught here rather than written.
    double bounded = 0, covered = 0, perimeter = 0;
    for (const Loop& loop : loops) {
        bounded += signedArea2(loop);
        for (std::size_t i = 0; i < loop.size(); ++i) {
            const FlatPoint p = flat_[loop[i]], q = flat_[loop[(i + 1) % loop.size()]];
            perimeter += std::hypot(q.x - p.x, q.y - p.y);
        }
    }
    for (std::size_t k = 0; k < pieces.count(); ++k) covered += signedArea2(pieces.piece(k));
    if (std::fabs(covered - bounded) > 8 * tol_ * perimeter + 1e-9 * std::fabs(bounded)) return false;
    for (std::size_t k = 0; k < pieces.count(); ++k) {
        const auto piece = pieces.piece(k);
        if (!facesBack) {
            out.add(piece);
            continue;
        }
        scratch_.assign(piece.rbegin(), piece.rend());
        out.add(scratch_);
    }
    return true;
}

// A simple loop (counter-clockwise): convex, it is cut into runs of 16;
// small, its fewest pieces are searched; of moderate size with few reflex
// corners, it is cut along the shortest diagonal that leaves its first reflex
// corner convex on both sides, and each side is covered again; else the sweep.
bool ConvexSplitter::coverSimpleLoop(const Loop& loop, PolygonPieces& pieces) {
    std::size_t first = 0;
    const int reflex = reflexCount(loop, &first);
    const std::size_t n = loop.size();
    if (reflex == 0) {
        PolygonPieces runs;
        takeNVertices(loop, runs);
        for (std::size_t k = 0; k < runs.count(); ++k) cutUntilAccepted(runs.piece(k), pieces);
        return true;
    }
    if (n <= exactLimit && exactSplit(loop, pieces)) return true;
    if (n > exactLimit && n <= mostReflexSplitPoints && reflex <= mostReflexSplitCorners) {
        const std::size_t i = first, before = (i + n - 1) % n, after = (i + 1) % n;
        std::vector<std::pair<double, std::size_t>> candidates;
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i || j == before || j == after || turn(loop[j], loop[i], loop[after]) < 0 ||
                turn(loop[before], loop[i], loop[j]) < 0)
                continue;
            const FlatPoint p = flat_[loop[i]], q = flat_[loop[j]];
            candidates.push_back({(q.x - p.x) * (q.x - p.x) + (q.y - p.y) * (q.y - p.y), j});
        }
        std::sort(candidates.begin(), candidates.end());
        for (const auto& [length2, j] : candidates) {
            if (!isDiagonal(loop, i, j)) continue;
            const std::size_t a = std::min(i, j), b = std::max(i, j);
            Loop one(loop.begin() + static_cast<std::ptrdiff_t>(a), loop.begin() + static_cast<std::ptrdiff_t>(b) + 1);
            Loop other(loop.begin() + static_cast<std::ptrdiff_t>(b), loop.end());
            other.insert(other.end(), loop.begin(), loop.begin() + static_cast<std::ptrdiff_t>(a) + 1);
            return coverSimpleLoop(one, pieces) && coverSimpleLoop(other, pieces);
        }
    }
    const std::vector<Loop> alone{loop};
    if (!triangulate(alone)) return false;
    mergeTriangles(pieces, false);
    return true;
}

bool ConvexSplitter::accepted(std::span<const std::uint32_t> piece) {
    if (piece.size() > maxPieceVertices) return false;
    if (piece.size() <= 3) return true;
    if (std::isfinite(rules_.offPlane)) {
        const auto point = [&](std::size_t i) { return pointAt(polygon_, piece[i]); };
        const XYZ normal = newellOf(piece.size(), point);
        const double l = length(normal);
        const XYZ o = point(0);
        for (std::size_t i = 1; i < piece.size() && l > 0; ++i) {
            if (std::fabs(dot(point(i) - o, normal)) > rules_.offPlane * l) {
                cutForFlatness_ = true;
                return false;
            }
        }
    }
    return !rules_.test || rules_.test->keepsWhole(piece);
}

// A convex piece cut along its diagonals until every part is accepted: where
// one diagonal leaves two accepted parts, along that one; else along the one
// that leaves the largest accepted part, and the rest again. A diagonal must
// leave area on both sides.
void ConvexSplitter::cutUntilAccepted(std::span<const std::uint32_t> piece, PolygonPieces& out) {
    std::vector<Loop> work{Loop(piece.begin(), piece.end())};
    Loop a, b;
    while (!work.empty()) {
        Loop p = std::move(work.back());
        work.pop_back();
        if (accepted(p)) {
            out.add(p);
            continue;
        }
        const std::size_t n = p.size();
        const auto sides = [&](std::size_t i, std::size_t j) {
            a.assign(p.begin() + static_cast<std::ptrdiff_t>(i), p.begin() + static_cast<std::ptrdiff_t>(j) + 1);
            b.assign(p.begin() + static_cast<std::ptrdiff_t>(j), p.end());
            b.insert(b.end(), p.begin(), p.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        };
        std::size_t bestI = 0, bestJ = 0, bestSize = 0;
        bool bothFound = false;
        for (std::size_t i = 0; i < n && !bothFound; ++i) {
            for (std::size_t j = i + 2; j < n && !bothFound; ++j) {
                if (i == 0 && j == n - 1) continue;
                sides(i, j);
                if (!hasArea(a) || !hasArea(b)) continue;
                const bool okA = accepted(a), okB = accepted(b);
                if (okA && okB) bothFound = true, bestI = i, bestJ = j;
                const std::size_t size = std::max(okA ? a.size() : 0, okB ? b.size() : 0);
                if (!bothFound && size > bestSize) bestSize = size, bestI = i, bestJ = j;
            }
        }
        if (!bothFound && bestSize == 0) {  // no diagonal leaves area on both sides: a fan, as good as it gets
            for (std::size_t i = 1; i + 1 < n; ++i) out.add(p[0], std::span<const std::uint32_t>(&p[i], 2));
            continue;
        }
        sides(bestI, bestJ);
        for (Loop* side : {&a, &b}) {
            if (accepted(*side))
                out.add(*side);
            else
                work.push_back(*side);
        }
    }
}

// ---- The sweep that cuts a region into monotone parts, and triangles ----

// Monotone parts (every line across the sweep meets them in one segment) by
// the classic sweep from top to bottom: each vertex that opens or closes a
// part inside the region (a split or merge vertex) gets a diagonal to the
// vertex last seen beside it. Points that several loops share are moved a
// little into their own corner first, so that the loops no longer touch.
bool ConvexSplitter::triangulate(const std::vector<Loop>& loops) {
    sweep_.clear();
    for (const Loop& loop : loops) {
        const auto base = static_cast<std::uint32_t>(sweep_.size()), size = static_cast<std::uint32_t>(loop.size());
        for (std::uint32_t i = 0; i < size; ++i)
            sweep_.push_back({loop[i], base + (i + size - 1) % size, base + (i + 1) % size});
    }
    const auto count = static_cast<std::uint32_t>(sweep_.size());
    sweepPoint_.resize(count);
    std::unordered_map<std::uint32_t, std::uint32_t> uses;
    if (crosses_)
        for (const SweepVertex& v : sweep_) ++uses[v.node];
    for (std::uint32_t v = 0; v < count; ++v) {
        const FlatPoint p = flat_[sweep_[v].node];
        sweepPoint_[v] = p;
        if (!crosses_ || uses[sweep_[v].node] < 2) continue;
        const FlatPoint before = flat_[sweep_[sweep_[v].prev].node], after = flat_[sweep_[sweep_[v].next].node];
        const double l1 = std::hypot(before.x - p.x, before.y - p.y), l2 = std::hypot(after.x - p.x, after.y - p.y);
        double bx = (before.x - p.x) / l1 + (after.x - p.x) / l2, by = (before.y - p.y) / l1 + (after.y - p.y) / l2;
        if (std::hypot(bx, by) < 1e-3) {
            bx = -(after.y - before.y), by = after.x - before.x;
        } else if (twiceArea(before, p, after) < 0) {
            bx = -bx, by = -by;
        }
        const double step = tol_ / 16 / std::hypot(bx, by);
        sweepPoint_[v] = {p.x + bx * step, p.y + by * step};
    }
    const auto pt = [&](std::uint32_t v) { return sweepPoint_[v]; };
    const auto above = [&](std::uint32_t a, std::uint32_t b) {
        const FlatPoint p = pt(a), q = pt(b);
        if (p.y != q.y) return p.y > q.y;
        if (p.x != q.x) return p.x < q.x;
        return a < b;
    };
    order_.resize(count);
    std::iota(order_.begin(), order_.end(), 0u);
    std::sort(order_.begin(), order_.end(), above);

    // The status: edges with the region on their right (each named by its
    // upper vertex, running down to the next), from left to right.
    struct Probe {
        FlatPoint p;
    };
    struct LeftToRight {
        using is_transparent = void;
        const std::vector<FlatPoint>* points;
        const std::vector<SweepVertex>* vertices;
        const decltype(above)* isAbove;
        double east(std::uint32_t e, FlatPoint p) const {
            return twiceArea((*points)[e], (*points)[(*vertices)[e].next], p);
        }
        bool operator()(std::uint32_t e, std::uint32_t f) const {
            if (e == f) return false;
            const FlatPoint ue = (*points)[e], le = (*points)[(*vertices)[e].next];
            const FlatPoint uf = (*points)[f], lf = (*points)[(*vertices)[f].next];
            if ((*isAbove)(f, e)) {
                if (const double s = twiceArea(uf, lf, ue); s != 0) return s < 0;
                if (const double s = twiceArea(uf, lf, le); s != 0) return s < 0;
            } else {
                if (const double s = twiceArea(ue, le, uf); s != 0) return s > 0;
                if (const double s = twiceArea(ue, le, lf); s != 0) return s > 0;
            }
            return e < f;
        }
        bool operator()(std::uint32_t e, Probe p) const { return east(e, p.p) > 0; }
        bool operator()(Probe p, std::uint32_t e) const { return east(e, p.p) < 0; }
    };
    std::set<std::uint32_t, LeftToRight> status(LeftToRight{&sweepPoint_, &sweep_, &above});
    std::vector<std::set<std::uint32_t, LeftToRight>::iterator> where(count, status.end());
    helper_.assign(count, 0);
    std::vector<bool> merge(count, false);
    diagonals_.clear();
    const auto leftOf = [&](std::uint32_t v) -> std::int64_t {
        const auto it = status.lower_bound(Probe{pt(v)});
        if (it == status.begin()) return -1;
        return *std::prev(it);
    };
    const auto insert = [&](std::uint32_t v) {
        where[v] = status.insert(v).first;
        helper_[v] = v;
    };
    const auto closeEdge = [&](std::uint32_t v, std::uint32_t e) {
        if (where[e] == status.end()) return false;
        if (merge[helper_[e]]) diagonals_.push_back({v, helper_[e]});
        status.erase(where[e]);
        where[e] = status.end();
        return true;
    };
    const auto passLeft = [&](std::uint32_t v) {
        const std::int64_t j = leftOf(v);
        if (j < 0) return false;
        const auto e = static_cast<std::uint32_t>(j);
        if (merge[helper_[e]]) diagonals_.push_back({v, helper_[e]});
        helper_[e] = v;
        return true;
    };
    for (std::uint32_t v : order_) {
        const std::uint32_t p = sweep_[v].prev, q = sweep_[v].next;
        const bool pBelow = above(v, p), qBelow = above(v, q);
        const bool convex = twiceArea(pt(p), pt(v), pt(q)) >= 0;
        bool ok = true;
        if (pBelow && qBelow) {
            if (convex) {  // start
                insert(v);
            } else {  // split: joined to the vertex last seen beside it
                const std::int64_t j = leftOf(v);
                ok = j >= 0;
                if (ok) {
                    diagonals_.push_back({v, helper_[static_cast<std::size_t>(j)]});
                    helper_[static_cast<std::size_t>(j)] = v;
                }
                insert(v);
            }
        } else if (!pBelow && !qBelow) {
            ok = closeEdge(v, p);  // end, or merge
            if (ok && !convex) {
                merge[v] = true;
                ok = passLeft(v);
            }
        } else if (!pBelow) {  // on a left boundary: the region lies to the right
            ok = closeEdge(v, p);
            insert(v);
        } else {
            ok = passLeft(v);
        }
        if (!ok) return false;
    }

    // The monotone parts: walk the loops' edges and both sides of every
    // diagonal, at each vertex turning onto the first edge clockwise from the
    // one it came by, which keeps the part on the left.
    const auto halfEdges = static_cast<std::uint32_t>(count + 2 * diagonals_.size());
    const auto origin = [&](std::uint32_t h) {
        if (h < count) return h;
        const auto& d = diagonals_[(h - count) / 2];
        return (h - count) % 2 == 0 ? d.first : d.second;
    };
    const auto target = [&](std::uint32_t h) {
        if (h < count) return sweep_[h].next;
        const auto& d = diagonals_[(h - count) / 2];
        return (h - count) % 2 == 0 ? d.second : d.first;
    };
    std::vector<std::pair<std::uint32_t, std::uint32_t>> extra;  // (vertex, half-edge leaving it along a diagonal)
    for (std::uint32_t h = count; h < halfEdges; ++h) extra.push_back({origin(h), h});
    std::sort(extra.begin(), extra.end());
    const auto next = [&](std::uint32_t h) {
        const std::uint32_t v = target(h);
        auto it = std::lower_bound(extra.begin(), extra.end(), std::pair<std::uint32_t, std::uint32_t>{v, 0});
        if (it == extra.end() || it->first != v) return v;
        const FlatPoint o = pt(v), back = pt(origin(h));
        const auto clockwise = [&](std::uint32_t out) {
            const FlatPoint to = pt(target(out));
            const double rx = back.x - o.x, ry = back.y - o.y, dx = to.x - o.x, dy = to.y - o.y;
            const double angle = -std::atan2(rx * dy - ry * dx, rx * dx + ry * dy);
            return angle > 0 ? angle : angle + 2 * std::numbers::pi;
        };
        std::uint32_t best = v;
        double bestAngle = clockwise(v);
        for (; it != extra.end() && it->first == v; ++it)
            if (const double a = clockwise(it->second); a < bestAngle) bestAngle = a, best = it->second;
        return best;
    };
    triangles_.clear();
    std::vector<bool> visited(halfEdges, false);
    Loop& face = scratch_;
    for (std::uint32_t h = 0; h < halfEdges; ++h) {
        if (visited[h]) continue;
        face.clear();
        std::uint32_t x = h;
        while (!visited[x]) {
            visited[x] = true;
            face.push_back(origin(x));
            x = next(x);
        }
        if (x != h) return false;  // the loops did not bound one region as they should
        triangulateMonotone(face);
    }
    return true;
}

bool ConvexSplitter::sweepAbove(std::uint32_t a, std::uint32_t b) const {
    const FlatPoint p = sweepPoint_[a], q = sweepPoint_[b];
    if (p.y != q.y) return p.y > q.y;
    if (p.x != q.x) return p.x < q.x;
    return a < b;
}

// A monotone part (sweep vertices, counter-clockwise) into triangles: its two
// chains merged from top to bottom, each vertex joined to the earlier ones
// that it sees, which a stack keeps.
void ConvexSplitter::triangulateMonotone(std::span<const std::uint32_t> face) {
    const std::size_t k = face.size();
    if (k < 3) return;
    const auto pt = [&](std::uint32_t v) { return sweepPoint_[v]; };
    const auto emit = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c) {
        if (twiceArea(pt(a), pt(b), pt(c)) < 0) std::swap(b, c);
        triangles_.insert(triangles_.end(), {a, b, c});
    };
    std::size_t top = 0, bottom = 0;
    for (std::size_t i = 1; i < k; ++i) {
        if (sweepAbove(face[i], face[top])) top = i;
        if (sweepAbove(face[bottom], face[i])) bottom = i;
    }
    // From the top, forward runs down the left chain and backward down the right.
    auto& chain = chain_;
    chain.clear();
    chain.push_back({face[top], true});
    std::size_t l = (top + 1) % k, r = (top + k - 1) % k;
    while (l != bottom || r != bottom) {
        if (r == bottom || (l != bottom && sweepAbove(face[l], face[r]))) {
            chain.push_back({face[l], true});
            l = (l + 1) % k;
        } else {
            chain.push_back({face[r], false});
            r = (r + k - 1) % k;
        }
    }
    chain.push_back({face[bottom], !chain.back().second});
    auto& stack = stack_;
    stack.assign(chain.begin(), chain.begin() + 2);
    for (std::size_t j = 2; j + 1 < chain.size(); ++j) {
        const auto [v, leftSide] = chain[j];
        if (leftSide != stack.back().second) {
            for (std::size_t i = 0; i + 1 < stack.size(); ++i) emit(v, stack[i].first, stack[i + 1].first);
            stack.assign({chain[j - 1], chain[j]});
            continue;
        }
        auto last = stack.back();
        stack.pop_back();
        while (!stack.empty()) {
            const double s = twiceArea(pt(stack.back().first), pt(v), pt(last.first));
            if (!(leftSide ? s < 0 : s > 0)) break;
            emit(v, last.first, stack.back().first);
            last = stack.back();
            stack.pop_back();
        }
        stack.push_back(last);
        stack.push_back(chain[j]);
    }
    const std::uint32_t v = chain.back().first;
    for (std::size_t i = 0; i + 1 < stack.size(); ++i) emit(v, stack[i].first, stack[i + 1].first);
}

// Triangles merged across their shared edges into convex pieces as long as
// the piece stays convex (up to the tolerance), within 16 vertices, without a
// point twice, and accepted by the rules. The order of the edges decides how
// many pieces remain: shortest first and longest first are both tried, and
// the one with fewer pieces is kept.
void ConvexSplitter::mergeTriangles(PolygonPieces& out, bool inSpace) {
    const std::size_t count = triangles_.size() / 3;
    const auto key = [](std::uint32_t u, std::uint32_t v) { return (std::uint64_t{u} << 32) | v; };
    auto& owner = edgeOwners_;  // (edge, its triangle), by edge
    owner.clear();
    for (std::uint32_t t = 0; t < count; ++t)
        for (int c = 0; c < 3; ++c) owner.push_back({key(triangles_[3 * t + c], triangles_[3 * t + (c + 1) % 3]), t});
    std::sort(owner.begin(), owner.end());
    const auto ownerOf = [&](std::uint32_t u, std::uint32_t v) -> std::int64_t {
        const auto it = std::lower_bound(owner.begin(), owner.end(), std::pair<std::uint64_t, std::uint32_t>{key(u, v), 0});
        return it != owner.end() && it->first == key(u, v) ? std::int64_t{it->second} : -1;
    };
    const auto node = [&](std::uint32_t v) { return sweep_[v].node; };
    struct Shared {
        double length2;
        std::uint32_t t, s, u, v;  // triangle t runs from u to v, triangle s back
    };
    std::vector<Shared> shared;
    for (std::uint32_t t = 0; t < count; ++t)
        for (int c = 0; c < 3; ++c) {
            const std::uint32_t u = triangles_[3 * t + c], v = triangles_[3 * t + (c + 1) % 3];
            if (u > v) continue;
            const std::int64_t other = ownerOf(v, u);
            if (other < 0) continue;
            const XYZ d = pointAt(polygon_, node(u)) - pointAt(polygon_, node(v));
            shared.push_back({dot(d, d), t, static_cast<std::uint32_t>(other), u, v});
        }
    const auto find = [&](std::uint32_t t) {
        while (pieceOf_[t] != t) t = pieceOf_[t] = pieceOf_[pieceOf_[t]];
        return t;
    };
    std::uint32_t merged[2 * maxPieceVertices], nodes[2 * maxPieceVertices];
    const auto mergeAll = [&](PolygonPieces& pieces) {
        pieceVertices_.resize(count * maxPieceVertices);
        pieceSize_.assign(count, 3);
        pieceOf_.resize(count);
        std::iota(pieceOf_.begin(), pieceOf_.end(), 0u);
        for (std::size_t t = 0; t < count; ++t) std::copy_n(&triangles_[3 * t], 3, &pieceVertices_[t * maxPieceVertices]);
        for (const Shared& edge : shared) {
            const std::uint32_t p = find(edge.t), q = find(edge.s), u = edge.u, v = edge.v;
            if (p == q) continue;
            const std::uint32_t* P = &pieceVertices_[p * maxPieceVertices];
            const std::uint32_t* Q = &pieceVertices_[q * maxPieceVertices];
            const std::size_t np = pieceSize_[p], nq = pieceSize_[q];
            if (np + nq - 2 > maxPieceVertices) continue;
            std::size_t i = 0, j = 0;
            while (i < np && !(P[i] == u && P[(i + 1) % np] == v)) ++i;
            while (j < nq && !(Q[j] == v && Q[(j + 1) % nq] == u)) ++j;
            if (i == np || j == nq) continue;
            // From v round P to u, then on round Q to the vertex before v.
            std::size_t size = 0;
            for (std::size_t k = 1; k <= np; ++k) merged[size++] = P[(i + k) % np];
            for (std::size_t k = 2; k < nq; ++k) merged[size++] = Q[(j + k) % nq];
            const std::uint32_t beforeU = P[(i + np - 1) % np], afterU = Q[(j + 2) % nq];
            const std::uint32_t beforeV = Q[(j + nq - 1) % nq], afterV = P[(i + 2) % np];
            if (!inSpace &&
                (turn(node(beforeU), node(u), node(afterU)) < 0 || turn(node(beforeV), node(v), node(afterV)) < 0))
                continue;
            for (std::size_t k = 0; k < size; ++k) nodes[k] = node(merged[k]);
            const std::span<const std::uint32_t> piece(nodes, size);
            if (inSpace && !convexInSpace(piece)) continue;
            bool twice = false;
            for (std::size_t x = 0; x < size && !twice; ++x)
                for (std::size_t y = x + 1; y < size && !twice; ++y) twice = nodes[x] == nodes[y];
            if (twice || !accepted(piece)) continue;
            std::copy_n(merged, size, &pieceVertices_[p * maxPieceVertices]);
            pieceSize_[p] = static_cast<std::uint8_t>(size);
            pieceOf_[q] = p;
        }
        pieces.clear();
        for (std::uint32_t t = 0; t < count; ++t) {
            if (pieceOf_[t] != t) continue;
            for (std::size_t k = 0; k < pieceSize_[t]; ++k) nodes[k] = node(pieceVertices_[t * maxPieceVertices + k]);
            pieces.add(std::span<const std::uint32_t>(nodes, pieceSize_[t]));
        }
    };
    PolygonPieces& shortFirst = scratchPieces_;
    PolygonPieces& longFirst = mergeScratch_;
    std::stable_sort(shared.begin(), shared.end(), [](const Shared& x, const Shared& y) { return x.length2 < y.length2; });
    mergeAll(shortFirst);
    std::reverse(shared.begin(), shared.end());
    mergeAll(longFirst);
    const PolygonPieces& best = longFirst.count() < shortFirst.count() ? longFirst : shortFirst;
    for (std::size_t k = 0; k < best.count(); ++k) out.add(best.piece(k));
}

// Every corner turns the same way about the piece's Newell normal, up to the tolerance.
bool ConvexSplitter::convexInSpace(std::span<const std::uint32_t> piece) const {
    const std::size_t n = piece.size();
    const auto point = [&](std::size_t i) { return pointAt(polygon_, piece[i % n]); };
    const XYZ normal = normalized(newellOf(n, point));
    for (std::size_t i = 0; i < n; ++i) {
        const XYZ a = point(i), b = point(i + 1), c = point(i + 2);
        if (dot(cross(b - a, c - b), normal) < -tol_ * length(c - a)) return false;
    }
    return true;
}

// ---- The fewest pieces of a small face ----

// The fewest convex pieces of a small simple loop: a reflex corner of a part
// must be the end of some diagonal, so trying every diagonal from its first
// reflex corner, and the same for both sides, finds them; a convex part that
// the rules refuse is tried along each of its own diagonals. The sides are
// subsets of the loop's corners, each looked at once.
bool ConvexSplitter::exactSplit(std::span<const std::uint32_t> part, PolygonPieces& out) {
    const std::size_t m = part.size();
    exactPart_.assign(part.begin(), part.end());
    exactCount_.assign(std::size_t{1} << m, unknown);
    exactChoice_.assign(std::size_t{1} << m, noChoice);
    diagonalState_.assign(m * m, unknown);
    const std::uint32_t all = (std::uint32_t{1} << m) - 1;
    if (exactCount(all) >= impossible) return false;
    emitExact(all, out);
    return true;
}

std::size_t ConvexSplitter::cornersOf(std::uint32_t mask, std::uint32_t* corners, std::uint8_t* at) const {
    std::size_t count = 0;
    for (std::size_t i = 0; i < exactPart_.size(); ++i)
        if (mask & (1u << i)) {
            corners[count] = exactPart_[i];
            at[count++] = static_cast<std::uint8_t>(i);
        }
    return count;
}

int ConvexSplitter::exactCount(std::uint32_t mask) {
    if (exactCount_[mask] != unknown) return exactCount_[mask];
    const std::size_t m = exactPart_.size();
    std::uint32_t sub[exactLimit];
    std::uint8_t at[exactLimit];
    const std::size_t count = cornersOf(mask, sub, at);
    const std::span<const std::uint32_t> corners(sub, count);
    int best = impossible;
    std::uint8_t choice = noChoice;
    const auto tryDiagonal = [&](std::size_t i, std::size_t j) {
        const std::size_t a = std::min(at[i], at[j]), b = std::max(at[i], at[j]);
        // The corners from a to b, and from b round to a.
        const std::uint32_t between = ((std::uint32_t{2} << b) - 1) & ~((std::uint32_t{1} << a) - 1);
        const std::uint32_t ends = (1u << a) | (1u << b);
        const int left = exactCount(mask & between);
        if (left >= impossible) return;
        const int right = exactCount((mask & ~between) | ends);
        if (right < impossible && left + right < best) {
            best = left + right;
            choice = static_cast<std::uint8_t>(16 * a + b);
        }
    };
    std::size_t r = 0;
    if (reflexCount(corners, &r) == 0) {
        if (isSimple(corners)) {
            if (accepted(corners)) {
                best = 1;
            } else {
                for (std::size_t i = 0; i < count; ++i)
                    for (std::size_t j = i + 2; j < count; ++j) {
                        if (i == 0 && j == count - 1) continue;
                        bool areaA = false, areaB = false;
                        for (std::size_t x = 0; x < count; ++x) {
                            if (x == i || x == j) continue;
                            (x > i && x < j ? areaA : areaB) |= turn(sub[i], sub[x], sub[j]) != 0;
                        }
                        if (areaA && areaB) tryDiagonal(i, j);
                    }
            }
        }
    } else {
        for (std::size_t j = 0; j < count; ++j) {
            if (j == r || j == (r + 1) % count || j == (r + count - 1) % count) continue;
            const std::size_t a = std::min(at[r], at[j]), b = std::max(at[r], at[j]);
            std::uint8_t& state = diagonalState_[a * m + b];
            if (state == unknown) state = isDiagonal(exactPart_, a, b) ? 1 : 2;
            if (state == 1 && inCone(corners, r, j) && inCone(corners, j, r)) tryDiagonal(r, j);
        }
    }
    exactCount_[mask] = static_cast<std::uint8_t>(best);
    exactChoice_[mask] = choice;
    return best;
}

void ConvexSplitter::emitExact(std::uint32_t mask, PolygonPieces& out) {
    const std::uint8_t choice = exactChoice_[mask];
    if (choice == noChoice) {
        std::uint32_t sub[exactLimit];
        std::uint8_t at[exactLimit];
        out.add(std::span<const std::uint32_t>(sub, cornersOf(mask, sub, at)));
        return;
    }
    const std::size_t a = choice / 16, b = choice % 16;
    const std::uint32_t between = ((std::uint32_t{2} << b) - 1) & ~((std::uint32_t{1} << a) - 1);
    emitExact(mask & between, out);
    emitExact((mask & ~between) | (1u << a) | (1u << b), out);
}

bool ConvexSplitter::isDiagonal(std::span<const std::uint32_t> part, std::size_t a, std::size_t b) const {
    const std::size_t n = part.size();
    const FlatPoint s = flat_[part[a]], e = flat_[part[b]];
    // A diagonal of zero length joins two copies of one point.
    if (near(part[a], part[b])) return false;
    if (!inCone(part, a, b) || !inCone(part, b, a)) return false;
    const double dx = e.x - s.x, dy = e.y - s.y, length2 = dx * dx + dy * dy, length = std::sqrt(length2);
    for (std::size_t k = 0; k < n; ++k) {
        const FlatPoint p = flat_[part[k]];
        if (properlyCross(s, e, p, flat_[part[k + 1 == n ? 0 : k + 1]])) return false;
        // Through another vertex, up to the tolerance: the pieces would hide it in an edge.
        if (k == a || k == b) continue;
        const double wx = p.x - s.x, wy = p.y - s.y, along = dx * wx + dy * wy;
        if (along > 0 && along < length2 && std::fabs(dx * wy - dy * wx) <= tol_ * length) return false;
    }
    // Its middle inside the part: a ray from it crosses the outline an odd number of times.
    const FlatPoint m{s.x + dx * 0.5, s.y + dy * 0.5};
    const bool alongY = std::fabs(dx) >= std::fabs(dy);
    const auto along = [&](FlatPoint p) { return alongY ? p.y : p.x; };
    const auto across = [&](FlatPoint p) { return alongY ? p.x : p.y; };
    bool inside = false;
    for (std::size_t k = 0; k < n; ++k) {
        const FlatPoint p = flat_[part[k]], q = flat_[part[(k + 1) % n]];
        if ((across(p) > across(m)) == (across(q) > across(m))) continue;
        const double hit = along(p) + (across(m) - across(p)) * (along(q) - along(p)) / (across(q) - across(p));
        if (hit > along(m)) inside = !inside;
    }
    return inside;
}

// The segment from vertex a towards b leaves a into the part's inside:
// between its two edges when a is convex, outside the outer wedge when reflex.
bool ConvexSplitter::inCone(std::span<const std::uint32_t> part, std::size_t a, std::size_t b) const {
    const std::size_t n = part.size();
    const FlatPoint p = flat_[part[a]], to = flat_[part[b]];
    const FlatPoint before = flat_[part[(a + n - 1) % n]], after = flat_[part[(a + 1) % n]];
    const auto left = [&](FlatPoint u, FlatPoint v, FlatPoint w) { return twiceArea(u, v, w) > 0; };
    const auto leftOn = [&](FlatPoint u, FlatPoint v, FlatPoint w) { return twiceArea(u, v, w) >= 0; };
    if (leftOn(p, after, before)) return left(p, to, before) && left(to, p, after);
    return !(leftOn(p, to, after) && leftOn(to, p, before));
}

// Whether a small part without reflex corners is a simple polygon: it may
// still wind round twice (from five corners on; it turns by 4 pi, not 2 pi),
// or pass one point twice.
bool ConvexSplitter::isSimple(std::span<const std::uint32_t> part) const {
    const std::size_t n = part.size();
    if (n < 4) return true;
    double turning = 0;
    for (std::size_t i = 0; n >= 5 && i < n; ++i) {
        const FlatPoint p = flat_[part[i]], q = flat_[part[(i + 1) % n]], r = flat_[part[(i + 2) % n]];
        const double ax = q.x - p.x, ay = q.y - p.y, bx = r.x - q.x, by = r.y - q.y;
        turning += std::atan2(ax * by - ay * bx, ax * bx + ay * by);
    }
    if (std::fabs(turning) > 3 * std::numbers::pi) return false;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            if (near(part[i], part[j])) return false;
    return true;
}

}  // namespace morv
