#include "exporters/lightwave/MorvLToLWO2.hpp"
#include "exporters/PolygonMesh.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "common/SceneGeometry.hpp"

#include "common/TestHelpers.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "scene/CanonicalScene.hpp"
#include "support/GetCs.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Face = std::vector<std::uint32_t>;

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "lwo2w_" + std::to_string(::getpid()) + "_" + name;
}

MorvLValue surfaceRecord(const std::string& name) {
    return MorvLValue::Record({{"name", MorvLValue::String(name)}, {"textures", MorvLValue::List({})}});
}

MorvLValue meshScene(const std::vector<XYZ>& points, const std::vector<Face>& faces) {
    MeshBuilder builder;
    for (const XYZ& p : points) builder.addVertex(p);
    for (const Face& f : faces) builder.addFace(f, MorvLValue::Int(0));
    return makeScene(std::move(builder).build(), {surfaceRecord("skin")}, {});
}

// n points on a line and faces made of the given corner lists.
MorvLValue lineScene(std::size_t n, const std::vector<Face>& faces) {
    std::vector<XYZ> points;
    for (std::size_t i = 0; i < n; ++i) points.push_back({double(i), 0.0, 0.0});
    return meshScene(points, faces);
}

Bytes writeToBytes(const MorvLValue& scene, const std::string& name) {
    const std::string path = tempPath(name);
    MorvLToLWO2::translate(scene, path);
    Bytes bytes = readWholeFile(path);
    fs::remove(path);
    return bytes;
}

struct Chunk {
    std::string id;
    Bytes body;
};

// The chunks of a written file, after checking the FORM header and that every
// length adds up to the file's size.
std::vector<Chunk> chunksOf(const Bytes& file) {
    ByteCursor c(file);
    const ChunkHeader form = c.readChunk();
    EXPECT_EQ(form.id, "FORM");
    EXPECT_EQ(static_cast<std::size_t>(form.length), file.size() - 8);
    EXPECT_EQ(c.readId(), "LWO2");
    std::vector<Chunk> chunks;
    while (!c.atEnd()) {
        const ChunkHeader h = c.readChunk();
        ByteCursor body = c.readChunkBody(h.id, h.length);
        Chunk chunk{h.id, {}};
        while (!body.atEnd()) chunk.body.push_back(body.readU1());
        c.skipPad(h.length, h.id);
        chunks.push_back(std::move(chunk));
    }
    return chunks;
}

const Chunk& chunkNamed(const std::vector<Chunk>& chunks, const std::string& id) {
    for (const Chunk& c : chunks)
        if (c.id == id) return c;
    throw std::runtime_error("no chunk " + id);
}

TEST(MorvLToLWO2, OneTriangleGivesExactlyTheseBytes) {
    const Bytes expected = {
        'F', 'O', 'R', 'M', 0x00, 0x00, 0x00, 0x96, 'L', 'W', 'O', '2',
        'T', 'A', 'G', 'S', 0x00, 0x00, 0x00, 0x08, 'd', 'e', 'f', 'a', 'u', 'l', 't', 0x00,
        'L', 'A', 'Y', 'R', 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        'l', 'a', 'y', 'e', 'r', '1', 0x00, 0x00,
        'P', 'N', 'T', 'S', 0x00, 0x00, 0x00, 0x24,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x3F, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00,
        'P', 'O', 'L', 'S', 0x00, 0x00, 0x00, 0x0C, 'F', 'A', 'C', 'E',
        0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02,
        'P', 'T', 'A', 'G', 0x00, 0x00, 0x00, 0x08, 'S', 'U', 'R', 'F', 0x00, 0x00, 0x00, 0x00,
        'S', 'U', 'R', 'F', 0x00, 0x00, 0x00, 0x0A, 'd', 'e', 'f', 'a', 'u', 'l', 't', 0x00, 0x00, 0x00,
    };
    const MorvLValue scene = meshScene({{0, 0, 0}, {1, 0, 0}, {0, -2, 0.5}}, {{0, 1, 2}});
    EXPECT_EQ(writeToBytes(scene, "triangle.lwo"), expected);
}

TEST(MorvLToLWO2, SceneWithoutFacesWritesEmptyPolygonAndTagChunks) {
    const auto chunks = chunksOf(writeToBytes(lineScene(2, {}), "nofaces.lwo"));
    ASSERT_EQ(chunks.size(), 6u);
    const char* order[] = {"TAGS", "LAYR", "PNTS", "POLS", "PTAG", "SURF"};
    const std::size_t lengths[] = {8, 24, 24, 4, 4, 10};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(chunks[i].id, order[i]);
        EXPECT_EQ(chunks[i].body.size(), lengths[i]) << order[i];
    }
    EXPECT_EQ(chunks[3].body, (Bytes{'F', 'A', 'C', 'E'}));
    EXPECT_EQ(chunks[4].body, (Bytes{'S', 'U', 'R', 'F'}));
}

