// Cage refinement over cages of every kind: quad counts, closedness, limit
// points inside convex cages, unit outward normals, surfaces carried to the
// quads, UV seams kept, and the cages that are refused.
#include "exporters/gltf/CageRefinement.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <numbers>
#include <sstream>

#include <gtest/gtest.h>

#include "common/LightWaveScan.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "scene/CanonicalScene.hpp"

namespace morv {
namespace {

using Vec = std::array<double, 3>;
using Face = std::vector<std::uint32_t>;

Vec sub(const Vec& a, const Vec& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec toVec(const std::array<float, 3>& a) { return {a[0], a[1], a[2]}; }

// Turned by fractional angles about two axes, scaled to size 10 and moved far
// from the origin, so nothing lines up with the axes by chance.
Vec place(const Vec& p) {
    const double a = 0.37, b = 1.13;
    const Vec r{p[0] * std::cos(a) - p[1] * std::sin(a), p[0] * std::sin(a) + p[1] * std::cos(a), p[2]};
    const Vec s{r[0], r[1] * std::cos(b) - r[2] * std::sin(b), r[1] * std::sin(b) + r[2] * std::cos(b)};
    return {10 * s[0] + 1234.5, 10 * s[1] - 987.25, 10 * s[2] + 2048.125};
}

Vec newell(const Cage& c, std::size_t f) {
    Vec n{0, 0, 0};
    const std::uint32_t b = c.faceStarts[f], e = c.faceStarts[f + 1];
    for (std::uint32_t i = b; i < e; ++i) {
        const Vec& p = c.points[c.corners[i]];
        const Vec& q = c.points[c.corners[i + 1 == e ? b : i + 1]];
        n = {n[0] + (p[1] - q[1]) * (p[2] + q[2]), n[1] + (p[2] - q[2]) * (p[0] + q[0]),
             n[2] + (p[0] - q[0]) * (p[1] + q[1])};
    }
    return n;
}

Vec centroid(const std::vector<Vec>& points) {
    Vec c{0, 0, 0};
    for (const Vec& p : points) c = {c[0] + p[0], c[1] + p[1], c[2] + p[2]};
    return {c[0] / points.size(), c[1] / points.size(), c[2] / points.size()};
}

// A cage of the given points (placed) and faces; with outward set, each face
// is turned to face away from the centroid (for convex solids).
Cage cageOf(const std::vector<Vec>& points, std::vector<Face> faces, bool outward) {
    Cage c;
    for (const Vec& p : points) c.points.push_back(place(p));
    c.faceStarts.push_back(0);
    for (std::size_t f = 0; f < faces.size(); ++f) {
        c.corners.insert(c.corners.end(), faces[f].begin(), faces[f].end());
        c.faceStarts.push_back(static_cast<std::uint32_t>(c.corners.size()));
        c.faceSurfaces.push_back(0);
        if (outward && dot(newell(c, f), sub(c.points[faces[f][0]], centroid(c.points))) < 0) {
            std::reverse(c.corners.end() - faces[f].size(), c.corners.end());
        }
    }
    return c;
}

Cage cube() {
    std::vector<Vec> p;
    for (int i = 0; i < 8; ++i) p.push_back({i & 4 ? 1.0 : -1.0, i & 2 ? 1.0 : -1.0, i & 1 ? 1.0 : -1.0});
    return cageOf(p, {{4, 6, 7, 5}, {0, 1, 3, 2}, {2, 3, 7, 6}, {0, 4, 5, 1}, {1, 5, 7, 3}, {0, 2, 6, 4}}, true);
}

Cage cubeOfSixSurfaces() {
    Cage c = cube();
    for (std::uint32_t f = 0; f < 6; ++f) c.faceSurfaces[f] = f;
    return c;
}

// n x n quads in the plane z = 0, facing +z.
Cage grid(int n) {
    std::vector<Vec> p;
    std::vector<Face> faces;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) p.push_back({double(i) - n / 2.0, double(j) - n / 2.0, 0});
    auto at = [n](int i, int j) { return std::uint32_t(j * (n + 1) + i); };
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) faces.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)});
    return cageOf(p, faces, false);
}

// A prism over a regular n-gon: two n-gon caps and n quad sides.
Cage prism(int n) {
    std::vector<Vec> p;
    Face bottom, top;
    std::vector<Face> faces;
    for (int i = 0; i < n; ++i) {
        const double a = 2 * std::numbers::pi * i / n;
        p.push_back({std::cos(a), std::sin(a), -1});
        p.push_back({std::cos(a), std::sin(a), 1});
        bottom.push_back(2 * i), top.push_back(2 * i + 1);
        faces.push_back({std::uint32_t(2 * i), std::uint32_t(2 * ((i + 1) % n)), std::uint32_t(2 * ((i + 1) % n) + 1),
                         std::uint32_t(2 * i + 1)});
    }
    faces.push_back(bottom), faces.push_back(top);
    return cageOf(p, faces, true);
}

