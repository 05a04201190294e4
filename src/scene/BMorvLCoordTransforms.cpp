#include "scene/BMorvLCoordTransforms.hpp"

namespace morv::BMorvLCoordTransforms {

MorvLValue makeScaleXYZ(double x, double y, double z) { return morv::makeScaleXYZ(x, y, z, flavour); }
MorvLValue makeTranslateXYZ(double x, double y, double z) { return morv::makeTranslateXYZ(x, y, z, flavour); }
Matrix4x4 transformToMatrix4x4(const MorvLValue& transforms) { return morv::transformToMatrix4x4(transforms, flavour); }
MorvLValue invertTransformF(const MorvLValue& transform) { return morv::invertTransformF(transform, flavour); }
MorvLValue mapSUMVALUE(const std::function<MorvLValue(const MorvLValue&)>& fn, const MorvLValue& transforms) {
    return morv::mapSUMVALUE(fn, transforms, flavour);
}
MorvLValue invertTransformList(const MorvLValue& transforms) { return morv::invertTransformList(transforms, flavour); }

}  // namespace morv::BMorvLCoordTransforms
