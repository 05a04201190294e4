// Brushes converted as a user converts them: the lines the program prints, the
// scale it uses, what a damaged brush reports, and what an independent reader
// sees in the LWO2 object made from a brush.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <tuple>

#include <gtest/gtest.h>

#include "common/AssimpCounts.hpp"
#include "common/BrushFixtures.hpp"
#include "common/BrushScan.hpp"
#include "common/RunProgram.hpp"
#include "common/TestHelpers.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using testing::brushSquare;
using testing::brushText;
using testing::BrushPolygonText;

const std::string banner = "Morv3D Converter (0.4.9)\n\n";
const std::string handWritten =
    "Begin PolyList\n"
    "Begin Polygon Texture=Wall\nOrigin 0,0,0\nNormal 0,0,1\nTextureU 1,0,0\nTextureV 0,-1,0\n"
    "Vertex 0,0,0\nVertex 0,256,0\nVertex 256,256,0\nVertex 256,0,0\nEnd Polygon\n"
    "Begin Polygon\nOrigin 0,0,0\nNormal 0,0,1\nTextureU 1,0,0\nTextureV 0,-1,0\n"
    "Vertex 0,0,0\nVertex 9,9,9\nVertex 0,0,0\nEnd Polygon\n"
    "End PolyList\n";

class BrushReading : public testing::ScratchDirTest {
protected:
    void put(const std::string& name, const std::string& text) const {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    testing::ProgramResult run(const std::vector<std::string>& args) const {
        return testing::runProgram(args, dir.string());
    }
};

// What a conversion of hand.t3d prints after the reading line, with the scale.
std::string convertedLines(const std::string& scale, const std::string& writing) {
    return "Using object scale factor " + scale +
           "\n"
           "Using texture resolution 512x512 as the default resolution\n"
           "Converting imported data\n"
           "Could not open file Wall: No such file or directory\n"
           "Warning: Could not get resolution of the image file \"Wall\"\n" +
           writing;
}

TEST_F(BrushReading, ConversionsPrintTheirLinesAndBrushesKeepTheirSize) {
    put("hand.t3d", handWritten);
    const std::string reading =
        banner + "Reading Unreal T3D Brush file hand.t3d \n"
                 "Warning: Polygon 2 (line 12) has fewer than 3 different points and is left out\n";
    const std::string lwo2 = "Writing LightWave LWO2 (LightWave3D Object after [6]) file hand.lwo\n";
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"--to=LWO2", "hand.t3d"}, reading + convertedLines("1", lwo2)},
        {{"--to=LWO2", "--scale=2", "hand.t3d"}, reading + convertedLines("2", lwo2)},
        {{"--to=LWO2", "--scale=40", "hand.t3d"}, reading + convertedLines("40", lwo2)},
    };
    for (const auto& c : cases) {
        const auto r = run(c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, c.out);
    }
    // A brush is in Unreal units already: without --scale it is not made 40 times larger.
    const auto t3d = run({"--to=Unreal.T3D", "--destFileName=out.t3d", "hand.t3d"});
    EXPECT_EQ(t3d.status, 0) << t3d.err;
    EXPECT_EQ(t3d.out, reading + convertedLines("1", "Writing Unreal brush file out.t3d\n"));
    std::ifstream in(dir / "out.t3d", std::ios::binary);
    const auto written = testing::scanBrush({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].vertices, (std::vector<XYZ>{{0, 0, 0}, {0, 256, 0}, {256, 256, 0}, {256, 0, 0}}));
}

TEST_F(BrushReading, DamagedBrushesEndWithASyntaxErrorAndWriteNothing) {
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"Begin PolyList\nBegin Polygon\nNormal 0,0,1\n", "Origin expected"},
        {handWritten.substr(0, 120), "Unexpected end of file"},
        {"Begin PolyList\r\nEnd PolyList\r\nEnd PolyList\r\n", "End unexpected"},
    };
    for (const auto& c : cases) {
        put("bad.t3d", c.text);
        const auto r = run({"--to=LWO2", "bad.t3d"});
        EXPECT_FALSE(r.signaled);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, banner + "Reading Unreal T3D Brush file bad.t3d \n");
        EXPECT_EQ(r.err, "Syntax error: " + c.message +
                             "\nError: Could not read input file bad.t3d\n\n"
                             "The exception which caused this:\nSyntax error: " +
                             c.message + "\nunhandled exception Error\n");
        EXPECT_FALSE(fs::exists(dir / "bad.lwo"));
    }
}

