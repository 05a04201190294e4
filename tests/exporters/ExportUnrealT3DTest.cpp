// The brush text: number format, layout, texture names, texture placement and
// what happens to odd faces, on scenes built here.
#include "exporters/ExportUnrealT3D.hpp"

#include <cmath>
#include <cstdio>
#include <optional>
#include <random>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "common/BrushScan.hpp"
#include "common/TestHelpers.hpp"
#include "importers/TexturePlacement.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/MorvLCoordTransforms.hpp"
#include "support/ImageResolutions.hpp"
#include "support/NeutralFileName.hpp"

namespace morv {
namespace {

MorvLValue str(const char* s) { return MorvLValue::String(s); }

MorvLValue texture(const char* channel, const char* projection, int image, int stIndex,
                   MorvLValue transforms = MorvLValue::List({})) {
    return MorvLValue::Record({{"textureChannel", str(channel)},
                               {"projection", str(projection)},
                               {"image", MorvLValue::Int(image)},
                               {"stIndex", MorvLValue::Int(stIndex)},
                               {"transforms", std::move(transforms)}});
}

MorvLValue surface(const char* name, std::vector<MorvLValue> textures = {}) {
    return MorvLValue::Record({{"name", str(name)}, {"textures", MorvLValue::List(std::move(textures))}});
}

MorvLValue image(const char* path, double w = 64, double h = 32) {
    return MorvLValue::Record(
        {{"fileName", anyFileNameToMorvLNeutral(path)}, {"resolution", makeImageResolution(w, h)}});
}

struct Mesh {
    std::vector<XYZ> points;
    std::vector<std::vector<std::uint32_t>> faces;
    std::vector<std::optional<ST>> sts;  // one per point, slot 0; empty: none
};

MorvLValue sceneOf(const Mesh& m, std::vector<MorvLValue> surfaces, std::vector<MorvLValue> images = {}) {
    MeshBuilder b;
    for (std::size_t i = 0; i < m.points.size(); ++i) {
        const std::uint32_t v = b.addVertex(m.points[i]);
        if (!m.sts.empty()) b.setVertexSts(v, std::span<const std::optional<ST>>(&m.sts[i], 1));
    }
    for (const auto& f : m.faces) b.addFace(f, MorvLValue::Int(0));
    return makeScene(std::move(b).build(), std::move(surfaces), std::move(images));
}

struct Written {
    std::string text;
    std::string messages;
};

Written write(const MorvLValue& scene) {
    std::ostringstream messages;
    Written w;
    w.text = ExportUnrealT3D::brushText(scene, ExportSettings{512, 256, messages});
    w.messages = messages.str();
    return w;
}

double dot(const XYZ& a, const XYZ& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
XYZ minus(const XYZ& a, const XYZ& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

TEST(ExportUnrealT3D, NumbersAreSignedPaddedFixedWithSixDecimals) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {128, "+00128.000000"},        {-3.5, "-00003.500000"},       {0.25, "+00000.250000"},
        {123456.5, "+123456.500000"},  {-0.0000001, "-00000.000000"}, {0, "+00000.000000"},
        {99999.9999996, "+100000.000000"}, {1e20, "+100000000000000000000.000000"},
        {-12.3456789, "-00012.345679"},
    };
    for (const auto& c : cases) {
        std::string out;
        ExportUnrealT3D::appendBrushNumber(out, c.value);
        EXPECT_EQ(out, c.text) << c.value;
    }
    // The same as printf's "%+013.6f", which the editor's own export uses, over
    // many magnitudes and the values that lie on a rounding half.
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; ++i) {
        const double magnitude = std::pow(10.0, static_cast<double>(i % 12) - 3);
        double value = std::uniform_real_distribution<double>(-magnitude, magnitude)(random);
        if (i % 5 == 0) value = (std::floor(value * 1e6) + 0.5) / 1e6;
        char expected[400];
        std::snprintf(expected, sizeof expected, "%+013.6f", value);
        std::string out;
        ExportUnrealT3D::appendBrushNumber(out, value);
        ASSERT_EQ(out, expected) << value;
    }
}

TEST(ExportUnrealT3D, AnEmptyMeshGivesTheTwoFramingLines) {
    const Written w = write(sceneOf({}, {}));
    EXPECT_EQ(w.text, "Begin PolyList\r\nEnd PolyList\r\n");
    EXPECT_EQ(w.messages, "");
}

TEST(ExportUnrealT3D, AnUntexturedSquareIsWrittenLineByLine) {
    const Mesh square{{{0, 0, 0}, {256, 0, 0}, {256, 256, 0}, {0, 256, 0}}, {{0, 1, 2, 3}}, {}};
    EXPECT_EQ(write(sceneOf(square, {surface("Wall")})).text,
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
    const Mesh tri{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}}, {}};
    const struct {
        MorvLValue surface;
        const char* name;
    } cases[] = {
        {surface("Stone", {texture("color", "planar", 0, -1)}), "Wall_Stone_v2"},
        {surface("Stone", {texture("color", "cylindrical", 0, -1), texture("color", "st", 1, 0)}), "floor"},
        {surface("Stone", {texture("diffusion", "planar", 0, -1)}), "Stone"},
        {surface("Old stone.2", {texture("color", "planar", -1, -1)}), "Old_stone_2"},
        {surface("", {}), "Default"},
        {MorvLValue::Record({{"textures", MorvLValue::List({})}}), "Default"},
    };
    for (const auto& c : cases) {
        const Written w = write(sceneOf(tri, {c.surface}, {image("C:\\tex\\Wall Stone.v2.bmp"), image("floor")}));
        const auto polygons = testing::scanBrush(w.text);
        ASSERT_EQ(polygons.size(), 1u);
        EXPECT_EQ(polygons[0].texture, c.name);
    }
}

