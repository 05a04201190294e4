// An object written as LWO2 with --keepSurfaces=true and read again must give
// the scene it came from: its RIB (with shaders) and its brush are the same as
// those converted straight from the source, for the real LightWave objects of
// assimp-testmodels, the generated samples, an object with several UV maps
// and per-polygon coordinates, a textured brush, and cages, whose kinds every
// output keeps. Assimp must see the source's materials and texture references
// in the written file.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "common/AssimpCounts.hpp"
#include "common/BrushFixtures.hpp"
#include "common/BrushScan.hpp"
#include "common/LightWaveScan.hpp"
#include "common/LwoFixtures.hpp"
#include "common/RibScanner.hpp"
#include "common/RunProgram.hpp"
#include "importers/lightwave/LWO2Reader.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using testing::IffBuilder;
using Polygon = std::vector<std::uint32_t>;  // single-float bits of its points
using KindedFaces = std::vector<std::pair<std::string, Polygon>>;

// Two UV maps, one of them also per polygon, a planar texture in world space
// with a rotation, a disabled one, and a surface without textures.
testing::Bytes uvObject() {
    const auto block = [](const char* channel, std::uint16_t projection, const char* map, bool enabled) {
        IffBuilder tmap, b;
        tmap.sub("CNTR", IffBuilder().vec(0.5, 1, 0).vx(0)).sub("SIZE", IffBuilder().vec(2, 3, 1).vx(0));
        tmap.sub("ROTA", IffBuilder().vec(0.25, -0.5, 1).vx(0)).sub("CSYS", IffBuilder().u2(map ? 0 : 1));
        b.sub("IMAP", IffBuilder().str("\x80").sub("CHAN", IffBuilder().id(channel)).sub("ENAB", IffBuilder().u2(enabled)));
        b.sub("TMAP", tmap).sub("PROJ", IffBuilder().u2(projection)).sub("AXIS", IffBuilder().u2(1));
        b.sub("IMAG", IffBuilder().vx(map ? 1 : 2));
        if (map) b.sub("VMAP", IffBuilder().str(map));
        return b;
    };
    IffBuilder chunks;
    chunks.chunk("TAGS", testing::lwo2Tags({"Front", "Back", "Bare"})).chunk("LAYR", testing::lwo2Layer(0, "l"));
    chunks.chunk("PNTS", testing::lwo2Points({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}}));
    chunks.chunk("VMAP", testing::lwo2VertexMap("TXUV", 2, "front", {{0, 0, {0, 0}}, {1, 0, {1, 0}}, {2, 0, {1, 1}}}));
    chunks.chunk("POLS", testing::lwo2Polygons("FACE", {{0, 1, 2, 3}, {1, 0, 4, 5}, {0, 3, 4}}));
    chunks.chunk("PTAG", testing::lwo2PolygonTags("SURF", {{0, 0}, {1, 1}, {2, 2}}));
    chunks.chunk("VMAD", testing::lwo2PolygonVertexMap("TXUV", 2, "front", {{0, 1, {0.25, 0.5}}, {3, 0, {0, 1}}}));
    chunks.chunk("VMAD", testing::lwo2PolygonVertexMap("TXUV", 2, "back", {{4, 1, {0.5, 0.75}}}));
    chunks.chunk("CLIP", testing::lwo2StillClip(1, "images/front.tga"));
    chunks.chunk("CLIP", testing::lwo2StillClip(2, "C:/maps/back.bmp"));
    chunks.chunk("SURF", testing::lwo2Surface("Front", "", IffBuilder().sub("BLOK", block("COLR", 5, "front", true))));
    chunks.chunk("SURF", testing::lwo2Surface("Back", "", IffBuilder().sub("COLR", IffBuilder().vec(0.5, 0.25, 1).vx(0))
                                                              .sub("BLOK", block("DIFF", 0, nullptr, true))
                                                              .sub("BLOK", block("COLR", 5, "back", false))));
    chunks.chunk("SURF", testing::lwo2Surface("Bare", "", IffBuilder().sub("SPEC", IffBuilder().f4(0.5).vx(0))));
    return testing::iffForm("LWO2", chunks);
}