TEST(MorvLToLWO2, VertexIndicesSwitchToFourBytesAbove65279) {
    // 65,282 points; the second polygon uses the last short index and two long ones.
    const auto chunks =
        chunksOf(writeToBytes(lineScene(65282, {{0, 1, 2}, {65279, 65280, 65281}}), "bigindex.lwo"));
    EXPECT_EQ(chunkNamed(chunks, "PNTS").body.size(), 65282u * 12);
    const Bytes pols = chunkNamed(chunks, "POLS").body;
    ASSERT_EQ(pols.size(), 4u + (2 + 3 * 2) + (2 + 2 + 4 + 4));
    EXPECT_EQ(Bytes(pols.begin() + 12, pols.end()),
              (Bytes{0x00, 0x03, 0xFE, 0xFF, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x01}));
    // Read back with the reading side's index rule.
    ByteCursor c(pols.data() + 14, pols.size() - 14);
    EXPECT_EQ(c.readVertexIndex().index, 65279u);
    EXPECT_EQ(c.readVertexIndex().index, 65280u);
    EXPECT_EQ(c.readVertexIndex().index, 65281u);
}

TEST(MorvLToLWO2, PolygonIndicesInPTAGFollowTheSameRule) {
    struct Case {
        std::size_t faces;
        std::size_t ptagLength;
    };
    const Case cases[] = {{1, 4 + 4}, {65280, 4 + 65280 * 4}, {65281, 4 + 65280 * 4 + 6}};
    for (const Case& k : cases) {
        const auto chunks = chunksOf(writeToBytes(lineScene(3, std::vector<Face>(k.faces, {0, 1, 2})), "ptag.lwo"));
        const Bytes ptag = chunkNamed(chunks, "PTAG").body;
        ASSERT_EQ(ptag.size(), k.ptagLength) << k.faces << " faces";
        ByteCursor c(ptag);
        EXPECT_EQ(c.readId(), "SURF");
        for (std::size_t f = 0; f < k.faces; ++f) {
            ASSERT_EQ(c.readVertexIndex().index, f);
            ASSERT_EQ(c.readU2(), 0u);
        }
        EXPECT_EQ(chunkNamed(chunks, "POLS").body.size(), 4 + k.faces * 8);
    }
}

TEST(MorvLToLWO2, PolygonsKeepTheirCornerOrderAndPointsTheirValues) {
    const std::vector<XYZ> points{{-1.5, 2.25, 1e-3}, {3, 4, 5}, {6, 7, 8}, {-0.0, 1e30, -7}};
    const auto chunks = chunksOf(writeToBytes(meshScene(points, {{3, 1, 0, 2}, {2, 0}}), "order.lwo"));
    ByteCursor pnts(chunkNamed(chunks, "PNTS").body);
    for (const XYZ& p : points) {
        const XYZ q = pnts.readPoint();
        EXPECT_EQ(q.x, double(float(p.x)));
        EXPECT_EQ(q.y, double(float(p.y)));
        EXPECT_EQ(q.z, double(float(p.z)));
    }
    EXPECT_EQ(chunkNamed(chunks, "POLS").body,
              (Bytes{'F', 'A', 'C', 'E', 0, 4, 0, 3, 0, 1, 0, 0, 0, 2, 0, 2, 0, 2, 0, 0}));
}

TEST(MorvLToLWO2, BadCornersStopBeforeTheFileIsCreated) {
    struct Case {
        std::size_t points;
        Face face;
        std::string cause;
    };
    const Case cases[] = {
        {3, {0, 0xFFFFFFFFu, 2},
         "Corner 1 of face 0 refers to vertex ~1, which is not one of the 3 vertices of the mesh"},
        {3, {0, 1, 3}, "Corner 2 of face 0 refers to vertex 3, which is not one of the 3 vertices of the mesh"},
        {3, Face(1024, 0), "Face 0 has 1024 corners, more than the 1023 that an LWO2 polygon can hold"},
    };
    const std::string path = tempPath("badcorner.lwo");
    for (const Case& k : cases) {
        EXPECT_THROW_MSG(MorvLToLWO2::translate(lineScene(k.points, {k.face}), path), Error,
                         "Exception in outPolygons\nThe error which caused this:\n"
                         "Exception in outPolygon\nThe error which caused this:\n" +
                             k.cause);
        EXPECT_FALSE(fs::exists(path));
    }
    // The largest polygon that fits is written.
    EXPECT_EQ(chunkNamed(chunksOf(writeToBytes(lineScene(3, {Face(1023, 1)}), "max.lwo")), "POLS").body.size(),
              4u + 2 + 1023 * 2);
}