TEST(ExportUnrealT3D, BrokenSurfacesAndTexturesAreReportedByName) {
    const MorvLValue images = MorvLValue::List({image("a.bmp")});
    const auto prepare = [&](const MorvLValue& s) { return ExportUnrealT3D::prepareSurface(s, images, 512, 512); };
    const auto without = [](const char* field) {
        std::vector<Field> fields = texture("color", "planar", 0, -1).fields().toVector();
        std::erase_if(fields, [&](const Field& f) { return f.name == field; });
        return surface("s", {MorvLValue::Record(std::move(fields))});
    };
    EXPECT_THROW_MSG(prepare(str("x")), Error,
                     "Internal Error: Expected RECORD type not found in ExportUnrealT3D.prepareSurface!\n");
    EXPECT_THROW_MSG(prepare(MorvLValue::Record({{"name", str("s")}})), Error,
                     "Internal Error: Expected field textures not found in ExportUnlrealT3D.prepareSurface!\n");
    EXPECT_THROW_MSG(prepare(surface("s", {MorvLValue::Int(1)})), Error,
                     "Internal error: Expected RECORD type not found in ExportUnrealT3D.getFirstColorTexture!\n");
    for (const char* field : {"textureChannel", "projection", "image", "stIndex", "transforms"})
        EXPECT_THROW_MSG(prepare(without(field)), Error,
                         std::string("Internal Error: Expected field ") + field + " not found in texture data!\n");
    EXPECT_THROW_MSG(prepare(surface("s", {texture("color", "st", 3, 0)})), Error,
                     "Internal error: Image index 3 not found!\n");
    EXPECT_THROW_MSG(ExportUnrealT3D::prepareSurface(surface("s", {texture("color", "st", 0, 0)}),
                                                     MorvLValue::List({MorvLValue::Record(
                                                         {{"fileName", anyFileNameToMorvLNeutral("a.bmp")}})}),
                                                     512, 512),
                     Error, "Could not find field resolution");
}

// The texel of P by the brush's rule.
std::pair<double, double> texel(const testing::BrushPolygon& p, const XYZ& point) {
    const XYZ d = minus(point, p.origin);
    return {dot(d, p.u), dot(d, p.v)};
}

TEST(ExportUnrealT3D, PlanarTexturesShowTheSameTexelsAsTheirProjection) {
    // A tilted hexagon and a wall along the projection direction.
    const Mesh mesh{{{0, 0, 10}, {40, 0, 14}, {60, 30, 17}, {40, 60, 14}, {0, 60, 10}, {-20, 30, 7},
                     {0, 0, 0}, {0, 50, 0}, {0, 50, 40}},
                    {{0, 1, 2, 3, 4, 5}, {6, 7, 8}},
                    {}};
    const MorvLValue transforms = textureTransforms({10, 20, 5}, {0.3, 0.2, 0.1}, {80, 50, 1}, 2);
    const MorvLValue scene =
        sceneOf(mesh, {surface("s", {texture("color", "planar", 0, -1, transforms)})}, {image("p.bmp", 64, 32)});
    const Written w = write(scene);
    EXPECT_EQ(w.messages, "");
    const Matrix4x4 toTexture = Matrix4x4Mult::invert(transformToMatrix4x4(transforms));
    for (const testing::BrushPolygon& p : testing::scanBrush(w.text)) {
        for (const XYZ& v : p.vertices) {
            const XYZ st = Matrix4x4::Trans::transformPoint(toTexture, v);
            const auto [u, t] = texel(p, v);
            EXPECT_NEAR(u, st.x * 64, 1e-3);
            EXPECT_NEAR(t, (1 - st.y) * 32, 1e-3);
        }
    }
}

