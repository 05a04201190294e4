#include "scene/TexturePlacement.hpp"

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "scene/MorvLCoordTransforms.hpp"

namespace morv {
namespace {

// A turn stored as a single float that is a whole number of degrees up to
// that rounding becomes an IntDegRotate, so quarter turns are exact (cos 90°
// as 6e-17 would tilt axis-aligned projections off the axes); any other
// angle, and no turn at all, keeps its radians.
MorvLValue turn(double radians, MorvLValue (*exact)(std::int32_t), MorvLValue (*inRadians)(double)) {
    const double degrees = std::round(radians * 180 / std::numbers::pi);
    const double tolerance = 8 * std::numeric_limits<float>::epsilon() * std::fabs(radians);
    const bool whole = std::fabs(radians - degrees * std::numbers::pi / 180) <= tolerance;
    if (whole && degrees != 0 && std::fabs(degrees) <= 360000) return exact(static_cast<std::int32_t>(degrees));
    return inRadians(radians);
}

}  // namespace

MorvLValue textureTransforms(const XYZ& center, const XYZ& rotation, const XYZ& size, std::int32_t axis) {
    std::vector<MorvLValue> list;
    list.reserve(7);
    list.push_back(makeTranslateXYZ(center.x, center.y, center.z));
    list.push_back(turn(rotation.x, makeIntDegRotateY, makeRotateY));
    list.push_back(turn(rotation.y, makeIntDegRotateX, makeRotateX));
    list.push_back(turn(rotation.z, makeIntDegRotateZ, makeRotateZ));
    list.push_back(makeScaleXYZ(size.x, size.y, size.z));
    if (axis == 0)
        list.push_back(makeIntDegRotateY(-90));
    else if (axis == 1)
        list.push_back(makeIntDegRotateX(90));
    // The image square is centred on the origin before anything else acts on it.
    list.push_back(makeTranslateXYZ(-0.5, -0.5, 0.0));
    return MorvLValue::List(std::move(list));
}

}  // namespace morv
