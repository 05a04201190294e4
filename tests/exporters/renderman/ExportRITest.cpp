// The RIB writer on scenes built here: the file layout, shader identifiers and
// files, which polygons each shader colours, coordinate sets, textures, what
// the shaders compute, odd scenes and failures that leave nothing behind.
#include "exporters/renderman/ExportRI.hpp"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "common/RibScanner.hpp"
#include "common/SceneFixtures.hpp"
#include "common/TestHelpers.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "importers/lightwave/LWOBReader.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using testing::image, testing::planar, testing::scene, testing::surface, testing::texture, testing::RibRequest;
using Polygons = std::vector<std::vector<XYZ>>;

const std::vector<XYZ> square{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};

std::string fileText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Written {
    std::string rib, messages;
    std::vector<RibRequest> requests;
    std::map<std::string, std::string> files;  // every file beside the RIB, by name

    std::vector<RibRequest> named(const std::string& name) const {
        std::vector<RibRequest> out;
        std::copy_if(requests.begin(), requests.end(), std::back_inserter(out), [&](auto& r) { return r.name == name; });
        return out;
    }
    // The names of the requests, joined by blanks.
    std::string names() const {
        std::string out;
        for (const RibRequest& r : requests) out += (out.empty() ? "" : " ") + r.name;
        return out;
    }
};

class ExportRITest : public testing::ScratchDirTest {
protected:
    // Writes dir/out.rib into the emptied folder and reads back all it holds.
    Written write(const MorvLValue& s, const std::string& platform = "Unix") {
        for (const auto& e : fs::directory_iterator(dir)) fs::remove(e.path());
        std::ostringstream messages;
        ExportRI::exportScene(s, (dir / "out.rib").string(), ExportSettings{512, 512, messages, platform});
        Written w;
        for (const auto& e : fs::directory_iterator(dir)) w.files[e.path().filename().string()] = fileText(e.path());
        w.rib = w.files["out.rib"];
        w.files.erase("out.rib");
        w.requests = testing::scanRib(w.rib);
        w.messages = messages.str();
        EXPECT_EQ(testing::undeclaredTokens(w.requests), std::vector<std::string>{});
        return w;
    }
};

TEST_F(ExportRITest, WritesTheFixedLayoutAroundEachSurface) {
    const Written w = write(scene(square, {{{0, 1, 2}, 0}}, {surface("Skin", {}, {{"diffusion", MorvLValue::Real(0.5)}})}));
    EXPECT_EQ(w.rib,
              "version 3.03\n"
              "LightSource \"pointlight\" 1 \"from\" [0.0 0.0 0.0] \"intensity\" [50] \n\"lightcolor\" [ 1 1 1]\n"
              "Format 480 480 1\n"
              "Projection \"perspective\" \"fov\" [90]\n"
              "Translate 0.0 0.0 10\n"
              "FrameBegin 0\n"
              "WorldBegin\n"
              "TransformBegin\n"
              "Translate 0.0 0.0 0.0\n"
              "Rotate -30 1 0.0 0.0\n"
              "Rotate 10 0.0 1 0.0\n"
              "Scale 1 1 1\n"
              "Declare \"Kd\" \"float\"\n"
              "Declare \"Ks\" \"float\"\n"
              "Declare \"luminosity\" \"float\"\n"
              "Color [ 1 1 1]\n"
              "Opacity [ 1 1 1]\n"
              "Surface \"Skin\" \"Kd\" [0.5] \"Ks\" [0.0] \"luminosity\" [0.0]\n"
              "PointsGeneralPolygons [ 1] [ 3] [ 0 1 2] \"P\" [ 0.0 0.0 0.0 1 \n0.0 0.0 1 1 0.0]\n"
              "TransformEnd\n"
              "WorldEnd\n"
              "FrameEnd\n");
    EXPECT_EQ(w.messages, "Writing RenderMan shader file Skin.sl\n");
    EXPECT_EQ(w.files.at("Skin.sl").find("surface Skin (uniform float Kd = 0.5; uniform float Ks = 0.0; "
                                         "uniform float luminosity = 0.0)\n{\n"), 0u);
}

