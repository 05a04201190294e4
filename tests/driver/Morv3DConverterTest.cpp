// The conversion pipeline: job names, the lines it prints around a conversion,
// how each stage's failure ends the run, and what modifyCanonical does to a
// scene. End-to-end cases run the built program on objects made here.
#include "driver/Morv3DConverter.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "common/BrushFixtures.hpp"
#include "common/RunProgram.hpp"
#include "common/TestHelpers.hpp"
#include "exporters/lightwave/MorvLToLWO2.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/MorvLCoordTransforms.hpp"
#include "support/GetCs.hpp"
#include "support/NeutralFileName.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;

TEST(Morv3DConverter, DestinationNamesReplaceTheLastExtension) {
    const struct {
        const char* input;
        const char* output;
    } cases[] = {
        {"obj.lwo", "obj.rib"},       {"dir/a.b.lwo", "dir/a.b.rib"}, {".hidden", ".hidden.rib"},
        {"dir/model", "dir/model.rib"}, {"dir.d/model", "dir.d/model.rib"}, {"name.", "name..rib"},
        {"a/.b", "a/.b.rib"},         {"", ".rib"},
    };
    for (const auto& c : cases) EXPECT_EQ(destinationName(c.input, "rib"), c.output) << c.input;
}

TEST(Morv3DConverter, EffectiveScaleDependsOnTheFormatUnlessGiven) {
    ConversionOptions options;
    options.to = "Unreal.T3D";
    EXPECT_EQ(effectiveScale(options), 40.0);
    options.to = "LWO2";
    EXPECT_EQ(effectiveScale(options), 1.0);
    options.scale = 2.5;
    EXPECT_EQ(effectiveScale(options), 2.5);
}

class PipelineTest : public testing::ScratchDirTest {
protected:
    // A unit triangle at (1,0,0), (0,1,0), (0,0,1), with one image clip when imageName is given.
    std::string writeTriangle(const std::string& name, const std::string& imageName = "") {
        MeshBuilder b;
        b.addVertex({1, 0, 0});
        b.addVertex({0, 1, 0});
        b.addVertex({0, 0, 1});
        const std::uint32_t face[] = {0, 1, 2};
        b.addFace(face, MorvLValue::Int(0));
        const MorvLValue scene = makeScene(std::move(b).build(), {MorvLValue::Record({{"name", MorvLValue::String("s")}})}, {});
        const std::string path = (dir / name).string();
        MorvLToLWO2::translate(scene, path);
        if (!imageName.empty()) addClip(path, imageName);
        return path;
    }

