// glTF end to end: the real objects of assimp-testmodels, the examples, a brush
// and our own objects give triangles with area covering the brush pieces, facing
// outward where closed, read alike by Assimp and passed by the Khronos validator;
// coordinates are what the RIB shader looks up; pictures arrive pixel for pixel.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "base/Excn.hpp"
#include "common/AssimpCounts.hpp"
#include "common/BrushFixtures.hpp"
#include "common/BrushScan.hpp"
#include "common/GlbReader.hpp"
#include "common/LightWaveScan.hpp"
#include "common/LwoFixtures.hpp"
#include "common/PictureFixtures.hpp"
#include "common/RibScanner.hpp"
#include "common/RunProgram.hpp"
#include "scene/Vector.hpp"
#include "support/PNGEncoder.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using testing::IffBuilder;

std::string readText(const fs::path& p) { return {std::istreambuf_iterator<char>(std::ifstream(p, std::ios::binary).rdbuf()), {}}; }
template <class Bytes>
void writeFile(const fs::path& p, const Bytes& bytes) { std::ofstream(p, std::ios::binary) << std::string(bytes.begin(), bytes.end()); }

std::string run(const std::vector<std::string>& args, const fs::path& dir) {
    const auto result = testing::runProgram(args, dir.string());
    EXPECT_TRUE(result.status == 0 && !result.signaled) << result.out << result.err;
    return result.out;
}

// Six quads facing outward, UV map "uv" (one corner its own), a colour texture of clip "picture".
testing::Bytes cube(std::uint16_t projection, std::uint16_t axis, XYZ turn = {}) {
    std::vector<XYZ> points;
    std::vector<testing::UvEntry> uvs;
    for (std::uint32_t i = 0; i < 8; ++i) {
        points.push_back({0.25 + 1.5 * (i & 1), -0.5 + 1.25 * (i >> 1 & 1), 0.75 + 2 * (i >> 2 & 1)});
        uvs.push_back({i, 0, {0.1 + 0.5 * (i & 1), 0.7 * (i >> 1 & 1) + 0.2 * (i >> 2)}});
    }
    IffBuilder c, tmap, block;
    c.chunk("TAGS", testing::lwo2Tags({"Box"})).chunk("LAYR", testing::lwo2Layer(0, "l")).chunk("PNTS", testing::lwo2Points(points));
    c.chunk("VMAP", testing::lwo2VertexMap("TXUV", 2, "uv", uvs));
    c.chunk("POLS", testing::lwo2Polygons("FACE", {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 4, 6, 2}, {1, 3, 7, 5}, {0, 1, 5, 4}, {2, 6, 7, 3}}));
    c.chunk("PTAG", testing::lwo2PolygonTags("SURF", {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}}));
    c.chunk("VMAD", testing::lwo2PolygonVertexMap("TXUV", 2, "uv", {{0, 0, {0.9, 0.8}}})).chunk("CLIP", testing::lwo2StillClip(1, "picture"));
    tmap.sub("CNTR", IffBuilder().vec(0.5, -0.25, 1).vx(0)).sub("SIZE", IffBuilder().vec(2, 1.5, 3).vx(0)).sub("ROTA", IffBuilder().vec(turn.x, turn.y, turn.z).vx(0));
    block.sub("IMAP", IffBuilder().str("\x80").sub("CHAN", IffBuilder().id("COLR"))).sub("TMAP", tmap).sub("PROJ", IffBuilder().u2(projection));
    block.sub("AXIS", IffBuilder().u2(axis)).sub("IMAG", IffBuilder().vx(1)).sub("VMAP", IffBuilder().str("uv"));
    return testing::iffForm("LWO2", c.chunk("SURF", testing::lwo2Surface("Box", "", IffBuilder().sub("BLOK", block))));
}

// n x n quads (more vertices than 16-bit indices reach), or only a point for n = 0.
testing::Bytes grid(std::uint32_t n) {
    std::vector<XYZ> points{{1, 2, 3}};
    std::vector<std::vector<std::uint32_t>> quads;
    for (std::uint32_t i = 0; i < (n + 1) * (n + 1) && n > 0; ++i) points.push_back({double(i % (n + 1)), double(i / (n + 1)), 0});
    for (std::uint32_t i = 1; i < n * (n + 1); ++i) i % (n + 1) ? quads.push_back({i, i + n + 1, i + n + 2, i + 1}) : void();
    IffBuilder c;
    c.chunk("LAYR", testing::lwo2Layer(0, "l")).chunk("PNTS", testing::lwo2Points(points));
    return testing::iffForm("LWO2", quads.empty() ? c : c.chunk("POLS", testing::lwo2Polygons("FACE", quads)));
}

