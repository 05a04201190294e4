// glTF output end to end: every real LightWave object of assimp-testmodels,
// both examples, a textured brush and a few objects of our own are converted
// once; each file must hold well-formed triangles covering what the brush
// pieces cover, closed objects must face outward, Assimp must read the same
// triangles back, and the Khronos validator must find no fault. Planar and UV
// coordinates must be what the RIB shader looks up, and every picture kind
// must arrive pixel for pixel.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "common/AssimpCounts.hpp"
#include "common/BrushFixtures.hpp"
#include "common/BrushScan.hpp"
#include "common/GlbReader.hpp"
#include "common/LightWaveScan.hpp"
#include "common/LwoFixtures.hpp"
#include "common/RibScanner.hpp"
#include "common/RunProgram.hpp"
#include "base/Excn.hpp"
#include "support/PNGEncoder.hpp"
#include "support/PictureDecoding.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::IffBuilder;

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

// A cube of six quads facing outward, with surface "Box"; texture is the body
// of its colour texture block, and every point has UV coordinates in map "uv"
// (one corner of the first face its own).
Bytes cube(const IffBuilder& texture) {
    std::vector<XYZ> points;
    std::vector<testing::UvEntry> uvs;
    for (std::uint32_t i = 0; i < 8; ++i) {
        points.push_back({0.25 + 1.5 * (i & 1), -0.5 + 1.25 * (i >> 1 & 1), 0.75 + 2 * (i >> 2 & 1)});
        uvs.push_back({i, 0, {0.1 + 0.5 * (i & 1), 0.7 * (i >> 1 & 1) + 0.2 * (i >> 2)}});
    }
    IffBuilder chunks;
    chunks.chunk("TAGS", testing::lwo2Tags({"Box"})).chunk("LAYR", testing::lwo2Layer(0, "l"));
    chunks.chunk("PNTS", testing::lwo2Points(points)).chunk("VMAP", testing::lwo2VertexMap("TXUV", 2, "uv", uvs));
    chunks.chunk("POLS", testing::lwo2Polygons("FACE", {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 4, 6, 2}, {1, 3, 7, 5},
                                                        {0, 1, 5, 4}, {2, 6, 7, 3}}));
    chunks.chunk("PTAG", testing::lwo2PolygonTags("SURF", {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}}));
    chunks.chunk("VMAD", testing::lwo2PolygonVertexMap("TXUV", 2, "uv", {{0, 0, {0.9, 0.8}}}));
    chunks.chunk("CLIP", testing::lwo2StillClip(1, "picture"));
    chunks.chunk("SURF", testing::lwo2Surface("Box", "", IffBuilder().sub("BLOK", texture)));
    return testing::iffForm("LWO2", chunks);
}

// The body of a colour texture block of image clip 1.
IffBuilder block(std::uint16_t projection, std::uint16_t axis, XYZ rotation) {
    IffBuilder tmap, b;
    tmap.sub("CNTR", IffBuilder().vec(0.5, -0.25, 1).vx(0)).sub("SIZE", IffBuilder().vec(2, 1.5, 3).vx(0));
    tmap.sub("ROTA", IffBuilder().vec(rotation.x, rotation.y, rotation.z).vx(0));
    b.sub("IMAP", IffBuilder().str("\x80").sub("CHAN", IffBuilder().id("COLR")));
    b.sub("TMAP", tmap).sub("PROJ", IffBuilder().u2(projection)).sub("AXIS", IffBuilder().u2(axis));
    return b.sub("IMAG", IffBuilder().vx(1)).sub("VMAP", IffBuilder().str("uv"));
}

// A grid of n x n quads: more vertices than 16-bit indices reach.
Bytes grid(std::uint32_t n) {
    std::vector<XYZ> points;
    std::vector<std::vector<std::uint32_t>> quads;
    for (std::uint32_t y = 0; y <= n; ++y)
        for (std::uint32_t x = 0; x <= n; ++x) points.push_back({double(x), double(y), 0});
    for (std::uint32_t y = 0; y < n; ++y)
        for (std::uint32_t x = 0; x < n; ++x) quads.push_back({y * (n + 1) + x, (y + 1) * (n + 1) + x, (y + 1) * (n + 1) + x + 1, y * (n + 1) + x + 1});
    IffBuilder chunks;
    chunks.chunk("LAYR", testing::lwo2Layer(0, "l")).chunk("PNTS", testing::lwo2Points(points));
    return testing::iffForm("LWO2", chunks.chunk("POLS", testing::lwo2Polygons("FACE", quads)));
}

