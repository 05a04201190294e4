#include "importers/lightwave/LWOBReader.hpp"

#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

#include "common/LwobFixtures.hpp"
#include "common/SceneGeometry.hpp"
#include "common/TestHelpers.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/MorvLCoordTransforms.hpp"
#include "support/NeutralFileName.hpp"

namespace morv {
namespace {

using testing::Bytes;
using testing::IffBuilder;
using testing::LwobPolygon;
using testing::lwobForm;
using testing::lwobPoints;
using testing::lwobPolygons;
using testing::lwobSurface;
using testing::lwobSurfaceNames;
using V = MorvLValue;
using testing::Face;
using testing::faces;
using testing::points;

const std::string noTextureWarning = "Warning: No TEX chunk met in function updateFirstTextureF!\n";
const std::string noAxisWarning = "Warning: No axis specified in texture flags. Assuming X-axis...\n";

struct Converted {
    V scene;
    std::string messages;
};

Converted convert(const Bytes& bytes) {
    std::ostringstream messages;
    V scene = readLWOBSceneFromBytes(bytes, messages);
    return {scene, messages.str()};
}

V field(const V& record, std::string_view name) { return requireField(record.fields(), name); }
V surfaces(const V& scene) { return field(scene, "surfaces"); }
V images(const V& scene) { return field(scene, "images"); }
V textures(const V& surface) { return field(surface, "textures"); }
XYZ point(const V& record, std::string_view name) { return RecordToXYZ(field(record, name).fields()); }


const std::vector<XYZ> triangle = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};

// SRFS "S", three points, one triangle, and SURF "S" with the given subchunks.
Bytes objectWithSurface(const IffBuilder& subchunks) {
    IffBuilder chunks;
    chunks.chunk("SRFS", lwobSurfaceNames({"S"}))
        .chunk("PNTS", lwobPoints(triangle))
        .chunk("POLS", lwobPolygons({{{0, 1, 2}, 1, {}}}))
        .chunk("SURF", lwobSurface("S", subchunks));
    return lwobForm(chunks);
}

// The surface of objectWithSurface.
V readSurface(const IffBuilder& subchunks, std::string* messages = nullptr) {
    Converted c = convert(objectWithSurface(subchunks));
    if (messages) *messages = c.messages;
    return surfaces(c.scene).at(0);
}

V readTexture(const IffBuilder& subchunks, std::string* messages = nullptr) {
    return textures(readSurface(subchunks, messages)).at(0);
}

// ---- probe ----

TEST(LWOBReaderProbe, answersOnlyForLwobForms) {
    struct Case {
        const char* name;
        Bytes bytes;
        bool expected;
    };
    const Case cases[] = {
        {"lwob", testing::lwobSampleObject(), true},
        {"lwo2", testing::iffForm("LWO2", IffBuilder()), false},
        {"header only", lwobForm(IffBuilder()), true},
        {"no form type", Bytes{'F', 'O', 'R', 'M', 0, 0, 0, 4}, false},
        {"not FORM", Bytes{'C', 'A', 'T', ' ', 0, 0, 0, 4, 'L', 'W', 'O', 'B'}, false},
        {"empty", Bytes{}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(probeLWOB(c.bytes), c.expected) << c.name;
}

TEST(LWOBReader, progressLine) {
    EXPECT_EQ(lwobProgressLine("obj.lwo"), "Reading IFF LWOB (LightWave3D Object before [6]) file obj.lwo\n");
}

// ---- damaged files ----

TEST(LWOBReaderErrors, damagedFilesGiveTheirMessages) {
    const auto points = lwobPoints(triangle);
    const auto names = lwobSurfaceNames({"S"});
    const auto oneTriangle = lwobPolygons({{{0, 1, 2}, 1, {}}});
    // SRFS and PNTS of the triangle, then the given chunks.
    auto with = [&](const IffBuilder& more) {
        IffBuilder chunks;
        chunks.chunk("SRFS", names).chunk("PNTS", points).raw(more);
        return lwobForm(chunks);
    };
    auto withPolygons = [&](const IffBuilder& body) { return with(IffBuilder().chunk("POLS", body)); };
    auto withSurface = [&](const IffBuilder& subchunks) {
        return with(IffBuilder().chunk("POLS", oneTriangle).chunk("SURF", lwobSurface("S", subchunks)));
    };
    // Chunks whose lengths reach past what is left: the FORM length still covers the bytes written.
    auto formOf = [](const IffBuilder& chunks, std::uint32_t extra = 0) {
        IffBuilder form;
        form.id("FORM").u4(static_cast<std::uint32_t>(chunks.size() + 4 + extra)).id("LWOB").raw(chunks);
        return form.bytes();
    };
    const std::string shortReal = "Error in getIEEEReal\nThe error which caused this:\nCould not read 4 bytes as raw word32!";

    struct Case {
        const char* name;
        Bytes bytes;
        std::string message;
    };
    const Case cases[] = {
        {"not FORM", Bytes{'C', 'A', 'T', ' ', 0, 0, 0, 4, 'L', 'W', 'O', 'B'}, "No IFF FORM chunk found!"},
        {"LWO2 form", testing::iffForm("LWO2", IffBuilder().chunk("PNTS", points)), "Not an IFF LWOB file!"},
        {"two bytes", Bytes{'F', 'O'}, "Could not read IFF chunk ID!"},
        {"no FORM length", Bytes{'F', 'O', 'R', 'M', 0, 0},
         "Error in GetCs.getSWord32 in readChunk length\nThe error which caused this:\nCould not read 4 bytes as raw word32!"},
        {"no form type", Bytes{'F', 'O', 'R', 'M', 0, 0, 0, 4, 'L', 'W'}, "Could not read IFF chunk ID!"},
        {"no chunks", lwobForm(IffBuilder()), "No PNTS chunk found in file!"},
        {"no SRFS",
         lwobForm(IffBuilder().chunk("PNTS", points).chunk("POLS", oneTriangle)), "No SRFS chunk found in file!"},
        {"no SRFS, no POLS", lwobForm(IffBuilder().chunk("PNTS", points)), "No SRFS chunk found in file!"},
        {"no POLS", with(IffBuilder()), "No POLS chunk found in file!"},
        {"FORM longer than the file, read as far as it goes", formOf(IffBuilder().chunk("SRFS", names), 8),
         "No PNTS chunk found in file!"},
        {"chunk beyond the form", formOf(IffBuilder().chunkWithLength("PNTS", 40, points)),
         "Could not read chunk data in chunk PNTS"},
        {"chunk beyond the file", formOf(IffBuilder().chunkWithLength("POLS", 40, oneTriangle), 40),
         "Could not read chunk data in chunk POLS"},
        {"unknown chunk beyond the form", formOf(IffBuilder().chunkWithLength("ZZZZ", 40, IffBuilder().u4(0))),
         "Error while trying to skip bytes in chunk ZZZZ"},
        {"negative chunk length", formOf(IffBuilder().chunkWithLength("SRFS", -2, names)),
         "Could not read chunk data in chunk SRFS"},
        {"missing pad byte at the end", formOf(IffBuilder().chunkWithLength("ZZZZ", 1, IffBuilder().u1(0)), 1),
         "No PNTS chunk found in file!"},
        {"PNTS of 13 bytes", with(IffBuilder().chunk("PNTS", IffBuilder().vec(0, 0, 0).u1(0))),
         "chunk PNTS: length 13 is not a multiple of 12"},
        {"SRFS without NUL", lwobForm(IffBuilder().chunk("SRFS", IffBuilder().id("ab"))), "Error in vectorToStrings"},
        {"vertex index beyond the points", withPolygons(lwobPolygons({{{0, 1, 3}, 1, {}}})),
         "chunk POLS: vertex index 3 beyond the 3 points of the object"},
        {"surface number 0", withPolygons(lwobPolygons({{{0, 1, 2}, 0, {}}})),
         "chunk POLS: surface number 0 is not valid; surface numbers count from 1"},
        {"surface number beyond SRFS", withPolygons(lwobPolygons({{{0, 1, 2}, 2, {}}})),
         "chunk POLS: surface number 2 beyond the 1 names of SRFS"},
        {"detail surface beyond SRFS", withPolygons(lwobPolygons({{{0, 1, 2}, 1, {{{0, 1, 2}, 5, {}}}}})),
         "chunk POLS: surface number 5 beyond the 1 names of SRFS"},
        {"most negative surface number", withPolygons(IffBuilder().u2(1).u2(0).u2(0x8000).u2(0)),
         "chunk POLS: surface number 32768 beyond the 1 names of SRFS"},
        {"vertex count past the chunk", withPolygons(IffBuilder().u2(10).u2(0).u2(1).u2(2).u2(1)),
         "chunk POLS: a polygon of 10 vertices runs past the end of the chunk"},
        {"polygon without surface", withPolygons(IffBuilder().u2(1).u2(0)),
         "chunk POLS: a polygon of 1 vertices runs past the end of the chunk"},
        {"odd byte after a polygon", withPolygons(IffBuilder().raw(oneTriangle).u1(0)),
         "Could not read 2 bytes as unsigned integer!"},
        {"missing detail count", withPolygons(IffBuilder().u2(3).u2(0).u2(1).u2(2).u2(0xFFFF)),
         "Could not read 2 bytes as unsigned integer!"},
        {"detail polygons missing",
         withPolygons(IffBuilder().u2(3).u2(0).u2(1).u2(2).u2(0xFFFF).u2(2).raw(oneTriangle)),
         "chunk POLS: 1 announced detail polygons missing at the end of the chunk"},
        {"subchunk beyond the SURF chunk", withSurface(IffBuilder().subWithLength("DIFF", 8, IffBuilder().u2(1))),
         "Could not read chunk data in chunk DIFF"},
        {"SURF name without NUL", with(IffBuilder().chunk("POLS", oneTriangle).chunk("SURF", IffBuilder().id("Su"))),
         "Could not read 1 byte as raw word8!"},
        {"short subchunk header", withSurface(IffBuilder().id("DI")), "Could not read IFF chunk ID!"},
        {"short COLR", withSurface(IffBuilder().sub("COLR", IffBuilder().u1(1).u1(2))), "Error in getSURFSubchunk COLR"},
        {"short TCLR",
         withSurface(IffBuilder().sub("CTEX", IffBuilder().str("x")).sub("TCLR", IffBuilder().u1(1))),
         "Error in getSURFSubchunk TCLR"},
        {"empty DIFF", withSurface(IffBuilder().sub("DIFF", IffBuilder())),
         "Could not read 2 bytes as unsigned integer!"},
        {"short TSIZ",
         withSurface(IffBuilder().sub("CTEX", IffBuilder().str("x")).sub("TSIZ", IffBuilder().f4(1).f4(1))),
         "Error in getXYZ\nThe error which caused this:\nError in getXYZF coord z\nThe error which caused this:\n" +
             shortReal},
        {"short TOPC", withSurface(IffBuilder().sub("CTEX", IffBuilder().str("x")).sub("TOPC", IffBuilder().u2(0))),
         shortReal},
        {"TIMG without NUL",
         withSurface(IffBuilder().sub("CTEX", IffBuilder().str("x")).sub("TIMG", IffBuilder().id("ab"))),
         "Could not read 1 byte as raw word8!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ostringstream messages;
        EXPECT_THROW_MSG(parseLWOBBytes(c.bytes, messages), SyntaxError, c.message);
    }
}

// A prefix that ends between chunks is read as far as it goes, with the
// warning about the FORM length; every other one is a syntax error.
TEST(LWOBReaderErrors, everyTruncatedPrefixGivesASyntaxErrorOrTheWarning) {
    const Bytes whole = testing::lwobSampleObject();
    for (std::size_t n = 0; n < whole.size(); ++n) {
        const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        std::ostringstream messages;
        try {
            parseLWOBBytes(prefix, messages);
            EXPECT_EQ(messages.str().rfind("Warning: The FORM claims " + std::to_string(whole.size() - 8) +
                                               " bytes after its 8-byte header, but only " +
                                               std::to_string(n - 8) + " are there",
                                           0),
                      0u)
                << "prefix of " << n << " bytes: " << messages.str();
        } catch (const SyntaxError& e) {
            EXPECT_FALSE(e.message().empty()) << n;
        }
    }
}

TEST(LWOBReaderErrors, missingFileIsAnIoFailure) {
    std::ostringstream messages;
    try {
        parseLWOB("/nonexistent/dir/object.lwo", messages);
        ADD_FAILURE() << "nothing thrown";
    } catch (const MorvException& e) {
        EXPECT_EQ(e.name(), "Io");
    }
}

// ---- chunks ----

TEST(LWOBReaderChunks, pointsOf36BytesAreThreePoints) {
    const Converted c = convert(objectWithSurface(IffBuilder()));
    const std::vector<XYZ> expected = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    EXPECT_EQ(points(c.scene), expected);
    EXPECT_EQ(faces(c.scene), std::vector<Face>({{{0, 1, 2}, 0}}));
}

TEST(LWOBReaderChunks, layoutVariantsAreRead) {
    // Chunks split over several PNTS, SRFS and POLS chunks add up; unknown chunks,
    // CRVS and odd bodies with their pad are read over; bytes after the form are ignored.
    IffBuilder chunks;
    chunks.chunk("SRFS", lwobSurfaceNames({"A"}))
        .chunk("ZZZZ", IffBuilder().u1(7))
        .chunk("PNTS", lwobPoints({{1, 2, 3}, {4, 5, 6}}))
        .chunk("CRVS", IffBuilder().u2(2).u2(0).u2(1).u2(1).u2(0))
        .chunk("POLS", lwobPolygons({{{0, 1}, 2, {}}}))
        .chunk("SRFS", lwobSurfaceNames({"B"}))
        .chunk("PNTS", lwobPoints({{7, 8, 9}}))
        .chunk("POLS", lwobPolygons({{{2}, 1, {}}}));
    Bytes bytes = lwobForm(chunks);
    bytes.insert(bytes.end(), {'J', 'U', 'N', 'K'});
    const Converted c = convert(bytes);
    EXPECT_EQ(points(c.scene).size(), 3u);
    EXPECT_EQ(faces(c.scene), std::vector<Face>({{{0, 1}, 1}, {{2}, 0}}));
    ASSERT_EQ(surfaces(c.scene).size(), 2u);
    EXPECT_EQ(field(surfaces(c.scene).at(1), "name").asString(), "B");
    EXPECT_EQ(c.messages, "");
}

TEST(LWOBReaderChunks, oddLastChunkWithoutPadEndsTheForm) {
    IffBuilder chunks;
    chunks.chunk("SRFS", lwobSurfaceNames({"S"}))
        .chunk("PNTS", lwobPoints(triangle))
        .chunk("POLS", lwobPolygons({{{0, 1, 2}, 1, {}}}))
        .chunkWithLength("ZZZZ", 1, IffBuilder().u1(1));
    EXPECT_EQ(faces(convert(lwobForm(chunks)).scene).size(), 1u);
}

TEST(LWOBReaderChunks, detailPolygonsDoNotShiftLaterPolygons) {
    std::vector<XYZ> pts;
    for (int i = 0; i < 10; ++i) pts.push_back({double(i), 0, 0});
    const std::vector<LwobPolygon> polygons = {
        {{0, 1, 2}, 1, {}},
        {{0, 1, 2, 3}, 2, {{{4, 5, 6}, 1, {}}, {{6, 7, 8}, 2, {}}}},
        {{1, 2, 3}, 2, {}},
        // A detail polygon that has details of its own.
        {{2, 3, 4}, 1, {{{5, 6, 7}, 2, {{{7, 8, 9}, 1, {}}}}}},
        {{9, 8, 7}, 1, {}},
    };
    IffBuilder chunks;
    chunks.chunk("SRFS", lwobSurfaceNames({"One", "Two"}))
        .chunk("PNTS", lwobPoints(pts))
        .chunk("POLS", lwobPolygons(polygons));
    const std::vector<Face> expected = {
        {{0, 1, 2}, 0}, {{0, 1, 2, 3}, 1}, {{4, 5, 6}, 0}, {{6, 7, 8}, 1}, {{1, 2, 3}, 1},
        {{2, 3, 4}, 0}, {{5, 6, 7}, 1},    {{7, 8, 9}, 0}, {{9, 8, 7}, 0},
    };
    EXPECT_EQ(faces(convert(lwobForm(chunks)).scene), expected);
}

// ---- surfaces ----

TEST(LWOBReaderSurfaces, intensitiesAreIn256ths) {
    struct Case {
        const char* id;
        const char* field;
        std::uint16_t raw;
        double expected;
    };
    const Case cases[] = {
        {"DIFF", "diffusion", 256, 1.0},     {"DIFF", "diffusion", 128, 0.5},    {"LUMI", "luminosity", 64, 0.25},
        {"SPEC", "specularity", 0, 0.0},     {"REFL", "reflectivity", 512, 2.0}, {"TRAN", "transparency", 32, 0.125},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.id) + " " + std::to_string(c.raw));
        const V surface = readSurface(IffBuilder().sub(c.id, IffBuilder().u2(c.raw)));
        EXPECT_EQ(field(surface, c.field).asReal(), c.expected);
    }
}

TEST(LWOBReaderSurfaces, colourBytesScaleTo0To1AndTheRestIsSkipped) {
    const V surface = readSurface(IffBuilder()
                                      .sub("COLR", IffBuilder().u1(255).u1(51).u1(0).u1(9).u2(1))
                                      .sub("VDIF", IffBuilder().f4(0.5))
                                      .sub("DIFF", IffBuilder().u2(128).u2(99)));
    EXPECT_EQ(field(surface, "color").asColor(), (Color{1.0, 0.2, 0.0}));
    EXPECT_EQ(field(surface, "diffusion").asReal(), 0.5);
    EXPECT_FALSE(surface.fields().find("luminosity"));
}

TEST(LWOBReaderSurfaces, surfacesFollowSrfsOrder) {
    IffBuilder chunks;
    chunks.chunk("SRFS", lwobSurfaceNames({"First", "Bare", "Second"}))
        .chunk("PNTS", lwobPoints(triangle))
        .chunk("POLS", lwobPolygons({{{0, 1, 2}, 3, {}}, {{2, 1, 0}, 1, {}}}))
        .chunk("SURF", lwobSurface("Second", IffBuilder().sub("DIFF", IffBuilder().u2(64))))
        .chunk("SURF", lwobSurface("Extra", IffBuilder().sub("DIFF", IffBuilder().u2(32))))
        .chunk("SURF", lwobSurface("First", IffBuilder().sub("DIFF", IffBuilder().u2(128))))
        .chunk("SURF", lwobSurface("First", IffBuilder().sub("DIFF", IffBuilder().u2(256))));
    const Converted c = convert(lwobForm(chunks));
    const V list = surfaces(c.scene);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(field(list.at(0), "name").asString(), "First");
    EXPECT_EQ(field(list.at(0), "diffusion").asReal(), 0.5);  // the first SURF of a name counts
    // A name without SURF: only its name and no textures.
    EXPECT_EQ(list.at(1), V::Record({{"name", V::String("Bare")}, {"textures", V::List({})}}));
    EXPECT_EQ(field(list.at(2), "diffusion").asReal(), 0.25);
    EXPECT_EQ(field(list.at(3), "name").asString(), "Extra");
    EXPECT_EQ(faces(c.scene), std::vector<Face>({{{0, 1, 2}, 2}, {{2, 1, 0}, 0}}));
}

// ---- textures ----

TEST(LWOBReaderTextures, textureFlags) {
    struct Case {
        std::uint16_t bits;
        bool warns;
        std::int32_t axis;
        const char* coordinateSystem;
        bool negative, pixelblend, antialias;
    };
    const Case cases[] = {
        {0, true, 0, "object", false, false, false},  {6, false, 1, "object", false, false, false},
        {5, false, 0, "object", false, false, false}, {12, false, 2, "world", false, false, false},
        {2 | 16, false, 1, "object", true, false, false}, {4 | 32 | 64, false, 2, "object", false, true, true},
        {8, true, 0, "world", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        std::string messages;
        const V t = readTexture(
            IffBuilder().sub("CTEX", IffBuilder().str("Planar Image Map")).sub("TFLG", IffBuilder().u2(c.bits)),
            &messages);
        EXPECT_EQ(messages, c.warns ? noAxisWarning : "");
        EXPECT_EQ(field(t, "axis").asInt(), c.axis);
        EXPECT_EQ(field(t, "coordinateSystem").asString(), c.coordinateSystem);
        EXPECT_EQ(field(t, "negative").asBool(), c.negative);
        EXPECT_EQ(field(t, "pixelblend").asBool(), c.pixelblend);
        EXPECT_EQ(field(t, "antialias").asBool(), c.antialias);
    }
}

TEST(LWOBReaderTextures, textureSubchunkBeforeAnyTextureWarnsAndChangesNothing) {
    std::string messages;
    const V surface = readSurface(IffBuilder()
                                      .sub("TSIZ", IffBuilder().vec(5, 5, 5))
                                      .sub("TIMG", IffBuilder().str("a.bmp"))
                                      .sub("CTEX", IffBuilder().str("Planar Image Map")),
                                  &messages);
    EXPECT_EQ(messages, noTextureWarning + noTextureWarning);
    const V t = textures(surface).at(0);
    EXPECT_EQ(point(t, "size"), (XYZ{1, 1, 1}));
    EXPECT_EQ(field(t, "image").asInt(), -1);
}

TEST(LWOBReaderTextures, channelAndProjectionFromTheStartingSubchunk) {
    struct Case {
        const char* id;
        const char* type;
        const char* channel;
        const char* projection;
    };
    const Case cases[] = {
        {"CTEX", "Planar Image Map", "color", "planar"},
        {"DTEX", "Cylindrical Image Map", "diffusion", "unknown"},
        {"STEX", "Spherical Image Map", "specularity", "unknown"},
        {"RTEX", "Cubic Image Map", "reflectivity", "unknown"},
        {"TTEX", "Front Projection Image Map", "transparency", "unknown"},
        {"BTEX", "Fractal Noise", "bump", "unknown"},
        {"LTEX", "planar image map", "luminosity", "unknown"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const V t = readTexture(IffBuilder().sub(c.id, IffBuilder().str(c.type)));
        EXPECT_EQ(field(t, "textureChannel").asString(), c.channel);
        EXPECT_EQ(field(t, "projection").asString(), c.projection);
        EXPECT_EQ(field(t, "textureType").asString(), c.type);
    }
}

TEST(LWOBReaderTextures, laterSubchunksGoToTheTextureStartedLast) {
    Converted c = convert(objectWithSurface(IffBuilder()
                                                .sub("CTEX", IffBuilder().str("Planar Image Map"))
                                                .sub("TIMG", IffBuilder().str("a.bmp"))
                                                .sub("DTEX", IffBuilder().str("Planar Image Map"))
                                                .sub("TIMG", IffBuilder().str("b.tga"))
                                                .sub("TSIZ", IffBuilder().vec(2, 3, 4))
                                                .sub("LTEX", IffBuilder().str("Planar Image Map"))
                                                .sub("TIMG", IffBuilder().str("a.bmp"))
                                                .sub("STEX", IffBuilder().str("Planar Image Map"))
                                                .sub("TIMG", IffBuilder().str("(none)"))
                                                .sub("TTEX", IffBuilder().str("Planar Image Map"))
                                                .sub("TIMG", IffBuilder().str(""))));
    const V list = textures(surfaces(c.scene).at(0));
    ASSERT_EQ(list.size(), 5u);
    const char* channels[] = {"transparency", "specularity", "luminosity", "diffusion", "color"};
    const std::int32_t imageIndices[] = {-1, -1, 0, 1, 0};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(field(list.at(i), "textureChannel").asString(), channels[i]) << i;
        EXPECT_EQ(field(list.at(i), "image").asInt(), imageIndices[i]) << i;
    }
    EXPECT_EQ(point(list.at(3), "size"), (XYZ{2, 3, 4}));
    EXPECT_EQ(point(list.at(4), "size"), (XYZ{1, 1, 1}));
    const V imgs = images(c.scene);
    ASSERT_EQ(imgs.size(), 2u);
    EXPECT_EQ(field(imgs.at(0), "fileName"), anyFileNameToMorvLNeutral("a.bmp"));
    EXPECT_EQ(field(imgs.at(1), "fileName"), anyFileNameToMorvLNeutral("b.tga"));
}

TEST(LWOBReaderTextures, remainingFieldsAreCarried) {
    const V t = readTexture(IffBuilder()
                                .sub("BTEX", IffBuilder().str("Fractal Noise"))
                                .sub("TFAL", IffBuilder().vec(1, 2, 3))
                                .sub("TVEL", IffBuilder().vec(4, 5, 6))
                                .sub("TCLR", IffBuilder().u1(0).u1(255).u1(51).u1(0))
                                .sub("TVAL", IffBuilder().u2(64))
                                .sub("TFRQ", IffBuilder().u2(3))
                                .sub("TOPC", IffBuilder().f4(0.5))
                                .sub("TSP9", IffBuilder().f4(2.5))
                                .sub("TSP1", IffBuilder().f4(-1.0))
                                .sub("TREF", IffBuilder().u2(0)));
    EXPECT_EQ(point(t, "falloff"), (XYZ{1, 2, 3}));
    EXPECT_EQ(point(t, "velocity"), (XYZ{4, 5, 6}));
    EXPECT_EQ(field(t, "color").asColor(), (Color{0.0, 1.0, 0.2}));
    EXPECT_EQ(field(t, "value").asReal(), 0.25);
    EXPECT_EQ(field(t, "frequency").asInt(), 3);
    EXPECT_EQ(field(t, "opacity").asReal(), 0.5);
    std::vector<V> params(10, V::Real(0.0));
    params[1] = V::Real(-1.0);
    params[9] = V::Real(2.5);
    EXPECT_EQ(field(t, "param"), V::Array(params));
    // TAMP stores the same value as TVAL.
    EXPECT_EQ(field(readTexture(IffBuilder().sub("CTEX", IffBuilder().str("x")).sub("TAMP", IffBuilder().f4(0.75))),
                    "value")
                  .asReal(),
              0.75);
}

// ---- a whole object ----

TEST(LWOBReaderObject, sampleObjectFieldByField) {
    const Converted c = convert(testing::lwobSampleObject());
    EXPECT_EQ(c.messages, "");
    const std::vector<XYZ> pts = points(c.scene);
    ASSERT_EQ(pts.size(), 12u);
    EXPECT_EQ(pts[0], (XYZ{-1, -1, -1}));
    EXPECT_EQ(pts[10], (XYZ{0.5, 0.5, 1}));
    const std::vector<Face> expectedFaces = {
        {{0, 3, 2, 1}, 0}, {{4, 5, 6, 7}, 1}, {{8, 9, 10, 11}, 0}, {{0, 1, 5, 4}, 0},
        {{1, 2, 6, 5}, 0}, {{2, 3, 7, 6}, 0}, {{3, 0, 4, 7}, 1},
    };
    EXPECT_EQ(faces(c.scene), expectedFaces);

    const V list = surfaces(c.scene);
    ASSERT_EQ(list.size(), 2u);
    const V red = list.at(0);
    EXPECT_EQ(field(red, "name").asString(), "Red");
    EXPECT_EQ(field(red, "color").asColor(), (Color{1, 0, 0}));
    EXPECT_EQ(field(red, "luminosity").asReal(), 0.0);
    EXPECT_EQ(field(red, "diffusion").asReal(), 1.0);
    EXPECT_EQ(field(red, "specularity").asReal(), 0.25);
    EXPECT_EQ(field(red, "reflectivity").asReal(), 0.0);
    EXPECT_EQ(field(red, "transparency").asReal(), 0.0);
    EXPECT_EQ(textures(red).size(), 0u);

    const V textured = list.at(1);
    EXPECT_EQ(field(textured, "color").asColor(), (Color{200 / 255.0, 200 / 255.0, 200 / 255.0}));
    EXPECT_EQ(field(textured, "diffusion").asReal(), 230 / 256.0);
    const V ts = textures(textured);
    ASSERT_EQ(ts.size(), 2u);

    const V bump = ts.at(0);
    EXPECT_EQ(field(bump, "textureChannel").asString(), "bump");
    EXPECT_EQ(field(bump, "projection").asString(), "unknown");
    EXPECT_EQ(field(bump, "image").asInt(), -1);
    EXPECT_EQ(field(bump, "axis").asInt(), 1);
    EXPECT_EQ(field(bump, "value").asReal(), 0.5);
    EXPECT_EQ(field(bump, "opacity").asReal(), 1.0);
    EXPECT_EQ(field(bump, "transforms"),
              V::List({makeTranslateXYZ(0, 0, 0), makeRotateY(0), makeRotateX(0), makeRotateZ(0),
                       makeScaleXYZ(1, 1, 1), makeIntDegRotateX(90), makeTranslateXYZ(-0.5, -0.5, 0)}));

    const V colour = ts.at(1);
    const V expected = V::Record({
        {"textureChannel", V::String("color")},
        {"projection", V::String("planar")},
        {"image", V::Int(0)},
        {"stIndex", V::Int(-1)},
        {"transforms", V::List({makeTranslateXYZ(0, 0, 1), makeRotateY(0), makeRotateX(0), makeRotateZ(0),
                                makeScaleXYZ(2, 2, 1), makeTranslateXYZ(-0.5, -0.5, 0)})},
        {"coordinateSystem", V::String("object")},
        {"axis", V::Int(2)},
        {"center", makePointRecord(0, 0, 1)},
        {"size", makePointRecord(2, 2, 1)},
        {"rotation", makePointRecord(0, 0, 0)},
        {"opacity", V::Real(0.75)},
        {"opacityType", V::Int(0)},
        {"enabled", V::Bool(true)},
        {"textureType", V::String("Planar Image Map")},
        {"negative", V::Bool(false)},
        {"pixelblend", V::Bool(true)},
        {"antialias", V::Bool(false)},
    });
    EXPECT_EQ(colour, expected);

    const V imgs = images(c.scene);
    ASSERT_EQ(imgs.size(), 1u);
    EXPECT_EQ(imgs.at(0), V::Record({{"fileName", makeNeutralFileName(false, std::nullopt, "images/wood.tga")}}));
}

TEST(LWOBReaderObject, exampleFileIsTheSampleObject) {
    const std::string path = std::string(MORV3D_SOURCE_DIR) + "/examples/sample_old.lwo";
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << path;
    const Bytes onDisk{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(onDisk, testing::lwobSampleObject()) << "regenerate with examples/make_lwob_sample.cpp";
    EXPECT_TRUE(probeLWOB(onDisk));
    std::ostringstream messages;
    EXPECT_EQ(readLWOBScene(path, messages), convert(testing::lwobSampleObject()).scene);
}

}  // namespace
}  // namespace morv
