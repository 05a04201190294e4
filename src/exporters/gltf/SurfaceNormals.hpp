// Normals at the corners of a surface's faces, for writers that shade.
//
// A surface whose smoothing angle is 0 (or absent) is flat: each corner takes
// its face's normal. Otherwise a corner's normal is the normalised mean of the
// unit normals of the faces of the same surface that share its point and meet
// its own face at no more than the smoothing angle, so that sharper edges stay
// sharp and a surface never smooths into another. Normals the object carries
// itself (the mesh's `normals`: a corner's own, else its vertex's) win over both.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "scene/CanonicalScene.hpp"

namespace morv {

class SurfaceNormals {
public:
    // normals: the mesh's own (meshNormals); entries naming no vertex or face of the view are left out.
    SurfaceNormals(const MeshView& view, const std::vector<MeshNormal>& normals);

    // Starts the faces of one surface (groups of faces in turn, none twice);
    // smoothingAngle in radians.
    void beginSurface(std::span<const std::uint32_t> faces, double smoothingAngle);

    // The unit normal at the corner of face on vertex, in the mesh's
    // coordinates; nullopt when the corner takes its face's own normal.
    std::optional<XYZ> at(std::uint32_t face, std::uint32_t vertex);

private:
    // Per point of the surface: unknown yet, or whether all its faces lie
    // within half the angle of their mean (then every corner takes the mean,
    // kept in fanMean_).
    enum class Fan : std::uint8_t { Unknown, Shared, Mixed };
    XYZ faceNormal(std::uint32_t face) const;
    XYZ smoothed(std::uint32_t face, std::uint32_t local);

    const MeshView& view_;
    std::vector<std::optional<XYZ>> vertexNormals_;
    std::unordered_map<std::uint64_t, XYZ> cornerNormals_;  // by face << 32 | vertex
    bool smooth_ = false;
    double cosAngle_ = 1, cosHalfAngle_ = 1;
    std::vector<XYZ> faceNormals_;        // per face of the mesh: unit, or 0 for a face without area
    std::vector<std::uint32_t> local_;    // per vertex: its number among the surface's points, or none
    std::vector<std::uint32_t> points_;   // the surface's points by number
    std::vector<std::uint32_t> start_;    // point i's faces: fans_[start_[i] .. start_[i + 1])
    std::vector<std::uint32_t> fans_;
    std::vector<Fan> fanKind_;
    std::vector<XYZ> fanMean_;
};

}  // namespace morv
