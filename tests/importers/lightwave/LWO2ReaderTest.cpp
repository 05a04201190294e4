#include <gtest/gtest.h>

#include <sstream>

#include "common/LwoFixtures.hpp"
#include "common/SceneGeometry.hpp"
#include "common/TestHelpers.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "scene/TexturePlacement.hpp"
#include "scene/CanonicalScene.hpp"
#include "support/NeutralFileName.hpp"

namespace morv {
namespace {

using testing::Bytes;
using testing::IffBuilder;
using V = MorvLValue;
using testing::Face;
using testing::faces;
using testing::points;

const std::string curvedMessage =
    "Morv3D Converter currently only supports polygon meshes - not curved surfaces!\n"
    "Debug info: POLSTypeTag encountered = ";
const std::string noLayerWarning = "Warning: No first layer present in updateFirstLayer!\n";

struct Converted {
    V scene;
    std::string messages;
};

Converted convert(const Bytes& bytes) {
    std::ostringstream messages;
    V scene = parseLWO2Bytes(bytes, messages)->toCanonical(messages);
    return {scene, messages.str()};
}

V field(const V& record, std::string_view name) { return requireField(record.fields(), name); }
V mesh(const V& scene) { return field(scene, "mesh"); }
V surfaces(const V& scene) { return field(scene, "surfaces"); }


std::vector<std::string> surfaceNames(const V& scene) {
    std::vector<std::string> out;
    for (const V& s : surfaces(scene).items()) out.push_back(field(s, "name").asString());
    return out;
}

// A square over four points, bound to tag 0.
IffBuilder squareLayer(std::uint16_t number = 0) {
    IffBuilder b;
    b.chunk("LAYR", testing::lwo2Layer(number, "layer1"))
        .chunk("PNTS", testing::lwo2Points({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}))
        .chunk("POLS", testing::lwo2Polygons("FACE", {{0, 1, 2, 3}}))
        .chunk("PTAG", testing::lwo2PolygonTags("SURF", {{0, 0}}));
    return b;
}

IffBuilder squareObject() {
    IffBuilder b;
    b.chunk("TAGS", testing::lwo2Tags({"Default"})).raw(squareLayer());
    return b;
}

// ---- Probe and header ----

TEST(LWO2ReaderProbe, AnswersOnlyForLWO2Forms) {
    EXPECT_TRUE(probeLWO2(testing::iffForm("LWO2", squareObject())));
    EXPECT_FALSE(probeLWO2(testing::iffForm("LWOB", {})));
    EXPECT_FALSE(probeLWO2(Bytes{'F', 'O', 'R', 'M', 0, 0, 0, 4, 'L', 'W'}));
    EXPECT_FALSE(probeLWO2(Bytes{}));
    EXPECT_EQ(lwo2ReaderProgressLine("a.lwo"), "Reading IFF LWO2 (LightWave3D Object after [6]) file a.lwo \n");
}

TEST(LWO2ReaderProbe, ReadsThroughTheFile) {
    const std::string path = testing::writeTempFile(testing::iffForm("LWO2", squareObject()), "square.lwo");
    std::ostringstream messages;
    const V scene = readLWO2Scene(path, messages);
    EXPECT_EQ(points(scene).size(), 4u);
    EXPECT_EQ(messages.str(), "");
}

// ---- The full object ----

IffBuilder fullObject() {
    IffBuilder blocks;
    IffBuilder header;
    header.str("\x80")
        .sub("CHAN", IffBuilder().id("COLR"))
        .sub("ENAB", IffBuilder().u2(1))
        .sub("OPAC", IffBuilder().u2(0).f4(0.5).vx(0));
    IffBuilder tmap;
    tmap.sub("CNTR", IffBuilder().vec(1, 2, 3).vx(0))
        .sub("SIZE", IffBuilder().vec(2, 4, 8).vx(0))
        .sub("ROTA", IffBuilder().vec(0.5, 0, 0).vx(0))
        .sub("OREF", IffBuilder().str("(none)"))
        .sub("CSYS", IffBuilder().u2(1));
    IffBuilder imap;
    imap.sub("IMAP", header)
        .sub("TMAP", tmap)
        .sub("PROJ", IffBuilder().u2(5))
        .sub("AXIS", IffBuilder().u2(2))
        .sub("IMAG", IffBuilder().vx(1))
        .sub("WRAP", IffBuilder().u2(1).u2(1))
        .sub("VMAP", IffBuilder().str("uvA"));
    IffBuilder red;
    red.sub("COLR", IffBuilder().vec(1, 0, 0).vx(0)).sub("DIFF", IffBuilder().f4(0.75).vx(0)).sub("BLOK", imap);
    IffBuilder blue;
    blue.sub("COLR", IffBuilder().vec(0, 0, 1).vx(0)).sub("SPEC", IffBuilder().f4(0.25).vx(0));

    IffBuilder b;
    b.chunk("TAGS", testing::lwo2Tags({"Red", "Blue"}))
        .chunk("LAYR", testing::lwo2Layer(0, "base"))
        .chunk("PNTS", testing::lwo2Points({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}))
        .chunk("VMAP", testing::lwo2VertexMap("TXUV", 2, "uvA", {{0, 0, {0, 0}}, {1, 0, {1, 0}}, {2, 0, {1, 1}}}))
        .chunk("POLS", testing::lwo2Polygons("FACE", {{0, 1, 2, 3}}))
        .chunk("PTAG", testing::lwo2PolygonTags("SURF", {{0, 0}}))
        .chunk("LAYR", testing::lwo2Layer(1, "child", 0))
        .chunk("PNTS", testing::lwo2Points({{0, 0, 1}, {1, 0, 1}, {0, 1, 1}}))
        .chunk("POLS", testing::lwo2Polygons("FACE", {{0, 1, 2}}))
        .chunk("PTAG", testing::lwo2PolygonTags("SURF", {{0, 1}}))
        .chunk("VMAD", testing::lwo2PolygonVertexMap("TXUV", 2, "uvA", {{1, 0, {0.5, 0.25}}}))
        .chunk("CLIP", testing::lwo2StillClip(1, "images/checker.bmp"))
        .chunk("SURF", testing::lwo2Surface("Red", "", red))
        .chunk("SURF", testing::lwo2Surface("Blue", "Red", blue));
    return b;
}

TEST(LWO2ReaderObject, LayersMergeInFileOrderWithTheirSurfaces) {
    const auto [scene, messages] = convert(testing::iffForm("LWO2", fullObject()));
    EXPECT_EQ(messages, "");
    EXPECT_EQ(points(scene),
              (std::vector<XYZ>{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {0, 1, 1}}));
    EXPECT_EQ(faces(scene), (std::vector<Face>{{{0, 1, 2, 3}, 0}, {{4, 5, 6}, 1}}));
    EXPECT_EQ(surfaceNames(scene), (std::vector<std::string>{"Red", "Blue"}));
}

TEST(LWO2ReaderObject, UvMapsFillVertexAndCornerSlots) {
    const auto [scene, messages] = convert(testing::iffForm("LWO2", fullObject()));
    const V vertices = field(mesh(scene), "vertices");
    const V st = V::Array({makeSTRecord(1, 1)});
    EXPECT_EQ(field(vertices.at(2), "sts"), st);
    EXPECT_FALSE(vertices.at(3).fields().find("sts"));  // not in the map
    EXPECT_FALSE(vertices.at(5).fields().find("sts"));  // its coordinates are per corner
    const V corners = field(field(mesh(scene), "faces").at(1), "corners");
    EXPECT_EQ(field(corners.at(1), "sts"), V::Array({makeSTRecord(0.5, 0.25)}));
    EXPECT_FALSE(corners.at(0).fields().find("sts"));
}

TEST(LWO2ReaderObject, TextureCarriesEveryFieldOfItsBlock) {
    const auto [scene, messages] = convert(testing::iffForm("LWO2", fullObject()));
    const V red = surfaces(scene).at(0);
    EXPECT_EQ(field(red, "color").asColor(), (Color{1, 0, 0}));
    EXPECT_EQ(field(red, "diffusion").asReal(), 0.75);
    const V textures = field(red, "textures");
    ASSERT_EQ(textures.size(), 1u);
    const V t = textures.at(0);
    EXPECT_EQ(field(t, "textureChannel").asString(), "color");
    EXPECT_EQ(field(t, "projection").asString(), "st");
    EXPECT_EQ(field(t, "image").asInt(), 0);
    EXPECT_EQ(field(t, "stIndex").asInt(), 0);
    EXPECT_EQ(field(t, "coordinateSystem").asString(), "world");
    EXPECT_EQ(field(t, "axis").asInt(), 2);
    EXPECT_EQ(RecordToXYZ(field(t, "center").fields()), (XYZ{1, 2, 3}));
    EXPECT_EQ(RecordToXYZ(field(t, "size").fields()), (XYZ{2, 4, 8}));
    EXPECT_EQ(RecordToXYZ(field(t, "rotation").fields()), (XYZ{0.5, 0, 0}));
    EXPECT_EQ(field(t, "opacity").asReal(), 0.5);
    EXPECT_EQ(field(t, "opacityType").asInt(), 0);
    EXPECT_EQ(field(t, "enabled").asBool(), true);
    EXPECT_EQ(field(t, "VMAP").asString(), "uvA");
    EXPECT_EQ(field(t, "transforms"), textureTransforms({1, 2, 3}, {0.5, 0, 0}, {2, 4, 8}, 2));

    const V images = field(scene, "images");
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(field(images.at(0), "fileName"), anyFileNameToMorvLNeutral("images/checker.bmp"));
}

TEST(LWO2ReaderObject, ChildSurfaceTakesWhatItLeavesOutFromItsParent) {
    const auto [scene, messages] = convert(testing::iffForm("LWO2", fullObject()));
    const V red = surfaces(scene).at(0), blue = surfaces(scene).at(1);
    EXPECT_EQ(field(blue, "source").asString(), "Red");
    EXPECT_EQ(field(blue, "color").asColor(), (Color{0, 0, 1}));  // its own
    EXPECT_EQ(field(blue, "specularity").asReal(), 0.25);         // its own
    EXPECT_EQ(field(blue, "diffusion").asReal(), 0.75);           // the parent's
    EXPECT_EQ(field(blue, "textures"), field(red, "textures"));   // no block of its own
    EXPECT_FALSE(red.fields().find("specularity"));
}

TEST(LWO2ReaderObject, MissingParentWarnsAndLeavesTheSurfaceAlone) {
    IffBuilder b = squareObject();
    b.chunk("SURF", testing::lwo2Surface("Default", "Gone", IffBuilder().sub("DIFF", IffBuilder().f4(0.5))));
    const auto [scene, messages] = convert(testing::iffForm("LWO2", b));
    EXPECT_EQ(messages,
              "Warning: The surface named \"Default\" has parent surface \"Gone\" and the surface \"Gone\" does not "
              "exist in the object!\n");
    EXPECT_EQ(field(surfaces(scene).at(0), "diffusion").asReal(), 0.5);
}

TEST(LWO2ReaderObject, ParentCycleEndsWithoutHanging) {
    IffBuilder b = squareObject();
    b.chunk("SURF", testing::lwo2Surface("Default", "Other", IffBuilder()))
        .chunk("SURF", testing::lwo2Surface("Other", "Default", IffBuilder().sub("DIFF", IffBuilder().f4(0.5))));
    const auto [scene, messages] = convert(testing::iffForm("LWO2", b));
    EXPECT_EQ(field(surfaces(scene).at(0), "diffusion").asReal(), 0.5);
}

// ---- Faces and surfaces ----

TEST(LWO2ReaderSurfaces, TagsWithoutSurfaceChunkAndUntaggedFacesKeepASurface) {
    IffBuilder b;
    b.chunk("TAGS", testing::lwo2Tags({"Wood", "Steel"}))
        .chunk("LAYR", testing::lwo2Layer(0, "l"))
        .chunk("PNTS", testing::lwo2Points({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}))
        .chunk("POLS", testing::lwo2Polygons("FACE", {{0, 1, 2}, {2, 1, 0}, {0, 2, 1}}))
        .chunk("PTAG", testing::lwo2PolygonTags("SURF", {{0, 1}, {2, 0}}))
        .chunk("PTAG", testing::lwo2PolygonTags("PART", {{1, 0}}))
        .chunk("SURF", testing::lwo2Surface("Wood", "", IffBuilder()));
    const auto [scene, messages] = convert(testing::iffForm("LWO2", b));
    EXPECT_EQ(surfaceNames(scene), (std::vector<std::string>{"Wood", "Steel", "Default"}));
    const auto f = faces(scene);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].surface, 1);
    EXPECT_EQ(f[1].surface, 2);
    EXPECT_EQ(f[2].surface, 0);
    EXPECT_EQ(field(surfaces(scene).at(1), "textures").size(), 0u);
}

