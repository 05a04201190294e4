// What every writer takes from a scene before it writes: the unpacking of the
// scene's mesh, surfaces and images (shared values, nothing is copied), the
// checked grouping of the faces by surface, and the writers' common messages
// about broken scenes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv {

class MeshView;

struct PolygonMesh {
    MorvLValue mesh;      // a record with vertices and faces lists; read it through a MeshView
    MorvLValue surfaces;  // a list
    MorvLValue images;    // a list, empty when the scene has none
    std::size_t vertexCount = 0;
    std::size_t faceCount = 0;
};

// A scene without a mesh record (with its vertices and faces lists) or without
// its surfaces list raises Error("Internal Error: Scene does not contain
// expected mesh and surface data in function " + function + "!\n"). With
// listsApart, a mesh record without its lists says "expected face and vertex
// data" instead (the RIB writer's message).
PolygonMesh unpackPolygonMesh(const MorvLValue& scene, const char* function, bool listsApart = false);

// unpackPolygonMesh naming unpackPolygonMeshTop.
PolygonMesh unpackPolygonMeshTop(const MorvLValue& scene);

// Raises that same error naming another function.
[[noreturn]] void raiseMissingSceneData(const char* function);

// Raises Error("Corner C of face F refers to vertex V, which is not one of
// the N vertices of the mesh").
[[noreturn]] void raiseCornerBeyondVertices(std::size_t corner, std::size_t face, std::int32_t vertex,
                                            std::size_t vertexCount);

// The faces of a mesh grouped by surface.
struct FaceGroups {
    std::vector<std::uint32_t> faces;  // grouped by surface, in file order within a group
    std::vector<std::size_t> first;    // group g holds faces[first[g] .. first[g + 1])
    std::size_t skipped = 0;           // faces of fewer corners than asked for, in no group
    // Group s < surface count: the faces of surface s; the group after them:
    // the faces that name no surface of the scene.
    std::span<const std::uint32_t> of(std::size_t group) const {
        return std::span<const std::uint32_t>(faces).subspan(first[group], first[group + 1] - first[group]);
    }
};

// Checks every face's corner indices (raiseCornerBeyondVertices) and groups
// the faces of at least fewestCorners corners by surface, with a counting
// sort: two passes, no allocation per face.
FaceGroups groupFacesBySurface(const MeshView& view, std::size_t surfaceCount, std::size_t fewestCorners);

}  // namespace morv
