#include "exporters/ExportRI.hpp"

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "common/RibScanner.hpp"
#include "common/TestHelpers.hpp"
#include "importers/LWO2Reader.hpp"
#include "importers/LWOBReader.hpp"
#include "scene/CanonicalScene.hpp"
#include "support/NeutralFileName.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using testing::RibRequest;

// ---- Scenes ----

MorvLValue image(const std::string& name) { return MorvLValue::Record({{"fileName", anyFileNameToMorvLNeutral(name)}}); }

// A UV colour texture of image 0 and coordinate set 0, with fields replaced
// or added from changes; a change with an ABSENT value leaves the field out.
MorvLValue texture(const std::vector<Field>& changes = {}) {
    std::vector<Field> fields{{"textureChannel", MorvLValue::String("color")},
                              {"projection", MorvLValue::String("st")},
                              {"image", MorvLValue::Int(0)},
                              {"stIndex", MorvLValue::Int(0)},
                              {"transforms", MorvLValue::List({})},
                              {"coordinateSystem", MorvLValue::String("object")},
                              {"opacity", MorvLValue::Real(1.0)},
                              {"enabled", MorvLValue::Bool(true)}};
    for (const Field& c : changes) {
        auto it = std::find_if(fields.begin(), fields.end(), [&](const Field& f) { return f.name == c.name; });
        if (it == fields.end())
            fields.push_back(c);
        else if (c.value.kind() == Kind::ABSENT)
            fields.erase(it);
        else
            it->value = c.value;
    }
    return MorvLValue::Record(std::move(fields));
}

MorvLValue surface(const std::string& name, std::vector<MorvLValue> textures = {}, std::vector<Field> values = {}) {
    values.insert(values.begin(), {"name", MorvLValue::String(name)});
    values.push_back({"textures", MorvLValue::List(std::move(textures))});
    return MorvLValue::Record(std::move(values));
}

struct Face {
    std::vector<std::uint32_t> corners;
    std::int32_t surface;
};

MorvLValue scene(const std::vector<XYZ>& points, const std::vector<Face>& faces, std::vector<MorvLValue> surfaces,
                 std::vector<MorvLValue> images = {}) {
    MeshBuilder mesh;
    for (const XYZ& p : points) mesh.addVertex(p);
    for (const Face& f : faces) mesh.addFace(f.corners, MorvLValue::Int(f.surface));
    return makeScene(std::move(mesh).build(), std::move(surfaces), std::move(images));
}

const std::vector<XYZ> square{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};

// ---- Writing and reading back ----

struct Written {
    std::string rib;
    std::vector<RibRequest> requests;
    std::map<std::string, std::string> files;  // every file in the folder but the RIB, by name
    std::string messages;
};

std::string fileText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path freshFolder() {
    static int n = 0;
    const fs::path dir = fs::temp_directory_path() / ("morv3d-ri-" + std::to_string(::getpid()) + "-" + std::to_string(++n));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::map<std::string, std::string> filesIn(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir)) files[e.path().filename().string()] = fileText(e.path());
    return files;
}

Written exportScene(const MorvLValue& s, const std::string& platform = "Unix") {
    const fs::path dir = freshFolder();
    std::ostringstream messages;
    ExportRI::exportScene(s, (dir / "out.rib").string(), ExportSettings{512, 512, messages, platform});
    Written w;
    w.files = filesIn(dir);
    w.rib = w.files["out.rib"];
    w.files.erase("out.rib");
    w.requests = testing::scanRib(w.rib);
    w.messages = messages.str();
    fs::remove_all(dir);
    return w;
}

std::vector<RibRequest> named(const Written& w, const std::string& name) {
    std::vector<RibRequest> out;
    for (const RibRequest& r : w.requests)
        if (r.name == name) out.push_back(r);
    return out;
}

std::vector<std::string> requestNames(const Written& w) {
    std::vector<std::string> out;
    for (const RibRequest& r : w.requests) out.push_back(r.name);
    return out;
}

// ---- Tests ----