Cage pyramid() {
    return cageOf({{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}, {0, 0, 1.5}},
                  {{0, 1, 2, 3}, {0, 1, 4}, {1, 2, 4}, {2, 3, 4}, {3, 0, 4}}, true);
}

Cage tetrahedron() {
    return cageOf({{1, 1, 1}, {1, -1, -1}, {-1, 1, -1}, {-1, -1, 1}}, {{0, 1, 2}, {0, 1, 3}, {0, 2, 3}, {1, 2, 3}}, true);
}

// Two squares that touch at one point only, and a disc of 500 triangles
// around one point: a point two fans share, and a point of high valence.
Cage touchingSquares() {
    return cageOf({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 1, 0}, {2, 2, 0}, {1, 2, 0}},
                  {{0, 1, 2, 3}, {2, 4, 5, 6}}, false);
}

Cage disc() {
    std::vector<Vec> p{{0, 0, 0}};
    std::vector<Face> faces;
    const std::uint32_t n = 500;
    for (std::uint32_t i = 0; i < n; ++i) {
        p.push_back({std::cos(2 * std::numbers::pi * i / n), std::sin(2 * std::numbers::pi * i / n), 0});
        faces.push_back({0, i + 1, (i + 1) % n + 1});
    }
    return cageOf(p, faces, false);
}

Cage hexagon() {
    std::vector<Vec> p;
    for (int i = 0; i < 6; ++i) p.push_back({std::cos(i * std::numbers::pi / 3), std::sin(i * std::numbers::pi / 3), 0});
    return cageOf(p, {{0, 1, 2, 3, 4, 5}}, false);
}

// An open tube of 8 sides and 2 rings of faces, with u running once round it:
// the seam's points carry u = 1 on the last column and u = 0 on the first.
Cage tubeWithSeam() {
    const int n = 8, rings = 2;
    std::vector<Vec> p;
    for (int r = 0; r <= rings; ++r)
        for (int i = 0; i < n; ++i) {
            const double a = 2 * std::numbers::pi * i / n;
            p.push_back({std::cos(a), std::sin(a), double(r)});
        }
    std::vector<Face> faces;
    std::vector<std::array<double, 2>> uvs;
    for (int r = 0; r < rings; ++r)
        for (int i = 0; i < n; ++i) {
            const std::uint32_t j = (i + 1) % n;
            faces.push_back({std::uint32_t(r * n + i), std::uint32_t(r * n + j), std::uint32_t((r + 1) * n + j),
                             std::uint32_t((r + 1) * n + i)});
            const double u0 = double(i) / n, u1 = double(i + 1) / n, v0 = double(r) / rings, v1 = double(r + 1) / rings;
            uvs.insert(uvs.end(), {{u0, v0}, {u1, v0}, {u1, v1}, {u0, v1}});
        }
    Cage c = cageOf(p, faces, false);
    c.cornerUVs = uvs;
    return c;
}

struct Shape {
    const char* name;
    std::function<Cage()> make;
    bool closed, convex;
    Vec facing;  // for open flat cages: the side they face, before placing
};

const Shape shapes[] = {
    {"cube", cube, true, true, {}},
    {"cubeOfSixSurfaces", cubeOfSixSurfaces, true, true, {}},
    {"grid", [] { return grid(4); }, false, false, {0, 0, 1}},
    {"pentagonalPrism", [] { return prism(5); }, true, true, {}},
    {"pyramidOfTrianglesAndQuad", pyramid, true, true, {}},
    {"tetrahedron", tetrahedron, true, true, {}},
    {"hexagon", hexagon, false, false, {0, 0, 1}},
    {"touchingSquares", touchingSquares, false, false, {0, 0, 1}},
    {"discOf500Triangles", disc, false, false, {0, 0, 1}},
    {"tubeWithSeam", tubeWithSeam, false, false, {}},
};

// Every directed edge of the quads by its end positions (corners are not shared,
// but a cage point's limit position is the same float triple in every quad).
std::map<std::pair<std::array<float, 3>, std::array<float, 3>>, int> directedEdges(const RefinedFaces& r) {
    std::map<std::pair<std::array<float, 3>, std::array<float, 3>>, int> edges;
    for (std::size_t q = 0; q < r.surfaces.size(); ++q)
        for (int i = 0; i < 4; ++i) ++edges[{r.positions[4 * q + i], r.positions[4 * q + (i + 1) % 4]}];
    return edges;
}