TEST(LWO2ReaderSurfaces, CountWordFlagsAreNotPartOfTheVertexCount) {
    IffBuilder pols;
    pols.id("FACE").u2(0x8003).vx(0).vx(1).vx(2);
    IffBuilder b;
    b.chunk("LAYR", testing::lwo2Layer(0, "l"))
        .chunk("PNTS", testing::lwo2Points({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}))
        .chunk("POLS", pols);
    const auto [scene, messages] = convert(testing::iffForm("LWO2", b));
    EXPECT_EQ(faces(scene), (std::vector<Face>{{{0, 1, 2}, 0}}));
    EXPECT_EQ(surfaceNames(scene), (std::vector<std::string>{"Default"}));
}

// The points come one PNTS chunk each, which add up to one list (without
// copying the list for every chunk, which took minutes).
TEST(LWO2ReaderSurfaces, LongIndicesReachPointsPastTheShortForm) {
    IffBuilder b;
    b.chunk("LAYR", testing::lwo2Layer(0, "l"));
    for (int i = 0; i < 70000; ++i)
        b.chunk("PNTS", testing::lwo2Points({i == 69999 ? XYZ{7, 8, 9} : XYZ{0, 0, 0}}));
    b.chunk("POLS", testing::lwo2Polygons("FACE", {{0, 65280, 69999}}));
    const auto [scene, messages] = convert(testing::iffForm("LWO2", b));
    EXPECT_EQ(faces(scene)[0].corners, (std::vector<std::int32_t>{0, 65280, 69999}));
    EXPECT_EQ(points(scene)[69999], (XYZ{7, 8, 9}));
}