    // Appends a CLIP chunk with a STIL name to an LWO2 file and fixes the FORM length.
    static void addClip(const std::string& path, const std::string& imageName) {
        std::string bytes;
        {
            std::ifstream in(path, std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        std::string stil = imageName;
        stil.push_back('\0');
        if (stil.size() % 2) stil.push_back('\0');
        auto be = [](std::uint32_t v, int n) {
            std::string s;
            for (int i = n - 1; i >= 0; --i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
            return s;
        };
        const std::string body = be(1, 4) + "STIL" + be(static_cast<std::uint32_t>(stil.size()), 2) + stil;
        bytes += "CLIP" + be(static_cast<std::uint32_t>(body.size()), 4) + body;
        bytes.replace(4, 4, be(static_cast<std::uint32_t>(bytes.size() - 8), 4));
        std::ofstream(path, std::ios::binary) << bytes;
    }

    static std::vector<XYZ> pointsOf(const std::string& path) {
        std::ostringstream messages;
        std::vector<XYZ> points;
        const MorvLValue scene = readLWO2Scene(path, messages);
        forEachVertexPoint(requireField(scene.fields(), "mesh"), [&](const XYZ& p) { points.push_back(p); });
        return points;
    }
};

const std::string banner = "Morv3D Converter (0.4.9)\n\n";

TEST_F(PipelineTest, ConvertsAndPrintsTheLinesOfEachStage) {
    const std::string in = writeTriangle("tri.lwo");
    const auto r = testing::runProgram({"--to=LWO2", "tri.lwo"}, dir.string());
    ASSERT_EQ(r.status, 1) << "the default destination is the input itself";
    const auto ok = testing::runProgram({"--to=LWO2", "--destFileName=out.lwo", "tri.lwo"}, dir.string());
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.err, "");
    EXPECT_EQ(ok.out, banner +
                          "Reading IFF LWO2 (LightWave3D Object after [6]) file tri.lwo \n"
                          "Using object scale factor 1\n"
                          "Using texture resolution 512x512 as the default resolution\n"
                          "Converting imported data\n"
                          "Writing LightWave LWO2 (LightWave3D Object after [6]) file out.lwo\n");
    EXPECT_EQ(pointsOf((dir / "out.lwo").string()), pointsOf(in));
}

TEST_F(PipelineTest, WritingOverTheInputStopsBeforeAnythingIsWritten) {
    const std::string in = writeTriangle("model.lwo");
    const auto sizeBefore = fs::file_size(in);
    fs::create_hard_link(in, dir / "link.lwo");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--to=LWO2", "model.lwo"},
                                                 {"--to=LWO2", "--destFileName=./model.lwo", "model.lwo"},
                                                 {"--to=LWO2", "--destFileName=link.lwo", "model.lwo"}}) {
        const auto r = testing::runProgram(args, dir.string());
        EXPECT_FALSE(r.signaled);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, banner);
        EXPECT_NE(r.err.find("Error: The destination file "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--destFileName"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - 26), "unhandled exception Error\n");
    }
    EXPECT_EQ(fs::file_size(in), sizeBefore);
}

TEST_F(PipelineTest, AMissingSecondInputEndsTheRunAfterTheFirstIsWritten) {
    writeTriangle("a.obj");
    const auto r = testing::runProgram({"--to=LWO2", "a.obj", "missing.obj"}, dir.string());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(fs::exists(dir / "a.lwo"));
    EXPECT_EQ(r.err, "Could not open file missing.obj: No such file or directory\nunhandled exception Io\n");
}

TEST_F(PipelineTest, EachFailureEndsWithItsKind) {
    std::ofstream(dir / "text.lwo") << "just some text\n";
    fs::create_directory(dir / "folder.lwo");
    std::ofstream(dir / "cut.lwo", std::ios::binary) << std::string("FORM\0\0\0\x0eLWO2PNTS\0\0", 18);
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--to=LWO2", "--destFileName=x.lwo", "text.lwo"},
         "Error: The file text.lwo is not a LightWave object (LWOB or LWO2) or an Unreal brush\n"
         "unhandled exception NoImporterFound\n"},
        {{"--to=LWO2", "--destFileName=x.lwo", "folder.lwo"}, "Could not open file folder.lwo: Is a directory\nunhandled exception Io\n"},
        {{"--to=LWO2", "--destFileName=x.lwo", "cut.lwo"},
         "Syntax error: Error in GetCs.getSWord32 in readChunk length\n"
         "The error which caused this:\nCould not read 4 bytes as raw word32!\n"
         "Error: Could not read input file cut.lwo\n\n"
         "The exception which caused this:\nSyntax error: Error in GetCs.getSWord32 in readChunk length\n"
         "The error which caused this:\nCould not read 4 bytes as raw word32!\n"
         "unhandled exception Error\n"},
    };
    for (const auto& c : cases) {
        const auto r = testing::runProgram(c.args, dir.string());
        EXPECT_FALSE(r.signaled);
        EXPECT_EQ(r.status, 1) << c.args.back();
        EXPECT_EQ(r.err, c.err) << c.args.back();
        EXPECT_FALSE(fs::exists(dir / "x.lwo"));
    }
}