TEST(MorvLToLWO2, ScenesWithoutMeshOrSurfacesAreInternalErrors) {
    const std::string unpackText =
        "Internal Error: Scene does not contain expected mesh and surface data in function unpackPolygonMeshTop!\n";
    const MorvLValue mesh = std::move(MeshBuilder()).build();
    const MorvLValue surfaces = MorvLValue::List({});
    const MorvLValue broken[] = {
        MorvLValue::Record({}),
        MorvLValue::Record({{"surfaces", surfaces}, {"images", surfaces}}),
        MorvLValue::Record({{"mesh", MorvLValue::Int(1)}, {"surfaces", surfaces}}),
        MorvLValue::Record({{"mesh", mesh}}),
        MorvLValue::Record({{"mesh", MorvLValue::Record({{"vertices", surfaces}})}, {"surfaces", surfaces}}),
    };
    const std::string path = tempPath("broken.lwo");
    for (const MorvLValue& scene : broken) {
        EXPECT_THROW_MSG(unpackPolygonMeshTop(scene), Error, unpackText);
        EXPECT_THROW_MSG(MorvLToLWO2::translate(scene, path), Error, unpackText);
    }
    EXPECT_THROW_MSG(MorvLToLWO2::translate(MorvLValue::List({}), path), Error,
                     "Internal Error: Scene does not contain expected mesh and surface data in function "
                     "MorvLToLWO2.translate!\n");
    EXPECT_FALSE(fs::exists(path));
}

TEST(MorvLToLWO2, UnwritableDestinationsRaise) {
    const MorvLValue scene = lineScene(3, {{0, 1, 2}});
    const std::string dir = ::testing::TempDir();
    EXPECT_THROW_MSG(MorvLToLWO2::translate(scene, dir), Error, "Could not open output file " + dir + ": Is a directory");
    EXPECT_TRUE(fs::is_directory(dir));
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // The small file fails when it is flushed at the end; the large one inside
    // the points chunk. The device itself is never removed.
    EXPECT_THROW_MSG(MorvLToLWO2::translate(scene, "/dev/full"), Error,
                     "Could not write output file /dev/full: No space left on device");
    EXPECT_THROW_MSG(MorvLToLWO2::translate(lineScene(200000, {}), "/dev/full"), Error,
                     "Exception in outPoints\nThe error which caused this:\nCould not write output file /dev/full: No space left on device");
    EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST(MorvLToLWO2, AFailedWriteLeavesNoPartialFile) {
    // A file size limit makes the write fail half-way, as a full disk would.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 1 << 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string path = tempPath("partial.lwo");
    EXPECT_THROW(MorvLToLWO2::translate(lineScene(300000, {}), path), Error);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(fs::exists(path));
}

TEST(MorvLToLWO2, ProgressLine) {
    EXPECT_EQ(lwo2WriterProgressLine("out/a.lwo"),
              "Writing LightWave LWO2 (LightWave3D Object after [6]) file out/a.lwo\n");
}

// ---- Round trips through the LWO2 reader ----


TEST(MorvLToLWO2RoundTrip, GeometryComesBackBoundToOneSurface) {
    std::vector<XYZ> points;
    for (int i = 0; i < 70000; ++i) points.push_back({i * 0.25, -i * 0.5, 3.0});
    const std::vector<Face> faces{{0, 1, 2}, {69999, 65280, 65279, 3}, {5, 6}, {7}};
    const std::string path = tempPath("roundtrip.lwo");
    MorvLToLWO2::translate(meshScene(points, faces), path);
    std::ostringstream messages;
    const MorvLValue scene = readLWO2Scene(path, messages);
    fs::remove(path);
    EXPECT_EQ(messages.str(), "");

    const testing::Geometry r = testing::geometryOf(scene);
    EXPECT_EQ(r.points, points);  // all exact in single precision
    ASSERT_EQ(r.faces.size(), faces.size());
    for (std::size_t f = 0; f < faces.size(); ++f) {
        EXPECT_EQ(r.faces[f], std::vector<std::int32_t>(faces[f].begin(), faces[f].end()));
        EXPECT_EQ(r.surfaces[f], 0);
    }
    const MorvLValue surfaces = requireField(scene.fields(), "surfaces");
    ASSERT_EQ(surfaces.size(), 1u);
    EXPECT_EQ(getStringField(surfaces.at(0).fields(), "name", ""), "default");
}

}  // namespace
}  // namespace morv
