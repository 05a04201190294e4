// Awkward faces, turned in space and stored as single floats, converted by the built program: every polygon
// convex, flat, 3 to 16 vertices, with area, facing its face's (or part's) way; together covering where the
// face's winding number is not zero.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <numbers>

#include <gtest/gtest.h>

#include "common/BrushScan.hpp"
#include "common/Outlines.hpp"
#include "common/RunProgram.hpp"
#include "common/TestHelpers.hpp"
#include "exporters/lightwave/MorvLToLWO2.hpp"
#include "scene/CanonicalScene.hpp"

namespace morv {
namespace {

using testing::Outline;
XYZ sub(const XYZ& a, const XYZ& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dot(const XYZ& a, const XYZ& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
XYZ cross(const XYZ& a, const XYZ& b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }

// Area of the x-y outline where its winding number is not zero, counted on a 400 x 400 grid.
double nonzeroWindingArea(const Outline& p) {
    double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300, hits = 0;
    for (const XYZ& v : p) x0 = std::min(x0, v.x), x1 = std::max(x1, v.x), y0 = std::min(y0, v.y), y1 = std::max(y1, v.y);
    for (double x = x0 + (x1 - x0) / 800; x < x1; x += (x1 - x0) / 400)
        for (double y = y0 + (y1 - y0) / 800; y < y1; y += (y1 - y0) / 400) {
            int w = 0;
            for (std::size_t k = 0; k < p.size(); ++k) {
                const XYZ a = p[k], b = p[(k + 1) % p.size()];
                const double side = (b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x);
                w += (a.y <= y && b.y > y && side > 0) - (a.y > y && b.y <= y && side < 0);
            }
            hits += w != 0;
        }
    return hits * (x1 - x0) * (y1 - y0) / (400 * 400);
}

Outline starPolygon(std::size_t n, std::size_t step) {  // {n/step}
    Outline q, p = testing::regular(n);
    for (std::size_t i = 0; i < n; ++i) q.push_back(p[i * step % n]);
    return q;
}

class ConvexBrushTest : public testing::ScratchDirTest {};

// A U of 300 x 300 with a slot of 100 x 200, its arms folded up by 90 degrees at y = 150: 70,000 units² in all.
Outline foldedU() {
    return {{0, 0, 0},        {300, 0, 0},     {300, 150, 0}, {300, 150, 150}, {200, 150, 150}, {200, 150, 0},
            {200, 100, 0},    {100, 100, 0},   {100, 150, 0}, {100, 150, 150}, {0, 150, 150},   {0, 150, 0}};
}

TEST_F(ConvexBrushTest, EveryKindOfFaceBecomesConvexFlatPiecesThatCoverIt) {
    Outline triangle{{0, 0, 0}}, line, dented = testing::regular(20), needles = testing::regular(20);
    for (int i = 1; i < 20; ++i) triangle.push_back({i * 100.0 / 19, 0, 0});
    triangle.push_back({30, 70, 0});
    for (int i = 0; i < 17; ++i) line.push_back({i * 3.0, i * 7.0, 0});
    dented[7] = {dented[7].x * 0.5, dented[7].y * 0.5, 0};
    needles.insert(needles.begin() + 4, {{300, 300, 0}, needles[3]});                  // out and back
    needles.insert(needles.begin() + 12, {{0, 0, 0}, needles[11], {0, 0, 0}, needles[11]});  // in, twice
    const Outline saddle{{0, 0, 0}, {100, 0, 60}, {100, 100, 0}, {0, 100, 60}};
    Outline bumpy = testing::regular(24, 50), needleInBent = foldedU();
    for (std::size_t i = 0; i < bumpy.size(); ++i) bumpy[i].z = i % 2 ? 0.3 : -0.2;
    needleInBent.insert(needleInBent.begin() + 7, {{150, 40, 0}, needleInBent[6]});
    const Outline far{{1e8, 1e8, 0}, {1e8 + 100, 1e8, 0}, {1e8 + 100, 1e8 + 100, 0}, {1e8, 1e8 + 100, 0}};
    const Outline hourglass{{0, 0, 0}, {100, 100, 0}, {-100, 100, 0}, {0, 0, 0}, {-100, -100, 0}, {100, -100, 0}};
    const Outline squares{{0, 0, 0}, {100, 0, 0}, {100, 100, 0}, {0, 100, 0}, {0, 0, 0}, {-100, 0, 0}, {-100, 100, 0}, {0, 100, 0}};
    const std::string crossing = "Warning: 1 faces that cross or touch themselves were cut";
    const std::string flattened = "Warning: 1 faces that are far from flat were cut into flat pieces\n";
    const struct {
        const char* name;
        Outline face;
        std::size_t polygons;  // 0: as few as the properties allow
        std::string message;   // "": no warning
        double scale = 1;
        double area = 0;  // 0: where the x-y outline's winding number is not zero
        std::vector<XYZ> facings = {};  // of its flat parts, before the turn; empty: z for flat faces
    } cases[] = {
        {"21-point triangle", triangle, 1, ""},
        {"17 points on one line", line, 0, "Degenerate convex polygon found!\nWarning: face 0 (surface default) has no area"},
        {"concave 5 points", {{0, 0, 0}, {100, 0, 0}, {100, 100, 0}, {0, 100, 0}, {50, 20, 0}}, 2, ""},
        {"pentagram", starPolygon(5, 2), 4, crossing},
        {"star 17/2", starPolygon(17, 2), 0, crossing},
        {"bow-tie", {{0, 0, 0}, {100, 100, 0}, {100, 0, 0}, {0, 100, 0}}, 2, crossing},
        {"hourglass", hourglass, 2, crossing},
        {"two squares sharing an edge, wound opposite ways", squares, 2, crossing},
        {"keyhole", testing::keyhole(), 0, crossing},
        {"needles", needles, 2, ""},
        {"saddle", saddle, 2, flattened},
        {"20-gon with one dent", dented, 2, ""},
        {"U folded by 90 degrees", foldedU(), 5, flattened, 1, 70000, {{0, 0, 1}, {0, -1, 0}}},
        {"needle in a folded U", needleInBent, 5, flattened, 1, 70000, {{0, 0, 1}, {0, -1, 0}}},
        {"1000-unit quad with a corner 0.8 up", {{0, 0, 0}, {1000, 0, 0}, {1000, 1000, 0.8}, {0, 1000, 0}}, 2, flattened},
        {"bumpy 24-gon at scale 40", bumpy, 0, flattened, 40},
        {"100 units at 1e8, its points rounded by up to 4 units", far, 0, flattened},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const double a = 0.5, b = 0.9;  // turned about two axes, so that no coordinate plane holds it
        MeshBuilder mesh;
        std::vector<std::uint32_t> order;
        const auto turned = [&](const XYZ& p) {
            const double y = p.x * std::sin(a) + p.y * std::cos(a);
            return XYZ{p.x * std::cos(a) - p.y * std::sin(a), y * std::cos(b) - p.z * std::sin(b), y * std::sin(b) + p.z * std::cos(b)};
        };
        for (const XYZ& p : c.face) order.push_back(mesh.addVertex(turned(p)));
        mesh.addFace(order, MorvLValue::Int(0));
        MorvLToLWO2::translate(makeScene(std::move(mesh).build(), {}, {}), (dir / "in.lwo").string());
        const auto r = testing::runProgram({"--to=Unreal.T3D", "--scale=" + std::to_string(c.scale), "--destFileName=out.t3d", "in.lwo"}, dir.string());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(c.message.empty() ? r.out.find("Warning") == std::string::npos : r.out.find(c.message) != std::string::npos, false) << r.out;
        std::ifstream in(dir / "out.t3d", std::ios::binary);
        const auto polygons = testing::scanBrush({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
        EXPECT_TRUE(c.polygons == 0 || polygons.size() == c.polygons) << polygons.size();
        const XYZ faceNormal{0, -std::sin(b), std::cos(b)};
        const bool bent = c.message == flattened;
        double area = 0;
        for (const auto& p : polygons) {
            const std::size_t n = p.vertices.size();
            ASSERT_TRUE(n >= 3 && n <= 16) << n;
            const XYZ normal = testing::newell(p.vertices);
            const double size = testing::length(sub(p.vertices[n / 2], p.vertices[0])) + testing::length(sub(p.vertices[n / 3], p.vertices[0]));
            area += testing::length(normal) / 2;
            EXPECT_GT(testing::length(normal), 1e-3 * size) << "no area";
            EXPECT_GT(dot(normal, p.normal) / testing::length(normal), 1 - 1e-5);
            const bool facesLikeAPart = std::any_of(c.facings.begin(), c.facings.end(), [&](const XYZ& f) { return dot(p.normal, turned(f)) > 1 - 1e-5; });
            EXPECT_TRUE(c.message == crossing || (c.facings.empty() ? dot(p.normal, faceNormal) > (bent ? 0 : 1 - 1e-5) : facesLikeAPart)) << "turned";
            double magnitude = 0;  // a corner may be as deep as single-precision rounding where it lies
            for (const XYZ& v : p.vertices) magnitude = std::max({magnitude, std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)});
            for (std::size_t i = 0; i < n; ++i) {
                const XYZ u = sub(p.vertices[(i + 1) % n], p.vertices[i]), v = sub(p.vertices[(i + 2) % n], p.vertices[(i + 1) % n]);
                EXPECT_GT(dot(cross(u, v), p.normal), -(2e-5 + 0x1p-22 * magnitude) * testing::length(sub(p.vertices[(i + 2) % n], p.vertices[i]))) << "reflex";
                // The editor's rule: on the plane through the first vertex along the Normal, within 0.1.
                EXPECT_LE(std::fabs(dot(sub(p.vertices[i], p.vertices[0]), p.normal)), 0.1 + 1e-5) << "not flat";
            }
        }
        const double expected = c.area > 0 ? c.area : bent ? area : c.scale * c.scale * nonzeroWindingArea(c.face);
        EXPECT_TRUE(std::fabs(area - expected) < 0.01 * area + 1 || polygons.empty()) << area << " for " << expected;
    }
}

}  // namespace
}  // namespace morv
