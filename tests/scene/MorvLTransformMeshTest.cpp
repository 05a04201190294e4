#include "scene/MorvLTransformMesh.hpp"

#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/Excn.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/MorvLCoordTransforms.hpp"

namespace morv {
namespace {

MorvLValue list(std::vector<MorvLValue> items) { return MorvLValue::List(std::move(items)); }

MorvLValue texture(MorvLValue transforms) {
    return MorvLValue::Record({{"textureChannel", MorvLValue::String("color")},
                               {"projection", MorvLValue::String("planar")},
                               {"transforms", std::move(transforms)}});
}

MorvLValue surface(const char* name, std::vector<MorvLValue> textures) {
    return MorvLValue::Record({{"name", MorvLValue::String(name)}, {"textures", list(std::move(textures))}});
}

// Three unit points and one face; the texture of surface "a" is centred on (1, 0, 0).
MorvLValue smallScene() {
    MeshBuilder b;
    b.addVertex({1, 0, 0});
    b.addVertex({0, 1, 0});
    b.addVertex({0, 0, 1});
    const std::array<std::uint32_t, 3> face{0, 1, 2};
    b.addFace(face, MorvLValue::Int(0));
    return makeScene(std::move(b).build(),
                     {surface("a", {texture(list({makeTranslateXYZ(1, 0, 0)}))}), surface("b", {})}, {});
}

std::vector<XYZ> points(const MorvLValue& scene) {
    std::vector<XYZ> out;
    forEachVertexPoint(requireField(scene.fields(), "mesh"), [&out](const XYZ& p) { out.push_back(p); });
    return out;
}

MorvLValue textureOf(const MorvLValue& scene, std::size_t surfaceIndex) {
    const MorvLValue surfaces = requireField(scene.fields(), "surfaces");
    return requireField(surfaces.at(surfaceIndex).fields(), "textures").at(0);
}

XYZ textureCentre(const MorvLValue& tex) {
    return Matrix4x4::Trans::transformPoint(transformToMatrix4x4(requireField(tex.fields(), "transforms")), {0, 0, 0});
}

template <class F>
void expectError(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const Error& e) {
        EXPECT_EQ(e.message(), message);
    }
}

TEST(MorvLTransformMeshTest, QuarterTurnMovesPointsExactlyAndTexturesAlong) {
    const MorvLValue before = smallScene();
    const MorvLValue after = transformMeshObject(before, parseCoordTransforms("rz90"));
    EXPECT_EQ(points(after), (std::vector<XYZ>{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}));
    EXPECT_EQ(requireField(requireField(after.fields(), "mesh").fields(), "faces"),
              requireField(requireField(before.fields(), "mesh").fields(), "faces"));

    // The object's list goes in front of the texture's own one.
    const MorvLValue tex = textureOf(after, 0);
    EXPECT_EQ(requireField(tex.fields(), "transforms"), list({makeIntDegRotateZ(90), makeTranslateXYZ(1, 0, 0)}));
    EXPECT_EQ(textureCentre(textureOf(before, 0)), points(before)[0]);
    EXPECT_EQ(textureCentre(tex), points(after)[0]);
    EXPECT_EQ(getStringField(tex.fields(), "projection", ""), "planar");
    EXPECT_EQ(requireField(requireField(after.fields(), "surfaces").at(1).fields(), "textures"), list({}));

    // The given scene is left as it was.
    EXPECT_EQ(before, smallScene());
}

TEST(MorvLTransformMeshTest, EmptyListIsIdentity) {
    const MorvLValue scene = smallScene();
    EXPECT_EQ(transformMeshObject(scene, list({})), scene);
    EXPECT_EQ(transformMeshObject(scene, list({}), 1.0), scene);
}

TEST(MorvLTransformMeshTest, ScaleActsAfterTheList) {
    const MorvLValue scene = smallScene();
    EXPECT_EQ(points(transformMeshObject(scene, list({}), 2.0)),
              (std::vector<XYZ>{{2, 0, 0}, {0, 2, 0}, {0, 0, 2}}));
    // Translate first, then double: (1, 0, 0) -> (2, 0, 0) -> (4, 0, 0).
    const MorvLValue moved = transformMeshObject(scene, list({makeTranslateXYZ(1, 0, 0)}), 2.0);
    EXPECT_EQ(points(moved)[0], (XYZ{4, 0, 0}));
    EXPECT_EQ(textureCentre(textureOf(moved, 0)), (XYZ{4, 0, 0}));
}

TEST(MorvLTransformMeshTest, HandBuiltVerticesKeepTheirOtherFields) {
    const MorvLValue sts = MorvLValue::Array({makeSTRecord(0.25, 0.5)});
    const MorvLValue vertices =
        list({MorvLValue::Record({{"point", makePointRecord(1, 2, 3)}, {"sts", sts}})});
    const MorvLValue mesh = MorvLValue::Record({{"vertices", vertices}, {"faces", list({})}});
    const MorvLValue after = transformMeshObject(makeScene(mesh, {}, {}), list({makeScaleXYZ(2, 2, 2)}));
    const MorvLValue v = requireField(requireField(after.fields(), "mesh").fields(), "vertices").at(0);
    EXPECT_EQ(RecordToXYZ(getRecordField(v.fields(), "point")), (XYZ{2, 4, 6}));
    EXPECT_EQ(requireField(v.fields(), "sts"), sts);
}

TEST(MorvLTransformMeshTest, WrongKindsAreReported) {
    const MorvLValue scale = list({makeScaleXYZ(2, 2, 2)});
    const MorvLValue building = smallScene().asBuilding();
    expectError([&] { transformMeshObject(building, scale); },
                "Expected RECORD type not found in function MorvLTransformMesh.transformMeshObject!\n");
    expectError([&] { transformMeshTextures(MorvLValue::Int(1), scale); },
                "Expected RECORD type not found in function MorvLTransformMesh.transformMeshTextures!\n");
    expectError([&] { transformTextures(texture(list({})), scale); },
                "Expected RECORD type not found in function MorvLTransformMesh.transformTextures\n");
    expectError([&] { transformTextures(list({MorvLValue::String("t")}), scale); },
                "Expected RECORD type not found in function MorvLTransformMesh.transformTexture!\n");

    const MorvLValue pointless = list({MorvLValue::Record({{"sts", MorvLValue::Array({})}})});
    const MorvLValue mesh = MorvLValue::Record({{"vertices", pointless}, {"faces", list({})}});
    expectError([&] { transformMeshObject(makeScene(mesh, {}, {}), scale); },
                "Internal error: Expected record field \"point\" not found!\n");
}

}  // namespace
}  // namespace morv