// One planar colour texture per surface, a triangle facing (1, 1, 1), for each axis, size and turn
// (heading, pitch and bank in degrees); a flat texture has no size along its axis.
struct Placements {
    std::vector<int> axes;
    std::vector<XYZ> sizes, turns;
    bool flat = false;
};

testing::Bytes placementObject(const Placements& p) {
    IffBuilder chunks, surfaces;
    std::vector<XYZ> points;
    std::vector<std::string> names;
    std::vector<std::vector<std::uint32_t>> polygons;
    std::vector<std::pair<std::uint32_t, std::uint16_t>> tags;
    for (int axis : p.axes)
        for (XYZ size : p.sizes)
            for (const XYZ& turn : p.turns) {
                if (p.flat) (axis == 0 ? size.x : axis == 1 ? size.y : size.z) = 0;
                const auto i = static_cast<std::uint16_t>(names.size());
                const XYZ at{3.0 * i, 0, 0}, radians{turn.x / 57.29577951308232, turn.y / 57.29577951308232, turn.z / 57.29577951308232};
                points.insert(points.end(), {at, {at.x + 1, -1, 0}, {at.x, 1, -1}});
                polygons.push_back({3u * i, 3u * i + 1, 3u * i + 2});
                tags.push_back({i, i});
                names.push_back(std::to_string(i).insert(0, 1, 'T'));
                IffBuilder t, tmap;
                tmap.sub("CNTR", IffBuilder().vec(at.x + 0.5, 0.25, -0.25).vx(0)).sub("SIZE", IffBuilder().vec(size.x, size.y, size.z).vx(0));
                t.sub("IMAP", IffBuilder().str("\x80").sub("CHAN", IffBuilder().id("COLR")))
                    .sub("TMAP", tmap.sub("ROTA", IffBuilder().vec(radians.x, radians.y, radians.z).vx(0)));
                t.sub("PROJ", IffBuilder().u2(0)).sub("AXIS", IffBuilder().u2(std::uint16_t(axis))).sub("IMAG", IffBuilder().vx(1));
                surfaces.chunk("SURF", testing::lwo2Surface(names.back(), "", IffBuilder().sub("BLOK", t)));
            }
    chunks.chunk("TAGS", testing::lwo2Tags(names)).chunk("LAYR", testing::lwo2Layer(0, "l")).chunk("PNTS", testing::lwo2Points(points));
    chunks.chunk("POLS", testing::lwo2Polygons("FACE", polygons)).chunk("PTAG", testing::lwo2PolygonTags("SURF", tags));
    return testing::iffForm("LWO2", chunks.chunk("CLIP", testing::lwo2StillClip(1, "t.bmp")).raw(surfaces));
}

// The first words where the texts differ (numbers up to single-float rounding), or "".
std::string firstDifference(std::string a, std::string b) {
    for (std::string* text : {&a, &b})
        std::replace_if(text->begin(), text->end(), [](char c) { return std::string_view("[](),;\r").find(c) != std::string_view::npos; }, ' ');
    std::istringstream as(a), bs(b);
    std::string wa, wb;
    while (as >> wa) {
        if (!(bs >> wb)) return wa;
        char *ea, *eb;
        const double x = std::strtod(wa.c_str(), &ea), y = std::strtod(wb.c_str(), &eb);
        if (*ea == 0 && *eb == 0 ? std::fabs(x - y) > 2e-5 * std::max({1.0, std::fabs(x), std::fabs(y)}) : wa != wb)
            return wa.append(" | ").append(wb);
    }
    return bs >> wb ? wb : "";
}

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

// Texture coordinates that single floats hold exactly, so that the brush comes back whole.
testing::Bytes texturedBrush() {
    std::vector<testing::BrushPolygonText> polygons{testing::brushSquare(0), testing::brushSquare(64, "Texture=Floor")};
    polygons[1].origin = {32, 0, 64};
    polygons[1].textureU = {2, 0, 0};
    const std::string text = testing::brushText(polygons);
    return {text.begin(), text.end()};
}

