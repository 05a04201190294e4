// Brushes through the whole program and back: an object written as a brush,
// that brush read and written as a brush again, must give the same polygons
// and the same texture placement; a brush written as LWO2 must hold its
// polygons and corners for an independent reader.
//
// A placement's vectors may have a part along the polygon's normal, which
// changes no texel; the reader keeps what the texels show, so such vectors
// come back as their part in the polygon's plane. Where the first brush's
// vectors lie in the plane, the lines come back to the printed digits;
// elsewhere the texel of every vertex comes back.
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "common/AssimpCounts.hpp"
#include "common/BrushFixtures.hpp"
#include "common/BrushScan.hpp"
#include "common/LwoFixtures.hpp"
#include "common/RunProgram.hpp"
#include "common/TestHelpers.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "importers/lightwave/LWOBReader.hpp"
#include "support/GetCs.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using testing::BrushPolygon;
using testing::Bytes;
using testing::IffBuilder;

XYZ sub(const XYZ& a, const XYZ& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dot(const XYZ& a, const XYZ& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
XYZ cross(const XYZ& a, const XYZ& b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
XYZ along(const XYZ& v, const XYZ& n) { return {v.x - dot(v, n) * n.x, v.y - dot(v, n) * n.y, v.z - dot(v, n) * n.z}; }

std::string textOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Equal to the printed digits: at most one unit of the sixth decimal apart.
bool samePrinted(const XYZ& a, const XYZ& b) {
    const double unit = 1.000001e-6;
    return std::fabs(a.x - b.x) <= unit && std::fabs(a.y - b.y) <= unit && std::fabs(a.z - b.z) <= unit;
}

struct Tally {
    std::size_t sameLines = 0, sameTexels = 0, skipped = 0;
};

// Compares the brush written from an object with the brush written from that
// brush. With byLines false, texels are compared everywhere: a brush of an
// object in metres has polygons so small that rounding its points to six
// decimals tilts their planes enough to move the sixth decimal of the fitted
// vectors.
Tally compareBrushes(const std::vector<BrushPolygon>& first, const std::vector<BrushPolygon>& again, bool byLines) {
    Tally tally;
    EXPECT_EQ(first.size(), again.size());
    for (std::size_t p = 0; p < std::min(first.size(), again.size()); ++p) {
        const BrushPolygon& a = first[p];
        const BrushPolygon& b = again[p];
        SCOPED_TRACE("polygon " + std::to_string(p));
        EXPECT_EQ(a.vertices, b.vertices);
        const XYZ n = a.normal;
        const double size = std::sqrt(dot(testing::newell(a.vertices), testing::newell(a.vertices)));
        const auto inPlane = [&](const XYZ& v) { return std::fabs(dot(v, n)) <= 1e-6 * (1 + testing::length(v)); };
        double warp = 0;  // how far the polygon is from flat
        for (const XYZ& v : a.vertices) warp = std::max(warp, std::fabs(dot(sub(v, a.vertices[0]), n)));
        const bool flat = warp <= 1e-5 * (1 + std::sqrt(size));
        // A texture seen edge-on shows one line of texels: no placement can be fitted to it again.
        const XYZ shown = cross(along(a.u, n), along(a.v, n));
        const bool edgeOn = testing::length(shown) <= 1e-9 * (1 + testing::length(a.u) * testing::length(a.v));
        if (byLines && inPlane(a.u) && inPlane(a.v) && !edgeOn) {
            EXPECT_TRUE(samePrinted(a.origin, b.origin) && samePrinted(a.u, b.u) && samePrinted(a.v, b.v))
                << "Origin, TextureU, TextureV (" << a.origin.x << ", " << a.origin.y << ", " << a.origin.z << "), ("
                << a.u.x << ", " << a.u.y << ", " << a.u.z << "), (" << a.v.x << ", " << a.v.y << ", " << a.v.z
                << ") came back as (" << b.origin.x << ", " << b.origin.y << ", " << b.origin.z << "), (" << b.u.x
                << ", " << b.u.y << ", " << b.u.z << "), (" << b.v.x << ", " << b.v.y << ", " << b.v.z << ")";
            ++tally.sameLines;
        } else if (flat && !edgeOn) {
            for (const XYZ& v : a.vertices) {
                EXPECT_NEAR(dot(sub(v, a.origin), a.u), dot(sub(v, b.origin), b.u), 1e-3);
                EXPECT_NEAR(dot(sub(v, a.origin), a.v), dot(sub(v, b.origin), b.v), 1e-3);
            }
            ++tally.sameTexels;
        } else {
            ++tally.skipped;
        }
    }
    return tally;
}

class BrushRoundTrip : public testing::ScratchDirTest {
protected:
    void put(const std::string& name, const Bytes& bytes) const {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    // object -> brush (scale 1) -> brush; the two brushes compared.
    Tally roundTrip(const std::string& object, bool byLines) const {
        const auto first = testing::runProgram({"--to=Unreal.T3D", "--scale=1", "--destFileName=first.t3d", object},
                                               dir.string());
        EXPECT_EQ(first.status, 0) << first.err;
        const auto again = testing::runProgram({"--to=Unreal.T3D", "--destFileName=again.t3d", "first.t3d"},
                                               dir.string());
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_NE(again.out.find("Using object scale factor 1\n"), std::string::npos);
        return compareBrushes(testing::scanBrush(textOf(dir / "first.t3d")),
                              testing::scanBrush(textOf(dir / "again.t3d")), byLines);
    }
};

// A box 256 units wide with each face turned outward, and a ramp above it.
IffBuilder boxGeometry() {
    const std::vector<XYZ> points = {{0, 0, 0},     {256, 0, 0},     {256, 256, 0},   {0, 256, 0},
                                     {0, 0, 256},   {256, 0, 256},   {256, 256, 256}, {0, 256, 256},
                                     {0, 0, 300},   {256, 0, 300},   {256, 256, 428}, {0, 256, 428}};
    IffBuilder b;
    b.chunk("TAGS", testing::lwo2Tags({"Crate"}))
        .chunk("LAYR", testing::lwo2Layer(0, "box"))
        .chunk("PNTS", testing::lwo2Points(points))
        .chunk("POLS", testing::lwo2Polygons("FACE", {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4},
                                                        {1, 2, 6, 5}, {2, 3, 7, 6}, {3, 0, 4, 7}, {8, 9, 10, 11}}))
        .chunk("PTAG", testing::lwo2PolygonTags("SURF", {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}}));
    return b;
}

// The surface "Crate" with one colour image texture (its image is not there,
// so the default size counts).
IffBuilder crateSurface(const IffBuilder& projection) {
    IffBuilder block;
    block.sub("IMAP", IffBuilder().str("\x80").sub("CHAN", IffBuilder().id("COLR"))).raw(projection).sub(
        "IMAG", IffBuilder().vx(1));
    return IffBuilder().sub("BLOK", block);
}

TEST_F(BrushRoundTrip, AUvTexturedBoxComesBackLineForLine) {
    IffBuilder chunks = boxGeometry();
    std::vector<testing::UvEntry> uvs;
    const std::vector<std::vector<std::uint32_t>> faces = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4}, {1, 2, 6, 5},
                                                           {2, 3, 7, 6}, {3, 0, 4, 7}, {8, 9, 10, 11}};
    const double corner[4][2] = {{0.125, 0.25}, {0.875, 0.25}, {0.875, 0.5}, {0.125, 0.625}};
    for (std::uint32_t f = 0; f < faces.size(); ++f)
        for (std::uint32_t k = 0; k < 4; ++k) uvs.push_back({faces[f][k], f, {corner[k][0] + f, corner[k][1]}});
    chunks.chunk("VMAD", testing::lwo2PolygonVertexMap("TXUV", 2, "uv", uvs))
        .chunk("CLIP", testing::lwo2StillClip(1, "textures/crate.bmp"))
        .chunk("SURF", testing::lwo2Surface("Crate", "",
                                            crateSurface(IffBuilder()
                                                             .sub("PROJ", IffBuilder().u2(5))
                                                             .sub("VMAP", IffBuilder().str("uv")))));
    put("box.lwo", testing::iffForm("LWO2", chunks));
    const Tally t = roundTrip("box.lwo", true);
    EXPECT_EQ(t.sameLines, 14u);  // its UVs are no affine map of a face: each is cut in two
}