TEST(ExportRI, WritesTheFixedLayoutAroundEachSurface) {
    const Written w = exportScene(scene(square, {{{0, 1, 2}, 0}}, {surface("Skin", {}, {{"diffusion", MorvLValue::Real(0.5)}})}));
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
    ASSERT_EQ(w.files.count("Skin.sl"), 1u);
    EXPECT_EQ(w.files.at("Skin.sl").rfind("surface Skin (uniform float Kd = 0.5; uniform float Ks = 0.0; uniform float "
                                          "luminosity = 0.0)\n{\n",
                                          0),
              0u);
}

TEST(ExportRI, SurfaceNamesBecomeUniqueShaderIdentifiers) {
    const std::vector<std::pair<std::string, std::string>> names = {
        {"Wood 2", "Wood_2"}, {"Mat.001", "Mat_001"}, {"2ndCoat", "_2ndCoat"}, {"color", "_color"},
        {"../x", "___x"},     {"a/b", "a_b"},         {"", "_"},              {"Wood_2", "Wood_2_2"},
        {"Wood 2", "Wood_2_3"}, {"Plain_1", "Plain_1"}, {"diffuse", "_diffuse"}, {"UVTextureMap", "_UVTextureMap"},
        {std::string(300, 'x'), std::string(200, 'x')}};
    std::vector<std::string> in, expected;
    for (const auto& [name, id] : names) {
        in.push_back(name);
        expected.push_back(id);
    }
    EXPECT_EQ(ExportRI::shaderIdentifiers(in), expected);
}

// Two surfaces of one name used to write one shader file, the second replacing the first.
TEST(ExportRI, everySurfaceGetsItsOwnShaderFileBesideTheRib) {
    const Written w = exportScene(scene(square, {{{0, 1, 2}, 0}, {{0, 2, 3}, 1}},
                                        {surface("Wood 2"), surface("Wood 2"), surface("../x")}));
    std::set<std::string> files;
    for (const auto& [name, text] : w.files) files.insert(name);
    EXPECT_EQ(files, (std::set<std::string>{"Wood_2.sl", "Wood_2_2.sl", "___x.sl"}));
    std::vector<std::string> bound;
    for (const RibRequest& r : named(w, "Surface")) bound.push_back(r.strings().at(0));
    EXPECT_EQ(bound, (std::vector<std::string>{"Wood_2", "Wood_2_2", "___x"}));
    EXPECT_NE(w.files.at("Wood_2_2.sl").find("surface Wood_2_2 ("), std::string::npos);
}

// One request after all surfaces bound every polygon to the last surface.
TEST(ExportRI, eachSurfacesPolygonsFollowItsOwnStatementsWithOnlyTheirPoints) {
    const std::vector<XYZ> points{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 0}, {2, 1, 0}};
    const Written w = exportScene(scene(points, {{{1, 4, 5, 2}, 1}, {{0, 1, 2, 3}, 0}, {{2, 5, 3}, 1}},
                                        {surface("A"), surface("B"), surface("Empty")}));
    std::vector<std::string> order;
    for (const std::string& n : requestNames(w))
        if (n == "Surface" || n == "PointsGeneralPolygons") order.push_back(n);
    EXPECT_EQ(order, (std::vector<std::string>{"Surface", "PointsGeneralPolygons", "Surface", "PointsGeneralPolygons", "Surface"}));

    const auto polygons = named(w, "PointsGeneralPolygons");
    ASSERT_EQ(polygons.size(), 2u);
    const std::vector<std::vector<std::vector<XYZ>>> expected = {
        {{points[0], points[1], points[2], points[3]}},
        {{points[1], points[4], points[5], points[2]}, {points[2], points[5], points[3]}}};
    for (std::size_t k = 0; k < 2; ++k) {
        const RibRequest& r = polygons[k];
        const auto& nverts = r.arguments.at(1).numbers;
        const auto& verts = r.arguments.at(2).numbers;
        const std::vector<double> p = r.parameter("P")->numbers;
        std::vector<std::vector<XYZ>> faces;
        std::size_t at = 0;
        double highest = -1;
        for (double n : nverts) {
            faces.emplace_back();
            for (int c = 0; c < n; ++c, ++at) {
                const auto i = static_cast<std::size_t>(verts.at(at));
                highest = std::max(highest, verts.at(at));
                faces.back().push_back({p.at(3 * i), p.at(3 * i + 1), p.at(3 * i + 2)});
            }
        }
        EXPECT_EQ(faces, expected[k]);
        EXPECT_EQ(p.size(), 3 * static_cast<std::size_t>(highest + 1)) << "P holds only the points used";
    }
}

