// Concave faces of many points, turned by fractional angles about every axis
// and moved far from the origin, stored as single floats or with every digit
// of a double: every face is cut, into convex pieces that cover its area.
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/Outlines.hpp"
#include "geometry/ConvexSplitting.hpp"

namespace morv {
namespace {

using testing::Outline;

// A polygon seen from its centre, its corners at random distances: about
// half of them reflex.
Outline randomStar(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> radius(20, 100);
    Outline p;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n), r = radius(random);
        p.push_back({r * std::cos(a), r * std::sin(a), 0});
    }
    return p;
}

Outline scaled(Outline p, double by) {
    for (XYZ& q : p) q = by * q;
    return p;
}

// Turned about x, then y, then z (degrees), moved by offset along every axis.
std::vector<XYZ> placed(const Outline& outline, const XYZ& degrees, double offset, bool asFloat) {
    const double a = degrees.x * std::numbers::pi / 180, b = degrees.y * std::numbers::pi / 180,
                 c = degrees.z * std::numbers::pi / 180;
    std::vector<XYZ> out;
    for (const XYZ& p : outline) {
        const XYZ x{p.x, p.y * std::cos(a) - p.z * std::sin(a), p.y * std::sin(a) + p.z * std::cos(a)};
        const XYZ y{x.x * std::cos(b) + x.z * std::sin(b), x.y, -x.x * std::sin(b) + x.z * std::cos(b)};
        XYZ z{y.x * std::cos(c) - y.y * std::sin(c), y.x * std::sin(c) + y.y * std::cos(c), y.z};
        z = z + XYZ{offset, offset, offset};
        if (asFloat) z = {static_cast<float>(z.x), static_cast<float>(z.y), static_cast<float>(z.z)};
        out.push_back(z);
    }
    return out;
}

// Area about the face's own first point, along the unit normal n.
double areaAlong(const std::vector<XYZ>& points, XYZ n) {
    XYZ sum{};
    for (std::size_t i = 1; i + 1 < points.size(); ++i) sum = sum + cross(points[i] - points[0], points[i + 1] - points[0]);
    return dot(sum, n) / 2;
}

TEST(TurnedFaces, EveryFaceIsCutIntoConvexPiecesThatCoverItsAreaAtEveryTurnAndOffset) {
    const struct {
        const char* name;
        Outline outline;
    } faces[] = {
        {"comb of 6 teeth", scaled(testing::comb(6), 10)},
        {"comb of 40 teeth", scaled(testing::comb(40), 10)},
        {"battlement of 10 merlons", testing::battlement(10)},
        {"battlement of 30 merlons", testing::battlement(30)},
        {"spiral of 60", testing::spiral(60)},
        {"spiral of 200", testing::spiral(200)},
        {"random star of 17", randomStar(17, 1)},
        {"random star of 60", randomStar(60, 2)},
        {"random star of 200", randomStar(200, 3)},
        {"star of 18", testing::star(9)},
        {"star of 34", testing::star(17)},
        {"star of 200", testing::star(100)},
    };
    const XYZ turns[] = {{0, 0, 0}, {0, 0, 12}, {0, 0, 0.1}, {90, -45.5, 0}, {33.3, 0, 0}, {0, 71.7, 0}, {17.1, -63.4, 128.9}};
    const double offsets[] = {0, 0x1p19, 0x1p20, 1e6};
    ConvexSplitter splitter;
    PolygonPieces pieces;
    for (const auto& face : faces)
        for (const XYZ& turn : turns)
            for (const double offset : offsets)
                for (const bool asFloat : {true, false}) {
                    SCOPED_TRACE(std::string(face.name) + " turned " + std::to_string(turn.x) + "," + std::to_string(turn.y) +
                                 "," + std::to_string(turn.z) + " at " + std::to_string(offset) + (asFloat ? " (floats)" : ""));
                    const std::vector<XYZ> points = placed(face.outline, turn, offset, asFloat);
                    const PolygonShape shape = splitter.split(points, pieces);
                    if (shape != PolygonShape::Concave && shape != PolygonShape::Convex) {
                        ADD_FAILURE() << "left out: " << splitter.leftOutReason();
                        continue;
                    }
                    XYZ normal{};
                    for (std::size_t i = 1; i + 1 < points.size(); ++i)
                        normal = normal + cross(points[i] - points[0], points[i + 1] - points[0]);
                    normal = normalized(normal);
                    const double area = areaAlong(points, normal);
                    double covered = 0, perimeter = 0;
                    for (std::size_t i = 0; i < points.size(); ++i) perimeter += length(points[(i + 1) % points.size()] - points[i]);
                    for (std::size_t k = 0; k < pieces.count(); ++k) {
                        std::vector<XYZ> piece;
                        for (std::uint32_t i : pieces.piece(k)) piece.push_back(splitter.pointAt(points, i));
                        ASSERT_LE(piece.size(), maxPieceVertices);
                        const double a = areaAlong(piece, normal);
                        EXPECT_GT(a, 0) << "piece " << k << " faces the other way";
                        // Convex about the face's normal, up to the splitter's tolerance.
                        for (std::size_t i = 0; i < piece.size(); ++i) {
                            const XYZ p = piece[i], q = piece[(i + 1) % piece.size()], r = piece[(i + 2) % piece.size()];
                            EXPECT_GE(dot(cross(q - p, r - q), normal), -2 * splitter.tolerance() * length(r - p))
                                << "piece " << k << " is concave at its corner " << (i + 1) % piece.size();
                        }
                        covered += a;
                    }
                    EXPECT_NEAR(covered, area, 4 * splitter.tolerance() * perimeter);
                }
}

}  // namespace
}  // namespace morv
