// Texture coordinates for glTF, baked from a LightWave texture's projection at
// every corner of every triangle. glTF's (0, 0) is the picture's top left
// corner, as the RenderMan shaders' (s, t) lookup, so:
//
// - planar: (x, 1 - y) of the point moved into texture space by the inverse
//   of the texture's transform list, the same matrix the RIB shader applies;
// - cube: planar along the axis of the texture's own frame that the face's
//   normal is closest to;
// - cylindrical and spherical: in the texture's frame (centre, rotation and
//   size undone), about its axis: u runs once round the axis per wrap count,
//   growing anticlockwise seen from the axis's positive end (so the picture
//   is seen unmirrored from outside), from the seam on the frame's -x side
//   through -z, +x and +z, as LightWave's own UV maps made from such a
//   projection have it (for the y axis; x and z take the cyclic turns of
//   x, y, z: the seam on -z about x, on -y about z); v is
//   0.5 - height for a cylinder and 0.5 - latitude / pi for a sphere (times
//   the height wrap count), so the picture's top row is at the positive end.
//   A triangle's corners are brought within one turn of each other, the
//   mean in 0..1, and a corner on the axis (within the rounding of single
//   floats) takes the mean turn of the others;
// - UV maps: (u, 1 - v) from the corner's own coordinates, else its vertex's.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "scene/Matrix4x4.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {

struct UV {
    double u = 0, v = 0;
};

class TextureBaking {
public:
    // The baking of one texture record, or nullopt when its projection (or a
    // UV texture without a UV map) gives no coordinates. The old format's
    // cylindrical, spherical and cubic image maps are known by their
    // textureType.
    static std::optional<TextureBaking> of(const Fields& texture);

    bool usesTextureCoordinates() const { return projection_ == Projection::St; }
    std::int32_t stIndex() const { return stIndex_; }
    // Scales UV-map coordinates as pixels measured in one picture size are
    // measured in another: u by su, 1 - v by sv.
    void rescale(double su, double sv) {
        scaleU_ = su;
        scaleV_ = sv;
    }

    // The coordinates of one triangle's corners (points in scene coordinates,
    // sts their UV-map coordinates, normal the face's). A corner without UV-map
    // coordinates gets (0, 0); returns how many had none.
    int bake(const std::array<XYZ, 3>& points, const std::array<std::optional<ST>, 3>& sts, const XYZ& normal,
             std::array<UV, 3>& out) const;

private:
    enum class Projection { Planar, Cube, Cylindrical, Spherical, St };
    UV planar(const Matrix4x4& toTexture, const XYZ& p) const;
    std::array<int, 3> acrossAndUp() const;
    void setPoleTolerance();
    void wrapped(const std::array<XYZ, 3>& points, std::array<UV, 3>& out) const;
    static double oneTurn(std::array<double, 3>& turns, const std::array<bool, 3>& onAxis);

    Projection projection_ = Projection::St;
    // Planar: the texture's own object-to-texture matrix. Cube: one per axis.
    // Cylindrical and spherical: object space to the texture's frame.
    std::array<Matrix4x4, 3> toTexture_{};
    std::array<XYZ, 3> frameAxes_{};  // cube: the unit axes of the texture's frame in object space
    int axis_ = 2;
    double wrapWidth_ = 1, wrapHeight_ = 1;
    // Cylindrical and spherical: a point is on the axis when no further from
    // it (in texture sizes) than perPointSize_ times its largest coordinate plus fixed_.
    double perPointSize_ = 0, fixed_ = 0;
    std::int32_t stIndex_ = -1;
    double scaleU_ = 1, scaleV_ = 1;
};

}  // namespace morv