TEST(ExportRI, coordinatesOfCornersWithTheirOwnValuesAreFacevarying) {
    MeshBuilder mesh;
    for (const XYZ& p : square) mesh.addVertex(p);
    for (std::uint32_t v = 0; v < 4; ++v) {
        const std::optional<ST> slots[] = {ST{0.25 * v, 0.5}, ST{0.125 * v, 0.2}};
        mesh.setVertexSts(v, slots);
    }
    const std::uint32_t face[] = {0, 1, 2, 3};
    mesh.addFace(face, MorvLValue::Int(0));
    const std::optional<ST> own[] = {std::nullopt, ST{9, 8}};
    mesh.setCornerSts(2, own);
    const MorvLValue s = makeScene(std::move(mesh).build(),
                                   {surface("Uv", {texture(), texture({{"stIndex", MorvLValue::Int(1)}})})}, {image("a.tif")});
    const Written w = exportScene(s);

    std::map<std::string, std::string> declared;
    for (const RibRequest& r : named(w, "Declare")) declared[r.strings().at(0)] = r.strings().at(1);
    EXPECT_EQ(declared["s0"], "vertex float");
    EXPECT_EQ(declared["t0"], "vertex float");
    EXPECT_EQ(declared["s1"], "facevarying float");
    EXPECT_EQ(declared["t1"], "facevarying float");
    const RibRequest polygons = named(w, "PointsGeneralPolygons").at(0);
    EXPECT_EQ(polygons.parameter("s0")->numbers, (std::vector<double>{0, 0.25, 0.5, 0.75}));
    EXPECT_EQ(polygons.parameter("s1")->numbers, (std::vector<double>{0, 0.125, 9, 0.375}));
    EXPECT_EQ(polygons.parameter("t1")->numbers, (std::vector<double>{0.2, 0.2, 8, 0.2}));
    const std::string& shader = w.files.at("Uv.sl");
    EXPECT_NE(shader.find("varying float s1 = 0.0; varying float t1 = 0.0)"), std::string::npos) << shader;
    EXPECT_NE(shader.find("(UVTextureMap(textureName1, s1, t1))"), std::string::npos) << shader;
}

TEST(ExportRI, texturesAreMadeBeforeTheWorldOncePerImageTheShadersRead) {
    const MorvLValue s = scene(
        square, {{{0, 1, 2}, 0}, {{0, 2, 3}, 1}},
        {surface("Two", {texture({{"image", MorvLValue::Int(2)}, {"projection", MorvLValue::String("planar")}}), texture()}),
         surface("One", {texture(), texture({{"projection", MorvLValue::String("spherical")}, {"image", MorvLValue::Int(1)}})})},
        {image("a.tif"), image("unused.tif"), image("c.tif")});
    const Written w = exportScene(s);

    std::vector<std::vector<std::string>> made;
    for (const RibRequest& r : named(w, "MakeTexture")) made.push_back(r.strings());
    EXPECT_EQ(made, (std::vector<std::vector<std::string>>{{"a.tif", "a.tif.tex", "periodic", "periodic", "gaussian"},
                                                           {"c.tif", "c.tif.tex", "periodic", "periodic", "gaussian"}}));
    const auto names = requestNames(w);
    const auto world = std::find(names.begin(), names.end(), "WorldBegin");
    EXPECT_EQ(std::find(world, names.end(), "MakeTexture"), names.end()) << "no MakeTexture inside the world block";

    const RibRequest two = named(w, "Surface").at(0);
    EXPECT_EQ(two.parameter("textureName0")->strings, std::vector<std::string>{"c.tif.tex"});
    EXPECT_EQ(two.parameter("textureName1")->strings, std::vector<std::string>{"a.tif.tex"});
    const std::string& shader = w.files.at("Two.sl");
    EXPECT_NE(shader.find("uniform string textureName0 = \"c.tif.tex\"; uniform string textureName1 = \"a.tif.tex\""),
              std::string::npos)
        << shader;
    EXPECT_NE(shader.find("(PlanarTextureMap(textureName0, P, \"object\", xForm0))"), std::string::npos) << shader;
    EXPECT_EQ(shader.find("color PlanarTextureMap"), shader.rfind("color PlanarTextureMap")) << "defined once";
    EXPECT_EQ(named(w, "Surface").at(1).parameter("textureName1"), std::nullopt) << "the spherical texture is skipped";
}