struct Converted { fs::path input, glb; double brushArea; bool cages; };
const fs::path work = fs::temp_directory_path() / ("morv3d-gltf-" + std::to_string(::getpid()));
const struct RemoveWork { ~RemoveWork() { fs::remove_all(work); } } removeWork;

// Every input converted once, for the tests that follow.
const std::vector<Converted>& converted() {
    static const std::vector<Converted> files = [] {
        fs::create_directories(work);
        std::vector<fs::path> inputs = testing::lightWaveObjects();
        for (const char* example : {"sample.lwo", "sample_old.lwo"}) inputs.push_back(fs::path(MORV3D_SOURCE_DIR) / "examples" / example);
        writeFile(work / "brush.t3d", testing::brushText({testing::brushSquare(0), testing::brushSquare(64, "Texture=Floor")}));
        writeFile(work / "cube.lwo", cube(0, 2));
        writeFile(work / "grid.lwo", grid(260));
        writeFile(work / "empty.lwo", grid(0));
        for (const char* ours : {"brush.t3d", "cube.lwo", "grid.lwo", "empty.lwo"}) inputs.push_back(work / ours);
        std::vector<Converted> out;
        for (const fs::path& input : inputs) {
            std::vector<std::string> args;
            if (input.filename().string().starts_with("earth_"))  // pictures named on the author's machine
                args = {"--fromTextureRoot=Q:ASSIMP/coordsys/test/models", "--toTextureRoot=/usr/share/assimp/models"};
            const fs::path glb = work / (std::to_string(out.size()) + "-" + input.filename().string() + ".glb");
            args.insert(args.end(), {"--to=glTF", "--destFileName=" + glb.string(), input.string()});
            run(args, input.parent_path());  // relative picture names are found beside the object
            args.insert(args.end() - 1, {"--to=Unreal.T3D", "--scale=1", "--destFileName=" + (work / "out.t3d").string()});
            run(args, input.parent_path());
            double area = 0;
            for (const auto& polygon : testing::scanBrush(readText(work / "out.t3d"))) area += length(testing::newell(polygon.vertices)) / 2;
            const auto kinds = testing::formType(input).empty() ? std::vector<std::string>{} : testing::scanGeometry(input).kinds;
            out.push_back({input, glb, area, std::count(kinds.begin(), kinds.end(), "FACE") != static_cast<long>(kinds.size())});
        }
        return out;
    }();
    return files;
}

TEST(GltfFiles, TrianglesHaveAreaCoverTheBrushPiecesFaceOutwardAndAssimpReadsThemBack) {
    for (const Converted& f : converted()) {
        SCOPED_TRACE(f.input.string());
        const testing::Glb glb = testing::readGlb(f.glb);
        double area = 0, volume = 0;
        long vertices = 0, triangles = 0, assimpVertices = 0, assimpFaces = 0;
        std::map<std::pair<std::array<float, 3>, std::array<float, 3>>, int> edges;  // directed, by position
        for (const testing::GlbPrimitive& p : glb.primitives) {
            vertices += static_cast<long>(p.positions.size());
            for (std::size_t t = 0; t + 2 < p.indices.size(); t += 3, ++triangles) {
                std::array<XYZ, 3> c;
                for (int i = 0; i < 3; ++i) {
                    const auto& q = p.positions.at(p.indices[t + i][0]);
                    c[i] = {q[0], q[1], q[2]};
                    ++edges[{q, p.positions.at(p.indices[t + (i + 1) % 3][0])}];
                }
                const XYZ n = cross(c[1] - c[0], c[2] - c[0]);
                EXPECT_GT(length(n), 0) << "triangle " << t / 3 << " has no area";
                area += length(n) / 2;
                volume += dot(c[0], n);
            }
        }
        if (!f.cages) {  // a refined cage lies within its brush
            EXPECT_NEAR(area, f.brushArea, 1e-4 * f.brushArea);
        }
        // Closed: every edge met once each way. Then the object must face outward.
        const bool closed = !edges.empty() && std::all_of(edges.begin(), edges.end(), [&](const auto& e) {
            return e.second == 1 && edges.count({e.first.second, e.first.first}) && edges.at({e.first.second, e.first.first}) == 1;
        });
        EXPECT_TRUE(!closed || volume > 0) << "a closed object facing inward";
        if (triangles > 0 && testing::haveAssimp()) {
            ASSERT_TRUE(testing::assimpCounts(f.glb, assimpVertices, assimpFaces));
            EXPECT_EQ(std::pair(assimpVertices, assimpFaces), std::pair(vertices, triangles));
        }
    }
}

