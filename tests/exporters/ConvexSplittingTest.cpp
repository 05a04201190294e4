// Splitting faces into convex pieces of at most 16 vertices: every piece is
// convex, keeps the face's winding, uses only the face's own points and the
// pieces cover the face's area, for a table of awkward outlines.
#include "exporters/ConvexSplitting.hpp"

#include <cmath>
#include <numbers>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TestHelpers.hpp"

namespace morv {
namespace {

using Outline = std::vector<XYZ>;

// Signed area in the x-y plane (the outlines below lie in it or near it).
double signedArea(const Outline& p, std::span<const std::uint32_t> idx) {
    double a = 0;
    for (std::size_t i = 0; i < idx.size(); ++i) {
        const XYZ& u = p[idx[i]];
        const XYZ& v = p[idx[(i + 1) % idx.size()]];
        a += u.x * v.y - u.y * v.x;
    }
    return a / 2;
}

bool isConvex(const Outline& p, std::span<const std::uint32_t> idx, double orientation) {
    const std::size_t n = idx.size();
    for (std::size_t i = 0; i < n; ++i) {
        const XYZ& a = p[idx[i]];
        const XYZ& b = p[idx[(i + 1) % n]];
        const XYZ& c = p[idx[(i + 2) % n]];
        const double turn = (b.x - a.x) * (c.y - b.y) - (b.y - a.y) * (c.x - b.x);
        const double scale = std::hypot(b.x - a.x, b.y - a.y) * std::hypot(c.x - b.x, c.y - b.y);
        if (turn * orientation < -1e-9 * scale) return false;
    }
    return true;
}

Outline regular(std::size_t n, double radius = 100) {
    Outline p;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n);
        p.push_back({radius * std::cos(a), radius * std::sin(a), 0});
    }
    return p;
}

// Alternating long and short spikes: a concave star.
Outline star(std::size_t points) {
    Outline p = regular(2 * points);
    for (std::size_t i = 1; i < p.size(); i += 2) p[i] = {p[i].x * 0.4, p[i].y * 0.4, 0};
    return p;
}

// A comb: teeth along the top, with points along every straight run.
Outline comb(std::size_t teeth) {
    Outline p{{0, 0, 0}, {5, 0, 0}, {10, 0, 0}};
    const double w = 10.0 / static_cast<double>(2 * teeth - 1);
    for (std::size_t t = teeth; t-- > 0;) {
        const double x = static_cast<double>(2 * t) * w;
        p.push_back({x + w, 4, 0});
        p.push_back({x + w, 10, 0});
        p.push_back({x, 10, 0});
        p.push_back({x, 4, 0});
    }
    p.erase(p.end() - 1);  // the last tooth ends on the left edge at (0, 4)
    p.push_back({0, 2, 0});
    return p;
}

// A square with a square hole, joined by a bridge that repeats two positions.
Outline keyhole() {
    Outline outer{{0, 0, 0}, {10, 0, 0}, {20, 0, 0}, {20, 10, 0}, {20, 20, 0}, {10, 20, 0}, {0, 20, 0}, {0, 10, 0}};
    Outline p = outer;
    const Outline hole{{5, 10, 0}, {5, 15, 0}, {15, 15, 0}, {15, 5, 0}, {5, 5, 0}};
    p.insert(p.end(), hole.begin(), hole.end());
    p.push_back({5, 10, 0});
    p.push_back({0, 10, 0});
    return p;
}

struct SplitCase {
    const char* name;
    Outline outline;
    PolygonShape shape;
    std::vector<std::size_t> pieceSizes;  // empty: not checked beyond the properties
};