// Every non-standard token of a request is declared before it.
TEST(ExportRI, everyTokenIsDeclaredBeforeUse) {
    const Written w = exportScene(scene(square, {{{0, 1, 2, 3}, 0}}, {surface("S", {texture(), texture()})}, {image("a.tif")}));
    EXPECT_EQ(testing::undeclaredTokens(w.requests), std::vector<std::string>{});
}

TEST(ExportRI, windowsTextureNamesAreEscapedInRibStrings) {
    const Written w =
        exportScene(scene(square, {{{0, 1, 2}, 0}}, {surface("S", {texture()})}, {image("C:\\textures\\new.tif")}), "Windows");
    EXPECT_NE(w.rib.find("MakeTexture \"C:\\\\textures\\\\new.tif\" \"C:\\\\textures\\\\new.tif.tex\""), std::string::npos)
        << w.rib;
    EXPECT_EQ(named(w, "MakeTexture").at(0).strings().at(0), "C:\\textures\\new.tif");
}

TEST(ExportRI, texturesInUnknownSpacesAreProjectedFromObjectSpace) {
    const auto planar = [](MorvLValue space) {
        return texture({{"projection", MorvLValue::String("planar")}, {"coordinateSystem", std::move(space)}});
    };
    const Written w = exportScene(scene(square, {{{0, 1, 2}, 0}},
                                        {surface("S", {planar(MorvLValue::String("unknown")), planar(MorvLValue::Absent()),
                                                       planar(MorvLValue::String("world"))})},
                                        {image("a.tif")}));
    const std::string& shader = w.files.at("S.sl");
    EXPECT_NE(shader.find("(PlanarTextureMap(textureName0, P, \"object\", xForm0))"), std::string::npos) << shader;
    EXPECT_NE(shader.find("(PlanarTextureMap(textureName1, P, \"object\", xForm1))"), std::string::npos) << shader;
    EXPECT_NE(shader.find("(PlanarTextureMap(textureName2, P, \"world\", xForm2))"), std::string::npos) << shader;
    EXPECT_EQ(w.messages,
              "Internal Error: Expected field coordinateSystem not found in texture data!\n"
              "Writing RenderMan shader file S.sl\n");
}

// The placement matrix maps object space to texture space and is written for row vectors.
TEST(ExportRI, planarPlacementIsTheInverseTransposed) {
    const MorvLValue transforms = MorvLValue::List({MorvLValue::Sum("TranslateXYZ", makePointRecord(1, 2, 3)),
                                                    MorvLValue::Sum("ScaleXYZ", makePointRecord(2, 4, 0))});
    const Written w = exportScene(scene(square, {{{0, 1, 2}, 0}},
                                        {surface("S", {texture({{"projection", MorvLValue::String("planar")},
                                                                {"transforms", transforms}})})},
                                        {image("a.tif")}));
    EXPECT_NE(w.files.at("S.sl").find("uniform matrix xForm0 = (0.5, 0.0, 0.0, 0.0, 0.0, 0.25, 0.0, 0.0, 0.0, 0.0, 1, 0.0, "
                                      "-0.5, -0.5, -3, 1);"),
              std::string::npos)
        << w.files.at("S.sl");
}

TEST(ExportRI, missingTextureFieldsAreReportedAndTheTextureSkipped) {
    const Written w = exportScene(scene(square, {{{0, 1, 2}, 0}},
                                        {surface("S", {texture({{"textureChannel", MorvLValue::Absent()}}),
                                                       texture({{"image", MorvLValue::Absent()}}),
                                                       texture({{"transforms", MorvLValue::Absent()}})})},
                                        {image("a.tif")}));
    EXPECT_EQ(w.messages,
              "Expected field textureChannel not found in surface data!\n"
              "Internal Error: Expected field image not found in texture data!\n"
              "Internal Error: Expected field transforms not found in texture data!\n"
              "Writing RenderMan shader file S.sl\n");
    EXPECT_NE(w.files.at("S.sl").find("textureName0"), std::string::npos);
    EXPECT_EQ(w.files.at("S.sl").find("textureName1"), std::string::npos);
}