TEST(GltfFiles, TheKhronosValidatorFindsNoFault) {
    const fs::path validator = fs::path(MORV3D_SOURCE_DIR) / "tests" / "validator";
    if (std::system("command -v node >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "node is not installed: the glTF validator does not run";
    ASSERT_TRUE(fs::exists(validator / "node_modules" / "gltf-validator"))
        << "the glTF validator is not installed: configure again with npm at hand, or run npm ci in "
        << validator.string();
    std::string command = "node '" + (validator / "validate.js").string() + "'", report;
    for (const Converted& f : converted()) command += " '" + f.glb.string() + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    for (char line[4096]; pipe && fgets(line, sizeof line, pipe.get());) report += line;
    EXPECT_EQ(report, std::to_string(converted().size()) + " files without fault\n");
}

TEST(GltfPlacements, PlanarAndUvCoordinatesAreWhatTheRibShaderLooksUpAtEveryCorner) {
    const struct {
        const char* name;
        std::uint16_t projection, axis;
        XYZ turn;
        std::vector<std::string> options;
    } cases[] = {
        {"planar along z", 0, 2, {}, {}},
        {"planar along x, turned", 0, 0, {0.3, -0.2, 0.5}, {}},
        {"planar along y, turned, object moved", 0, 1, {1.0, 0.4, -0.7}, {"--coordTransformsLH=ry 30 rx -90", "--scale=2"}},
        {"planar along z, object turned", 0, 2, {}, {"--coordTransformsLH=rz 45"}},
        {"UV map with a per-polygon corner", 5, 2, {}, {}},
        {"UV map, object moved", 5, 2, {}, {"--coordTransformsLH=rx 90 ry 10", "--scale=3"}},
    };
    const fs::path dir = work / "placement";
    fs::create_directories(dir);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir / "Box.sl");  // a shader of another case is never replaced
        writeFile(dir / "box.lwo", cube(c.projection, c.axis, c.turn));
        std::vector<std::string> args = c.options;
        args.push_back("box.lwo");
        run(args, dir);
        args.insert(args.begin(), "--to=glTF");
        run(args, dir);
        const auto requests = testing::scanRib(readText(dir / "box.rib"));
        const auto mesh = std::find_if(requests.begin(), requests.end(), [](const auto& r) { return r.name == "PointsGeneralPolygons"; });
        ASSERT_NE(mesh, requests.end());
        const auto points = mesh->parameter("P")->numbers, corners = mesh->arguments[2].numbers;
        const auto s = mesh->parameter("s0").value_or(testing::RibArgument{}).numbers, t = mesh->parameter("t0").value_or(testing::RibArgument{}).numbers;
        const std::string shader = readText(dir / "Box.sl");  // its matrix multiplies row vectors
        std::istringstream matrix(shader.substr(std::min(shader.size(), shader.find("xForm0 = (") + 10)));
        std::vector<double> m(16);
        for (double& v : m) (matrix >> v).ignore(1);
        const testing::Glb glb = testing::readGlb(dir / "box.glb");
        const testing::GlbPrimitive& p = glb.primitives.at(0);
        for (const auto [index] : p.indices) {
            const XYZ q{p.positions[index][0], p.positions[index][1], -p.positions[index][2]};  // in LightWave's axes
            const auto [u, v] = p.uvs.at(index);
            if (c.projection == 0) {
                EXPECT_NEAR(u, q.x * m[0] + q.y * m[4] + q.z * m[8] + m[12], 1e-5);
                EXPECT_NEAR(v, 1 - (q.x * m[1] + q.y * m[5] + q.z * m[9] + m[13]), 1e-5);
                continue;
            }
            bool found = false;  // a RIB corner at this point with these coordinates (per corner or per point)
            for (std::size_t k = 0; k < corners.size() && !found; ++k) {
                const auto at = static_cast<std::size_t>(corners[k]), st = s.size() == corners.size() ? k : at;
                found = length(XYZ{points[3 * at], points[3 * at + 1], points[3 * at + 2]} - q) < 1e-5 &&
                        std::fabs(s[st] - u) < 1e-6 && std::fabs(1 - t[st] - v) < 1e-6;
            }
            EXPECT_TRUE(found) << "corner at " << q.x << " " << q.y << " " << q.z << " with " << u << " " << v;
        }
    }
}