// ---- Edge cases of the chunk walk ----

TEST(LWO2ReaderChunks, LayerLengthDecidesTheParent) {
    for (std::uint16_t parent : {0, 7}) {
        IffBuilder b;
        b.chunk("LAYR", testing::lwo2Layer(1, "layer1", parent));
        EXPECT_EQ(b.bytes()[7], 26);  // LAYR length with a parent
        EXPECT_NO_THROW(parseLWO2Bytes(testing::iffForm("LWO2", b), std::cout));
    }
    IffBuilder noParent;
    noParent.chunk("LAYR", testing::lwo2Layer(1, "layer1"));
    EXPECT_EQ(noParent.bytes()[7], 24);
    EXPECT_NO_THROW(parseLWO2Bytes(testing::iffForm("LWO2", noParent), std::cout));
    IffBuilder odd;
    odd.chunk("LAYR", IffBuilder().raw(testing::lwo2Layer(1, "layer1")).u1(0));
    EXPECT_THROW_MSG(parseLWO2Bytes(testing::iffForm("LWO2", odd), std::cout), SyntaxError,
                     "Bad chunk length in LAYR chunk!");
}

TEST(LWO2ReaderChunks, GeometryBeforeAnyLayerIsDroppedWithAWarning) {
    IffBuilder b;
    b.chunk("TAGS", testing::lwo2Tags({"Default"}))
        .chunk("POLS", testing::lwo2Polygons("FACE", {{0, 1, 2}}))
        .raw(squareLayer());
    const auto [scene, messages] = convert(testing::iffForm("LWO2", b));
    EXPECT_EQ(messages, noLayerWarning);
    EXPECT_EQ(faces(scene), (std::vector<Face>{{{0, 1, 2, 3}, 0}}));
}