TEST(ConvexSplitting, EveryPieceIsConvexSmallKeepsTheWindingAndTheAreaIsCovered) {
    Outline tilted = regular(40);
    for (std::size_t i = 0; i < tilted.size(); ++i) tilted[i].z = (i % 3) * 1e-6;  // slightly off its plane
    Outline reflexOnce = regular(20);
    reflexOnce[5] = {reflexOnce[5].x * 0.3, reflexOnce[5].y * 0.3, 0};
    Outline clockwise = star(12);
    std::reverse(clockwise.begin(), clockwise.end());
    Outline bigComb = comb(256);  // 1023 points
    const SplitCase cases[] = {
        {"triangle", regular(3), PolygonShape::Convex, {3}},
        {"convex 16", regular(16), PolygonShape::Convex, {16}},
        {"convex 17", regular(17), PolygonShape::Convex, {16, 3}},
        {"convex 30", regular(30), PolygonShape::Convex, {16, 16}},
        {"convex 31", regular(31), PolygonShape::Convex, {16, 16, 3}},
        {"concave 10 stays whole", star(5), PolygonShape::Concave, {10}},
        {"concave 20 with one reflex vertex", reflexOnce, PolygonShape::Concave, {}},
        {"star of 24", star(12), PolygonShape::Concave, {}},
        {"clockwise star", clockwise, PolygonShape::Concave, {}},
        {"comb with collinear points", comb(5), PolygonShape::Concave, {}},
        {"comb of 1023 points", bigComb, PolygonShape::Concave, {}},
        {"keyhole", keyhole(), PolygonShape::Concave, {}},
        {"slightly non-planar 40", tilted, PolygonShape::Convex, {16, 16, 12}},
    };
    ConvexSplitter splitter;
    PolygonPieces pieces;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(splitter.split(c.outline, pieces), c.shape);
        std::vector<std::uint32_t> all(c.outline.size());
        for (std::uint32_t i = 0; i < all.size(); ++i) all[i] = i;
        const double area = signedArea(c.outline, all);
        double covered = 0;
        std::vector<std::size_t> sizes;
        for (std::size_t k = 0; k < pieces.count(); ++k) {
            const auto piece = pieces.piece(k);
            sizes.push_back(piece.size());
            EXPECT_GE(piece.size(), 3u);
            EXPECT_LE(piece.size(), maxPieceVertices);
            const double a = signedArea(c.outline, piece);
            EXPECT_GT(a * area, 0) << "piece " << k << " turns the other way";
            if (c.outline.size() > maxPieceVertices) {
                EXPECT_TRUE(isConvex(c.outline, piece, area)) << "piece " << k;
            }
            // Positions appear in the face's order, possibly wrapping once.
            std::size_t descents = 0;
            for (std::size_t i = 0; i < piece.size(); ++i) descents += piece[(i + 1) % piece.size()] < piece[i];
            EXPECT_EQ(descents, 1u) << "piece " << k;
            covered += a;
        }
        EXPECT_NEAR(covered, area, 1e-9 * std::fabs(area));
        if (!c.pieceSizes.empty()) {
            EXPECT_EQ(sizes, c.pieceSizes);
        }
        EXPECT_FALSE(splitter.cutAsFan());
    }
}

TEST(ConvexSplitting, PointsOnOneLineAreDegenerateAndGiveNoPiece) {
    Outline line;
    for (int i = 0; i < 17; ++i) line.push_back({i * 0.1, i * 0.3, i * 0.7});
    ConvexSplitter splitter;
    PolygonPieces pieces;
    EXPECT_EQ(splitter.split(line, pieces), PolygonShape::Degenerate);
    EXPECT_EQ(pieces.count(), 0u);
    // An extra vertex in the middle of a square's edge is no turn.
    EXPECT_EQ(splitter.split(Outline{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {2, 2, 0}, {0, 2, 0}}, pieces),
              PolygonShape::Convex);
}