// Two surfaces of one name used to write one shader file, the second replacing
// the first. Surfaces whose shaders are identical share one file; the second
// text of a name takes the name with the hash of its text.
TEST_F(ExportRITest, SurfaceNamesBecomeUniqueShaderIdentifiersAndFilesBesideTheRib) {
    const std::vector<std::pair<std::string, std::string>> names = {
        {"Wood 2", "Wood_2"},   {"Mat.001", "Mat_001"}, {"2ndCoat", "_2ndCoat"},  {"color", "_color"},
        {"../x", "___x"},       {"a/b", "a_b"},         {"", "_"},                {"Wood_2", "Wood_2_#"},
        {"Wood 2", "Wood_2_#"}, {"Plain_1", "Plain_1"}, {"diffuse", "_diffuse"}, {"UVTextureMap", "_UVTextureMap"},
        {std::string(300, 'x'), std::string(200, 'x')}, {"Wood 2", "Wood_2"}};
    std::vector<MorvLValue> surfaces;
    for (std::size_t i = 0; i < names.size(); ++i)  // the last is the first "Wood 2" again
        surfaces.push_back(surface(names[i].first, {}, {{"diffusion", MorvLValue::Real(i % 13 * 0.01)}}));
    const Written w = write(scene(square, {}, surfaces));
    const auto bound = w.named("Surface");
    ASSERT_EQ(bound.size(), names.size());
    EXPECT_EQ(w.files.size(), names.size() - 1);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string name = bound[i].strings().at(0);
        EXPECT_EQ(testing::hashHidden(name), names[i].second);
        ASSERT_EQ(w.files.count(name + ".sl"), 1u) << name;
        EXPECT_NE(w.files.at(name + ".sl").find("surface " + name + " ("), std::string::npos);
    }
    EXPECT_NE(bound[7].strings().at(0), bound[8].strings().at(0));  // two texts, two hashes
}

TEST_F(ExportRITest, coordinatesOfCornersWithTheirOwnValuesAreFacevarying) {
    MeshBuilder mesh;
    for (std::uint32_t v = 0; v < 4; ++v) {
        mesh.addVertex(square[v]);
        const std::optional<ST> slots[] = {ST{0.25 * v, 0.5}, ST{0.125 * v, 0.2}};
        mesh.setVertexSts(v, slots);
    }
    const std::uint32_t face[] = {0, 1, 2, 3};
    mesh.addFace(face, MorvLValue::Int(0));
    const std::optional<ST> own[] = {std::nullopt, ST{9, 8}};
    mesh.setCornerSts(2, own);
    const Written w = write(makeScene(std::move(mesh).build(),
                                      {surface("Uv", {texture(), texture({{"stIndex", MorvLValue::Int(1)}})})}, {image("a.tif")}));
    std::map<std::string, std::string> declared;
    for (const RibRequest& r : w.named("Declare")) declared[r.strings().at(0)] = r.strings().at(1);
    EXPECT_EQ(declared["s0"] + ", " + declared["t0"], "vertex float, vertex float");
    EXPECT_EQ(declared["s1"] + ", " + declared["t1"], "facevarying float, facevarying float");
    const RibRequest polygons = w.named("PointsGeneralPolygons").at(0);
    EXPECT_EQ(polygons.parameter("s0")->numbers, (std::vector<double>{0, 0.25, 0.5, 0.75}));
    EXPECT_EQ(polygons.parameter("s1")->numbers, (std::vector<double>{0, 0.125, 9, 0.375}));
    EXPECT_EQ(polygons.parameter("t1")->numbers, (std::vector<double>{0.2, 0.2, 8, 0.2}));
    const std::string& shader = w.files.at("Uv.sl");
    EXPECT_NE(shader.find("varying float s1 = 0.0; varying float t1 = 0.0)"), std::string::npos) << shader;
    EXPECT_NE(shader.find("(UVTextureMap(textureName1, s1, t1))"), std::string::npos) << shader;
}