// Every file of a folder by name. An LWOB colour comes back as the nearest
// single float, so the numbers of Color requests are compared as floats.
std::map<std::string, std::string> outputs(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::ifstream in(e.path(), std::ios::binary);
        std::string text, line;
        while (std::getline(in, line)) {
            if (line.rfind("Color [", 0) == 0) {
                std::istringstream numbers(line.substr(7));
                line = "Color";
                for (double v; numbers >> v;) {
                    char digits[32];
                    line += ' ';
                    line.append(digits, std::to_chars(digits, digits + 32, static_cast<float>(v)).ptr);
                }
            }
            text += line + "\n";
        }
        files[e.path().filename().string()] = text;
    }
    return files;
}

// What assimp shows of the materials: their names, and the texture references.
std::pair<std::set<std::string>, std::string> assimpMaterials(const fs::path& file) {
    std::pair<std::set<std::string>, std::string> seen;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("assimp info '" + file.string() + "' 2>/dev/null").c_str(), "r"), pclose);
    char line[1024];
    bool refs = false;
    while (pipe && fgets(line, sizeof line, pipe.get())) {
        const std::string text = line;
        if (text.rfind("    '", 0) == 0 && text.find("(prop)") != std::string::npos) seen.first.insert(text);
        if (text.rfind("Texture Refs", 0) == 0 || text.rfind("Node hierarchy", 0) == 0) refs = text[0] == 'T';
        if (refs) seen.second += text;
    }
    return seen;
}

void convert(const std::vector<std::string>& args, const fs::path& work) {
    const auto run = testing::runProgram(args, work.string());
    ASSERT_FALSE(run.signaled) << "signal " << run.status;
    ASSERT_EQ(run.status, 0) << run.err;
}

// The source converted with the option straight, and the kept file middle (written with it) without:
// the same files, exactly or with numbers up to single-float rounding. Gives the straight ones.
std::map<std::string, std::string> sameOutputs(const fs::path& source, const std::string& option, const fs::path& middle,
                                               const std::string& format, const fs::path& work, bool exact) {
    std::map<std::string, std::string> routes[2];
    for (int via = 0; via < 2; ++via) {
        const fs::path dir = work / std::to_string(via);
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::vector<std::string> args{"--to=" + format, "--forceTextureResolution=true", "--destFileName=" + (dir / "out").string()};
        if (via) args.insert(args.end(), {"--scale=1", middle.string()});
        if (!via) args.insert(args.end(), {option.rfind("--scale", 0) == 0 ? option : "--scale=1", option, source.string()});
        convert(args, work);
        routes[via] = outputs(dir);
    }
    for (const auto& [name, text] : routes[0])
        EXPECT_EQ(exact ? std::string(text == routes[1][name] ? "" : "a difference") : firstDifference(text, routes[1][name]), "")
            << name;
    EXPECT_EQ(routes[0].size(), routes[1].size()) << format;
    return routes[0];
}

// Cages kept in plain LWO2, in RIB one SubdivisionMesh per surface, and a brush covering all faces.
void expectCagesKept(const fs::path& source, const std::string& rib, const std::string& brush, const fs::path& work) {
    double area = 0, brushArea = 0;
    const KindedFaces faces = kindedFaces(source, &area);
    convert({"--to=LWO2", "--destFileName=" + (work / "plain.lwo").string(), source.string()}, work);
    EXPECT_EQ(kindedFaces(work / "plain.lwo"), faces);
    std::multiset<std::pair<bool, Polygon>> expected, written;
    for (const auto& [kind, points] : faces) expected.insert({kind != "FACE", points});
    std::size_t cagesInSurface = 0;
    for (const auto& r : testing::scanRib(rib)) {
        if (r.name == "Surface") cagesInSurface = 0;
        const bool cage = r.name == "SubdivisionMesh";
        EXPECT_LE(cagesInSurface += cage, 1u);
        if (cage || r.name == "PointsGeneralPolygons")
            for (const auto& polygon : testing::ribPolygons(r)) written.insert({cage, keyOf(polygon)});
    }
    EXPECT_EQ(written, expected);
    for (const auto& polygon : testing::scanBrush(brush)) brushArea += testing::length(testing::newell(polygon.vertices)) / 2;
    EXPECT_NEAR(brushArea, area, 1e-4 * area);
}