// A planar projection along z, turned about z: the top and bottom hold its
// vectors in their plane; the ramp does not, and keeps its texels; the walls
// see it edge-on.
TEST_F(BrushRoundTrip, APlanarTexturedBoxKeepsItsPlacements) {
    IffBuilder chunks = boxGeometry();
    IffBuilder tmap;
    tmap.sub("CNTR", IffBuilder().vec(128, 128, 128).vx(0))
        .sub("SIZE", IffBuilder().vec(256, 256, 256).vx(0))
        .sub("ROTA", IffBuilder().vec(0, 0, 0.5).vx(0));
    chunks.chunk("CLIP", testing::lwo2StillClip(1, "textures/crate.bmp"))
        .chunk("SURF", testing::lwo2Surface("Crate", "",
                                            crateSurface(IffBuilder()
                                                             .sub("PROJ", IffBuilder().u2(0))
                                                             .sub("AXIS", IffBuilder().u2(2))
                                                             .sub("TMAP", tmap))));
    put("box.lwo", testing::iffForm("LWO2", chunks));
    const Tally t = roundTrip("box.lwo", true);
    EXPECT_EQ(t.sameLines, 2u);
    EXPECT_EQ(t.sameTexels, 1u);
    EXPECT_EQ(t.skipped, 4u);
}

