#include "exporters/PolygonMesh.hpp"

#include <string>

#include "base/Excn.hpp"
#include "scene/CanonicalScene.hpp"

namespace morv {
[[noreturn]] void raiseMissingSceneData(const char* function) {
    throw Error(std::string("Internal Error: Scene does not contain expected mesh and surface data in function ") +
                function + "!\n");
}

PolygonMesh unpackPolygonMeshTop(const MorvLValue& scene) {
    if (!scene.isRecord()) raiseMissingSceneData("unpackPolygonMeshTop");
    const Fields top = scene.fields();
    const auto mesh = top.find("mesh");
    const auto surfaces = top.find("surfaces");
    if (!mesh || !mesh->isRecord() || !surfaces || surfaces->kind() != Kind::LIST)
        raiseMissingSceneData("unpackPolygonMeshTop");
    const Fields meshFields = mesh->fields();
    const auto vertices = meshFields.find("vertices");
    const auto faces = meshFields.find("faces");
    if (!vertices || vertices->kind() != Kind::LIST || !faces || faces->kind() != Kind::LIST)
        raiseMissingSceneData("unpackPolygonMeshTop");

    return PolygonMesh{*mesh, vertices->size(), faces->size()};
}

void PolygonMesh::forEachPoint(const std::function<void(const XYZ&)>& fn) const { forEachVertexPoint(mesh, fn); }

void PolygonMesh::forEachFace(
    const std::function<void(std::size_t face, std::span<const std::int32_t> corners)>& fn) const {
    std::size_t face = 0;
    ::morv::forEachFace(mesh, [&](std::span<const std::int32_t> corners, const MorvLValue&) { fn(face++, corners); });
}

}  // namespace morv
