#include "exporters/PolygonMesh.hpp"

#include <string>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "scene/CanonicalScene.hpp"

namespace morv {
[[noreturn]] void raiseCornerBeyondVertices(std::size_t corner, std::size_t face, std::int32_t vertex,
                                            std::size_t vertexCount) {
    throw Error("Corner " + intToText(static_cast<std::int64_t>(corner)) + " of face " +
                intToText(static_cast<std::int64_t>(face)) + " refers to vertex " + intToText(vertex) +
                ", which is not one of the " + intToText(static_cast<std::int64_t>(vertexCount)) +
                " vertices of the mesh");
}

FaceGroups groupFacesBySurface(const MeshView& view, std::size_t surfaceCount, std::size_t fewestCorners) {
    const std::size_t faceCount = view.faceCount(), vertexCount = view.vertexCount();
    const std::size_t unbound = surfaceCount, left = surfaceCount + 1;
    std::vector<std::uint32_t> groupOf(faceCount);
    FaceGroups g;
    g.first.assign(surfaceCount + 2, 0);
    for (std::size_t f = 0; f < faceCount; ++f) {
        const auto corners = view.corners(f);
        for (std::size_t c = 0; c < corners.size(); ++c)
            if (corners[c] < 0 || static_cast<std::size_t>(corners[c]) >= vertexCount)
                raiseCornerBeyondVertices(c, f, corners[c], vertexCount);
        const auto s = view.surface(f);
        std::size_t group = s && *s >= 0 && static_cast<std::size_t>(*s) < surfaceCount ? static_cast<std::size_t>(*s) : unbound;
        if (corners.size() < fewestCorners) {
            ++g.skipped;
            group = left;
        } else {
            ++g.first[group + 1];
        }
        groupOf[f] = static_cast<std::uint32_t>(group);
    }
    for (std::size_t k = 0; k + 1 < g.first.size(); ++k) g.first[k + 1] += g.first[k];
    g.faces.resize(g.first[left]);
    std::vector<std::size_t> next(g.first.begin(), g.first.end() - 1);
    for (std::size_t f = 0; f < faceCount; ++f)
        if (groupOf[f] != left) g.faces[next[groupOf[f]]++] = static_cast<std::uint32_t>(f);
    return g;
}

[[noreturn]] void raiseMissingSceneData(const char* function) {
    throw Error(std::string("Internal Error: Scene does not contain expected mesh and surface data in function ") +
                function + "!\n");
}

PolygonMesh unpackPolygonMesh(const MorvLValue& scene, const char* function, bool listsApart) {
    if (!scene.isRecord()) raiseMissingSceneData(function);
    const Fields top = scene.fields();
    const auto mesh = top.find("mesh");
    const auto surfaces = top.find("surfaces");
    if (!mesh || !mesh->isRecord() || !surfaces || surfaces->kind() != Kind::LIST) raiseMissingSceneData(function);
    const Fields meshFields = mesh->fields();
    const auto vertices = meshFields.find("vertices");
    const auto faces = meshFields.find("faces");
    if (!vertices || vertices->kind() != Kind::LIST || !faces || faces->kind() != Kind::LIST) {
        if (!listsApart) raiseMissingSceneData(function);
        throw Error(std::string("Internal Error: Scene does not contain expected face and vertex data in function ") +
                    function + "!\n");
    }
    const auto images = top.find("images");
    return PolygonMesh{*mesh, *surfaces, images && images->kind() == Kind::LIST ? *images : MorvLValue::List({}),
                       vertices->size(), faces->size()};
}

PolygonMesh unpackPolygonMeshTop(const MorvLValue& scene) { return unpackPolygonMesh(scene, "unpackPolygonMeshTop"); }

}  // namespace morv