// Texture names as written for Windows: backslashes escaped in RIB strings.
TEST_F(ExportRITest, texturesAreMadeBeforeTheWorldOncePerImageTheShadersRead) {
    const Written w = write(
        scene(square, {{{0, 1, 2}, 0}, {{0, 2, 3}, 1}},
              {surface("Two", {planar({{"image", MorvLValue::Int(2)}}), texture()}),
               surface("One", {texture(), texture({{"projection", MorvLValue::String("spherical")}, {"image", MorvLValue::Int(1)}})})},
              {image("a.tif"), image("unused.tif"), image("C:\\pics\\c.tif")}),
        "Windows");
    std::vector<std::vector<std::string>> made;
    for (const RibRequest& r : w.named("MakeTexture")) made.push_back(r.strings());
    EXPECT_EQ(made, (std::vector<std::vector<std::string>>{
                        {"a.tif", "a.tif.tex", "periodic", "periodic", "gaussian"},
                        {"C:\\pics\\c.tif", "C:\\pics\\c.tif.tex", "periodic", "periodic", "gaussian"}}));
    EXPECT_NE(w.rib.find("MakeTexture \"C:\\\\pics\\\\c.tif\" \"C:\\\\pics\\\\c.tif.tex\""), std::string::npos) << w.rib;
    EXPECT_EQ(w.names().find("MakeTexture", w.names().find("WorldBegin")), std::string::npos) << "inside the world block";
    const RibRequest two = w.named("Surface").at(0);
    EXPECT_EQ(two.parameter("textureName0")->strings, std::vector<std::string>{"C:\\pics\\c.tif.tex"});
    EXPECT_EQ(two.parameter("textureName1")->strings, std::vector<std::string>{"a.tif.tex"});
    EXPECT_NE(w.files.at("Two.sl").find("uniform string textureName0 = \"C:\\\\pics\\\\c.tif.tex\"; uniform string "
                                        "textureName1 = \"a.tif.tex\""),
              std::string::npos)
        << w.files.at("Two.sl");
    EXPECT_EQ(w.named("Surface").at(1).parameter("textureName1"), std::nullopt) << "the spherical texture is skipped";
}

TEST_F(ExportRITest, shadersPlaceProjectBumpAndApplyOpacityAsTheSurfacesSay) {
    const MorvLValue placement = MorvLValue::List({MorvLValue::Sum("TranslateXYZ", makePointRecord(1, 2, 3)),
                                                   MorvLValue::Sum("ScaleXYZ", makePointRecord(2, 4, 0))});
    const std::vector<MorvLValue> textures{
        planar({{"coordinateSystem", MorvLValue::String("unknown")}, {"transforms", placement}}),
        planar({{"coordinateSystem", MorvLValue::Absent()}}),
        planar({{"coordinateSystem", MorvLValue::String("world")}}),
        texture({{"textureChannel", MorvLValue::String("bump")}, {"opacity", MorvLValue::Real(0.5)}, {"value", MorvLValue::Real(2.0)}}),
        texture({{"textureChannel", MorvLValue::Absent()}}),
        texture({{"image", MorvLValue::Absent()}}),
        texture({{"transforms", MorvLValue::Absent()}})};
    const Written w = write(scene(square, {{{0, 1, 2}, 0}},
                                  {surface("S", textures, {{"transparency", MorvLValue::Real(0.25)}}),
                                   surface("Gone", {}, {{"transparency", MorvLValue::Real(2.0)}})},
                                  {image("a.tif")}));
    EXPECT_EQ(w.messages,
              "Internal Error: Expected field coordinateSystem not found in texture data!\n"
              "Expected field textureChannel not found in surface data!\n"
              "Internal Error: Expected field image not found in texture data!\n"
              "Internal Error: Expected field transforms not found in texture data!\n"
              "Writing RenderMan shader file S.sl\n"
              "Writing RenderMan shader file Gone.sl\n");
    const std::string& shader = w.files.at("S.sl");
    for (const char* part : {
             // An unknown or missing space is object space; the placement maps
             // object space to texture space, written for row vectors.
             "(PlanarTextureMap(textureName0, P, \"object\", xForm0))",
             "uniform matrix xForm0 = (0.5, 0.0, 0.0, 0.0, 0.0, 0.25, 0.0, 0.0, 0.0, 0.0, 1, 0.0, -0.5, -0.5, -3, 1);",
             "(PlanarTextureMap(textureName1, P, \"object\", xForm1))",
             "(PlanarTextureMap(textureName2, P, \"world\", xForm2))",
             // Bump: along the normal by opacity times amplitude over 35.
             "varying point bumpedP = (P - (((comp(bumpColor, 0.0)) * 0.0285714285714) * (normalize(N))));",
             "varying normal Nn = (normalize((calculatenormal(bumpedP))));",
             "textureName4",  // of the textures that lack a field only the one without a channel is kept
             "  Oi = Os;\n  Ci = (Ci * Oi);\n}\n"})
        EXPECT_NE(shader.find(part), std::string::npos) << part << "\n" << shader;
    EXPECT_EQ(shader.find("textureName5"), std::string::npos);
    EXPECT_EQ(shader.find("color PlanarTextureMap"), shader.rfind("color PlanarTextureMap")) << "defined once";
    EXPECT_EQ(w.named("Opacity").at(0).arguments.at(0).numbers, (std::vector<double>{0.75, 0.75, 0.75}));
    EXPECT_EQ(w.named("Opacity").at(1).arguments.at(0).numbers, (std::vector<double>{0, 0, 0}));
}

