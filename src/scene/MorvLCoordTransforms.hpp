// Coordinate transforms held as scene values: the eight SUMVALUE constructors,
// a transform list composed into one matrix, inversion, and the reader of the
// --coordTransformsLH option value.
//
// A list composes as M = T1·T2·…·Tn applied to column vectors, so its last
// transform acts on a point first. The empty list is the identity.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "scene/Matrix4x4.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {

// The module named in messages and the record kind that the point argument of
// ScaleXYZ and TranslateXYZ must have.
struct TransformFlavour {
    std::string_view module;
    Kind pointKind;
};
inline constexpr TransformFlavour finishedTransforms{"MorvLCoordTransforms", Kind::RECORD};

MorvLValue makeScaleXYZ(double x, double y, double z, const TransformFlavour& f = finishedTransforms);
MorvLValue makeTranslateXYZ(double x, double y, double z, const TransformFlavour& f = finishedTransforms);
MorvLValue makeRotateX(double radians);
MorvLValue makeRotateY(double radians);
MorvLValue makeRotateZ(double radians);
MorvLValue makeIntDegRotateX(std::int32_t degrees);
MorvLValue makeIntDegRotateY(std::int32_t degrees);
MorvLValue makeIntDegRotateZ(std::int32_t degrees);

// The matrix of one transform. Multiples of 90 degrees of the IntDegRotate
// constructors are built from exact 0, 1 and -1.
Matrix4x4 transformMatrix(const MorvLValue& transform, const TransformFlavour& f = finishedTransforms);
// The product of the matrices of a LIST of transforms, in list order.
Matrix4x4 transformToMatrix4x4(const MorvLValue& transforms, const TransformFlavour& f = finishedTransforms);

// The inverse of one transform (a zero scale factor inverts to 1.0).
MorvLValue invertTransformF(const MorvLValue& transform, const TransformFlavour& f = finishedTransforms);
// fn applied to every element of a LIST, each checked to be a SUMVALUE.
MorvLValue mapSUMVALUE(const std::function<MorvLValue(const MorvLValue&)>& fn, const MorvLValue& transforms,
                       const TransformFlavour& f = finishedTransforms);
// [Tn⁻¹, …, T1⁻¹]: its matrix is the inverse of the list's matrix.
MorvLValue invertTransformList(const MorvLValue& transforms, const TransformFlavour& f = finishedTransforms);

// Reads the value of --coordTransformsLH: items separated by blanks or commas,
// each "rx", "ry" or "rz" followed, directly or after blanks, by a signed angle
// in degrees. Whole angles give IntDegRotate*, others Rotate* in radians. The
// list holds the commands in reverse of the written order, so that the first
// command written acts first. Failures raise CLOptionsError.
MorvLValue parseCoordTransforms(std::string_view text);

}  // namespace morv
