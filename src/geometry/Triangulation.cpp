#include "geometry/Triangulation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <numeric>
#include <set>
#include <unordered_map>

namespace morv {
namespace {

// A face bent so far that it overlaps itself seen along its normal is spanned
// by an O(n^3) search; beyond this many points it is left out.
constexpr std::size_t mostBentPoints = 200;

bool sweepAbove(const std::vector<FlatPoint>& points, std::uint32_t a, std::uint32_t b) {
    const FlatPoint p = points[a], q = points[b];
    if (p.y != q.y) return p.y > q.y;
    if (p.x != q.x) return p.x < q.x;
    return a < b;
}

// The sweep vertices of the loops and their points.
void placeVertices(const FlatFace& face, const std::vector<Loop>& loops, bool separateShared, Triangulation& out) {
    auto& sweep = out.vertices;
    sweep.clear();
    for (const Loop& loop : loops) {
        const auto base = static_cast<std::uint32_t>(sweep.size()), size = static_cast<std::uint32_t>(loop.size());
        for (std::uint32_t i = 0; i < size; ++i)
            sweep.push_back({loop[i], base + (i + size - 1) % size, base + (i + 1) % size});
    }
    const auto count = static_cast<std::uint32_t>(sweep.size());
    out.points.resize(count);
    std::unordered_map<std::uint32_t, std::uint32_t> uses;
    if (separateShared)
        for (const SweepVertex& v : sweep) ++uses[v.node];
    for (std::uint32_t v = 0; v < count; ++v) {
        const FlatPoint p = face.flat[sweep[v].node];
        out.points[v] = p;
        if (!separateShared || uses[sweep[v].node] < 2) continue;
        const FlatPoint before = face.flat[sweep[sweep[v].prev].node], after = face.flat[sweep[sweep[v].next].node];
        const double l1 = std::hypot(before.x - p.x, before.y - p.y), l2 = std::hypot(after.x - p.x, after.y - p.y);
        double bx = (before.x - p.x) / l1 + (after.x - p.x) / l2, by = (before.y - p.y) / l1 + (after.y - p.y) / l2;
        if (std::hypot(bx, by) < 1e-3) {
            bx = -(after.y - before.y), by = after.x - before.x;
        } else if (twiceArea(before, p, after) < 0) {
            bx = -bx, by = -by;
        }
        const double step = face.tol / 16 / std::hypot(bx, by);
        out.points[v] = {p.x + bx * step, p.y + by * step};
    }
}

// The status of the sweep: edges with the region on their right (each named
// by its upper vertex, running down to the next), from left to right.
struct Probe {
    FlatPoint p;
};
struct LeftToRight {
    using is_transparent = void;
    const Triangulation* tri;
    double east(std::uint32_t e, FlatPoint p) const {
        return twiceArea(tri->points[e], tri->points[tri->vertices[e].next], p);
    }
    bool operator()(std::uint32_t e, std::uint32_t f) const {
        if (e == f) return false;
        const FlatPoint ue = tri->points[e], le = tri->points[tri->vertices[e].next];
        const FlatPoint uf = tri->points[f], lf = tri->points[tri->vertices[f].next];
        if (sweepAbove(tri->points, f, e)) {
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

// The classic sweep from top to bottom: each vertex that opens or closes a
// part inside the region (a split or merge vertex) gets a diagonal to the
// vertex last seen beside it.
class MonotoneSweep {
public:
    MonotoneSweep(const Triangulation& tri, SweepWorkspace& work)
        : tri_(tri), work_(work), status_(LeftToRight{&tri}), where_(tri.vertices.size(), status_.end()),
          merge_(tri.vertices.size(), false) {
        work.helper.assign(tri.vertices.size(), 0);
        work.diagonals.clear();
    }

    bool visit(std::uint32_t v) {
        const std::uint32_t p = tri_.vertices[v].prev, q = tri_.vertices[v].next;
        const bool pBelow = sweepAbove(tri_.points, v, p), qBelow = sweepAbove(tri_.points, v, q);
        const bool convex = twiceArea(tri_.points[p], tri_.points[v], tri_.points[q]) >= 0;
        if (pBelow && qBelow) {
            if (!convex) {  // split: joined to the vertex last seen beside it
                const std::int64_t j = leftOf(v);
                if (j < 0) {
                    insert(v);
                    return false;
                }
                work_.diagonals.push_back({v, work_.helper[static_cast<std::size_t>(j)]});
                work_.helper[static_cast<std::size_t>(j)] = v;
            }
            insert(v);  // start, or split
            return true;
        }
        if (!pBelow && !qBelow) {  // end, or merge
            if (!closeEdge(v, p)) return false;
            if (convex) return true;
            merge_[v] = true;
            return passLeft(v);
        }
        if (!pBelow) {  // on a left boundary: the region lies to the right
            const bool ok = closeEdge(v, p);
            insert(v);
            return ok;
        }
        return passLeft(v);
    }

private:
    std::int64_t leftOf(std::uint32_t v) const {
        const auto it = status_.lower_bound(Probe{tri_.points[v]});
        if (it == status_.begin()) return -1;
        return *std::prev(it);
    }
    void insert(std::uint32_t v) {
        where_[v] = status_.insert(v).first;
        work_.helper[v] = v;
    }
    bool closeEdge(std::uint32_t v, std::uint32_t e) {
        if (where_[e] == status_.end()) return false;
        if (merge_[work_.helper[e]]) work_.diagonals.push_back({v, work_.helper[e]});
        status_.erase(where_[e]);
        where_[e] = status_.end();
        return true;
    }
    bool passLeft(std::uint32_t v) {
        const std::int64_t j = leftOf(v);
        if (j < 0) return false;
        const auto e = static_cast<std::uint32_t>(j);
        if (merge_[work_.helper[e]]) work_.diagonals.push_back({v, work_.helper[e]});
        work_.helper[e] = v;
        return true;
    }

    const Triangulation& tri_;
    SweepWorkspace& work_;
    std::set<std::uint32_t, LeftToRight> status_;
    std::vector<std::set<std::uint32_t, LeftToRight>::iterator> where_;
    std::vector<bool> merge_;
};

// A monotone part (sweep vertices, counter-clockwise) into triangles: its two
// chains merged from top to bottom, each vertex joined to the earlier ones
// that it sees, which a stack keeps.
void triangulateMonotone(std::span<const std::uint32_t> part, Triangulation& tri, SweepWorkspace& work) {
    const std::size_t k = part.size();
    if (k < 3) return;
    const auto pt = [&](std::uint32_t v) { return tri.points[v]; };
    const auto above = [&](std::uint32_t a, std::uint32_t b) { return sweepAbove(tri.points, a, b); };
    const auto emit = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c) {
        if (twiceArea(pt(a), pt(b), pt(c)) < 0) std::swap(b, c);
        tri.triangles.insert(tri.triangles.end(), {a, b, c});
    };
    std::size_t top = 0, bottom = 0;
    for (std::size_t i = 1; i < k; ++i) {
        if (above(part[i], part[top])) top = i;
        if (above(part[bottom], part[i])) bottom = i;
    }
    // From the top, forward runs down the left chain and backward down the right.
    auto& chain = work.chain;
    chain.clear();
    chain.push_back({part[top], true});
    std::size_t l = (top + 1) % k, r = (top + k - 1) % k;
    while (l != bottom || r != bottom) {
        if (r == bottom || (l != bottom && above(part[l], part[r]))) {
            chain.push_back({part[l], true});
            l = (l + 1) % k;
        } else {
            chain.push_back({part[r], false});
            r = (r + k - 1) % k;
        }
    }
    chain.push_back({part[bottom], !chain.back().second});
    auto& stack = work.stack;
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

// The monotone parts: walk the loops' edges and both sides of every
// diagonal, at each vertex turning onto the first edge clockwise from the
// one it came by, which keeps the part on the left; each part into triangles.
bool triangulateParts(Triangulation& tri, SweepWorkspace& work) {
    const auto count = static_cast<std::uint32_t>(tri.vertices.size());
    const auto& diagonals = work.diagonals;
    const auto halfEdges = static_cast<std::uint32_t>(count + 2 * diagonals.size());
    const auto origin = [&](std::uint32_t h) {
        if (h < count) return h;
        const auto& d = diagonals[(h - count) / 2];
        return (h - count) % 2 == 0 ? d.first : d.second;
    };
    const auto target = [&](std::uint32_t h) {
        if (h < count) return tri.vertices[h].next;
        const auto& d = diagonals[(h - count) / 2];
        return (h - count) % 2 == 0 ? d.second : d.first;
    };
    std::vector<std::pair<std::uint32_t, std::uint32_t>> extra;  // (vertex, half-edge leaving it along a diagonal)
    for (std::uint32_t h = count; h < halfEdges; ++h) extra.push_back({origin(h), h});
    std::sort(extra.begin(), extra.end());
    const auto next = [&](std::uint32_t h) {
        const std::uint32_t v = target(h);
        auto it = std::lower_bound(extra.begin(), extra.end(), std::pair<std::uint32_t, std::uint32_t>{v, 0});
        if (it == extra.end() || it->first != v) return v;
        const FlatPoint o = tri.points[v], back = tri.points[origin(h)];
        const auto clockwise = [&](std::uint32_t out) {
            const FlatPoint to = tri.points[target(out)];
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
    tri.triangles.clear();
    std::vector<bool> visited(halfEdges, false);
    Loop& part = work.part;
    for (std::uint32_t h = 0; h < halfEdges; ++h) {
        if (visited[h]) continue;
        part.clear();
        std::uint32_t x = h;
        while (!visited[x]) {
            visited[x] = true;
            part.push_back(origin(x));
            x = next(x);
        }
        if (x != h) return false;  // the loops did not bound one region as they should
        triangulateMonotone(part, tri, work);
    }
    return true;
}

}  // namespace

bool triangulate(const FlatFace& face, const std::vector<Loop>& loops, bool separateShared, Triangulation& out,
                 SweepWorkspace& work) {
    placeVertices(face, loops, separateShared, out);
    const auto count = static_cast<std::uint32_t>(out.vertices.size());
    work.order.resize(count);
    std::iota(work.order.begin(), work.order.end(), 0u);
    std::sort(work.order.begin(), work.order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return sweepAbove(out.points, a, b); });
    MonotoneSweep sweep(out, work);
    for (std::uint32_t v : work.order)
        if (!sweep.visit(v)) return false;
    return triangulateParts(out, work);
}

namespace {

// w lies inside the triangle a, b, c (counter-clockwise) or on its edges, up to the tolerance.
bool inEar(FlatPoint a, FlatPoint b, FlatPoint c, FlatPoint w, double tol) {
    const auto leftOf = [&](FlatPoint p, FlatPoint q) { return twiceArea(p, q, w) >= -tol * std::hypot(q.x - p.x, q.y - p.y); };
    return leftOf(a, b) && leftOf(b, c) && leftOf(c, a);
}

}  // namespace

bool clipEars(const FlatFace& face, const Loop& loop, Triangulation& out) {
    const auto n = static_cast<std::uint32_t>(loop.size());
    out.vertices.resize(n);
    out.points.resize(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        out.vertices[i] = {loop[i], (i + n - 1) % n, (i + 1) % n};
        out.points[i] = face.flat[loop[i]];
    }
    out.triangles.clear();
    auto& v = out.vertices;
    const auto turnAt = [&](std::uint32_t i) { return face.turn(v[v[i].prev].node, v[i].node, v[v[i].next].node); };
    std::vector<bool> gone(n, false);
    // Every corner left is tested, not only those that turn right: with
    // corners on lines up to the tolerance, that shortcut is not safe.
    const auto isEar = [&](std::uint32_t i) {
        const std::uint32_t p = v[i].prev, q = v[i].next;
        for (std::uint32_t w = v[q].next; w != p; w = v[w].next) {
            if (w == i || w == p || w == q || face.near(v[w].node, v[p].node) ||
                face.near(v[w].node, v[q].node) || face.near(v[w].node, v[i].node))
                continue;
            if (inEar(out.points[p], out.points[i], out.points[q], out.points[w], face.tol)) return false;
        }
        return true;
    };
    std::uint32_t left = n, i = 0, tried = 0;
    while (left > 3) {
        if (tried > left) return false;  // a whole round without an ear
        const int t = turnAt(i);
        const std::uint32_t p = v[i].prev, q = v[i].next;
        if (t == 0 || (t > 0 && isEar(i))) {
            if (t > 0) out.triangles.insert(out.triangles.end(), {p, i, q});
            gone[i] = true;
            v[p].next = q, v[q].prev = p;
            --left, tried = 0;
            i = p;
            continue;
        }
        ++tried;
        i = q;
    }
    if (turnAt(i) > 0) out.triangles.insert(out.triangles.end(), {v[i].prev, i, v[i].next});
    return !out.triangles.empty();
}

// As near as its points allow to the surface a soap film would take.
bool spanBentFace(const FlatFace& face, Triangulation& out) {
    const auto polygon = face.polygon;
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
    out.triangles.clear();
    std::vector<std::pair<std::size_t, std::size_t>> todo{{0, n - 1}};
    while (!todo.empty()) {
        const auto [i, j] = todo.back();
        todo.pop_back();
        if (j < i + 2) continue;
        const std::size_t k = apex[i * n + j];
        if (area(i, k, j) > face.tol * extent)
            out.triangles.insert(out.triangles.end(), {static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(k),
                                                       static_cast<std::uint32_t>(j)});
        todo.push_back({i, k});
        todo.push_back({k, j});
    }
    if (out.triangles.empty()) return false;
    out.vertices.resize(n);
    for (std::uint32_t v = 0; v < n; ++v) out.vertices[v].node = v;
    return true;
}

}  // namespace morv
