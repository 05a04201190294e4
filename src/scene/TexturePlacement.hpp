// The placement of an image texture as a transform list, shared by the
// LightWave readers and the LWO2 writer, which must give back the same list.
#pragma once

#include <cstdint>

#include "scene/MorvLValue.hpp"

namespace morv {

// The LIST that maps texture space (the image covering 0..1 along s and t) to
// object space:
//   [TranslateXYZ center, RotateY heading, RotateX pitch, RotateZ bank,
//    ScaleXYZ size, axis turn, TranslateXYZ (-0.5, -0.5, 0)]
// rotation holds heading, pitch and bank (radians) in x, y and z; an angle that
// is a whole number of degrees up to single-float rounding is kept as an
// IntDegRotate of those degrees. The axis turn is IntDegRotateY(-90) for axis 0
// (x), IntDegRotateX(90) for axis 1 (y), and nothing for axis 2 (z) or any
// other value.
MorvLValue textureTransforms(const XYZ& center, const XYZ& rotation, const XYZ& size, std::int32_t axis);

}  // namespace morv