TEST(CageRefinementTest, refinedCagesAreWholeSmoothAndFaceOut) {
    for (const Shape& shape : shapes)
        for (int level : {1, 2, 3}) {
            SCOPED_TRACE(std::string(shape.name) + " at level " + std::to_string(level));
            const Cage cage = shape.make();
            const auto r = refineCage(cage, level);
            ASSERT_TRUE(r.has_value());
            const std::size_t quads = cage.corners.size() << (2 * (level - 1));
            ASSERT_EQ(r->surfaces.size(), quads);
            ASSERT_EQ(r->positions.size(), 4 * quads);
            ASSERT_EQ(r->normals.size(), 4 * quads);
            EXPECT_EQ(r->uvs.size(), cage.cornerUVs.empty() ? 0 : 4 * quads);

            // Closed: every edge runs once each way; open: borders run one way only.
            const auto edges = directedEdges(*r);
            std::size_t borders = 0;
            for (const auto& [edge, count] : edges) {
                EXPECT_EQ(count, 1);
                borders += !edges.contains({edge.second, edge.first});
            }
            if (shape.closed) EXPECT_EQ(borders, 0u);
            else EXPECT_GT(borders, 0u);

            const Vec middle = centroid(cage.points);
            const Vec facing = sub(place(shape.facing), place({0, 0, 0}));
            for (std::size_t i = 0; i < r->positions.size(); ++i) {
                const Vec p = toVec(r->positions[i]), n = toVec(r->normals[i]);
                EXPECT_NEAR(dot(n, n), 1.0, 1e-5);
                if (shape.convex) {
                    EXPECT_GT(dot(n, sub(p, middle)), 0) << "normal " << i << " points in";
                }
                if (shape.facing != Vec{}) {
                    EXPECT_GT(dot(n, facing), 0.999 * 10) << "normal " << i;
                }
            }
            // The limit of a convex cage lies inside it: behind every cage face's plane.
            if (shape.convex)
                for (std::size_t f = 0; f + 1 < cage.faceStarts.size(); ++f) {
                    const Vec n = newell(cage, f), origin = cage.points[cage.corners[cage.faceStarts[f]]];
                    const double tolerance = 1e-4 * std::sqrt(dot(n, n));  // floats near 2000, cage of size 10
                    for (const auto& p : r->positions) ASSERT_LE(dot(n, sub(toVec(p), origin)), tolerance);
                }
        }
}

// One surface per side or one for all: the same limit surface, and each quad
// keeps the surface of the side it lies on.
TEST(CageRefinementTest, surfacesFollowTheirFacesAndLeaveTheShapeAlone) {
    const auto one = refineCage(cube(), 3), six = refineCage(cubeOfSixSurfaces(), 3);
    ASSERT_TRUE(one && six);
    EXPECT_EQ(one->positions, six->positions);
    EXPECT_EQ(one->normals, six->normals);
    const Cage cage = cubeOfSixSurfaces();
    const Vec middle = centroid(cage.points);
    for (std::size_t q = 0; q < six->surfaces.size(); ++q) {
        const Vec c = sub(centroid({toVec(six->positions[4 * q]), toVec(six->positions[4 * q + 1]),
                                    toVec(six->positions[4 * q + 2]), toVec(six->positions[4 * q + 3])}),
                          middle);
        std::size_t side = 0;  // the cage side whose normal the quad's centre lies furthest along
        for (std::size_t f = 1; f < 6; ++f) {
            const Vec a = newell(cage, f), b = newell(cage, side);
            if (dot(a, c) > dot(b, c)) side = f;
        }
        ASSERT_EQ(six->surfaces[q], side) << "quad " << q;
    }
}

// Every quad's UVs stay within its own column of the texture: none spans the
// seam, and both sides of the seam reach u = 0 and u = 1.
TEST(CageRefinementTest, uvSeamsStaySeams) {
    const auto r = refineCage(tubeWithSeam(), 3);
    ASSERT_TRUE(r);
    bool atZero = false, atOne = false;
    for (std::size_t q = 0; q < r->surfaces.size(); ++q) {
        double low = 1, high = 0;
        for (int i = 0; i < 4; ++i) {
            const auto& uv = r->uvs[4 * q + i];
            low = std::min(low, uv[0]), high = std::max(high, uv[0]);
            ASSERT_GE(uv[1], -1e-12);
            ASSERT_LE(uv[1], 1 + 1e-12);
        }
        EXPECT_LE(high - low, 1.0 / 8 + 1e-9) << "quad " << q;
        atZero |= low < 1e-12, atOne |= high > 1 - 1e-12;
    }
    EXPECT_TRUE(atZero && atOne);
}

