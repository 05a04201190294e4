#include "scene/MorvLTransformMesh.hpp"

#include <vector>

#include "base/Excn.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/MorvLCoordTransforms.hpp"
#include "scene/Vector.hpp"

namespace morv {
namespace {

void requireRecord(const MorvLValue& v, const char* message) {
    if (v.kind() != Kind::RECORD) throw Error(message);
}

// The elements of a and then those of b.
MorvLValue concatenate(const MorvLValue& a, const MorvLValue& b) {
    std::vector<MorvLValue> items = a.items();
    const std::size_t n = b.size();
    items.reserve(items.size() + n);
    for (std::size_t i = 0; i < n; ++i) items.push_back(b.at(i));
    return MorvLValue::List(std::move(items));
}

// Sign of the volume change of m's linear part: negative for a mirroring.
double linearDeterminant(const Matrix4x4& m) {
    const auto& r = m.rows;
    return r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) - r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
           r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
}

// A mirrored face shows its back where its front was; reversing its corners
// turns it outward again, so no writer turns a mirrored object inside out.
MorvLValue reverseMirroredFaces(const MorvLValue& scene) {
    const Fields sceneFields = scene.fields();
    const Fields mesh = getRecordField(sceneFields, "mesh");
    const MorvLValue faces = reverseFaceWindings(requireField(mesh, "faces"));
    return setField(sceneFields, "mesh", setField(mesh, "faces", faces).record()).record();
}

// Brush placements kept by the faces move with the points: the origin as a
// point, the texture vectors as gradients (by the inverse transpose of the
// linear part), so that every point of a face shows the texel it showed.
// A transform that flattens the object leaves no placement to keep.
MorvLValue moveFacePlacements(const MorvLValue& scene, const Matrix4x4& m) {
    const Fields sceneFields = scene.fields();
    const MorvLValue mesh = requireField(sceneFields, "mesh");
    if (FacePlacements(mesh).size() == 0) return scene;
    Matrix4x4 linear = m;
    for (int i = 0; i < 3; ++i) linear.rows[i][3] = 0;
    MorvLValue moved;
    try {
        const Matrix4x4 inverse = Matrix4x4Mult::invert(linear);
        const auto gradient = [&](const XYZ& v) {
            const auto& r = inverse.rows;
            return XYZ{r[0][0] * v.x + r[1][0] * v.y + r[2][0] * v.z, r[0][1] * v.x + r[1][1] * v.y + r[2][1] * v.z,
                       r[0][2] * v.x + r[1][2] * v.y + r[2][2] * v.z};
        };
        moved = mapFacePlacements(mesh, [&](const FacePlacement& p) {
            return FacePlacement{Matrix4x4::Trans::transformPoint(m, p.origin), gradient(p.textureU),
                                 gradient(p.textureV), p.pan};
        });
    } catch (const EGeneric&) {
        moved = setField(mesh.fields(), facePlacementsField, MorvLValue::List({})).record();
    }
    return setField(sceneFields, "mesh", moved).record();
}

// The mesh's own normals turn with its points: by the inverse transpose of
// the linear part, which keeps them across the moved faces and, under a
// mirroring, on the side they were on. A transform that flattens the object
// leaves none to keep.
MorvLValue turnMeshNormals(const MorvLValue& scene, const Matrix4x4& m) {
    const Fields sceneFields = scene.fields();
    const MorvLValue mesh = requireField(sceneFields, "mesh");
    std::vector<MeshNormal> normals = meshNormals(mesh);
    if (normals.empty()) return scene;
    Matrix4x4 linear = m;
    for (int i = 0; i < 3; ++i) linear.rows[i][3] = 0;
    try {
        const Matrix4x4 inverse = Matrix4x4Mult::invert(linear);
        const auto& r = inverse.rows;
        for (MeshNormal& n : normals) {
            const XYZ v = n.normal;
            n.normal = normalized({r[0][0] * v.x + r[1][0] * v.y + r[2][0] * v.z, r[0][1] * v.x + r[1][1] * v.y + r[2][1] * v.z,
                                   r[0][2] * v.x + r[1][2] * v.y + r[2][2] * v.z});
        }
    } catch (const EGeneric&) {
        normals.clear();
    }
    const MorvLValue turned = normals.empty() ? setField(mesh.fields(), meshNormalsField, MorvLValue::List({})).record()
                                              : withMeshNormals(mesh, normals);
    return setField(sceneFields, "mesh", turned).record();
}

}  // namespace