testing::ProgramResult run(const std::vector<std::string>& args, const fs::path& dir) {
    auto result = testing::runProgram(args, dir.string());
    EXPECT_FALSE(result.signaled) << "signal " << result.status;
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    return result;
}

// Every input converted once, for the tests of the suite.
class GltfFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        work = fs::temp_directory_path() / ("morv3d-gltf-" + std::to_string(::getpid()));
        fs::create_directories(work);
        std::vector<std::pair<fs::path, std::vector<std::string>>> inputs;
        for (const auto& object : testing::lightWaveObjects()) {
            std::vector<std::string> options;
            if (object.filename().string().starts_with("earth_"))  // pictures named on the author's machine
                options = {"--fromTextureRoot=Q:ASSIMP/coordsys/test/models", "--toTextureRoot=/usr/share/assimp/models"};
            inputs.push_back({object, options});
        }
        for (const char* example : {"sample.lwo", "sample_old.lwo"}) inputs.push_back({fs::path(MORV3D_SOURCE_DIR) / "examples" / example, {}});
        testing::BrushPolygonText wall = testing::brushSquare(0, "Texture=Wall");
        wall.textureU = {0.5, 0.25, 0};
        const std::string brush = testing::brushText({wall, testing::brushSquare(64, "Texture=Floor")});
        const std::vector<std::pair<std::string, Bytes>> ours{
            {"brush.t3d", {brush.begin(), brush.end()}}, {"cube.lwo", cube(block(0, 2, {}))},
            {"grid.lwo", grid(260)}, {"empty.lwo", testing::iffForm("LWO2", IffBuilder().chunk("LAYR", testing::lwo2Layer(0, "l")).chunk("PNTS", testing::lwo2Points({{1, 2, 3}})))}};
        for (const auto& [name, bytes] : ours) {
            writeFile(work / name, std::string(bytes.begin(), bytes.end()));
            inputs.push_back({work / name, {}});
        }
        for (const auto& [input, options] : inputs) {
            const fs::path out = work / (std::to_string(files.size()) + "-" + input.filename().string() + ".glb");
            std::vector<std::string> args = options;
            args.insert(args.end(), {"--to=glTF", "--destFileName=" + out.string(), input.string()});
            run(args, input.parent_path());  // relative picture names are found beside the object
            args.insert(args.end() - 1, {"--to=Unreal.T3D", "--scale=1", "--destFileName=" + (work / "out.t3d").string()});
            run(args, input.parent_path());
            double area = 0;
            for (const auto& polygon : testing::scanBrush(readText(work / "out.t3d")))
                area += testing::length(testing::newell(polygon.vertices)) / 2;
            files.push_back({input, out, area});
        }
    }
    static void TearDownTestSuite() { fs::remove_all(work); }

    struct File {
        fs::path input, glb;
        double brushArea;
    };
    static inline fs::path work;
    static inline std::vector<File> files;
};