// An independent reader finds the brush's polygons and corners in the object.
TEST_F(BrushReading, TheLwo2ObjectOfABrushHasItsPolygonsAndCorners) {
    BrushPolygonText triangle = brushSquare(10, "Texture=Pkg.Trim");
    triangle.vertices.pop_back();
    std::vector<BrushPolygonText> polygons{brushSquare(), triangle, brushSquare(20, "")};
    BrushPolygonText big = brushSquare(30);
    big.vertices.clear();
    for (int i = 0; i < 40; ++i) big.vertices.push_back({std::cos(i * 0.157) * 100, std::sin(i * 0.157) * 100, 30});
    polygons.push_back(big);
    put("b.t3d", brushText(polygons));
    put("empty.t3d", "Begin PolyList\r\nEnd PolyList\r\n");
    for (const auto& [input, faces, corners] :
         {std::tuple{"b.t3d", 4L, 4L + 3 + 4 + 40}, std::tuple{"empty.t3d", 0L, 0L}}) {
        const auto r = run({"--to=LWO2", "--destFileName=out.lwo", input});
        ASSERT_EQ(r.status, 0) << r.err;
        long vertices = 0, readFaces = 0;
        if (!testing::haveAssimp()) GTEST_SKIP() << "assimp is not installed";
        if (faces == 0) continue;  // assimp refuses an object without polygons
        ASSERT_TRUE(testing::assimpCounts(dir / "out.lwo", vertices, readFaces));
        EXPECT_EQ(readFaces, faces);
        EXPECT_EQ(vertices, corners);
    }
}

// Each polygon's placement reaches the renderer as per-corner coordinates
// read by a UV texture lookup.
TEST_F(BrushReading, ABrushAsRibHasItsTexturesAsUvTextures) {
    BrushPolygonText triangle = brushSquare(0, "Texture=Pkg.Grp.Wall");
    triangle.vertices.pop_back();
    put("room.t3d", brushText({triangle}));
    const auto r = run({"--to=RIB", "room.t3d"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream rib(dir / "room.rib"), shader(dir / "Pkg_Grp_Wall.sl");
    const std::string ribText{std::istreambuf_iterator<char>(rib), std::istreambuf_iterator<char>()};
    const std::string shaderText{std::istreambuf_iterator<char>(shader), std::istreambuf_iterator<char>()};
    EXPECT_NE(ribText.find("Declare \"s0\" \"facevarying float\"\nDeclare \"t0\" \"facevarying float\"\n"),
              std::string::npos)
        << ribText;
    // (x, y) shows pixel (x, -y): s = x / 512, t = 1 + y / 512.
    EXPECT_NE(ribText.find("\"s0\" [ 0.0 0.0 0.5] \"t0\" [ 1 1.5 1.5]"), std::string::npos) << ribText;
    EXPECT_NE(shaderText.find("UVTextureMap(textureName0, s0, t0)"), std::string::npos) << shaderText;
}

// Reading costs memory in proportion to the brush: a brush of 50,000 quads
// converts within four times its size (plus the program itself).
TEST_F(BrushReading, ABrushIsReadWithinASmallMultipleOfItsSize) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#else
    std::vector<BrushPolygonText> quads;
    for (int i = 0; i < 50000; ++i) {
        BrushPolygonText q = brushSquare(0, "Item=OUTSIDE Texture=Grid Link=" + std::to_string(i));
        for (XYZ& v : q.vertices) v = {v.x / 256 + i % 250, v.y / 256 + i / 250, 0};
        quads.push_back(std::move(q));
    }
    const std::string text = brushText(quads);
    put("grid.t3d", text);
    const std::uint64_t limit = 4 * text.size() + (std::uint64_t{64} << 20);
    const auto r = testing::runProgram({"--to=LWO2", "grid.t3d"}, testing::RunSetup{dir.string(), std::nullopt, limit});
    EXPECT_EQ(r.status, 0) << r.err;
    long vertices = 0, faces = 0;
    if (testing::haveAssimp() && testing::assimpCounts(dir / "grid.lwo", vertices, faces)) {
        EXPECT_EQ(faces, 50000);
    }
#endif
}

}  // namespace
}  // namespace morv
