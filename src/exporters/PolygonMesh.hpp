// The polygon mesh that the LWO2 and brush writers unpack from a scene: its
// points in index order and every face's corner vertex indices in stored
// order, read from the scene's mesh in place so that a large mesh is not copied.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "scene/MorvLValue.hpp"

namespace morv {

struct PolygonMesh {
    MorvLValue mesh;
    std::size_t vertexCount = 0;
    std::size_t faceCount = 0;

    void forEachPoint(const std::function<void(const XYZ&)>& fn) const;
    void forEachFace(const std::function<void(std::size_t face, std::span<const std::int32_t> corners)>& fn) const;
};

// A scene without a mesh record (with its vertices and faces lists) or without
// its surfaces list raises Error("Internal Error: Scene does not contain
// expected mesh and surface data in function unpackPolygonMeshTop!\n").
PolygonMesh unpackPolygonMeshTop(const MorvLValue& scene);

// Raises that same error naming another function.
[[noreturn]] void raiseMissingSceneData(const char* function);

}  // namespace morv
