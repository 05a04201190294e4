#include "geometry/ExactSplit.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace morv {
namespace {

constexpr std::uint8_t unknown = 0, impossible = 255, noChoice = 255;

// The segment from vertex a towards b leaves a into the part's inside:
// between its two edges when a is convex, outside the outer wedge when reflex.
bool inCone(const FlatFace& face, std::span<const std::uint32_t> part, std::size_t a, std::size_t b) {
    const std::size_t n = part.size();
    const FlatPoint p = face.flat[part[a]], to = face.flat[part[b]];
    const FlatPoint before = face.flat[part[(a + n - 1) % n]], after = face.flat[part[(a + 1) % n]];
    const auto left = [&](FlatPoint u, FlatPoint v, FlatPoint w) { return twiceArea(u, v, w) > 0; };
    const auto leftOn = [&](FlatPoint u, FlatPoint v, FlatPoint w) { return twiceArea(u, v, w) >= 0; };
    if (leftOn(p, after, before)) return left(p, to, before) && left(to, p, after);
    return !(leftOn(p, to, after) && leftOn(to, p, before));
}

// Whether a small part without reflex corners is a simple polygon: it may
// still wind round twice (from five corners on; it turns by 4 pi, not 2 pi),
// or pass one point twice.
bool isSimple(const FlatFace& face, std::span<const std::uint32_t> part) {
    const std::size_t n = part.size();
    if (n < 4) return true;
    double turning = 0;
    for (std::size_t i = 0; n >= 5 && i < n; ++i) {
        const FlatPoint p = face.flat[part[i]], q = face.flat[part[(i + 1) % n]], r = face.flat[part[(i + 2) % n]];
        const double ax = q.x - p.x, ay = q.y - p.y, bx = r.x - q.x, by = r.y - q.y;
        turning += std::atan2(ax * by - ay * bx, ax * bx + ay * by);
    }
    if (std::fabs(turning) > 3 * std::numbers::pi) return false;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            if (face.near(part[i], part[j])) return false;
    return true;
}

// A reflex corner of a part must be the end of some diagonal, so trying
// every diagonal from its first reflex corner, and the same for both sides,
// finds the fewest pieces; a convex part that the rules refuse is tried along
// each of its own diagonals. The sides are subsets of the loop's corners,
// each looked at once.
class ExactSearch {
public:
    ExactSearch(const FlatFace& face, PieceCheck& check, ExactWorkspace& work) : face_(face), check_(check), work_(work) {}

    int count(std::uint32_t mask) {
        if (work_.count[mask] != unknown) return work_.count[mask];
        std::uint32_t sub[exactLimit];
        std::uint8_t at[exactLimit];
        const std::size_t size = cornersOf(mask, sub, at);
        const std::span<const std::uint32_t> corners(sub, size);
        Best best;
        std::size_t r = 0;
        if (face_.reflexCount(corners, &r) == 0)
            splitConvex(mask, corners, at, best);
        else
            splitAtReflex(mask, corners, at, r, best);
        work_.count[mask] = static_cast<std::uint8_t>(best.pieces);
        work_.choice[mask] = best.choice;
        return best.pieces;
    }

    void emit(std::uint32_t mask, PolygonPieces& out) const {
        const std::uint8_t choice = work_.choice[mask];
        if (choice == noChoice) {
            std::uint32_t sub[exactLimit];
            std::uint8_t at[exactLimit];
            out.add(std::span<const std::uint32_t>(sub, cornersOf(mask, sub, at)));
            return;
        }
        const std::size_t a = choice / 16, b = choice % 16;
        const std::uint32_t between = ((std::uint32_t{2} << b) - 1) & ~((std::uint32_t{1} << a) - 1);
        emit(mask & between, out);
        emit((mask & ~between) | (1u << a) | (1u << b), out);
    }

private:
    struct Best {
        int pieces = impossible;
        std::uint8_t choice = noChoice;
    };

    std::size_t cornersOf(std::uint32_t mask, std::uint32_t* corners, std::uint8_t* at) const {
        std::size_t count = 0;
        for (std::size_t i = 0; i < work_.part.size(); ++i)
            if (mask & (1u << i)) {
                corners[count] = work_.part[i];
                at[count++] = static_cast<std::uint8_t>(i);
            }
        return count;
    }

    // The corners from a to b, and from b round to a, each covered again.
    void tryDiagonal(std::uint32_t mask, std::size_t a, std::size_t b, Best& best) {
        if (a > b) std::swap(a, b);
        const std::uint32_t between = ((std::uint32_t{2} << b) - 1) & ~((std::uint32_t{1} << a) - 1);
        const std::uint32_t ends = (1u << a) | (1u << b);
        const int left = count(mask & between);
        if (left >= impossible) return;
        const int right = count((mask & ~between) | ends);
        if (right < impossible && left + right < best.pieces) {
            best.pieces = left + right;
            best.choice = static_cast<std::uint8_t>(16 * a + b);
        }
    }

