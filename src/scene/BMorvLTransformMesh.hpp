// Moves the mesh points of a scene that an importer is still building.
#pragma once

#include "scene/MorvLValue.hpp"

namespace morv::BMorvLTransformMesh {

// scene: a BUILDINGRECORD scene; transforms: a LIST of transforms whose point
// arguments are BUILDINGRECORD values (BMorvLCoordTransforms). Only the mesh
// points are moved; placing the textures of a scene under construction is left
// to the importer that builds it.
MorvLValue transformMeshObject(const MorvLValue& scene, const MorvLValue& transforms);

}  // namespace morv::BMorvLTransformMesh
