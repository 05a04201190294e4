#include "exporters/FacePieces.hpp"

#include <ostream>
#include <string>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "exporters/PolygonMesh.hpp"
#include "scene/Vector.hpp"

namespace morv {

void FacePieces::gatherPoints(std::size_t face) {
    const auto corners = view_.corners(face);
    points_.clear();
    cornerOf_.clear();
    const std::size_t first = view_.firstCorner(face);
    for (std::size_t k = 0; k < corners.size(); ++k) {
        const std::int32_t v = corners[k];
        if (v < 0 || static_cast<std::size_t>(v) >= view_.vertexCount())
            raiseCornerBeyondVertices(k, face, v, view_.vertexCount());
        const XYZ p = view_.point(static_cast<std::size_t>(v));
        checkVertexCoordinates(p, static_cast<std::size_t>(v), format_, limit_);
        if (!points_.empty() && points_.back() == p) continue;
        points_.push_back(p);
        cornerOf_.push_back(first + k);
    }
    while (points_.size() > 1 && points_.back() == points_.front()) {
        points_.pop_back();
        cornerOf_.pop_back();
    }
}

// The pieces' vector areas (about the face's first point, so that the face's
// place does not enter the sums) add up to the face's, as pieces that tile
// a surface with the face's outline do, flat or bent. An outline that
// crosses itself is covered once where it winds twice, so it is not asked.
bool FacePieces::piecesCoverTheFace() const {
    if (splitter_.crossesItself() || (pieces_.count() == 1 && pieces_.piece(0).size() == points_.size())) return true;
    const XYZ o = points_[0];
    const auto relative = [&](std::uint32_t position) { return splitter_.pointAt(points_, position) - o; };
    XYZ whole{}, covered{};
    double perimeter = 0;
    for (std::size_t i = 0; i < points_.size(); ++i) {
        const XYZ a = points_[i] - o, b = points_[(i + 1) % points_.size()] - o;
        whole = whole + cross(a, b);
        perimeter += length(b - a);
    }
    for (std::size_t k = 0; k < pieces_.count(); ++k) {
        const auto piece = pieces_.piece(k);
        for (std::size_t i = 0; i < piece.size(); ++i)
            covered = covered + cross(relative(piece[i]), relative(piece[(i + 1) % piece.size()]));
    }
    return length(covered - whole) / 2 <= areaAllowance(splitter_.tolerance(), perimeter);
}

PolygonShape FacePieces::cut(std::size_t face, std::int32_t slot, const SplitRules& rules) {
    face_ = face;
    slot_ = slot;
    lostArea_ = false;
    gatherPoints(face);
    PolygonShape shape = points_.size() < 3 ? PolygonShape::Degenerate : splitter_.split(points_, pieces_, rules);
    if ((shape == PolygonShape::Convex || shape == PolygonShape::Concave) && !piecesCoverTheFace()) {
        lostArea_ = true;
        shape = PolygonShape::Unsplittable;
    }
    if (shape == PolygonShape::Degenerate) {
        messages_ << "Degenerate convex polygon found!\n";
    } else if (shape != PolygonShape::Unsplittable) {
        crossing_ += splitter_.crossesItself();
        farFromFlat_ += splitter_.farFromFlat();
    }
    if (shape == PolygonShape::Degenerate || shape == PolygonShape::Unsplittable) pieces_.clear();
    return shape;
}

void FacePieces::gatherPiece(std::span<const std::uint32_t> piece) {
    piecePoints_.clear();
    pieceSts_.clear();
    const auto added = splitter_.addedPoints();
    const auto st = [&](std::size_t position) -> std::optional<ST> {
        if (slot_ < 0) return std::nullopt;
        return view_.cornerSt(static_cast<std::size_t>(slot_), cornerOf_[position]);
    };
    for (std::uint32_t position : piece) {
        if (position < points_.size()) {
            piecePoints_.push_back(points_[position]);
            pieceSts_.push_back(st(position));
            continue;
        }
        const AddedPoint& a = added[position - points_.size()];
        piecePoints_.push_back(a.point);
        const auto from = st(a.from), to = st(a.to);
        pieceSts_.push_back(from && to ? std::optional<ST>(ST{from->s + a.t * (to->s - from->s),
                                                              from->t + a.t * (to->t - from->t)})
                                       : std::nullopt);
    }
}

std::span<const std::optional<ST>> FacePieces::faceSts() {
    faceSts_.clear();
    for (std::size_t position = 0; position < points_.size(); ++position)
        faceSts_.push_back(slot_ < 0 ? std::nullopt
                                     : view_.cornerSt(static_cast<std::size_t>(slot_), cornerOf_[position]));
    return faceSts_;
}

std::optional<std::uint32_t> FacePieces::vertexAt(std::uint32_t position) const {
    if (position >= points_.size()) return std::nullopt;
    const std::size_t corner = cornerOf_[position];
    return static_cast<std::uint32_t>(view_.corners(face_)[corner - view_.firstCorner(face_)]);
}

void FacePieces::reportLeftOut(std::size_t face, std::string_view surface, PolygonShape shape,
                               std::string_view noArea) const {
    const std::string_view reason = points_.size() < 3 ? "has fewer than 3 different points"
                                    : lostArea_ ? "could not be cut into convex pieces that cover its whole area"
                                    : shape == PolygonShape::Degenerate || shape == PolygonShape::Unsplittable
                                        ? splitter_.leftOutReason()
                                        : noArea;
    messages_ << leftOutWarning(face, printableBytes(surface), reason);
}

void FacePieces::reportAfterWriting() const {
    if (crossing_ > 0)
        messages_ << "Warning: " << crossing_
                  << " faces that cross or touch themselves were cut there into parts that each face the way they run\n";
    if (farFromFlat_ > 0)
        messages_ << "Warning: " << farFromFlat_ << " faces that are far from flat were cut into flat pieces\n";
}

}  // namespace morv