TEST(LWO2ReaderChunks, SurfacesAndClipsBeforeTheFirstLayerCount) {
    IffBuilder b;
    b.chunk("CLIP", testing::lwo2StillClip(3, "a.tga"))
        .chunk("SURF", testing::lwo2Surface("Default", "", IffBuilder().sub("DIFF", IffBuilder().f4(0.5))))
        .raw(squareObject());
    const auto [scene, messages] = convert(testing::iffForm("LWO2", b));
    EXPECT_EQ(messages, "");
    EXPECT_EQ(field(surfaces(scene).at(0), "diffusion").asReal(), 0.5);
    EXPECT_EQ(field(scene, "images").size(), 1u);
}

TEST(LWO2ReaderChunks, OddChunksArePaddedAndChunksAfterTheFormIgnored) {
    IffBuilder b;
    b.chunk("ODDC", IffBuilder().u1(1).u1(2).u1(3)).raw(squareObject());
    Bytes bytes = testing::iffForm("LWO2", b);
    bytes.insert(bytes.end(), {'J', 'U', 'N', 'K', 0xFF});
    const auto [scene, messages] = convert(bytes);
    EXPECT_EQ(faces(scene).size(), 1u);
    EXPECT_EQ(messages, "");
}

TEST(LWO2ReaderChunks, FormLongerThanTheFileReadsTheChunksThatAreThere) {
    Bytes bytes = testing::iffForm("LWO2", squareObject());
    bytes[6] = 0x10;  // FORM length 4096 + the real length
    const auto [scene, messages] = convert(bytes);
    EXPECT_EQ(faces(scene).size(), 1u);
    EXPECT_EQ(messages, "Warning: The FORM claims " + std::to_string(4096 + bytes.size() - 8) +
                            " bytes after its 8-byte header, but only " + std::to_string(bytes.size() - 8) +
                            " are there; reading the chunks that are there\n");
}

struct PolsCase {
    const char* name;
    std::vector<std::string> types;  // POLS chunks of the layer, each with one triangle and a PTAG to tag i
    std::string messages;
    std::vector<Face> faces;
    std::vector<std::string> surfaces;  // tags that kept faces use, in order of first use
    std::string kinds;                  // per face: Polygon, SubPatch or CatmullClark
};

