// Texture placement of brush polygons: a brush polygon carries an origin and
// two vectors such that its point P shows the texel
// (u, v) = ((P - origin) · textureU, (P - origin) · textureV), in pixels of the
// image, with v counted down from the top row. This module turns a surface's
// texture (a planar projection placed by a transform list, or per-vertex
// texture coordinates) into that placement, polygon by polygon.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>

#include "scene/Matrix4x4.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {

struct PolygonTexturing {
    XYZ origin;
    XYZ normal;
    XYZ textureU;
    XYZ textureV;
};

// Largest size of a number in a placement: the editor reads single floats.
inline constexpr double maxBrushNumber = 3.4e38;

// How far, in pixels, a vertex may show from its own texel: a hundredth of a
// texel, far below what any filtering shows, plus the single-precision
// rounding of the texel's own coordinates.
inline constexpr double texelTolerance = 0.01;

// The sum of (V[i-1] - V0) x (V[i] - V0): twice the polygon's area along the
// normal of the side its vertex order shows.
XYZ newellNormal(std::span<const XYZ> polygon);

// The placement given to a polygon that its texture cannot place: the two unit
// axes of the coordinate plane nearest to the polygon ((1, 0, 0) and
// (0, -1, 0) for one facing along z; (1, 0, 0), (0, 0, -1) along y;
// (0, 1, 0), (0, 0, -1) along x; ties in that order) and, as origin, the point
// of the polygon's plane nearest (0, 0, 0).
PolygonTexturing defaultTexturing(std::span<const XYZ> polygon, const XYZ& unitNormal);

// The face a polygon was cut from, whose placement a piece too thin for a
// placement of its own takes.
struct WholeFace {
    std::span<const XYZ> points;
    XYZ unitNormal;
    std::span<const std::optional<ST>> sts;
};

// How one surface's polygons are placed; built once per surface.
class TextureSpaceMapping {
public:
    // No usable texture: every polygon gets the default placement, without a warning.
    TextureSpaceMapping() = default;
    // "planar": transforms maps texture space to object space; the image is w x h pixels.
    static TextureSpaceMapping planar(const MorvLValue& transforms, double w, double h);
    // "st": the texture coordinates of slot stIndex.
    static TextureSpaceMapping st(std::int32_t stIndex, double w, double h);

    bool usesTextureCoordinates() const { return kind_ == Kind::St; }
    std::int32_t stIndex() const { return stIndex_; }

    // The placement of one polygon with its unit normal; sts holds each
    // vertex's texture coordinates (used by "st" only). A polygon whose UVs
    // give no placement of its own takes that of the face it was cut from,
    // when given and placeable. A polygon that cannot be placed gets its
    // warning line on messages and the default placement.
    PolygonTexturing place(std::span<const XYZ> polygon, const XYZ& unitNormal,
                           std::span<const std::optional<ST>> sts, std::ostream& messages,
                           const WholeFace* face = nullptr) const;

    // Whether one placement shows every vertex of the polygon its own texel,
    // to within texelTolerance: always for a planar projection, and for UVs
    // that are an affine map of the polygon. UVs that no placement fits (all
    // on one line, or missing) cannot be helped by cutting: true as well.
    bool keepsEveryTexel(std::span<const XYZ> polygon, const XYZ& unitNormal,
                         std::span<const std::optional<ST>> sts) const;

private:
    enum class Kind { None, Planar, St };
    PolygonTexturing placePlanar(std::span<const XYZ> polygon, const XYZ& n, std::ostream& messages) const;
    PolygonTexturing placeSt(std::span<const XYZ> polygon, const XYZ& n, std::span<const std::optional<ST>> sts,
                             std::ostream& messages, const WholeFace* face) const;
    // The UV fit, or nullopt with the warning it calls for.
    std::optional<PolygonTexturing> fitSt(std::span<const XYZ> polygon, const XYZ& n,
                                          std::span<const std::optional<ST>> sts, const char** warning) const;

    bool nearlyOnOneLine(std::span<const XYZ> polygon, const PolygonTexturing& t) const;

    Kind kind_ = Kind::None;
    double width_ = 0, height_ = 0;
    std::int32_t stIndex_ = -1;
    // Planar: pixel gradients, unit projection direction, where pixel (0, 0) lies
    // and the warning a polygon gets when these could not be found.
    XYZ u_{}, v_{}, direction_{}, pixelOrigin_{};
    const char* failure_ = nullptr;
};

}  // namespace morv