constexpr std::uint32_t width = 7, height = 3;  // pictures with runs of two equal pixels
using Colour = std::array<std::uint8_t, 4>;
Colour paletteColour(std::uint32_t i) { return {std::uint8_t(i * 37 + 11), std::uint8_t(i * 91 + 5), std::uint8_t(255 - i * 23), 255}; }
std::uint32_t indexAt(std::uint32_t x, std::uint32_t y, std::uint32_t entries) { return (x / 2 + 3 * y) % entries; }
Colour colourAt(std::uint32_t x, std::uint32_t y) {
    const Colour c = paletteColour(x / 2 + 3 * y);
    return {c[0], c[1], c[2], std::uint8_t(x * 40 + y)};
}
std::string bgra(const Colour& c, std::uint32_t bytes) { return std::string{char(c[2]), char(c[1]), char(c[0]), char(c[3])}.substr(0, bytes); }
std::string le(std::uint32_t v, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += char(i < 4 ? v >> 8 * i : 0);
    return out;
}

// 1, 4 or 8 bits through a palette (RLE when rle), 24, or 32 (alpha: masks in a 108-byte header).
std::string bmp(std::uint32_t bits, bool rle = false, bool alpha = false, bool topDown = false) {
    const std::uint32_t entries = bits <= 8 ? 1u << bits : 0;
    std::string palette, data;
    for (std::uint32_t i = 0; i < entries; ++i) palette += bgra(paletteColour(i), 3) + '\0';
    for (std::uint32_t r = 0; r < height; ++r) {
        const std::uint32_t y = topDown ? r : height - 1 - r;
        const auto i = [&](std::uint32_t x) { return indexAt(x, y, entries); };
        std::string row((width * bits + 31) / 32 * 4, '\0');
        for (std::uint32_t x = 0; x < width; ++x)
            if (bits <= 8) row[x * bits / 8] |= char(i(x) << (8 - bits - x * bits % 8));
            else row.replace(x * bits / 8, bits / 8, bgra(colourAt(x, y), bits / 8));
        if (rle) {  // three literal pixels, runs of the rest, end of the row
            row = bits == 8 ? std::string{0, 3, char(i(0)), char(i(1)), char(i(2)), 0} : std::string{0, 3, char(i(0) << 4 | i(1)), char(i(2) << 4)};
            for (std::uint32_t x = 3, count; x < width; x += count) {
                count = x + 1 < width && i(x + 1) == i(x) ? 2 : 1;
                row += std::string{char(count), char(bits == 8 ? i(x) : i(x) << 4 | i(x))};
            }
            row += std::string(2, '\0');
        }
        data += row;
    }
    if (rle) data += std::string("\0\1", 2);
    const std::uint32_t info = alpha ? 108 : 40, offset = 14 + info + std::uint32_t(palette.size());
    std::string header = "BM" + le(offset + std::uint32_t(data.size()), 4) + le(0, 4) + le(offset, 4) + le(info, 4) + le(width, 4);
    header += le(topDown ? -height : height, 4) + le(1, 2) + le(bits, 2) + le(alpha ? 3 : rle ? (bits == 8 ? 1 : 2) : 0, 4) + le(0, 20);
    if (alpha) header += le(0xFF0000, 4) + le(0xFF00, 4) + le(0xFF, 4) + le(0xFF000000, 4) + std::string(52, '\0');
    return header + palette + data;
}

// Types 1, 9 (indices), 2, 10 (24 or 32 bits with alpha), 3, 11 (grey); from the top with 0x20, right 0x10.
std::string tga(std::uint32_t type, std::uint32_t bits, std::uint32_t descriptor) {
    const bool mapped = (type & 7) == 1;
    std::string out = std::string{2, char(mapped), char(type)} + le(0, 2) + le(mapped ? 256 : 0, 2) + char(mapped ? 24 : 0);
    out += le(0, 4) + le(width, 2) + le(height, 2) + char(bits) + char(descriptor | (bits == 32 ? 8 : 0)) + "id";
    for (std::uint32_t i = 0; i < (mapped ? 256u : 0u); ++i) out += bgra(paletteColour(i), 3);
    std::vector<std::string> pixels;
    for (std::uint32_t k = 0; k < width * height; ++k) {
        const std::uint32_t y = descriptor & 0x20 ? k / width : height - 1 - k / width, x = descriptor & 0x10 ? width - 1 - k % width : k % width;
        pixels.push_back(mapped ? std::string(1, char(indexAt(x, y, 256))) : (type & 7) == 3 ? std::string(1, char(colourAt(x, y)[0])) : bgra(colourAt(x, y), bits / 8));
    }
    for (std::size_t i = 0, count; i < pixels.size(); i += count) {  // runs of equal pixels (across rows too), or single raw ones
        for (count = 1; type >= 9 && i + count < pixels.size() && pixels[i + count] == pixels[i];) ++count;
        out += (type < 9 ? "" : std::string(1, char(count > 1 ? 0x80 | (count - 1) : 0))) + pixels[i];
    }
    return out;
}