// The placement objects are also moved by the options on the way: the 126
// textures of three axes, seven sizes (mirrored ones among them) and six turns
// (two at a pitch of +-90 degrees), and flat textures (a size of 0).
TEST(KeepSurfacesRoundTrip, RibAndBrushThroughLWO2AreTheSameAsStraight) {
    const fs::path work = fs::temp_directory_path() / ("morv3d-keep-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const Placements matrix{{0, 1, 2},
                            {{1, 1, 1}, {2, 3, 0.5}, {-1, 1, 1}, {1, -2, 1}, {1, 1, -3}, {-2, -1, 0.5}, {0.25, 4, -1}},
                            {{0, 0, 0}, {30, 0, 0}, {10, 20, 30}, {30, 90, 0}, {-45, -90, 60}, {120, 45, -150}}};
    std::vector<fs::path> sources = testing::lightWaveObjects();
    sources.push_back(fs::path(MORV3D_SOURCE_DIR) / "examples/sample.lwo");
    sources.push_back(fs::path(MORV3D_SOURCE_DIR) / "examples/sample_old.lwo");
    sources.push_back(testing::writeTempFile(uvObject(), "uv.lwo"));
    sources.push_back(testing::writeTempFile(texturedBrush(), "brush.t3d"));
    sources.push_back(testing::writeTempFile(cageObject(), "cages.lwo"));
    sources.push_back(testing::writeTempFile(placementObject(matrix), "matrix.lwo"));
    sources.push_back(testing::writeTempFile(placementObject({{0, 1, 2}, {{2, 3, 4}, {-1, 2, 0.5}}, {{0, 0, 0}, {30, 90, 0}}, true}), "flat.lwo"));
    const bool haveAssimp = testing::haveAssimp();
    for (const fs::path& source : sources) {
        const bool moved = source.filename() == "matrix.lwo" || source.filename() == "flat.lwo";
        const fs::path middle = work / "middle.lwo";
        for (const std::string& option : moved ? std::vector<std::string>{"--scale=2", "--scale=-1", "--coordTransformsLH=rx90",
                                                                         "--coordTransformsLH=ry-90 rz180"}
                                              : std::vector<std::string>{"--scale=1"}) {
            SCOPED_TRACE(option + " " + source.string());
            const auto kept = testing::runProgram({"--to=LWO2", "--keepSurfaces=true", "--forceTextureResolution=true", option,
                                                   "--destFileName=" + middle.string(), source.string()}, work.string());
            ASSERT_EQ(kept.status, 0) << kept.err;
            EXPECT_EQ(kept.out.find("Warning: The placement"), std::string::npos) << kept.out;
            // A texture without depth: the shader's depth is scaled with the
            // object straight, not at all through the file, and not used.
            const auto rib = option == "--scale=2" && source.filename() == "flat.lwo"
                                 ? std::map<std::string, std::string>{}
                                 : sameOutputs(source, option, middle, "RIB", work, !moved);
            const auto brush = sameOutputs(source, option, middle, "Unreal.T3D", work, !moved);
            if (source.filename() == "cages.lwo" || source.filename() == "Subdivision.lwo")
                expectCagesKept(source, rib.at("out"), brush.at("out"), work);
        }
        if (testing::formType(source) == "LWO2" && !moved) {
            // Everything the reader takes from an LWO2 object comes back: layers,
            // face kinds, UV map names, surfaces and textures with all their fields.
            std::ostringstream messages;
            EXPECT_TRUE(readLWO2Scene(source.string(), messages) == readLWO2Scene(middle.string(), messages)) << source;
        }
        if (!haveAssimp || source.extension() != ".lwo" || moved) continue;
        const auto [materials, refs] = assimpMaterials(source);
        if (materials.empty()) continue;  // assimp cannot read some LWOB objects
        const auto [written, writtenRefs] = assimpMaterials(middle);
        EXPECT_EQ(writtenRefs, refs);
        // assimp adds a "Default" material for patches, which the converter leaves out.
        for (const std::string& m : written) EXPECT_TRUE(materials.count(m)) << m;
    }
    fs::remove_all(work);
}

}  // namespace
}  // namespace morv
