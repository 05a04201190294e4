// An object written as LWO2 with --keepSurfaces=true and read again must give
// the scene it came from: its RIB (with shaders) and its brush are the same as
// those converted straight from the source, for the real LightWave objects of
// assimp-testmodels, the generated samples, an object with several UV maps
// and per-polygon coordinates, and a textured brush. Assimp must see the
// source's materials and texture references in the written file.
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "common/AssimpCounts.hpp"
#include "common/BrushFixtures.hpp"
#include "common/LightWaveScan.hpp"
#include "common/LwoFixtures.hpp"
#include "common/RunProgram.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using testing::IffBuilder;

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

TEST(KeepSurfacesRoundTrip, RibAndBrushThroughLWO2AreTheSameAsStraight) {
    const fs::path work = fs::temp_directory_path() / ("morv3d-keep-" + std::to_string(::getpid()));
    fs::create_directories(work);
    std::vector<fs::path> sources = testing::lightWaveObjects();
    sources.push_back(fs::path(MORV3D_SOURCE_DIR) / "examples/sample.lwo");
    sources.push_back(fs::path(MORV3D_SOURCE_DIR) / "examples/sample_old.lwo");
    sources.push_back(testing::writeTempFile(uvObject(), "uv.lwo"));
    sources.push_back(testing::writeTempFile(texturedBrush(), "brush.t3d"));
    const bool haveAssimp = testing::haveAssimp();
    for (const fs::path& source : sources) {
        SCOPED_TRACE(source.string());
        const fs::path middle = work / "middle.lwo";
        convert({"--to=LWO2", "--keepSurfaces=true", "--destFileName=" + middle.string(), source.string()}, work);
        for (const std::string format : {"RIB", "Unreal.T3D"}) {
            std::map<std::string, std::string> routes[2];
            for (int via = 0; via < 2; ++via) {
                const fs::path dir = work / std::to_string(via);
                fs::remove_all(dir);
                fs::create_directories(dir);
                convert({"--to=" + format, "--scale=1", "--forceTextureResolution=true",
                         "--destFileName=" + (dir / "out").string(), via ? middle.string() : source.string()}, work);
                routes[via] = outputs(dir);
            }
            EXPECT_EQ(routes[0], routes[1]) << format;
        }
        if (!haveAssimp || source.extension() != ".lwo") continue;
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