// A planar texture along x, y and z, the object also turned: at every vertex
// of the box, the ramp and a prism the brush shows the texel that the RIB's
// shader shows, on walls along the projection too, and each Origin lies near.
TEST_F(BrushRoundTrip, PlanarTexelsAreTheRibsAlongEveryAxis) {
    for (std::uint16_t axis : {0, 1, 2})
        for (const std::string turn : {"rx0", "rx90 rz-90", "ry30 rx-45"}) {
            SCOPED_TRACE("axis " + std::to_string(axis) + ", " + turn);
            IffBuilder tmap, chunks = boxGeometry(), planar;
            tmap.sub("CNTR", IffBuilder().vec(100, 50, 80).vx(0)).sub("SIZE", IffBuilder().vec(300, 300, 300).vx(0));
            planar.sub("PROJ", IffBuilder().u2(0)).sub("AXIS", IffBuilder().u2(axis)).sub("TMAP", tmap);
            chunks.chunk("LAYR", testing::lwo2Layer(1, "prism"))
                .chunk("PNTS", testing::lwo2Points({{300, 0, 0}, {400, 0, 0}, {300, 90, 0}, {300, 0, 200},
                                                     {400, 0, 200}, {300, 90, 200}}))
                .chunk("POLS", testing::lwo2Polygons("FACE", {{0, 2, 1}, {3, 4, 5}, {0, 1, 4, 3}, {1, 2, 5, 4},
                                                              {2, 0, 3, 5}}))
                .chunk("PTAG", testing::lwo2PolygonTags("SURF", {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}}))
                .chunk("CLIP", testing::lwo2StillClip(1, "crate.bmp"))
                .chunk("SURF", testing::lwo2Surface("Crate", "", crateSurface(planar)));
            put("p.lwo", testing::iffForm("LWO2", chunks));
            fs::remove(dir / "Crate.sl");  // a shader file is never replaced
            for (const std::string to : {"RIB", "Unreal.T3D"})
                ASSERT_EQ(testing::runProgram({"--to=" + to, "--scale=1", "--coordTransformsLH=" + turn,
                                               "--destFileName=p." + to.substr(to.size() - 3), "p.lwo"},
                                              dir.string()).status, 0);
            // The shader's matrix carries an object point, as a row vector, to texture space.
            const std::string shader = textOf(dir / "Crate.sl");
            std::istringstream numbers(shader.substr(shader.find('(', shader.find("xForm0"))));
            double m[16];
            for (double& e : m) numbers.ignore(1) >> e;
            for (const BrushPolygon& p : testing::scanBrush(textOf(dir / "p.T3D"))) {
                EXPECT_LT(testing::length(sub(p.origin, p.vertices[0])), 1000);
                for (const XYZ& v : p.vertices) {
                    EXPECT_NEAR(dot(sub(v, p.origin), p.u), 512 * (dot(v, {m[0], m[4], m[8]}) + m[12]), 1e-3);
                    EXPECT_NEAR(dot(sub(v, p.origin), p.v), 512 * (1 - dot(v, {m[1], m[5], m[9]}) - m[13]), 1e-3);
                }
            }
        }
}

// Brush to brush keeps every Texture= word: names that differ only in their package stay apart.
TEST_F(BrushRoundTrip, TextureNamesKeepTheirPackages) {
    std::ofstream(dir / "in.t3d") << testing::brushText({testing::brushSquare(0, "Texture=Ancient.Walls.Stone01"),
                                                         testing::brushSquare(1, "Texture=Gothic.Walls.Stone01")});
    roundTrip("in.t3d", false);
    EXPECT_EQ(testing::scanBrush(textOf(dir / "again.t3d")).back().texture, "Gothic.Walls.Stone01");
}