    void splitConvex(std::uint32_t mask, std::span<const std::uint32_t> corners, const std::uint8_t* at, Best& best) {
        if (!isSimple(face_, corners)) return;
        if (check_.accepted(corners)) {
            best.pieces = 1;
            return;
        }
        const std::size_t size = corners.size();
        for (std::size_t i = 0; i < size; ++i)
            for (std::size_t j = i + 2; j < size; ++j) {
                if (i == 0 && j == size - 1) continue;
                bool areaA = false, areaB = false;
                for (std::size_t x = 0; x < size; ++x) {
                    if (x == i || x == j) continue;
                    (x > i && x < j ? areaA : areaB) |= face_.turn(corners[i], corners[x], corners[j]) != 0;
                }
                if (areaA && areaB) tryDiagonal(mask, at[i], at[j], best);
            }
    }

    void splitAtReflex(std::uint32_t mask, std::span<const std::uint32_t> corners, const std::uint8_t* at,
                       std::size_t r, Best& best) {
        const std::size_t size = corners.size(), m = work_.part.size();
        for (std::size_t j = 0; j < size; ++j) {
            if (j == r || j == (r + 1) % size || j == (r + size - 1) % size) continue;
            const std::size_t a = std::min(at[r], at[j]), b = std::max(at[r], at[j]);
            std::uint8_t& state = work_.diagonalState[a * m + b];
            if (state == unknown) state = isDiagonal(face_, work_.part, a, b) ? 1 : 2;
            if (state == 1 && inCone(face_, corners, r, j) && inCone(face_, corners, j, r)) tryDiagonal(mask, at[r], at[j], best);
        }
    }

    const FlatFace& face_;
    PieceCheck& check_;
    ExactWorkspace& work_;
};

}  // namespace

bool exactSplit(const FlatFace& face, std::span<const std::uint32_t> loop, PieceCheck& check, ExactWorkspace& work,
                PolygonPieces& out) {
    const std::size_t m = loop.size();
    work.part.assign(loop.begin(), loop.end());
    work.count.assign(std::size_t{1} << m, unknown);
    work.choice.assign(std::size_t{1} << m, noChoice);
    work.diagonalState.assign(m * m, unknown);
    ExactSearch search(face, check, work);
    const std::uint32_t all = (std::uint32_t{1} << m) - 1;
    if (search.count(all) >= impossible) return false;
    search.emit(all, out);
    return true;
}

bool isDiagonal(const FlatFace& face, std::span<const std::uint32_t> part, std::size_t a, std::size_t b) {
    const std::size_t n = part.size();
    const FlatPoint s = face.flat[part[a]], e = face.flat[part[b]];
    // A diagonal of zero length joins two copies of one point.
    if (face.near(part[a], part[b])) return false;
    if (!inCone(face, part, a, b) || !inCone(face, part, b, a)) return false;
    const double dx = e.x - s.x, dy = e.y - s.y, length2 = dx * dx + dy * dy, length = std::sqrt(length2);
    for (std::size_t k = 0; k < n; ++k) {
        const FlatPoint p = face.flat[part[k]];
        if (properlyCross(s, e, p, face.flat[part[k + 1 == n ? 0 : k + 1]])) return false;
        // Through another vertex, up to the tolerance: the pieces would hide it in an edge.
        if (k == a || k == b) continue;
        const double wx = p.x - s.x, wy = p.y - s.y, along = dx * wx + dy * wy;
        if (along > 0 && along < length2 && std::fabs(dx * wy - dy * wx) <= face.tol * length) return false;
    }
    // Its middle inside the part: a ray from it crosses the outline an odd number of times.
    const FlatPoint m{s.x + dx * 0.5, s.y + dy * 0.5};
    const bool alongY = std::fabs(dx) >= std::fabs(dy);
    const auto along = [&](FlatPoint p) { return alongY ? p.y : p.x; };
    const auto across = [&](FlatPoint p) { return alongY ? p.x : p.y; };
    bool inside = false;
    for (std::size_t k = 0; k < n; ++k) {
        const FlatPoint p = face.flat[part[k]], q = face.flat[part[(k + 1) % n]];
        if ((across(p) > across(m)) == (across(q) > across(m))) continue;
        const double hit = along(p) + (across(m) - across(p)) * (along(q) - along(p)) / (across(q) - across(p));
        if (hit > along(m)) inside = !inside;
    }
    return inside;
}

}  // namespace morv
