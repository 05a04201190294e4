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
        b.setPoleTolerance();
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

// The rows of the frame's two coordinates across the axis, in the cyclic
// turns of x, y, z: (a, b) across and up along the axis.
std::array<int, 3> TextureBaking::acrossAndUp() const {
    return axis_ == 1 ? std::array{0, 2, 1} : axis_ == 0 ? std::array{2, 1, 0} : std::array{1, 0, 2};
}

// A point's coordinates are single floats in the file: each is known to
// half a step of a float of its size, and the texture's centre likewise.
// Through the frame's rows (sizes undone) that gives how far from the axis,
// in texture sizes, a point on the axis may lie; four times that is the
// tolerance.
void TextureBaking::setPoleTolerance() {
    const Matrix4x4& m = toTexture_[0];
    const auto [a, b, up] = acrossAndUp();
    (void)up;
    constexpr double halfStep = 0x1p-24;
    for (int row : {a, b}) {
        const double rowSum = std::fabs(m.rows[row][0]) + std::fabs(m.rows[row][1]) + std::fabs(m.rows[row][2]);
        perPointSize_ = std::max(perPointSize_, 4 * halfStep * rowSum);
        fixed_ = std::max(fixed_, 4 * halfStep * std::fabs(m.rows[row][3]));
    }
}

void TextureBaking::wrapped(const std::array<XYZ, 3>& points, std::array<UV, 3>& out) const {
    const auto [ia, ib, iup] = acrossAndUp();
    std::array<double, 3> turns{}, heights{};
    std::array<bool, 3> onAxis{};
    for (int k = 0; k < 3; ++k) {
        const XYZ q = apply(toTexture_[0], points[k]);
        const double c[3] = {q.x, q.y, q.z};
        const double a = c[ia], b = c[ib], up = c[iup];
        const double across = std::hypot(a, b);
        const XYZ& p = points[k];
        const double size = std::max({std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)});
        onAxis[k] = !(across > perPointSize_ * size + fixed_);
        turns[k] = onAxis[k] ? 0 : std::atan2(-b, -a) / (2 * std::numbers::pi);
        if (turns[k] < 0) turns[k] += 1;
        heights[k] = projection_ == Projection::Cylindrical
                         ? 0.5 - up
                         : (0.5 - std::atan2(up, across) / std::numbers::pi) * wrapHeight_;
    }
    const double mean = oneTurn(turns, onAxis);
    for (int k = 0; k < 3; ++k) out[k] = {(onAxis[k] ? mean : turns[k]) * wrapWidth_, heights[k]};
}

// Brings the turns of the corners off the axis within one turn of each
// other: the shortest arc that holds them all, moved by whole turns so that
// its mean lies in 0..1, where the projection itself has it (with any wrap
// count and any wrap mode the triangle's centre then shows the projection's
// texel). A point a hair across the seam is thus taken to the side of its
// triangle. Returns the mean (0 when every corner is on the axis).
double TextureBaking::oneTurn(std::array<double, 3>& turns, const std::array<bool, 3>& onAxis) {
    std::array<double, 3> sorted{};
    int n = 0;
    for (int k = 0; k < 3; ++k)
        if (!onAxis[k]) sorted[n++] = turns[k];
    if (n == 0) return 0;
    for (int i = 1; i < n; ++i)  // at most three: sorted by insertion
        for (int j = i; j > 0 && sorted[j] < sorted[j - 1]; --j) std::swap(sorted[j], sorted[j - 1]);
    // The arc starts after the widest gap between turns next to each other round the circle.
    double start = sorted[0], widest = sorted[0] + 1 - sorted[n - 1];
    for (int i = 1; i < n; ++i)
        if (sorted[i] - sorted[i - 1] > widest) widest = sorted[i] - sorted[i - 1], start = sorted[i];
    double sum = 0;
    for (int k = 0; k < 3; ++k) {
        if (onAxis[k]) continue;
        if (turns[k] < start) turns[k] += 1;
        sum += turns[k];
    }
    const double shift = std::floor(sum / n);
    for (int k = 0; k < 3; ++k)
        if (!onAxis[k]) turns[k] -= shift;
    return sum / n - shift;
}

}  // namespace morv