TEST(GltfPictures, EveryPictureKindIsEmbeddedPixelForPixel) {
    const struct {
        const char* name;
        std::string bytes;
        std::uint32_t channels;     // of the pixels expected; 0: embedded as it is
        std::uint32_t entries = 0;  // through a palette of this many colours
    } cases[] = {
        {"BMP 1 bit", bmp(1), 3, 2}, {"BMP 4 bits", bmp(4), 3, 16}, {"BMP 8 bits", bmp(8), 3, 256}, {"BMP RLE4", bmp(4, true), 3, 16},
        {"BMP RLE8", bmp(8, true), 3, 256}, {"BMP 24 bits", bmp(24), 3}, {"BMP 24 bits top down", bmp(24, false, false, true), 3},
        {"BMP 32 bits", bmp(32), 3}, {"BMP 32 bits with alpha", bmp(32, false, true), 4}, {"Targa 1", tga(1, 8, 0), 3, 256},
        {"Targa 9 from the top", tga(9, 8, 0x20), 3, 256}, {"Targa 2", tga(2, 24, 0), 3}, {"Targa 3", tga(3, 8, 0), 1},
        {"Targa 2 with alpha from the top", tga(2, 32, 0x20), 4}, {"Targa 10 from the top right", tga(10, 24, 0x30), 3},
        {"Targa 10 with alpha from the right", tga(10, 32, 0x10), 4}, {"Targa 11", tga(11, 8, 0x20), 1},
        {"PNG", encodePNG(Picture{width, height, 2, std::vector<std::uint8_t>(width * height * 2, 99)}), 0},
        {"JPEG", testing::jpegPicture(width, height, 3), 0}, {"ILBM", testing::ilbmPicture({std::uint16_t(width), std::uint16_t(height), 24, true, false, 0, {},
                 [](std::uint32_t x, std::uint32_t y) { const Colour c = colourAt(x, y); return std::uint32_t(c[0] | c[1] << 8 | c[2] << 16); }}), 3}};
    const fs::path dir = work / "pictures";
    fs::create_directories(dir);
    writeFile(dir / "box.lwo", cube(5, 2));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / "picture", c.bytes);
        EXPECT_EQ(run({"--to=glTF", "box.lwo"}, dir).find("not embedded"), std::string::npos);
        const testing::Glb glb = testing::readGlb(dir / "box.glb");
        ASSERT_EQ(glb.pictures.size(), 1u);
        if (c.channels == 0) {
            EXPECT_EQ(glb.pictures[0], c.bytes);
            continue;
        }
        Picture expected{width, height, c.channels, {}};
        for (std::uint32_t k = 0; k < width * height; ++k) {
            const Colour colour = c.entries ? paletteColour(indexAt(k % width, k / width, c.entries)) : colourAt(k % width, k / width);
            expected.pixels.insert(expected.pixels.end(), colour.begin(), colour.begin() + c.channels);
        }
        const Picture got = testing::decodePng(glb.pictures[0]);
        EXPECT_EQ(std::tie(got.width, got.height, got.channels, got.pixels), std::tie(expected.width, expected.height, expected.channels, expected.pixels));
    }
    for (const auto& entry : fs::directory_iterator(fs::path(MORV3D_SOURCE_DIR) / "tests/fuzz/picture_corpus")) {
        const std::string kept = readText(entry.path());  // each kept fuzz input: a picture or an error, never a fault
        const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(kept.data()), kept.size());
        try {
            decodePicture(bytes);
        } catch (const Error&) {
        }
    }
    // A picture cut short, or kept closed: a warning naming it, the colour without the texture.
    writeFile(dir / "picture", bmp(24).substr(0, 60));
    for (const char* option : {"--scale=1", "--forceTextureResolution=true"}) {
        EXPECT_NE(run({"--to=glTF", option, "box.lwo"}, dir).find("Warning: The picture \"picture\" is not embedded: "), std::string::npos);
        const testing::Glb glb = testing::readGlb(dir / "box.glb");
        EXPECT_TRUE(glb.pictures.empty());
        EXPECT_EQ(glb.json.count(glb.primitives.at(0).material + "/pbrMetallicRoughness/baseColorTexture/index"), 0u);
        EXPECT_FALSE(glb.primitives.at(0).uvs.empty());
    }
}

}  // namespace
}  // namespace morv
