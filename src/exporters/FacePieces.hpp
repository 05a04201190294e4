// The faces of a mesh as flat convex pieces, for the writers whose formats
// hold only such polygons (brushes, and glTF's triangles): the face's points
// with repeats dropped, its pieces, their points and texture coordinates, and
// the warnings every such writer prints about faces it had to cut or leave out.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "geometry/ConvexSplitting.hpp"
#include "scene/CanonicalScene.hpp"

namespace morv {

class FacePieces {
public:
    // format names the output in errors ("an Unreal brush"); limit is the
    // largest coordinate it holds.
    FacePieces(const MeshView& view, std::string_view format, double limit, std::ostream& messages)
        : view_(view), format_(format), limit_(limit), messages_(messages) {}

    // Cuts one face; slot is the texture-coordinate slot its pieces carry (or
    // -1). Raises Error for a corner that names no vertex of the mesh or a
    // point beyond the format's limit. A face with no area gets the line
    // "Degenerate convex polygon found!". A face whose pieces do not cover
    // its area (up to the splitter's tolerance along its outline) is left
    // out rather than written with a part missing: Unsplittable.
    PolygonShape cut(std::size_t face, std::int32_t slot, const SplitRules& rules = {});
    const PolygonPieces& pieces() const { return pieces_; }

    // The points and texture coordinates of one piece (positions of the face,
    // and points added where its outline crosses itself, whose coordinates
    // lie between those of their edge's ends).
    void gatherPiece(std::span<const std::uint32_t> piece);
    std::span<const XYZ> piecePoints() const { return piecePoints_; }
    std::span<const std::optional<ST>> pieceSts() const { return pieceSts_; }
    // The whole face's points (repeats dropped) and their texture coordinates.
    std::span<const XYZ> facePoints() const { return points_; }
    std::span<const std::optional<ST>> faceSts();
    // The mesh vertex at a position of the face, none for an added point.
    std::optional<std::uint32_t> vertexAt(std::uint32_t position) const;

    // For a face that gave no piece: "Warning: face N (surface S) <why>; it is
    // left out", the surface's name with unprintable bytes as \xHH. noArea is
    // the reason when its pieces were all too thin to write.
    void reportLeftOut(std::size_t face, std::string_view surface, PolygonShape shape, std::string_view noArea) const;
    // The lines that sum up the faces cut in an unusual way, after the file.
    void reportAfterWriting() const;

    const ConvexSplitter& splitter() const { return splitter_; }

private:
    void gatherPoints(std::size_t face);
    bool piecesCoverTheFace() const;

    const MeshView& view_;
    std::string_view format_;
    double limit_;
    std::ostream& messages_;
    ConvexSplitter splitter_;
    PolygonPieces pieces_;
    std::int32_t slot_ = -1;
    std::size_t face_ = 0;
    std::vector<XYZ> points_, piecePoints_;
    std::vector<std::size_t> cornerOf_;  // the mesh corner of each point
    std::vector<std::optional<ST>> pieceSts_, faceSts_;
    std::size_t crossing_ = 0, farFromFlat_ = 0;
    bool lostArea_ = false;  // the face's pieces did not cover it
};

}  // namespace morv