// Faces and cages kept in file order with their kinds and PTAGs; other chunks dropped with a message each.
TEST(LWO2ReaderChunks, PolygonChunkKinds) {
    const Face faceA{{0, 1, 2}, 0}, faceB{{0, 1, 2}, 1}, faceC{{0, 1, 2}, 2};
    const PolsCase cases[] = {
        {"curves only", {"CURV"}, curvedMessage + "CURV\n", {}, {}, ""},
        {"patches only", {"PTCH"}, "", {faceA}, {"A"}, "S"},
        {"faces only", {"FACE"}, "", {faceA}, {"A"}, "P"},
        {"faces and cages", {"SUBD", "FACE", "PTCH"}, "", {faceA, faceB, faceC}, {"A", "B", "C"}, "CPS"},
        {"bones between faces", {"FACE", "BONE", "FACE"}, curvedMessage + "BONE\n", {faceA, faceB}, {"A", "C"}, "PP"},
    };
    for (const auto& c : cases) {
        IffBuilder b;
        b.chunk("TAGS", testing::lwo2Tags({"A", "B", "C"}))
            .chunk("LAYR", testing::lwo2Layer(0, "l"))
            .chunk("PNTS", testing::lwo2Points({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}));
        for (std::size_t i = 0; i < c.types.size(); ++i)
            b.chunk("POLS", testing::lwo2Polygons(c.types[i], {{0, 1, 2}}))
                .chunk("PTAG", testing::lwo2PolygonTags("SURF", {{0, static_cast<std::uint16_t>(i)}}));
        const auto [scene, messages] = convert(testing::iffForm("LWO2", b));
        EXPECT_EQ(messages, c.messages) << c.name;
        EXPECT_EQ(faces(scene), c.faces) << c.name;
        EXPECT_EQ(surfaceNames(scene), c.surfaces) << c.name;
        const MeshView view(mesh(scene));
        std::string kinds;
        for (std::size_t f = 0; f < view.faceCount(); ++f) kinds += "PSC"[static_cast<int>(view.faceKind(f))];
        EXPECT_EQ(kinds, c.kinds) << c.name;
    }
}

// ---- Texture blocks and UV maps ----

V texturesOf(const IffBuilder& surfaceSubchunks, std::string* messages = nullptr) {
    IffBuilder b = squareObject();
    b.chunk("SURF", testing::lwo2Surface("Default", "", surfaceSubchunks));
    auto converted = convert(testing::iffForm("LWO2", b));
    if (messages) *messages = converted.messages;
    return field(surfaces(converted.scene).at(0), "textures");
}

TEST(LWO2ReaderTextures, OnlyImageMapBlocksBecomeTextures) {
    IffBuilder procedural;
    procedural.sub("PROC", IffBuilder().str("\x80").sub("CHAN", IffBuilder().id("COLR")))
        .sub("FUNC", IffBuilder().str("Turbulence"));
    IffBuilder image;
    image.sub("IMAP", IffBuilder().str("\x81").sub("CHAN", IffBuilder().id("BUMP")));
    const V textures = texturesOf(IffBuilder().sub("BLOK", procedural).sub("BLOK", image));
    ASSERT_EQ(textures.size(), 1u);
    EXPECT_EQ(field(textures.at(0), "textureChannel").asString(), "bump");
}

TEST(LWO2ReaderTextures, ImageMapWithoutOptionalSubchunksGetsTheDefaults) {
    IffBuilder image;
    image.sub("IMAP", IffBuilder().str("\x80").sub("CHAN", IffBuilder().id("XXXX")));
    const V t = texturesOf(IffBuilder().sub("BLOK", image)).at(0);
    EXPECT_EQ(field(t, "textureChannel").asString(), "unknown");
    EXPECT_EQ(field(t, "opacity").asReal(), 1.0);
    EXPECT_EQ(field(t, "opacityType").asInt(), 0);
    EXPECT_EQ(field(t, "projection").asString(), "unknown");
    EXPECT_EQ(field(t, "coordinateSystem").asString(), "object");
    EXPECT_EQ(field(t, "image").asInt(), -1);
    EXPECT_EQ(field(t, "stIndex").asInt(), -1);
    EXPECT_EQ(field(t, "axis").asInt(), 0);
    EXPECT_EQ(field(t, "enabled").asBool(), true);
    EXPECT_FALSE(t.fields().find("VMAP"));
    EXPECT_EQ(field(t, "transforms"), textureTransforms({0, 0, 0}, {0, 0, 0}, {1, 1, 1}, 0));
}