XYZ point(const std::array<float, 3>& p) { return {p[0], p[1], p[2]}; }
XYZ minus(const XYZ& a, const XYZ& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
XYZ cross(const XYZ& a, const XYZ& b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }

TEST_F(GltfFiles, TrianglesAreWellFormedCoverTheBrushPiecesAndAssimpReadsThemBack) {
    ASSERT_FALSE(files.empty());
    for (const File& f : files) {
        SCOPED_TRACE(f.input.string());
        const testing::Glb glb = testing::readGlb(f.glb);
        double area = 0, volume = 0;
        long vertices = 0, triangles = 0;
        std::map<std::pair<std::array<float, 3>, std::array<float, 3>>, int> edges;  // directed, by position
        for (std::size_t k = 0; k < glb.primitives.size(); ++k) {
            const testing::GlbPrimitive& p = glb.primitives[k];
            const testing::Json& accessors = glb.json["accessors"];
            const testing::Json& primitive = glb.json["meshes"][0]["primitives"][k];
            EXPECT_EQ(accessors[std::size_t(primitive["indices"].number)]["componentType"].number,
                      p.positions.size() <= 65535 ? 5123 : 5125);
            const testing::Json& bounds = accessors[std::size_t(primitive["attributes"]["POSITION"].number)];
            for (int axis = 0; axis < 3; ++axis) {
                float low = INFINITY, high = -INFINITY;
                for (const auto& v : p.positions) low = std::min(low, v[axis]), high = std::max(high, v[axis]);
                EXPECT_EQ(static_cast<float>(bounds["min"][axis].number), low);
                EXPECT_EQ(static_cast<float>(bounds["max"][axis].number), high);
            }
            ASSERT_EQ(p.indices.size() % 3, 0u);
            vertices += static_cast<long>(p.positions.size());
            triangles += static_cast<long>(p.indices.size() / 3);
            for (std::size_t t = 0; t < p.indices.size(); t += 3) {
                std::array<std::array<float, 3>, 3> c;
                for (int i = 0; i < 3; ++i) c[i] = p.positions.at(p.indices[t + i]);
                const XYZ n = cross(minus(point(c[1]), point(c[0])), minus(point(c[2]), point(c[0])));
                EXPECT_GT(testing::length(n), 0) << "triangle " << t / 3 << " has no area";
                area += testing::length(n) / 2;
                volume += point(c[0]).x * n.x + point(c[0]).y * n.y + point(c[0]).z * n.z;
                for (int i = 0; i < 3; ++i) ++edges[{c[i], c[(i + 1) % 3]}];
            }
        }
        EXPECT_NEAR(area, f.brushArea, 1e-4 * f.brushArea);
        // Closed: every edge met once each way. Then the object faces outward.
        const bool closed = !edges.empty() && std::all_of(edges.begin(), edges.end(), [&](const auto& e) {
            const auto back = edges.find({e.first.second, e.first.first});
            return e.second == 1 && back != edges.end() && back->second == 1;
        });
        EXPECT_TRUE(!closed || volume > 0) << "a closed object facing inward";
        long assimpVertices = 0, assimpFaces = 0;
        if (triangles > 0 && testing::haveAssimp()) {
            ASSERT_TRUE(testing::assimpCounts(f.glb, assimpVertices, assimpFaces));
            EXPECT_EQ(assimpVertices, vertices);
            EXPECT_EQ(assimpFaces, triangles);
        }
    }
}

TEST_F(GltfFiles, TheKhronosValidatorFindsNoFault) {
    const fs::path validator = fs::path(MORV3D_SOURCE_DIR) / "tests" / "validator";
    if (std::system("command -v node >/dev/null 2>&1") != 0) GTEST_SKIP() << "node is not installed: the glTF validator does not run";
    if (!fs::exists(validator / "node_modules" / "gltf-validator"))
        GTEST_SKIP() << "the glTF validator is not installed: run npm ci in " << validator.string();
    std::string command = "node '" + (validator / "validate.js").string() + "'";
    for (const File& f : files) command += " '" + f.glb.string() + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::size_t reports = 0;
    char line[4096];
    while (pipe && fgets(line, sizeof line, pipe.get())) {
        std::istringstream fields(line);
        std::string file, code;
        int errors = -1, warnings = -1;
        fields >> file >> errors >> warnings;
        SCOPED_TRACE(line);
        EXPECT_EQ(errors, 0);
        // A PNG embedded as it came may carry colour-space chunks.
        while (fields >> code) EXPECT_TRUE(code.starts_with("IMAGE_FEATURES_UNSUPPORTED@"));
        ++reports;
    }
    EXPECT_EQ(reports, files.size());
}

// The RIB shader's matrix of texture 0 ("xForm0"), as it multiplies row vectors.
std::vector<double> shaderMatrix(const std::string& shader) {
    std::istringstream in(shader.substr(shader.find("xForm0 = (") + 10));
    std::vector<double> m(16);
    for (double& v : m) (in >> v).ignore(1);
    return m;
}

struct PlacementCase {
    const char* name;
    std::uint16_t projection, axis;
    XYZ rotation;
    std::vector<std::string> options;
};

TEST(GltfPlacements, PlanarAndUvCoordinatesAreWhatTheRibShaderLooksUpAtEveryCorner) {
    const std::vector<PlacementCase> cases{
        {"planar along z", 0, 2, {}, {}},
        {"planar along x, turned", 0, 0, {0.3, -0.2, 0.5}, {}},
        {"planar along y, turned, object moved", 0, 1, {1.0, 0.4, -0.7}, {"--coordTransformsLH=ry 30 rx -90", "--scale=2"}},
        {"planar along z, object turned", 0, 2, {}, {"--coordTransformsLH=rz 45"}},
        {"UV map with a per-polygon corner", 5, 2, {}, {}},
        {"UV map, object moved", 5, 2, {}, {"--coordTransformsLH=rx 90 ry 10", "--scale=3"}},
    };
    const fs::path dir = fs::temp_directory_path() / ("morv3d-gltf-placement-" + std::to_string(::getpid()));
    for (const PlacementCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir);
        fs::create_directories(dir);
        const Bytes object = cube(block(c.projection, c.axis, c.rotation));
        writeFile(dir / "box.lwo", std::string(object.begin(), object.end()));
        std::vector<std::string> args = c.options;
        args.push_back("box.lwo");
        run(args, dir);
        args.insert(args.begin(), "--to=glTF");
        run(args, dir);
        const auto requests = testing::scanRib(readText(dir / "box.rib"));
        const auto mesh = std::find_if(requests.begin(), requests.end(), [](const auto& r) { return r.name == "PointsGeneralPolygons"; });
        ASSERT_NE(mesh, requests.end());
        const auto ribPoints = mesh->parameter("P")->numbers, corners = mesh->arguments[2].numbers;
        const auto s = mesh->parameter("s0").value_or(testing::RibArgument{}).numbers;
        const auto t = mesh->parameter("t0").value_or(testing::RibArgument{}).numbers;
        const bool perCorner = s.size() == corners.size() && s.size() != ribPoints.size() / 3;
        const std::vector<double> m = c.projection == 0 ? shaderMatrix(readText(dir / "Box.sl")) : std::vector<double>{};
        const testing::Glb glb = testing::readGlb(dir / "box.glb");
        ASSERT_EQ(glb.primitives.size(), 1u);
        const testing::GlbPrimitive& p = glb.primitives[0];
        ASSERT_EQ(p.uvs.size(), p.positions.size());
        for (std::uint32_t index : p.indices) {
            const XYZ q{p.positions[index][0], p.positions[index][1], -p.positions[index][2]};  // back in LightWave's axes
            const auto [u, v] = p.uvs[index];
            if (c.projection == 0) {
                EXPECT_NEAR(u, q.x * m[0] + q.y * m[4] + q.z * m[8] + m[12], 1e-5);
                EXPECT_NEAR(v, 1 - (q.x * m[1] + q.y * m[5] + q.z * m[9] + m[13]), 1e-5);
                continue;
            }
            bool found = false;  // a RIB corner at this point with these coordinates
            for (std::size_t k = 0; k < corners.size() && !found; ++k) {
                const std::size_t at = static_cast<std::size_t>(corners[k]), st = perCorner ? k : at;
                const XYZ r{ribPoints[3 * at], ribPoints[3 * at + 1], ribPoints[3 * at + 2]};
                found = std::fabs(r.x - q.x) + std::fabs(r.y - q.y) + std::fabs(r.z - q.z) < 1e-5 &&
                        std::fabs(s[st] - u) < 1e-6 && std::fabs(1 - t[st] - v) < 1e-6;
            }
            EXPECT_TRUE(found) << "corner at " << q.x << " " << q.y << " " << q.z << " with " << u << " " << v;
        }
    }
    fs::remove_all(dir);
}

