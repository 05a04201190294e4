// Splitting faces into convex pieces of at most 16 vertices: for a table of
// awkward outlines every piece is convex, keeps the face's winding, takes the
// face's points in order with no zero-length edge and no vertex hidden inside
// an edge, and the pieces cover the face's area.
#include "geometry/ConvexSplitting.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/BrushScan.hpp"
#include "common/Outlines.hpp"
#include "common/TestHelpers.hpp"

namespace morv {
namespace {

using testing::Outline;

// The outline's points and the points the splitter added, in the x-y plane.
struct Points {
    const Outline& outline;
    std::span<const AddedPoint> added;
    XYZ operator[](std::uint32_t i) const {
        if (i < outline.size()) return outline[i];
        const AddedPoint& a = added[i - outline.size()];
        const XYZ &p = outline[a.from], &q = outline[a.to];
        return {p.x + a.t * (q.x - p.x), p.y + a.t * (q.y - p.y), 0};
    }
};

// Signed area in the x-y plane (the outlines lie in it or near it).
double signedArea(const Points& p, std::span<const std::uint32_t> idx) {
    double a = 0;
    for (std::size_t i = 0; i < idx.size(); ++i) {
        const XYZ u = p[idx[i]], v = p[idx[(i + 1) % idx.size()]];
        a += u.x * v.y - u.y * v.x;
    }
    return a / 2;
}

bool isConvex(const Points& p, std::span<const std::uint32_t> idx, double orientation) {
    const std::size_t n = idx.size();
    for (std::size_t i = 0; i < n; ++i) {
        const XYZ a = p[idx[i]], b = p[idx[(i + 1) % n]], c = p[idx[(i + 2) % n]];
        const double turn = (b.x - a.x) * (c.y - b.y) - (b.y - a.y) * (c.x - b.x);
        const double scale = std::hypot(b.x - a.x, b.y - a.y) * std::hypot(c.x - b.x, c.y - b.y);
        if (turn * orientation < -1e-6 * scale) return false;
    }
    return true;
}

// A zero-length edge, or another point of the outline inside an edge: a
// diagonal through a vertex that the crossing test cannot see.
bool hasBadEdge(const Outline& p, std::span<const std::uint32_t> piece) {
    for (std::size_t i = 0; i < piece.size(); ++i) {
        if (piece[i] >= p.size() || piece[(i + 1) % piece.size()] >= p.size()) continue;
        const XYZ& a = p[piece[i]];
        const XYZ& b = p[piece[(i + 1) % piece.size()]];
        if (a == b) return true;
        const double length2 = (b.x - a.x) * (b.x - a.x) + (b.y - a.y) * (b.y - a.y);
        for (std::uint32_t v = 0; v < p.size(); ++v) {
            const double along = (p[v].x - a.x) * (b.x - a.x) + (p[v].y - a.y) * (b.y - a.y);
            const double off = (b.x - a.x) * (p[v].y - a.y) - (b.y - a.y) * (p[v].x - a.x);
            if (off == 0 && along > 0 && along < length2 &&
                std::none_of(piece.begin(), piece.end(), [&](std::uint32_t w) { return w < p.size() && p[w] == p[v]; }))
                return true;
        }
    }
    return false;
}

// The outline turned about x, then y, then z (radians), moved by offset along every axis, stored as single floats or not.
Outline turned(const Outline& outline, XYZ by = {0.7, 0, 1.1}, double offset = 0, bool asFloat = true) {
    Outline out;
    for (const XYZ& p : outline) {
        const double y = p.y * std::cos(by.x) - p.z * std::sin(by.x), z = p.y * std::sin(by.x) + p.z * std::cos(by.x);
        const double x = p.x * std::cos(by.y) + z * std::sin(by.y), z2 = -p.x * std::sin(by.y) + z * std::cos(by.y);
        const XYZ q{x * std::cos(by.z) - y * std::sin(by.z) + offset, x * std::sin(by.z) + y * std::cos(by.z) + offset, z2 + offset};
        out.push_back(asFloat ? XYZ{static_cast<float>(q.x), static_cast<float>(q.y), static_cast<float>(q.z)} : q);
    }
    return out;
}

TEST(ConvexSplitting, EveryPieceIsConvexSmallKeepsTheWindingAndTheAreaIsCovered) {
    Outline tilted = testing::regular(40);
    for (std::size_t i = 0; i < tilted.size(); ++i) tilted[i].z = (i % 3) * 1e-6;  // slightly off its plane
    Outline reflexOnce = testing::regular(20);
    reflexOnce[5] = {reflexOnce[5].x * 0.3, reflexOnce[5].y * 0.3, 0};
    Outline clockwise = testing::star(12);
    std::reverse(clockwise.begin(), clockwise.end());
    Outline line;
    for (int i = 0; i < 17; ++i) line.push_back({i * 0.1, i * 0.3, i * 0.7});
    // Two reflex notches facing each other: the straight diagonal between them
    // would pass through the tip of the middle one.
    const Outline notched{{0, 0, 0}, {4, 0, 0}, {8, 0, 0}, {8, 3, 0}, {6, 4, 0},   {8, 5, 0},   {8, 8, 0},  {4, 8, 0},
                          {0, 8, 0}, {0, 5, 0}, {4, 4, 0}, {0, 3, 0}, {0, 2, 0},   {0, 1, 0},   {2, 0.5, 0}, {3, 0.4, 0},
                          {3.5, 0.2, 0}};
    // Outlines that touch themselves without crossing.
    const Outline hourglass{{0, 0, 0}, {10, 10, 0}, {-10, 10, 0}, {0, 0, 0}, {-10, -10, 0}, {10, -10, 0}};
    const Outline petals{{0, 0, 0}, {10, -2, 0}, {10, 2, 0}, {0, 0, 0}, {2, 10, 0}, {-2, 10, 0},
                         {0, 0, 0}, {-10, 2, 0}, {-10, -2, 0}, {0, 0, 0}, {-2, -10, 0}, {2, -10, 0}};
    const Outline squares{{0, 0, 0}, {10, 0, 0}, {10, 10, 0}, {0, 10, 0}, {0, 0, 0}, {-10, 0, 0}, {-10, 10, 0}, {0, 10, 0}};
    const Outline island{{0, 0, 0},   {30, 0, 0},  {30, 30, 0}, {0, 30, 0}, {0, 0, 0},   {10, 10, 0},
                         {10, 20, 0}, {20, 20, 0}, {20, 10, 0}, {10, 10, 0}, {13, 13, 0}, {17, 13, 0},
                         {17, 17, 0}, {13, 17, 0}, {13, 13, 0}, {10, 10, 0}};
    const Outline twoBridges{{0, 0, 0},  {40, 0, 0}, {40, 20, 0}, {0, 20, 0},  {0, 0, 0},  {5, 5, 0},
                             {5, 15, 0}, {15, 15, 0}, {15, 5, 0}, {5, 5, 0},  {0, 0, 0},  {25, 5, 0},
                             {25, 15, 0}, {35, 15, 0}, {35, 5, 0}, {25, 5, 0}};
    const struct {
        const char* name;
        Outline outline;
        PolygonShape shape;
        std::vector<std::size_t> pieceSizes;  // empty: only the properties are checked
    } cases[] = {
        {"triangle", testing::regular(3), PolygonShape::Convex, {3}},
        {"convex 16", testing::regular(16), PolygonShape::Convex, {16}},
        {"convex 17", testing::regular(17), PolygonShape::Convex, {16, 3}},
        {"convex 30", testing::regular(30), PolygonShape::Convex, {16, 16}},
        {"convex 31", testing::regular(31), PolygonShape::Convex, {16, 16, 3}},
        {"a point inside an edge is no turn", {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {2, 2, 0}, {0, 2, 0}}, PolygonShape::Convex, {5}},
        {"points on one line", line, PolygonShape::Degenerate, {}},
        {"concave 10", testing::star(5), PolygonShape::Concave, {}},
        {"concave 20 with one reflex vertex", reflexOnce, PolygonShape::Concave, {}},
        {"star of 24", testing::star(12), PolygonShape::Concave, {}},
        {"clockwise star", clockwise, PolygonShape::Concave, {}},
        {"comb with collinear points", testing::comb(5), PolygonShape::Concave, {}},
        {"comb of 1023 points", testing::comb(255), PolygonShape::Concave, {}},
        {"keyhole", testing::keyhole(), PolygonShape::Concave, {}},
        {"notches facing each other", notched, PolygonShape::Concave, {}},
        {"slightly non-planar 40", tilted, PolygonShape::Convex, {16, 16, 12}},
        {"hourglass", hourglass, PolygonShape::Concave, {3, 3}},
        {"four petals", petals, PolygonShape::Concave, {3, 3, 3, 3}},
        {"two squares sharing an edge, wound opposite ways", squares, PolygonShape::Concave, {4, 4}},
        {"an island inside a hole", island, PolygonShape::Concave, {}},
        {"two keyhole bridges from one corner", twoBridges, PolygonShape::Concave, {}},
    };
    ConvexSplitter splitter;
    PolygonPieces pieces;
    for (const auto& c : cases) {
        std::size_t flatCount = 0;
        for (const bool turn : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (turn ? ", turned" : ""));
            ASSERT_EQ(splitter.split(turn ? turned(c.outline) : c.outline, pieces), c.shape);
            const Points points{c.outline, splitter.addedPoints()};
            std::vector<std::uint32_t> all(c.outline.size());
            std::iota(all.begin(), all.end(), 0u);
            const double area = signedArea(points, all);
            double covered = 0;
            std::vector<std::size_t> sizes;
            for (std::size_t k = 0; k < pieces.count(); ++k) {
                SCOPED_TRACE("piece " + std::to_string(k));
                const auto piece = pieces.piece(k);
                sizes.push_back(piece.size());
                EXPECT_GE(piece.size(), 3u);
                EXPECT_LE(piece.size(), maxPieceVertices);
                const double a = signedArea(points, piece);
                EXPECT_TRUE(splitter.crossesItself() || a * area > 0) << "turns the other way";
                EXPECT_TRUE(isConvex(points, piece, a));
                EXPECT_FALSE(hasBadEdge(c.outline, piece));
                std::size_t descents = 0;  // the face's order, wrapping once
                for (std::size_t i = 0; i < piece.size(); ++i) descents += piece[(i + 1) % piece.size()] < piece[i];
                EXPECT_TRUE(splitter.crossesItself() || descents == 1);
                covered += a;
            }
            EXPECT_NEAR(covered, area, 1e-5 * std::fabs(area) + 1e-12);
            if (!c.pieceSizes.empty()) {
                EXPECT_EQ(sizes, c.pieceSizes);
            }
            EXPECT_EQ(pieces.count() == 0, c.shape == PolygonShape::Degenerate);
            if (turn) {
                EXPECT_EQ(pieces.count() > 0, flatCount > 0) << "depends on the turn in space";
            }
            flatCount = pieces.count();
        }
    }
}

// Many-pointed concave faces turned by fractional degrees, moved far away, stored as floats or doubles: all cut, all covered.
TEST(ConvexSplitting, ManyPointedFacesAreCutWholeAtEveryTurnAndOffset) {
    std::mt19937 random(1);
    const auto randomStar = [&](std::size_t n) {  // corners at random distances from the centre: about half of them reflex
        Outline p = testing::regular(n);
        for (XYZ& q : p) q = std::uniform_real_distribution<double>(0.2, 1)(random) * q;
        return p;
    };
    const Outline faces[] = {testing::comb(6, 100, 40, 100), testing::comb(40, 100, 40, 100), testing::comb(10, 100, 30, 40),
                             testing::comb(30, 100, 30, 40), testing::spiral(60), testing::spiral(200), randomStar(17), randomStar(60),
                             randomStar(200), testing::star(9), testing::star(17), testing::star(100)};
    const XYZ turns[] = {{0, 0, 0}, {0, 0, 12}, {0, 0, 0.1}, {90, -45.5, 0}, {33.3, 0, 0}, {0, 71.7, 0}, {17.1, -63.4, 128.9}};
    ConvexSplitter splitter;
    PolygonPieces pieces;
    for (const Outline& face : faces)
        for (const XYZ& turn : turns)
            for (const double offset : {0.0, 0x1p19, 0x1p20, 1e6})
                for (const bool asFloat : {true, false}) {
                    SCOPED_TRACE(::testing::Message() << "face " << &face - faces << " turned " << turn.x << "," << turn.y << "," << turn.z << " at " << offset << (asFloat ? " (floats)" : ""));
                    const std::vector<XYZ> points = turned(face, (std::numbers::pi / 180) * turn, offset, asFloat);
                    ASSERT_GT((splitter.split(points, pieces), pieces.count()), 0u) << "left out: " << splitter.leftOutReason();
                    const XYZ normal = normalized(testing::newell(points));
                    double covered = 0, perimeter = 0;
                    for (std::size_t i = 0; i < points.size(); ++i) perimeter += length(points[(i + 1) % points.size()] - points[i]);
                    for (std::size_t k = 0; k < pieces.count(); ++k) {
                        std::vector<XYZ> piece;
                        for (std::uint32_t i : pieces.piece(k)) piece.push_back(splitter.pointAt(points, i));
                        for (std::size_t i = 0; i < piece.size(); ++i) {  // convex and facing the face's way, up to the splitter's tolerance
                            const XYZ p = piece[i], q = piece[(i + 1) % piece.size()], r = piece[(i + 2) % piece.size()];
                            EXPECT_GE(dot(cross(q - p, r - q), normal), -2 * splitter.tolerance() * length(r - p)) << "piece " << k;
                        }
                        covered += dot(testing::newell(piece), normal) / 2;
                    }
                    EXPECT_NEAR(covered, dot(testing::newell(points), normal) / 2, 4 * splitter.tolerance() * perimeter);
                }
}

// Found by the fuzzer: an outline that only touches itself, at two points, and
// winds round part of its area twice; split as it runs, its pieces overlapped.
TEST(ConvexSplitting, anOutlineThatTouchesItselfAndWindsRoundTwiceIsLeftOutNotCoveredTwice) {
    const Outline outline{{0, 0, 0}, {10, 0, 0}, {20, 0, 0}, {20, 10, 0}, {20, 20, 0}, {10, 20, 0}, {0, 20, 0}, {0, 10, 0}, {5, 10, 0}, {5, 15, 0}, {15, 15, 0}, {-37, -37, 0}, {-37, 72, 0}, {72, 72, 0}, {72, -37, 0}, {-37, -37, 0}, {-37, 15, 0}, {5, 5, 0}, {10, 0, 0}};
    ConvexSplitter splitter;
    PolygonPieces pieces;
    EXPECT_EQ(splitter.split(outline, pieces), PolygonShape::Unsplittable);
    EXPECT_EQ(pieces.count(), 0u);
}

// The fewest convex pieces of the polygon idx (positions of p, counter-clockwise)
// by trying every diagonal and both sides, remembered per set of positions.
int fewestPieces(const Outline& p, const std::vector<std::uint32_t>& idx, std::map<std::vector<std::uint32_t>, int>& memo) {
    const std::size_t n = idx.size();
    const auto side = [&](std::uint32_t a, std::uint32_t b, XYZ c) { return (p[b].x - p[a].x) * (c.y - p[a].y) - (p[b].y - p[a].y) * (c.x - p[a].x); };
    bool convex = true;
    for (std::size_t i = 0; i < n; ++i) convex = convex && side(idx[i], idx[(i + 1) % n], p[idx[(i + 2) % n]]) > 0;
    if (convex) return 1;
    const auto [known, fresh] = memo.try_emplace(idx, 1000);
    if (!fresh) return known->second;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 2; j < n && !(i == 0 && j == n - 1); ++j) {
            const std::uint32_t a = idx[i], b = idx[j];
            const XYZ m{(p[a].x + p[b].x) / 2, (p[a].y + p[b].y) / 2, 0};
            bool crosses = false, inside = false;
            for (std::size_t k = 0; k < n; ++k) {
                const std::uint32_t c = idx[k], d = idx[(k + 1) % n];
                if (c != a && c != b && d != a && d != b)
                    crosses = crosses || (side(a, b, p[c]) * side(a, b, p[d]) < 0 && side(c, d, p[a]) * side(c, d, p[b]) < 0);
                if ((p[c].y > m.y) != (p[d].y > m.y) && side(c, d, m) * (p[d].y - p[c].y) > 0) inside = !inside;
            }
            if (crosses || !inside) continue;
            std::vector<std::uint32_t> left(idx.begin() + i, idx.begin() + j + 1), right(idx.begin() + j, idx.end());
            right.insert(right.end(), idx.begin(), idx.begin() + i + 1);
            known->second = std::min(known->second, fewestPieces(p, left, memo) + fewestPieces(p, right, memo));
        }
    return known->second;
}

