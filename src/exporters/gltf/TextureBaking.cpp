#include "exporters/gltf/TextureBaking.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

#include "base/Excn.hpp"
#include "scene/MorvLCoordTransforms.hpp"
#include "scene/Vector.hpp"

namespace morv {
namespace {

// The quarter turn that lays the image square across a texture's axis, as the
// readers put it into a planar texture's transform list, or its inverse.
Matrix4x4 axisTurn(int axis, bool inverse) {
    const int sign = inverse ? -1 : 1;
    if (axis == 0) return transformMatrix(makeIntDegRotateY(-90 * sign));
    if (axis == 1) return transformMatrix(makeIntDegRotateX(90 * sign));
    return Matrix4x4::identity();
}

Matrix4x4 shift(double x, double y) { return transformMatrix(makeTranslateXYZ(x, y, 0)); }

XYZ apply(const Matrix4x4& m, const XYZ& p) {
    const auto row = [&](int r) { return m.rows[r][0] * p.x + m.rows[r][1] * p.y + m.rows[r][2] * p.z + m.rows[r][3]; };
    const double w = row(3);
    return {row(0) / w, row(1) / w, row(2) / w};
}

double positiveOr1(double value) { return value > 0 && std::isfinite(value) ? value : 1.0; }

}  // namespace

std::optional<TextureBaking> TextureBaking::of(const Fields& texture) {
    std::string name = getStringField(texture, "projection", "");
    if (name == "unknown") {
        const std::string type = getStringField(texture, "textureType", "");
        name = type == "Cylindrical Image Map" ? "cylindrical"
             : type == "Spherical Image Map"   ? "spherical"
             : type == "Cubic Image Map"       ? "cube"
                                               : name;
    }
    TextureBaking b;
    if (name == "st") {
        b.stIndex_ = findIntegerField(texture, "stIndex").value_or(-1);
        if (b.stIndex_ < 0) return std::nullopt;  // no UV map to take coordinates from
        return b;
    }
    if (name == "planar") b.projection_ = Projection::Planar;
    else if (name == "cube") b.projection_ = Projection::Cube;
    else if (name == "cylindrical") b.projection_ = Projection::Cylindrical;
    else if (name == "spherical") b.projection_ = Projection::Spherical;
    else return std::nullopt;  // "front" follows a camera; "unknown" has no placement

    const MorvLValue transforms = getListField(texture, "transforms", MorvLValue::List({}));
    const Matrix4x4 toTexture = transformToMatrix4x4(invertTransformList(transforms));
    if (b.projection_ == Projection::Planar) {
        b.toTexture_[0] = toTexture;
        return b;
    }
    const std::int32_t axis = findIntegerField(texture, "axis").value_or(2);
    b.axis_ = axis >= 0 && axis <= 2 ? axis : 2;
    b.wrapWidth_ = positiveOr1(getRealField(texture, "wrapCountWidth", 1.0));
    b.wrapHeight_ = positiveOr1(getRealField(texture, "wrapCountHeight", 1.0));
    // The texture's frame: its transform list without the axis turn and the
    // image square's centring.
    const Matrix4x4 toFrame = axisTurn(b.axis_, false) * shift(-0.5, -0.5) * toTexture;
    if (b.projection_ != Projection::Cube) {
        b.toTexture_[0] = toFrame;
        return b;
    }
    b.frameAxes_ = {XYZ{1, 0, 0}, XYZ{0, 1, 0}, XYZ{0, 0, 1}};
    try {
        const Matrix4x4 frame = Matrix4x4Mult::invert(toFrame);
        for (int a = 0; a < 3; ++a)
            b.frameAxes_[a] = normalized({frame.rows[0][a], frame.rows[1][a], frame.rows[2][a]});
    } catch (const EGeneric&) {  // a frame of zero size keeps the object's axes
    }
    for (int a = 0; a < 3; ++a) b.toTexture_[a] = shift(0.5, 0.5) * axisTurn(a, true) * toFrame;
    return b;
}

UV TextureBaking::planar(const Matrix4x4& toTexture, const XYZ& p) const {
    const XYZ q = apply(toTexture, p);
    return {q.x, 1 - q.y};
}

int TextureBaking::bake(const std::array<XYZ, 3>& points, const std::array<std::optional<ST>, 3>& sts,
                        const XYZ& normal, std::array<UV, 3>& out) const {
    int missing = 0;
    switch (projection_) {
        case Projection::St:
            for (int k = 0; k < 3; ++k) {
                out[k] = sts[k] ? UV{sts[k]->s * scaleU_, (1 - sts[k]->t) * scaleV_} : UV{};
                missing += !sts[k];
            }
            break;
        case Projection::Planar:
            for (int k = 0; k < 3; ++k) out[k] = planar(toTexture_[0], points[k]);
            break;
        case Projection::Cube: {
            int best = 0;
            for (int a = 1; a < 3; ++a)
                if (std::fabs(dot(normal, frameAxes_[a])) > std::fabs(dot(normal, frameAxes_[best]))) best = a;
            for (int k = 0; k < 3; ++k) out[k] = planar(toTexture_[best], points[k]);
            break;
        }
        case Projection::Cylindrical:
        case Projection::Spherical:
            wrapped(points, out);
            break;
    }
    return missing;
}

void TextureBaking::wrapped(const std::array<XYZ, 3>& points, std::array<UV, 3>& out) const {
    std::array<double, 3> turns{}, heights{};
    std::array<bool, 3> onAxis{};
    for (int k = 0; k < 3; ++k) {
        const XYZ q = apply(toTexture_[0], points[k]);
        // Across the axis (a, b) and along it (up): cyclic turns of x, y, z.
        const double a = axis_ == 1 ? q.x : axis_ == 0 ? q.z : q.y;
        const double up = axis_ == 1 ? q.y : axis_ == 0 ? q.x : q.z;
        const double b = axis_ == 1 ? q.z : axis_ == 0 ? q.y : q.x;
        const double across2 = a * a + b * b;
        onAxis[k] = !(across2 > 1e-24 * (across2 + up * up));
        turns[k] = onAxis[k] ? 0 : std::atan2(-b, -a) / (2 * std::numbers::pi);
        if (turns[k] < 0) turns[k] += 1;
        heights[k] = projection_ == Projection::Cylindrical
                         ? 0.5 - up
                         : (0.5 - std::atan2(up, std::sqrt(across2)) / std::numbers::pi) * wrapHeight_;
    }
    double low = 1, high = 0, sum = 0;
    int defined = 0;
    for (int k = 0; k < 3; ++k)
        if (!onAxis[k]) low = std::min(low, turns[k]), high = std::max(high, turns[k]);
    for (int k = 0; k < 3; ++k) {
        if (onAxis[k]) continue;
        if (high - low > 0.5 && turns[k] < 0.5) turns[k] += 1;  // the triangle spans the seam
        sum += turns[k];
        ++defined;
    }
    for (int k = 0; k < 3; ++k) {
        if (onAxis[k]) turns[k] = defined ? sum / defined : 0;
        out[k] = {turns[k] * wrapWidth_, heights[k]};
    }
}

}  // namespace morv