// ---- Pictures: a 7 x 3 pattern with runs of two equal pixels ----

constexpr std::uint32_t width = 7, height = 3;
using Colour = std::array<std::uint8_t, 4>;
Colour paletteColour(std::uint32_t i) { return {std::uint8_t(i * 37 + 11), std::uint8_t(i * 91 + 5), std::uint8_t(255 - i * 23), 255}; }
std::uint32_t indexAt(std::uint32_t x, std::uint32_t y, std::uint32_t entries) { return (x / 2 + 3 * y) % entries; }
Colour colourAt(std::uint32_t x, std::uint32_t y) {
    const Colour c = paletteColour(x / 2 + 3 * y);
    return {c[0], c[1], c[2], std::uint8_t(x * 40 + y)};
}

std::string le(std::uint32_t v, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += char(v >> 8 * i);
    return out;
}

// bits 1, 4 or 8 through a palette of 1 << bits entries (run-length coded
// when rle), 24, or 32 (alpha with a 108-byte header holding the masks).
std::string bmp(std::uint32_t bits, bool rle, bool alpha, bool topDown = false) {
    const std::uint32_t entries = bits <= 8 ? 1u << bits : 0;
    std::string palette, data;
    for (std::uint32_t i = 0; i < entries; ++i) palette += {char(paletteColour(i)[2]), char(paletteColour(i)[1]), char(paletteColour(i)[0]), 0};
    for (std::uint32_t r = 0; r < height; ++r) {
        const std::uint32_t y = topDown ? r : height - 1 - r;
        std::string row((width * bits + 31) / 32 * 4, '\0');
        for (std::uint32_t x = 0; x < width && !rle; ++x) {
            const Colour c = colourAt(x, y);
            if (bits <= 8) row[x * bits / 8] |= char(indexAt(x, y, entries) << (8 - bits - x * bits % 8));
            else row.replace(x * bits / 8, bits / 8, std::string{char(c[2]), char(c[1]), char(c[0]), char(c[3])}.substr(0, bits / 8));
        }
        if (rle) {  // three literal pixels, runs of the rest, end of the row
            const auto i = [&](std::uint32_t x) { return indexAt(x, y, entries); };
            row = bits == 8 ? std::string{0, 3, char(i(0)), char(i(1)), char(i(2)), 0} : std::string{0, 3, char(i(0) << 4 | i(1)), char(i(2) << 4)};
            for (std::uint32_t x = 3; x < width; ++x) {
                const std::uint32_t count = x + 1 < width && i(x + 1) == i(x) ? 2 : 1;
                row += {char(count), char(bits == 8 ? i(x) : i(x) << 4 | i(x))};
                x += count - 1;
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

// Image type 1 or 9 (8-bit indices into 256 colours), 2 or 10 (24 or 32 bits,
// alpha when 32), 3 or 11 (grey); descriptor 0x20 starts at the top, 0x10 at the right.
std::string tga(std::uint32_t type, std::uint32_t bits, std::uint32_t descriptor) {
    const bool mapped = (type & 7) == 1;
    std::string out = std::string{2, char(mapped), char(type)} + le(0, 2) + le(mapped ? 256 : 0, 2) + char(mapped ? 24 : 0);
    out += le(0, 4) + le(width, 2) + le(height, 2) + char(bits) + char(descriptor | (bits == 32 ? 8 : 0)) + "id";
    for (std::uint32_t i = 0; i < (mapped ? 256u : 0u); ++i) out += {char(paletteColour(i)[2]), char(paletteColour(i)[1]), char(paletteColour(i)[0])};
    std::vector<std::string> pixels;
    for (std::uint32_t r = 0; r < height; ++r)
        for (std::uint32_t k = 0; k < width; ++k) {
            const std::uint32_t y = descriptor & 0x20 ? r : height - 1 - r, x = descriptor & 0x10 ? width - 1 - k : k;
            const Colour c = colourAt(x, y);
            pixels.push_back(mapped ? std::string(1, char(indexAt(x, y, 256))) : (type & 7) == 3 ? std::string(1, char(c[0]))
                                    : std::string{char(c[2]), char(c[1]), char(c[0]), char(c[3])}.substr(0, bits / 8));
        }
    for (std::size_t i = 0; i < pixels.size(); ++i) {  // runs of equal pixels (across rows too), or single raw ones
        std::size_t count = 1;
        while (type >= 9 && i + count < pixels.size() && pixels[i + count] == pixels[i]) ++count;
        out += type < 9 ? pixels[i] : std::string(1, char(count > 1 ? 0x80 | (count - 1) : 0)) + pixels[i];
        i += count - 1;
    }
    return out;
}

struct PictureCase {
    const char* name;
    std::string bytes;
    std::uint32_t channels;  // of the expected pixels; 0: embedded as it is
    std::uint32_t entries = 0;  // through a palette of this many colours
};

TEST(GltfPictures, EveryPictureKindIsEmbeddedPixelForPixel) {
    Picture png{width, height, 4, {}};
    for (std::uint32_t i = 0; i < width * height; ++i) png.pixels.insert(png.pixels.end(), {1, 2, 3, std::uint8_t(i)});
    const std::vector<PictureCase> cases{
        {"BMP 1 bit", bmp(1, false, false), 3, 2}, {"BMP 4 bits", bmp(4, false, false), 3, 16},
        {"BMP 8 bits", bmp(8, false, false), 3, 256}, {"BMP RLE4", bmp(4, true, false), 3, 16},
        {"BMP RLE8", bmp(8, true, false), 3, 256}, {"BMP 24 bits", bmp(24, false, false), 3},
        {"BMP 24 bits top down", bmp(24, false, false, true), 3}, {"BMP 32 bits", bmp(32, false, false), 3},
        {"BMP 32 bits with alpha", bmp(32, false, true), 4},
        {"Targa 1", tga(1, 8, 0), 3, 256}, {"Targa 9 from the top", tga(9, 8, 0x20), 3, 256},
        {"Targa 2", tga(2, 24, 0), 3}, {"Targa 2 with alpha from the top", tga(2, 32, 0x20), 4},
        {"Targa 10 from the top right", tga(10, 24, 0x30), 3}, {"Targa 10 with alpha from the right", tga(10, 32, 0x10), 4},
        {"Targa 3", tga(3, 8, 0), 1}, {"Targa 11", tga(11, 8, 0x20), 1},
        {"PNG", encodePNG(png), 0}, {"JPEG", "\xFF\xD8\xFF\xE0 stands in for a JPEG", 0},
    };
    const fs::path dir = fs::temp_directory_path() / ("morv3d-gltf-pictures-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const Bytes object = cube(block(5, 2, {}));
    writeFile(dir / "box.lwo", std::string(object.begin(), object.end()));
    for (const PictureCase& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / "picture", c.bytes);
        const auto result = run({"--to=glTF", "box.lwo"}, dir);
        EXPECT_EQ(result.out.find("not embedded"), std::string::npos) << result.out;
        const testing::Glb glb = testing::readGlb(dir / "box.glb");
        ASSERT_EQ(glb.pictures.size(), 1u);
        if (c.channels == 0) {
            EXPECT_EQ(glb.pictures[0], c.bytes);
            continue;
        }
        const testing::DecodedPng decoded = testing::decodePng(glb.pictures[0]);
        std::vector<std::uint8_t> expected;
        for (std::uint32_t y = 0; y < height; ++y)
            for (std::uint32_t x = 0; x < width; ++x) {
                const Colour colour = c.entries ? paletteColour(indexAt(x, y, c.entries)) : colourAt(x, y);
                expected.insert(expected.end(), colour.begin(), colour.begin() + c.channels);
            }
        EXPECT_EQ(decoded.width, width);
        EXPECT_EQ(decoded.channels, c.channels);
        EXPECT_EQ(decoded.pixels, expected);
        // Every shorter file gives an error or a picture, never a fault.
        for (std::size_t n = 0; n < c.bytes.size(); ++n) {
            const std::span<const std::uint8_t> prefix(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), n);
            try {
                c.bytes.starts_with("BM") ? decodeBMP(prefix) : decodeTarga(prefix);
            } catch (const Error&) {
            }
        }
    }
    // A picture cut short, or kept closed: a warning naming it, the colour without the texture.
    writeFile(dir / "picture", bmp(24, false, false).substr(0, 60));
    for (const char* option : {"--scale=1", "--forceTextureResolution=true"}) {
        const auto result = run({"--to=glTF", option, "box.lwo"}, dir);
        EXPECT_NE(result.out.find("Warning: The picture \"picture\" is not embedded: "), std::string::npos) << result.out;
        const testing::Glb glb = testing::readGlb(dir / "box.glb");
        EXPECT_TRUE(glb.pictures.empty());
        EXPECT_EQ((*glb.primitives.at(0).material)["pbrMetallicRoughness"]["baseColorTexture"].kind, testing::Json::Kind::Null);
        EXPECT_FALSE(glb.primitives.at(0).uvs.empty());
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace morv
