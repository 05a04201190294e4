// The sample object in examples/ read, and converted by the built program.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "common/RibScanner.hpp"
#include "common/RunProgram.hpp"
#include "common/SceneGeometry.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "scene/CanonicalScene.hpp"
#include "support/Pictures.hpp"

namespace morv {
namespace {

const std::string examplesDir = std::string(MORV3D_SOURCE_DIR) + "/examples";
const std::string samplePath = examplesDir + "/sample.lwo";


MorvLValue readQuietly(const std::string& path) {
    std::ostringstream messages;
    MorvLValue scene = readLWO2Scene(path, messages);
    EXPECT_EQ(messages.str(), "") << path;
    return scene;
}

TEST(SampleObject, ImagesAreCheckerAndStripes) {
    EXPECT_EQ(probeImageFile(examplesDir + "/images/checker.bmp"), (std::pair<int, int>{64, 32}));
    EXPECT_EQ(probeImageFile(examplesDir + "/images/stripes.bmp"), (std::pair<int, int>{64, 64}));
}

TEST(SampleObject, ReadsBothLayersSurfacesAndTexture) {
    const MorvLValue scene = readQuietly(samplePath);
    const testing::Geometry g = testing::geometryOf(scene);
    EXPECT_EQ(g.points.size(), 8u + 5u);
    ASSERT_EQ(g.faces.size(), 6u + 4u);

    const MorvLValue surfaces = requireField(scene.fields(), "surfaces");
    std::map<std::string, int> facesPerSurface;
    for (std::int32_t s : g.surfaces)
        facesPerSurface[getStringField(surfaces.at(static_cast<std::size_t>(s)).fields(), "name", "")]++;
    EXPECT_EQ(facesPerSurface, (std::map<std::string, int>{{"Checker", 5}, {"Red", 5}}));

    std::map<std::string, MorvLValue> byName;
    for (const MorvLValue& s : surfaces.items()) byName[getStringField(s.fields(), "name", "")] = s;
    ASSERT_EQ(byName.size(), 2u);
    EXPECT_NE(getColorField(byName["Checker"].fields(), "color", {}),
              getColorField(byName["Red"].fields(), "color", {}));
    const MorvLValue textures = getListField(byName["Checker"].fields(), "textures", MorvLValue::List({}));
    ASSERT_EQ(textures.size(), 1u);
    const Fields texture = textures.at(0).fields();
    EXPECT_EQ(getStringField(texture, "projection", ""), "st");
    EXPECT_EQ(getStringField(texture, "textureChannel", ""), "color");
    EXPECT_EQ(forceGetIntegerField(texture, "image"), 0);
    const MorvLValue planar = getListField(byName["Red"].fields(), "textures", MorvLValue::List({}));
    ASSERT_EQ(planar.size(), 1u);
    EXPECT_EQ(getStringField(planar.at(0).fields(), "projection", ""), "planar");
    EXPECT_EQ(forceGetIntegerField(planar.at(0).fields(), "image"), 1);
    EXPECT_EQ(requireField(scene.fields(), "images").size(), 2u);
}

TEST(SampleObject, ConvertsToLWO2AndReadsBackTheSameGeometry) {
    const std::string out = ::testing::TempDir() + "sample_" + std::to_string(::getpid()) + ".lwo";
    const testing::ProgramResult r =
        testing::runProgram({"--to=LWO2", "--destFileName=" + out, "sample.lwo"}, examplesDir);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Using pixel resolution 64x32 for the image file "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Warning:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Writing LightWave LWO2 (LightWave3D Object after [6]) file " + out + "\n"),
              std::string::npos)
        << r.out;

    const testing::Geometry before = testing::geometryOf(readQuietly(samplePath));
    const MorvLValue written = readQuietly(out);
    std::filesystem::remove(out);
    const testing::Geometry after = testing::geometryOf(written);
    EXPECT_EQ(after.points, before.points);
    EXPECT_EQ(after.faces, before.faces);
    EXPECT_EQ(after.surfaces, std::vector<std::int32_t>(before.faces.size(), 0));
    EXPECT_EQ(requireField(written.fields(), "surfaces").size(), 1u);
}

std::string fileText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The README's example: the sample to RIB, with a planar and a UV texture.
TEST(SampleObject, ConvertsToRibWithAShaderPerSurface) {
    const std::filesystem::path dir = ::testing::TempDir() + "sample_rib_" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    const std::string rib = (dir / "sample.rib").string();
    const testing::ProgramResult r = testing::runProgram({"--destFileName=" + rib, "sample.lwo"}, examplesDir);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("Warning:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Writing RenderMan RIB file " + rib + "\nWriting RenderMan shader file Checker.sl\n"
                         "Writing RenderMan shader file Red.sl\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(fileText(dir / "Checker.sl").find("(UVTextureMap(textureName0, s0, t0))"), std::string::npos);
    EXPECT_NE(fileText(dir / "Red.sl").find("(PlanarTextureMap(textureName0, P, \"object\", xForm0))"), std::string::npos);
    std::vector<std::string> made;
    for (const auto& request : testing::scanRib(fileText(rib)))
        if (request.name == "MakeTexture") made.push_back(request.strings().at(1));
    EXPECT_EQ(made, (std::vector<std::string>{"images/checker.bmp.tex", "images/stripes.bmp.tex"}));

    // A texture extension of "tex" must not make the texture file the picture itself.
    const testing::ProgramResult tex =
        testing::runProgram({"--textureExtension=tex", "--destFileName=" + rib, "sample.lwo"}, examplesDir);
    ASSERT_EQ(tex.status, 0) << tex.err;
    EXPECT_NE(fileText(rib).find("MakeTexture \"images/checker.tex\" \"images/checker.tex.tex\""), std::string::npos);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace morv