TEST(ConvexSplitting, SmallFacesGetTheFewestPiecesThatDiagonalsAllow) {
    std::mt19937 random(14);
    std::uniform_real_distribution<double> unit(0, 1);
    ConvexSplitter splitter;
    PolygonPieces pieces;
    for (int round = 0; round < 104; ++round) {
        const std::size_t n = 4 + round % 13;
        Outline flat, turned;  // a polygon seen from a point inside, turned in space and stored as floats
        for (std::size_t i = 0; i < n; ++i) {
            const double a = 2 * std::numbers::pi * (static_cast<double>(i) + 0.8 * unit(random)) / static_cast<double>(n);
            const double r = 20 + 80 * unit(random);
            flat.push_back({r * std::cos(a), r * std::sin(a), 0});
            turned.push_back({static_cast<float>(0.6 * flat.back().x), static_cast<float>(0.8 * flat.back().x),
                              static_cast<float>(flat.back().y)});
        }
        std::vector<std::uint32_t> all(n);
        std::iota(all.begin(), all.end(), 0u);
        std::map<std::vector<std::uint32_t>, int> memo;
        splitter.split(turned, pieces);
        EXPECT_EQ(static_cast<int>(pieces.count()), fewestPieces(flat, all, memo)) << round;
    }
}

}  // namespace
}  // namespace morv
