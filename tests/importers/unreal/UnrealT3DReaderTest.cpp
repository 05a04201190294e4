// The brush reader: which texts it recognises, the scene it makes of a brush
// (shared points, faces, surfaces by texture name, per-corner texture
// coordinates from each polygon's own placement), and the message of every
// kind of damage, including a brush cut short at every byte.
#include "importers/unreal/UnrealT3DReader.hpp"

#include <sstream>

#include <gtest/gtest.h>

#include "common/BrushFixtures.hpp"
#include "common/SceneGeometry.hpp"
#include "common/TestHelpers.hpp"
#include "scene/CanonicalScene.hpp"
#include "support/NeutralFileName.hpp"

namespace morv {
namespace {

using testing::brushSquare;
using testing::brushText;
using testing::BrushPolygonText;
using V = MorvLValue;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct Read {
    V scene;
    std::string messages;
};

Read read(std::string_view text, double width = 512, double height = 512) {
    std::ostringstream messages;
    V scene = readUnrealT3DSceneFromBytes(bytesOf(text), messages, width, height);
    return {scene, messages.str()};
}

V field(const V& record, std::string_view name) { return requireField(record.fields(), name); }

TEST(UnrealT3DReaderProbe, RecognisesBrushTextOnly) {
    const struct {
        std::string text;
        bool brush;
    } cases[] = {
        {brushText({brushSquare()}), true},
        {brushText({brushSquare()}, "\n"), true},
        {"\xEF\xBB\xBF  \r\n\tBegin PolyList\nBegin Polygon\n", true},
        {"Begin PolyList\r\nEnd PolyList\r\n", true},  // the empty brush the writer makes
        {"begin polylist\nbegin polygon\n", false},
        {"Begin PolyList\nBegin PolygonX\n", false},
        {"Begin PolyList\n", false},
        {"Begin Map\nBegin Actor Class=Brush\nBegin Brush\nBegin PolyList\nBegin Polygon\n", false},
        {"", false},
        {std::string("FORM\0\0\0\x04LWO2", 12), false},
        {"Begin Poly", false},
    };
    for (const auto& c : cases) EXPECT_EQ(probeUnrealT3D(bytesOf(c.text)), c.brush) << c.text;
}

TEST(UnrealT3DReader, PolygonsBecomeFacesOnSharedPoints) {
    BrushPolygonText side = brushSquare(0, "Texture=Pkg.Grp.Stone Flags=3584");
    side.vertices = {{0, 0, 0}, {256, 0, 0}, {256, 0, -0.0}, {256, 0, 64}, {0, 0, 64}};  // a repeat, and -0
    BrushPolygonText untextured = brushSquare(64, "Item=OUTSIDE Link=2");
    const Read r = read(brushText({brushSquare(), side, untextured, brushSquare(128, "Texture=Pkg.Grp.Stone")}));
    EXPECT_EQ(r.messages, "");

    const auto g = testing::geometryOf(r.scene);
    EXPECT_EQ(g.points, (std::vector<XYZ>{{0, 0, 0}, {0, 256, 0}, {256, 256, 0}, {256, 0, 0}, {256, 0, 64},
                                          {0, 0, 64}, {0, 256, 64}, {256, 256, 64}, {0, 0, 128}, {0, 256, 128},
                                          {256, 256, 128}, {256, 0, 128}}));
    EXPECT_EQ(g.faces, (std::vector<std::vector<std::int32_t>>{
                           {0, 1, 2, 3}, {0, 3, 4, 5}, {5, 6, 7, 4}, {8, 9, 10, 11}}));
    EXPECT_EQ(g.surfaces, (std::vector<std::int32_t>{0, 1, 2, 1}));

    const V surfaces = field(r.scene, "surfaces");
    ASSERT_EQ(surfaces.size(), 3u);
    const V images = field(r.scene, "images");
    ASSERT_EQ(images.size(), 2u);
    const struct {
        const char* surface;
        std::int32_t image;
    } expected[] = {{"Wall", 0}, {"Pkg.Grp.Stone", 1}, {"Default", -1}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(field(surfaces.at(i), "name").asString(), expected[i].surface);
        const V textures = field(surfaces.at(i), "textures");
        ASSERT_EQ(textures.size(), 1u);
        const Fields t = textures.at(0).fields();
        EXPECT_EQ(forceGetStringField(t, "textureChannel"), "color");
        EXPECT_EQ(forceGetStringField(t, "projection"), "st");
        EXPECT_EQ(forceGetIntegerField(t, "stIndex"), 0);
        EXPECT_EQ(forceGetIntegerField(t, "image"), expected[i].image);
        EXPECT_EQ(forceGetListField(t, "transforms").size(), 0u);
    }
    EXPECT_EQ(neutralToPlatform("Unix", field(images.at(0), "fileName")), "Wall");
    EXPECT_EQ(neutralToPlatform("Unix", field(images.at(1), "fileName")), "Pkg/Grp/Stone");
    EXPECT_EQ(neutralToPlatform("Windows", field(images.at(1), "fileName")), "Pkg\\Grp\\Stone");
}

// The texture name is the rest of the first "Texture=" word; none, or an empty
// one, means the surface "Default".
TEST(UnrealT3DReader, TheFirstTextureWordNamesTheSurface) {
    const struct {
        const char* attributes;
        const char* surface;
    } cases[] = {
        {"Item=OUTSIDE Texture=Brick Link=0", "Brick"},
        {"Item=OUTSIDE Link=0", "Default"},
        {"", "Default"},
        {"Texture=", "Default"},
        {"Texture=A\tTexture=B", "A"},
        {"Flags=3584 Texture=Engine.DefaultTexture", "Engine.DefaultTexture"},
        {"texture=lower Texture=Upper", "Upper"},
    };
    for (const auto& c : cases) {
        const V surfaces = field(read(brushText({brushSquare(0, c.attributes)})).scene, "surfaces");
        ASSERT_EQ(surfaces.size(), 1u) << c.attributes;
        EXPECT_EQ(field(surfaces.at(0), "name").asString(), c.surface) << c.attributes;
    }
}

// Pixel (u, v) = ((P - Origin) . TextureU + PanU, (P - Origin) . TextureV + PanV)
// is stored as s = u / w, t = 1 - v / h.
TEST(UnrealT3DReader, EachPolygonKeepsItsOwnPlacementAsCornerCoordinates) {
    BrushPolygonText p = brushSquare();
    p.origin = {16, 32, 5};
    p.textureU = {2, 0, 0};
    p.textureV = {0, -0.5, 0};
    p.vertices = {{16, 32, 0}, {16, 288, 0}, {272, 288, 0}};
    std::string text = brushText({p, p}, "\n");
    // The second polygon is panned by (8, -4) pixels, the way the editor writes it.
    const std::size_t second = text.rfind("      TextureU");
    text.insert(second, "      Pan      U=8 V=-4\n");
    const Read r = read(text, 256, 128);
    const MeshView mesh(field(r.scene, "mesh"));
    ASSERT_EQ(mesh.faceCount(), 2u);
    const double expected[2][3][2] = {
        {{0.0, 1.0}, {0.0, 1.0 + 128.0 / 128}, {512.0 / 256, 1.0 + 128.0 / 128}},
        {{8.0 / 256, 1.0 + 4.0 / 128}, {8.0 / 256, 1.0 + 132.0 / 128}, {520.0 / 256, 1.0 + 132.0 / 128}},
    };
    for (std::size_t f = 0; f < 2; ++f)
        for (std::size_t k = 0; k < 3; ++k) {
            const auto st = mesh.cornerOwnSt(0, mesh.firstCorner(f) + k);
            ASSERT_TRUE(st.has_value());
            EXPECT_DOUBLE_EQ(st->s, expected[f][k][0]) << f << " " << k;
            EXPECT_DOUBLE_EQ(st->t, expected[f][k][1]) << f << " " << k;
        }
}

TEST(UnrealT3DReader, UnusablePolygonsAreLeftOutWithAWarningThatNamesThem) {
    BrushPolygonText twoPoints = brushSquare();
    twoPoints.vertices = {{0, 0, 0}, {1, 1, 1}, {1, 1, 1}, {0, 0, 0}};
    BrushPolygonText onALine = brushSquare();
    onALine.vertices = {{0, 0, 0}, {1e-3, 2e-3, 3e-3}, {0.1, 0.2, 0.3}, {1e6, 2e6, 3e6}};
    BrushPolygonText noVertices = brushSquare();
    noVertices.vertices.clear();
    BrushPolygonText huge = brushSquare();  // differences overflow: kept, for the writers to refuse
    huge.vertices = {{-1.7e308, 0, 0}, {1.7e308, 0, 0}, {0, 1, 0}};
    const Read r = read(brushText({twoPoints, brushSquare(), onALine, noVertices, huge}));
    EXPECT_EQ(r.messages,
              "Warning: Polygon 1 (line 2) has fewer than 3 different points and is left out\n"
              "Warning: Polygon 3 (line 22) has no area (its points lie on one line) and is left out\n"
              "Warning: Polygon 4 (line 32) has fewer than 3 different points and is left out\n");
    const auto g = testing::geometryOf(r.scene);
    EXPECT_EQ(g.faces.size(), 2u);
    EXPECT_EQ(g.points.size(), 7u) << "the points of left-out polygons are not in the mesh";
}

TEST(UnrealT3DReader, AnEmptyBrushIsAnEmptyScene) {
    for (const char* text : {"Begin PolyList\r\nEnd PolyList\r\n", "\xEF\xBB\xBF" "Begin PolyList End PolyList \n\n"}) {
        const Read r = read(text);
        EXPECT_EQ(testing::geometryOf(r.scene).faces.size(), 0u);
        EXPECT_EQ(field(r.scene, "surfaces").size(), 0u);
    }
}

// Hand-written brushes: line feeds only, plain numbers, blanks around commas.
TEST(UnrealT3DReader, PlainHandWrittenLayoutsRead) {
    const std::string text =
        "Begin PolyList\n"
        "Begin Polygon\n"
        "Origin 0,0,0\n"
        "Normal 0, 0, 1\n"
        "TextureU 1 ,0 , 0\n"
        "TextureV\t0,1,0\n"
        "Vertex 0,0,0\nVertex 1,0,0\nVertex+1,+1,0\n"
        "End Polygon\n"
        "End PolyList";
    const auto g = testing::geometryOf(read(text).scene);
    EXPECT_EQ(g.points, (std::vector<XYZ>{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}}));
}

TEST(UnrealT3DReader, DamagedBrushesSayWhatIsWrong) {
    const std::string head = "Begin PolyList\nBegin Polygon\nOrigin 0,0,0\nNormal 0,0,1\nTextureU 1,0,0\nTextureV 0,1,0\n";
    const std::string tail = "End Polygon\nEnd PolyList\n";
    const std::string v = "Vertex 0,0,0\nVertex 1,0,0\nVertex 0,1,0\n";
    std::string manyVertices;
    for (int i = 0; i < 1000000; ++i) manyVertices += "Vertex 0,0,0\n";
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"begin polylist\n", "Begin PolyList expected"},
        {"Begin PolyList\nBegin Polygon\nNormal 0,0,1\n", "Origin expected"},
        {"Begin PolyList\nBegin Polygon\nOrigin 0,0,0\nOrigin 0,0,0\n", "Normal expected"},
        {head + "vertex 0,0,0\n" + tail, "End Polygon expected"},
        {head + v + "End Polygon\nEND POLYLIST\n", "End PolyList expected"},
        {head + "Vertex 1.2.3,0,0\n" + tail, "The string 1.2.3 is not a real number"},
        {head + "Vertex 0,-,0\n" + tail, "The string - is not a real number"},
        {head + "Vertex 0,0,1e999\n" + tail, "The string 1e999 is not a real number"},
        {head + "Vertex 1.#INF,0,0\n" + tail, "The string 1.#INF is not a real number"},
        {head + "Vertex 0,0\n" + tail, "Could not repeat parser the last 1 times!"},
        {head + "Vertex 0,0,0,0\n" + tail, ", unexpected"},
        {head + "Vertex 0,0,x\n" + tail, "The string x is not a real number"},
        {head + "Pan U=1 V=2\n" + tail, "End Polygon expected"},  // Pan belongs before TextureU
        {head + v + tail + "trailing words\n", "trailing unexpected"},
        {head + v + tail + "\x01\x02", "\\x01 unexpected"},
        {"Begin PolyList\n" + std::string("\x89PNG\r\n\x1a\n\0\0", 10), "End PolyList expected"},
        {"Begin PolyList\nBegin Polygon Texture=" + std::string(1025, 'a') + "\n",
         "The texture name in line 2 has 1025 characters; at most 1024 are accepted"},
        {head + manyVertices + tail, "Polygon 1 (line 2) has more than 1023 vertices"},
        {"Begin PolyList\nBegin Polygon " + std::string(100'000'000, 'x'), "Unexpected end of file"},
    };
    for (const auto& c : cases) EXPECT_THROW_MSG(read(c.text), BrushSyntaxError, c.message);
}

// A brush cut anywhere before its last keyword is reported as cut short.
TEST(UnrealT3DReader, EveryTruncatedBrushEndsWithUnexpectedEndOfFile) {
    BrushPolygonText panned = brushSquare(3.25, "Item=OUTSIDE Texture=Pkg.Wall Link=1");
    std::string text = brushText({brushSquare(), panned});
    text.insert(text.rfind("      TextureU"), "      Pan      U=-12 V=7\r\n");
    const std::size_t complete = text.rfind("End PolyList") + std::string("End PolyList").size();
    for (std::size_t n = 0; n < text.size(); ++n) {
        const std::string prefix = text.substr(0, n);
        if (n < complete)
            EXPECT_THROW_MSG(read(prefix), BrushSyntaxError, "Unexpected end of file");
        else
            EXPECT_EQ(testing::geometryOf(read(prefix).scene).faces.size(), 2u);
    }
}

}  // namespace
}  // namespace morv
