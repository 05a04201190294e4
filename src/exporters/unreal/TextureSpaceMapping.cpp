#include "exporters/unreal/TextureSpaceMapping.hpp"

#include <algorithm>
#include <cmath>
#include <ostream>
#include <vector>

#include "base/Excn.hpp"
#include "scene/MorvLCoordTransforms.hpp"
#include "scene/Vector.hpp"

namespace morv {
namespace {

const char* const badlyUvTextured = "Found badly UV-textured polygon!\n";
const char* const singularPolygonMatrix = "Could not invert affine polygon->object matrix!\n";
const char* const textureToObjectFailed = "Could not transform vertex from texture space to object space!\n";
const char* const zeroProjectionDirection = "Found texture with a projection direction of zero length!\n";
const char* const placementOutOfRange = "Found polygon whose texture placement is out of range!\n";


XYZ centroid(std::span<const XYZ> polygon) {
    XYZ sum{};
    for (const XYZ& p : polygon) sum = sum + p;
    return (1.0 / static_cast<double>(polygon.size())) * sum;
}

bool usable(const XYZ& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::fabs(v.x) <= maxBrushNumber &&
           std::fabs(v.y) <= maxBrushNumber && std::fabs(v.z) <= maxBrushNumber;
}

bool usable(const PolygonTexturing& t) { return usable(t.origin) && usable(t.textureU) && usable(t.textureV); }

XYZ linearRow(const Matrix4x4& m, int row) { return {m.rows[row][0], m.rows[row][1], m.rows[row][2]}; }

// A linear map held as a 4x4 matrix whose columns are a, b and c.
Matrix4x4 columns(const XYZ& a, const XYZ& b, const XYZ& c) {
    Matrix4x4 m;
    m.rows = {{{a.x, b.x, c.x, 0}, {a.y, b.y, c.y, 0}, {a.z, b.z, c.z, 0}, {0, 0, 0, 1}}};
    return m;
}

XYZ applyLinear(const Matrix4x4& m, const XYZ& p) {
    return {dot(linearRow(m, 0), p), dot(linearRow(m, 1), p), dot(linearRow(m, 2), p)};
}

PolygonTexturing warnAndDefault(std::span<const XYZ> polygon, const XYZ& n, const char* warning,
                                std::ostream& messages) {
    messages << warning;
    return defaultTexturing(polygon, n);
}

}  // namespace

XYZ newellNormal(std::span<const XYZ> polygon) {
    XYZ sum{};
    if (polygon.empty()) return sum;
    const XYZ& v0 = polygon[0];
    for (std::size_t i = 2; i < polygon.size(); ++i)
        sum = sum + cross(polygon[i - 1] - v0, polygon[i] - v0);
    return sum;
}

PolygonTexturing defaultTexturing(std::span<const XYZ> polygon, const XYZ& n) {
    const double ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
    PolygonTexturing t;
    t.normal = n;
    if (az >= ax && az >= ay) {
        t.textureU = {1, 0, 0};
        t.textureV = {0, -1, 0};
    } else if (ay >= ax) {
        t.textureU = {1, 0, 0};
        t.textureV = {0, 0, -1};
    } else {
        t.textureU = {0, 1, 0};
        t.textureV = {0, 0, -1};
    }
    t.origin = dot(n, centroid(polygon)) * n;
    return t;
}

TextureSpaceMapping TextureSpaceMapping::planar(const MorvLValue& transforms, double w, double h) {
    TextureSpaceMapping m;
    m.kind_ = Kind::Planar;
    m.width_ = w;
    m.height_ = h;
    // Pixel space to object space: pixel scaling first, then the flip that
    // turns t into 1 - t, then the texture's own placement.
    std::vector<MorvLValue> list = transforms.items();
    list.push_back(makeScaleXYZ(1, -1, 1));
    list.push_back(makeTranslateXYZ(0, -1, 0));
    list.push_back(makeScaleXYZ(1 / w, 1 / h, 1));
    const MorvLValue pixelToObject = MorvLValue::List(std::move(list));
    const Matrix4x4 toPixels = transformToMatrix4x4(invertTransformList(pixelToObject));
    m.u_ = linearRow(toPixels, 0);
    m.v_ = linearRow(toPixels, 1);
    const XYZ d = cross(m.u_, m.v_);
    const double length = morv::length(d);
    if (!(length > 0) || !std::isfinite(length)) {
        m.failure_ = zeroProjectionDirection;
        return m;
    }
    m.direction_ = (1 / length) * d;
    try {
        m.pixelOrigin_ = Matrix4x4::Trans::transformPoint(transformToMatrix4x4(pixelToObject), {0, 0, 0});
    } catch (const EGeneric&) {
        m.failure_ = textureToObjectFailed;
    }
    return m;
}

TextureSpaceMapping TextureSpaceMapping::st(std::int32_t stIndex, double w, double h) {
    TextureSpaceMapping m;
    m.kind_ = Kind::St;
    m.width_ = w;
    m.height_ = h;
    m.stIndex_ = stIndex;
    return m;
}

PolygonTexturing TextureSpaceMapping::place(std::span<const XYZ> polygon, const XYZ& unitNormal,
                                            std::span<const std::optional<ST>> sts, std::ostream& messages,
                                            const WholeFace* face) const {
    if (polygon.size() < 3) throw Error("Polygons must have at least 3 vertices!\n");
    PolygonTexturing t;
    switch (kind_) {
        case Kind::None:
            return defaultTexturing(polygon, unitNormal);
        case Kind::Planar:
            t = placePlanar(polygon, unitNormal, messages);
            break;
        case Kind::St:
            t = placeSt(polygon, unitNormal, sts, messages, face);
            break;
    }
    if (!usable(t)) return warnAndDefault(polygon, unitNormal, placementOutOfRange, messages);
    return t;
}

PolygonTexturing TextureSpaceMapping::placePlanar(std::span<const XYZ> polygon, const XYZ& n,
                                                  std::ostream& messages) const {
    if (failure_) return warnAndDefault(polygon, n, failure_, messages);
    // Pixel (0, 0) lies on the whole projection line through pixelOrigin_, and
    // only there. Of that line take the point where it meets the polygon's plane
    // when that is near the polygon, else the point nearest the polygon's
    // centre: a projection along the plane meets it nowhere or, with rounding
    // left in the direction, far off, where the editor's floats would lose the
    // texels. Near means within the polygon's radius plus the line's distance.
    const XYZ centre = centroid(polygon);
    double radius2 = 0;
    for (const XYZ& p : polygon) radius2 = std::max(radius2, dot(p - centre, p - centre));
    const XYZ nearest = pixelOrigin_ + dot(centre - pixelOrigin_, direction_) * direction_;
    const double height = dot(n, centre - nearest), along = dot(n, direction_);
    const double reach = std::sqrt(radius2) + length(centre - nearest);
    const double shift = height != 0 && std::fabs(height) <= std::fabs(along) * reach ? height / along : 0;
    return {nearest + shift * direction_, n, u_, v_};
}

// UVs so near one line that the fit stretches the picture along one
// direction more than 4096 times (and more than the picture's size in
// pixels) over the other, and puts pixel (0, 0) further from the polygon than
// its size times the picture's: as good as on one line. A picture merely
// magnified (both directions alike) may lie far away.
bool TextureSpaceMapping::nearlyOnOneLine(std::span<const XYZ> polygon, const PolygonTexturing& t) const {
    // The gradients' squared stretches are mean -+ spread, the eigenvalues of
    // their Gram matrix; the smaller times stretch^2 exceeds the larger when
    // mean (stretch^2 - 1) > spread (stretch^2 + 1), compared squared.
    const double uu = dot(t.textureU, t.textureU), vv = dot(t.textureV, t.textureV), uv = dot(t.textureU, t.textureV);
    const double mean = (uu + vv) / 2, spread2 = std::max(0.0, mean * mean - (uu * vv - uv * uv));
    const double pixels = std::max({width_, height_, 1.0}), s2 = std::max(pixels * pixels, 4096.0 * 4096.0);
    if (mean * mean * (s2 - 1) * (s2 - 1) > spread2 * (s2 + 1) * (s2 + 1)) return false;
    const XYZ centre = centroid(polygon);
    double radius = 0;
    for (const XYZ& p : polygon) radius = std::max(radius, length(p - centre));
    return !(length(t.origin - centre) <= 2 * radius * pixels);
}

// Of the triples whose texture points span a triangle, the one with the
// largest area in space fixes the map best. Texture points on one line up to
// the rounding of single-precision coordinates (of the triple's size) span
// none: a map fitted to them would put the origin arbitrarily far away; so
// does a fit whose origin lies further than the polygon's size times the
// picture's size (in pixels), stretched along one direction, counts as on
// one line too (nearlyOnOneLine).
std::optional<PolygonTexturing> TextureSpaceMapping::fitSt(std::span<const XYZ> polygon, const XYZ& n,
                                                           std::span<const std::optional<ST>> sts,
                                                           const char** warning) const {
    const std::size_t count = polygon.size();
    const auto pixel = [&](std::size_t i) { return XYZ{sts[i]->s * width_, (1 - sts[i]->t) * height_, 0}; };
    double bestArea = -1;
    std::size_t best[3] = {0, 0, 0};
    for (std::size_t i = 0; i < count; ++i) {
        if (!sts[i]) continue;
        const XYZ qi = pixel(i);
        for (std::size_t j = i + 1; j < count; ++j) {
            if (!sts[j]) continue;
            const XYZ qj = pixel(j);
            for (std::size_t k = j + 1; k < count; ++k) {
                if (!sts[k]) continue;
                const XYZ qk = pixel(k), a = qj - qi, b = qk - qi;
                const double magnitude = std::max({std::fabs(qi.x), std::fabs(qi.y), std::fabs(qj.x), std::fabs(qj.y),
                                                   std::fabs(qk.x), std::fabs(qk.y)});
                if (std::fabs(cross(a, b).z) <= 0x1p-20 * magnitude * (length(a) + length(b))) continue;
                const XYZ c = cross(polygon[j] - polygon[i], polygon[k] - polygon[i]);
                const double area = dot(c, c);
                if (area > bestArea) {
                    bestArea = area;
                    best[0] = i, best[1] = j, best[2] = k;
                }
            }
        }
    }
    *warning = badlyUvTextured;
    if (bestArea < 0) return std::nullopt;

    const XYZ v0 = polygon[best[0]], q0 = pixel(best[0]);
    const Matrix4x4 texture = columns(pixel(best[1]) - q0, pixel(best[2]) - q0, {0, 0, 1});
    const Matrix4x4 edges = columns(polygon[best[1]] - v0, polygon[best[2]] - v0, n);
    Matrix4x4 textureInverse, edgesInverse;
    try {
        textureInverse = Matrix4x4Mult::invert(texture);
    } catch (const EGeneric&) {
        return std::nullopt;
    }
    try {
        edgesInverse = Matrix4x4Mult::invert(edges);
    } catch (const EGeneric&) {
        *warning = singularPolygonMatrix;
        return std::nullopt;
    }
    // Object to pixels: pixel(P) = T·E⁻¹·(P - V0) + q0; pixel (0, 0) lies at V0 - E·T⁻¹·q0.
    const Matrix4x4 toPixels = texture * edgesInverse;
    const XYZ origin = v0 - applyLinear(edges, applyLinear(textureInverse, q0));
    const PolygonTexturing fitted{origin, n, linearRow(toPixels, 0), linearRow(toPixels, 1)};
    if (nearlyOnOneLine(polygon, fitted)) return std::nullopt;
    return fitted;
}

PolygonTexturing TextureSpaceMapping::placeSt(std::span<const XYZ> polygon, const XYZ& n,
                                              std::span<const std::optional<ST>> sts, std::ostream& messages,
                                              const WholeFace* face) const {
    const char* warning = nullptr;
    auto fitted = fitSt(polygon, n, sts, &warning);
    if (!fitted && face) {
        const char* faceWarning = nullptr;
        fitted = fitSt(face->points, face->unitNormal, face->sts, &faceWarning);
        if (fitted) fitted->normal = n;
    }
    if (!fitted) return warnAndDefault(polygon, n, warning, messages);
    return *fitted;
}

bool TextureSpaceMapping::keepsEveryTexel(std::span<const XYZ> polygon, const XYZ& unitNormal,
                                          std::span<const std::optional<ST>> sts) const {
    if (kind_ != Kind::St || polygon.size() <= 3) return true;
    const char* warning = nullptr;
    const auto t = fitSt(polygon, unitNormal, sts, &warning);
    if (!t) return true;
    for (std::size_t i = 0; i < polygon.size(); ++i) {
        if (!sts[i]) continue;
        const double u = sts[i]->s * width_, v = (1 - sts[i]->t) * height_;
        const XYZ d = polygon[i] - t->origin;
        const double allowed = texelTolerance + 0x1p-20 * (std::fabs(u) + std::fabs(v));
        if (std::fabs(dot(d, t->textureU) - u) > allowed || std::fabs(dot(d, t->textureV) - v) > allowed) return false;
    }
    return true;
}

}  // namespace morv
