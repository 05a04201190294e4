#include "geometry/Contacts.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <set>
#include <unordered_map>

namespace morv {
namespace {

// The complexity bound for outlines that touch or cross themselves: pairs of
// edges tested, and contacts found, per edge of the outline (plus a fixed
// allowance for the pairs). No face of a real object comes near it.
constexpr std::size_t pairTestsPerEdge = 4096, contactsPerEdge = 8;
constexpr std::size_t basePairTests = std::size_t{1} << 24;

// Up to this many points an outline is tested for contacts pair by pair.
constexpr std::size_t smallOutline = 48;

using Edges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// Edges e and f of the outline (not neighbours) cross, or one's end lies on the other.
bool touchesOrCrosses(const FlatFace& face, std::span<const std::uint32_t> outline, std::size_t e, std::size_t f) {
    const std::size_t k = outline.size();
    if ((e + 1) % k == f || (f + 1) % k == e) return false;
    const std::uint32_t a = outline[e], b = outline[(e + 1) % k], c = outline[f], d = outline[(f + 1) % k];
    double t;
    return properlyCross(face.flat[a], face.flat[b], face.flat[c], face.flat[d]) || face.near(a, c) ||
           face.near(a, d) || face.near(b, c) || face.near(b, d) || face.onSegment(a, b, c, &t) ||
           face.onSegment(a, b, d, &t) || face.onSegment(c, d, a, &t) || face.onSegment(c, d, b, &t);
}

// Small outlines: every pair of edges whose boxes meet, which costs less than the sweep's tree.
bool smallOutlineIsSimple(const FlatFace& face, std::span<const std::uint32_t> outline) {
    const std::size_t k = outline.size();
    const double tol = face.tol;
    for (std::size_t e = 0; e < k; ++e) {
        const FlatPoint a = face.flat[outline[e]], b = face.flat[outline[(e + 1) % k]];
        for (std::size_t f = e + 2; f < k; ++f) {
            const FlatPoint c = face.flat[outline[f]], d = face.flat[outline[(f + 1) % k]];
            if (std::min(c.x, d.x) > std::max(a.x, b.x) + tol || std::min(a.x, b.x) > std::max(c.x, d.x) + tol ||
                std::min(c.y, d.y) > std::max(a.y, b.y) + tol || std::min(a.y, b.y) > std::max(c.y, d.y) + tol)
                continue;
            if (touchesOrCrosses(face, outline, e, f)) return false;
        }
    }
    return true;
}

}  // namespace

// A sweep from left to right keeps the edges it meets in their order from
// bottom to top, and only edges that become neighbours there are tested, so
// that a simple outline costs O(n log n) and the first contact stops it.
bool outlineIsSimple(const FlatFace& face, std::span<const std::uint32_t> outline, std::vector<std::uint32_t>& events) {
    const std::size_t k = outline.size();
    if (k <= smallOutline) return smallOutlineIsSimple(face, outline);
    const auto end = [&](std::size_t e, bool left) {
        const FlatPoint p = face.flat[outline[e]], q = face.flat[outline[(e + 1) % k]];
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
    events.resize(2 * k);
    std::iota(events.begin(), events.end(), 0u);
    std::sort(events.begin(), events.end(), [&](std::uint32_t x, std::uint32_t y) {
        const FlatPoint p = end(x / 2, x % 2 == 0), q = end(y / 2, y % 2 == 0);
        if (p.x != q.x || p.y != q.y) return lexLess(p, q);
        return x % 2 != y % 2 ? x % 2 == 0 : x < y;
    });
    const auto meet = [&](std::size_t e, std::size_t f) { return touchesOrCrosses(face, outline, e, f); };
    for (std::uint32_t event : events) {
        const std::uint32_t e = event / 2;
        if (event % 2 == 0) {
            const auto it = status.insert(e).first;
            where[e] = it;
            if (it != status.begin() && meet(*std::prev(it), e)) return false;
            if (const auto above = std::next(it); above != status.end() && meet(*above, e)) return false;
        } else {
            const auto it = where[e];
            const auto above = std::next(it);
            if (it != status.begin() && above != status.end() && meet(*std::prev(it), *above)) return false;
            status.erase(it);
        }
    }
    return true;
}

std::uint32_t ContactCut::root(std::uint32_t node) {
    while (parent[node] != node) node = parent[node] = parent[parent[node]];
    return node;
}

namespace {

// A point of the outline (or an added one) on edge `edge`, at t along it.
struct OnEdge {
    std::uint32_t edge;
    double t;
    std::uint32_t node;
};

// An edge between the points that remain after the contacts, run `times` times.
struct NetEdge {
    std::uint32_t from, to;
    int times;
};

void unite(ContactCut& cut, std::uint32_t a, std::uint32_t b) {
    a = cut.root(a), b = cut.root(b);
    if (a != b) cut.parent[std::max(a, b)] = std::min(a, b);
}

// Every pair of edges that may meet: points closer than the tolerance become
// one, an edge with another's end on it gets that point, crossing edges get
// a new point each. False beyond the complexity bound.
bool findContacts(FlatFace& face, std::span<const std::uint32_t> outline, ContactCut& cut, std::vector<OnEdge>& onEdges) {
    const std::size_t k = outline.size();
    const auto n = static_cast<std::uint32_t>(face.polygon.size());
    const auto at = [&](std::size_t e) { return outline[e % k]; };
    const auto& flat = face.flat;
    // Edges by their left end; an edge meets only those that start before its right end.
    std::vector<std::pair<double, std::uint32_t>> lefts(k);
    for (std::uint32_t e = 0; e < k; ++e) lefts[e] = {std::min(flat[at(e)].x, flat[at(e + 1)].x), e};
    std::sort(lefts.begin(), lefts.end());
    const std::size_t budget = basePairTests + pairTestsPerEdge * k;
    std::size_t tests = 0;
    for (std::size_t i = 0; i < k; ++i) {
        const std::uint32_t e = lefts[i].second, a = at(e), b = at(e + 1);
        const double right = std::max(flat[a].x, flat[b].x);
        for (std::size_t j = i + 1; j < k && lefts[j].first <= right + face.tol; ++j) {
            if (++tests > budget) return false;
            const std::uint32_t f = lefts[j].second, c = at(f), d = at(f + 1);
            if ((e + 1) % k == f || (f + 1) % k == e) continue;
            if (std::min(flat[c].y, flat[d].y) > std::max(flat[a].y, flat[b].y) + face.tol ||
                std::min(flat[a].y, flat[b].y) > std::max(flat[c].y, flat[d].y) + face.tol)
                continue;
            bool touched = false;
            const auto endOn = [&](std::uint32_t x, std::uint32_t s0, std::uint32_t s1, std::uint32_t edge) {
                double t;
                if (face.near(x, s0)) {
                    unite(cut, x, s0);
                } else if (face.near(x, s1)) {
                    unite(cut, x, s1);
                } else if (face.onSegment(s0, s1, x, &t)) {
                    onEdges.push_back({edge, t, x});
                } else {
                    return;
                }
                touched = true;
            };
            endOn(c, a, b, e), endOn(d, a, b, e), endOn(a, c, d, f), endOn(b, c, d, f);
            if (!touched && properlyCross(flat[a], flat[b], flat[c], flat[d])) {
                const FlatPoint pa = flat[a], pb = flat[b], pc = flat[c], pd = flat[d];
                const double ca = twiceArea(pc, pd, pa), cb = twiceArea(pc, pd, pb);
                const double cc = twiceArea(pa, pb, pc), cd = twiceArea(pa, pb, pd);
                const double te = ca / (ca - cb), tf = cc / (cc - cd);
                const auto id = static_cast<std::uint32_t>(n + face.added.size());
                const XYZ& p = face.polygon[a];
                face.added.push_back({a, b, te, p + te * (face.polygon[b] - p)});
                face.flat.push_back({pa.x + te * (pb.x - pa.x), pa.y + te * (pb.y - pa.y)});
                cut.parent.push_back(id);
                onEdges.push_back({e, te, id});
                onEdges.push_back({f, tf, id});
            }
            if (onEdges.size() > 2 * contactsPerEdge * k) return false;
        }
    }
    return true;
}

// Crossings at one place (three edges or more through one point, or a
// crossing at another edge's end) are one point.
void uniteCrossings(const FlatFace& face, std::span<const std::uint32_t> outline, ContactCut& cut) {
    if (face.added.empty()) return;
    const auto n = static_cast<std::uint32_t>(face.polygon.size());
    std::vector<std::pair<double, std::uint32_t>> byX;
    for (std::uint32_t x : outline) byX.push_back({face.flat[x].x, x});
    for (std::uint32_t i = 0; i < face.added.size(); ++i) byX.push_back({face.flat[n + i].x, n + i});
    std::sort(byX.begin(), byX.end());
    for (std::size_t i = 0; i < byX.size(); ++i)
        for (std::size_t j = i + 1; j < byX.size() && byX[j].first - byX[i].first <= face.tol; ++j)
            if ((byX[i].second >= n || byX[j].second >= n) && face.near(byX[i].second, byX[j].second))
                unite(cut, byX[i].second, byX[j].second);
}

// The edges between the points that remain, counted +1 from the lower
// number to the higher and -1 back; edges along one line cancel or add up.
std::vector<NetEdge> netEdges(std::span<const std::uint32_t> outline, std::vector<OnEdge>& onEdges, ContactCut& cut) {
    const std::size_t k = outline.size();
    std::sort(onEdges.begin(), onEdges.end(),
              [](const OnEdge& x, const OnEdge& y) { return x.edge != y.edge ? x.edge < y.edge : x.t < y.t; });
    std::unordered_map<std::uint64_t, int> net;
    net.reserve(k + onEdges.size());
    const auto count = [&](std::uint32_t u, std::uint32_t v) {
        if (u == v) return;
        net[(std::uint64_t{std::min(u, v)} << 32) | std::max(u, v)] += u < v ? 1 : -1;
    };
    for (std::size_t e = 0, c = 0; e < k; ++e) {
        std::uint32_t previous = cut.root(outline[e]);
        for (; c < onEdges.size() && onEdges[c].edge == e; ++c) {
            const std::uint32_t node = cut.root(onEdges[c].node);
            count(previous, node);
            previous = node;
        }
        count(previous, cut.root(outline[(e + 1) % k]));
    }
    std::vector<NetEdge> edges;
    for (const auto& [key, times] : net) {
        if (times == 0) continue;
        const auto low = static_cast<std::uint32_t>(key >> 32), high = static_cast<std::uint32_t>(key);
        edges.push_back(times > 0 ? NetEdge{low, high, times} : NetEdge{high, low, -times});
    }
    std::sort(edges.begin(), edges.end(), [](const NetEdge& x, const NetEdge& y) {
        return x.from != y.from ? x.from < y.from : x.to < y.to;
    });
    return edges;
}

// The sides of the edges: which have the part facing the outline's way on
// their left (frontEdges) and which the part facing the other way (backEdges).
struct Sides {
    Edges frontEdges, backEdges;
    bool retraced = false;
};

// One chain, judged by one point just left of the middle of its longest edge:
// crossing the chain from right to left adds its times to the winding number.
void judgeChain(const FlatFace& face, std::span<const std::uint32_t> outline, const std::vector<NetEdge>& edges,
                std::span<const std::uint32_t> chain, Sides& sides) {
    std::uint32_t longest = chain[0];
    double longestLength = -1;
    for (std::uint32_t i : chain) {
        const FlatPoint p = face.flat[edges[i].from], q = face.flat[edges[i].to];
        const double l = std::hypot(q.x - p.x, q.y - p.y);
        if (l > longestLength) longestLength = l, longest = i;
    }
    const NetEdge& e = edges[longest];
    const FlatPoint p = face.flat[e.from], q = face.flat[e.to];
    const double step = 0.5 * face.tol / longestLength;
    const int wl = face.windingAt(outline, {(p.x + q.x) / 2 - (q.y - p.y) * step, (p.y + q.y) / 2 + (q.x - p.x) * step});
    const int wr = wl - e.times;
    if (e.times >= 2 && !(wl > 0 && wr < 0) && !(wl < 0 && wr > 0)) sides.retraced = true;
    for (const auto& [leftRight, list] : {std::pair{std::pair{wl > 0, wr > 0}, &sides.frontEdges},
                                          std::pair{std::pair{wl < 0, wr < 0}, &sides.backEdges}}) {
        if (leftRight.first == leftRight.second) continue;
        for (std::uint32_t i : chain)
            list->push_back(leftRight.first ? std::pair{edges[i].from, edges[i].to} : std::pair{edges[i].to, edges[i].from});
    }
}

// Chains: runs of edges through points where nothing else meets, along which
// the winding numbers on either side stay the same; each is judged once.
// False beyond the complexity bound.
bool judgeChains(const FlatFace& face, std::span<const std::uint32_t> outline, const std::vector<NetEdge>& edges,
                 Sides& sides) {
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
    std::size_t judged = 0;
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
            if (++judged * outline.size() > basePairTests) return false;
            judgeChain(face, outline, edges, chain, sides);
        }
    }
    return true;
}

// Directed edges that have a region on their left, joined into loops: each
// edge is followed by the edge that leaves its end keeping most to the left,
// so that every corner of a loop holds one piece of the region, and loops
// that meet at a point touch there without crossing. A loop may pass a point
// twice (a hole that touches the outline). False when the edges do not close up.
bool walkIntoLoops(const FlatFace& face, Edges& edges, std::vector<Loop>& loops) {
    std::sort(edges.begin(), edges.end());
    const std::size_t count = edges.size();
    std::vector<std::uint32_t> next(count, UINT32_MAX);
    std::vector<bool> taken(count, false);
    for (std::size_t e = 0; e < count; ++e) {
        const auto [from, at] = edges[e];
        auto it = std::lower_bound(edges.begin(), edges.end(), std::pair<std::uint32_t, std::uint32_t>{at, 0});
        const FlatPoint p = face.flat[from], q = face.flat[at];
        double bestAngle = -10;
        for (; it != edges.end() && it->first == at; ++it) {
            const auto i = static_cast<std::size_t>(it - edges.begin());
            if (taken[i]) continue;
            const FlatPoint r = face.flat[it->second];
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

}  // namespace

// Points closer than the tolerance become one; an edge with another's end on
// it is cut there; crossing edges get a new point each. Edges along one line
// then cancel or add up; what remains is walked into loops that touch but
// never cross, keeping to the left at every meeting, and each loop is judged
// by the winding number on its two sides: it bounds the part that faces the
// outline's way where one side's winding is above zero and the other's is
// not, and likewise the part that faces the other way.
ContactResult cutAtContacts(FlatFace& face, std::span<const std::uint32_t> outline, ContactCut& cut) {
    cut.parent.resize(face.polygon.size());
    std::iota(cut.parent.begin(), cut.parent.end(), 0u);
    std::vector<OnEdge> onEdges;
    if (!findContacts(face, outline, cut, onEdges)) return ContactResult::TooComplex;
    uniteCrossings(face, outline, cut);
    const std::vector<NetEdge> edges = netEdges(outline, onEdges, cut);
    if (edges.empty()) return ContactResult::NoArea;
    Sides sides;
    if (!judgeChains(face, outline, edges, sides)) return ContactResult::TooComplex;
    if (sides.retraced) return ContactResult::Retraced;
    if (!walkIntoLoops(face, sides.frontEdges, cut.front) || !walkIntoLoops(face, sides.backEdges, cut.back))
        return ContactResult::TooComplex;
    return ContactResult::Cut;
}

// A piece takes the pass whose corner (the region's side of it, left of the
// outline for parts that face its way) contains the direction into the piece.
void choosePositions(const FlatFace& face, std::span<const std::uint32_t> outline, ContactCut& cut,
                     PolygonPieces& pieces) {
    const std::size_t k = outline.size(), n = face.polygon.size();
    std::vector<std::uint32_t> passes;  // the outline's indices whose point is passed more than once
    std::unordered_map<std::uint32_t, int> times;
    for (std::uint32_t x : outline) ++times[cut.root(x)];
    for (std::uint32_t i = 0; i < k; ++i)
        if (times[cut.root(outline[i])] > 1) passes.push_back(i);
    if (passes.empty()) return;
    const auto angleFrom = [](FlatPoint from, FlatPoint to) {  // counter-clockwise, in [0, 2 pi)
        const double a = std::atan2(from.x * to.y - from.y * to.x, from.x * to.x + from.y * to.y);
        return a < 0 ? a + 2 * std::numbers::pi : a;
    };
    const auto& flat = face.flat;
    for (std::size_t p = 0; p < pieces.count(); ++p) {
        const auto piece = pieces.piece(p);
        const bool facesBack = face.signedArea2(piece) < 0;
        FlatPoint centre{0, 0};
        for (std::uint32_t x : piece) centre = {centre.x + flat[x].x, centre.y + flat[x].y};
        centre = {centre.x / static_cast<double>(piece.size()), centre.y / static_cast<double>(piece.size())};
        for (std::size_t c = 0; c < piece.size(); ++c) {
            const std::uint32_t node = piece[c];
            if (node >= n) continue;
            const FlatPoint o = flat[node];
            const FlatPoint inward{centre.x - o.x, centre.y - o.y};
            for (std::uint32_t i : passes) {
                const std::uint32_t x = outline[i];
                if (cut.root(x) != node) continue;
                const FlatPoint before = flat[outline[(i + k - 1) % k]], after = flat[outline[(i + 1) % k]];
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

}  // namespace morv