// Each surface's polygons follow its own statements with only the points they
// use (one request after all surfaces bound every polygon to the last one);
// polygons of no surface come first; empty requests are never written.
TEST_F(ExportRITest, polygonsAreWrittenWithTheirOwnSurfaceAndOnlyWhereRenderersAcceptThem) {
    const std::vector<XYZ> p{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 0}, {2, 1, 0}};
    const std::string shaded = "Declare Declare Declare Color Opacity Surface", polygons = "PointsGeneralPolygons";
    const std::string noSurface = "Warning: 1 polygons belong to no surface of the scene; they are written first, with "
                                  "the renderer's default surface\n";
    const struct {
        const char* name;
        MorvLValue scene;
        std::string body;  // the requests between the placement and TransformEnd
        std::vector<Polygons> requests;
        std::string messages;
    } cases[] = {
        {"two surfaces and an empty one",
         scene(p, {{{1, 4, 5, 2}, 1}, {{0, 1, 2, 3}, 0}, {{2, 5, 3}, 1}}, {surface("A"), surface("B"), surface("E")}),
         shaded + " " + polygons + " " + shaded + " " + polygons + " " + shaded,
         {{{p[0], p[1], p[2], p[3]}}, {{p[1], p[4], p[5], p[2]}, {p[2], p[5], p[3]}}},
         "Writing RenderMan shader file A.sl\nWriting RenderMan shader file B.sl\nWriting RenderMan shader file E.sl\n"},
        {"no faces", scene({}, {}, {surface("S")}), shaded, {}, "Writing RenderMan shader file S.sl\n"},
        {"nothing at all", scene(square, {}, {}), "", {}, ""},
        {"polygons of fewer than 3 corners", scene(square, {{{0, 1}, 0}, {{0, 1, 2}, 0}, {{3}, 0}}, {surface("S")}),
         shaded + " " + polygons, {{{p[0], p[1], p[2]}}},
         "Warning: 2 polygons with fewer than 3 corners are left out: RenderMan polygons need at least 3\n"
         "Writing RenderMan shader file S.sl\n"},
        {"no surfaces", scene(square, {{{0, 1, 2}, 0}}, {}), polygons, {{{p[0], p[1], p[2]}}}, noSurface},
        {"polygons of no surface", scene(square, {{{0, 1, 2}, 0}, {{0, 2, 3}, 7}}, {surface("S")}),
         polygons + " " + shaded + " " + polygons, {{{p[0], p[2], p[3]}}, {{p[0], p[1], p[2]}}},
         noSurface + "Writing RenderMan shader file S.sl\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Written w = write(c.scene);
        const std::string body = "Scale " + c.body + (c.body.empty() ? "" : " ") + "TransformEnd WorldEnd FrameEnd";
        EXPECT_EQ(w.names().substr(w.names().find("Scale ")), body);
        std::vector<Polygons> requests;
        for (const RibRequest& r : w.named(polygons)) requests.push_back(testing::ribPolygons(r));
        EXPECT_EQ(requests, c.requests);
        EXPECT_EQ(w.messages, c.messages);
    }
}