TEST(LWO2ReaderTextures, ChannelProjectionAndCoordinateSystemNames) {
    const std::pair<const char*, const char*> channels[] = {
        {"COLR", "color"},        {"DIFF", "diffusion"}, {"SPEC", "specularity"}, {"REFL", "reflectivity"},
        {"TRAN", "transparency"}, {"BUMP", "bump"},      {"LUMI", "luminosity"},  {"TRNL", "translucency"}};
    const char* projections[] = {"planar", "cylindrical", "spherical", "cube", "front", "st", "unknown"};
    const char* systems[] = {"object", "world", "unknown"};
    for (std::uint16_t i = 0; i < 8; ++i) {
        IffBuilder image;
        image.sub("IMAP", IffBuilder().str("\x80").sub("CHAN", IffBuilder().id(channels[i].first)))
            .sub("PROJ", IffBuilder().u2(i < 7 ? i : 99))
            .sub("TMAP", IffBuilder().sub("CSYS", IffBuilder().u2(i < 3 ? i : 2)));
        const V t = texturesOf(IffBuilder().sub("BLOK", image)).at(0);
        EXPECT_EQ(field(t, "textureChannel").asString(), channels[i].second);
        EXPECT_EQ(field(t, "projection").asString(), projections[i < 7 ? i : 6]);
        EXPECT_EQ(field(t, "coordinateSystem").asString(), systems[i < 3 ? i : 2]);
    }
}

TEST(LWO2ReaderTextures, ImageOfAMissingClipIsNoImage) {
    IffBuilder image;
    image.sub("IMAP", IffBuilder().str("\x80").sub("CHAN", IffBuilder().id("COLR"))).sub("IMAG", IffBuilder().vx(9));
    std::string messages;
    const V t = texturesOf(IffBuilder().sub("BLOK", image), &messages).at(0);
    EXPECT_EQ(field(t, "image").asInt(), -1);
    EXPECT_EQ(messages,
              "Warning: A texture of the surface \"Default\" uses image clip 9, but the object has no "
              "still image of that number; the texture gets no image\n");
}

TEST(LWO2ReaderTextures, UvMapsOfOtherKindsAreIgnoredAndPolygonMapsNeedNoVertexMap) {
    IffBuilder b = squareObject();
    b.chunk("VMAP", testing::lwo2VertexMap("WGHT", 1, "weight", {{0, 0, {0.5}}}))
        .chunk("VMAD", testing::lwo2PolygonVertexMap("TXUV", 2, "cornersOnly", {{2, 0, {0.25, 0.75}}}));
    const auto [scene, messages] = convert(testing::iffForm("LWO2", b));
    EXPECT_FALSE(field(mesh(scene), "vertices").at(0).fields().find("sts"));
    const V corners = field(field(mesh(scene), "faces").at(0), "corners");
    EXPECT_EQ(field(corners.at(2), "sts"), V::Array({makeSTRecord(0.25, 0.75)}));
}

TEST(LWO2ReaderTextures, SlotsOfMapsThatMissAVertexHoldEmptyRecords) {
    IffBuilder b = squareObject();
    b.chunk("VMAP", testing::lwo2VertexMap("TXUV", 2, "first", {{0, 0, {0.5, 0.5}}}))
        .chunk("VMAP", testing::lwo2VertexMap("TXUV", 2, "second", {{1, 0, {0.25, 0.25}}}));
    const auto [scene, messages] = convert(testing::iffForm("LWO2", b));
    const V vertices = field(mesh(scene), "vertices");
    EXPECT_EQ(field(vertices.at(0), "sts"), V::Array({makeSTRecord(0.5, 0.5), V::Record({})}));
    EXPECT_EQ(field(vertices.at(1), "sts"), V::Array({V::Record({}), makeSTRecord(0.25, 0.25)}));
}

// ---- Failures ----

struct DamagedCase {
    const char* name;
    Bytes bytes;
    std::string message;
};

Bytes lwo2(const IffBuilder& chunks) { return testing::iffForm("LWO2", chunks); }

IffBuilder layerWith(const IffBuilder& chunks) {
    IffBuilder b = squareObject();
    b.raw(chunks);
    return b;
}

IffBuilder surfaceWith(const IffBuilder& subchunks) {
    IffBuilder b = squareObject();
    b.chunk("SURF", testing::lwo2Surface("Default", "", subchunks));
    return b;
}

IffBuilder blockWith(const IffBuilder& blockSubchunks) {
    IffBuilder block;
    block.sub("IMAP", IffBuilder().str("\x80")).raw(blockSubchunks);
    return surfaceWith(IffBuilder().sub("BLOK", block));
}