TEST(ExportUnrealT3D, APlanarProjectionAlongThePolygonsPlaneKeepsPixelZerosPoint) {
    // Projected along z onto a wall that contains the z direction: no
    // intersection to find, so the origin is where pixel (0, 0) lies.
    const Mesh wall{{{3, 0, 0}, {3, 5, 0}, {3, 5, 4}}, {{0, 1, 2}}, {}};
    const MorvLValue transforms = textureTransforms({0, 0, 0}, {0, 0, 0}, {1, 1, 1}, 2);
    const Written w =
        write(sceneOf(wall, {surface("s", {texture("color", "planar", 0, -1, transforms)})}, {image("p.bmp")}));
    const auto polygons = testing::scanBrush(w.text);
    ASSERT_EQ(polygons.size(), 1u);
    EXPECT_EQ(polygons[0].origin, (XYZ{-0.5, 0.5, 0}));
    EXPECT_EQ(polygons[0].u, (XYZ{64, 0, 0}));
    EXPECT_EQ(polygons[0].v, (XYZ{0, -32, 0}));
}

TEST(ExportUnrealT3D, UvTexturesShowEachVertexsTexelAndBadUvsGetTheDefaultPlacement) {
    // A pentagon whose first three points lie on one line, with affine UVs.
    Mesh mesh{{{0, 0, 0}, {10, 0, 0}, {20, 0, 0}, {20, 3, 10}, {0, 3, 10}}, {{0, 1, 2, 3, 4}}, {}};
    for (const XYZ& p : mesh.points) mesh.sts.push_back(ST{0.1 + p.x / 40, 0.2 + p.y / 20});
    const std::vector<MorvLValue> surfaces{surface("s", {texture("color", "st", 0, 0)})};
    Written w = write(sceneOf(mesh, surfaces, {image("uv.bmp", 128, 64)}));
    EXPECT_EQ(w.messages, "");
    auto polygons = testing::scanBrush(w.text);
    ASSERT_EQ(polygons.size(), 1u);
    for (std::size_t i = 0; i < mesh.points.size(); ++i) {
        const auto [u, v] = texel(polygons[0], mesh.points[i]);
        EXPECT_NEAR(u, mesh.sts[i]->s * 128, 1e-3);
        EXPECT_NEAR(v, (1 - mesh.sts[i]->t) * 64, 1e-3);
    }
    for (auto& st : mesh.sts) st = ST{0.5, 0.5};
    w = write(sceneOf(mesh, surfaces, {image("uv.bmp", 128, 64)}));
    EXPECT_EQ(w.messages, "Found badly UV-textured polygon!\n");
    polygons = testing::scanBrush(w.text);
    ASSERT_EQ(polygons.size(), 1u);
    // Facing mostly along y: the x and -z axes, origin on the plane nearest (0, 0, 0).
    EXPECT_EQ(polygons[0].u, (XYZ{1, 0, 0}));
    EXPECT_EQ(polygons[0].v, (XYZ{0, 0, -1}));
    EXPECT_NEAR(dot(polygons[0].origin, polygons[0].normal), dot(mesh.points[0], polygons[0].normal), 1e-6);
}

TEST(ExportUnrealT3D, OddFacesAreCollapsedLeftOutOrCounted) {
    const std::vector<XYZ> points{{0, 0, 0}, {10, 0, 0}, {10, 10, 0}, {0, 10, 0}, {5, 5, 0}, {20, 0, 0}, {5, 2, 0}};
    const struct {
        const char* name;
        std::vector<std::vector<std::uint32_t>> faces;
        std::vector<std::size_t> written;  // vertex count of each written polygon
        std::string messages;
    } cases[] = {
        {"repeated corners collapse", {{0, 0, 1, 2, 2, 3, 0}}, {4}, ""},
        {"two points after collapsing", {{0, 1, 1, 0}}, {}, "Degenerate convex polygon found!\n"},
        {"three points on one line", {{0, 1, 5}}, {}, "Degenerate convex polygon found!\n"},
        {"a concave face of five points",
         {{0, 1, 2, 3, 6}, {0, 1, 2}},
         {5, 3},
         "Warning: 1 concave polygons of 16 or fewer vertices were written as they are\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Written w = write(sceneOf({points, c.faces, {}}, {surface("s")}));
        EXPECT_EQ(w.messages, c.messages);
        std::vector<std::size_t> written;
        for (const testing::BrushPolygon& p : testing::scanBrush(w.text)) written.push_back(p.vertices.size());
        EXPECT_EQ(written, c.written);
    }
    EXPECT_THROW_MSG(write(sceneOf({points, {{0, 1}}, {}}, {surface("s")})), Error,
                     "Polygons must have at least 3 vertices!\n");
    EXPECT_THROW_MSG(write(sceneOf({{{0, 0, 0}, {1, 0, 0}, {0, NAN, 0}}, {{0, 1, 2}}, {}}, {surface("s")})), Error,
                     "Vertex 2 lies at (0.0, nan, 0.0) after the transforms; a coordinate that is not a finite "
                     "number cannot be written to an Unreal brush");
}

}  // namespace
}  // namespace morv