// A cage whose faces carry several surfaces is written whole for each surface,
// the other surfaces' faces tagged "hole", so that a renderer makes one smooth
// surface of it; a cage of one surface is written as it always was.
TEST_F(ExportRITest, cagesOfSeveralSurfacesStayOneSmoothSurface) {
    std::vector<XYZ> p;  // two cubes side by side
    for (int i = 0; i < 16; ++i) p.push_back({(i & 4 ? 1.0 : -1.0) + (i & 8 ? 5 : 0), i & 2 ? 1.0 : -1.0, i & 1 ? 1.0 : -1.0});
    const std::uint32_t sides[6][4] = {{4, 6, 7, 5}, {0, 1, 3, 2}, {2, 3, 7, 6}, {0, 4, 5, 1}, {1, 5, 7, 3}, {0, 2, 6, 4}};
    const struct {
        const char* name;
        std::vector<std::int32_t> surfaces;      // per cage face: the first cube's 6, then the second's
        std::vector<std::array<int, 2>> meshes;  // per SubdivisionMesh written: faces, holes
    } cases[] = {
        {"cube of one surface", {0, 0, 0, 0, 0, 0}, {{6, 0}}},
        {"cube of one surface per side", {0, 1, 2, 3, 4, 5}, {{6, 5}, {6, 5}, {6, 5}, {6, 5}, {6, 5}, {6, 5}}},
        {"a cube of one surface beside one of two", {0, 0, 0, 0, 0, 0, 1, 1, 2, 2, 2, 2}, {{6, 0}, {6, 4}, {6, 2}}},
        {"a surface on both cubes", {0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1}, {{12, 5}, {6, 1}}},
        {"faces of no surface first", {0, 0, 9, 9, 0, 0}, {{6, 4}, {6, 2}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MeshBuilder mesh;
        for (const XYZ& point : p) mesh.addVertex(point);
        std::map<std::vector<double>, std::int32_t> surfaceOf;  // by the face's coordinates
        std::vector<MorvLValue> surfaces;
        for (std::size_t f = 0; f < c.surfaces.size(); ++f) {
            std::vector<std::int32_t> corners;
            std::vector<double> key;
            for (std::uint32_t v : sides[f % 6]) {
                corners.push_back(static_cast<std::int32_t>(v + f / 6 * 8));
                key.insert(key.end(), {p[v + f / 6 * 8].x, p[v + f / 6 * 8].y, p[v + f / 6 * 8].z});
            }
            mesh.addFaces({0, 4}, corners, {c.surfaces[f]}, f % 2 ? FaceKind::SubPatch : FaceKind::CatmullClark);
            surfaceOf[key] = c.surfaces[f] == 9 ? -1 : c.surfaces[f];
            while (c.surfaces[f] != 9 && surfaces.size() <= static_cast<std::size_t>(c.surfaces[f]))
                surfaces.push_back(surface({'S', static_cast<char>('0' + surfaces.size())}));
        }
        mesh.addFace(std::vector<std::uint32_t>{0, 1, 2}, MorvLValue::Int(0));  // a plain polygon is never a cage face
        const Written w = write(makeScene(std::move(mesh).build(), std::move(surfaces), {}));
        std::size_t written = 0, drawn = 0;
        std::int32_t bound = -1;
        for (const RibRequest& r : w.requests) {
            if (r.name == "Surface") bound = r.strings().at(0)[1] - '0';
            if (r.name != "SubdivisionMesh") continue;
            ASSERT_LT(written, c.meshes.size());
            EXPECT_EQ(r.arguments.at(1).numbers.size(), c.meshes[written][0]) << "request " << written;
            EXPECT_EQ(r.arguments.at(5).numbers.size(), c.meshes[written++][1]);
            for (const auto& face : testing::ribPolygons(r)) {  // the faces drawn: each by its own surface
                std::vector<double> key;
                for (const XYZ& q : face) key.insert(key.end(), {q.x, q.y, q.z});
                EXPECT_EQ(surfaceOf.at(key), bound);
                ++drawn;
            }
        }
        EXPECT_EQ(written, c.meshes.size());
        EXPECT_EQ(drawn, c.surfaces.size());
    }
}

// A failure leaves no RIB, no shader and no temporary file behind.
TEST_F(ExportRITest, failuresEndTheFileWithAClearErrorAndNothingWritten) {
    const double nan = std::nan("");
    const struct {
        const char* name;
        MorvLValue scene;
        std::string message;
    } failures[] = {
        {"vertex not a number", scene({{0, 0, 0}, {1, nan, 0}, {1, 1, 0}}, {{{0, 1, 2}, 0}}, {surface("S")}),
         "Vertex 1 lies at (1, nan, 0.0) after the transforms; a coordinate that is not a finite number cannot be "
         "written to a RIB file"},
        {"texture coordinate not a number",
         scene(square, {{{0, 1, 2}}}, {surface("S", {texture()})}, {image("a.tif")}, {{}, {}, ST{nan, 0}, {}}),
         "Texture coordinate s of set 0 at vertex 2 is nan, which is not a finite number; RIB files and shaders hold "
         "finite numbers only"},
        {"infinite diffusion", scene(square, {}, {surface("S", {}, {{"diffusion", MorvLValue::Real(HUGE_VAL)}})}),
         "Surface \"S\": its diffusion is inf, which is not a finite number; RIB files and shaders hold finite numbers only"},
        {"texture opacity not a number",
         scene(square, {}, {surface("S", {texture({{"opacity", MorvLValue::Real(nan)}})})}, {image("a.tif")}),
         "Surface \"S\": a texture's opacity is nan, which is not a finite number; RIB files and shaders hold finite "
         "numbers only"},
        {"corner past the points", scene(square, {{{0, 1, 7}, 0}}, {surface("S")}),
         "Corner 2 of face 0 refers to vertex 7, which is not one of the 4 vertices of the mesh"},
        {"image index past the images", scene(square, {}, {surface("S", {texture({{"image", MorvLValue::Int(4)}})})}),
         "Internal Error: Expected texture image index not found in ExportRI.makeTextureParam!\n"},
        {"surface without a name", makeScene(MeshBuilder().build(), {MorvLValue::Record({{"textures", MorvLValue::List({})}})}, {}),
         "Internal Error: Expected name not found for surface description!\n"},
        {"no mesh", MorvLValue::Record({{"surfaces", MorvLValue::List({})}}),
         "Internal Error: Scene does not contain expected mesh and surface data in function exportPackedMesh!\n"},
        {"mesh without faces",
         MorvLValue::Record({{"mesh", MorvLValue::Record({{"vertices", MorvLValue::List({})}})}, {"surfaces", MorvLValue::List({})}}),
         "Internal Error: Scene does not contain expected face and vertex data in function exportPackedMesh!\n"},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.name);
        std::ostringstream messages;
        EXPECT_THROW_MSG(ExportRI::exportScene(f.scene, (dir / "out.rib").string(), ExportSettings{512, 512, messages}),
                         Error, f.message);
        EXPECT_TRUE(fs::is_empty(dir));
    }
}

// The fuzzer's kept inputs, read and written as RIB: each ends in files or in
// one of the system's errors, and a failure leaves nothing behind.
TEST_F(ExportRITest, everyKeptFuzzInputIsWrittenOrRefusedCleanly) {
    int written = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(MORV3D_SOURCE_DIR) / "tests/fuzz/corpus")) {
        const std::string text = fileText(entry.path());
        const std::vector<std::uint8_t> bytes(text.begin(), text.end());
        std::ostringstream messages;
        for (int reader = 0; reader < 2; ++reader) {
            try {
                const MorvLValue scene = reader == 0 ? parseLWO2Bytes(bytes, messages)->toCanonical(messages)
                                                     : readLWOBSceneFromBytes(bytes, messages);
                try {
                    write(scene);
                    ++written;
                } catch (const MorvException&) {
                    EXPECT_TRUE(fs::is_empty(dir)) << entry.path();
                }
            } catch (const MorvException&) {
            }
        }
    }
    EXPECT_GT(written, 100);
}

}  // namespace
}  // namespace morv
