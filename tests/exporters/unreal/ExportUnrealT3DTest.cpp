// The brush text on scenes built here: number format, layout, texture names,
// broken surfaces and texture placements the real objects do not show.
#include "exporters/unreal/ExportUnrealT3D.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <random>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "common/BrushScan.hpp"
#include "common/SceneFixtures.hpp"
#include "common/TestHelpers.hpp"
#include "scene/TexturePlacement.hpp"

namespace morv {
namespace {

using testing::image, testing::planar, testing::scene, testing::surface, testing::texture;

struct Written {
    std::string text, messages;
};

Written write(const MorvLValue& scene) {
    std::ostringstream messages;
    std::string text = ExportUnrealT3D::brushText(scene, ExportSettings{512, 256, messages});
    return {std::move(text), messages.str()};
}

double dot(const XYZ& a, const XYZ& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// Every number as printf's "%+013.6f", which the editor's own export uses: over
// many magnitudes, halves, the edges of padding and of carries, -0 and non-finite.
TEST(ExportUnrealT3D, NumbersAreWrittenAsPrintfsSignedPaddedFixedForm) {
    std::vector<double> values{128, -3.5, 0.25, 123456.5, -0.0000001, 0, -0.0, 99999.9999996, 1e20, -12.3456789,
                               -9999999.9999999, INFINITY, -INFINITY, NAN, -NAN, 1.7976931348623157e308, 5e-324};
    for (double edge : {9999999.9999995, 999999.9999995, 99999.9999995, 0.0000005, 1e7})
        values.insert(values.end(), {std::nextafter(edge, 0.0), edge, std::nextafter(-edge, -1e300)});
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; ++i) {
        const double magnitude = std::pow(10.0, static_cast<double>(i % 12) - 3);
        const double value = std::uniform_real_distribution<double>(-magnitude, magnitude)(random);
        values.push_back(i % 5 == 0 ? (std::floor(value * 1e6) + 0.5) / 1e6 : value);
    }
    for (double value : values) {
        char expected[400];
        std::snprintf(expected, sizeof expected, "%+013.6f", value);
        std::string out;
        ExportUnrealT3D::appendBrushNumber(out, value);
        ASSERT_EQ(out, expected) << value;
    }
}

TEST(ExportUnrealT3D, AnUntexturedSquareIsWrittenLineByLine) {
    EXPECT_EQ(write(scene({}, {}, {})).text, "Begin PolyList\r\nEnd PolyList\r\n");
    EXPECT_EQ(write(scene({{0, 0, 0}, {256, 0, 0}, {256, 256, 0}, {0, 256, 0}}, {{{0, 1, 2, 3}}}, {surface("Wall")})).text,
              "Begin PolyList\r\n"
              "   Begin Polygon Item=OUTSIDE Texture=Wall Link=0\r\n"
              "      Origin   +00000.000000,+00000.000000,+00000.000000\r\n"
              "      Normal   +00000.000000,+00000.000000,+00001.000000\r\n"
              "      TextureU +00001.000000,+00000.000000,+00000.000000\r\n"
              "      TextureV +00000.000000,-00001.000000,+00000.000000\r\n"
              "      Vertex   +00000.000000,+00000.000000,+00000.000000\r\n"
              "      Vertex   +00256.000000,+00000.000000,+00000.000000\r\n"
              "      Vertex   +00256.000000,+00256.000000,+00000.000000\r\n"
              "      Vertex   +00000.000000,+00256.000000,+00000.000000\r\n"
              "   End Polygon\r\n"
              "End PolyList\r\n");
}

TEST(ExportUnrealT3D, TextureNamesAreImageBaseNamesOrSurfaceNamesInPlainCharacters) {
    const struct {
        MorvLValue surface;
        std::string name;
    } cases[] = {
        {surface(std::string(2000, 'x')), std::string(1024, 'x')},  // the most the brush reader takes
        {surface("Stone", {planar()}), "Wall_Stone_v2"},
        {surface("Stone", {texture({{"projection", MorvLValue::String("cylindrical")}}), texture({{"image", MorvLValue::Int(1)}})}),
         "floor"},
        {surface("Stone", {planar({{"textureChannel", MorvLValue::String("diffusion")}})}), "Stone"},
        {surface("Old stone.2", {planar({{"image", MorvLValue::Int(-1)}})}), "Old_stone_2"},
        {surface(""), "Default"},
        {MorvLValue::Record({{"textures", MorvLValue::List({})}}), "Default"},
    };
    for (const auto& c : cases) {
        const auto polygons = testing::scanBrush(write(scene({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{{0, 1, 2}}}, {c.surface},
                                                             {image("C:\\tex\\Wall Stone.v2.bmp", 64, 32), image("floor", 64, 32)}))
                                                     .text);
        ASSERT_EQ(polygons.size(), 1u);
        EXPECT_EQ(polygons[0].texture, c.name);
    }
}

TEST(ExportUnrealT3D, BrokenScenesAreReportedByName) {
    EXPECT_THROW_MSG(write(scene({{0, 0, 0}, {1, 0, 0}, {0, NAN, 0}}, {{{0, 1, 2}}}, {surface("s")})), Error,
                     "Vertex 2 lies at (0.0, nan, 0.0) after the transforms; a coordinate that is not a finite "
                     "number cannot be written to an Unreal brush");
    const auto prepare = [](const MorvLValue& s, MorvLValue picture = image("a.bmp", 64, 32)) {
        return ExportUnrealT3D::prepareSurface(s, MorvLValue::List({picture}), 512, 512);
    };
    EXPECT_THROW_MSG(prepare(MorvLValue::String("x")), Error,
                     "Internal Error: Expected RECORD type not found in ExportUnrealT3D.prepareSurface!\n");
    EXPECT_THROW_MSG(prepare(MorvLValue::Record({{"name", MorvLValue::String("s")}})), Error,
                     "Internal Error: Expected field textures not found in ExportUnlrealT3D.prepareSurface!\n");
    EXPECT_THROW_MSG(prepare(surface("s", {MorvLValue::Int(1)})), Error,
                     "Internal error: Expected RECORD type not found in ExportUnrealT3D.getFirstColorTexture!\n");
    for (const char* field : {"textureChannel", "projection", "image", "stIndex", "transforms"})
        EXPECT_THROW_MSG(prepare(surface("s", {planar({{field, MorvLValue::Absent()}})})), Error,
                         std::string("Internal Error: Expected field ") + field + " not found in texture data!\n");
    EXPECT_THROW_MSG(prepare(surface("s", {texture({{"image", MorvLValue::Int(3)}})})), Error,
                     "Internal error: Image index 3 not found!\n");
    EXPECT_THROW_MSG(prepare(surface("s", {texture()}), image("a.bmp")), Error, "Could not find field resolution");
}

TEST(ExportUnrealT3D, APlanarProjectionAlongThePolygonsPlaneKeepsPixelZerosPoint) {
    // Projected along z onto a wall that contains the z direction: no
    // intersection to find, so the origin is pixel (0, 0)'s point nearest the wall.
    const MorvLValue transforms = textureTransforms({0, 0, 0}, {0, 0, 0}, {1, 1, 1}, 2);
    const auto polygons = testing::scanBrush(write(scene({{3, 0, 0}, {3, 5, 0}, {3, 5, 4}}, {{{0, 1, 2}}},
                                                         {surface("s", {planar({{"transforms", transforms}})})},
                                                         {image("p.bmp", 64, 32)}))
                                                 .text);
    ASSERT_EQ(polygons.size(), 1u);
    EXPECT_EQ(polygons[0].origin, (XYZ{-0.5, 0.5, 1.333333}));
    EXPECT_EQ(polygons[0].u, (XYZ{64, 0, 0}));
    EXPECT_EQ(polygons[0].v, (XYZ{0, -32, 0}));
}

TEST(ExportUnrealT3D, UvTexturesShowEachVertexsTexelAndBadUvsGetTheDefaultPlacement) {
    // A pentagon whose first three points lie on one line, with affine UVs.
    const std::vector<XYZ> points{{0, 0, 0}, {10, 0, 0}, {20, 0, 0}, {20, 3, 10}, {0, 3, 10}};
    std::vector<std::optional<ST>> sts;
    for (const XYZ& p : points) sts.push_back(ST{0.1 + p.x / 40, 0.2 + p.y / 20});
    const auto brush = [&](const std::vector<std::optional<ST>>& cornerSts) {
        return write(scene(points, {{{0, 1, 2, 3, 4}}}, {surface("s", {texture()})}, {image("uv.bmp", 128, 64)}, cornerSts));
    };
    Written w = brush(sts);
    EXPECT_EQ(w.messages, "");
    auto polygons = testing::scanBrush(w.text);
    ASSERT_EQ(polygons.size(), 1u);
    for (std::size_t i = 0; i < points.size(); ++i) {  // (P - Origin) . TextureU and . TextureV
        const XYZ& o = polygons[0].origin;
        const XYZ d{points[i].x - o.x, points[i].y - o.y, points[i].z - o.z};
        EXPECT_NEAR(dot(d, polygons[0].u), sts[i]->s * 128, 1e-3);
        EXPECT_NEAR(dot(d, polygons[0].v), (1 - sts[i]->t) * 64, 1e-3);
    }
    w = brush(std::vector<std::optional<ST>>(points.size(), ST{0.5, 0.5}));
    EXPECT_EQ(w.messages, "Found badly UV-textured polygon!\n");
    polygons = testing::scanBrush(w.text);
    ASSERT_EQ(polygons.size(), 1u);
    // Facing mostly along y: the x and -z axes, origin on the plane nearest (0, 0, 0).
    EXPECT_EQ(polygons[0].u, (XYZ{1, 0, 0}));
    EXPECT_EQ(polygons[0].v, (XYZ{0, 0, -1}));
    EXPECT_NEAR(dot(polygons[0].origin, polygons[0].normal), dot(points[0], polygons[0].normal), 1e-6);

    // On a slanted line up to single-precision rounding: the same warning, never a far origin.
    std::vector<std::optional<ST>> slanted;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const float s = 0.1f + 0.13f * static_cast<float>(i);
        slanted.push_back(ST{s, static_cast<float>(0.7 * s + 0.05)});
    }
    w = brush(slanted);
    EXPECT_NE(w.messages.find("Found badly UV-textured polygon!\n"), std::string::npos);
    for (const auto& p : testing::scanBrush(w.text)) EXPECT_LT(std::sqrt(dot(p.origin, p.origin)), 100);
    // Not an affine map of the face: cut until each piece shows every corner its texel.
    for (std::size_t i = 0; i < points.size(); ++i) sts[i] = ST{0.1 + points[i].x * points[i].x / 1600, 0.2 + points[i].y / 20};
    w = brush(sts);
    polygons = testing::scanBrush(w.text);
    EXPECT_GT(polygons.size(), 1u);
    for (const auto& p : polygons)
        for (const XYZ& v : p.vertices) {
            const auto i = static_cast<std::size_t>(std::find(points.begin(), points.end(), v) - points.begin());
            ASSERT_LT(i, points.size());
            const XYZ d{v.x - p.origin.x, v.y - p.origin.y, v.z - p.origin.z};
            EXPECT_NEAR(dot(d, p.u), sts[i]->s * 128, 0.02);
            EXPECT_NEAR(dot(d, p.v), (1 - sts[i]->t) * 64, 0.02);
        }
}

// UVs ever nearer one line: each corner its texel, or the warning and the default placement; never a distant origin.
TEST(ExportUnrealT3D, UvsNearlyOnOneLineNeverPutTheOriginFarAway) {
    const std::vector<XYZ> points{{1000, 2000, 0}, {1100, 2000, 0}, {1050, 2080, 0}};
    for (const double off : {1e-2, 1e-4, 1e-5, 1e-6, 1e-7}) {
        const std::vector<std::optional<ST>> sts{ST{0.2, 0.3}, ST{0.6, 0.5}, ST{0.4, 0.4 + off}};
        const Written w = write(scene(points, {{{0, 1, 2}}}, {surface("s", {texture()})}, {image("uv.bmp", 128, 64)}, sts));
        const auto p = testing::scanBrush(w.text).at(0);
        const bool placed = w.messages.empty();
        EXPECT_TRUE(placed || (w.messages == "Found badly UV-textured polygon!\n" && p.u == XYZ{1, 0, 0})) << w.messages << off;
        for (std::size_t i = 0; i < points.size(); ++i) {
            const XYZ d{points[i].x - p.origin.x, points[i].y - p.origin.y, -p.origin.z};
            EXPECT_LE(std::sqrt(dot(d, d)), 2 * 100 * 128) << off;
            EXPECT_TRUE(!placed || std::hypot(dot(d, p.u) - sts[i]->s * 128, dot(d, p.v) - (1 - sts[i]->t) * 64) <= texelTolerance) << off;
        }
    }
}

}  // namespace
}  // namespace morv