TEST(ConvexSplitting, DiagonalsThroughAVertexOrOfZeroLengthAreRefused) {
    // Two reflex notches facing each other on one line: the straight diagonal
    // between them would pass through the middle notch's tip.
    const Outline notched{{0, 0, 0},  {4, 0, 0},  {8, 0, 0},  {8, 3, 0},  {6, 4, 0}, {8, 5, 0},
                          {8, 8, 0},  {4, 8, 0},  {0, 8, 0},  {0, 5, 0},  {4, 4, 0}, {0, 3, 0},
                          {0, 2, 0},  {0, 1, 0},  {2, 0.5, 0}, {3, 0.4, 0}, {3.5, 0.2, 0}};
    ConvexSplitter splitter;
    PolygonPieces pieces;
    ASSERT_EQ(splitter.split(notched, pieces), PolygonShape::Concave);
    for (std::size_t k = 0; k < pieces.count(); ++k) {
        const auto piece = pieces.piece(k);
        for (std::size_t i = 0; i < piece.size(); ++i) {
            const XYZ& a = notched[piece[i]];
            const XYZ& b = notched[piece[(i + 1) % piece.size()]];
            EXPECT_FALSE(a == b) << "a zero-length edge in piece " << k;
            for (std::size_t v = 0; v < notched.size(); ++v) {
                const XYZ& p = notched[v];
                const double along = (p.x - a.x) * (b.x - a.x) + (p.y - a.y) * (b.y - a.y);
                const double length2 = (b.x - a.x) * (b.x - a.x) + (b.y - a.y) * (b.y - a.y);
                const double off = (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
                const bool onEdge = off == 0 && along > 0 && along < length2;
                const bool ownPoint = std::find(piece.begin(), piece.end(), v) != piece.end();
                EXPECT_FALSE(onEdge && !ownPoint) << "vertex " << v << " hides in an edge of piece " << k;
            }
        }
    }
}

TEST(ConvexSplitting, AFlatOutlineThatCrossesItselfCannotBeSplit) {
    // A figure eight of 18 points in the x-y plane.
    Outline eight;
    for (int i = 0; i < 18; ++i) {
        const double t = 2 * std::numbers::pi * i / 18;
        eight.push_back({100 * std::sin(t), 50 * std::sin(2 * t) + (i == 3 ? 5 : 0), 0});
    }
    ConvexSplitter splitter;
    PolygonPieces pieces;
    try {
        splitter.split(eight, pieces);
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        const std::string m = e.message();
        EXPECT_EQ(m.rfind("Possible bug: Could not split concave polygon!\n"
                          "Try to remove polygons with more than 16 vertices in your object.\n"
                          "As a debugging reference, here are the vertex coordinates:\n"
                          "{x = 0.0, y = 0.0, z = 0.0}\n{x = 34.2020143326, y = 32.1393804843, z = 0.0}\n",
                          0),
                  0u)
            << m;
        EXPECT_EQ(std::count(m.begin(), m.end(), '\n'), 3 + 18);
    }
}

TEST(ConvexSplitting, AFaceFarFromFlatThatCrossesItselfIsCutIntoTriangles) {
    // Half its points in the x-z plane, half in the x-y plane, in a zigzag.
    Outline bent;
    for (int i = 0; i < 9; ++i) bent.push_back({i * 10.0, 0, (i % 2) * 50.0 - 25});
    for (int i = 9; i-- > 0;) bent.push_back({i * 10.0 + 3, (i % 2) * 40.0 - 20, 0});
    ConvexSplitter splitter;
    PolygonPieces pieces;
    splitter.split(bent, pieces);
    EXPECT_TRUE(splitter.cutAsFan());
    ASSERT_EQ(pieces.count(), bent.size() - 2);
    for (std::uint32_t k = 0; k < pieces.count(); ++k) {
        const std::vector<std::uint32_t> expected{0, k + 1, k + 2};
        EXPECT_EQ(std::vector<std::uint32_t>(pieces.piece(k).begin(), pieces.piece(k).end()), expected);
    }
}

TEST(ConvexSplitting, TakeNVerticesSharesAnEdgeWithThePieceBefore) {
    std::vector<std::uint32_t> polygon(44);
    for (std::uint32_t i = 0; i < polygon.size(); ++i) polygon[i] = 100 + i;
    PolygonPieces pieces;
    takeNVertices(polygon, pieces);
    ASSERT_EQ(pieces.count(), 3u);
    EXPECT_EQ(pieces.piece(1)[0], 100u);
    EXPECT_EQ(pieces.piece(1)[1], 115u);  // the last vertex of the first piece
    EXPECT_EQ(pieces.piece(2)[1], pieces.piece(1).back());
    EXPECT_EQ(pieces.piece(2).back(), 143u);
}

}  // namespace
}  // namespace morv
