#include "scene/BMorvLTransformMesh.hpp"

#include "base/Excn.hpp"
#include "scene/BMorvLCoordTransforms.hpp"
#include "scene/MorvLTransformMesh.hpp"

namespace morv::BMorvLTransformMesh {

MorvLValue transformMeshObject(const MorvLValue& scene, const MorvLValue& transforms) {
    if (scene.kind() != Kind::BUILDINGRECORD)
        throw Error("Expected BUILDINGRECORD type not found in function BMorvLTransformMesh.transformMeshObject!\n");
    const Matrix4x4 m = BMorvLCoordTransforms::transformToMatrix4x4(transforms);
    if (transforms.size() == 0) return scene;
    return transformMeshPoints(scene, m);
}

}  // namespace morv::BMorvLTransformMesh
