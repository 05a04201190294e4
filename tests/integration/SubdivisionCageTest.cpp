// Objects made of SubPatch (PTCH) and Catmull-Clark (SUBD) cages beside plain
// faces, converted by the built program to every output: LWO2 in both writer
// modes keeps every face with its kind in file order, RIB writes the cage
// faces of each surface as one SubdivisionMesh beside the plain polygons, and
// the brush covers the area of all faces.
#include <unistd.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "common/BrushScan.hpp"
#include "common/LightWaveScan.hpp"
#include "common/LwoFixtures.hpp"
#include "common/RibScanner.hpp"
#include "common/RunProgram.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using testing::IffBuilder;
using Polygon = std::vector<std::uint32_t>;  // single-float bits of its points
using KindedFaces = std::vector<std::pair<std::string, Polygon>>;

// Three boxes: plain faces, SubPatch and Catmull-Clark, each in a layer of its
// own; the Catmull-Clark box has UV coordinates and shares the plain box's surface.
testing::Bytes cageObject() {
    const std::vector<std::vector<std::uint32_t>> quads{{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                                                        {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    const char* const types[] = {"FACE", "PTCH", "SUBD"};
    IffBuilder b, block;
    b.chunk("TAGS", testing::lwo2Tags({"Plain", "Cage"}));
    for (std::uint16_t layer = 0; layer < 3; ++layer) {
        std::vector<XYZ> box;
        std::vector<std::pair<std::uint32_t, std::uint16_t>> tags;
        for (int i = 0; i < 8; ++i) box.push_back({3.0 * layer + (i & 1), double((i >> 1) & 1), double(i >> 2)});
        for (std::uint32_t f = 0; f < 6; ++f) tags.push_back({f, layer == 1});
        b.chunk("LAYR", testing::lwo2Layer(layer, types[layer])).chunk("PNTS", testing::lwo2Points(box));
        b.chunk("POLS", testing::lwo2Polygons(types[layer], quads)).chunk("PTAG", testing::lwo2PolygonTags("SURF", tags));
    }
    std::vector<testing::UvEntry> uv;
    for (std::uint32_t v = 0; v < 8; ++v) uv.push_back({v, 0, {0.125 * v, 1 - 0.125 * v}});
    block.sub("IMAP", IffBuilder().str("\x80").sub("CHAN", IffBuilder().id("COLR"))).sub("PROJ", IffBuilder().u2(5));
    block.sub("IMAG", IffBuilder().vx(1)).sub("VMAP", IffBuilder().str("uv"));
    b.chunk("VMAP", testing::lwo2VertexMap("TXUV", 2, "uv", uv)).chunk("CLIP", testing::lwo2StillClip(1, "cage.tga"));
    b.chunk("SURF", testing::lwo2Surface("Plain", "", IffBuilder().sub("BLOK", block)));
    return testing::iffForm("LWO2", b.chunk("SURF", testing::lwo2Surface("Cage", "", IffBuilder())));
}

Polygon keyOf(const std::vector<XYZ>& points) {
    Polygon key;
    for (const XYZ& p : points)
        for (double v : {p.x, p.y, p.z}) key.push_back(std::bit_cast<std::uint32_t>(static_cast<float>(v)));
    return key;
}

// Every face of a LightWave object with its POLS type, as its points; and their area.
KindedFaces kindedFaces(const fs::path& file, double* area = nullptr) {
    const testing::ScannedGeometry g = testing::scanGeometry(file);
    KindedFaces faces;
    for (std::size_t f = 0; f < g.faces.size(); ++f) {
        std::vector<XYZ> points;
        for (std::uint32_t v : g.faces[f])
            points.push_back({std::bit_cast<float>(g.points.at(3 * v)), std::bit_cast<float>(g.points.at(3 * v + 1)),
                              std::bit_cast<float>(g.points.at(3 * v + 2))});
        if (area) *area += testing::length(testing::newell(points)) / 2;
        faces.emplace_back(g.kinds[f], keyOf(points));
    }
    return faces;
}

std::string fileText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SubdivisionCages, EveryOutputKeepsTheCages) {
    const fs::path work = fs::temp_directory_path() / ("morv3d-cages-" + std::to_string(::getpid()));
    fs::create_directories(work);
    // Each object with its number of surfaces that hold cage faces.
    std::vector<std::pair<std::string, std::size_t>> cases{{testing::writeTempFile(cageObject(), "cages.lwo"), 2}};
    if (fs::exists("/usr/share/assimp/models/LWO/LWO2/Subdivision.lwo"))
        cases.push_back({"/usr/share/assimp/models/LWO/LWO2/Subdivision.lwo", 1});
    for (const auto& [file, subdivisionMeshes] : cases) {
        SCOPED_TRACE(file);
        double sourceArea = 0;
        const KindedFaces source = kindedFaces(file, &sourceArea);
        const auto convert = [&](std::vector<std::string> args, const fs::path& out) {
            args.push_back("--destFileName=" + out.string());
            args.push_back(file);
            const auto run = testing::runProgram(args, work.string());
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.out.find("curved surfaces"), std::string::npos);
        };
        for (const std::string keep : {"--keepSurfaces=false", "--keepSurfaces=true"}) {
            convert({"--to=LWO2", keep}, work / "out.lwo");
            EXPECT_EQ(kindedFaces(work / "out.lwo"), source) << keep;
        }

        convert({"--to=RIB"}, work / "out.rib");
        std::multiset<std::pair<std::string, Polygon>> expected, written;
        for (const auto& [kind, points] : source) expected.insert({kind == "FACE" ? "polygon" : "cage", points});
        std::size_t meshes = 0, meshesInSurface = 0;
        for (const auto& r : testing::scanRib(fileText(work / "out.rib"))) {
            if (r.name == "Surface") meshesInSurface = 0;
            if (r.name != "PointsGeneralPolygons" && r.name != "SubdivisionMesh") continue;
            const bool cage = r.name == "SubdivisionMesh";
            meshes += cage;
            EXPECT_LE(meshesInSurface += cage, 1u);
            for (const auto& polygon : testing::ribPolygons(r)) written.insert({cage ? "cage" : "polygon", keyOf(polygon)});
        }
        EXPECT_EQ(written, expected);
        EXPECT_EQ(meshes, subdivisionMeshes);

        convert({"--to=Unreal.T3D", "--scale=1"}, work / "out.t3d");
        double brushArea = 0;
        for (const auto& polygon : testing::scanBrush(fileText(work / "out.t3d")))
            brushArea += testing::length(testing::newell(polygon.vertices)) / 2;
        EXPECT_NEAR(brushArea, sourceArea, 1e-4 * sourceArea);
    }
    fs::remove_all(work);
}

}  // namespace
}  // namespace morv