TEST_F(PipelineTest, SettingsLinesFollowTheOptions) {
    writeTriangle("t.lwo");
    auto r = testing::runProgram({"--to=Unreal.T3D", "t.lwo"}, dir.string());
    EXPECT_NE(r.out.find("Using object scale factor 40\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Writing Unreal brush file t.t3d\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 0) << r.err;
    r = testing::runProgram({"--to=LWO2", "--textureWidth=0", "--textureHeight=64", "--destFileName=o.lwo", "t.lwo"},
                            dir.string());
    EXPECT_NE(r.out.find("Warning: Texture width may not be 0\n"
                         "Using texture resolution 512x64 as the default resolution\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.status, 0);
}

TEST_F(PipelineTest, RotationAndScaleMoveTheWrittenPointsExactly) {
    writeTriangle("t.lwo");
    auto r = testing::runProgram({"--to=LWO2", "--coordTransformsLH=rz90", "--destFileName=r.lwo", "t.lwo"},
                                 dir.string());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pointsOf((dir / "r.lwo").string()), (std::vector<XYZ>{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}));
    r = testing::runProgram({"--to=LWO2", "--scale=2", "--destFileName=s.lwo", "t.lwo"}, dir.string());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pointsOf((dir / "s.lwo").string()), (std::vector<XYZ>{{2, 0, 0}, {0, 2, 0}, {0, 0, 2}}));
}

TEST_F(PipelineTest, MissingImagesWarnAndTheConversionGoesOn) {
    writeTriangle("t.lwo", "textures/gone.bmp");
    auto r = testing::runProgram({"--to=LWO2", "--destFileName=o.lwo", "t.lwo"}, dir.string());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Warning: Could not get resolution of the image file \"textures/gone.bmp\"\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(fs::exists(dir / "o.lwo"));
    r = testing::runProgram({"--to=LWO2", "--forceTextureResolution=true", "--destFileName=o.lwo", "t.lwo"},
                            dir.string());
    EXPECT_EQ(r.out.find("Warning"), std::string::npos) << r.out;
}

// A file is mapped and the brush reader hands back the pages it has parsed,
// and gives its columns room after the first few megabytes; standard input is
// read into memory. Both must make the same object, here a brush of several
// megabytes with shared points, two textures and a few polygons left out.
TEST_F(PipelineTest, ABigBrushConvertsTheSameFromAFileAsFromAPipe) {
    std::vector<testing::BrushPolygonText> polygons;
    constexpr int side = 110;
    for (int i = 0; i < side * side; ++i) {
        const double x = 8.0 * (i % side), y = 8.0 * (i / side);
        testing::BrushPolygonText p;
        p.attributes = i % 3 ? "Texture=Pkg.Wall Link=0" : "Texture=Pkg.Floor";
        p.origin = {x, y, 0};
        p.vertices = {{x, y, 0}, {x, y + 8, 0}, {x + 8, y + 8, 0}, {x + 8, y, 0}};
        if (i % 997 == 5) p.vertices = {{x, y, 0}, {x, y + 4, 0}, {x, y + 8, 0}};  // no area
        polygons.push_back(p);
    }
    const std::string text = testing::brushText(polygons);
    ASSERT_GT(text.size(), std::size_t{5} << 20);
    std::ofstream(dir / "big.t3d", std::ios::binary) << text;

    const auto fromFile = testing::runProgram({"--to=LWO2", "--destFileName=a.lwo", "big.t3d"}, dir.string());
    const auto fromPipe = testing::runProgram({"--to=LWO2", "--destFileName=b.lwo", "/dev/stdin"},
                                              testing::RunSetup{dir.string(), text, 0});
    ASSERT_EQ(fromFile.status, 0) << fromFile.err;
    ASSERT_EQ(fromPipe.status, 0) << fromPipe.err;
    const auto bytesOf = [&](const char* name) { return readWholeFile((dir / name).string()); };
    EXPECT_EQ(bytesOf("a.lwo"), bytesOf("b.lwo"));
    const auto warnings = [](const std::string& out) {
        const std::size_t first = out.find("Warning");
        return out.substr(first, out.find("Using object") - first);
    };
    EXPECT_EQ(warnings(fromFile.out), warnings(fromPipe.out));
    EXPECT_NE(fromFile.out.find("Warning: Polygon 6 (line 52) has no area"), std::string::npos) << fromFile.out;
    std::ostringstream messages;
    const MorvLValue scene = readLWO2Scene((dir / "a.lwo").string(), messages);
    const MeshView mesh(requireField(scene.fields(), "mesh"));
    EXPECT_EQ(mesh.faceCount(), std::size_t{side * side - 13});
    EXPECT_EQ(mesh.vertexCount(), std::size_t{(side + 1) * (side + 1)});
}

TEST(ModifyCanonical, RewritesImageNamesAndGivesEveryImageAResolution) {
    MeshBuilder b;
    b.addVertex({1, 0, 0});
    const MorvLValue image = MorvLValue::Record({{"fileName", anyFileNameToMorvLNeutral("textures/wood.bmp")}});
    const MorvLValue scene = makeScene(std::move(b).build(), {}, {image});
    ConversionOptions options;
    options.to = "LWO2";
    options.forceTextureResolution = true;
    options.fromTextureRoot = "textures";
    options.textureExtension = "tga";
    options.toTextureRoot = "C:\\maps";
    options.toOSType = "Windows";
    options.coordTransformsLH = parseCoordTransforms("rz90");
    std::ostringstream out;
    const MorvLValue modified = modifyCanonical(scene, options, {256, 128}, out);
    EXPECT_EQ(out.str(), "");
    const Fields img = requireField(modified.fields(), "images").at(0).fields();
    EXPECT_EQ(neutralToPlatform("Windows", requireField(img, "fileName")), "C:\\maps\\wood.tga");
    const Fields res = getRecordField(img, "resolution");
    EXPECT_EQ(forceGetRealField(res, "w"), 256.0);
    EXPECT_EQ(forceGetRealField(res, "h"), 128.0);
    std::vector<XYZ> points;
    forEachVertexPoint(requireField(modified.fields(), "mesh"), [&](const XYZ& p) { points.push_back(p); });
    EXPECT_EQ(points, (std::vector<XYZ>{{0, 1, 0}}));
    EXPECT_THROW_MSG(modifyCanonical(MorvLValue::List({}), options, {1, 1}, out), Error,
                     "Internal error: Expected RECORD type not found in Morv3DConverter.modifyCanonical!\n");
}

}  // namespace
}  // namespace morv