MorvLValue transformMeshPoints(const MorvLValue& scene, const Matrix4x4& m) {
    const Fields sceneFields = scene.fields();
    const Fields mesh = getRecordField(sceneFields, "mesh");
    const MorvLValue vertices = requireField(mesh, "vertices");
    const auto move = [&m](const XYZ& p) { return Matrix4x4::Trans::transformPoint(m, p); };
    Fields movedMesh = setField(mesh, "vertices", mapVertexPoints(vertices, move));
    // Layer pivots lie among the points and move with them.
    if (const auto layers = mesh.find("layers"); layers && layers->kind() == Kind::LIST) {
        std::vector<MorvLValue> moved;
        for (std::size_t i = 0; i < layers->size(); ++i) {
            const MorvLValue layer = layers->at(i);
            const auto pivot = layer.isRecord() ? layer.fields().find("pivot") : std::nullopt;
            if (!pivot || !pivot->isRecord()) {
                moved.push_back(layer);
                continue;
            }
            const XYZ p = move(RecordToXYZ(pivot->fields()));
            moved.push_back(setField(layer.fields(), "pivot", makePointRecord(p.x, p.y, p.z)).record());
        }
        movedMesh = setField(movedMesh, "layers", MorvLValue::List(std::move(moved)));
    }
    return setField(sceneFields, "mesh", movedMesh.record()).record();
}

MorvLValue transformMeshObject(const MorvLValue& scene, const MorvLValue& transforms) {
    requireRecord(scene, "Expected RECORD type not found in function MorvLTransformMesh.transformMeshObject!\n");
    const Matrix4x4 m = transformToMatrix4x4(transforms);
    if (transforms.size() == 0) return scene;
    MorvLValue moved = turnMeshNormals(moveFacePlacements(transformMeshPoints(scene, m), m), m);
    if (linearDeterminant(m) < 0) moved = reverseMirroredFaces(moved);
    return transformMeshTextures(moved, transforms);
}

MorvLValue transformMeshObject(const MorvLValue& scene, const MorvLValue& transforms, double scale) {
    if (scale == 1.0) return transformMeshObject(scene, transforms);
    return transformMeshObject(scene, concatenate(MorvLValue::List({makeScaleXYZ(scale, scale, scale)}), transforms));
}

MorvLValue transformMeshTextures(const MorvLValue& scene, const MorvLValue& transforms) {
    static constexpr const char* kMessage =
        "Expected RECORD type not found in function MorvLTransformMesh.transformMeshTextures!\n";
    requireRecord(scene, kMessage);
    const Fields sceneFields = scene.fields();
    requireField(sceneFields, "surfaces");
    const MorvLValue surfaces = getListField(sceneFields, "surfaces", MorvLValue::List({}));
    const std::size_t n = surfaces.size();
    std::vector<MorvLValue> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        MorvLValue surface = surfaces.at(i);
        requireRecord(surface, kMessage);
        const Fields fields = surface.fields();
        const auto textures = fields.find("textures");
        if (textures && !(textures->kind() == Kind::LIST && textures->size() == 0))
            surface = setField(fields, "textures", transformTextures(*textures, transforms)).record();
        out.push_back(std::move(surface));
    }
    return setField(sceneFields, "surfaces", MorvLValue::List(std::move(out))).record();
}

MorvLValue transformTextures(const MorvLValue& textures, const MorvLValue& transforms) {
    if (textures.kind() != Kind::LIST)
        throw Error("Expected RECORD type not found in function MorvLTransformMesh.transformTextures\n");
    const std::size_t n = textures.size();
    std::vector<MorvLValue> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(transformTexture(textures.at(i), transforms));
    return MorvLValue::List(std::move(out));
}

MorvLValue transformTexture(const MorvLValue& texture, const MorvLValue& transforms) {
    requireRecord(texture, "Expected RECORD type not found in function MorvLTransformMesh.transformTexture!\n");
    const Fields fields = texture.fields();
    // A texture without a placement of its own lies in object space as it is.
    const MorvLValue own = getListField(fields, "transforms", MorvLValue::List({}));
    return setField(fields, "transforms", concatenate(transforms, own)).record();
}

}  // namespace morv