// Every LightWave object of assimp-testmodels (each converts to a brush): the
// same polygons and their texels back, and the brush as LWO2 with its
// polygons and corners.
TEST_F(BrushRoundTrip, RealObjectsComeBackAndTheirBrushesConvertToLwo2) {
    const fs::path models = "/usr/share/assimp/models/LWO";
    std::error_code ec;
    if (!fs::is_directory(models, ec)) GTEST_SKIP() << "assimp-testmodels is not installed";
    const bool haveAssimp = testing::haveAssimp();
    Tally total;
    int objects = 0;
    for (const auto& entry : fs::recursive_directory_iterator(models, ec)) {
        if (!entry.is_regular_file()) continue;
        const ObjectBytes head = loadObjectFile(entry.path().string());
        if (!probeLWO2(head) && !probeLWOB(head)) continue;
        SCOPED_TRACE(entry.path().string());
        const Tally t = roundTrip(entry.path().string(), false);
        if (entry.path().filename() == "nonplanar_polygon.lwo") {  // its one face is bent so far that triangles span it
            const std::string bent = "Warning: 1 faces that are far from flat were cut into flat pieces\n";
            EXPECT_NE(testing::runProgram({"--to=Unreal.T3D", "--destFileName=bent.t3d", entry.path().string()}, dir.string()).out.find(bent), std::string::npos);
        }
        total.sameTexels += t.sameTexels;
        ++objects;

        const auto lwo2 = testing::runProgram({"--to=LWO2", "--destFileName=brush.lwo", "first.t3d"}, dir.string());
        ASSERT_EQ(lwo2.status, 0) << lwo2.err;
        const auto polygons = testing::scanBrush(textOf(dir / "first.t3d"));
        long corners = 0;
        for (const auto& p : polygons) corners += static_cast<long>(p.vertices.size());
        long vertices = 0, faces = 0;
        if (haveAssimp && !polygons.empty() && testing::assimpCounts(dir / "brush.lwo", vertices, faces)) {
            EXPECT_EQ(faces, static_cast<long>(polygons.size()));
            EXPECT_EQ(vertices, corners);
        }
    }
    EXPECT_GE(objects, 40);
    EXPECT_GT(total.sameTexels, 5000u);
}

}  // namespace
}  // namespace morv

namespace morv {
namespace {

// A brush's own placements go back as they were, whatever texels they show (a
// texture seen edge-on, vectors with a part along the normal); scaled, every
// vertex keeps its texel.
TEST_F(BrushRoundTrip, PlacementsReadComeBackAsTheyWere) {
    testing::BrushPolygonText edgeOn = testing::brushSquare(0), tilted = testing::brushSquare(64), zeroU = testing::brushSquare(128);
    edgeOn.textureV = {0, 0, 1};  // every vertex shows v = 0
    tilted.origin = {3, 5, 7};
    tilted.textureU = {1, 0, 0.5};
    zeroU.textureU = {0, 0, 0}, zeroU.pan = "U=+00032.000000 V=+00000.000000";  // no origin can show a pan along a zero axis
    const std::vector<testing::BrushPolygonText> polygons{edgeOn, tilted, zeroU};
    const std::string text = testing::brushText(polygons);
    put("in.t3d", Bytes(text.begin(), text.end()));
    for (const double scale : {1.0, 2.0}) {
        SCOPED_TRACE(scale);
        const auto r = testing::runProgram({"--to=Unreal.T3D", "--scale=" + std::to_string(scale), "--destFileName=out.t3d", "in.t3d"},
                                           dir.string());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find("badly"), std::string::npos) << r.out;
        const auto out = testing::scanBrush(textOf(dir / "out.t3d"));
        ASSERT_EQ(out.size(), polygons.size());
        for (std::size_t k = 0; k < out.size(); ++k) {
            const auto& in = polygons[k];
            if (scale == 1) {
                EXPECT_TRUE(samePrinted(out[k].origin, in.origin) && samePrinted(out[k].u, in.textureU) && samePrinted(out[k].v, in.textureV));
            }
            EXPECT_EQ(out[k].pan, in.pan);
            for (std::size_t i = 0; i < in.vertices.size(); ++i) {
                const XYZ& v = out[k].vertices[i];
                EXPECT_NEAR(dot(sub(v, out[k].origin), out[k].u), dot(sub(in.vertices[i], in.origin), in.textureU), 1e-4);
                EXPECT_NEAR(dot(sub(v, out[k].origin), out[k].v), dot(sub(in.vertices[i], in.origin), in.textureV), 1e-4);
            }
        }
    }
}

}  // namespace
}  // namespace morv