// The SubPatch object among the real test models: a closed cage of 24 quads
// gives 24 x 64 quads at level 3, closed, inside the cage's box, facing out.
TEST(CageRefinementTest, realSubPatchObjectBecomesAClosedSmoothSurface) {
    const auto objects = testing::lightWaveObjects();
    const auto found = std::find_if(objects.begin(), objects.end(), [](const auto& p) { return p.filename() == "Subdivision.lwo"; });
    if (found == objects.end()) GTEST_SKIP() << "assimp-testmodels is not installed";
    std::ifstream in(*found, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::ostringstream messages;
    const MorvLValue scene = parseLWO2Bytes(bytes, messages)->toCanonical(messages);
    const MeshView view(scene.fields().find("mesh").value());
    Cage cage;
    for (std::size_t v = 0; v < view.vertexCount(); ++v) cage.points.push_back({view.point(v).x, view.point(v).y, view.point(v).z});
    cage.faceStarts.push_back(0);
    for (std::size_t f = 0; f < view.faceCount(); ++f) {
        if (view.faceKind(f) == FaceKind::Polygon) continue;
        for (std::int32_t v : view.corners(f)) cage.corners.push_back(static_cast<std::uint32_t>(v));
        cage.faceStarts.push_back(static_cast<std::uint32_t>(cage.corners.size()));
        cage.faceSurfaces.push_back(static_cast<std::uint32_t>(view.surface(f).value_or(0)));
    }
    ASSERT_EQ(cage.faceSurfaces.size(), 24u);
    const auto r = refineCage(cage, 3);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->surfaces.size(), 24u * 64);
    const auto edges = directedEdges(*r);
    for (const auto& [edge, count] : edges) {
        EXPECT_EQ(count, 1);
        EXPECT_TRUE(edges.contains({edge.second, edge.first}));
    }
    Vec low = cage.points[0], high = cage.points[0];
    for (const Vec& p : cage.points)
        for (int i = 0; i < 3; ++i) low[i] = std::min(low[i], p[i]), high[i] = std::max(high[i], p[i]);
    const Vec middle = centroid(cage.points);
    for (std::size_t i = 0; i < r->positions.size(); ++i) {
        const Vec p = toVec(r->positions[i]), n = toVec(r->normals[i]);
        for (int k = 0; k < 3; ++k) {
            EXPECT_GE(p[k], low[k] - 1e-6);
            EXPECT_LE(p[k], high[k] + 1e-6);
        }
        EXPECT_NEAR(dot(n, n), 1.0, 1e-5);
        EXPECT_GT(dot(n, sub(p, middle)), 0) << "normal " << i << " points in";
    }
}

TEST(CageRefinementTest, refusesCagesItCannotRefine) {
    struct Case {
        const char* name;
        std::function<void(Cage&)> damage;
        int level;
    };
    const Case cases[] = {
        {"level 0", [](Cage&) {}, 0},
        {"level 7", [](Cage&) {}, 7},
        {"no faces", [](Cage& c) { c = Cage{}; }, 1},
        {"corner beyond the points", [](Cage& c) { c.corners[5] = 8; }, 1},
        {"face starts past the corners", [](Cage& c) { c.faceStarts.back() = 25; }, 1},
        {"face starts out of order", [](Cage& c) { std::swap(c.faceStarts[1], c.faceStarts[2]); }, 1},
        {"fewer surfaces than faces", [](Cage& c) { c.faceSurfaces.pop_back(); }, 1},
        {"UVs for some corners", [](Cage& c) { c.cornerUVs.resize(3); }, 1},
        {"not-a-number UV", [](Cage& c) { c.cornerUVs.assign(24, {0, 0}), c.cornerUVs[7][1] = NAN; }, 1},
        {"infinite point", [](Cage& c) { c.points[3][0] = INFINITY; }, 1},
        {"point beyond float range", [](Cage& c) { c.points[3][1] = -1e39; }, 1},
        {"face of two corners", [](Cage& c) { c = cageOf({{0, 0, 0}, {1, 0, 0}}, {{0, 1}}, false); }, 1},
        {"point twice in a face", [](Cage& c) { c.corners[2] = c.corners[0]; }, 1},
        {"faces wound both ways", [](Cage& c) { std::reverse(c.corners.begin(), c.corners.begin() + 4); }, 1},
        {"edge of three faces",
         [](Cage& c) {
             c = cageOf({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}}, {{0, 1, 2}, {1, 0, 3}, {0, 1, 4}}, false);
         },
         1},
        {"more than 2^27 quads", [](Cage& c) { c = grid(182); }, 6},  // 132,496 corners x 4^5 quads
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Cage c = cube();
        k.damage(c);
        EXPECT_FALSE(refineCage(c, k.level).has_value());
    }
}

}  // namespace
}  // namespace morv