TEST(ExportRI, opacityIsOneMinusTransparencyAndTheShaderAppliesIt) {
    const Written w = exportScene(scene(square, {}, {surface("Glass", {}, {{"transparency", MorvLValue::Real(0.25)}}),
                                                     surface("Gone", {}, {{"transparency", MorvLValue::Real(2.0)}})}));
    const auto opacities = named(w, "Opacity");
    EXPECT_EQ(opacities.at(0).arguments.at(0).numbers, (std::vector<double>{0.75, 0.75, 0.75}));
    EXPECT_EQ(opacities.at(1).arguments.at(0).numbers, (std::vector<double>{0, 0, 0}));
    EXPECT_NE(w.files.at("Glass.sl").find("  Oi = Os;\n  Ci = (Ci * Oi);\n}\n"), std::string::npos);
}

TEST(ExportRI, bumpMovesThePointAlongTheNormalByOpacityTimesAmplitudeOver35) {
    const Written w = exportScene(scene(square, {{{0, 1, 2}, 0}},
                                        {surface("B", {texture({{"textureChannel", MorvLValue::String("bump")},
                                                                {"opacity", MorvLValue::Real(0.5)},
                                                                {"value", MorvLValue::Real(2.0)}})})},
                                        {image("a.tif")}));
    const std::string& shader = w.files.at("B.sl");
    EXPECT_NE(shader.find("varying point bumpedP = (P - (((comp(bumpColor, 0.0)) * 0.0285714285714) * (normalize(N))));"),
              std::string::npos)
        << shader;
    EXPECT_NE(shader.find("varying normal Nn = (normalize((calculatenormal(bumpedP))));"), std::string::npos) << shader;
}

TEST(ExportRI, scenesWithoutFacesWriteNoPolygonRequest) {
    const Written w = exportScene(scene({}, {}, {surface("S")}));
    EXPECT_TRUE(named(w, "PointsGeneralPolygons").empty());
    EXPECT_EQ(named(w, "Surface").size(), 1u);
    const Written none = exportScene(scene(square, {}, {}));
    EXPECT_TRUE(named(none, "Declare").empty());
    EXPECT_EQ(requestNames(none).back(), "FrameEnd");
}

TEST(ExportRI, polygonsOfFewerThanThreeCornersAreLeftOutWithAWarning) {
    const Written w = exportScene(scene(square, {{{0, 1}, 0}, {{0, 1, 2}, 0}, {{3}, 0}}, {surface("S")}));
    EXPECT_EQ(named(w, "PointsGeneralPolygons").at(0).arguments.at(1).numbers, std::vector<double>{3});
    EXPECT_NE(w.messages.find("Warning: 2 polygons with fewer than 3 corners are left out"), std::string::npos);
}

// A scene without surfaces still shows its geometry, with the renderer's default surface.
TEST(ExportRI, polygonsOfNoSurfaceComeBeforeEverySurfaceStatement) {
    const Written none = exportScene(scene(square, {{{0, 1, 2}, 0}}, {}));
    EXPECT_EQ(requestNames(none), (std::vector<std::string>{"version", "LightSource", "Format", "Projection", "Translate",
                                                            "FrameBegin", "WorldBegin", "TransformBegin", "Translate",
                                                            "Rotate", "Rotate", "Scale", "PointsGeneralPolygons",
                                                            "TransformEnd", "WorldEnd", "FrameEnd"}));
    EXPECT_EQ(none.messages,
              "Warning: 1 polygons belong to no surface of the scene; they are written first, with the renderer's "
              "default surface\n");
    const Written some = exportScene(scene(square, {{{0, 1, 2}, 0}, {{0, 2, 3}, 7}}, {surface("S")}));
    const auto names = requestNames(some);
    const auto firstPolygons = std::find(names.begin(), names.end(), "PointsGeneralPolygons");
    EXPECT_LT(firstPolygons - names.begin(), std::find(names.begin(), names.end(), "Declare") - names.begin());
    EXPECT_EQ(named(some, "PointsGeneralPolygons").at(0).arguments.at(2).numbers, (std::vector<double>{0, 1, 2}));
}