TEST(LWO2ReaderFailures, DamagedFilesGiveTheirSyntaxError) {
    Bytes formLWOB = lwo2(squareObject());
    formLWOB[11] = 'B';
    Bytes tiny = lwo2({});
    tiny[7] = 2;
    const DamagedCase cases[] = {
        {"not IFF", {'N', 'O', 'P', 'E', 0, 0, 0, 4, 'L', 'W', 'O', '2'}, "No IFF FORM chunk found!"},
        {"LWOB form", formLWOB, "Not an IFF LWO2 file!"},
        {"cut in the id", {'F', 'O'}, "Could not read IFF chunk ID!"},
        {"cut in the length",
         {'F', 'O', 'R', 'M', 0, 0},
         "Error in GetCs.getSWord32 in readChunk length\nThe error which caused this:\n"
         "Could not read 4 bytes as raw word32!"},
        {"FORM too short", tiny, "FORM length 2 is too small for the form type"},
        {"chunk past the form", lwo2(IffBuilder().chunkWithLength("LAYR", 100, testing::lwo2Layer(0, "l"))),
         "Could not read chunk data in chunk LAYR"},
        {"negative chunk length", lwo2(IffBuilder().chunkWithLength("PNTS", -2, IffBuilder().u4(0))),
         "Could not read chunk data in chunk PNTS"},
        {"PNTS not in twelves", lwo2(layerWith(IffBuilder().chunk("PNTS", IffBuilder().vec(0, 0, 0).u1(0)))),
         "chunk PNTS: length 13 is not a multiple of 12"},
        {"polygon longer than its chunk",
         lwo2(layerWith(IffBuilder().chunk("POLS", IffBuilder().id("FACE").u2(1023).u4(0).u4(0).u2(0)))),
         "chunk POLS: polygon 0 has 1023 vertices but only 10 bytes are left"},
        {"vertex index past the points",
         lwo2(layerWith(IffBuilder().chunk("POLS", testing::lwo2Polygons("FACE", {{0, 1, 812}})))),
         "chunk POLS: vertex index 812 beyond the 4 points of the layer"},
        {"PTAG polygon past the polygons",
         lwo2(layerWith(IffBuilder().chunk("PTAG", testing::lwo2PolygonTags("SURF", {{5, 0}})))),
         "chunk PTAG: polygon index 5 beyond the 1 polygons of its POLS chunk"},
        {"PTAG tag past the tags",
         lwo2(layerWith(IffBuilder().chunk("PTAG", testing::lwo2PolygonTags("SURF", {{0, 7}})))),
         "chunk PTAG: tag index 7 beyond the 1 tags of the object"},
        {"PTAG cut in an entry", lwo2(layerWith(IffBuilder().chunk("PTAG", IffBuilder().id("SURF").u2(0)))),
         "chunk PTAG: Could not read 2 bytes as unsigned integer!"},
        {"VMAP vertex past the points",
         lwo2(layerWith(IffBuilder().chunk("VMAP", testing::lwo2VertexMap("TXUV", 2, "uv", {{4, 0, {0, 0}}})))),
         "chunk VMAP: vertex index 4 beyond the 4 points of the layer"},
        {"VMAD vertex past the points",
         lwo2(layerWith(
             IffBuilder().chunk("VMAD", testing::lwo2PolygonVertexMap("TXUV", 2, "uv", {{70000, 0, {0, 0}}})))),
         "chunk VMAD: vertex index 70000 beyond the 4 points of the layer"},
        {"VMAD polygon past the polygons",
         lwo2(layerWith(IffBuilder().chunk("VMAD", testing::lwo2PolygonVertexMap("TXUV", 2, "uv", {{0, 3, {0, 0}}})))),
         "chunk VMAD: polygon index 3 beyond the 1 polygons of its POLS chunk"},
        {"VMAP cut in a value",
         lwo2(layerWith(IffBuilder().chunk("VMAP", IffBuilder().id("TXUV").u2(2).str("uv").u2(0).f4(0)))),
         "chunk VMAP: Could not read real number!"},
        {"TAGS without its NUL", lwo2(IffBuilder().chunk("TAGS", IffBuilder().id("ab"))),
         "chunk TAGS: Could not read 1 byte as raw word8!"},
        {"subchunk past its chunk",
         lwo2(surfaceWith(IffBuilder().subWithLength("COLR", 40, IffBuilder().vec(1, 1, 1)))),
         "chunk SURF: Could not read chunk data in chunk COLR"},
        {"colour too short", lwo2(surfaceWith(IffBuilder().sub("COLR", IffBuilder().f4(1)))),
         "chunk SURF, subchunk COLR: Could not read 3D point!"},
        {"ENAB not a boolean",
         lwo2(surfaceWith(IffBuilder().sub(
             "BLOK", IffBuilder().sub("IMAP", IffBuilder().str("\x80").sub("ENAB", IffBuilder().u2(2)))))),
         "Invalid boolean value!"},
        {"centre too short",
         lwo2(blockWith(IffBuilder().sub(
             "TMAP", IffBuilder().sub("CNTR", IffBuilder().vec(0, 0, 0).u1(0)).sub("SIZE", IffBuilder().u4(0))))),
         "chunk SURF, subchunk BLOK, subchunk TMAP, subchunk SIZE: Could not read 3D point!"},
        {"empty block", lwo2(surfaceWith(IffBuilder().sub("BLOK", IffBuilder()))),
         "chunk SURF, subchunk BLOK: Could not read IFF chunk ID!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW_MSG(convert(c.bytes), SyntaxError, c.message);
    }
}

TEST(LWO2ReaderFailures, InternalErrorsOfTheConversion) {
    EXPECT_THROW_MSG(convert(lwo2(layerWith(
                         IffBuilder().chunk("VMAP", testing::lwo2VertexMap("TXUV", 3, "uv", {{0, 0, {0, 0, 0}}}))))),
                     Error, "Internal Error: Wrong dimension of a TXUVVMAP entry!\n");
    EXPECT_THROW_MSG(convert(lwo2(layerWith(
                         IffBuilder().chunk("VMAD", testing::lwo2PolygonVertexMap("TXUV", 1, "uv", {{0, 0, {0}}}))))),
                     Error, "Internal Error: Wrong dimension of a TXUVVMAD entry!\n");
    EXPECT_THROW_MSG(convert(lwo2(IffBuilder().chunk("TAGS", testing::lwo2Tags({"a"})))), Bug,
                     "Internal error: No meshes in mergeMeshList!\n");
}

TEST(LWO2ReaderFailures, CoordinatesOutOfProportionToTheFileAreRefused) {
    // 1500 one-entry maps over 1500 points would make 1500 slots for each point.
    std::vector<XYZ> many(1500);
    IffBuilder maps;
    maps.chunk("LAYR", testing::lwo2Layer(0, "l")).chunk("PNTS", testing::lwo2Points(many));
    for (std::uint32_t i = 0; i < 1500; ++i)
        maps.chunk("VMAP", testing::lwo2VertexMap("TXUV", 2, std::to_string(i), {{i, 0, {0, 0}}}));
    EXPECT_THROW_MSG(convert(lwo2(maps)), SyntaxError,
                     "chunk VMAP: 1500 UV maps over 1500 points need more texture coordinates than this converter "
                     "holds");

    // One vertex repeated around a polygon of 1023 corners, named by many entries.
    IffBuilder corners;
    corners.chunk("LAYR", testing::lwo2Layer(0, "l"))
        .chunk("PNTS", testing::lwo2Points({{0, 0, 0}}))
        .chunk("POLS", testing::lwo2Polygons("FACE", {std::vector<std::uint32_t>(1023, 0)}));
    corners.chunk("VMAD",
                  testing::lwo2PolygonVertexMap("TXUV", 2, "uv", std::vector<testing::UvEntry>(1100, {0, 0, {0, 0}})));
    EXPECT_THROW_MSG(convert(lwo2(corners)), SyntaxError,
                     "chunk VMAD: the entries name more polygon corners than this converter holds");
}

// Any byte of a sound file overwritten: a clean failure or a scene, never a crash.
TEST(LWO2ReaderFailures, OverwrittenBytesNeverCrash) {
    const Bytes whole = lwo2(fullObject());
    for (std::size_t i = 8; i < whole.size(); ++i)
        for (std::uint8_t value : {0x00, 0x80, 0xFF}) {
            Bytes damaged = whole;
            damaged[i] = value;
            std::ostringstream messages;
            try {
                parseLWO2Bytes(damaged, messages)->toCanonical(messages);
            } catch (const MorvException&) {
            } catch (const std::exception& e) {
                ADD_FAILURE() << "byte " << i << " = " << int(value) << ": " << exceptionName(e);
            }
        }
}

// Every prefix of a sound file either fails cleanly or, cut between two chunks,
// reads what is there after the FORM-length warning.
TEST(LWO2ReaderFailures, EveryTruncatedPrefixFailsCleanly) {
    const Bytes whole = lwo2(fullObject());
    for (std::size_t n = 0; n < whole.size(); ++n) {
        const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        std::ostringstream messages;
        std::unique_ptr<ImportedFile> parsed;
        try {
            parsed = parseLWO2Bytes(prefix, messages);
        } catch (const SyntaxError&) {
            continue;
        } catch (const std::exception& e) {
            ADD_FAILURE() << "prefix " << n << ": " << exceptionName(e) << " " << testing::messageOf(e);
            continue;
        }
        EXPECT_NE(messages.str().find("Warning: The FORM claims"), std::string::npos) << "prefix " << n;
        try {
            parsed->toCanonical(messages);
        } catch (const MorvException&) {
            // a cut that leaves, say, a texture naming a UV map that is gone
        }
    }
}

}  // namespace
}  // namespace morv
