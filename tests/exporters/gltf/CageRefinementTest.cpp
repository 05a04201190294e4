// Cage refinement over cages of every kind: quad counts, closedness, limit points inside
// convex cages, unit outward normals, surfaces carried to the quads, seams kept; refusals.
#include "exporters/gltf/CageRefinement.hpp"

#include <bit>
#include <cmath>
#include <functional>
#include <map>
#include <numbers>

#include <gtest/gtest.h>

#include "common/BrushScan.hpp"
#include "common/LightWaveScan.hpp"
#include "scene/Vector.hpp"

namespace morv {
namespace {

using Faces = std::vector<std::vector<std::uint32_t>>;
template <class T>
XYZ xyz(const std::array<T, 3>& a) { return {a[0], a[1], a[2]}; }
std::vector<XYZ> facePoints(const Cage& c, std::size_t f) {
    std::vector<XYZ> out;
    for (std::uint32_t i = c.faceStarts[f]; i < c.faceStarts[f + 1]; ++i) out.push_back(xyz(c.points[c.corners[i]]));
    return out;
}
XYZ centroid(const Cage& c) {
    XYZ sum{0, 0, 0};
    for (const auto& p : c.points) sum = sum + xyz(p);
    return (1.0 / c.points.size()) * sum;
}

// Points turned by fractional angles, scaled by 10 and moved far from the
// origin (unless real); with outward set, faces turned away from the centroid.
Cage cageOf(const std::vector<XYZ>& points, const Faces& faces, bool outward = false, bool real = false) {
    Cage c;
    const double a = 0.37, b = 1.13;
    for (const XYZ& p : points) {
        const double x = p.x * std::cos(a) - p.y * std::sin(a), y = p.x * std::sin(a) + p.y * std::cos(a);
        const XYZ q = real ? p : XYZ{1234.5, -987.25, 2048.125} + 10 * XYZ{x, y * std::cos(b) - p.z * std::sin(b), y * std::sin(b) + p.z * std::cos(b)};
        c.points.push_back({q.x, q.y, q.z});
    }
    c.faceStarts.push_back(0);
    for (const auto& f : faces) {
        c.corners.insert(c.corners.end(), f.begin(), f.end());
        c.faceStarts.push_back(static_cast<std::uint32_t>(c.corners.size()));
        c.faceSurfaces.push_back(static_cast<std::uint32_t>(c.faceSurfaces.size()));
        const auto p = facePoints(c, c.faceSurfaces.size() - 1);
        if (outward && dot(testing::newell(p), p[0] - centroid(c)) < 0) std::reverse(c.corners.end() - f.size(), c.corners.end());
    }
    return c;
}

// n x n quads of the plane z = 0, or an open tube of n x n quads whose u runs
// once round it (the seam's points have u = 1 on the last column, 0 on the first).
Cage grid(std::uint32_t n, bool tube = false) {
    std::vector<XYZ> p;
    Faces faces;
    const std::uint32_t row = tube ? n : n + 1;
    for (std::uint32_t k = 0; k < row * (n + 1); ++k) {
        const double a = 2 * std::numbers::pi * (k % row) / n;
        p.push_back(tube ? XYZ{std::cos(a), std::sin(a), double(k / row)} : XYZ{double(k % row), double(k / row), 0});
    }
    for (std::uint32_t j = 0; j < n; ++j)
        for (std::uint32_t i = 0; i < n; ++i) faces.push_back({j * row + i, j * row + (i + 1) % row, (j + 1) * row + (i + 1) % row, (j + 1) * row + i});
    Cage c = cageOf(p, faces);
    for (std::uint32_t k = 0; tube && k < c.corners.size(); ++k)
        c.cornerUVs.push_back({double(k / 4 % n + (k % 4 == 1 || k % 4 == 2)) / n, double(k / 4 / n + (k % 4 >= 2)) / n});
    return c;
}

// A prism over a regular n-gon: n quads and two n-gon caps.
Cage prism(std::uint32_t n) {
    std::vector<XYZ> p;
    Faces faces(2);
    for (std::uint32_t i = 0, next = 2; i < n; ++i, next = (i + 1) % n * 2) {
        const double a = 2 * std::numbers::pi * i / n;
        p.insert(p.end(), {{std::cos(a), std::sin(a), -1}, {std::cos(a), std::sin(a), 1}});
        faces[0].push_back(2 * i), faces[1].push_back(2 * i + 1), faces.push_back({2 * i, next, next + 1, 2 * i + 1});
    }
    return cageOf(p, faces, true);
}

TEST(CageRefinementTest, refinedCagesAreWholeSmoothAndFaceOut) {
    const Cage cube = cageOf({{-1, -1, -1}, {-1, -1, 1}, {-1, 1, -1}, {-1, 1, 1}, {1, -1, -1}, {1, -1, 1}, {1, 1, -1}, {1, 1, 1}},
                             {{4, 6, 7, 5}, {0, 1, 3, 2}, {2, 3, 7, 6}, {0, 4, 5, 1}, {1, 5, 7, 3}, {0, 2, 6, 4}}, true);
    struct Shape {
        const char* name;
        Cage cage;
        bool closed, convex, flat;  // closed ones are star-shaped about the centroid; flat ones face +z
    };
    std::vector<Shape> shapes{{"cube", cube, true, true, false}, {"pentagonal prism", prism(5), true, true, false},
                              {"grid", grid(4), false, false, true},
                              {"tube with a UV seam", grid(8, true), false, false, false},
                              {"squares sharing a point", cageOf({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 1, 0}, {2, 2, 0}, {1, 2, 0}}, {{0, 1, 2, 3}, {2, 4, 5, 6}}), false, false, true},
                              {"pyramid", cageOf({{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}, {0, 0, 1.5}}, {{0, 1, 2, 3}, {0, 1, 4}, {1, 2, 4}, {2, 3, 4}, {3, 0, 4}}, true), true, true, false}};
    for (const auto& file : testing::lightWaveObjects())  // Subdivision.lwo: a closed cage of 24 quads
        if (const auto g = testing::scanGeometry(file); std::count(g.kinds.begin(), g.kinds.end(), "PTCH") == 24) {
            std::vector<XYZ> p;
            for (std::size_t i = 0; i < g.points.size(); i += 3) p.push_back({std::bit_cast<float>(g.points[i]), std::bit_cast<float>(g.points[i + 1]), std::bit_cast<float>(g.points[i + 2])});
            shapes.push_back({"Subdivision.lwo", cageOf(p, g.faces, false, true), true, false, false});
        }
    EXPECT_EQ(shapes.size(), testing::lightWaveObjects().empty() ? 6u : 7u);
    const Cage axis = cageOf({{0, 0, 1}, {0, 0, 0}}, {});
    const XYZ up = xyz(axis.points[0]) - xyz(axis.points[1]);  // +z placed: 10 long
    for (const Shape& shape : shapes)
        for (int level : {1, 2, 3}) {
            SCOPED_TRACE(std::string(shape.name) + " at level " + std::to_string(level));
            const auto r = refineCage(shape.cage, level);
            ASSERT_TRUE(r.has_value());
            const std::size_t quads = shape.cage.corners.size() << (2 * (level - 1));
            ASSERT_EQ(r->surfaces.size(), quads);
            ASSERT_EQ(r->positions.size() + r->normals.size(), 8 * quads);
            EXPECT_EQ(r->uvs.size(), shape.cage.cornerUVs.empty() ? 0 : 4 * quads);
            // UVs: no quad spans the seam, and the picture's corners stay where the cage puts them.
            for (std::size_t q = 0; q < r->uvs.size(); q += 4) {
                const auto [low, high] = std::minmax({r->uvs[q][0], r->uvs[q + 1][0], r->uvs[q + 2][0], r->uvs[q + 3][0]});
                EXPECT_LE(high - low, 1.0 / 8 + 1e-9);
            }
            for (const auto corner : {std::array<double, 2>{0, 0}, {1, 0}, {0, 1}, {1, 1}})
                EXPECT_TRUE(r->uvs.empty() || std::find(r->uvs.begin(), r->uvs.end(), corner) != r->uvs.end());
            // Closed: every edge runs once each way (a point's limit is the same floats in every quad).
            std::map<std::pair<std::array<float, 3>, std::array<float, 3>>, int> edges;
            for (std::size_t q = 0; q < quads; ++q)
                for (int i = 0; i < 4; ++i) ++edges[{r->positions[4 * q + i], r->positions[4 * q + (i + 1) % 4]}];
            std::size_t borders = 0;
            for (const auto& [edge, count] : edges) borders += count == 1 && !edges.contains({edge.second, edge.first});
            EXPECT_EQ(edges.size(), 4 * quads);
            EXPECT_EQ(borders == 0, shape.closed);
            for (std::size_t i = 0; i < r->positions.size(); ++i) {
                const XYZ p = xyz(r->positions[i]), n = xyz(r->normals[i]);
                EXPECT_NEAR(length(n), 1.0, 1e-5);
                EXPECT_TRUE(!shape.closed || dot(n, p - centroid(shape.cage)) > 0) << "normal " << i << " points in";
                EXPECT_TRUE(!shape.flat || dot(n, up) > 0.999 * 10) << "normal " << i << " leaves the plane's side";
            }
            for (std::size_t f = 0; shape.convex && f < shape.cage.faceSurfaces.size(); ++f) {
                const auto face = facePoints(shape.cage, f);  // the limit lies behind every face's plane
                for (const auto& p : r->positions) ASSERT_LE(dot(testing::newell(face), xyz(p) - face[0]), 1e-4 * length(testing::newell(face)));
            }
            // Each quad keeps its cage face's surface: on a cube, the side its centre lies furthest out along.
            for (std::size_t q = 0; &shape == &shapes[0] && q < quads; ++q)
                for (std::size_t f = 0; f < 6; ++f) {
                    const XYZ out = xyz(r->positions[4 * q]) + xyz(r->positions[4 * q + 2]) - 2.0 * centroid(cube);
                    ASSERT_LE(dot(testing::newell(facePoints(cube, f)), out), dot(testing::newell(facePoints(cube, r->surfaces[q])), out));
                }
        }
}

TEST(CageRefinementTest, refusesCagesItCannotRefine) {
    const std::function<void(Cage&, int&)> damages[] = {
        [](Cage&, int& l) { l = 7; }, [](Cage& c, int&) { c.corners[5] = 99; }, [](Cage& c, int&) { ++c.faceStarts.back(); },
        [](Cage& c, int&) { std::swap(c.faceStarts[1], c.faceStarts[2]); }, [](Cage& c, int&) { c.faceSurfaces.pop_back(); },
        [](Cage& c, int&) { c.cornerUVs.resize(3); }, [](Cage& c, int&) { c.cornerUVs.assign(36, {0, NAN}); },
        [](Cage& c, int&) { c.points[3][1] = -1e39; }, [](Cage& c, int&) { c = cageOf({{0, 0, 0}, {1, 0, 0}}, {{0, 1}}); },
        [](Cage& c, int&) { c.corners[2] = c.corners[0]; },  // a point twice in a face
        [](Cage& c, int&) { std::reverse(c.corners.begin(), c.corners.begin() + 4); },  // faces wound both ways
        [](Cage& c, int&) { c = cageOf({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}}, {{0, 1, 2}, {1, 0, 3}, {0, 1, 4}}); },
        [](Cage& c, int& l) { c = grid(182), l = 6; },  // 132,496 corners x 4^5 quads: beyond 2^27
    };
    for (std::size_t k = 0; k < std::size(damages); ++k) {
        Cage c = grid(3);  // 9 quads
        int level = 1;
        damages[k](c, level);
        EXPECT_FALSE(refineCage(c, level).has_value()) << "case " << k;
    }
}

}  // namespace
}  // namespace morv