struct Failure {
    const char* name;
    MorvLValue scene;
    const char* message;
};

// A failure leaves no RIB, no shader and no temporary file behind.
TEST(ExportRI, failuresEndTheFileWithAClearErrorAndNothingWritten) {
    const double nan = std::nan("");
    std::vector<Field> badFace;
    const std::vector<Failure> failures = {
        {"vertex not a number", scene({{0, 0, 0}, {1, nan, 0}, {1, 1, 0}}, {{{0, 1, 2}, 0}}, {surface("S")}),
         "Vertex 1 lies at (1, nan, 0.0) after the transforms; a coordinate that is not a finite number cannot be "
         "written to a RIB file"},
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
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.name);
        const fs::path dir = freshFolder();
        std::ostringstream messages;
        EXPECT_THROW_MSG(ExportRI::exportScene(f.scene, (dir / "out.rib").string(), ExportSettings{512, 512, messages}),
                         Error, f.message);
        EXPECT_TRUE(filesIn(dir).empty());
        fs::remove_all(dir);
    }
}

TEST(ExportRI, texturesCoordinatesThatAreNotNumbersLeaveNothingBehind) {
    MeshBuilder mesh;
    for (const XYZ& p : square) mesh.addVertex(p);
    const std::optional<ST> slots[] = {ST{std::nan(""), 0}};
    mesh.setVertexSts(2, slots);
    const std::uint32_t face[] = {0, 1, 2};
    mesh.addFace(face, MorvLValue::Int(0));
    const fs::path dir = freshFolder();
    std::ostringstream messages;
    EXPECT_THROW_MSG(ExportRI::exportScene(makeScene(std::move(mesh).build(), {surface("S", {texture()})}, {image("a.tif")}),
                                           (dir / "out.rib").string(), ExportSettings{512, 512, messages}),
                     Error,
                     "Texture coordinate s of set 0 at vertex 2 is nan, which is not a finite number; RIB files and "
                     "shaders hold finite numbers only");
    EXPECT_TRUE(filesIn(dir).empty());
    fs::remove_all(dir);
}

TEST(ExportRI, aShaderFileNeverReplacesTheRibItself) {
    const fs::path dir = freshFolder();
    std::ostringstream messages;
    EXPECT_THROW(ExportRI::exportScene(scene(square, {}, {surface("S")}), (dir / "S.sl").string(),
                                       ExportSettings{512, 512, messages}),
                 Error);
    EXPECT_TRUE(filesIn(dir).empty());
    fs::remove_all(dir);
}

// The fuzzer's kept inputs, read and written as RIB: each ends in files or in
// one of the system's errors, and a failure leaves nothing behind.
TEST(ExportRI, everyKeptFuzzInputIsWrittenOrRefusedCleanly) {
    const fs::path corpus = fs::path(MORV3D_SOURCE_DIR) / "tests/fuzz/corpus";
    const fs::path dir = freshFolder();
    int written = 0;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        const std::string text = fileText(entry.path());
        const std::vector<std::uint8_t> bytes(text.begin(), text.end());
        std::ostringstream messages;
        for (int reader = 0; reader < 2; ++reader) {
            MorvLValue scene;
            try {
                scene = reader == 0 ? parseLWO2Bytes(bytes, messages)->toCanonical(messages)
                                    : readLWOBSceneFromBytes(bytes, messages);
            } catch (const MorvException&) {
                continue;
            }
            try {
                ExportRI::exportScene(scene, (dir / "out.rib").string(), ExportSettings{512, 512, messages});
                ++written;
                testing::scanRib(fileText(dir / "out.rib"));
            } catch (const MorvException&) {
                EXPECT_TRUE(filesIn(dir).empty()) << entry.path();
            }
            for (const auto& f : fs::directory_iterator(dir)) fs::remove(f.path());
        }
    }
    EXPECT_GT(written, 100);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace morv
