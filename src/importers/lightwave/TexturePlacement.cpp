#include "importers/lightwave/TexturePlacement.hpp"

#include <vector>

#include "scene/MorvLCoordTransforms.hpp"

namespace morv {

MorvLValue textureTransforms(const XYZ& center, const XYZ& rotation, const XYZ& size, std::int32_t axis) {
    constexpr double quarterTurn = 1.5707963267948966;
    std::vector<MorvLValue> list;
    list.reserve(7);
    list.push_back(makeTranslateXYZ(center.x, center.y, center.z));
    list.push_back(makeRotateY(rotation.x));
    list.push_back(makeRotateX(rotation.y));
    list.push_back(makeRotateZ(rotation.z));
    list.push_back(makeScaleXYZ(size.x, size.y, size.z));
    if (axis == 0)
        list.push_back(makeRotateY(-quarterTurn));
    else if (axis == 1)
        list.push_back(makeRotateX(quarterTurn));
    // The image square is centred on the origin before anything else acts on it.
    list.push_back(makeTranslateXYZ(-0.5, -0.5, 0.0));
    return MorvLValue::List(std::move(list));
}

}  // namespace morv
