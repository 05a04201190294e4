// Concave faces of many points, turned by fractional angles about every axis
// and moved far from the origin, stored as single floats or with every digit
// of a double: every face is cut, into convex pieces that cover its area.
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "common/BrushScan.hpp"
#include "common/Outlines.hpp"
#include "geometry/ConvexSplitting.hpp"

namespace morv {
namespace {

using testing::Outline;

// A polygon seen from its centre, its corners at random distances: about half of them reflex.
Outline randomStar(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    Outline p = testing::regular(n);
    for (XYZ& q : p) q = std::uniform_real_distribution<double>(0.2, 1)(random) * q;
    return p;
}

// Turned about x, then y, then z (degrees), moved by offset along every axis.
std::vector<XYZ> placed(const Outline& outline, const XYZ& degrees, double offset, bool asFloat) {
    const double a = degrees.x * std::numbers::pi / 180, b = degrees.y * std::numbers::pi / 180, c = degrees.z * std::numbers::pi / 180;
    std::vector<XYZ> out;
    for (const XYZ& p : outline) {
        const XYZ x{p.x, p.y * std::cos(a) - p.z * std::sin(a), p.y * std::sin(a) + p.z * std::cos(a)};
        const XYZ y{x.x * std::cos(b) + x.z * std::sin(b), x.y, -x.x * std::sin(b) + x.z * std::cos(b)};
        const XYZ z{y.x * std::cos(c) - y.y * std::sin(c) + offset, y.x * std::sin(c) + y.y * std::cos(c) + offset, y.z + offset};
        out.push_back(asFloat ? XYZ{static_cast<float>(z.x), static_cast<float>(z.y), static_cast<float>(z.z)} : z);
    }
    return out;
}

TEST(TurnedFaces, EveryFaceIsCutIntoConvexPiecesThatCoverItsAreaAtEveryTurnAndOffset) {
    const Outline faces[] = {testing::comb(6, 100, 40, 100),  testing::comb(40, 100, 40, 100), testing::comb(10, 100, 30, 40), testing::comb(30, 100, 30, 40),
                             testing::spiral(60),    testing::spiral(200),   randomStar(17, 1),           randomStar(60, 2),
                             randomStar(200, 3),     testing::star(9),       testing::star(17),           testing::star(100)};
    const XYZ turns[] = {{0, 0, 0}, {0, 0, 12}, {0, 0, 0.1}, {90, -45.5, 0}, {33.3, 0, 0}, {0, 71.7, 0}, {17.1, -63.4, 128.9}};
    ConvexSplitter splitter;
    PolygonPieces pieces;
    for (const Outline& face : faces)
        for (const XYZ& turn : turns)
            for (const double offset : {0.0, 0x1p19, 0x1p20, 1e6})
                for (const bool asFloat : {true, false}) {
                    SCOPED_TRACE(::testing::Message() << face.size() << " points, face " << &face - faces << ", turned " << turn.x << ","
                                                      << turn.y << "," << turn.z << " at " << offset << (asFloat ? " (floats)" : ""));
                    const std::vector<XYZ> points = placed(face, turn, offset, asFloat);
                    const PolygonShape shape = splitter.split(points, pieces);
                    ASSERT_TRUE(shape == PolygonShape::Concave || shape == PolygonShape::Convex) << splitter.leftOutReason();
                    const XYZ normal = normalized(testing::newell(points));
                    double covered = 0, perimeter = 0;
                    for (std::size_t i = 0; i < points.size(); ++i) perimeter += length(points[(i + 1) % points.size()] - points[i]);
                    for (std::size_t k = 0; k < pieces.count(); ++k) {
                        std::vector<XYZ> piece;
                        for (std::uint32_t i : pieces.piece(k)) piece.push_back(splitter.pointAt(points, i));
                        ASSERT_LE(piece.size(), maxPieceVertices);
                        const double area = dot(testing::newell(piece), normal) / 2;
                        EXPECT_GT(area, 0) << "piece " << k << " faces the other way";
                        for (std::size_t i = 0; i < piece.size(); ++i) {  // convex, up to the splitter's tolerance
                            const XYZ p = piece[i], q = piece[(i + 1) % piece.size()], r = piece[(i + 2) % piece.size()];
                            EXPECT_GE(dot(cross(q - p, r - q), normal), -2 * splitter.tolerance() * length(r - p)) << "piece " << k;
                        }
                        covered += area;
                    }
                    EXPECT_NEAR(covered, dot(testing::newell(points), normal) / 2, 4 * splitter.tolerance() * perimeter);
                }
}

}  // namespace
}  // namespace morv
