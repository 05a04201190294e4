// The transform operations for scenes under construction: point arguments of
// ScaleXYZ and TranslateXYZ are BUILDINGRECORD values, and messages name
// BMorvLCoordTransforms.
#pragma once

#include "scene/MorvLCoordTransforms.hpp"

namespace morv::BMorvLCoordTransforms {

inline constexpr TransformFlavour flavour{"BMorvLCoordTransforms", Kind::BUILDINGRECORD};

MorvLValue makeScaleXYZ(double x, double y, double z);
MorvLValue makeTranslateXYZ(double x, double y, double z);
Matrix4x4 transformToMatrix4x4(const MorvLValue& transforms);
MorvLValue invertTransformF(const MorvLValue& transform);
MorvLValue mapSUMVALUE(const std::function<MorvLValue(const MorvLValue&)>& fn, const MorvLValue& transforms);
MorvLValue invertTransformList(const MorvLValue& transforms);

}  // namespace morv::BMorvLCoordTransforms
